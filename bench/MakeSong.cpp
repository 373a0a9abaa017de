// make_song: writes a Standard MIDI File of a given number of notes, the input of
// the `uxhost apply` benchmark.
//
// The song is a steady line of quarter notes struck every eighth note, so that two
// notes always sound at once, walking up and down a scale over five octaves. Format
// 1 puts the tempo in a track of its own and the notes in a second one; format 0
// puts everything in one track.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include <Smf.h>

namespace {

constexpr uint16_t kTicksPerQuarter = 480;
constexpr int64_t kNoteSpacing = kTicksPerQuarter / 2;
constexpr int64_t kNoteDuration = kTicksPerQuarter;
constexpr uint8_t kVelocity = 100;
constexpr uint8_t kLowestPitch = 36;
constexpr int kScaleSteps = 35;  // five octaves of a seven-note scale
constexpr int kScale[] = {0, 2, 4, 5, 7, 9, 11};

uint8_t PitchOf(long index)
{
    // Up the scale, then back down, and again.
    const long cycle = index % (2 * kScaleSteps);
    const long step = cycle < kScaleSteps ? cycle : 2 * kScaleSteps - cycle;
    return static_cast<uint8_t>(kLowestPitch + 12 * (step / 7) + kScale[step % 7]);
}

int Usage()
{
    std::fprintf(stderr, "usage: make_song NOTES OUTPUT.mid [0|1]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4)
        return Usage();
    char* end = nullptr;
    const long notes = std::strtol(argv[1], &end, 10);
    const int format = argc == 4 ? std::atoi(argv[3]) : 1;
    if (*end != '\0' || notes < 0 || (format != 0 && format != 1))
        return Usage();

    SmfFile song;
    song.format = static_cast<uint16_t>(format);
    song.division = kTicksPerQuarter;
    SmfTrack tempo;
    tempo.events.push_back({0, {kMetaStatus, kMetaTempo, 0x07, 0xA1, 0x20}});  // 120 a minute
    SmfTrack line = format == 0 ? tempo : SmfTrack{};
    for (long i = 0; i < notes; ++i) {
        const int64_t start = i * kNoteSpacing;
        const uint8_t pitch = PitchOf(i);
        // Note-offs of the notes ending here come before the note-on.
        if (i >= 2)
            line.events.push_back({start, {0x80, PitchOf(i - 2), 64}});
        line.events.push_back({start, {0x90, pitch, kVelocity}});
    }
    for (long i = notes >= 2 ? notes - 2 : 0; i < notes; ++i)
        line.events.push_back({i * kNoteSpacing + kNoteDuration, {0x80, PitchOf(i), 64}});
    line.endTick = line.events.empty() ? 0 : line.events.back().tick;
    if (format == 1)
        song.tracks.push_back(std::move(tempo));
    song.tracks.push_back(std::move(line));

    const std::vector<uint8_t> bytes = WriteSmf(song);
    std::ofstream out(argv[2], std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_song: %s: cannot write: %s\n", argv[2], std::strerror(errno));
        return 1;
    }
    return 0;
}
