// uxhost render from end to end: what the WAV file holds, span by span.
#include "MediaTestSupport.h"

#include <cmath>
#include <fstream>
#include <iterator>

namespace {

constexpr int kRate = 44100;

struct Wav {
    int channels = 0;
    int rate = 0;
    int bits = 0;
    std::vector<int16_t> samples;  // interleaved

    double Seconds() const { return static_cast<double>(samples.size()) / channels / rate; }

    // The loudest sample, in dB of full scale.
    double PeakDb() const
    {
        int loudest = 0;
        for (const int16_t sample : samples)
            loudest = std::max(loudest, std::abs(int(sample)));
        return 20 * std::log10(loudest / 32767.0);
    }

    // The root mean square of both channels from `from` to `to` seconds, full scale 1.
    double Rms(double from, double to) const
    {
        const size_t begin = static_cast<size_t>(from * rate) * channels;
        const size_t end = std::min(samples.size(), static_cast<size_t>(to * rate) * channels);
        double sum = 0;
        for (size_t i = begin; i < end; ++i)
            sum += double(samples[i]) * samples[i];
        return end > begin ? std::sqrt(sum / double(end - begin)) / 32768 : 0;
    }
};

uint32_t Little(const std::vector<uint8_t>& bytes, size_t at, int size)
{
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | bytes[at + i];
    return value;
}

// A canonical 44-byte header and its samples; fails the test on anything else.
Wav ReadWav(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    Wav wav;
    EXPECT_GE(bytes.size(), 44u);
    if (bytes.size() < 44)
        return wav;
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "RIFF");
    EXPECT_EQ(Little(bytes, 4, 4), bytes.size() - 8);
    EXPECT_EQ(std::string(bytes.begin() + 8, bytes.begin() + 16), "WAVEfmt ");
    EXPECT_EQ(Little(bytes, 20, 2), 1u);
    EXPECT_EQ(std::string(bytes.begin() + 36, bytes.begin() + 40), "data");
    EXPECT_EQ(Little(bytes, 40, 4), bytes.size() - 44);
    wav.channels = static_cast<int>(Little(bytes, 22, 2));
    wav.rate = static_cast<int>(Little(bytes, 24, 4));
    wav.bits = static_cast<int>(Little(bytes, 34, 2));
    for (size_t at = 44; at + 1 < bytes.size(); at += 2)
        wav.samples.push_back(static_cast<int16_t>(Little(bytes, at, 2)));
    return wav;
}

class Render : public MediaTest {};

// A note from 1 s to 2 s of a song that ends there: alone it has died away a
// second later; Dissolve's echoes go on to 4.85 s.
TEST_F(Render, LastsAsLongAsTheSongAndSoundsWhereItsNotesDo)
{
    constexpr double kSilent = 1e-4;  // of full scale
    constexpr double kSounding = 5e-4;
    constexpr double kLongestRelease = 4;
    struct Span {
        double from, to;
        bool sounds;
    };
    const struct Case {
        std::vector<std::string> filters;
        double songSeconds;
        std::vector<Span> spans;
    } cases[] = {
        {{}, 2.0, {{0, 0.995, false}, {1.0, 1.05, true}, {1.05, 1.95, true}, {2.6, 3.0, false}}},
        {{"-f", "Dissolve"}, 4.85, {{0, 0.995, false}, {1.0, 1.05, true}, {2.6, 3.0, true}, {4.0, 4.5, true}}},
    };
    const std::string input = WriteSong("note.mid", OneTrackSong({{960, 960, 60, 100}}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.filters.empty() ? "the song alone" : "through Dissolve");
        const std::string output = PathOf("note.wav");
        std::vector<std::string> arguments{"render", input, "-o", output};
        arguments.insert(arguments.end(), c.filters.begin(), c.filters.end());
        ASSERT_EQ(RunUxhost(arguments), 0);

        const Wav wav = ReadWav(output);
        EXPECT_EQ(wav.channels, 2);
        EXPECT_EQ(wav.rate, kRate);
        EXPECT_EQ(wav.bits, 16);
        EXPECT_GE(wav.Seconds(), c.songSeconds);
        EXPECT_LE(wav.Seconds(), c.songSeconds + kLongestRelease);
        for (const Span& span : c.spans) {
            SCOPED_TRACE(std::to_string(span.from) + " s to " + std::to_string(span.to) + " s");
            if (span.sounds)
                EXPECT_GT(wav.Rms(span.from, span.to), kSounding);
            else
                EXPECT_LT(wav.Rms(span.from, span.to), kSilent);
        }
        // It ends once the sound has died away.
        EXPECT_LT(wav.Rms(wav.Seconds() - 0.05, wav.Seconds()), kSilent);
    }
}

