#include "RenderCommand.h"

#include <fluidsynth.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "MidiFileIo.h"
#include "NoteRules.h"

namespace {

constexpr int kSampleRate = 44100;
constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;
constexpr int kBlockFrames = 4096;
constexpr double kMaxReleaseSeconds = 10;
// The synthesizer's master gain: loud enough for a single note, with room for chords.
constexpr double kGain = 0.8;
constexpr uint32_t kWavHeaderSize = 44;
constexpr uint64_t kMaxWavData = 0xFFFFFFFFull - (kWavHeaderSize - 8);

constexpr uint32_t kDefaultMicrosecondsPerQuarter = 500000;
constexpr uint16_t kTimecodeDivision = 0x8000;
constexpr uint8_t kSustainPedal = 64;
constexpr uint8_t kSostenutoPedal = 66;
constexpr int kMidiChannels = 16;

// The progress line appears once a render has taken this long, and changes at most
// this often.
constexpr std::chrono::milliseconds kProgressDelay(1000);
constexpr std::chrono::milliseconds kProgressInterval(200);

// Turns ticks into seconds: by the tempo changes of every track, or by the frames
// of a timecode division.
class TempoMap {
public:
    explicit TempoMap(const SmfFile& file)
    {
        if (file.division & kTimecodeDivision) {
            const int framesPerSecond = -static_cast<int8_t>(file.division >> 8);
            mTimecodeTicksPerSecond = std::max(1, framesPerSecond * (file.division & 0xFF));
            return;
        }
        mTicksPerQuarter = std::max<int>(file.division, 1);
        std::vector<std::pair<int64_t, uint32_t>> changes;
        for (const SmfTrack& track : file.tracks)
            for (const SmfEvent& event : track.events) {
                const std::vector<uint8_t>& b = event.bytes;
                if (b.size() == 5 && b[0] == kMetaStatus && b[1] == kMetaTempo)
                    changes.emplace_back(event.tick, uint32_t(b[2]) << 16 | uint32_t(b[3]) << 8 | b[4]);
            }
        std::stable_sort(changes.begin(), changes.end(),
                         [](const auto& a, const auto& b) { return a.first < b.first; });
        mChanges.push_back({0, 0, kDefaultMicrosecondsPerQuarter});
        for (const auto& [tick, tempo] : changes) {
            if (tempo == 0)
                continue;
            Change change{tick, Seconds(tick), tempo};
            if (mChanges.back().tick == tick)
                mChanges.back() = change;
            else
                mChanges.push_back(change);
        }
    }

    double Seconds(int64_t tick) const
    {
        if (mTimecodeTicksPerSecond > 0)
            return static_cast<double>(tick) / mTimecodeTicksPerSecond;
        const auto after = std::upper_bound(mChanges.begin(), mChanges.end(), tick,
                                            [](int64_t t, const Change& c) { return t < c.tick; });
        const Change& change = *std::prev(after);
        return change.seconds
               + static_cast<double>(tick - change.tick) * change.microsecondsPerQuarter / 1e6
                     / mTicksPerQuarter;
    }

private:
    struct Change {
        int64_t tick;
        double seconds;
        uint32_t microsecondsPerQuarter;
    };
    std::vector<Change> mChanges;
    int mTicksPerQuarter = 1;
    int mTimecodeTicksPerSecond = 0;
};

int64_t FrameAt(double seconds)
{
    return static_cast<int64_t>(std::llround(seconds * kSampleRate));
}

// One message of the song in the order it is played: by tick, then by its place
// on the tick.
struct Scheduled {
    int64_t tick;
    TickPlace place;
    const SmfEvent* event;
};

std::vector<Scheduled> Schedule(const SmfFile& file)
{
    std::vector<Scheduled> all;
    for (const SmfTrack& track : file.tracks)
        for (const SmfEvent& event : track.events) {
            if (event.bytes.empty())
                continue;
            all.push_back({event.tick, TickPlaceOf(NoteMessageOf(event.bytes.data(), event.bytes.size())), &event});
        }
    std::stable_sort(all.begin(), all.end(), [](const Scheduled& a, const Scheduled& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.place < b.place;
    });
    return all;
}

void Play(fluid_synth_t* synth, const std::vector<uint8_t>& bytes)
{
    const uint8_t status = bytes[0];
    if (status == kSysExStatus) {
        // The synthesizer wants the message without its first and last bytes.
        const size_t end = bytes.back() == 0xF7 ? bytes.size() - 1 : bytes.size();
        if (end > 1)
            fluid_synth_sysex(synth, reinterpret_cast<const char*>(bytes.data() + 1), static_cast<int>(end - 1),
                              nullptr, nullptr, nullptr, 0);
        return;
    }
    if (status >= 0xF0 || bytes.size() < 2)
        return;  // meta events and the like make no sound
    const int channel = status & 0x0F;
    const int data1 = bytes[1];
    const int data2 = bytes.size() > 2 ? bytes[2] : 0;
    switch (status & 0xF0) {
    case 0x80:
    case 0x90:
        if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOn)
            fluid_synth_noteon(synth, channel, data1, data2);
        else
            fluid_synth_noteoff(synth, channel, data1);
        break;
    case 0xA0:
        fluid_synth_key_pressure(synth, channel, data1, data2);
        break;
    case 0xB0:
        fluid_synth_cc(synth, channel, data1, data2);
        break;
    case 0xC0:
        fluid_synth_program_change(synth, channel, data1);
        break;
    case 0xD0:
        fluid_synth_channel_pressure(synth, channel, data1);
        break;
    case 0xE0:
        fluid_synth_pitch_bend(synth, channel, data2 << 7 | data1);
        break;
    default:
        break;
    }
}

