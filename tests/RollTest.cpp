// uxhost roll: where the bars fall, and a chain drawn note by note.
#include "MediaTestSupport.h"

#include <cairo.h>

#include <array>
#include <set>

#include <RollCommand.h>

#include "TestSupport.h"

namespace {

// What a pixel shows: ground or grid (a grey), one of the song's own notes (blue
// over red), or one a filter made (red over blue).
enum class Shows { kGround, kOwnNote, kFilterNote };

Shows PixelAt(cairo_surface_t* image, double x, double y)
{
    const auto* row = cairo_image_surface_get_data(image) + static_cast<int>(y) * cairo_image_surface_get_stride(image);
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

// Counts moves the song's second note a semitone up, off the key and tick where
// Dissolve strikes the first note's echo: that echo is made, though the song had a
// note there.
TEST_F(Roll, TakesEachNotesOriginFromTheWriter)
{
    const std::unique_ptr<Plugin> counts = Plugin::Load(UX_FAULTY_DIR "/Counts.so");
    const std::unique_ptr<Plugin> dissolve = Plugin::Load(AddOnPath("Dissolve"));
    const Song song =
        MakeSong("song.mid", OneTrackSong({{0, 480, 61, 100}, {480, 480, 60, 100}}), {counts.get(), dissolve.get()});
    std::set<std::pair<int64_t, int>> played;
    song.ForEachNote([&](const NoteWritten& note) {
        if (note.origin == NoteOrigin::kPlayed)
            played.emplace(note.start, note.pitch);
    });
    EXPECT_EQ(played, (std::set<std::pair<int64_t, int>>{{0, 61}, {480, 61}}));
}

// A track of notes {start, duration, pitch}, on `channel`.
SmfTrack NotesTrack(const std::vector<std::array<int64_t, 3>>& notes, uint8_t channel = 0)
{
    SmfTrack track;
    for (const auto& [start, duration, pitch] : notes) {
        track.events.push_back({start, {uint8_t(0x90 | channel), uint8_t(pitch), 100}});
        track.events.push_back({start + duration, {uint8_t(0x80 | channel), uint8_t(pitch), 64}});
    }
    std::stable_sort(track.events.begin(), track.events.end(),
                     [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
    track.endTick = track.events.empty() ? 0 : track.events.back().tick;
    return track;
}

// How a roll reads: a track that another repeats note for note is named hidden
// in the legend; a timecode's bars are seconds; the keys are those of the bars
// drawn; a long song keeps 60 pixels a bar, up to 6000.
TEST(RollLayout, ReadsTrue)
{
    const SmfTrack bass = NotesTrack({{0, 1920, 36}});
    const SmfTrack tune = NotesTrack({{0, 480, 60}, {480, 480, 64}}, 1);
    const SmfTrack high = NotesTrack({{1920, 1920, 84}});
    std::vector<std::array<int64_t, 3>> scale;
    for (int64_t bar = 0; bar < 80; ++bar)
        scale.push_back({bar * 1920, 1920, 48 + bar % 24});
    const struct Case {
        const char* name;
        SmfFile file;
        RollView view;
        int hiddenVoice;  // the voice the legend names hidden, or -1
        bool timecode;
        int lowest, highest;
        int width;
    } cases[] = {
        {"a doubled track",
         {1, 480, {bass, tune, NotesTrack({{0, 480, 60}, {480, 480, 64}}, 2)}},
         {},
         1,
         false,
         35,
         65,
         640},
        {"a single track", {1, 480, {bass, tune}}, {}, -1, false, 35, 65, 640},
        {"timecode", {0, 0xE728, {NotesTrack({{0, 2000, 60}})}}, {}, -1, true, 49, 72, 640},
        {"the keys of the second bar", {1, 480, {bass, high}}, {0, 0, 2, 2}, -1, false, 73, 96, 640},
        {"80 bars", {0, 480, {NotesTrack(scale)}}, {}, -1, false, 47, 72, 44 + 12 + 80 * 60},
        {"80 bars, --width", {0, 480, {NotesTrack(scale)}}, {1000, 0, 1, 0}, -1, false, 47, 72, 1000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const RollLayout layout(MakeSong("song.mid", WriteSmf(c.file), {}), c.view);
        for (size_t voice = 0; voice < layout.Voices().size(); ++voice)
            EXPECT_EQ(layout.Voices()[voice].hiddenUnderTrack >= 0, int(voice) == c.hiddenVoice) << voice;
        EXPECT_EQ(layout.Timecode(), c.timecode);
        EXPECT_EQ(layout.LowestPitch(), c.lowest);
        EXPECT_EQ(layout.HighestPitch(), c.highest);
        EXPECT_EQ(layout.Width(), c.width);
    }
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
        {"a change at a bar",
         480,
         {{1920, {kMetaStatus, 0x58, 2, 2, 24, 8}}},
         {{0, 1920, 480}, {1920, 2880, 480}, {2880, 3840, 480}}},
        {"a change inside a bar cuts it short",
         480,
         {{480, {kMetaStatus, 0x58, 3, 2, 24, 8}}},
         {{0, 480, 480}, {480, 1920, 480}}},
        {"a beat finer than a file can hold is ignored",
         480,
         {{0, {kMetaStatus, 0x58, 3, 40, 24, 8}}},
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
