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

// How messages name the input `path`: standard input for "-".
std::string InputName(const std::string& path);

// What a command says of an SmfError from running the input at `path` through a
// pipeline into `outputName`: a read error names the input, any other the output
// as not written.
FileError SmfFileError(const SmfError& error, const std::string& path, const std::string& outputName);

// The bytes of a MIDI file whose header is checked: its tracks are left to whoever
// reads them (ApplyFilters refuses a malformed track as it reads it). "-" reads
// standard input to its end, and so is a pipe or a device read.
std::vector<uint8_t> ReadMidiBytes(const std::string& path);

// What reading the input at `path` found, a line each on standard error
// (Report.h): track chunks beyond those its header declares, which were not read;
// and where it was cut short, and how many events were read before the cut.
void ReportInputRead(const std::string& path, const SmfRead& read);
