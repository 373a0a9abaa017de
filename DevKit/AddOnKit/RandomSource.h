// The random source of the kit's random filters: the process-wide drand48
// generator, seeded from the clock for each note.
//
// The seeding and every draw of one note form one uninterrupted sequence: a chain
// builder holds a RandomSequenceGuard from before it seeds until after its last
// draw. The guard takes the platform's process-wide lock, not one of this library,
// because every plug-in in the process draws from the same generator. Notes handled
// on several threads at once thus each get the values they would get alone.
#pragma once

#include <RandomSequence.h>

#include <cstdlib>
#include <ctime>

// Holds the process-wide random sequence for the lifetime of the object. On a
// thread with an event pool scope open (a live host's audio thread) it never waits:
// when another thread holds the sequence, this note draws from a generator of its
// own, seeded and drawn the same way (srand48_r and drand48_r give the values
// srand48 and drand48 give), so that its chain is the same; only the process-wide
// generator then misses this note's draws.
class RandomSequenceGuard {
public:
    RandomSequenceGuard();
    ~RandomSequenceGuard();
    RandomSequenceGuard(const RandomSequenceGuard&) = delete;
    RandomSequenceGuard& operator=(const RandomSequenceGuard&) = delete;

private:
    bool mShared;          // holds the process-wide lock
    drand48_data mOwn;     // the generator drawn from when it does not
    drand48_data* mOuter;  // the thread's generator before this guard
};

// Seeds the generator with the current calendar second, read with `time`. Only
// under the guard.
void SeedRandomFromClock();

// The next value of the generator, uniform in [0, 1). Only under the guard.
double DrawRandom();
