// A track of a MIDI file as host events, and host events back as a track.
//
// A note-on and the note-off that ends it become one UxNoteOn with start, duration,
// pitch, velocity, channel and the note-off's release velocity; controller, program and pitch-bend messages become
// their own host events; every other message or meta event a UxMidiMessage. Ticks
// stay the file's own.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <unordered_map>
#include <vector>

#include <UxEvent.h>

#include "KeyLedger.h"
#include "Smf.h"

// Host events, each on its own (unlinked) and owned by the list.
using EventList = std::vector<UxChainPtr>;

// The track's events in file order. A note-off ends the earliest note still
// sounding on its key and channel; a note-off with none sounding is dropped; a note
// never ended lasts to the end of the track.
EventList TrackToEvents(const SmfTrack& track);

// TrackToEvents one message at a time: each host event becomes ready once it is
// whole (a note once its note-off has come) and every event before it is ready,
// so events come out in file order. Holds only the events from the oldest note
// still sounding on.
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
        bool sounding;  // a note whose note-off has not come yet
    };
    std::deque<Pending> mPending;
    std::map<int, std::deque<Pending*>> mSounding;  // by key and channel, oldest first
};

// What the writer did not write as it was given, counted apart: what MIDI cannot
// carry, left out; and the notes that gave way under the one-note-per-key rule,
// left out or cut short, by origin.
struct LeftOut {
    int pitchAbove127 = 0;
    int velocityZero = 0;       // MIDI would read it as a note-off
    int velocityAbove127 = 0;
    int outsideTime = 0;        // starts before tick 0, lasts less than nothing, or ends past the last tick
    int channelAbove15 = 0;
    int otherEvents = 0;        // events other than notes that no MIDI message can carry

    int madeLeftOut = 0;        // struck where a played note sounds, or on the tick of a longer made one
    int madeCutShort = 0;       // by a played note, or by a later made one
    int playedLeftOut = 0;      // struck again on the tick, key and channel of a longer played note
    int playedCutShort = 0;     // by the next played note on its key and channel

    void Add(const LeftOut& other);
    int CannotCarry() const;
    int GaveWay() const;
};

// The events, all of them played notes, as a track, in time order, its end where
// the last event or `endTick` is, whichever is later. At most one note sounds on a
// key and channel at a time (KeyLedger decides which): a note struck while an
// earlier one still sounds there cuts that one short, so that it ends where the
// new one starts; of notes struck on the same tick, key and channel only the
// longest is kept. On one tick, note-offs come first, then other events in the
// order given, then note-ons; a note of no duration ends right after it starts.
// Each note-off carries its note's release velocity. Whatever MIDI cannot carry is
// left out, and what gave way counted, in `leftOut`.
SmfTrack EventsToTrack(const EventList& events, int64_t endTick, LeftOut* leftOut);

// EventsToTrack one event at a time, for events that come in time order, each note
// played or made: each message goes to `out` as soon as nothing still to come can
// change it or come before it. Notes starting on one tick are struck on their keys
// played first, then longest first, so that KeyLedger's rule keeps the player's
// notes and, of made ones, the longest. Holds only the notes still sounding or yet
// to start, and the events yet to be written.
class TrackEventWriter {
public:
    using Output = std::function<void(int64_t tick, const uint8_t* bytes, size_t size)>;

    TrackEventWriter(Output out, LeftOut* leftOut);

    // Everything still to come starts at or after `tick`: writes what lies before it.
    void AdvanceTo(int64_t tick);
    // One event, starting at or after the last AdvanceTo tick unless MIDI cannot
    // carry it; the caller keeps it. `origin` matters for notes only. Throws
    // std::logic_error for an event before.
    void Add(const UxEvent& event, NoteOrigin origin = NoteOrigin::kPlayed);
    // Writes everything still held.
    void Finish();

private:
    struct Note {
        int64_t start;
        int64_t end;
        int key;
        uint8_t velocity;
        uint8_t releaseVelocity;
        NoteOrigin origin;
        uint64_t arrival;

        int64_t Tick() const { return start; }
    };
    // A message waiting for its tick, kept small so that sorting moves it cheaply.
    // `rank` orders the messages of one tick: their place on the tick in the top
    // bits, then the key (for notes) or the arrival (for other events).
    struct Placed {
        int64_t tick;
        uint64_t rank;
        uint64_t noteId;   // for a note-off that a later note may still cut: 0 otherwise
        uint8_t velocity;  // of a note-on, or the release velocity of a note-off

        int64_t Tick() const { return tick; }
    };
    // The orders in which notes are struck and messages written.
    struct NoteBefore {
        bool operator()(const Note& a, const Note& b) const;
    };
    struct PlacedBefore {
        bool operator()(const Placed& a, const Placed& b) const;
    };
    void Place(const Placed& placed);
    void Resolve(const Note& note);
    void PlaceNoteOff(int key, int64_t start, int64_t end, uint64_t noteId, uint8_t releaseVelocity);
    void Write(bool all, int64_t before);

    Output mOut;
    LeftOut* mLeftOut;
    int64_t mWatermark;
    uint64_t mArrivals = 0;
    uint64_t mNoteIds = 0;
    // The notes not yet placed and the messages not yet written, each a heap on its
    // ticks alone; those that fall due are sorted in full as a batch.
    std::vector<Note> mNotes;
    std::vector<Placed> mPlaced;
    std::vector<Note> mDueNotes;  // the notes the Write under way places, in order
    std::vector<Placed> mDue;     // the messages it writes, sorted before they go out
    int64_t mWriting = std::numeric_limits<int64_t>::min();  // what that Write writes: the ticks before it
    KeyLedger mKeys;
    std::unordered_map<uint64_t, std::vector<uint8_t>> mMessages;  // other events', by arrival
};
