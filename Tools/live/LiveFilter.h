// One filter played live: MIDI in, the filter's chains out, one audio frame a tick.
//
// Live MIDI brings a note-on and its note-off apart, while a filter wants a note
// that knows its duration. A note-on therefore goes out at once and is kept; at its
// note-off the filter gets the whole note and every note of the chain it answers
// with is queued for its frame. Which note sounds on a key follows the kit's one
// rule (KeyLedger): the player's notes come first, and at most one note sounds on
// a key and channel.
//
// Everything is allocated when the object is made; feeding it events allocates
// nothing, frees nothing and takes no lock, so a host can call it from its audio
// thread. A filter that throws loses the chain of that note alone. Its capacity is fixed: when the queue is full the newest chain notes are
// dropped, and what the output cannot take in one cycle goes out at the start of
// the next, so that no note is left sounding.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <UxEventPool.h>
#include <UxFilterI.h>

#include <KeyLedger.h>
#include <NoteRules.h>

// Where a cycle's MIDI goes. Write answers false when the message does not fit
// in what is left of this cycle's output.
class MidiSink {
public:
    virtual bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) = 0;

protected:
    ~MidiSink() = default;
};

struct LiveCapacity {
    size_t queuedNotes = 4096;   // chain notes waiting to start or to end
    size_t heldBytes = 16384;    // output held over to the next cycle
    size_t eventPool = 1024;     // events a filter may hold while it builds a chain
};

// What the live filter could not play, counted as it happens.
struct LiveDrops {
    uint64_t notes = 0;     // chain notes, because the queue was full
    uint64_t messages = 0;  // because neither the output nor the held-over room could take them
    uint64_t chains = 0;    // whole chains, because the filter threw
};

// Plays one filter. Calls come from one thread at a time: per cycle BeginCycle,
// then Input and TransportSpeed in frame order, then EndCycle.
class LiveFilter {
public:
    explicit LiveFilter(std::unique_ptr<UxFilterI> filter, const LiveCapacity& capacity = {});
    // A pipeline played in a row. For now only the first filter plays; the others
    // are kept and destroyed with it.
    explicit LiveFilter(std::vector<std::unique_ptr<UxFilterI>> filters, const LiveCapacity& capacity = {});
    ~LiveFilter();
    LiveFilter(const LiveFilter&) = delete;
    LiveFilter& operator=(const LiveFilter&) = delete;

    // Forgets every note, queued chain and held output: the state of a new filter,
    // except that the notes still sounding end at the start of the next cycle.
    void Reset();

    // Bit c on: notes on MIDI channel c+1 go through the filter; notes on the
    // others pass by unchanged. All sixteen by default. Called between cycles.
    void SetChannels(uint16_t mask) { mChannels = mask; }

    void BeginCycle(uint32_t frames, MidiSink* out);
    // One MIDI message at `frame` of the cycle. Frames before an earlier event's
    // or past the cycle are taken as that event's frame or the cycle's last.
    void Input(int64_t frame, const uint8_t* bytes, uint32_t size);
    // The host's transport speed at `frame`: a change from rolling to 0 is a stop.
    void TransportSpeed(int64_t frame, double speed);
    // Plays what is due in the rest of the cycle; the next cycle starts after it.
    void EndCycle();

    // What was dropped since the object was made, read between cycles.
    const LiveDrops& Dropped() const { return mDropped; }
    // What the filter's last exception said (empty when it threw none), read
    // between cycles.
    const char* LastFault() const { return mLastFault.data(); }

private:
    // A chain note waiting to start (kStartingNote), or a sounding chain note
    // waiting to end.
    struct Queued {
        int64_t frame;
        int64_t end;
        uint64_t order;  // note-ons of one frame: the longest first, then as made
        uint64_t id;     // of a note-off: the note it ends
        uint16_t key;
        TickPlace place;
        uint8_t velocity;
        uint8_t release;  // the note-off velocity
    };
    struct QueuedAfter {
        bool operator()(const Queued& a, const Queued& b) const;
    };
    // A played note whose note-off has not come: what the filter will need.
    struct HeldNote {
        int64_t start;
        uint64_t id;
        uint8_t velocity;
    };
    static constexpr int kHeldPerKey = 4;
    struct HeldKey {
        std::array<HeldNote, kHeldPerKey> notes;  // oldest at `first`
        uint8_t first = 0;
        uint8_t count = 0;
    };

    int64_t FrameOf(int64_t frame);
    void PlayQueue(int64_t before, bool offsAtIt);
    void Play(const Queued& item);
    void NoteOn(int64_t at, uint8_t channel, uint8_t pitch, uint8_t velocity);
    void NoteOff(int64_t at, uint8_t channel, uint8_t pitch, uint8_t release,
                 const uint8_t* bytes, uint32_t size);
    void BuildChain(const HeldNote& note, int64_t at, uint8_t channel, uint8_t pitch,
                    uint8_t release);
    void Schedule(const UxEvent& event, int64_t at, uint8_t release);
    void Fault(UxEvent* given, const char* what);
    void Silence(int64_t at, int channel);  // channel -1: every channel

    // Output, in order: straight to the sink while it takes messages, then held
    // over. A note-off of a sounding note may use room kept for note-offs alone.
    bool Emit(int64_t at, const uint8_t* bytes, uint32_t size, bool isNoteOff);
    bool EmitNote(int64_t at, uint8_t status, int key, uint8_t velocity);
    void EmitNoteOff(int64_t at, int key, uint8_t release);
    void FlushHeld();

    std::unique_ptr<UxFilterI> mFilter;
    std::vector<std::unique_ptr<UxFilterI>> mLaterFilters;
    uint16_t mChannels = 0xFFFF;
    UxEventPool mPool;
    ux_filter_params mParams;
    LiveCapacity mCapacity;

    MidiSink* mOut = nullptr;
    int64_t mCycleStart = 0;
    uint32_t mFrames = 0;
    int64_t mLastFrame = 0;
    bool mWroteThisCycle = false;
    bool mRolling = false;
    uint64_t mIds = 0;
    uint64_t mOrders = 0;
    LiveDrops mDropped;
    std::array<char, 160> mLastFault{};

    KeyLedger mKeys;
    std::array<bool, KeyLedger::kKeys> mUnheard{};     // its note-on never went out
    std::array<HeldKey, KeyLedger::kKeys> mHeld{};
    std::vector<Queued> mQueue;  // a heap, capacity fixed when made
    std::vector<uint8_t> mHeldOutput;  // records of a 2-byte size and the bytes
    size_t mHeldOutputSize = 0;
};
