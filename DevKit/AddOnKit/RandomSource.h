// The random source of the kit's random filters: the process-wide drand48
// generator, seeded from the clock for each note.
//
// The seeding and every draw of one note form one uninterrupted sequence: a chain
// builder holds a RandomSequenceGuard from before it seeds until after its last
// draw. The guard takes the platform's process-wide lock, not one of this library,
// because every plug-in in the process draws from the same generator. Notes handled
// on several threads at once thus each get the values they would get alone. The
// lock spins rather than sleeps, so a live host's audio thread may take it.
#pragma once

#include <RandomSequence.h>

#include <ctime>
#include <mutex>

// Holds the process-wide random sequence for the lifetime of the object.
class RandomSequenceGuard {
public:
    RandomSequenceGuard() : mLock(RandomSequenceLock()) {}

private:
    std::lock_guard<SpinLock> mLock;
};

// Seeds the generator with the current calendar second. Only under the guard.
void SeedRandomFromClock();

// The next value of the generator, uniform in [0, 1). Only under the guard.
double DrawRandom();

// Where the random source reads the clock and draws. Tests replace these to fix
// the seed and script or count the draws; hosts never touch them. Every plug-in
// that uses the random source has its own table, found by its symbol name.
struct RandomSourceHooks {
    time_t (*clock)(time_t*);
    double (*draw)();
};
constexpr const char* kRandomSourceTestHooksSymbol = "ux_random_source_test_hooks";
