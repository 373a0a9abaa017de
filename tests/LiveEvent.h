// An event of a stream that a test host plays to a plug-in or collects from it.
#pragma once

#include <cstdint>
#include <vector>

// One input or output event at its frame counted from the start of the stream. An
// input event without bytes moves the transport at `speed` (0: stopped).
struct LiveEvent {
    int64_t frame = 0;
    std::vector<uint8_t> bytes;
    float speed = 0;

    bool operator==(const LiveEvent& other) const
    {
        return frame == other.frame && bytes == other.bytes && speed == other.speed;
    }
};
