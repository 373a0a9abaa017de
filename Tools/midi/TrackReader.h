// A track of a MIDI file as host events.
//
// A note-on and the note-off that ends it become one UxNoteOn with start, duration,
// pitch, velocity, channel and the note-off's release velocity; controller, program and pitch-bend messages become
// their own host events; every other message or meta event a UxMidiMessage. Ticks
// stay the file's own.
#pragma once

#include <array>
#include <cstdint>
#include <deque>

#include <UxEvent.h>

#include "KeyLedger.h"
#include "Smf.h"

// A track's events in file order, read one message at a time. A note-off ends the
// earliest note still sounding on its key and channel; a note-off with none
// sounding is dropped; a note never ended lasts to the end of the track. Each host
// event becomes ready once it is whole (a note once its note-off has come) and
// every event before it is ready, so events come out in file order. Holds only the
// events from the oldest note still sounding on.
class TrackEventReader {
public:
    void Add(const SmfEvent& message);
    // Ends every note still sounding at the track's end.
    void Finish(int64_t endTick);
    // The next ready event, or null.
    UxChainPtr Take();

private:
    struct Pending {
        UxChainPtr event;
        bool sounding;                 // a note whose note-off has not come yet
        Pending* nextOnKey = nullptr;  // the note struck next on its key, while it sounds
    };
    // The notes sounding on a key, oldest first, linked through nextOnKey.
    struct Sounding {
        Pending* oldest = nullptr;
        Pending* newest = nullptr;
    };
    std::deque<Pending> mPending;
    std::array<Sounding, KeyLedger::kKeys> mSounding{};
};
