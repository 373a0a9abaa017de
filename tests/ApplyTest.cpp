// uxhost apply from end to end: files made with csvmidi, run through the command,
// and read back with midicsv, a reader written elsewhere.
#include "TestSupport.h"
#include "RunCommand.h"

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace {

namespace fs = std::filesystem;

// One line of midicsv's output: track, tick, record type and the fields after it.
struct Row {
    int track;
    long long tick;
    std::string type;
    std::vector<std::string> fields;
};

// A sounding note as read back: from its note-on to its note-off, and the
// note-off's release velocity.
struct HeardNote {
    int track, channel, pitch, velocity;
    long long on, off;
    int release = 64;

    bool operator<(const HeardNote& other) const
    {
        return std::tie(track, on, channel, pitch, velocity, off, release)
            < std::tie(other.track, other.on, other.channel, other.pitch, other.velocity, other.off, other.release);
    }
    bool operator==(const HeardNote& other) const { return !(*this < other) && !(other < *this); }
};

std::ostream& operator<<(std::ostream& out, const HeardNote& note)
{
    return out << "{track " << note.track << " ch " << note.channel << " pitch " << note.pitch << " vel "
               << note.velocity << " " << note.on << ".." << note.off << " release " << note.release << "}";
}

std::string Quote(const std::string& text)
{
    return "'" + text + "'";
}

class Apply : public testing::Test {
protected:
    void SetUp() override
    {
        const std::string pattern = testing::TempDir() + "uxhost-apply-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        ASSERT_NE(mkdtemp(name.data()), nullptr);
        mFolder = name.data();
    }
    void TearDown() override { fs::remove_all(mFolder); }

    std::string PathOf(const std::string& name) const { return mFolder + "/" + name; }

    // Writes `csv` (midicsv's format) as the MIDI file `name`.
    std::string MakeMidi(const std::string& name, const std::string& csv)
    {
        std::ofstream(PathOf(name + ".csv")) << csv;
        const Output made = RunCommand("csvmidi " + Quote(PathOf(name + ".csv")) + " " + Quote(PathOf(name)));
        EXPECT_EQ(made.status, 0) << "csvmidi failed";
        return PathOf(name);
    }

    // Runs uxhost apply with the filters; its standard error goes to `stderrPath`.
    int RunApply(const std::vector<std::string>& filters, const std::string& input, const std::string& output,
                 const std::string& options = "")
    {
        std::string command = Quote(UXHOST_PATH) + " apply " + options;
        for (const std::string& filter : filters)
            command += " -f " + Quote(filter);
        command += " " + Quote(input) + " -o " + Quote(output) + " 2>" + Quote(PathOf("stderr"));
        return RunCommand(command).status;
    }

    static std::vector<Row> ReadBack(const std::string& path)
    {
        const Output csv = RunCommand("midicsv " + Quote(path));
        EXPECT_EQ(csv.status, 0) << "midicsv cannot read " << path;
        std::vector<Row> rows;
        std::istringstream lines(csv.text);
        for (std::string line; std::getline(lines, line);) {
            std::istringstream fields(line);
            std::vector<std::string> parts;
            for (std::string part; std::getline(fields, part, ',');)
                parts.push_back(part.substr(part.find_first_not_of(' ')));
            Row row{std::stoi(parts[0]), std::stoll(parts[1]), parts[2], {}};
            row.fields.assign(parts.begin() + 3, parts.end());
            rows.push_back(row);
        }
        return rows;
    }

    // Pairs note-ons with note-offs; fails on a note struck while its key sounds,
    // a note-off with nothing sounding, and a note left hanging.
    static std::vector<HeardNote> NotesOf(const std::vector<Row>& rows)
    {
        std::vector<HeardNote> notes;
        std::map<std::tuple<int, int, int>, HeardNote> sounding;
        for (const Row& row : rows) {
            if (row.type != "Note_on_c" && row.type != "Note_off_c")
                continue;
            const int channel = std::stoi(row.fields[0]);
            const int pitch = std::stoi(row.fields[1]);
            const int velocity = std::stoi(row.fields[2]);
            const auto key = std::make_tuple(row.track, channel, pitch);
            if (row.type == "Note_on_c" && velocity > 0) {
                EXPECT_EQ(sounding.count(key), 0u) << "struck while sounding: tick " << row.tick;
                sounding[key] = {row.track, channel, pitch, velocity, row.tick, -1};
            } else {
                auto found = sounding.find(key);
                if (found == sounding.end()) {
                    ADD_FAILURE() << "note-off with nothing sounding: tick " << row.tick;
                    continue;
                }
                found->second.off = row.tick;
                found->second.release = row.type == "Note_off_c" ? velocity : 64;
                notes.push_back(found->second);
                sounding.erase(found);
            }
        }
        EXPECT_TRUE(sounding.empty()) << sounding.size() << " notes left hanging";
        std::sort(notes.begin(), notes.end());
        return notes;
    }

    // Every row but the notes, so that what passes the filters can be compared.
    static std::vector<std::string> OtherRowsOf(const std::vector<Row>& rows)
    {
        std::vector<std::string> others;
        for (const Row& row : rows) {
            if (row.type == "Note_on_c" || row.type == "Note_off_c" || row.type == "End_track")
                continue;
            std::string text = std::to_string(row.track) + "," + std::to_string(row.tick) + "," + row.type;
            for (const std::string& field : row.fields)
                text += "," + field;
            others.push_back(text);
        }
        return others;
    }

    std::string mFolder;
};

// What a filter makes of the note, as notes read back from a file: the chain with
// what MIDI cannot carry left out.
void AddChain(LoadedFilter* filter, const UxNoteOn& note, int track, std::vector<HeardNote>* notes)
{
    UxChainPtr chain = filter->Handle(note.Copy());
    for (const UxNoteOn* echo : ::NotesOf(chain.get()))
        if (echo->Velocity() > 0 && echo->Note() < 128)
            notes->push_back({track, echo->Channel(), echo->Note(), echo->Velocity(), echo->StartTime(),
                              echo->StartTime() + echo->Duration(), echo->ReleaseVelocity()});
}

const char kFormat0Song[] = "0, 0, Header, 0, 1, 480\n"
                            "1, 0, Start_track\n"
                            "1, 0, Tempo, 500000\n"
                            "1, 0, Program_c, 0, 4\n"
                            "1, 0, Note_on_c, 0, 60, 100\n"
                            "1, 240, Control_c, 0, 7, 90\n"
                            "1, 480, Note_off_c, 0, 60, 40\n"
                            "1, 960, Tempo, 400000\n"
                            "1, 2000, Note_on_c, 3, 72, 127\n"
                            "1, 2100, Pitch_bend_c, 3, 9000\n"
                            "1, 2960, Note_on_c, 3, 72, 0\n"
                            "1, 3000, End_track\n"
                            "0, 0, End_of_file\n";

TEST_F(Apply, DissolveEchoChainsAreWhatTheFilterAnswers)
{
    const std::string input = MakeMidi("song.mid", kFormat0Song);
    const std::string output = PathOf("out.mid");
    ASSERT_EQ(RunApply({"Dissolve"}, input, output), 0);

    LoadedFilter dissolve("Dissolve");
    std::vector<HeardNote> expected;
    UxNoteOn released(0, 480, 60, 100, 0);
    released.SetReleaseVelocity(40);  // the echoes keep it
    AddChain(&dissolve, released, 1, &expected);
    AddChain(&dissolve, UxNoteOn(2000, 960, 72, 127, 3), 1, &expected);
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(expected.size(), 22u);
    EXPECT_EQ(expected[1].on, 480);
    EXPECT_EQ(expected[1].off - expected[1].on, 360);

    const std::vector<Row> rows = ReadBack(output);
    EXPECT_EQ(NotesOf(rows), expected);
    EXPECT_EQ(OtherRowsOf(rows), OtherRowsOf(ReadBack(input)));
}

TEST_F(Apply, APipelineFeedsEachEchoIntoTheNextFilter)
{
    const std::string input = MakeMidi("song.mid",
                                       "0, 0, Header, 0, 1, 96\n"
                                       "1, 0, Start_track\n"
                                       "1, 0, Note_on_c, 1, 70, 120\n"
                                       "1, 96, Note_off_c, 1, 70, 0\n"
                                       "1, 96, End_track\n"
                                       "0, 0, End_of_file\n");
    const std::string output = PathOf("out.mid");
    ASSERT_EQ(RunApply({"Dissolve", "Dissolve"}, input, output), 0);

    // Each note of the first chain, through a second filter of its own kind. Notes
    // that meet on one tick and key can sound only once: compare where notes start.
    LoadedFilter first("Dissolve");
    LoadedFilter second("Dissolve");
    std::vector<HeardNote> firstChain;
    AddChain(&first, UxNoteOn(0, 96, 70, 120, 1), 1, &firstChain);
    std::set<std::pair<long long, int>> expectedStarts;
    for (const HeardNote& note : firstChain) {
        std::vector<HeardNote> chain;
        AddChain(
            &second,
            UxNoteOn(note.on, note.off - note.on, static_cast<uchar>(note.pitch), static_cast<uchar>(note.velocity), 1),
            1, &chain);
        for (const HeardNote& echo : chain)
            expectedStarts.insert({echo.on, echo.pitch});
    }
    std::set<std::pair<long long, int>> starts;
    for (const HeardNote& note : NotesOf(ReadBack(output)))
        starts.insert({note.on, note.pitch});
    EXPECT_EQ(starts, expectedStarts);
    EXPECT_GT(starts.size(), firstChain.size());
}

// Several tracks and channels, tempo changes and controllers between the notes,
// through every plug-in built: whatever a filter does, the other events come out
// as they went in and every note struck is ended.
TEST_F(Apply, EveryPluginKeepsOtherEventsAndLeavesNoNoteHanging)
{
    const std::string input = MakeMidi("song.mid",
                                       "0, 0, Header, 1, 3, 480\n"
                                       "1, 0, Start_track\n"
                                       "1, 0, Title_t, \"Test song\"\n"
                                       "1, 0, Tempo, 500000\n"
                                       "1, 1920, Tempo, 300000\n"
                                       "1, 3840, End_track\n"
                                       "2, 0, Start_track\n"
                                       "2, 0, Program_c, 0, 1\n"
                                       "2, 0, Note_on_c, 0, 60, 100\n"
                                       "2, 120, Control_c, 0, 64, 127\n"
                                       "2, 480, Note_off_c, 0, 60, 0\n"
                                       "2, 480, Note_on_c, 0, 64, 90\n"
                                       "2, 600, Control_c, 0, 64, 0\n"
                                       "2, 960, Note_off_c, 0, 64, 0\n"
                                       "2, 960, Note_on_c, 1, 67, 80\n"
                                       "2, 1440, Note_off_c, 1, 67, 0\n"
                                       "2, 1500, End_track\n"
                                       "3, 0, Start_track\n"
                                       "3, 0, Program_c, 9, 0\n"
                                       "3, 240, Note_on_c, 9, 36, 127\n"
                                       "3, 300, Poly_aftertouch_c, 9, 36, 20\n"
                                       "3, 360, Note_off_c, 9, 36, 0\n"
                                       "3, 400, System_exclusive, 3, 67, 18, 247\n"
                                       "3, 1920, Note_on_c, 9, 38, 100\n"
                                       "3, 2400, Note_off_c, 9, 38, 0\n"
                                       "3, 2400, End_track\n"
                                       "0, 0, End_of_file\n");
    const std::vector<Row> inputRows = ReadBack(input);
    int plugins = 0;
    for (const auto& entry : fs::directory_iterator(UX_BUILD_ADDON_DIR)) {
        if (entry.path().extension() != ".so")
            continue;
        ++plugins;
        SCOPED_TRACE(entry.path().string());
        const std::string output = PathOf("out-" + entry.path().stem().string() + ".mid");
        ASSERT_EQ(RunApply({entry.path().string()}, input, output), 0);
        const std::vector<Row> rows = ReadBack(output);
        ASSERT_FALSE(rows.empty());
        EXPECT_EQ(rows[0].fields, (std::vector<std::string>{"1", "3", "480"}));
        EXPECT_EQ(OtherRowsOf(rows), OtherRowsOf(inputRows));
        const std::vector<HeardNote> notes = NotesOf(rows);
        EXPECT_GE(notes.size(), 5u);
        for (size_t i = 1; i < rows.size(); ++i) {
            if (rows[i].track == rows[i - 1].track) {
                EXPECT_GE(rows[i].tick, rows[i - 1].tick) << "row " << i;
            }
        }
    }
    EXPECT_GT(plugins, 0);
}

// Two counts: one line by default, two sentences with their reasons under -v.
// Dissolve's echoes of a note of velocity 1 have velocity 0, which MIDI would read
// as note-offs. The first echo of 60 falls on 59 while the player holds it: the
// echo gives way, the held note stays whole.
TEST_F(Apply, KeepsThePlayersNotesWholeAndSaysWhatItLeftOut)
{
    const std::string input = MakeMidi("song.mid",
                                       "0, 0, Header, 0, 1, 480\n"
                                       "1, 0, Start_track\n"
                                       "1, 0, Note_on_c, 0, 80, 1\n"
                                       "1, 0, Note_on_c, 1, 60, 100\n"
                                       "1, 400, Note_on_c, 1, 59, 100\n"
                                       "1, 480, Note_off_c, 0, 80, 0\n"
                                       "1, 480, Note_off_c, 1, 60, 0\n"
                                       "1, 1400, Note_off_c, 1, 59, 30\n"
                                       "1, 1400, End_track\n"
                                       "0, 0, End_of_file\n");
    const struct {
        const char* options;
        std::vector<std::string> lines;
    } cases[] = {
        {"",
         {"out.mid: 1 note gave way to another on its key and 10 were left out as MIDI cannot carry them "
          "(--verbose says which)."}},
        {"-v",
         {"out.mid: left out what MIDI cannot carry: 10 notes with a velocity of 0.",
          "out.mid: 1 note gave way to another on its key and channel: 1 made by the filters left out."}},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.options);
        ASSERT_EQ(RunApply({"Dissolve"}, input, PathOf("out.mid"), row.options), 0);
        std::ifstream errors(PathOf("stderr"));
        std::vector<std::string> lines;
        for (std::string line; std::getline(errors, line);)
            lines.push_back(line.substr(line.find("out.mid: ")));
        EXPECT_EQ(lines, row.lines);
    }
    const std::vector<HeardNote> notes = NotesOf(ReadBack(PathOf("out.mid")));
    EXPECT_NE(std::find(notes.begin(), notes.end(), HeardNote{1, 1, 59, 100, 400, 1400, 30}), notes.end());
}

