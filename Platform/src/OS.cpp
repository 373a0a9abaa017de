#include "OS.h"

#include <cerrno>
#include <ctime>

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
    timespec remaining{static_cast<time_t>(microseconds / 1000000),
                       static_cast<long>(microseconds % 1000000) * 1000};
    // A signal cuts the sleep short; sleep on for what is left.
    while (nanosleep(&remaining, &remaining) != 0) {
        if (errno != EINTR)
            return B_ERROR;
    }
    return B_OK;
}