void PutLittleEndian(uint8_t* at, uint32_t value, int size)
{
    for (int i = 0; i < size; ++i)
        at[i] = static_cast<uint8_t>(value >> (8 * i));
}

std::array<uint8_t, kWavHeaderSize> WavHeader(uint32_t dataSize)
{
    std::array<uint8_t, kWavHeaderSize> header{};
    std::memcpy(&header[0], "RIFF", 4);
    PutLittleEndian(&header[4], dataSize + kWavHeaderSize - 8, 4);
    std::memcpy(&header[8], "WAVEfmt ", 8);
    PutLittleEndian(&header[16], 16, 4);  // the format chunk's size
    PutLittleEndian(&header[20], 1, 2);   // integer samples
    PutLittleEndian(&header[22], kChannels, 2);
    PutLittleEndian(&header[24], kSampleRate, 4);
    PutLittleEndian(&header[28], kSampleRate * kChannels * kBytesPerSample, 4);
    PutLittleEndian(&header[32], kChannels * kBytesPerSample, 2);
    PutLittleEndian(&header[34], 8 * kBytesPerSample, 2);
    std::memcpy(&header[36], "data", 4);
    PutLittleEndian(&header[40], dataSize, 4);
    return header;
}

// The synthesizer says nothing on its own: failures are reported here, in one line.
void SilenceSynthesizerLog()
{
    for (const int level : {FLUID_PANIC, FLUID_ERR, FLUID_WARN, FLUID_INFO, FLUID_DBG})
        fluid_set_log_function(level, nullptr, nullptr);
}

struct SynthDeleter {
    void operator()(fluid_synth_t* synth) const { delete_fluid_synth(synth); }
    void operator()(fluid_settings_t* settings) const { delete_fluid_settings(settings); }
};

// A line on standard error that shows how far a long render has come, when standard
// error is a terminal; it is wiped when the render ends.
class Progress {
public:
    Progress(std::string path, int64_t totalFrames)
        : mPath(std::move(path)),
          mTotal(std::max<int64_t>(totalFrames, 1)),
          mEnabled(isatty(STDERR_FILENO) == 1),
          mStart(std::chrono::steady_clock::now())
    {
    }
    ~Progress()
    {
        if (mShown)
            std::fprintf(stderr, "\r\033[K");
    }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    void Update(int64_t frames)
    {
        if (!mEnabled)
            return;
        const auto now = std::chrono::steady_clock::now();
        if (now - mStart < kProgressDelay || (mShown && now - mLast < kProgressInterval))
            return;
        const int percent = static_cast<int>(std::min<int64_t>(100, frames * 100 / mTotal));
        std::fprintf(stderr, "\ruxhost: rendering %s: %3d%%", mPath.c_str(), percent);
        std::fflush(stderr);
        mShown = true;
        mLast = now;
    }

private:
    std::string mPath;
    int64_t mTotal;
    bool mEnabled;
    bool mShown = false;
    std::chrono::steady_clock::time_point mStart;
    std::chrono::steady_clock::time_point mLast;
};

// Renders blocks from the synthesizer into the sink as 16-bit samples, counting frames.
class Renderer {
public:
    Renderer(fluid_synth_t* synth, SmfSink& sink, Progress& progress)
        : mSynth(synth), mSink(sink), mProgress(progress)
    {
    }

    // Renders up to `frame`; returns the loudest sample of the last block, in 16-bit steps.
    int RenderTo(int64_t frame)
    {
        int peak = 0;
        while (mFrames < frame) {
            const int count = static_cast<int>(std::min<int64_t>(kBlockFrames, frame - mFrames));
            fluid_synth_write_float(mSynth, count, mFloats.data(), 0, kChannels, mFloats.data(), 1, kChannels);
            peak = 0;
            for (int i = 0; i < count * kChannels; ++i) {
                const long sample = std::lround(std::clamp(mFloats[i], -1.0f, 1.0f) * 32767.0f);
                peak = std::max(peak, static_cast<int>(std::labs(sample)));
                PutLittleEndian(&mBytes[i * kBytesPerSample], static_cast<uint16_t>(sample), kBytesPerSample);
            }
            mSink.Append(mBytes.data(), static_cast<size_t>(count) * kChannels * kBytesPerSample);
            mFrames += count;
            mProgress.Update(mFrames);
        }
        return peak;
    }
    int64_t Frames() const { return mFrames; }

private:
    fluid_synth_t* mSynth;
    SmfSink& mSink;
    Progress& mProgress;
    int64_t mFrames = 0;
    std::array<float, kBlockFrames * kChannels> mFloats{};
    std::array<uint8_t, kBlockFrames * kChannels * kBytesPerSample> mBytes{};
};

}  // namespace