// The drums on channel 10 pass through untouched; the piano is filtered.
TEST_F(Apply, LeavesTheChannelsNotChosenAlone)
{
    const std::string input = MakeMidi("song.mid",
                                       "0, 0, Header, 0, 1, 480\n"
                                       "1, 0, Start_track\n"
                                       "1, 0, Note_on_c, 9, 36, 120\n"
                                       "1, 0, Note_on_c, 0, 60, 100\n"
                                       "1, 120, Note_off_c, 9, 36, 0\n"
                                       "1, 240, Note_on_c, 9, 46, 90\n"
                                       "1, 360, Note_off_c, 9, 46, 0\n"
                                       "1, 480, Note_off_c, 0, 60, 0\n"
                                       "1, 480, Note_on_c, 9, 42, 80\n"
                                       "1, 600, Note_off_c, 9, 42, 0\n"
                                       "1, 600, End_track\n"
                                       "0, 0, End_of_file\n");
    ASSERT_EQ(RunApply({"Dissolve"}, input, PathOf("out.mid"), "--channels 1-9,11-16"), 0);
    std::vector<HeardNote> drums;
    size_t piano = 0;
    for (const HeardNote& note : NotesOf(ReadBack(PathOf("out.mid")))) {
        if (note.channel == 9)
            drums.push_back(note);
        else
            ++piano;
    }
    EXPECT_EQ(
        drums,
        (std::vector<HeardNote>{{1, 9, 36, 120, 0, 120, 0}, {1, 9, 46, 90, 240, 360, 0}, {1, 9, 42, 80, 480, 600, 0}}));
    EXPECT_EQ(piano, 11u);
}

