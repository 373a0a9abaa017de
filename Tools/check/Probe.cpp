#include "Probe.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <new>
#include <stdexcept>

namespace {

constexpr const char* kCheckNames[kCheckCount]
    = {"load", "gate",  "head",        "before", "order", "leak",   "crash",     "null copy", "heap",
       "lock", "sleep", "system call", "hang",   "state", "thread", "exception", "extremes",  "long chain"};

// The exit status of a child out of which an exception escaped.
constexpr int kEscapedException = 70;

int64_t NowNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void CopyText(char* to, size_t room, const std::string& text)
{
    std::snprintf(to, room, "%s", text.c_str());
}

// The first call in progress, or null.
const CallSlot* CallInProgress(const Probe& probe)
{
    for (const CallSlot& slot : probe.callers)
        if (slot.startNs.load(std::memory_order_acquire) != 0)
            return &slot;
    return nullptr;
}

int64_t ThreadCpuNs()
{
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return static_cast<int64_t>(used.tv_sec) * 1000000000 + used.tv_nsec;
}

// The processor time thread `thread` of process `process` has used, or -1.
int64_t ThreadCpuNs(pid_t process, int thread)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/schedstat", static_cast<int>(process), thread);
    FILE* file = std::fopen(path, "r");
    long long used = -1;
    if (file) {
        if (std::fscanf(file, "%lld", &used) != 1)
            used = -1;
        std::fclose(file);
    }
    return used;
}

// The call of `child` that has kept the processor longer than `limitNs`, or waited
// kBlockedFactor times as long; null when there is none.
const CallSlot* OverdueCall(const Probe& probe, pid_t child, int64_t limitNs)
{
    const int64_t now = NowNs();
    for (const CallSlot& slot : probe.callers) {
        const int64_t start = slot.startNs.load(std::memory_order_acquire);
        if (start == 0 || now - start <= limitNs)
            continue;
        const int64_t used = ThreadCpuNs(child, slot.thread);
        if (now - start > kBlockedFactor * limitNs || (used >= 0 && used - slot.startCpuNs > limitNs))
            return &slot;
    }
    return nullptr;
}

void ClearCalls(Probe& probe)
{
    for (CallSlot& slot : probe.callers)
        slot.startNs.store(0, std::memory_order_relaxed);
}

Fault FaultAt(const CallSlot* slot, bool hang, int status)
{
    Fault fault{hang, false, 0, 0, slot != nullptr, {}, {}};
    if (!hang) {
        if (WIFSIGNALED(status))
            fault.signal = WTERMSIG(status);
        else
            fault.exitStatus = WEXITSTATUS(status);
        fault.threw = fault.exitStatus == kEscapedException;
    }
    if (slot) {
        fault.function = slot->function;
        fault.what = slot->what;
    }
    return fault;
}

}  // namespace

const char* CheckName(CheckId check)
{
    return kCheckNames[static_cast<int>(check)];
}

SharedProbe::SharedProbe()
{
    const int fd = memfd_create("uxhost-check", 0);
    if (fd < 0 || ftruncate(fd, sizeof(Probe)) != 0)
        throw std::runtime_error("cannot make memory to share with the checks");
    mProbe = Map(fd);
    new (mProbe) Probe{};
    mProbe->memoryFd = fd;
}

SharedProbe::~SharedProbe()
{
    const int fd = mProbe->memoryFd;
    munmap(mProbe, sizeof(Probe));
    close(fd);
}

Probe* SharedProbe::Map(int fd)
{
    void* memory = mmap(nullptr, sizeof(Probe), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED)
        throw std::runtime_error("cannot map the memory shared with the checks");
    return static_cast<Probe*>(memory);
}

void Record(Probe& probe, CheckId check, Verdict verdict, const std::string& text)
{
    SharedFinding& finding = probe.findings[static_cast<int>(check)];
    if (finding.set && finding.verdict == Verdict::kWarn && verdict == Verdict::kWarn) {
        CopyText(finding.text, sizeof finding.text, std::string(finding.text) + "; " + text);
        return;
    }
    if (finding.set && (finding.verdict == Verdict::kFail || verdict != Verdict::kFail))
        return;
    finding.verdict = verdict;
    CopyText(finding.text, sizeof finding.text, text);
    finding.set = true;
}

CallMark::CallMark(CallSlot& slot, int input, const char* function, const std::string& what)
    : mSlot(slot)
{
    slot.input = input;
    slot.thread = static_cast<int>(gettid());
    slot.startCpuNs = ThreadCpuNs();
    CopyText(slot.function, sizeof slot.function, function);
    CopyText(slot.what, sizeof slot.what, what);
    slot.startNs.store(NowNs(), std::memory_order_release);
}

CallMark::~CallMark()
{
    mSlot.startNs.store(0, std::memory_order_release);
}

void CallMark::Now(const char* function)
{
    CopyText(mSlot.function, sizeof mSlot.function, function);
}

std::string SignalName(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    std::string name = abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
    if (const char* description = strsignal(signal)) {
        std::string words = description;
        if (!words.empty())
            words[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(words[0])));
        name += " (" + words + ")";
    }
    return name;
}

void RunIsolated(Probe& probe, const Limits& limits, const std::function<void()>& body,
                 const std::function<bool(const Fault&)>& onFault)
{
    const int64_t groupEnd = NowNs() + limits.groupMs * 1000000;
    probe.resumeAt.store(0);
    for (int run = 0; run <= limits.restarts; ++run) {
        ClearCalls(probe);
        std::cout.flush();
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child < 0)
            throw std::runtime_error("cannot start a child process for the checks");
        if (child == 0) {
            // A crash ends the child with its signal, whatever handler a runtime
            // (a sanitizer's, say) put in front of it.
            for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
                std::signal(signal, SIG_DFL);
            // Nothing may unwind out of the child into the parent's code.
            try {
                body();
            } catch (...) {
                _exit(kEscapedException);
            }
            std::fflush(nullptr);
            _exit(0);
        }
        int status = 0;
        const CallSlot* overdue = nullptr;
        bool outOfTime = false;
        while (waitpid(child, &status, WNOHANG) == 0) {
            overdue = OverdueCall(probe, child, limits.callMs * 1000000);
            outOfTime = NowNs() > groupEnd;
            if (overdue || outOfTime) {
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            const timespec step{0, 2000000};
            nanosleep(&step, nullptr);
        }
        if (!overdue && !outOfTime && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            return;
        const CallSlot* slot = overdue ? overdue : CallInProgress(probe);
        if (!onFault(FaultAt(slot, overdue || outOfTime, status)) || !slot || outOfTime)
            return;
        probe.resumeAt.store(slot->input + 1);
    }
}
