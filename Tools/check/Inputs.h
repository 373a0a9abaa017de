// The inputs the checks hand to a filter, and what one call makes of one note.
#pragma once

#include <string>
#include <vector>

#include <UxEventPool.h>
#include <UxFilterI.h>

#include "Probe.h"

// A note as handed in. Pitch and velocity may lie outside what MIDI carries (0 to
// 255), so that the extremes can be tried.
struct NoteInput {
    UxTime start;
    UxTime duration;
    int pitch;
    int velocity;
    int channel = 0;
};

// What the ordinary notes are drawn from beside the fixed part.
struct InputSettings {
    static constexpr uint64_t kDefaultSeed = 1;
    uint64_t seed = kDefaultSeed;  // of the random part, printed so that a failure can be replayed
    std::string song;              // a Standard MIDI File whose every note is handed over too; empty: none
    // A thinner grid and random part (four durations, 200 random notes), for runs
    // under valgrind, which runs code some tens of times slower.
    bool thin = false;
};

// How many notes each part of the ordinary notes holds.
struct NoteParts {
    size_t velocities = 0;  // of the grid
    size_t durations = 0;
    size_t grid = 0;    // every pitch at each velocity and duration
    size_t random = 0;  // the seeded part
    size_t song = 0;
};

// Notes as songs bring them: every pitch 0 to 127 at velocities from 1 to 127 and
// durations from 1 tick to several bars (at 96, 480 and 960 ticks a beat), at
// several starts; then a random part drawn from `settings.seed`; then every note of
// `settings.song`, as `apply` hands them over. Throws FileError for a song that
// cannot be read.
std::vector<NoteInput> OrdinaryNotes(const InputSettings& settings, NoteParts* parts = nullptr);
// Every pitch and velocity 0 to 255, the shortest, longest and impossible
// durations, and starts near the beginning and the end of time.
std::vector<NoteInput> ExtremeNotes();
// Events of every other kind the host hands to filters.
std::vector<UxEvent*> OtherEvents();

// `note` as an event, from the open event pool's scope or the heap; null without room.
UxEvent* NewNote(const NoteInput& note);

// "the note of pitch 60, velocity 100, duration 480, start 0".
std::string Describe(const NoteInput& note);
// "the control change at tick 0" and so on.
std::string Describe(const UxEvent& event);
// Whether MIDI can carry the note: pitch 0 to 127, velocity 1 to 127.
bool MidiCarries(int pitch, int velocity);

// What a chain holds, event by event, to compare chains.
struct EventRecord {
    int32 type;
    UxTime start;
    UxTime duration;
    int pitch;  // -1 for events that are no note
    int velocity;
    int channel;
    bool operator==(const EventRecord& other) const;
};
using ChainRecord = std::vector<EventRecord>;

EventRecord RecordOf(const UxEvent& event);

// "3 events, then 4", or "event 2 has pitch 61, then 62"; empty when equal.
std::string Difference(const ChainRecord& first, const ChainRecord& second);

// What one HandleEvent call did with one note.
struct NoteOutcome {
    bool threw = false;
    std::string what;      // the exception's message
    CodeStack thrownAt{};  // where in the plug-in it was thrown (CallSlot::where); 0s: unknown
    bool headIsNote = true;
    bool endless = false;  // the chain runs into itself
    ChainRecord chain;     // from the head that came back
    long leaked = 0;       // events of the pool still live after the chain went; < 0: deleted twice
};

// Hands `note` to `filter` as a live host does: made in `pool`'s scope, the chain
// released there too. The call is marked in `slot`.
NoteOutcome HandleNote(UxFilterI& filter, const NoteInput& note, UxEventPool& pool, CallSlot& slot, int index,
                       const std::string& what);
