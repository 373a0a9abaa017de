// The random source: the C library's clock and generator, called by name. They are
// resolved when the library is loaded, so a program that defines `time` or
// `drand48` itself (a test fixing the second or scripting the draws) is what every
// plug-in in it calls.
#include "RandomSource.h"

#include <cstdlib>

void SeedRandomFromClock()
{
    // The generator takes the calendar second as an unsigned 32-bit value.
    srand48(static_cast<uint32>(time(nullptr)));
}

double DrawRandom()
{
    return drand48();
}
