// Writing a MIDI file as it is made: the whole file appears at once under its name,
// or nothing does.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <OutputFile.h>

#include "ScratchFolder.h"

namespace {

namespace fs = std::filesystem;

class OutputFileTest : public ScratchFolderTest {
protected:
    OutputFileTest() : ScratchFolderTest("midi-file-io") {}

    std::vector<std::string> Files() const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(mScratch))
            names.push_back(entry.path().filename().string());
        return names;
    }
};

// A track longer than one block of the writer is written before its length is
// known, which then goes back into its chunk header.
TEST_F(OutputFileTest, WritesALongFileAndRenamesItIntoPlace)
{
    SmfFile file;
    file.format = 1;
    for (int track = 0; track < 2; ++track) {
        file.tracks.emplace_back();
        for (int i = 0; i < 30000; ++i)
            file.tracks.back().events.push_back({i, {0x90, static_cast<uint8_t>(i % 128), 100}});
        file.tracks.back().endTick = 30000;
    }
    const std::string path = (mScratch / "out.mid").string();
    {
        OutputFile output(path);
        WriteSmf(file, &output);
        output.Commit();
    }
    EXPECT_EQ(Files(), std::vector<std::string>{"out.mid"});
    const std::vector<uint8_t> bytes = ReadMidiBytes(path);
    EXPECT_EQ(bytes, WriteSmf(file));
}

TEST_F(OutputFileTest, LeavesNothingBehindWithoutCommit)
{
    const std::string path = (mScratch / "kept.mid").string();
    std::ofstream(path) << "keep me";
    {
        OutputFile output(path);
        const uint8_t bytes[] = {'M', 'T', 'h', 'd'};
        output.Append(bytes, sizeof bytes);
        EXPECT_EQ(Files().size(), 2u);  // the temporary file beside it
    }
    EXPECT_EQ(Files(), std::vector<std::string>{"kept.mid"});
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep me");
}

}  // namespace
