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
