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

SmfFile ReadMidiFile(const std::string& path)
{
    const std::vector<uint8_t> bytes = ReadWhole(path);
    try {
        return ParseSmf(bytes.data(), bytes.size());
    } catch (const SmfError& error) {
        throw FileError(path + ": " + error.what());
    }
}

void WriteMidiFile(const std::string& path, const SmfFile& file)
{
    std::vector<uint8_t> bytes;
    try {
        bytes = WriteSmf(file);
    } catch (const SmfError& error) {
        throw FileError(path + ": cannot write: " + error.what());
    }

    std::string temporary = path + ".XXXXXX";
    Descriptor out(mkostemp(temporary.data(), O_CLOEXEC));
    if (out.Get() < 0)
        throw FileError(path + ": cannot write: " + SystemError());
    const auto fail = [&](const std::string& problem) {
        unlink(temporary.c_str());
        throw FileError(path + ": cannot write: " + problem);
    };
    if (fchmod(out.Get(), CreationMode()) != 0)
        fail(SystemError());
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t written = write(out.Get(), bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            fail(SystemError());
        done += static_cast<size_t>(written);
    }
    if (!out.Close())
        fail(SystemError());
    if (rename(temporary.c_str(), path.c_str()) != 0)
        fail(SystemError());
}
