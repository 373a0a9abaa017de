// The random source: the C library's clock and generator, called by name. They are
// resolved when the library is loaded, so a program that defines `time` or
// `drand48` itself (a test fixing the second or scripting the draws) is what every
// plug-in in it calls.
#include "RandomSource.h"

#include <UxEventPool.h>

#include <cstdlib>

RandomSequenceGuard::RandomSequenceGuard()
    : mShared(UxEventPoolScope::IsOpen() ? RandomSequenceLock().try_lock() : (RandomSequenceLock().lock(), true)),
      mOwn(),
      mOuter(ThreadRandomSequence())
{
    ThreadRandomSequence() = mShared ? nullptr : &mOwn;
}

RandomSequenceGuard::~RandomSequenceGuard()
{
    ThreadRandomSequence() = mOuter;
    if (mShared)
        RandomSequenceLock().unlock();
}

void SeedRandomFromClock()
{
    // The generator takes the calendar second as an unsigned 32-bit value.
    const auto seed = static_cast<uint32>(time(nullptr));
    if (drand48_data* own = ThreadRandomSequence())
        srand48_r(seed, own);
    else
        srand48(seed);
}

double DrawRandom()
{
    drand48_data* own = ThreadRandomSequence();
    if (!own)
        return drand48();
    double value = 0;
    drand48_r(own, &value);
    return value;
}
