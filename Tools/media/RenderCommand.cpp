#include "RenderCommand.h"

#include <fluidsynth.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>

#include "MidiFileIo.h"
#include "NoteRules.h"
#include "ProgressLine.h"
#include "TempFile.h"

namespace {

constexpr int kChannels = 2;
constexpr int kBytesPerSample = 2;
constexpr int kBlockFrames = 4096;
constexpr double kMaxReleaseSeconds = 10;
constexpr uint32_t kWavHeaderSize = 44;
constexpr uint64_t kMaxWavData = 0xFFFFFFFFull - (kWavHeaderSize - 8);
constexpr float kFullScale = 32767;

constexpr uint8_t kSustainPedal = 64;
constexpr uint8_t kSostenutoPedal = 66;
// Once every note is let go, the sound has died away when the loudest sample of
// this many blocks in a row, as it will be written, is at most this far from
// silence (-80 dB).
constexpr int kQuietBlocks = 2;
constexpr float kQuietLevel = 3 / kFullScale;
// Where the loudest sample of a render sits: 1 dB below full scale, the ceiling of
// the limiter too.
const float kCeiling = static_cast<float>(std::pow(10.0, -1.0 / 20));

int64_t FrameAt(double seconds, int rate)
{
    return static_cast<int64_t>(std::llround(seconds * rate));
}

// The messages of every track of a song in the order they are played: by tick,
// and on one tick by place, then track, then their order in the track. Holds one
// message a track and those of one tick.
class Schedule {
public:
    Schedule(const uint8_t* data, size_t size) : mReader(data, size)
    {
        for (size_t i = 0; i < mReader.TrackCount(); ++i) {
            mTracks.push_back({mReader.NextTrack(), {}, false});
            Advance(mTracks.back());
        }
    }

    // The messages of the next tick, in order, or false once every track has ended.
    bool NextTick(int64_t* tick, std::vector<const SmfEvent*>* messages)
    {
        int64_t next = INT64_MAX;
        for (const Track& track : mTracks)
            if (track.pending)
                next = std::min(next, track.event.tick);
        if (next == INT64_MAX)
            return false;
        // The tick's messages take the places of the last tick's, buffers and all.
        size_t count = 0;
        for (Track& track : mTracks) {
            while (track.pending && track.event.tick == next) {
                if (!track.event.bytes.empty()) {
                    if (count == mTick.size())
                        mTick.emplace_back();
                    mTick[count].tick = next;
                    std::swap(mTick[count++].bytes, track.event.bytes);
                }
                Advance(track);
            }
        }
        messages->clear();
        for (const TickPlace place : {TickPlace::kEndingNote, TickPlace::kOtherEvent, TickPlace::kStartingNote})
            for (size_t i = 0; i < count; ++i)
                if (TickPlaceOf(NoteMessageOf(mTick[i].bytes.data(), mTick[i].bytes.size())) == place)
                    messages->push_back(&mTick[i]);
        *tick = next;
        return true;
    }

private:
    struct Track {
        SmfTrackReader reader;
        SmfEvent event;
        bool pending;  // `event` is the track's next
    };
    static void Advance(Track& track) { track.pending = track.reader.Next(&track.event); }

