#include "Probe.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <new>
#include <stdexcept>

namespace {

constexpr const char* kCheckNames[kCheckCount] = {
    "load", "gate",  "head",        "before", "order", "leak",   "crash",     "null copy", "heap",
    "lock", "sleep", "system call", "hang",   "state", "thread", "exception", "extremes",  "long chain"};

// The exit status of a child out of which an exception escaped.
constexpr int kEscapedException = 70;
// The exit status of a child whose parent ended before it could start.
constexpr int kOrphaned = 71;

// The signal the parent sends a call's thread before it stops the child, so that the
// thread notes where in the plug-in it is.
const int kWhereSignal = SIGRTMIN + 3;
// How long the parent waits for that note.
constexpr int64_t kWhereWaitNs = 50000000;
constexpr int kMostFrames = 64;

int64_t ClockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

int64_t NowNs()
{
    return ClockNs(CLOCK_MONOTONIC);
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

// /proc/PROCESS/task/THREAD/`name`, opened to read, or null.
FILE* OpenTaskFile(pid_t process, int thread, const char* name)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/task/%d/%s", static_cast<int>(process), thread, name);
    return std::fopen(path, "r");
}

// The number /proc/PROCESS/task/THREAD/`name` begins with, or -1.
long long TaskNumber(pid_t process, int thread, const char* name)
{
    FILE* file = OpenTaskFile(process, thread, name);
    long long number = -1;
    if (file) {
        if (std::fscanf(file, "%lld", &number) != 1)
            number = -1;
        std::fclose(file);
    }
    return number;
}

// The scheduler's state of a thread: 'R' running or ready, 'S' asleep, 'D' waiting
// on a device, ...; 0 when unknown.
char ThreadState(pid_t process, int thread)
{
    FILE* file = OpenTaskFile(process, thread, "stat");
    if (!file)
        return 0;
    char line[512] = {};
    const size_t got = std::fread(line, 1, sizeof line - 1, file);
    std::fclose(file);
    line[got] = 0;
    const char* end = std::strrchr(line, ')');  // the name in parentheses may hold anything
    return end && end[1] == ' ' ? end[2] : 0;
}

// The name of the system call a thread waits in, or empty.
std::string SystemCallOf(pid_t process, int thread)
{
    const long long number = TaskNumber(process, thread, "syscall");
    static const struct {
        long number;
        const char* name;
    } kNames[] = {
        {SYS_nanosleep, "nanosleep"},
        {SYS_clock_nanosleep, "clock_nanosleep"},
        {SYS_futex, "futex"},
        {SYS_read, "read"},
        {SYS_write, "write"},
        {SYS_poll, "poll"},
        {SYS_ppoll, "ppoll"},
        {SYS_select, "select"},
        {SYS_pselect6, "pselect6"},
        {SYS_epoll_wait, "epoll_wait"},
        {SYS_epoll_pwait, "epoll_pwait"},
        {SYS_wait4, "wait4"},
        {SYS_pause, "pause"},
        {SYS_sched_yield, "sched_yield"},
        {SYS_recvfrom, "recvfrom"},
        {SYS_connect, "connect"},
        {SYS_accept, "accept"},
        {SYS_openat, "openat"},
    };
    for (const auto& known : kNames)
        if (known.number == number)
            return known.name;
    return number >= 0 ? "system call " + std::to_string(number) : std::string();
}

// Whether a thread waiting in `systemCall` sleeps on purpose (a sleep, or a wait
// for a time); a wait for memory or a lock the runtime takes is no finding until
// it lasts kBlockedFactor times the limit.
bool IsSleep(const std::string& systemCall)
{
    for (const char* name :
         {"nanosleep", "clock_nanosleep", "select", "pselect6", "poll", "ppoll", "epoll_wait", "epoll_pwait", "pause"})
        if (systemCall == name)
            return true;
    return false;
}

struct Overdue {
    const CallSlot* slot = nullptr;
    Stop stop = Stop::kNone;
};

// The call of `child` that has kept the processor longer than `limitNs`, waited as
// long asleep, or gone without the processor kBlockedFactor times as long.
Overdue OverdueCall(const Probe& probe, pid_t child, int64_t limitNs)
{
    const int64_t now = NowNs();
    for (const CallSlot& slot : probe.callers) {
        const int64_t start = slot.startNs.load(std::memory_order_acquire);
        if (start == 0 || now - start <= limitNs)
            continue;
        const int64_t used = TaskNumber(child, slot.thread, "schedstat");  // processor time, or -1
        if (used >= 0 && used - slot.startCpuNs > limitNs)
            return {&slot, Stop::kProcessor};
        if (now - start > kBlockedFactor * limitNs)
            return {&slot, Stop::kWaiting};
        const char state = ThreadState(child, slot.thread);
        if (used >= 0 && now - start - (used - slot.startCpuNs) > limitNs && (state == 'S' || state == 'D')
            && IsSleep(SystemCallOf(child, slot.thread)))
            return {&slot, Stop::kAsleep};
    }
    return {};
}

// Where the thread that takes a crash (or kWhereSignal) was in the plug-in: the
// first address of its stack inside the plug-in's code, into its CallSlot. Only
// async-signal-safe work, once backtrace() has been called once before.
Probe* gChildProbe = nullptr;

// The slot of the call this thread is making into the filter, while it makes it.
thread_local CallSlot* tCall = nullptr;

// Notes in `slot` where this thread is in the plug-in's code: `at` (the address it
// was stopped at, or 0), then the return addresses of its stack inside the plug-in,
// each moved back into its call. where[0] goes last: the parent waits for it.
void NoteStack(const Probe& probe, CallSlot& slot, uint64_t at)
{
    CodeStack stack{};
    size_t depth = 0;
    if (at != 0)
        stack[depth++] = at;
    void* frames[kMostFrames];
    const int count = backtrace(frames, kMostFrames);
    for (int i = 0; i < count && depth < stack.size(); ++i) {
        const auto address = reinterpret_cast<uintptr_t>(frames[i]);
        if (probe.image.Holds(address) && address - 1 - probe.image.base != at)
            stack[depth++] = address - 1 - probe.image.base;
    }
    for (size_t i = stack.size(); i-- > 0;)
        slot.where[i].store(stack[i], std::memory_order_release);
}

void NoteWhere(int signal, siginfo_t*, void* context)
{
    if (signal != kWhereSignal) {
        // The crash ends the child when the faulting code runs again on return, by
        // its default action, whatever a runtime (a sanitizer's, say) did with
        // SA_RESETHAND.
        struct sigaction fallback {};
        fallback.sa_handler = SIG_DFL;
        sigaction(signal, &fallback, nullptr);
    }
    Probe& probe = *gChildProbe;
    CallSlot* slot = tCall;
    if (!slot || slot->startNs.load(std::memory_order_relaxed) == 0)
        return;
    uint64_t at = 0;
#if defined(__x86_64__)
    // The address that faulted, exactly (the stack's others are return addresses).
    const auto pc = static_cast<uintptr_t>(static_cast<ucontext_t*>(context)->uc_mcontext.gregs[REG_RIP]);
    if (probe.image.Holds(pc))
        at = pc - probe.image.base;
#else
    (void)context;
#endif
    NoteStack(probe, *slot, at);
    // A thread asked where it is stays where it is until the parent ends the child: a
    // sleep the signal cut short would otherwise return, and the next call into the
    // filter would take the slot, and its place, before the parent reads it.
    if (signal == kWhereSignal)
        for (;;)
            pause();
}

// What a child sets up before its body: it ends with its parent, and its crashes
// note where they happened before they end it with their signal, whatever handler a
// runtime (a sanitizer's, say) put in front of them.
void PrepareChild(Probe& probe, pid_t parent)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)  // the parent ended before the line above
        _exit(kOrphaned);
    gChildProbe = &probe;
    void* frames[1];
    backtrace(frames, 1);                 // loads the unwinder now, outside any signal handler
    static char alternateStack[1 << 16];  // a crash by a stack overflow has no stack left
    stack_t stack{};
    stack.ss_sp = alternateStack;
    stack.ss_size = sizeof alternateStack;
    sigaltstack(&stack, nullptr);
    struct sigaction action {};
    action.sa_sigaction = NoteWhere;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL})
        sigaction(signal, &action, nullptr);
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigaction(kWhereSignal, &action, nullptr);
}