// Every channel at full volume striking eight keys at full velocity on every beat:
// far louder than the synthesizer can play without help, yet no sample reaches
// full scale, by default or at a fixed gain far above it.
TEST_F(Render, NeverClipsADenseSong)
{
    SmfTrack track;
    for (uint8_t channel = 0; channel < 16; ++channel) {
        track.events.push_back({0, {static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(channel * 8)}});
        track.events.push_back({0, {static_cast<uint8_t>(0xB0 | channel), 7, 127}});
    }
    for (int64_t beat = 0; beat < 8; ++beat)
        for (uint8_t channel = 0; channel < 16; ++channel)
            for (uint8_t key = 0; key < 8; ++key) {
                const uint8_t pitch = static_cast<uint8_t>(36 + key * 5 + channel % 4);
                track.events.push_back({beat * 480, {static_cast<uint8_t>(0x90 | channel), pitch, 127}});
                track.events.push_back({beat * 480 + 470, {static_cast<uint8_t>(0x80 | channel), pitch, 64}});
            }
    std::stable_sort(track.events.begin(), track.events.end(),
                     [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
    track.endTick = 8 * 480;
    SmfFile file;
    file.format = 0;
    file.tracks.push_back(track);
    const std::string input = WriteSong("dense.mid", WriteSmf(file));
    for (const char* gain : {"", "20"}) {
        SCOPED_TRACE(*gain ? "--gain 20" : "default");
        std::vector<std::string> arguments{"render", input, "-o", PathOf("dense.wav")};
        if (*gain)
            arguments.insert(arguments.end(), {"--gain", gain});
        ASSERT_EQ(RunUxhost(arguments), 0);
        const Wav wav = ReadWav(PathOf("dense.wav"));
        EXPECT_LE(wav.PeakDb(), -0.99);
        EXPECT_GT(wav.PeakDb(), -6);  // and it is loud
    }
}

// The level and rate each option asks for: by default the loudest sample sits at
// -1 dBFS whatever the rate; a fixed gain scales the synthesizer's own output, the
// same under every gain.
TEST_F(Render, WritesAtTheLevelAndRateAsked)
{
    const std::string input = WriteSong("note.mid", OneTrackSong({{0, 480, 60, 40}}));
    const struct Case {
        std::vector<std::string> options;
        int rate;
        double gainDb;  // NAN: scaled to its peak
    } cases[] = {
        {{}, kRate, NAN},
        {{"--rate", "22050"}, 22050, NAN},
        {{"--rate", "96000"}, 96000, NAN},
        {{"--gain", "0"}, kRate, 0},
        {{"--gain", "-12.5"}, kRate, -12.5},
        {{"--gain", "10", "--rate", "48000"}, 48000, 10},
    };
    double synthesizerDb = NAN;  // the peak at the synthesizer's own level, from the first fixed gain
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.empty() ? "default" : c.options[0] + " " + c.options[1]);
        std::vector<std::string> arguments{"render", input, "-o", PathOf("note.wav")};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        ASSERT_EQ(RunUxhost(arguments), 0);
        const Wav wav = ReadWav(PathOf("note.wav"));
        EXPECT_EQ(wav.rate, c.rate);
        EXPECT_NEAR(wav.Seconds(), 2.0, 1.5);  // the note and its release, at any rate
        if (std::isnan(c.gainDb)) {
            EXPECT_NEAR(wav.PeakDb(), -1, 0.01);
            continue;
        }
        if (std::isnan(synthesizerDb))
            synthesizerDb = wav.PeakDb() - c.gainDb;
        EXPECT_NEAR(wav.PeakDb() - c.gainDb, synthesizerDb, 0.1);
    }
}

}  // namespace
