// The calendar second the platform's clock answers: the system's, unless a host
// fixes it for the whole process so that filters which read the clock (to seed a
// random generator, say) answer the same way on every run.
#pragma once

#include "SupportDefs.h"

// From now on the clock answers `second`, on every thread.
PLATFORM_EXPORT void FixClock(int64 second);

// The clock's second: the fixed one, or else the system's.
PLATFORM_EXPORT int64 ClockSecond();
