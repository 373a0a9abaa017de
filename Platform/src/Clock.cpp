#include "Clock.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<bool> gFixed{false};
std::atomic<int64> gFixedSecond{0};

}  // namespace

void FixClock(int64 second)
{
    gFixedSecond.store(second, std::memory_order_relaxed);
    gFixed.store(true, std::memory_order_release);
}

int64 ClockSecond()
{
    if (gFixed.load(std::memory_order_acquire))
        return gFixedSecond.load(std::memory_order_relaxed);
    // Read through the vDSO: no system call, so a real-time thread may ask.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec;
}