std::string ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string LittleEndian32(size_t value)
{
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8)
        bytes += static_cast<char>(value >> shift & 0xFF);
    return bytes;
}

// A RIFF-wrapped file is written as the plain file it wraps, and apply says so.
TEST_F(Apply, WritesARiffWrappedFilePlain)
{
    const std::string plain = ReadBytes(MakeMidi("song.mid", kFormat0Song));
    const std::string data = "data" + LittleEndian32(plain.size()) + plain + std::string(plain.size() % 2, '\0');
    std::ofstream(PathOf("song.rmi"), std::ios::binary) << "RIFF" << LittleEndian32(4 + data.size()) << "RMID" << data;

    ASSERT_EQ(RunApply({"Dissolve"}, PathOf("song.mid"), PathOf("plain-out.mid")), 0);
    ASSERT_EQ(RunApply({"Dissolve"}, PathOf("song.rmi"), PathOf("out.mid")), 0);
    EXPECT_EQ(ReadBytes(PathOf("out.mid")), ReadBytes(PathOf("plain-out.mid")));
    const std::string said = ReadBytes(PathOf("stderr"));
    EXPECT_EQ(said.substr(said.find("out.mid: ")),
              "out.mid: written as a plain Standard MIDI File, without the input's RIFF (RMID) wrapper\n");
}

}  // namespace