std::string FindSoundFont(const std::string& named)
{
    SilenceSynthesizerLog();
    const std::string path = named.empty() ? kDefaultSoundFont : named;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        if (named.empty())
            throw FileError(path + ": no SoundFont installed; install the package timgm6mb-soundfont "
                                   "or fluid-soundfont-gm, or name one with --soundfont FILE");
        throw FileError(path + ": cannot read: " + std::strerror(errno));
    }
    if (S_ISDIR(info.st_mode))
        throw FileError(path + ": is a directory, not a SoundFont");
    if (access(path.c_str(), R_OK) != 0)
        throw FileError(path + ": cannot read: " + std::strerror(errno));
    if (!fluid_is_soundfont(path.c_str()))
        throw FileError(path + ": not a SoundFont");
    return path;
}

void WriteSongWav(const Song& song, const std::string& soundFont, OutputFile& output)
{
    const TempoMap tempo(song.file);
    const std::vector<Scheduled> schedule = Schedule(song.file);
    const int64_t endTick = std::max(song.EndTick(), schedule.empty() ? 0 : schedule.back().tick);
    const double songSeconds = tempo.Seconds(endTick);
    if ((songSeconds + kMaxReleaseSeconds) * kSampleRate * kChannels * kBytesPerSample > double(kMaxWavData))
        throw FileError(output.Name() + ": " + song.name + " lasts " + std::to_string(std::llround(songSeconds / 3600))
                        + " hours, more than a WAV file can hold");
    const int64_t songFrames = FrameAt(songSeconds);
    const int64_t mostFrames = songFrames + FrameAt(kMaxReleaseSeconds);

    const std::unique_ptr<fluid_settings_t, SynthDeleter> settings(new_fluid_settings());
    if (!settings)
        throw std::runtime_error("the synthesizer cannot start");
    fluid_settings_setnum(settings.get(), "synth.sample-rate", kSampleRate);
    fluid_settings_setnum(settings.get(), "synth.gain", kGain);
    const std::unique_ptr<fluid_synth_t, SynthDeleter> synth(new_fluid_synth(settings.get()));
    if (!synth)
        throw std::runtime_error("the synthesizer cannot start");
    if (fluid_synth_sfload(synth.get(), soundFont.c_str(), 1) == FLUID_FAILED)
        throw FileError(soundFont + ": the synthesizer cannot load this SoundFont");

    {
        output.Append(WavHeader(0).data(), kWavHeaderSize);
        Progress progress(output.Name(), songFrames);
        Renderer renderer(synth.get(), output, progress);
        for (const Scheduled& next : schedule) {
            renderer.RenderTo(FrameAt(tempo.Seconds(next.tick)));
            Play(synth.get(), next.event->bytes);
        }
        renderer.RenderTo(songFrames);
        // Whatever still sounds at the end is let go, pedals and all, and dies away.
        for (int channel = 0; channel < kMidiChannels; ++channel) {
            fluid_synth_cc(synth.get(), channel, kSustainPedal, 0);
            fluid_synth_cc(synth.get(), channel, kSostenutoPedal, 0);
        }
        fluid_synth_all_notes_off(synth.get(), -1);
        while (renderer.Frames() < mostFrames) {
            const int peak = renderer.RenderTo(std::min(renderer.Frames() + kBlockFrames, mostFrames));
            if (peak == 0 && fluid_synth_get_active_voice_count(synth.get()) == 0)
                break;
        }
        const uint64_t dataSize = static_cast<uint64_t>(renderer.Frames()) * kChannels * kBytesPerSample;
        output.Overwrite(0, WavHeader(static_cast<uint32_t>(dataSize)).data(), kWavHeaderSize);
    }
    output.Commit();
}

CLI::App* AddRenderCommand(CLI::App& app, RenderOptions& options)
{
    CLI::App* render = app.add_subcommand("render", "Play a MIDI file through a synthesizer into a WAV file");
    render->add_option("input", options.input, "The Standard MIDI File to play")->required();
    render->add_option("-f,--filter", options.filters,
                       "A filter (path, name or file name) to run the song through first; repeat for a pipeline")
        ->allow_extra_args(false);
    render->add_option("-o,--output", options.output, "The WAV file to write")->required();
    render->add_option("--soundfont", options.soundFont,
                       std::string("The SoundFont to play with (default: ") + kDefaultSoundFont + ")");
    return render;
}

void RunRenderCommand(const RenderOptions& options)
{
    const std::string soundFont = FindSoundFont(options.soundFont);
    OutputFile output(options.output, {options.input});
    const Song song = LoadSong(options.input, options.filters);
    ReportLeftOut(song.name, song.leftOut);
    WriteSongWav(song, soundFont, output);
}
