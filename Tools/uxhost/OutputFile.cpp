#include "OutputFile.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

// The temporary files being written, for the signal handlers to remove when an
// interrupt, a hang-up, a termination, a closed pipe or a crash ends the process.
// A handler may do nothing but unlink paths made ready beforehand and end the
// process, so each path lives in a slot of its own, live only while its file exists.
namespace {
enum SlotState : int { kFree, kPreparing, kLive };
}  // namespace

struct TemporarySlot {
    std::atomic<int> state{kFree};
    char path[PATH_MAX];
};

namespace {

constexpr mode_t kPermissionBits = 0777;
// As many links as the system itself follows before it gives up on a path.
constexpr int kMaxLinkHops = 40;

std::string SystemError(int error = errno)
{
    return std::strerror(error);
}

bool SameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

mode_t CreationMode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Where `path` leads through its symbolic links: the file to replace, which need
// not exist yet. Answers an empty path when the links go round.
std::string FollowLinks(const std::string& path)
{
    namespace fs = std::filesystem;
    fs::path current(path);
    for (int hop = 0; hop < kMaxLinkHops; ++hop) {
        std::error_code error;
        if (!fs::is_symlink(fs::symlink_status(current, error)))
            return current.string();
        const fs::path target = fs::read_symlink(current, error);
        if (error)
            return current.string();  // what went wrong shows when the file is made
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return {};
}

// Writes the whole of `bytes` at `offset`, or where the file stands when it is
// negative; false, with errno set, when that fails.
bool WriteAll(int fd, const uint8_t* bytes, size_t size, off_t offset = -1)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t written = offset < 0 ? write(fd, bytes + done, size - done)
                                           : pwrite(fd, bytes + done, size - done, offset + static_cast<off_t>(done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return false;
        done += static_cast<size_t>(written);
    }
    return true;
}

constexpr size_t kTemporarySlots = 16;
TemporarySlot gTemporaries[kTemporarySlots];
// A closed pipe ends the process as these do: a reader such as `head` that has
// seen enough leaves no half-written file behind.
constexpr int kEndingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

extern "C" void RemoveTemporariesAndEnd(int signal)
{
    RemoveTemporaryFiles();
    // End as the signal itself would have: it is blocked while this handler runs,
    // and strikes with its default action once the handler returns.
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
    raise(signal);
}

sigset_t EndingSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kEndingSignals)
        sigaddset(&set, signal);
    return set;
}

// A signal the process was started ignoring (nohup, a background job) stays ignored.
void RemoveTemporariesOnSignals()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_handler = RemoveTemporariesAndEnd;
        action.sa_mask = EndingSignals();
        for (const int signal : kEndingSignals) {
            struct sigaction old {};
            if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
                sigaction(signal, &action, nullptr);
        }
    });
}

// Holds off the ending signals, so that a file is never made without its slot
// being live.
class EndingSignalsHeld {
public:
    EndingSignalsHeld()
    {
        const sigset_t set = EndingSignals();
        pthread_sigmask(SIG_BLOCK, &set, &mPrevious);
    }
    ~EndingSignalsHeld() { pthread_sigmask(SIG_SETMASK, &mPrevious, nullptr); }
    EndingSignalsHeld(const EndingSignalsHeld&) = delete;
    EndingSignalsHeld& operator=(const EndingSignalsHeld&) = delete;

private:
    sigset_t mPrevious;
};

TemporarySlot* ReserveSlot(size_t pathSize)
{
    if (pathSize >= PATH_MAX)
        return nullptr;  // making the file fails for a path this long anyway
    for (TemporarySlot& slot : gTemporaries) {
        int expected = kFree;
        if (slot.state.compare_exchange_strong(expected, kPreparing))
            return &slot;
    }
    return nullptr;  // so many outputs at once: this one is not removed on a signal
}

}  // namespace

void RemoveTemporaryFiles()
{
    for (TemporarySlot& slot : gTemporaries)
        if (slot.state.load() == kLive)
            unlink(slot.path);
}

