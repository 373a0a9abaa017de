// When the ticks of a MIDI file sound, and how they fall into bars: its division
// (ticks per quarter note, or frames of a timecode), its tempo changes and its time
// signatures, gathered from every track and put in order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

// More bars than any song has; bars are counted up to here and no further.
constexpr size_t kMaxBars = 100000;

// One bar: where it starts and ends, and how long a beat lasts in it. A file whose
// division counts frames of a timecode has no beats: each bar is then a second of
// one beat.
struct Bar {
    int64_t start = 0;
    int64_t end = 0;
    int64_t beatTicks = 0;
};

class SongTiming {
public:
    explicit SongTiming(uint16_t division);

    // Takes note of an event of any track, in any order: tempo changes and time
    // signatures count, everything else is passed over.
    void Add(int64_t tick, const uint8_t* bytes, size_t size);
    // Takes note of where a track ends.
    void EndTrack(int64_t endTick) { mEndTick = std::max(mEndTick, endTick); }
    // Puts what was added in order; call it once, before the questions below.
    void Finish();

    // The tick where the last track ends.
    int64_t EndTick() const { return mEndTick; }
    // Whether the division counts frames of a timecode: its bars are seconds.
    bool Timecode() const { return mTicksPerQuarter == 0; }

    // The seconds from tick 0 to `tick`: 120 quarters a minute until the first
    // tempo change, or the frames of a timecode division.
    double Seconds(int64_t tick) const;

    // The bars from the time signatures (four quarters a bar until the first): at
    // least `atLeast` of them, and enough to reach `endTick`, up to kMaxBars. A
    // signature that comes in the middle of a bar cuts the bar short and starts a
    // new one.
    std::vector<Bar> Bars(int64_t endTick, size_t atLeast) const;

private:
    struct TempoChange {
        int64_t tick;
        double seconds;
        uint32_t microsecondsPerQuarter;
    };
    struct Signature {
        int64_t tick;
        int64_t barTicks;
        int64_t beatTicks;
    };
    // The seconds at `tick`, at or after `change` and before the next.
    double SecondsAfter(const TempoChange& change, int64_t tick) const;

    int64_t mEndTick = 0;
    int64_t mTicksPerQuarter = 0;  // 0 for a timecode division
    int64_t mTimecodeTicksPerSecond = 0;
    std::vector<TempoChange> mTempos;
    std::vector<Signature> mSignatures;
};

// The timing of the Standard MIDI File in `data`, read from all its tracks, and
// where they end. Throws SmfError where the file is malformed.
SongTiming ReadTiming(const uint8_t* data, size_t size);
