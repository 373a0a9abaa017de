// Host events back as a track of a MIDI file: the writer of notes, note-offs and
// other messages in time order, and what it could not write as given (LeftOut).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <vector>

#include <UxEvent.h>

#include "KeyLedger.h"
#include "Smf.h"

// What the writer did not write as it was given, counted apart: what MIDI cannot
// carry, left out; and the notes that gave way under the one-note-per-key rule,
// left out or cut short, by origin.
struct LeftOut {
    int pitchAbove127 = 0;
    int velocityZero = 0;  // MIDI would read it as a note-off
    int velocityAbove127 = 0;
    int outsideTime = 0;  // starts before tick 0, lasts less than nothing, or ends past the last tick
    int channelAbove15 = 0;
    int otherEvents = 0;  // events other than notes that no MIDI message can carry

    int madeLeftOut = 0;     // struck where a played note sounds, or on the tick of a longer made one
    int madeCutShort = 0;    // by a played note, or by a later made one
    int playedLeftOut = 0;   // struck again on the tick, key and channel of a longer played note
    int playedCutShort = 0;  // by the next played note on its key and channel

    void Add(const LeftOut& other);
    int CannotCarry() const;
    int GaveWay() const;
};

// A note as the writer wrote it: from its note-on to its note-off (earlier than
// asked when a later note cut it short), and whether the song played it or a filter
// made it. Laid out without padding, so that it can be stored as it is.
struct NoteWritten {
    int64_t start, end;
    uint32_t track;
    uint8_t channel, pitch, velocity;
    NoteOrigin origin;
};
static_assert(sizeof(NoteWritten) == 24, "no padding");
using NoteObserver = std::function<void(const NoteWritten&)>;

// Host events as a track, one event at a time, for events that come in time order,
// each note played or made. At most one note sounds on a key and channel at a time
// (KeyLedger decides which): a note struck while an earlier one still sounds there
// cuts that one short, so that it ends where the new one starts. Notes starting on
// one tick are struck on their keys played first, then longest first, so that
// KeyLedger's rule keeps the player's notes and, of made ones, the longest. On one
// tick, note-offs come first, then other events in the order given, then note-ons;
// a note of no duration ends right after it starts. Each note-off carries its
// note's release velocity. Whatever MIDI cannot carry is left out, and what gave
// way counted, in the writer's LeftOut. Each message goes out as soon as nothing
// still to come can change it or come before it. Holds only the notes still
// sounding or yet to start, and the events yet to be written.
class TrackEventWriter {
public:
    // Each message goes into the track `file` is writing.
    TrackEventWriter(SmfWriter* file, LeftOut* leftOut);

    // Everything still to come starts at or after `tick`: writes what lies before it.
    void AdvanceTo(int64_t tick);
    // One event, starting at or after the last AdvanceTo tick unless MIDI cannot
    // carry it; the caller keeps it. `origin` matters for notes only. Throws
    // std::logic_error for an event before.
    void Add(const UxEvent& event, NoteOrigin origin = NoteOrigin::kPlayed);
    // Add for each event of `chain` in turn, the first of `origin` and the rest made.
    void AddChain(const UxEvent* chain, NoteOrigin origin);
    // Writes everything still held.
    void Finish();
    // From here on, tells `observer` (null: none) of each note as its note-off is
    // written, as a note of track `track`; it must outlive the writer.
    void TellNotes(const NoteObserver* observer, uint32_t track);

private:
    // A note yet to be struck.
    struct WaitingNote {
        int64_t start;
        int64_t end;
        uint64_t arrival;  // the order in which notes came, the last tie-break on a tick
        uint16_t key;      // channel and pitch, as KeyLedger::KeyIndex gives them
        uint8_t velocity;
        uint8_t releaseVelocity;
        NoteOrigin origin;

        int64_t Tick() const { return start; }
    };
    // A note-off waiting for its tick.
    struct WaitingNoteOff {
        int64_t tick;
        uint64_t noteId;   // the note it ends, while a later note may still cut that one short; 0 when final
        uint16_t rank;     // orders the note-offs of one tick: their place on it (NoteOffRank), then the key
        uint8_t velocity;  // the release velocity of the note it ends

        int64_t Tick() const { return tick; }
    };
    // A note-on of the notes struck on the tick under way, in the order written.
    struct NoteOnMessage {
        uint16_t key;
        uint8_t velocity;
    };
    // Any other message, in order of arrival on its tick.
    struct OtherMessage {
        int64_t tick;
        uint64_t arrival;
        std::vector<uint8_t> bytes;

        int64_t Tick() const { return tick; }
    };

    // Items waiting for their tick, taken out in batches: every item before a tick.
    // An item put in after a batch never lies before that batch's bound, so the
    // queue can be a radix heap: an item sits in the bucket of the highest bit in
    // which its tick differs from the least tick taken out last, putting it in is
    // one push, and it moves to lower buckets only as the batches come nearer.
    // Ticks are never negative.
    template <class Item>
    class FarQueue {
    public:
        void Put(Item&& item);
        // Moves every item before `before` to the end of `due`, in no order.
        void TakeBefore(uint64_t before, std::vector<Item>* due);
        // The least tick held, or the greatest tick there is when none is.
        uint64_t First() const { return mFirst; }

    private:
        static constexpr int kBuckets = 64;
        static constexpr size_t kKeptCapacity = 1024;
        int BucketOf(uint64_t tick) const { return tick == mLeast ? 0 : kBuckets - __builtin_clzll(tick ^ mLeast); }
        std::array<std::vector<Item>, kBuckets> mBuckets;
        uint64_t mFilled = 0;  // a bit for each bucket that holds items
        uint64_t mLeast = 0;   // no item lies before it
        uint64_t mFirst = std::numeric_limits<uint64_t>::max();
    };

