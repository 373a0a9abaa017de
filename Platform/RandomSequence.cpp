// The one lock of the process-wide random sequence. It lives in the platform
// library so that every plug-in in the process shares it, whichever loaded first.
#include "RandomSequence.h"

#include <sched.h>

namespace {

// Spins before the waiting thread gives its processor away: each a pause of some
// tens of cycles, together far longer than a reseed and a few draws take.
constexpr int kSpinsBeforeYield = 1000;

// Tells the processor that this is a spin-wait loop: it saves power and lets the
// other hardware thread of the core run.
inline void CpuRelax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
    asm volatile("yield" ::: "memory");
#endif
}

// Constant-initialised: no guard runs on the first use.
SpinLock gRandomSequenceLock;

thread_local drand48_data* tOwnSequence __attribute__((tls_model("initial-exec"))) = nullptr;

}  // namespace

// Test and test-and-set: waiters read the flag, which keeps its cache line shared,
// and only try to take it once it reads free.
void SpinLock::lock() noexcept
{
    int spins = 0;
    while (mLocked.exchange(true, std::memory_order_acquire)) {
        while (mLocked.load(std::memory_order_relaxed)) {
            if (++spins < kSpinsBeforeYield) {
                CpuRelax();
            } else {
                spins = 0;
                sched_yield();
            }
        }
    }
}

bool SpinLock::try_lock() noexcept
{
    return !mLocked.load(std::memory_order_relaxed) && !mLocked.exchange(true, std::memory_order_acquire);
}

void SpinLock::unlock() noexcept
{
    mLocked.store(false, std::memory_order_release);
}

SpinLock& RandomSequenceLock()
{
    return gRandomSequenceLock;
}

drand48_data*& ThreadRandomSequence() noexcept
{
    return tOwnSequence;
}
