// The bytes of MIDI channel messages that the kit's hosts read and write, whether
// from a file or live.
#pragma once

#include <cstdint>

// A channel message's status byte: its kind in the high four bits, its channel in
// the low four.
constexpr uint8_t kNoteOffStatus = 0x80;
constexpr uint8_t kNoteOnStatus = 0x90;
constexpr uint8_t kPolyPressureStatus = 0xA0;
constexpr uint8_t kControlChangeStatus = 0xB0;
constexpr uint8_t kProgramChangeStatus = 0xC0;
constexpr uint8_t kChannelPressureStatus = 0xD0;
constexpr uint8_t kPitchBendStatus = 0xE0;
// System messages (system exclusive first) and, in a file, meta events.
constexpr uint8_t kSystemStatus = 0xF0;
constexpr uint8_t kKindMask = 0xF0;
constexpr uint8_t kChannelMask = 0x0F;
// The largest data byte (pitch, velocity, controller, value) and channel number.
constexpr uint8_t kMaxData = 127;
constexpr uint8_t kMaxChannel = 15;
constexpr int kMidiChannels = kMaxChannel + 1;

constexpr bool IsChannelStatus(uint8_t status)
{
    return status >= kNoteOffStatus && status < kSystemStatus;
}

// Data bytes that follow a channel message's status: one for program change and
// channel pressure, two for every other.
constexpr unsigned ChannelDataSize(uint8_t status)
{
    const uint8_t kind = status & kKindMask;
    return kind == kProgramChangeStatus || kind == kChannelPressureStatus ? 1 : 2;
}
