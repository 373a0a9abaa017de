// What roll, render and apply share from the command line: the pipeline's options,
// the clock the filters read, views past the song's end, and the memory a long
// song takes.
#include "MediaTestSupport.h"

#include <MidiTestSupport.h>

#include <sys/resource.h>

#include <fstream>
#include <iterator>

namespace {

class SongCommand : public MediaTest {
protected:
    std::string ReadFile(const std::string& path)
    {
        std::ifstream file(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(file), {});
    }
};

// Exit code and the one line on standard error for each row; a row that succeeds
// says nothing and writes its output.
TEST_F(SongCommand, TakesThePipelineOptionsAndRefusesViewsPastTheEnd)
{
    // Two bars of quarters in four four.
    std::vector<std::vector<int64_t>> notes;
    for (int64_t i = 0; i < 8; ++i)
        notes.push_back({i * 480, 480, 60 + i, 100});
    const std::string song = WriteSong("song.mid", OneTrackSong(notes));
    const struct Row {
        std::vector<std::string> arguments;
        int exitCode;
        std::string line;  // the start of standard error's one line; empty: no line
    } rows[] = {
        {{"roll", song, "--channels", "2-16", "-f", "Dissolve", "--clock", "7"}, 0, ""},
        {{"render", song, "--channels", "2", "-f", "Beta Fade", "--clock", "7"}, 0, ""},
        {{"roll", song, "--from", "2", "--to", "2"}, 0, ""},
        {{"roll", song, "--from", "3"}, 2, "uxhost: " + song + ": --from 3 is past the song's last bar, 2"},
        {{"roll", song, "--to", "9"}, 2, "uxhost: " + song + ": --to 9 is past the song's last bar, 2"},
        {{"roll", song, "--channels", "17"}, 2, "uxhost roll: --channels:"},
        {{"render", song, "--clock", "-1"}, 2, "uxhost render: --clock:"},
    };
    for (const Row& row : rows) {
        std::string shown;
        for (const std::string& argument : row.arguments)
            shown += argument + " ";
        SCOPED_TRACE(shown);
        const std::string output = PathOf(row.arguments[0] == "roll" ? "out.png" : "out.wav");
        std::vector<std::string> arguments = row.arguments;
        arguments.insert(arguments.end(), {"-o", output});
        const std::string errors = PathOf("errors.txt");
        EXPECT_EQ(RunUxhost(arguments, errors), row.exitCode);
        const std::string said = ReadFile(errors);
        if (row.line.empty()) {
            EXPECT_EQ(said, "");
        } else {
            EXPECT_EQ(said.rfind(row.line, 0), 0u) << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        }
        EXPECT_EQ(std::filesystem::exists(output), row.exitCode == 0);
        std::filesystem::remove(output);
    }
}

// With the clock fixed, Fractal Drift's chain for pitch 60 is the one the generator
// seeded with that second gives, and a roll of it comes out the same every time.
TEST_F(SongCommand, ClockFixesWhatTheRandomFiltersMake)
{
    const std::string song = WriteSong("note.mid", OneTrackSong({{0, 480, 60, 100}}));
    ASSERT_EQ(RunUxhost({"apply", "-f", "Fractal Drift", "--clock", "1000000000", song, "-o", PathOf("out.mid")}), 0);
    const std::string bytes = ReadFile(PathOf("out.mid"));
    const SmfFile file = ParseSmf(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    std::vector<int> pitches;
    for (const SmfEvent& event : file.tracks.at(0).events)
        if ((event.bytes[0] & 0xF0) == 0x90 && event.bytes[2] > 0)
            pitches.push_back(event.bytes[1]);
    EXPECT_EQ(pitches, (std::vector<int>{60, 102, 86, 63, 64,  56, 64, 57, 69, 52, 88,
                                         56, 79,  57, 86, 114, 66, 61, 95, 79, 117}));

    for (const char* name : {"a.png", "b.png"})
        ASSERT_EQ(
            RunUxhost({"roll", "-f", "Fractal Drift", "-f", "Beta Fade", "--clock", "5", song, "-o", PathOf(name)}), 0);
    EXPECT_EQ(ReadFile(PathOf("a.png")), ReadFile(PathOf("b.png")));
}

// A long song whose roll through the three filters has about a million notes:
// roll reads it back as it draws, so its memory is that of the picture and of
// what sounds at once. Run with UX_ROLL_MEMORY_NOTES set (the stress label).
TEST_F(SongCommand, RollOfAMillionNotesStaysSmall)
{
    const char* count = std::getenv("UX_ROLL_MEMORY_NOTES");
    if (!count)
        GTEST_SKIP() << "set UX_ROLL_MEMORY_NOTES to run";
    // Quarters struck every eighth, walking up five octaves and down again.
    std::vector<std::vector<int64_t>> notes;
    for (int64_t i = 0; i < std::atoll(count); ++i)
        notes.push_back({i * 240, 480, 36 + std::abs(i % 120 - 60), 100});
    const std::string song = WriteSong("long.mid", OneTrackSong(notes));
    ASSERT_EQ(RunUxhost({"roll", "-f", "Dissolve", "-f", "Beta Fade", "-f", "Fractal Drift", "--clock", "1000000000",
                         song, "-o", PathOf("long.png")},
                        PathOf("errors.txt")),
              0);
    rusage usage{};
    ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
    constexpr long kMostKilobytes = 60 * 1024;
    EXPECT_LT(usage.ru_maxrss, kMostKilobytes);
}

}  // namespace
