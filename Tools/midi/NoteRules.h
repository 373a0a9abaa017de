// The note rules every host of the kit applies, whether it writes a file, plays
// live or renders sound: what counts as a note-on and a note-off, what MIDI can
// carry, the release velocity of a note whose release is not known, and the order
// of the messages on one tick. Which note sounds on a key is KeyLedger's.
//
// Everything here is constexpr and allocates nothing, so a live host can use it in
// its audio cycle.
#pragma once

#include <cstddef>
#include <cstdint>

#include <UxEvent.h>

#include "MidiBytes.h"

// The note-off velocity of a note whose release is not known: the kernel's own.
constexpr uint8_t kUnknownRelease = UxNoteOn::kDefaultReleaseVelocity;

enum class NoteMessage : uint8_t { kNone, kNoteOn, kNoteOff };

// A note-on of velocity 0 is a note-off, as MIDI reads it.
constexpr NoteMessage NoteMessageOf(const uint8_t* bytes, size_t size)
{
    if (size < 3)
        return NoteMessage::kNone;
    const uint8_t kind = bytes[0] & 0xF0;
    if (kind == kNoteOnStatus)
        return bytes[2] > 0 ? NoteMessage::kNoteOn : NoteMessage::kNoteOff;
    return kind == kNoteOffStatus ? NoteMessage::kNoteOff : NoteMessage::kNone;
}

// The release velocity a note-off message gives its note: a note-on of velocity 0
// gives none.
constexpr uint8_t ReleaseOf(const uint8_t* noteOff)
{
    return (noteOff[0] & 0xF0) == kNoteOffStatus ? noteOff[2] : kUnknownRelease;
}

// Why MIDI cannot carry a note, if it cannot. A velocity of 0 would be read as a
// note-off.
enum class NoteFault : uint8_t { kNone, kPitchAbove127, kVelocityZero, kVelocityAbove127, kChannelAbove15 };

constexpr NoteFault NoteFaultOf(unsigned pitch, unsigned velocity, unsigned channel)
{
    if (pitch > kMaxData)
        return NoteFault::kPitchAbove127;
    if (velocity == 0)
        return NoteFault::kVelocityZero;
    if (velocity > kMaxData)
        return NoteFault::kVelocityAbove127;
    if (channel > kMaxChannel)
        return NoteFault::kChannelAbove15;
    return NoteFault::kNone;
}

// A release velocity no message can carry is sent as none given.
constexpr uint8_t CarriedRelease(unsigned release)
{
    return release <= kMaxData ? static_cast<uint8_t>(release) : kUnknownRelease;
}

// Where a message goes among those of one tick: a note that ends there leaves its
// key first, then other events pass, then notes start, so that a key struck again
// sounds again; a note of no duration ends right after it starts.
enum class TickPlace : uint8_t { kEndingNote, kOtherEvent, kStartingNote, kEndingEmptyNote };

constexpr TickPlace TickPlaceOf(NoteMessage message)
{
    return message == NoteMessage::kNoteOff ? TickPlace::kEndingNote
        : message == NoteMessage::kNoteOn   ? TickPlace::kStartingNote
                                            : TickPlace::kOtherEvent;
}

constexpr TickPlace NoteOffPlace(int64_t start, int64_t end)
{
    return end == start ? TickPlace::kEndingEmptyNote : TickPlace::kEndingNote;
}
