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

// The bytes of a MIDI file, checked from end to end: whatever ParseSmf refuses is
// refused here.
std::vector<uint8_t> ReadMidiFile(const std::string& path);

// A MIDI file written as it is made. The temporary file is made on the first bytes
// written; Commit() renames it into place, and a writer destroyed without it
// removes it.
class MidiFileWriter : public SmfSink {
public:
    explicit MidiFileWriter(std::string path);
    ~MidiFileWriter() override;
    MidiFileWriter(const MidiFileWriter&) = delete;
    MidiFileWriter& operator=(const MidiFileWriter&) = delete;

    void Append(const uint8_t* bytes, size_t size) override;
    void Overwrite(uint64_t offset, const uint8_t* bytes, size_t size) override;
    void Commit();

private:
    void Open();
    [[noreturn]] void Fail(const std::string& problem);

    std::string mPath;
    std::string mTemporary;
    int mFd = -1;
};