OutputFile::OutputFile(std::string path, const std::vector<std::string>& inputs)
    : mName(path == kStandardStream ? kStandardOutputName : path)
{
    struct stat output {};
    bool exists = false;
    if (path.empty())
        throw FileError("an output named by an empty name");
    if (path == kStandardStream) {
        // Bytes of a file would only garble the terminal.
        if (isatty(STDOUT_FILENO))
            throw FileError(mName + ": is a terminal; redirect it to a file or a pipe");
        exists = fstat(STDOUT_FILENO, &output) == 0;
        mStreamed = true;
    } else {
        mTarget = FollowLinks(path);
        if (mTarget.empty())
            throw FileError(mName + ": cannot write: " + SystemError(ELOOP));
        exists = stat(mTarget.c_str(), &output) == 0;
        if (!exists && errno != ENOENT)
            throw FileError(mName + ": cannot write: " + SystemError());
    }

    // Only a file can be lost by writing over it; devices and pipes are not.
    if (exists && S_ISREG(output.st_mode)) {
        for (const std::string& input : inputs) {
            struct stat read {};
            const bool known =
                input == kStandardStream ? fstat(STDIN_FILENO, &read) == 0 : stat(input.c_str(), &read) == 0;
            if (known && SameFile(read, output))
                throw FileError(mName + ": cannot write: it is the same file as "
                                + (input == kStandardStream ? kStandardInputName : input));
        }
    }
    if (mStreamed)
        return;
    if (exists && S_ISDIR(output.st_mode))
        throw FileError(mName + ": cannot write: " + SystemError(EISDIR));
    // Whether the user may write the file, as the system would judge opening it.
    if (exists && faccessat(AT_FDCWD, mTarget.c_str(), W_OK, AT_EACCESS) != 0)
        throw FileError(mName + ": cannot write: " + SystemError());
    if (exists && !S_ISREG(output.st_mode)) {
        mStreamed = true;  // a device or a pipe: written into, never replaced
        return;
    }
    OpenTemporary(exists ? &output : nullptr);
}

OutputFile::~OutputFile()
{
    if (mFd >= 0) {
        close(mFd);
        unlink(mTemporary.c_str());
    }
    ReleaseSlot();
}

void OutputFile::ReleaseSlot()
{
    if (mSlot) {
        mSlot->state.store(kFree);
        mSlot = nullptr;
    }
}

void OutputFile::OpenTemporary(const struct stat* replaced)
{
    RemoveTemporariesOnSignals();
    std::string temporary = mTarget + ".XXXXXX";
    int fd = -1;
    {
        const EndingSignalsHeld held;
        TemporarySlot* slot = ReserveSlot(temporary.size());
        if (slot) {
            std::memcpy(slot->path, temporary.c_str(), temporary.size() + 1);
            fd = mkostemp(slot->path, O_CLOEXEC);
            slot->state.store(fd >= 0 ? kLive : kFree);
            if (fd >= 0) {
                temporary = slot->path;
                mSlot = slot;
            }
        } else {
            fd = mkostemp(temporary.data(), O_CLOEXEC);
        }
    }
    if (fd < 0)
        throw FileError(mName + ": cannot write: " + SystemError());
    mFd = fd;
    mTemporary = std::move(temporary);
    if (replaced && (replaced->st_uid != geteuid() || replaced->st_gid != getegid())
        && fchown(mFd, replaced->st_uid, replaced->st_gid) != 0) {
        // Only a privileged user may give a file away; for anyone else the new file
        // is theirs, as a file they may write and save again would be.
    }
    const mode_t mode = replaced ? replaced->st_mode & kPermissionBits : CreationMode();
    if (fchmod(mFd, mode) != 0)
        Fail(SystemError());
}

void OutputFile::Fail(const std::string& problem)
{
    if (mFd >= 0) {
        close(mFd);
        mFd = -1;
        unlink(mTemporary.c_str());
        ReleaseSlot();
    }
    throw FileError(mName + ": cannot write: " + problem);
}

void OutputFile::Append(const uint8_t* bytes, size_t size)
{
    if (mStreamed)
        mBuffer.insert(mBuffer.end(), bytes, bytes + size);
    else if (!WriteAll(mFd, bytes, size))
        Fail(SystemError());
}

void OutputFile::Overwrite(uint64_t offset, const uint8_t* bytes, size_t size)
{
    if (mStreamed) {
        if (offset + size > mBuffer.size())
            mBuffer.resize(offset + size);
        std::memcpy(mBuffer.data() + offset, bytes, size);
    } else if (!WriteAll(mFd, bytes, size, static_cast<off_t>(offset))) {
        Fail(SystemError());
    }
}

void OutputFile::WriteStream()
{
    const bool standardOutput = mTarget.empty();  // a device or a pipe has its path
    const int fd = standardOutput ? STDOUT_FILENO : open(mTarget.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        Fail(SystemError());
    const bool written = WriteAll(fd, mBuffer.data(), mBuffer.size());
    const int error = errno;
    if (!standardOutput && close(fd) != 0 && written)
        Fail(SystemError());
    if (!written)
        Fail(SystemError(error));
    mBuffer.clear();
}

void OutputFile::Commit()
{
    if (mStreamed) {
        WriteStream();
        return;
    }
    const int fd = mFd;
    mFd = -1;
    if (close(fd) != 0 || rename(mTemporary.c_str(), mTarget.c_str()) != 0) {
        const std::string problem = SystemError();
        unlink(mTemporary.c_str());
        ReleaseSlot();
        throw FileError(mName + ": cannot write: " + problem);
    }
    ReleaseSlot();
}

void WriteOutputFile(const std::string& path, const std::vector<uint8_t>& bytes, const std::vector<std::string>& inputs)
{
    OutputFile output(path, inputs);
    output.Append(bytes.data(), bytes.size());
    output.Commit();
}
