#include "MidiFileIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Far beyond any song; keeps a mistaken argument from filling the memory.
constexpr off_t kMaxFileSize = off_t(256) << 20;

std::string SystemError()
{
    return std::strerror(errno);
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
    // Closes now, reporting whether everything written reached the file.
    bool Close()
    {
        const int fd = mFd;
        mFd = -1;
        return close(fd) == 0;
    }

private:
    int mFd;
};

std::vector<uint8_t> ReadWhole(const std::string& path)
{
    // Non-blocking, so that naming a pipe cannot make us wait for a writer.
    Descriptor file(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.Get() < 0)
        throw FileError(path + ": cannot read: " + SystemError());
    struct stat info {};
    if (fstat(file.Get(), &info) != 0)
        throw FileError(path + ": cannot read: " + SystemError());
    if (S_ISDIR(info.st_mode))
        throw FileError(path + ": is a directory, not a MIDI file");
    if (!S_ISREG(info.st_mode))
        throw FileError(path + ": not a regular file");
    if (info.st_size > kMaxFileSize)
        throw FileError(path + ": too large for a MIDI file");

    std::vector<uint8_t> bytes(static_cast<size_t>(info.st_size));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = read(file.Get(), bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            throw FileError(path + ": cannot read: " + SystemError());
        if (got == 0)
            break;  // the file shrank while we read it
        done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

mode_t CreationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

std::vector<uint8_t> ReadMidiFile(const std::string& path)
{
    std::vector<uint8_t> bytes = ReadWhole(path);
    try {
        CheckSmf(bytes.data(), bytes.size());
    } catch (const SmfError& error) {
        throw FileError(path + ": " + error.what());
    }
    return bytes;
}

MidiFileWriter::MidiFileWriter(std::string path) : mPath(std::move(path)) {}

MidiFileWriter::~MidiFileWriter()
{
    if (mFd >= 0) {
        close(mFd);
        unlink(mTemporary.c_str());
    }
}

void MidiFileWriter::Open()
{
    std::string temporary = mPath + ".XXXXXX";
    const int fd = mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0)
        throw FileError(mPath + ": cannot write: " + SystemError());
    mFd = fd;
    mTemporary = std::move(temporary);
    if (fchmod(mFd, CreationMode()) != 0)
        Fail(SystemError());
}

void MidiFileWriter::Fail(const std::string& problem)
{
    close(mFd);
    mFd = -1;
    unlink(mTemporary.c_str());
    throw FileError(mPath + ": cannot write: " + problem);
}

void MidiFileWriter::Append(const uint8_t* bytes, size_t size)
{
    if (mFd < 0)
        Open();
    size_t done = 0;
    while (done < size) {
        const ssize_t written = write(mFd, bytes + done, size - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            Fail(SystemError());
        done += static_cast<size_t>(written);
    }
}

void MidiFileWriter::Overwrite(uint64_t offset, const uint8_t* bytes, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t written =
            pwrite(mFd, bytes + done, size - done, static_cast<off_t>(offset + done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            Fail(SystemError());
        done += static_cast<size_t>(written);
    }
}

void MidiFileWriter::Commit()
{
    if (mFd < 0)
        Open();
    const int fd = mFd;
    mFd = -1;
    if (close(fd) != 0 || rename(mTemporary.c_str(), mPath.c_str()) != 0) {
        const std::string problem = SystemError();
        unlink(mTemporary.c_str());
        throw FileError(mPath + ": cannot write: " + problem);
    }
}
