#include "OS.h"

#include <cerrno>
#include <ctime>

namespace {

// The second the host fixed, or -1 for the real clock.
int64 sCalendarSecond = -1;

}  // namespace

int32 atomic_or(int32* value, int32 bits)
{
    return __atomic_fetch_or(value, bits, __ATOMIC_ACQ_REL);
}

int32 atomic_get(int32* value)
{
    return __atomic_load_n(value, __ATOMIC_ACQUIRE);
}

status_t snooze(bigtime_t microseconds)
{
    if (microseconds <= 0)
        return B_OK;
    timespec remaining{static_cast<time_t>(microseconds / 1000000), static_cast<long>(microseconds % 1000000) * 1000};
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0) {
        if (errno != EINTR)
            return B_ERROR;
    }
    return B_OK;
}

void set_calendar_second(int64 second)
{
    __atomic_store_n(&sCalendarSecond, second < 0 ? -1 : second, __ATOMIC_RELEASE);
}

// The C library's `time`, answered here: a program linked to the platform finds
// this definition before the C library's, and so do the plug-ins it loads, which
// call `time` by name. The real clock is read as the C library reads it.
extern "C" PLATFORM_EXPORT time_t time(time_t* stored) noexcept
{
    time_t now = static_cast<time_t>(__atomic_load_n(&sCalendarSecond, __ATOMIC_ACQUIRE));
    if (now < 0) {
        timespec clock{};
        clock_gettime(CLOCK_REALTIME, &clock);
        now = clock.tv_sec;
    }
    if (stored)
        *stored = now;
    return now;
}
