// A gap longer than one delta time can hold, written and read back: the empty text
// events that bridge it cancel running status, so the channel message after them
// must carry its status byte again or the file cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include <MidiTestSupport.h>
#include <Smf.h>

namespace {

constexpr int64_t kMaxDelta = 0x0FFFFFFF;
const std::vector<uint8_t> kEmptyText = {kMetaStatus, kMetaText};

std::vector<SmfEvent> WithoutEmptyTexts(std::vector<SmfEvent> events)
{
    events.erase(
        std::remove_if(events.begin(), events.end(), [](const SmfEvent& event) { return event.bytes == kEmptyText; }),
        events.end());
    return events;
}

struct GapCase {
    const char* what;
    std::vector<SmfEvent> events;
    int64_t endTick;
    size_t bridges;  // empty text events written
};

const GapCase kGaps[] = {
    {"a note-on after a long gap on the status of the one before",
     {{0, {0x90, 60, 100}}, {2 * kMaxDelta + 5, {0x90, 62, 100}}},
     0,
     2},
    {"a note-off one tick too far for a delta, on running status",
     {{0, {0x93, 60, 100}}, {kMaxDelta + 1, {0x93, 60, 0}}, {kMaxDelta + 2, {0x93, 61, 0}}},
     0,
     1},
    {"a controller exactly one delta later keeps running status",
     {{0, {0xB0, 7, 90}}, {kMaxDelta, {0xB0, 7, 91}}},
     0,
     0},
    {"a program change after a gap, then another on the same status",
     {{3, {0xC1, 5}}, {3 + 3 * kMaxDelta, {0xC1, 6}}, {4 + 3 * kMaxDelta, {0xC1, 7}}},
     0,
     2},
    {"a long gap before the end of the track", {{0, {0xE0, 0, 64}}}, 2 * kMaxDelta, 1},
};

}  // namespace

TEST(SmfGaps, ReadBackAsWrittenWhateverTheRunningStatus)
{
    for (const GapCase& c : kGaps) {
        SCOPED_TRACE(c.what);
        SmfFile file;
        file.format = 0;
        file.tracks.push_back({c.events, c.endTick});
        const std::vector<uint8_t> written = WriteSmf(file);
        SmfFile back;
        ASSERT_NO_THROW(back = ParseSmf(written.data(), written.size()));
        ASSERT_EQ(back.tracks.size(), 1u);
        const std::vector<SmfEvent>& events = back.tracks[0].events;
        EXPECT_EQ(static_cast<size_t>(std::count_if(events.begin(), events.end(),
                                                    [](const SmfEvent& event) { return event.bytes == kEmptyText; })),
                  c.bridges);
        EXPECT_EQ(WithoutEmptyTexts(events), c.events);
        EXPECT_EQ(back.tracks[0].endTick, std::max(c.endTick, c.events.back().tick));
    }
}
