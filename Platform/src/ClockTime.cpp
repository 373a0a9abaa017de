// The C library's `time`, answered by the platform's clock. Linked into a host
// executable (the object library PlatformClockTime) and exported from it, it is
// the `time` every plug-in of the process calls, so FixClock reaches them all.
#include <ctime>

#include "Clock.h"

extern "C" __attribute__((visibility("default"))) time_t time(time_t* result) noexcept
{
    const auto second = static_cast<time_t>(ClockSecond());
    if (result)
        *result = second;
    return second;
}
