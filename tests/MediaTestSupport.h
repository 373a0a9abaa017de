// What the roll and render tests share: a folder of their own, songs written to
// it, and uxhost run on them.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <Smf.h>

#include "ScratchFolder.h"

class MediaTest : public ScratchFolderTest {
protected:
    MediaTest() : ScratchFolderTest("uxhost-media") {}

    std::string PathOf(const std::string& name) const { return (mScratch / name).string(); }

    // One track at 480 ticks a quarter and 120 quarters a minute: each note as
    // {start, duration, pitch, velocity}, the track ending with the last note. Notes
    // may overlap.
    std::vector<uint8_t> OneTrackSong(const std::vector<std::vector<int64_t>>& notes)
    {
        SmfTrack track;
        track.events.push_back({0, {kMetaStatus, kMetaTempo, 0x07, 0xA1, 0x20}});
        for (const auto& note : notes) {
            const auto pitch = static_cast<uint8_t>(note[2]);
            track.events.push_back({note[0], {0x90, pitch, static_cast<uint8_t>(note[3])}});
            track.events.push_back({note[0] + note[1], {0x80, pitch, 64}});
            track.endTick = std::max(track.endTick, note[0] + note[1]);
        }
        std::stable_sort(track.events.begin(), track.events.end(),
                         [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
        SmfFile file;
        file.format = 0;
        file.division = 480;
        file.tracks.push_back(track);
        return WriteSmf(file);
    }

    std::string WriteSong(const std::string& name, const std::vector<uint8_t>& bytes)
    {
        FILE* file = std::fopen(PathOf(name).c_str(), "wb");
        EXPECT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return PathOf(name);
    }

    // Runs uxhost with the arguments (quoted here), its standard error into
    // `errors` when one is named; its exit code.
    int RunUxhost(const std::vector<std::string>& arguments, const std::string& errors = "")
    {
        std::string command = "'" UXHOST_PATH "'";
        for (const std::string& argument : arguments)
            command += " '" + argument + "'";
        if (!errors.empty())
            command += " 2>'" + errors + "'";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
};
