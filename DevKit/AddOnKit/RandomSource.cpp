// The random source: one indirect call to the clock per note and one per draw.
#include "RandomSource.h"

#include <cstdlib>

// Exported under a plain name for tests alone: a test finds it with dlsym.
extern "C" {
__attribute__((visibility("default"))) RandomSourceHooks ux_random_source_test_hooks = {
    &time,
    &drand48,
};
}

void SeedRandomFromClock()
{
    // The generator takes the calendar second as an unsigned 32-bit value.
    srand48(static_cast<uint32>(ux_random_source_test_hooks.clock(nullptr)));
}

double DrawRandom()
{
    return ux_random_source_test_hooks.draw();
}
