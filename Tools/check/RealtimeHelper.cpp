// uxhost-rtcheck PLUGIN PROBE-FD CLOCK-SECOND SEED SONG: hands a plug-in's filter the inputs
// of `uxhost check` as a live host's audio thread does (inside an event pool's
// scope) under the real-time sanitizer's runtime, which stops the process at the
// first heap call, lock, sleep or blocking system call and names it on standard
// error. `uxhost check` runs it as a child: PROBE-FD is the shared memory where each
// call is marked, so that the parent knows the input, and where the next run starts;
// SEED and SONG (empty for none) choose the ordinary notes as uxhost does.
//
// The runtime sees the heap, locks, sleeping and file and socket calls; for the
// calls it leaves alone, this program stands in front of them itself.
#include <dlfcn.h>
#include <execinfo.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <iostream>

#include <LiveFilter.h>
#include <OS.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

#include "Inputs.h"
#include "Pipeline.h"
#include "PluginLoader.h"
#include "Probe.h"

extern "C" void __rtsan_init();
extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();

namespace {

// True while this thread runs a filter as a real-time thread would.
thread_local bool tRealtime = false;

// Reports as the runtime does, with the stack's frames as "(FILE+0xADDRESS)", and
// ends the process.
[[noreturn]] void Violation(const char* function)
{
    tRealtime = false;
    __rtsan_realtime_exit();  // what follows may call what the runtime would stop
    char line[4096];
    int length = std::snprintf(
        line, sizeof line,
        "Real-time violation: intercepted call to real-time unsafe function `%s` in real-time context!\n", function);
    syscall(SYS_write, STDERR_FILENO, line, static_cast<size_t>(length));
    void* frames[32];
    const int count = backtrace(frames, 32);
    for (int i = 0; i < count; ++i) {
        Dl_info info{};
        if (!dladdr(frames[i], &info) || !info.dli_fname)
            continue;
        length = std::snprintf(line, sizeof line, "    #%d %p (%s+0x%zx)\n", i, frames[i], info.dli_fname,
                               static_cast<size_t>(static_cast<char*>(frames[i]) - static_cast<char*>(info.dli_fbase)));
        syscall(SYS_write, STDERR_FILENO, line, static_cast<size_t>(length));
    }
    _exit(1);
}

// Hands `event` over inside the pool's scope, as a real-time thread. The chain is
// released afterwards: the pool's events go back without a heap call either way,
// and an event of another kind may live on the heap.
void Hand(UxFilterI& filter, UxEvent* event, UxEventPool& pool)
{
    const ux_filter_params params;
    UxEvent* head = nullptr;
    __rtsan_realtime_enter();
    tRealtime = true;
    {
        const UxEventPoolScope scope(pool);
        try {
            head = filter.HandleEvent(event, &params);
        } catch (...) {
            // The exception check names it; here only what the throw itself calls counts.
        }
    }
    tRealtime = false;
    __rtsan_realtime_exit();
    UxEvent::DeleteChain(head);
}

}  // namespace

// The calls the runtime does not see, made by a real-time thread.
extern "C" {
int sched_yield() noexcept
{
    if (tRealtime)
        Violation("sched_yield");
    return static_cast<int>(syscall(SYS_sched_yield));
}

ssize_t write(int fd, const void* bytes, size_t size)
{
    if (tRealtime)
        Violation("write");
    return syscall(SYS_write, fd, bytes, size);
}

ssize_t read(int fd, void* bytes, size_t size)
{
    if (tRealtime)
        Violation("read");
    return syscall(SYS_read, fd, bytes, size);
}

int poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    if (tRealtime)
        Violation("poll");
    return static_cast<int>(syscall(SYS_poll, fds, count, timeoutMs));
}

int clock_nanosleep(clockid_t clock, int flags, const timespec* request, timespec* remain) noexcept
{
    if (tRealtime)
        Violation("clock_nanosleep");
    return syscall(SYS_clock_nanosleep, clock, flags, request, remain) == 0 ? 0 : errno;
}
}

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::cerr << "usage: uxhost-rtcheck PLUGIN PROBE-FD CLOCK-SECOND SEED SONG (run by uxhost check)\n";
        return 2;
    }
    __rtsan_init();
    void* frame[1];
    backtrace(frame, 1);  // loads the unwinder now, not in a real-time section
    set_calendar_second(std::strtoll(argv[3], nullptr, 10));
    try {
        const std::unique_ptr<Plugin> plugin = Plugin::Load(argv[1]);
        Probe& probe = *SharedProbe::Map(std::atoi(argv[2]));
        UxFilterHolderI holder;
        FilterPtr filter(plugin->AddOn()->NewInstance(&holder, nullptr));
        if (!filter)
            return 0;
        UxEventPool pool(LiveCapacity{}.eventPool);  // as the live adapter's
        InputSettings inputs;
        inputs.seed = std::strtoull(argv[4], nullptr, 10);
        inputs.song = argv[5];
        inputs.thin = RUNNING_ON_VALGRIND;
        std::vector<NoteInput> notes = OrdinaryNotes(inputs);
        const std::vector<NoteInput> extremes = ExtremeNotes();
        notes.insert(notes.end(), extremes.begin(), extremes.end());
        std::vector<UxEvent*> others = OtherEvents();
        const int count = static_cast<int>(others.size() + notes.size());
        for (int i = probe.resumeAt.load(); i < count; ++i) {
            if (i < static_cast<int>(others.size())) {
                CallMark call(probe.callers[0], i, "HandleEvent", Describe(*others[i]));
                Hand(*filter, others[i], pool);
                others[i] = nullptr;
                continue;
            }
            const NoteInput& input = notes[i - others.size()];
            UxEvent* note = nullptr;
            {
                const UxEventPoolScope scope(pool);
                note = NewNote(input);
            }
            CallMark call(probe.callers[0], i, "HandleEvent", Describe(input));
            Hand(*filter, note, pool);
        }
        for (UxEvent* event : others)
            UxEvent::DeleteChain(event);
    } catch (const std::exception& error) {
        std::cerr << "uxhost-rtcheck: " << error.what() << "\n";
        return 2;
    }
    return 0;
}
