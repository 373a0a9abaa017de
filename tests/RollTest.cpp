// uxhost roll: where the bars fall, and a chain drawn note by note.
#include "MediaTestSupport.h"

#include <cairo.h>

#include <RollCommand.h>

#include "TestSupport.h"

namespace {

// What a pixel shows: ground or grid (a grey), one of the song's own notes (blue
// over red), or one a filter made (red over blue).
enum class Shows { kGround, kOwnNote, kFilterNote };

Shows PixelAt(cairo_surface_t* image, double x, double y)
{
    const auto* row = cairo_image_surface_get_data(image)
                      + static_cast<int>(y) * cairo_image_surface_get_stride(image);
    const uint32_t pixel = reinterpret_cast<const uint32_t*>(row)[static_cast<int>(x)];
    const int red = (pixel >> 16) & 0xFF;
    const int blue = pixel & 0xFF;
    if (std::abs(red - blue) < 8)
        return Shows::kGround;
    return blue > red ? Shows::kOwnNote : Shows::kFilterNote;
}

class Roll : public MediaTest {};

// One note of a quarter through Dissolve: the note and its ten echoes, each a
// semitone lower, starting where the one before ends, three quarters as long.
TEST_F(Roll, OneNoteThroughDissolveDrawsElevenNotesWhereTheySound)
{
    const std::vector<uint8_t> bytes = OneTrackSong({{0, 480, 60, 100}});
    const std::string input = WriteSong("one-note.mid", bytes);
    const std::string output = PathOf("roll.png");
    ASSERT_EQ(RunUxhost({"roll", input, "-f", "Dissolve", "--width", "1000", "--height", "400", "-o", output}), 0);

    const std::unique_ptr<Plugin> dissolve = Plugin::Load(AddOnPath("Dissolve"));
    RollView view;
    view.width = 1000;
    view.height = 400;
    const RollLayout layout(MakeSong(input, bytes, {dissolve.get()}), view);
    cairo_surface_t* image = cairo_image_surface_create_from_png(output.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    ASSERT_EQ(cairo_image_surface_get_width(image), 1000);
    ASSERT_EQ(cairo_image_surface_get_height(image), 400);

    struct Expected {
        double x;
        Shows shows;
    };
    std::map<int, Expected> byPitch;
    int64_t start = 0;
    int64_t duration = 480;
    for (int pitch = 60; pitch > 49; --pitch) {
        byPitch[pitch] = {layout.X(start + duration / 2), pitch == 60 ? Shows::kOwnNote : Shows::kFilterNote};
        start += duration;
        duration = duration * 3 / 4;
    }

    // Along the middle of every row: one note where one is expected, nothing else.
    for (int pitch = layout.LowestPitch(); pitch <= layout.HighestPitch(); ++pitch) {
        SCOPED_TRACE("pitch " + std::to_string(pitch));
        const double y = layout.RowTop(pitch) + layout.RowHeight() / 2;
        std::vector<std::pair<double, Shows>> runs;  // each note met: its middle, what it shows
        double runStart = 0;
        Shows before = Shows::kGround;
        for (int x = static_cast<int>(layout.PlotLeft()) + 1; x < static_cast<int>(layout.PlotRight()); ++x) {
            const Shows now = PixelAt(image, x, y);
            if (now != before && before != Shows::kGround)
                runs.emplace_back((runStart + x - 1) / 2, before);
            if (now != before)
                runStart = x;
            before = now;
        }
        const auto expected = byPitch.find(pitch);
        if (expected == byPitch.end()) {
            EXPECT_TRUE(runs.empty());
            continue;
        }
        ASSERT_EQ(runs.size(), 1u);
        EXPECT_EQ(runs[0].second, expected->second.shows);
        EXPECT_NEAR(runs[0].first, expected->second.x, 1.5);
        EXPECT_EQ(PixelAt(image, expected->second.x, y), expected->second.shows);
    }
    cairo_surface_destroy(image);
}

TEST(Bars, FollowTheDivisionAndTimeSignatures)
{
    struct Case {
        const char* name;
        uint16_t division;
        std::vector<SmfEvent> signatures;
        std::vector<Bar> expected;  // the first bars
    } cases[] = {
        {"four quarters until told", 480, {}, {{0, 1920, 480}, {1920, 3840, 480}}},
        {"three four", 96, {{0, {kMetaStatus, 0x58, 3, 2, 24, 8}}}, {{0, 288, 96}, {288, 576, 96}}},
        {"six eight", 480, {{0, {kMetaStatus, 0x58, 6, 3, 12, 8}}}, {{0, 1440, 240}, {1440, 2880, 240}}},
        {"a change at a bar", 480, {{1920, {kMetaStatus, 0x58, 2, 2, 24, 8}}},
         {{0, 1920, 480}, {1920, 2880, 480}, {2880, 3840, 480}}},
        {"a change inside a bar cuts it short", 480, {{480, {kMetaStatus, 0x58, 3, 2, 24, 8}}},
         {{0, 480, 480}, {480, 1920, 480}}},
        {"a beat finer than a file can hold is ignored", 480, {{0, {kMetaStatus, 0x58, 3, 40, 24, 8}}},
         {{0, 1920, 480}}},
        {"timecode: a bar a second", 0xE728, {}, {{0, 1000, 1000}, {1000, 2000, 1000}}},  // 25 frames of 40
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SongTiming timing(c.division);
        for (const SmfEvent& event : c.signatures)
            timing.Add(event.tick, event.bytes.data(), event.bytes.size());
        timing.Finish();
        const std::vector<Bar> bars = timing.Bars(c.expected.back().start + 1, 1);
        ASSERT_EQ(bars.size(), c.expected.size());
        for (size_t i = 0; i < bars.size(); ++i) {
            EXPECT_EQ(bars[i].start, c.expected[i].start) << "bar " << i;
            EXPECT_EQ(bars[i].end, c.expected[i].end) << "bar " << i;
            EXPECT_EQ(bars[i].beatTicks, c.expected[i].beatTicks) << "bar " << i;
        }
    }
}

}  // namespace
