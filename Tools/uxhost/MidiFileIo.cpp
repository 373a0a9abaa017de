#include "MidiFileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Report.h"

namespace {

// Far beyond any song; keeps a mistaken argument from filling the memory.
constexpr off_t kMaxFileSize = off_t(256) << 20;

// The error for a file that cannot be read, as errno says why.
FileError CannotRead(const std::string& name)
{
    return FileError(name + ": cannot read: " + std::strerror(errno));
}

// Closes a descriptor when it goes out of scope.
class Descriptor {
public:
    explicit Descriptor(int fd) : mFd(fd) {}
    ~Descriptor()
    {
        if (mFd >= 0)
            close(mFd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    int Get() const { return mFd; }

private:
    int mFd;
};

// Reads `fd` to its end; `sizeHint` is what the file is expected to hold.
std::vector<uint8_t> ReadToEnd(int fd, const std::string& name, size_t sizeHint)
{
    constexpr size_t kFirstRead = 64 << 10;
    std::vector<uint8_t> bytes(sizeHint + kFirstRead);
    size_t done = 0;
    for (;;) {
        if (done == bytes.size())
            bytes.resize(2 * bytes.size());
        const ssize_t got = read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw CannotRead(name);
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
        if (done > static_cast<size_t>(kMaxFileSize))
            throw FileError(name + ": too large for a MIDI file");
    }
    bytes.resize(done);
    return bytes;
}

std::vector<uint8_t> ReadStandardInput()
{
    if (isatty(STDIN_FILENO))
        throw FileError(std::string(kStandardInputName) + ": is a terminal, not a MIDI file");
    return ReadToEnd(STDIN_FILENO, kStandardInputName, 0);
}

// A pipe, a socket or a device such as /dev/stdin is read to its end, as standard
// input is; a terminal is refused rather than waited on.
std::vector<uint8_t> ReadStream(int fd, const std::string& path)
{
    if (isatty(fd))
        throw FileError(path + ": is a terminal, not a MIDI file");
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        throw CannotRead(path);
    return ReadToEnd(fd, path, 0);
}

std::vector<uint8_t> ReadWhole(const std::string& path)
{
    // Opened without waiting, so that naming a pipe nobody writes into cannot make
    // us wait for a writer: it reads as empty.
    Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    struct stat info {};
    if (file.Get() < 0 || fstat(file.Get(), &info) != 0)
        throw CannotRead(path);
    if (S_ISDIR(info.st_mode))
        throw FileError(path + ": is a directory, not a MIDI file");
    if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode) || S_ISSOCK(info.st_mode))
        return ReadStream(file.Get(), path);
    if (!S_ISREG(info.st_mode))
        throw FileError(path + ": not a regular file");
    if (info.st_size > kMaxFileSize)
        throw FileError(path + ": too large for a MIDI file");
    return ReadToEnd(file.Get(), path, static_cast<size_t>(info.st_size));
}

}  // namespace

std::string InputName(const std::string& path)
{
    return path == kStandardStream ? kStandardInputName : path;
}

FileError SmfFileError(const SmfError& error, const std::string& path, const std::string& outputName)
{
    if (dynamic_cast<const SmfReadError*>(&error))
        return FileError(InputName(path) + ": " + error.what());
    return FileError(outputName + ": cannot write: " + error.what());
}

std::vector<uint8_t> ReadMidiBytes(const std::string& path)
{
    std::vector<uint8_t> bytes = path == kStandardStream ? ReadStandardInput() : ReadWhole(path);
    try {
        SmfReader header(bytes.data(), bytes.size());
    } catch (const SmfError& error) {
        throw FileError(InputName(path) + ": " + error.what());
    }
    return bytes;
}

void ReportInputRead(const std::string& path, const SmfRead& read)
{
    if (const size_t unread = read.trackChunksAfter)
        Report(InputName(path) + ": the header declares " + std::to_string(read.tracks)
               + (read.tracks == 1 ? " track" : " tracks") + "; " + std::to_string(unread)
               + (unread == 1 ? " more track chunk in the file was" : " more track chunks in the file were")
               + " not read");
    if (read.cut.endsAt != 0)
        Report(InputName(path) + ": cut short at byte " + std::to_string(read.cut.endsAt)
               + ", inside the track chunk at byte " + std::to_string(read.cut.chunkAt) + " that claims "
               + std::to_string(read.cut.claimed) + " bytes; read " + std::to_string(read.events)
               + (read.events == 1 ? " event" : " events") + " before the cut, written whole");
}