Fault FaultAt(const CallSlot* slot, Stop stop, int status)
{
    Fault fault{stop, false, 0, 0, slot != nullptr, {}, {}, {}, {}};
    if (stop == Stop::kNone) {
        if (WIFSIGNALED(status))
            fault.signal = WTERMSIG(status);
        else
            fault.exitStatus = WEXITSTATUS(status);
        fault.threw = fault.exitStatus == kEscapedException;
    }
    if (slot) {
        fault.function = slot->function;
        fault.what = slot->what;
        fault.where = PlacesOf(*slot);
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

CallMark::CallMark(CallSlot& slot, int input, const char* function, const std::string& what) : mSlot(slot)
{
    slot.input = input;
    slot.thread = static_cast<int>(gettid());
    slot.startCpuNs = ClockNs(CLOCK_THREAD_CPUTIME_ID);
    for (auto& place : slot.where)
        place.store(0, std::memory_order_relaxed);
    tCall = &slot;
    CopyText(slot.function, sizeof slot.function, function);
    CopyText(slot.what, sizeof slot.what, what);
    slot.startNs.store(NowNs(), std::memory_order_release);
}

CallMark::~CallMark()
{
    tCall = nullptr;
    mSlot.startNs.store(0, std::memory_order_release);
}

// Every throw of the process comes here first (uxhost exports it, so that the
// plug-ins bind to it): one thrown by a filter inside a call of the checks notes
// where in the plug-in it was thrown, then the throw goes on as the C++ runtime's.
extern "C" [[noreturn]] void __cxa_throw(void* object, void* type, void (*destroy)(void*))
{
    if (CallSlot* slot = tCall; slot && gChildProbe && slot->where[0].load(std::memory_order_relaxed) == 0)
        NoteStack(*gChildProbe, *slot, 0);
    using Throw = void (*)(void*, void*, void (*)(void*));
    static const auto runtimeThrow = reinterpret_cast<Throw>(dlsym(RTLD_NEXT, "__cxa_throw"));
    runtimeThrow(object, type, destroy);
    std::abort();
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
    const pid_t parent = getpid();
    probe.resumeAt.store(0);
    for (int run = 0; run <= limits.restarts; ++run) {
        for (CallSlot& slot : probe.callers)
            slot.startNs.store(0, std::memory_order_relaxed);
        std::cout.flush();
        std::fflush(nullptr);
        const pid_t child = fork();
        if (child < 0)
            throw std::runtime_error("cannot start a child process for the checks");
        if (child == 0) {
            PrepareChild(probe, parent);
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
        Stop stop = Stop::kNone;
        const CallSlot* slot = nullptr;
        Fault fault{};
        while (waitpid(child, &status, WNOHANG) == 0) {
            const Overdue overdue = OverdueCall(probe, child, limits.callMs * 1000000);
            stop = !overdue.slot && NowNs() > groupEnd ? Stop::kGroupTime : overdue.stop;
            if (stop != Stop::kNone) {
                slot = overdue.slot ? overdue.slot : CallInProgress(probe);
                fault = FaultAt(slot, stop, 0);
                if (slot) {
                    fault.systemCall = SystemCallOf(child, slot->thread);
                    // Asks the thread where it is, and gives it a moment to say.
                    syscall(SYS_tgkill, child, slot->thread, kWhereSignal);
                    const int64_t until = NowNs() + kWhereWaitNs;
                    while (slot->where[0].load() == 0 && NowNs() < until) {
                        const timespec step{0, 1000000};
                        nanosleep(&step, nullptr);
                    }
                    fault.where = PlacesOf(*slot);
                }
                kill(child, SIGKILL);
                waitpid(child, &status, 0);
                break;
            }
            const timespec step{0, 2000000};
            nanosleep(&step, nullptr);
        }
        if (stop == Stop::kNone) {
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                return;
            slot = CallInProgress(probe);
            fault = FaultAt(slot, stop, status);
        }
        if (!onFault(fault) || !slot || stop == Stop::kGroupTime)
            return;
        probe.resumeAt.store(slot->input + 1);
    }
}
