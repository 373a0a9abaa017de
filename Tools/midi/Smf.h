// Standard MIDI Files, formats 0 and 1, read from and written to byte buffers.
//
// The reader is strict: whatever the bytes, it either returns a whole file or throws
// SmfError saying what is wrong and where; it never reads past the buffer. Running
// status is understood on reading and used on writing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

// Malformed or unsupported file contents. The message names the problem and where
// it lies, but not the file: the caller knows its name.
class SmfError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One event of a track at its absolute tick. `bytes` is the message without delta
// time or length prefix, with its status byte even where the file used running
// status: a channel message as sent, a system exclusive message from its 0xF0 or
// 0xF7 byte on, a meta event as 0xFF, its type and its data.
struct SmfEvent {
    int64_t tick = 0;
    std::vector<uint8_t> bytes;

    bool operator==(const SmfEvent& other) const
    {
        return tick == other.tick && bytes == other.bytes;
    }
};

// A track's events in file order (ticks never decrease). The end-of-track meta
// event is not among them: `endTick` is where it stands.
struct SmfTrack {
    std::vector<SmfEvent> events;
    int64_t endTick = 0;

    bool operator==(const SmfTrack& other) const
    {
        return events == other.events && endTick == other.endTick;
    }
};

struct SmfFile {
    uint16_t format = 1;
    // The header's division word as it stands: ticks per quarter note, or a
    // timecode division when the top bit is set. Ticks are never rescaled.
    uint16_t division = 480;
    std::vector<SmfTrack> tracks;
};

constexpr uint8_t kMetaStatus = 0xFF;
constexpr uint8_t kSysExStatus = 0xF0;
constexpr uint8_t kSysExEscapeStatus = 0xF7;
constexpr uint8_t kMetaEndOfTrack = 0x2F;
constexpr uint8_t kMetaText = 0x01;
constexpr uint8_t kMetaTempo = 0x51;

// Throws SmfError for anything but a well-formed file of format 0 or 1.
SmfFile ParseSmf(const uint8_t* data, size_t size);

// Throws SmfError when the file cannot be written as given: a track whose ticks go
// backwards, an event that is not a whole message, or a format 0 file without
// exactly one track.
std::vector<uint8_t> WriteSmf(const SmfFile& file);
