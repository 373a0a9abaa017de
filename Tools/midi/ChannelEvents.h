// Controllers, program changes and pitch bends as the kernel's events and back:
// the one translation every host of the kit makes, whether it reads a file or
// plays live. Nothing here touches the heap but the event made, which comes from
// an event pool while a UxEventPoolScope is open.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

#include <UxEvent.h>

#include "MidiBytes.h"

// The pitch bend that a message's two data bytes give as 0.
constexpr int kBendCentre = 8192;

// The largest channel message a kernel event other than a note becomes.
constexpr size_t kMaxChannelEventBytes = 3;

// The controller change, program change or pitch bend that a channel message is,
// made with new (std::nothrow) at `start`; null for any other message, for one
// whose data are not all there, and when there is no memory for it.
inline UxEvent* NewChannelEvent(UxTime start, const uint8_t* bytes, size_t size)
{
    if (size == 0 || !IsChannelStatus(bytes[0]) || size < 1 + ChannelDataSize(bytes[0]))
        return nullptr;
    const uint8_t kind = bytes[0] & 0xF0;
    const uint8_t channel = bytes[0] & 0x0F;
    if (kind == kControlChangeStatus)
        return new (std::nothrow) UxControlChange(start, bytes[1], bytes[2], channel);
    if (kind == kProgramChangeStatus)
        return new (std::nothrow) UxProgramChange(start, bytes[1], channel);
    if (kind == kPitchBendStatus) {
        const int bend = (bytes[2] << 7 | bytes[1]) - kBendCentre;
        return new (std::nothrow) UxPitchBend(start, static_cast<int16>(bend), channel);
    }
    return nullptr;
}

// The message that a controller change, program change or pitch bend is, written
// to `bytes`; its size, or 0 for any other event and for one that MIDI cannot
// carry (a value, channel or bend out of range).
inline size_t ChannelEventBytes(const UxEvent& event, uint8_t (&bytes)[kMaxChannelEventBytes])
{
    const uint8_t channel = event.Channel();
    if (channel > kMaxChannel)
        return 0;
    if (const auto* control = dynamic_cast<const UxControlChange*>(&event)) {
        if (control->Controller() > kMaxData || control->Value() > kMaxData)
            return 0;
        bytes[0] = static_cast<uint8_t>(kControlChangeStatus | channel);
        bytes[1] = control->Controller();
        bytes[2] = control->Value();
        return 3;
    }
    if (const auto* program = dynamic_cast<const UxProgramChange*>(&event)) {
        if (program->Program() > kMaxData)
            return 0;
        bytes[0] = static_cast<uint8_t>(kProgramChangeStatus | channel);
        bytes[1] = program->Program();
        return 2;
    }
    if (const auto* bend = dynamic_cast<const UxPitchBend*>(&event)) {
        const int value = bend->Bend() + kBendCentre;
        if (value < 0 || value >= 2 * kBendCentre)
            return 0;
        bytes[0] = static_cast<uint8_t>(kPitchBendStatus | channel);
        bytes[1] = static_cast<uint8_t>(value & kMaxData);
        bytes[2] = static_cast<uint8_t>(value >> 7);
        return 3;
    }
    return 0;
}
