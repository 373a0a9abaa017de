// A stream that a test host plays to a plug-in cycle by cycle, and what it
// collects: its events, and the playing of a whole stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
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

// Plays a whole stream (frames in order) on `host` in cycles whose sizes
// `nextBlock` gives, until `totalFrames`; returns every output event. Each cycle's
// events go to host.Prepare, `run` (host.Run by default) runs the cycle once its
// input is ready, and host.Collect gathers what it wrote.
template <typename Out, typename Host, typename In, typename NextBlock>
std::vector<Out> PlayStream(Host& host, const std::vector<In>& stream, int64_t totalFrames, NextBlock nextBlock,
                            const std::function<void(uint32_t)>& run)
{
    std::vector<Out> out;
    size_t next = 0;
    for (int64_t start = 0; start < totalFrames;) {
        const uint32_t frames = nextBlock();
        size_t end = next;
        while (end < stream.size() && stream[end].frame < start + frames)
            ++end;
        host.Prepare(stream.data() + next, end - next, start);
        if (run)
            run(frames);
        else
            host.Run(frames);
        host.Collect(start, &out);
        next = end;
        start += frames;
    }
    return out;
}
