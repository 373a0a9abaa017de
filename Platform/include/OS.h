// The kernel kit's atomic operations and sleeping.
#pragma once

#include "SupportDefs.h"

// ORs `bits` into `*value` as one indivisible step and returns the value before it.
// The step both acquires and releases: what a thread wrote before its OR is seen by
// a thread that later sees the bits.
PLATFORM_EXPORT int32 atomic_or(int32* value, int32 bits);

// Reads `*value` afresh, never from a cached copy, with acquire order.
PLATFORM_EXPORT int32 atomic_get(int32* value);

// Suspends the calling thread for `microseconds`; returns at once for 0 or less.
PLATFORM_EXPORT status_t snooze(bigtime_t microseconds);

// The calendar clock: `time`, as the plug-ins call it, answers the seconds since
// the epoch. A host may fix the second it answers for the whole process (so that
// the filters that seed their generator from the clock give the same result on
// every run) and let it go again; a negative second lets it go. Safe from any
// thread.
PLATFORM_EXPORT void set_calendar_second(int64 second);
