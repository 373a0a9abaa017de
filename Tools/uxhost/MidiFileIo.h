// Reading MIDI files whole, from a file or from standard input. Writing any file
// is OutputFile's (OutputFile.h).
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <Smf.h>

// How the command line names standard input (as an input) and standard output (as
// an output), and how messages name them.
constexpr const char* kStandardStream = "-";
constexpr const char* kStandardInputName = "standard input";
constexpr const char* kStandardOutputName = "standard output";

// A file that cannot be read, is no MIDI file, or cannot be written; the message
// begins with the file's name (or how it names a standard stream).
class FileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes of a MIDI file, checked from end to end: whatever ParseSmf refuses is
// refused here. "-" reads standard input to its end, and so is a pipe or a
// device read. Track chunks beyond those the header declares are not read, which
// one line on standard error says (Report.h).
std::vector<uint8_t> ReadMidiFile(const std::string& path);