    SmfReader mReader;
    std::vector<Track> mTracks;
    std::vector<SmfEvent> mTick;
};

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
    if (!IsChannelStatus(status) || bytes.size() < 2)
        return;  // meta events and the like make no sound
    const int channel = status & kChannelMask;
    const int data1 = bytes[1];
    const int data2 = bytes.size() > 2 ? bytes[2] : 0;
    switch (status & kKindMask) {
    case kNoteOffStatus:
    case kNoteOnStatus:
        if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOn)
            fluid_synth_noteon(synth, channel, data1, data2);
        else
            fluid_synth_noteoff(synth, channel, data1);
        break;
    case kPolyPressureStatus:
        fluid_synth_key_pressure(synth, channel, data1, data2);
        break;
    case kControlChangeStatus:
        fluid_synth_cc(synth, channel, data1, data2);
        break;
    case kProgramChangeStatus:
        fluid_synth_program_change(synth, channel, data1);
        break;
    case kChannelPressureStatus:
        fluid_synth_channel_pressure(synth, channel, data1);
        break;
    case kPitchBendStatus:
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

std::array<uint8_t, kWavHeaderSize> WavHeader(uint32_t dataSize, int rate)
{
    std::array<uint8_t, kWavHeaderSize> header{};
    std::memcpy(&header[0], "RIFF", 4);
    PutLittleEndian(&header[4], dataSize + kWavHeaderSize - 8, 4);
    std::memcpy(&header[8], "WAVEfmt ", 8);
    PutLittleEndian(&header[16], 16, 4);  // the format chunk's size
    PutLittleEndian(&header[20], 1, 2);   // integer samples
    PutLittleEndian(&header[22], kChannels, 2);
    PutLittleEndian(&header[24], static_cast<uint32_t>(rate), 4);
    PutLittleEndian(&header[28], static_cast<uint32_t>(rate * kChannels * kBytesPerSample), 4);
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

// Renders blocks from the synthesizer into the spool, counting frames and keeping
// the loudest sample.
class Renderer {
public:
    Renderer(fluid_synth_t* synth, TempFile& spool, ProgressLine& progress, int64_t songFrames)
        : mSynth(synth),
          mSpool(spool),
          mProgress(progress),
          mSongFrames(songFrames)
    {
    }

    // Renders up to `frame`; returns the loudest sample of the last block, full scale 1.
    float RenderTo(int64_t frame)
    {
        float blockPeak = 0;
        while (mFrames < frame) {
            const int count = static_cast<int>(std::min<int64_t>(kBlockFrames, frame - mFrames));
            fluid_synth_write_float(mSynth, count, mFloats.data(), 0, kChannels, mFloats.data(), 1, kChannels);
            blockPeak = 0;
            for (int i = 0; i < count * kChannels; ++i)
                blockPeak = std::max(blockPeak, std::fabs(mFloats[i]));
            mPeak = std::max(mPeak, blockPeak);
            mSpool.Append(reinterpret_cast<const uint8_t*>(mFloats.data()), sizeof(float) * count * kChannels);
            mFrames += count;
            mProgress.Update(static_cast<uint64_t>(mFrames), static_cast<uint64_t>(mSongFrames));
        }
        return blockPeak;
    }
    int64_t Frames() const { return mFrames; }
    float Peak() const { return mPeak; }

private:
    fluid_synth_t* mSynth;
    TempFile& mSpool;
    ProgressLine& mProgress;
    int64_t mSongFrames;
    int64_t mFrames = 0;
    float mPeak = 0;
    std::array<float, kBlockFrames * kChannels> mFloats{};
};

// Keeps every sample of a render at a fixed gain at or below the ceiling: where a
// frame would pass it the gain drops at once to bring it there, both channels
// alike, and comes back two thirds of the way in half a second.
class Limiter {
public:
    explicit Limiter(int rate) : mRecovery(2.0f / static_cast<float>(rate)) {}

    void Apply(float* samples, size_t frames)
    {
        for (size_t frame = 0; frame < frames; ++frame, samples += kChannels) {
            const float loudest = std::max(std::fabs(samples[0]), std::fabs(samples[1]));
            if (loudest * mGain > kCeiling)
                mGain = kCeiling / loudest;
            samples[0] *= mGain;
            samples[1] *= mGain;
            mGain = std::min(1.0f, mGain + mRecovery * (1.0f - mGain));
        }
    }

private:
    float mRecovery;
    float mGain = 1;
};

// The spooled render scaled by `gain` into `sink` as 16-bit samples, through the
// limiter when one is given.
void WriteScaled(TempFile& spool, float gain, Limiter* limiter, SmfSink& sink)
{
    std::array<float, kBlockFrames * kChannels> floats{};
    std::array<uint8_t, kBlockFrames * kChannels * kBytesPerSample> bytes{};
    spool.Flush();
    uint64_t offset = 0;
    while (const size_t count = spool.Read(offset, floats.data(), sizeof floats) / sizeof(float)) {
        offset += count * sizeof(float);
        for (size_t i = 0; i < count; ++i)
            floats[i] *= gain;
        if (limiter)
            limiter->Apply(floats.data(), count / kChannels);
        for (size_t i = 0; i < count; ++i) {
            const long sample = std::lround(std::clamp(floats[i], -1.0f, 1.0f) * kFullScale);
            PutLittleEndian(&bytes[i * kBytesPerSample], static_cast<uint16_t>(sample), kBytesPerSample);
        }
        sink.Append(bytes.data(), count * kBytesPerSample);
    }
}

}  // namespace

std::string FindSoundFont(const std::string& named)
{
    SilenceSynthesizerLog();
    const std::string path = named.empty() ? kDefaultSoundFont : named;
    struct stat info {};
    const bool found = stat(path.c_str(), &info) == 0;
    if (!found && named.empty())
        throw FileError(path
                        + ": no SoundFont installed; install the package timgm6mb-soundfont "
                          "or fluid-soundfont-gm, or name one with --soundfont FILE");
    if (found && S_ISDIR(info.st_mode))
        throw FileError(path + ": is a directory, not a SoundFont");
    if (!found || access(path.c_str(), R_OK) != 0)
        throw FileError(path + ": cannot read: " + std::strerror(errno));
    if (!fluid_is_soundfont(path.c_str()))
        throw FileError(path + ": not a SoundFont");
    return path;
}

void WriteSongWav(const Song& song, const std::string& soundFont, const RenderSound& sound, OutputFile& output)
{
    const int rate = sound.rate;
    const SongTiming timing = song.Timing();
    const double songSeconds = timing.Seconds(timing.EndTick());
    if ((songSeconds + kMaxReleaseSeconds) * rate * kChannels * kBytesPerSample > double(kMaxWavData))
        throw FileError(output.Name() + ": " + song.name + " lasts " + std::to_string(std::llround(songSeconds / 3600))
                        + " hours, more than a WAV file can hold");
    const int64_t songFrames = FrameAt(songSeconds, rate);
    const int64_t mostFrames = songFrames + FrameAt(kMaxReleaseSeconds, rate);

    const std::unique_ptr<fluid_settings_t, SynthDeleter> settings(new_fluid_settings());
    if (!settings)
        throw std::runtime_error("the synthesizer cannot start");
    fluid_settings_setnum(settings.get(), "synth.sample-rate", rate);
    const std::unique_ptr<fluid_synth_t, SynthDeleter> synth(new_fluid_synth(settings.get()));
    if (!synth)
        throw std::runtime_error("the synthesizer cannot start");
    if (fluid_synth_sfload(synth.get(), soundFont.c_str(), 1) == FLUID_FAILED)
        throw FileError(soundFont + ": the synthesizer cannot load this SoundFont");

    // The gain the samples are written with: fixed, or the one that brings the
    // loudest sample so far to the ceiling.
    const float fixedGain = static_cast<float>(std::pow(10.0, sound.gainDb / 20));
    const auto gainFor = [&](float peak) { return sound.fixedGain ? fixedGain : peak > 0 ? kCeiling / peak : 1.0f; };
    TempFile spool;  // the synthesizer's output, until its loudest sample is known
    int64_t frames = 0;
    float peak = 0;
    {
        ProgressLine progress("rendering " + output.Name());
        Renderer renderer(synth.get(), spool, progress, songFrames);
        Schedule schedule(song.Data(), song.Size());
        int64_t tick = 0;
        std::vector<const SmfEvent*> messages;
        while (schedule.NextTick(&tick, &messages)) {
            renderer.RenderTo(FrameAt(timing.Seconds(tick), rate));
            for (const SmfEvent* message : messages)
                Play(synth.get(), message->bytes);
        }
        renderer.RenderTo(songFrames);
        // Whatever still sounds at the end is let go, pedals and all, and dies away:
        // quiet as it will be written, which a render scaled to its peak can only
        // judge by the peak so far (the gain can only fall as the render goes on).
        for (int channel = 0; channel < kMidiChannels; ++channel) {
            fluid_synth_cc(synth.get(), channel, kSustainPedal, 0);
            fluid_synth_cc(synth.get(), channel, kSostenutoPedal, 0);
        }
        fluid_synth_all_notes_off(synth.get(), -1);
        for (int quiet = 0; quiet < kQuietBlocks && renderer.Frames() < mostFrames;) {
            const float last = renderer.RenderTo(std::min(renderer.Frames() + kBlockFrames, mostFrames));
            quiet = last == 0 || last * gainFor(renderer.Peak()) <= kQuietLevel ? quiet + 1 : 0;
        }
        frames = renderer.Frames();
        peak = renderer.Peak();
    }

    const uint64_t dataSize = static_cast<uint64_t>(frames) * kChannels * kBytesPerSample;
    output.Append(WavHeader(static_cast<uint32_t>(dataSize), rate).data(), kWavHeaderSize);
    Limiter limiter(rate);
    WriteScaled(spool, gainFor(peak), sound.fixedGain ? &limiter : nullptr, output);
    output.Commit();
}

void RunRenderCommand(const RenderOptions& options)
{
    const std::string soundFont = FindSoundFont(options.soundFont);
    RunSongCommand(options.input, options.pipeline, options.output,
                   [&soundFont, &options](const Song& song, OutputFile& output) {
                       WriteSongWav(song, soundFont, options.sound, output);
                   });
}
