// Reading MIDI files whole, and writing them so that a failure leaves nothing
// behind: the bytes go to a temporary file beside the target, which is renamed
// into place only once it is complete.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <Smf.h>

// A file that cannot be read, is no MIDI file, or cannot be written; the message
// begins with the file's name.
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

SmfFile ReadMidiFile(const std::string& path);

void WriteMidiFile(const std::string& path, const SmfFile& file);
