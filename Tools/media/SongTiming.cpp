#include "SongTiming.h"

#include <algorithm>
#include <iterator>

#include <Smf.h>

namespace {

constexpr uint8_t kMetaTimeSignature = 0x58;
constexpr int kMaxBeatShift = 6;  // a beat of a sixty-fourth note
constexpr uint16_t kTimecodeDivision = 0x8000;
constexpr uint32_t kDefaultMicrosecondsPerQuarter = 500000;

}  // namespace

SongTiming::SongTiming(uint16_t division)
{
    if (division & kTimecodeDivision) {
        const int framesPerSecond = -static_cast<int8_t>(division >> 8);
        mTimecodeTicksPerSecond = std::max<int64_t>(1, int64_t(framesPerSecond) * (division & 0xFF));
    } else {
        mTicksPerQuarter = std::max<int64_t>(division, 1);
    }
}

void SongTiming::Add(int64_t tick, const uint8_t* b, size_t size)
{
    if (size < 2 || b[0] != kMetaStatus || mTicksPerQuarter == 0)
        return;
    // 0xFF 0x51 3, microseconds a quarter note, in three bytes.
    if (b[1] == kMetaTempo && size == 5) {
        const uint32_t tempo = uint32_t(b[2]) << 16 | uint32_t(b[3]) << 8 | b[4];
        if (tempo != 0)
            mTempos.push_back({tick, 0, tempo});
    }
    // 0xFF 0x58, beats a bar, the beat as a power of two of a whole note, ...
    if (b[1] == kMetaTimeSignature && size >= 4 && b[2] > 0 && b[3] <= kMaxBeatShift) {
        const int64_t beat = std::max<int64_t>(1, (mTicksPerQuarter * 4) >> b[3]);
        mSignatures.push_back({tick, beat * b[2], beat});
    }
}

void SongTiming::Finish()
{
    const auto byTick = [](const auto& a, const auto& b) { return a.tick < b.tick; };
    std::stable_sort(mSignatures.begin(), mSignatures.end(), byTick);
    std::stable_sort(mTempos.begin(), mTempos.end(), byTick);
    // One change a tick, the last of it; each knows the seconds before it.
    std::vector<TempoChange> changes{{0, 0, kDefaultMicrosecondsPerQuarter}};
    for (const TempoChange& change : mTempos) {
        TempoChange& last = changes.back();
        if (last.tick == change.tick) {
            last.microsecondsPerQuarter = change.microsecondsPerQuarter;
            continue;
        }
        changes.push_back({change.tick, SecondsAfter(last, change.tick), change.microsecondsPerQuarter});
    }
    mTempos = std::move(changes);
}

double SongTiming::Seconds(int64_t tick) const
{
    if (mTicksPerQuarter == 0)
        return static_cast<double>(tick) / static_cast<double>(mTimecodeTicksPerSecond);
    const auto after = std::upper_bound(mTempos.begin(), mTempos.end(), tick,
                                        [](int64_t t, const TempoChange& c) { return t < c.tick; });
    return SecondsAfter(*std::prev(after), tick);
}

double SongTiming::SecondsAfter(const TempoChange& change, int64_t tick) const
{
    return change.seconds
        + static_cast<double>(tick - change.tick) * change.microsecondsPerQuarter / 1e6
        / static_cast<double>(mTicksPerQuarter);
}

std::vector<Bar> SongTiming::Bars(int64_t endTick, size_t atLeast) const
{
    atLeast = std::clamp<size_t>(atLeast, 1, kMaxBars);
    const auto wanted = [&](const std::vector<Bar>& bars, int64_t start) {
        return (start < endTick || bars.size() < atLeast) && bars.size() < kMaxBars;
    };
    std::vector<Bar> bars;
    if (mTicksPerQuarter == 0) {
        const int64_t second = mTimecodeTicksPerSecond;
        for (int64_t start = 0; wanted(bars, start); start += second)
            bars.push_back({start, start + second, second});
        return bars;
    }
    Signature current{0, 4 * mTicksPerQuarter, mTicksPerQuarter};
    size_t next = 0;
    for (int64_t start = 0; wanted(bars, start); start = bars.back().end) {
        while (next < mSignatures.size() && mSignatures[next].tick <= start)
            current = mSignatures[next++];
        int64_t end = start + current.barTicks;
        if (next < mSignatures.size() && mSignatures[next].tick < end)
            end = mSignatures[next].tick;
        bars.push_back({start, end, current.beatTicks});
    }
    return bars;
}

SongTiming ReadTiming(const uint8_t* data, size_t size)
{
    SmfReader reader(data, size);
    SongTiming timing(reader.Division());
    SmfEvent event;
    for (size_t i = 0; i < reader.TrackCount(); ++i) {
        SmfTrackReader track = reader.NextTrack();
        while (track.Next(&event))
            timing.Add(event.tick, event.bytes.data(), event.bytes.size());
        timing.EndTrack(track.EndTick());
    }
    timing.Finish();
    return timing;
}
