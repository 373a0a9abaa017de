// Filters played live: MIDI in, the filters' chains out, one audio frame a tick.
//
// Live MIDI brings a note-on and its note-off apart, while a filter wants a note
// that knows its duration. A note-on therefore goes out at once and is kept; at its
// note-off the filter gets the whole note and every event of the chain it answers
// with is queued for its frame. Controller changes, program changes and pitch
// bends go to the filter as the kernel's events as they come, and their answers
// are queued alike; other messages pass by. Several filters play in a row: each
// event of one filter's answer goes alone to the next, as in the offline host.
// Which note sounds on a key follows the kit's one rule (KeyLedger): the player's
// notes come first, and at most one note sounds on a key and channel.
//
// Everything is allocated and touched when the object is made; feeding it events
// allocates nothing, frees nothing and takes no lock, so a host can call it from
// its audio thread. A filter that throws loses the answer to that event alone. Its
// capacity is fixed: when the queue is full the newest chain events are dropped,
// and what the output cannot take in one cycle goes out at the start of the next,
// so that no note is left sounding.
#pragma once

#include <array>
#include <atomic>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <UxEventPool.h>
#include <UxFilterI.h>

#include <KeyLedger.h>
#include <NoteRules.h>

#include "MidiSink.h"
#include "ResidentBlock.h"

// Why each is what it is: the longest chain of the example filters is Fractal
// Drift's, 21 notes, each as long as the played note; a fast performance through
// it (20 notes a second on one channel, each held 0.1 to 1 s) keeps at most about
// 2,500 chain notes waiting or sounding at once. The held-over room takes some
// 1,600 messages: a 50-note chord and its 500 echoes through an output that takes
// four events a cycle. The pool holds six chains of 21 at once, for pipelines.
struct LiveCapacity {
    size_t queuedNotes = 3072;  // chain events waiting to be played, notes waiting to end
    size_t heldNotes = 512;     // played notes waiting for their note-off: more than
                                // ten fingers hold on sixteen channels
    size_t heldBytes = 8192;    // output held over to the next cycle
    size_t eventPool = 128;     // events the filters may hold while they answer one event
};

// What the live filter could not play, counted as it happens.
struct LiveDrops {
    uint64_t notes = 0;     // chain notes, because the queue was full or they lay
                            // further ahead than it reaches (six hours)
    uint64_t events = 0;    // chain events other than notes, because the queue was full
                            // or MIDI cannot carry them
    uint64_t messages = 0;  // because neither the output nor the held-over room could take them
    uint64_t chains = 0;    // whole answers, because a filter threw
};

// Plays one filter or several in a row. Calls come from one thread at a time: per
// cycle BeginCycle, then Input and TransportSpeed in frame order, then EndCycle;
// SetChannels and Reset between cycles. DroppedSoFar and TakeFault alone may be
// called from one other thread at any time.
class LiveFilter {
public:
    explicit LiveFilter(std::unique_ptr<UxFilterI> filter, const LiveCapacity& capacity = {});
    // The filters in the order the events go through them.
    explicit LiveFilter(std::vector<std::unique_ptr<UxFilterI>> filters, const LiveCapacity& capacity = {});
    ~LiveFilter();
    LiveFilter(const LiveFilter&) = delete;
    LiveFilter& operator=(const LiveFilter&) = delete;

    // Forgets every note, queued chain and held output: the state of a new filter,
    // except that the notes still sounding end at the start of the next cycle.
    void Reset();

    // Bit c on: notes on MIDI channel c + 1 go through the filters; notes on the
    // other channels pass by them unchanged. Every channel at first.
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

