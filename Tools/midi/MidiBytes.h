// The bytes of MIDI channel messages that the kit's hosts read and write, whether
// from a file or live.
#pragma once

#include <cstdint>

constexpr uint8_t kNoteOffStatus = 0x80;
constexpr uint8_t kNoteOnStatus = 0x90;
constexpr uint8_t kControlChangeStatus = 0xB0;
constexpr uint8_t kProgramChangeStatus = 0xC0;
constexpr uint8_t kPitchBendStatus = 0xE0;
// The largest data byte (pitch, velocity, controller, value) and channel number.
constexpr uint8_t kMaxData = 127;
constexpr uint8_t kMaxChannel = 15;

constexpr bool IsChannelStatus(uint8_t status)
{
    return status >= 0x80 && status < 0xF0;
}

// Data bytes that follow a channel message's status: one for program change and
// channel pressure, two for every other.
constexpr unsigned ChannelDataSize(uint8_t status)
{
    const uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}
