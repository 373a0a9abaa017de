// Events as the host hands them to filters, and the chains filters answer with.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "UxDefs.h"

// A time in ticks.
typedef int64 UxTime;
constexpr UxTime kUxMaxTime = std::numeric_limits<UxTime>::max();

// Type codes. A note-on arrives under kUxNoteOnType; kUxNoteType is the second code
// under which a note may arrive. Every other kind of event has a code of its own.
enum UxEventType : int32 {
    kUxNoteType = 100,
    kUxNoteOnType = 400,
    kUxControlChangeType = 410,
    kUxProgramChangeType = 420,
    kUxPitchBendType = 430,
    kUxMidiMessageType = 490,
};

// One event: a start time, a duration, a channel and a place in a chain.
//
// Chains: a->AppendEvent(b) links b (and whatever follows b) behind a. The head of a
// chain owns the rest: DeleteChain() releases it all. A filter gets one event and
// answers with the chain that the event heads.
//
// Events are released with Delete(), never with delete from another library: the
// host allocates them and may recycle their memory.
class UX_EXPORT UxEvent {
public:
    virtual ~UxEvent();

    virtual int32 Type() const = 0;
    // A new, unlinked event of the same kind with every attribute of this one;
    // the caller owns it. Null when there is no memory for it (see UxEventPool.h);
    // never throws.
    virtual UxEvent* Copy() const = 0;
    // Destroys this event alone; it must not be linked behind another.
    void Delete() { delete this; }

    UxTime StartTime() const { return mStart; }
    void SetStartTime(UxTime start) { mStart = start; }
    UxTime Duration() const { return mDuration; }
    void SetDuration(UxTime duration) { mDuration = duration; }
    // The last tick on which the event sounds: an event placed at EndTime() + 1 follows
    // without gap or overlap. An event of no duration ends where it starts. Saturates
    // at kUxMaxTime instead of overflowing.
    UxTime EndTime() const
    {
        if (mDuration <= 0)
            return mStart;
        if (mStart > kUxMaxTime - (mDuration - 1))
            return kUxMaxTime;
        return mStart + (mDuration - 1);
    }

    // MIDI channel, 0 to 15: where the event is routed.
    uint8 Channel() const { return mChannel; }
    void SetChannel(uint8 channel) { mChannel = channel; }

    UxEvent* NextEvent() const { return mNext; }
    void AppendEvent(UxEvent* event);
    // Cuts the chain behind this event and returns what followed it, which the
    // caller then owns; null when nothing followed.
    UxEvent* UnlinkNext();
    // Releases `head` and every event behind it; does nothing for null.
    static void DeleteChain(UxEvent* head);

    // The host recycles event memory; every event kind, including those that other
    // libraries derive, allocates through these. Inside a UxEventPoolScope the
    // memory comes from the pool; elsewhere from the heap. Plain new throws
    // std::bad_alloc when there is none; new (std::nothrow) answers null.
    static void* operator new(std::size_t size);
    static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
    static void operator delete(void* memory, std::size_t size);
    static void operator delete(void* memory, const std::nothrow_t&) noexcept;

protected:
    UxEvent(UxTime start, UxTime duration, uint8 channel) : mStart(start), mDuration(duration), mChannel(channel) {}
    // Copies every attribute but the link: a copy starts a chain of its own.
    UxEvent(const UxEvent& other) : mStart(other.mStart), mDuration(other.mDuration), mChannel(other.mChannel) {}
    UxEvent& operator=(const UxEvent&) = delete;

private:
    UxTime mStart;
    UxTime mDuration;
    uint8 mChannel;
    UxEvent* mNext = nullptr;
};

// Owns a whole chain.
struct UxChainDeleter {
    void operator()(UxEvent* head) const { UxEvent::DeleteChain(head); }
};
using UxChainPtr = std::unique_ptr<UxEvent, UxChainDeleter>;

// A note: pitch and velocity, unsigned 8-bit each, sounding for its duration, and
// the velocity of its release (how fast the key came up; 64 when none was given).
class UX_EXPORT UxNoteOn : public UxEvent {
public:
    static constexpr uchar kDefaultReleaseVelocity = 64;

    UxNoteOn(UxTime start, UxTime duration, uchar note, uchar velocity, uint8 channel = 0)
        : UxEvent(start, duration, channel),
          mNote(note),
          mVelocity(velocity)
    {
    }
    ~UxNoteOn() override;

    int32 Type() const override;
    UxEvent* Copy() const override;

    uchar Note() const { return mNote; }
    void SetNote(uchar note) { mNote = note; }
    uchar Velocity() const { return mVelocity; }
    void SetVelocity(uchar velocity) { mVelocity = velocity; }
    uchar ReleaseVelocity() const { return mReleaseVelocity; }
    void SetReleaseVelocity(uchar velocity) { mReleaseVelocity = velocity; }

protected:
    UxNoteOn(const UxNoteOn&) = default;

private:
    uchar mNote;
    uchar mVelocity;
    uchar mReleaseVelocity = kDefaultReleaseVelocity;
};

// A controller change: controller number and value, 0 to 127 each.
class UX_EXPORT UxControlChange : public UxEvent {
public:
    UxControlChange(UxTime start, uint8 controller, uint8 value, uint8 channel = 0)
        : UxEvent(start, 0, channel),
          mController(controller),
          mValue(value)
    {
    }
    ~UxControlChange() override;

    int32 Type() const override;
    UxEvent* Copy() const override;

    uint8 Controller() const { return mController; }
    uint8 Value() const { return mValue; }

protected:
    UxControlChange(const UxControlChange&) = default;

private:
    uint8 mController;
    uint8 mValue;
};

// A program change: the instrument number, 0 to 127.
class UX_EXPORT UxProgramChange : public UxEvent {
public:
    UxProgramChange(UxTime start, uint8 program, uint8 channel = 0) : UxEvent(start, 0, channel), mProgram(program) {}
    ~UxProgramChange() override;

    int32 Type() const override;
    UxEvent* Copy() const override;

    uint8 Program() const { return mProgram; }

protected:
    UxProgramChange(const UxProgramChange&) = default;

private:
    uint8 mProgram;
};

// A pitch bend: -8192 to 8191, 0 being the centre.
class UX_EXPORT UxPitchBend : public UxEvent {
public:
    UxPitchBend(UxTime start, int16 bend, uint8 channel = 0) : UxEvent(start, 0, channel), mBend(bend) {}
    ~UxPitchBend() override;

    int32 Type() const override;
    UxEvent* Copy() const override;

    int16 Bend() const { return mBend; }

protected:
    UxPitchBend(const UxPitchBend&) = default;

private:
    int16 mBend;
};

// Any other MIDI message, carried as its raw bytes without a length prefix: a
// channel message as sent (status byte and data), a system exclusive message from
// its 0xF0 or 0xF7 byte on, or a file's meta event as 0xFF, its type and its data.
// Filters pass it on unchanged.
class UX_EXPORT UxMidiMessage : public UxEvent {
public:
    UxMidiMessage(UxTime start, std::vector<uint8> bytes, uint8 channel = 0)
        : UxEvent(start, 0, channel),
          mBytes(std::move(bytes))
    {
    }
    ~UxMidiMessage() override;

    int32 Type() const override;
    UxEvent* Copy() const override;

    const std::vector<uint8>& Bytes() const { return mBytes; }

protected:
    UxMidiMessage(const UxMidiMessage&) = default;

private:
    std::vector<uint8> mBytes;
};