    // For another thread, at any time: what was dropped up to the last cycle's end.
    LiveDrops DroppedSoFar() const;
    // For another thread, at any time: true once after a filter threw, with what
    // its first exception since the last call said in `text` (cut to fit `size`).
    bool TakeFault(char* text, size_t size);

private:
    // A chain note waiting to start (kStartingNote), a sounding chain note
    // waiting to end, or a chain's other message waiting to pass (kOtherEvent):
    // 16 bytes, so that a queue of thousands stays small. Its frame is kept by its
    // low 32 bits and read against the current frame: nothing is queued further
    // ahead than kFurthestAhead, so every queued frame lies within 2^31 of now.
    struct Queued {
        uint32_t frame;
        uint32_t id;  // given when queued: the note's in the ledger, and the order
                      // of the events of one frame and place (note-ons: the longest first)
        union {
            uint32_t length;                 // of a starting note: frames from its start to its end
            std::array<uint8_t, 3> message;  // of another message
        };
        uint16_t key : 11;  // of another message: its channel's first key
        uint16_t place : 2;
        uint8_t velocity;
        uint8_t release;  // the note-off velocity
        TickPlace Place() const { return static_cast<TickPlace>(place); }
    };
    static_assert(sizeof(Queued) == 16, "a queue record stays small");
    static_assert(KeyLedger::kKeys <= 1 << 11 && static_cast<int>(TickPlace::kEndingEmptyNote) < 1 << 2,
                  "a key and a place fit their bits");
    static constexpr int64_t kFurthestAhead = (int64_t{1} << 30) - 1;  // frames: six hours at 48 kHz
    struct QueuedAfter {
        bool operator()(const Queued& a, const Queued& b) const;
    };
    // A played note whose note-off has not come: what the filter will need.
    struct HeldNote {
        uint32_t start;  // by its low 32 bits: a note held past 2^32 frames (a day at 48 kHz)
                         // is taken as that much shorter
        uint32_t id;
        uint16_t key;
        uint8_t velocity;
    };

    int64_t FrameOf(int64_t frame);
    // Plays what is queued up to `through` on frame `at`.
    void PlayQueue(int64_t at, TickPlace through);
    void Play(const Queued& item, int64_t at);
    void Enqueue(const Queued& item);
    bool EnqueueNew(Queued item, int64_t frame, int64_t at, int key, TickPlace place);
    void NoteOn(int64_t at, uint8_t channel, uint8_t pitch, uint8_t velocity);
    void NoteOff(int64_t at, uint8_t channel, uint8_t pitch, uint8_t release, const uint8_t* bytes, uint32_t size);
    void BuildChain(const HeldNote& note, int64_t at, uint8_t channel, uint8_t pitch, uint8_t release);
    void FilterEvent(int64_t at, const uint8_t* bytes, uint32_t size);
    void Feed(size_t stage, UxEvent* event, const UxEvent* played, int64_t at);
    void Schedule(const UxEvent& event, int64_t at);
    void ScheduleNote(const UxNoteOn& note, int64_t at);
    void Fault(UxEvent* given, const char* what);
    void Publish();
    void Silence(int64_t at, int channel);  // channel -1: every channel

    // Output, in order: straight to the sink while it takes messages, then held
    // over. A note-off of a sounding note may use room kept for note-offs alone.
    bool Emit(int64_t at, const uint8_t* bytes, uint32_t size, bool isNoteOff);
    bool EmitNote(int64_t at, uint8_t status, int key, uint8_t velocity);
    void EmitNoteOff(int64_t at, int key, uint8_t release);
    void FlushHeld();

    std::vector<std::unique_ptr<UxFilterI>> mFilters;
    UxEventPool mPool;
    ux_filter_params mParams;
    LiveCapacity mCapacity;

    MidiSink* mOut = nullptr;
    int64_t mCycleStart = 0;
    uint32_t mFrames = 0;
    int64_t mLastFrame = 0;
    bool mWroteThisCycle = false;
    bool mRolling = false;
    uint16_t mChannels = 0xFFFF;
    uint32_t mIds = 0;  // wraps: only the order of ids given close together matters
    LiveDrops mDropped;
    std::array<char, 160> mLastFault{};

    // What another thread reads: the drops as of the last cycle's end, and a
    // mailbox of one fault text, full from the audio thread's writing it to the
    // other thread's taking it.
    std::atomic<uint64_t> mPublishedNotes{0};
    std::atomic<uint64_t> mPublishedEvents{0};
    std::atomic<uint64_t> mPublishedMessages{0};
    std::atomic<uint64_t> mPublishedChains{0};
    std::atomic<bool> mFaultMailFull{false};
    std::array<char, 160> mFaultMail{};

    // Frames by their low 32 bits: every note it compares started or ends within
    // hours of now.
    using FrameLedger = BasicKeyLedger<uint32_t>;
    // The tables below live in one block, resident from the start.
    static size_t BlockSize(const LiveCapacity& capacity);
    ResidentBlock mBlock;
    FrameLedger& mKeys;
    std::bitset<KeyLedger::kKeys> mUnheard;  // its note-on never went out
    HeldNote* mHeld;                         // one table for every key, mCapacity.heldNotes long:
    size_t mHeldCount = 0;                   // the first mHeldCount are held, in no order
    FixedVector<Queued> mQueue;              // a heap
    uint8_t* mHeldOutput;                    // records of a 2-byte size and the bytes
    size_t mHeldOutputCapacity;
    size_t mHeldOutputSize = 0;
};
