// A track of a MIDI file as host events, and host events back as a track.
//
// A note-on and the note-off that ends it become one UxNoteOn with start, duration,
// pitch, velocity and channel; controller, program and pitch-bend messages become
// their own host events; every other message or meta event a UxMidiMessage. Ticks
// stay the file's own.
#pragma once

#include <string>
#include <vector>

#include <UxEvent.h>

#include "Smf.h"

// Host events, each on its own (unlinked) and owned by the list.
using EventList = std::vector<UxChainPtr>;

// The track's events in file order. A note-off ends the earliest note still
// sounding on its key and channel; a note-off with none sounding is dropped; a note
// never ended lasts to the end of the track.
EventList TrackToEvents(const SmfTrack& track);

// What EventsToTrack could not write, by reason.
struct LeftOut {
    int pitchAbove127 = 0;
    int velocityZero = 0;       // MIDI would read it as a note-off
    int velocityAbove127 = 0;
    int outsideTime = 0;        // starts before tick 0, lasts less than nothing, or ends past the last tick
    int channelAbove15 = 0;
    int sameKeySameTick = 0;    // struck again on a key and channel on the tick it starts
    int otherEvents = 0;        // events other than notes that no MIDI message can carry

    void Add(const LeftOut& other);
    int Total() const;
    // "12 notes: 10 with a pitch above 127, 2 with a velocity of 0", or empty.
    std::string Summary() const;
};

// The events as a track, in time order, its end where the last event or `endTick`
// is, whichever is later. At most one note sounds on a key and channel at a time:
// a note struck while an earlier one still sounds there cuts that one short, so
// that it ends where the new one starts; of notes struck on the same tick, key and
// channel only the longest is kept. On one tick, note-offs come first, then other
// events in the order given, then note-ons; a note of no duration ends right after
// it starts. Whatever MIDI cannot carry is left out and counted in `leftOut`.
SmfTrack EventsToTrack(const EventList& events, int64_t endTick, LeftOut* leftOut);
