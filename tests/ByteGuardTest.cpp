// The bytes `apply` writes, pinned: digests of the output for the suite's songs and
// for seeded random songs of overlapping notes, controllers, system exclusive and
// meta events, through one and two filters. A change to how the writer orders or
// encodes what it writes shows here as a changed digest.
#include "TestSupport.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include <Pipeline.h>
#include <Smf.h>

namespace {

uint64_t Fnv1a(uint64_t hash, const std::vector<uint8_t>& bytes)
{
    for (const uint8_t byte : bytes)
        hash = (hash ^ byte) * 0x100000001b3ull;
    return hash;
}

std::vector<uint8_t> RandomSong(std::mt19937* random)
{
    const auto pick = [random](int below) { return static_cast<int>((*random)() % unsigned(below)); };
    SmfFile file;
    file.format = 1;
    file.division = 96;
    for (int t = 0; t < 2; ++t) {
        SmfTrack track;
        int64_t tick = 0;
        for (int i = 0; i < 60; ++i) {
            tick += pick(3) == 0 ? 0 : pick(20);
            const auto channel = static_cast<uint8_t>(pick(3));
            const auto pitch = static_cast<uint8_t>(60 + pick(5));
            switch (pick(8)) {
            case 0:
                track.events.push_back({tick, {uint8_t(0xB0 | channel), uint8_t(pick(128)), uint8_t(pick(128))}});
                break;
            case 1:
                track.events.push_back({tick, {0xF0, 0x7E, uint8_t(pick(128)), 0xF7}});
                break;
            case 2:
                track.events.push_back({tick, {0xFF, 0x01, 0x02, 'a', uint8_t('a' + pick(26))}});
                break;
            case 3:  // a note-off, or a note-on of velocity 0
                track.events.push_back(
                    {tick, {uint8_t((pick(2) ? 0x80 : 0x90) | channel), pitch, uint8_t(pick(2) ? pick(128) : 0)}});
                break;
            default:
                track.events.push_back({tick, {uint8_t(0x90 | channel), pitch, uint8_t(1 + pick(127))}});
            }
        }
        track.endTick = tick + pick(200);
        file.tracks.push_back(track);
    }
    return WriteSmf(file);
}

// The digest of every song's output through the pipeline of `filters` Dissolves.
uint64_t Digest(const std::vector<std::vector<uint8_t>>& songs, int filters)
{
    const std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath("Dissolve"));
    const std::vector<const Plugin*> pipeline(filters, plugin.get());
    uint64_t hash = 0xcbf29ce484222325ull;
    for (const std::vector<uint8_t>& song : songs) {
        SmfMemorySink out;
        LeftOut leftOut;
        try {
            ApplyFilters(song, pipeline, &out, &leftOut);
        } catch (const SmfError&) {
            continue;  // a damaged song of the suite
        }
        hash = Fnv1a(hash, out.Bytes());
    }
    return hash;
}

TEST(ApplyBytes, StayAsPinned)
{
    std::vector<std::vector<uint8_t>> suite, random;
    for (const auto& entry : std::filesystem::directory_iterator(UX_MIDI_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        suite.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::sort(suite.begin(), suite.end());
    std::mt19937 seeded(20);
    for (int i = 0; i < 300; ++i)
        random.push_back(RandomSong(&seeded));
    const struct {
        const char* name;
        const std::vector<std::vector<uint8_t>>& songs;
        int filters;
        uint64_t digest;
    } kRows[] = {
        {"the suite's songs, one filter", suite, 1, 0x7b5b31644a968f09ull},
        {"the suite's songs, two filters", suite, 2, 0x09d7ff2117500512ull},
        {"random songs, one filter", random, 1, 0xbe6290210f659f6bull},
        {"random songs, two filters", random, 2, 0xe4d3cd692f90690aull},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(Digest(row.songs, row.filters), row.digest);
    }
}

}  // namespace