    // Records linked into lists by index (a list ends at kNone), and those free for
    // reuse in a list of their own. Growing the pool moves the records: a reference
    // into it lasts only until the next Take.
    static constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
    template <class Record>
    class Pool {
    public:
        // A node for the caller to fill in.
        uint32_t Take()
        {
            const uint32_t node = mFree;
            if (node == kNone)
                return Grow();
            mFree = mNodes[node].next;
            return node;
        }
        void Free(uint32_t node)
        {
            mNodes[node].next = mFree;
            mFree = node;
        }
        Record& operator[](uint32_t node) { return mNodes[node].record; }
        uint32_t& Next(uint32_t node) { return mNodes[node].next; }

    private:
        [[gnu::noinline]] uint32_t Grow()
        {
            mNodes.push_back({Record(), kNone});
            return static_cast<uint32_t>(mNodes.size() - 1);
        }
        struct Node {
            Record record;
            uint32_t next;
        };
        std::vector<Node> mNodes;
        uint32_t mFree = kNone;
    };

    // The notes and note-offs of the next kSlots ticks from the wheel's base wait on
    // a wheel of one slot a tick, each slot with a list of notes and a list of
    // note-offs, all in one pool; later ones wait in far queues until the wheel
    // comes near them. Putting one in and taking it out are a link each, and a
    // struck note's node goes on to hold its note-off, in the note-off's slot.
    static constexpr int kSlotBits = 12;
    static constexpr uint64_t kSlots = uint64_t(1) << kSlotBits;
    static constexpr uint64_t kSlotMask = kSlots - 1;
    // What a node of the wheel holds: a note, and once it is struck, its note-off.
    union Waiting {
        WaitingNote note;
        WaitingNoteOff noteOff;
    };
    // A list's order is none in particular: a tick's notes are put in order when
    // struck, and of its note-offs, sorted by rank, at most one of a rank is ever
    // written (the others are of notes cut short), so the order among those of one
    // rank changes nothing.
    struct Slot {
        uint32_t notes = kNone;
        uint32_t noteOffs = kNone;
    };
    static_assert(kSlots == 64 * 64, "one word of mHeldWords for each word of mHeld");

    void AddNote(const UxNoteOn& event, NoteOrigin origin);
    [[gnu::noinline]] void AddOther(const UxEvent& event);
    [[gnu::noinline]] void PutFarNote(const WaitingNote& note);
    // Links the node at the front of a list of the slot of `tick`, which lies on
    // the wheel.
    void Link(uint32_t node, uint32_t Slot::*list, int64_t tick);
    void LinkNote(const WaitingNote& note);
    void PutNoteOff(uint32_t node);
    void MoveWheelTo(uint64_t tick);
    void TakeFarOntoWheel(uint64_t reach);
    uint64_t FirstOnWheel() const;
    void Strike(uint32_t node);
    void StrikeOnHeldKey(uint32_t node, uint64_t id);
    void SoundNote(uint32_t node, uint64_t id);
    void StrikeNotes(uint32_t first);
    void Write(uint64_t before);
    // With kTell, the observer is told of each note: the writing loop is made
    // twice, so that a writer without one tests for it once a Write only.
    template <bool kTell>
    void WriteTicks(uint64_t before);
    template <bool kTell>
    void WriteTick(uint64_t tick, bool onWheel);
    void EmitNote(int64_t tick, uint8_t kind, int key, uint8_t velocity);
    template <bool kTell>
    void EmitNoteOff(uint32_t node);
    template <bool kTell>
    void EmitOthersAndNoteOns(uint64_t tick);
    [[gnu::noinline]] void RecordNoteOns(uint64_t tick);
    [[gnu::noinline]] void TellNoteOff(int key, int64_t tick);

    SmfWriter* mFile;
    LeftOut* mLeftOut;
    int64_t mWatermark;
    uint64_t mArrivals = 0;
    uint64_t mNoteIds = 0;

    Pool<Waiting> mWaiting;  // the notes and note-offs on the wheel
    std::array<Slot, kSlots> mSlots{};
    std::array<uint64_t, kSlots / 64> mHeld{};  // a bit for each slot that holds notes or note-offs
    uint64_t mHeldWords = 0;                    // a bit for each word of mHeld with a bit set
    uint64_t mBase = 0;  // the wheel holds every note and note-off before mBase + kSlots; none lies before mBase
    FarQueue<WaitingNote> mFarNotes;
    FarQueue<WaitingNoteOff> mFarNoteOffs;
    FarQueue<OtherMessage> mOthers;

    // Notes and note-offs on their way from the far queues to the wheel.
    std::vector<WaitingNote> mArrivingNotes;
    std::vector<WaitingNoteOff> mArrivingNoteOffs;
    // What the tick under way writes: the nodes of its notes or note-offs in the
    // order they go, the note-ons struck (at most one a key: of the notes struck on
    // one tick and key, all but the first give way), and its other messages.
    std::vector<uint32_t> mDueNodes;
    std::array<NoteOnMessage, KeyLedger::kKeys> mDueNoteOns;
    size_t mDueNoteOnCount = 0;
    std::vector<OtherMessage> mDueOthers;
    KeyLedger mKeys;

    // Told of each note written, when set, as of track mTrack; the note-on written
    // last on each key.
    const NoteObserver* mObserver = nullptr;
    uint32_t mTrack = 0;
    std::vector<NoteWritten> mWrittenOns;
};
