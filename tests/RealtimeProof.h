// What a live host's real-time test links in: either the RealtimeSanitizer runtime,
// linked whole (inside a real-time section every heap call, lock, sleep or blocking
// system call stops the program), or the interposed call counters.
#pragma once

#ifdef UX_REALTIME_SANITIZER
extern "C" void __rtsan_init();
extern "C" void __rtsan_realtime_enter();
extern "C" void __rtsan_realtime_exit();
static const bool gRealtimeSanitizer = (__rtsan_init(), true);
#else
#include "CallCounter.h"
#endif

// A live host's cycles, each run as a real-time cycle: inside a real-time section
// under the sanitizer, or with its heap calls and mutex locks counted.
struct RealtimeCycles {
    long heapCalls = 0;
    long mutexLocks = 0;

    template <typename Cycle>
    void Run(Cycle&& cycle)
    {
#ifdef UX_REALTIME_SANITIZER
        __rtsan_realtime_enter();
        cycle();
        __rtsan_realtime_exit();
#else
        const CallCounter counter;
        cycle();
        const CallCounts counts = counter.Counts();
        heapCalls += counts.HeapCalls();
        mutexLocks += counts.mutexLocks;
#endif
    }
};
