// The example filters as LV2 plug-ins, loaded from the bundle through lilv and
// played cycle by cycle as a live host plays them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <random>

#include <unistd.h>

#include <LiveFilter.h>
#include <Pipeline.h>
#include <PluginLoader.h>
#include <MidiTestSupport.h>
#include <Smf.h>

#include "AdapterTestSupport.h"
#include "BundleLayout.h"
#include "Lv2TestHost.h"

#include "RealtimeProof.h"

namespace {

const char* const kFilters[] = {"Dissolve", "FractalDrift", "BetaFade"};

std::string Uri(const std::string& stem)
{
    return "urn:ux-filter-kit:" + stem;
}

LiveEvent Midi(int64_t frame, uint8_t status, uint8_t data1, uint8_t data2)
{
    return {frame, {status, data1, data2}, 0};
}

LiveEvent Speed(int64_t frame, float speed)
{
    return {frame, {}, speed};
}

using Heard = HeardStream<LiveEvent>;

// What a player and a host may send, seeded: notes on a few keys (retriggers,
// note-offs of velocity 0 and for notes never struck), controllers, panics and
// transport stops. Every note still held is released at the end, and the stream
// lasts long enough for every chain to end.
std::vector<LiveEvent> RandomStream(unsigned seed, int count, int64_t* totalFrames)
{
    constexpr int64_t kLongestHold = 1500;
    std::mt19937 random(seed);
    const auto pick = [&random](int below) { return static_cast<int>(random() % below); };
    std::vector<LiveEvent> stream;
    struct Held {
        int times = 0;  // struck and not released
        int64_t since = 0;
    };
    std::map<int, Held> held;
    const auto release = [&stream](int64_t frame, int key, Held* h) {
        for (; h->times > 0; --h->times)
            stream.push_back(Midi(frame, static_cast<uint8_t>(0x80 | key / 128), key % 128, 64));
    };
    int64_t frame = 0;
    for (int i = 0; i < count; ++i) {
        frame += pick(3) == 0 ? 0 : pick(400);
        for (auto& [key, h] : held)
            if (h.times > 0 && frame - h.since > kLongestHold)
                release(frame, key, &h);
        const uint8_t channel = static_cast<uint8_t>(pick(3));
        const uint8_t pitch = static_cast<uint8_t>(58 + pick(6));
        Held& h = held[channel * 128 + pitch];
        const int what = pick(100);
        if (what < 45) {
            stream.push_back(Midi(frame, 0x90 | channel, pitch, static_cast<uint8_t>(1 + pick(127))));
            if (h.times++ == 0)
                h.since = frame;
        } else if (what < 85) {
            stream.push_back(pick(2) ? Midi(frame, 0x80 | channel, pitch, static_cast<uint8_t>(pick(128)))
                                     : Midi(frame, 0x90 | channel, pitch, 0));
            h.times = std::max(h.times - 1, 0);
        } else if (what < 90) {
            stream.push_back(Midi(frame, 0xB0 | channel, pick(2) ? 123 : 120, 0));
        } else if (what < 95) {
            stream.push_back(Midi(frame, 0xB0 | channel, 1, static_cast<uint8_t>(pick(128))));
        } else {
            stream.push_back(Speed(frame, static_cast<float>(pick(2))));
        }
    }
    frame += 1;
    for (auto& [key, h] : held)
        release(frame, key, &h);
    *totalFrames = frame + (kLongestHold + 400) * 21;
    return stream;
}

// ---- What the adapter plays ----

struct Scenario {
    const char* name;
    std::vector<LiveEvent> input;
    const char* output;
};

// Dissolve on a note of 4 frames: echoes of 3, 2, 1 and 0 frames, each a semitone
// lower and four fifths as loud, from the note-off on.
TEST(Lv2Adapter, PlaysWhatTheFilterMakesLive)
{
    const Scenario kScenarios[] = {
        {"echoes end with the note-off's velocity",
         {Midi(0, 0x90, 60, 100), Midi(4, 0x80, 60, 30)},
         "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n7: 80 3B 1E\n7: 90 3A 40\n9: 80 3A 1E\n"
         "9: 90 39 33\n10: 80 39 1E\n10: 90 38 28\n10: 80 38 1E\n"},
        {"a note-on of velocity 0 ends a note",
         {Midi(0, 0x91, 60, 100), Midi(4, 0x91, 60, 0)},
         "0: 91 3C 64\n4: 81 3C 40\n4: 91 3B 50\n7: 81 3B 40\n7: 91 3A 40\n9: 81 3A 40\n"
         "9: 91 39 33\n10: 81 39 40\n10: 91 38 28\n10: 81 38 40\n"},
        {"a panic ends the channel's notes and drops its chains",
         {Midi(0, 0x90, 60, 100), Midi(4, 0x80, 60, 30), Midi(5, 0x91, 70, 90), Midi(8, 0xB0, 123, 0)},
         "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n5: 91 46 5A\n7: 80 3B 1E\n7: 90 3A 40\n"
         "8: 80 3A 1E\n8: B0 7B 00\n"},
        {"a transport stop ends every note and chain",
         {Speed(0, 1), Midi(0, 0x90, 60, 100), Midi(4, 0x80, 60, 30), Midi(5, 0x91, 70, 90), Speed(8, 0),
          Midi(9, 0x81, 70, 0)},
         "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n5: 91 46 5A\n7: 80 3B 1E\n7: 90 3A 40\n"
         "8: 80 3A 1E\n8: 81 46 40\n9: 81 46 00\n"},
        {"an echo gives way to a key the player holds",
         {Midi(0, 0x90, 60, 100), Midi(2, 0x90, 59, 100), Midi(4, 0x80, 60, 30), Midi(20, 0x80, 59, 10)},
         "0: 90 3C 64\n2: 90 3B 64\n4: 80 3C 1E\n7: 90 3A 40\n9: 80 3A 1E\n9: 90 39 33\n"
         "10: 80 39 1E\n10: 90 38 28\n10: 80 38 1E\n20: 80 3B 0A\n20: 90 3A 50\n33: 80 3A 0A\n"
         "33: 90 39 40\n42: 80 39 0A\n42: 90 38 33\n48: 80 38 0A\n48: 90 37 28\n52: 80 37 0A\n"
         "52: 90 36 20\n55: 80 36 0A\n55: 90 35 19\n57: 80 35 0A\n57: 90 34 14\n58: 80 34 0A\n"
         "58: 90 33 10\n58: 80 33 0A\n"},
        {"a played note cuts an echo, whose note-off is not sent again",
         {Midi(0, 0x90, 60, 100), Midi(4, 0x80, 60, 30), Midi(5, 0x90, 59, 90), Midi(8, 0x80, 59, 10)},
         "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n5: 80 3B 1E\n5: 90 3B 5A\n7: 90 3A 40\n"
         "8: 80 3B 0A\n8: 80 3A 1E\n8: 90 3A 48\n9: 90 39 33\n10: 80 39 1E\n10: 80 3A 0A\n"
         "10: 90 39 39\n10: 90 38 28\n10: 80 38 1E\n11: 80 39 0A\n11: 90 38 2D\n11: 80 38 0A\n"},
        {"a note-off for a note never struck passes through",
         {Midi(3, 0x80, 60, 64), Midi(5, 0xE0, 0, 64)},
         "3: 80 3C 40\n5: E0 00 40\n"},
    };
    for (const Scenario& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        Lv2TestHost host(Uri("Dissolve"));
        EXPECT_EQ(Render(host.Play(scenario.input, 128, Block64)), scenario.output);
    }
}

// ---- Live equals offline ----

// Phrases on two channels: on each channel a phrase's notes end together (notes on
// one key cut short among them), with controllers between, and every chain ends
// before the next phrase.
std::vector<LiveEvent> Song(int64_t* totalFrames)
{
    std::vector<LiveEvent> song;
    std::mt19937 random(7);
    constexpr int64_t kPhrase = 30000;
    for (int phrase = 0; phrase < 12; ++phrase) {
        for (uint8_t channel = 0; channel < 2; ++channel) {
            const int64_t start = phrase * kPhrase + channel * 700;
            const int64_t end = start + 300 + static_cast<int64_t>(random() % 900);
            const uint8_t pitch = static_cast<uint8_t>(40 + random() % 50);
            for (int i = 0; i < 3; ++i) {
                const uint8_t key = static_cast<uint8_t>(i == 2 ? pitch : pitch + 5 * i);
                song.push_back(Midi(start + 50 * i, 0x90 | channel, key, static_cast<uint8_t>(40 + 20 * i)));
            }
            song.push_back(Midi(start + 120, 0xB0 | channel, 7, static_cast<uint8_t>(random() % 128)));
            for (int i = 0; i < 3; ++i)
                song.push_back(Midi(end, 0x80 | channel, static_cast<uint8_t>(i == 2 ? pitch : pitch + 5 * i), 64));
        }
    }
    SortByFrame(&song);
    *totalFrames = 12 * kPhrase;
    return song;
}

// The song with a program change, the sustain pedal and pitch bends in each
// phrase on each channel.
std::vector<LiveEvent> ControllerSong(int64_t* totalFrames)
{
    std::vector<LiveEvent> song = Song(totalFrames);
    std::mt19937 random(3);
    for (const LiveEvent& event : std::vector<LiveEvent>(song)) {
        if ((event.bytes[0] & 0xF0) != 0xB0)
            continue;  // the phrase's one controller, 120 frames into it
        const uint8_t channel = event.bytes[0] & 0x0F;
        const int64_t start = event.frame - 120;
        const uint8_t bend = static_cast<uint8_t>(random() % 128);
        song.push_back({start + 5, {static_cast<uint8_t>(0xC0 | channel), static_cast<uint8_t>(random() % 128)}, 0});
        song.push_back(Midi(start + 10, 0xB0 | channel, 64, 127));
        song.push_back(Midi(start + 80, 0xE0 | channel, static_cast<uint8_t>(random() % 128), bend));
        song.push_back(Midi(start + 1500, 0xE0 | channel, 0, 64));
        song.push_back(Midi(start + 1510, 0xB0 | channel, 64, 0));
    }
    SortByFrame(&song);
    return song;
}

// What `uxhost apply` writes for `song` through the filter files in a row.
std::vector<LiveEvent> Apply(const std::vector<std::string>& paths, const std::vector<LiveEvent>& song,
                             ChannelMask channels)
{
    std::vector<SmfEvent> track;
    for (const LiveEvent& event : song)
        track.push_back({event.frame, event.bytes});
    std::vector<LiveEvent> out;
    for (const SmfEvent& event : ApplyTrack(track, paths, channels))
        out.push_back({event.tick, event.bytes, 0});
    return out;
}

// The live core without an adapter: the filter files in a row, played in cycles
// of 64 frames, each cycle run by `around` when given. Its output goes into room
// taken beforehand, so that a cycle allocates nothing of its own.
std::vector<LiveEvent> PlayLive(const std::vector<std::string>& paths, const std::vector<LiveEvent>& song,
                                int64_t totalFrames, uint16_t channels,
                                const std::function<void(const std::function<void()>&)>& around = nullptr)
{
    struct Written {
        int64_t frame;
        uint32_t size;
        std::array<uint8_t, 4> bytes;  // the first of them
    };
    class Sink : public MidiSink {
    public:
        bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) override
        {
            Written& written = out.emplace_back(Written{cycleStart + frame, size, {}});
            std::copy(bytes, bytes + std::min<size_t>(size, written.bytes.size()), written.bytes.begin());
            return true;
        }
        int64_t cycleStart = 0;
        std::vector<Written> out;
    };
    std::vector<std::unique_ptr<Plugin>> plugins;
    UxFilterHolderI holder;
    std::vector<std::unique_ptr<UxFilterI>> filters;
    for (const std::string& path : paths) {
        plugins.push_back(Plugin::Load(path));
        filters.emplace_back(plugins.back()->AddOn()->NewInstance(&holder, nullptr));
    }
    LiveFilter live(std::move(filters));
    live.SetChannels(channels);
    Sink sink;
    sink.out.reserve(1 << 19);
    size_t next = 0;
    for (; sink.cycleStart < totalFrames; sink.cycleStart += 64) {
        const auto cycle = [&] {
            live.BeginCycle(64, &sink);
            for (; next < song.size() && song[next].frame < sink.cycleStart + 64; ++next)
                live.Input(song[next].frame - sink.cycleStart, song[next].bytes.data(),
                           static_cast<uint32_t>(song[next].bytes.size()));
            live.EndCycle();
        };
        around ? around(cycle) : cycle();
    }
    std::vector<LiveEvent> out;
    for (const Written& written : sink.out)
        out.push_back(
            {written.frame, std::vector<uint8_t>(written.bytes.begin(), written.bytes.begin() + written.size), 0});
    return out;
}

std::string AddOnPath(const std::string& stem)
{
    return stem == "Retouch" ? UX_RETOUCH_PATH : std::string(UX_BUILD_ADDON_DIR) + "/" + stem + ".so";
}

// Live equals offline: the notes, and the other messages of each frame. One filter
// plays through the LV2 adapter; pipelines and channel masks through the core.
TEST(Lv2Adapter, PlaysWhatApplyWrites)
{
    const struct {
        std::vector<std::string> stems;
        bool controllers;  // the song with program changes, pedal and bends
        uint16_t channels;
    } kRows[] = {
        {{"Dissolve"}, false, 0xFFFF}, {{"FractalDrift"}, false, 0xFFFF},       {{"BetaFade"}, false, 0xFFFF},
        {{"Retouch"}, true, 0xFFFF},   {{"Retouch", "Retouch"}, true, 0xFFFF},  {{"Retouch", "Dissolve"}, true, 0xFFFF},
        {{"Dissolve"}, true, 0x0002},  {{"Retouch", "Dissolve"}, true, 0x0001},
    };
    const auto byFrame = [](std::vector<LiveEvent> events) {
        std::sort(events.begin(), events.end(), [](const LiveEvent& a, const LiveEvent& b) {
            return std::tie(a.frame, a.bytes) < std::tie(b.frame, b.bytes);
        });
        return events;
    };
    for (const auto& row : kRows) {
        std::vector<std::string> paths;
        std::string name;
        for (const std::string& stem : row.stems) {
            paths.push_back(AddOnPath(stem));
            name += stem + " ";
        }
        SCOPED_TRACE(name + (row.controllers ? "with controllers" : "") + " channels " + std::to_string(row.channels));
        int64_t totalFrames = 0;
        const std::vector<LiveEvent> song = row.controllers ? ControllerSong(&totalFrames) : Song(&totalFrames);
        std::vector<LiveEvent> out;
        if (row.stems.size() == 1) {
            Lv2TestHost host(Uri(row.stems[0]));
            for (uint32_t channel = 0; channel < kChannelPorts; ++channel)
                host.SetControl(kFirstChannelPort + channel, row.channels >> channel & 1);
            out = host.Play(song, totalFrames, Block64);
        } else {
            out = PlayLive(paths, song, totalFrames, row.channels);
        }
        const Heard live = Listen(out);
        const Heard offline = Listen(Apply(paths, song, row.channels));
        const size_t played = static_cast<size_t>(
            std::count_if(song.begin(), song.end(), [](const LiveEvent& e) { return e.bytes[0] >> 4 == 0x9; }));
        EXPECT_GT(live.notes.size(), 3 * played / 2);
        EXPECT_EQ(live.notes, offline.notes);
        EXPECT_EQ(byFrame(live.others), byFrame(offline.others));
        EXPECT_EQ(live.sounding, 0);
    }
}

// ---- Real time, cycles, stuck notes and capacity ----

// Dense input: a note struck and one released every 8 frames on 16 channels, a
// controller, pitch bend or program change between, with the seeded stream's
// panics and stops behind it; Retouch answers each of them with a new event.
TEST(Lv2Adapter, RunMakesNoHeapCallAndTakesNoLock)
{
    std::vector<LiveEvent> stream;
    for (int i = 0; i < 3000; ++i) {
        const uint8_t channel = static_cast<uint8_t>(i % 16);
        const uint8_t pitch = static_cast<uint8_t>(30 + i % 60);
        stream.push_back(Midi(8 * i, 0x90 | channel, pitch, 100));
        stream.push_back(Midi(8 * i + 200, 0x80 | channel, pitch, 64));
        const uint8_t other[] = {0xB0, 0xE0, 0xC0};
        stream.push_back(Midi(8 * i + 4, other[i % 3] | channel, static_cast<uint8_t>(i % 128), 64));
        if (i % 3 == 2)
            stream.back().bytes.pop_back();  // a program change has one data byte
    }
    int64_t randomFrames = 0;
    for (LiveEvent event : RandomStream(2, 1500, &randomFrames)) {
        event.frame += 8 * 3000 + 200;
        stream.push_back(event);
    }
    SortByFrame(&stream);
    const int64_t totalFrames = 8 * 3000 + 200 + randomFrames;
    const std::vector<std::vector<std::string>> kPipelines = {
        {"Dissolve"}, {"FractalDrift"}, {"BetaFade"}, {"Retouch"}, {"Retouch", "FractalDrift"}};
    for (const auto& stems : kPipelines) {
        SCOPED_TRACE(stems[0] + (stems.size() > 1 ? " and " + stems[1] : ""));
        RealtimeCycles cycles;
        const auto counted = [&](const std::function<void()>& cycle) { cycles.Run(cycle); };
        // Channel 16 passes by the filters.
        std::vector<LiveEvent> out;
        if (stems.size() == 1) {
            Lv2TestHost host(Uri(stems[0]));
            host.SetControl(kFirstChannelPort + 15, 0);
            out = host.Play(stream, totalFrames, Block64, [&](uint32_t frames) { counted([&] { host.Run(frames); }); });
        } else {
            std::vector<std::string> paths;
            for (const std::string& stem : stems)
                paths.push_back(AddOnPath(stem));
            out = PlayLive(paths, stream, totalFrames, 0x7FFF, counted);
        }
        const Heard heard = Listen(out);
        EXPECT_EQ(cycles.heapCalls, 0);
        EXPECT_EQ(cycles.mutexLocks, 0);
        EXPECT_GT(heard.notes.size(), 3000u);
        EXPECT_EQ(heard.sounding, 0);
    }
}

TEST(Lv2Adapter, SameOutputForEveryBlockSize)
{
    int64_t totalFrames = 0;
    const std::vector<LiveEvent> stream = RandomStream(11, 600, &totalFrames);
    for (const char* stem : kFilters) {
        SCOPED_TRACE(stem);
        Lv2TestHost host(Uri(stem));
        const std::vector<LiveEvent> expected = host.Play(stream, totalFrames, Block64);
        EXPECT_GT(expected.size(), 1000u);
        std::mt19937 random(5);
        const std::function<uint32_t()> blocks[] = {[] { return 1u; }, [] { return 256u; }, [] { return 4096u; },
                                                    [&random] { return static_cast<uint32_t>(1 + random() % 3000); }};
        for (const auto& block : blocks) {
            host.Activate();
            EXPECT_EQ(host.Play(stream, totalFrames, block), expected);
        }
    }
}

TEST(Lv2Adapter, NoNoteIsLeftSounding)
{
    for (const char* stem : kFilters)
        for (unsigned seed = 1; seed <= 4; ++seed) {
            SCOPED_TRACE(std::string(stem) + " seed " + std::to_string(seed));
            int64_t totalFrames = 0;
            const std::vector<LiveEvent> stream = RandomStream(seed, 1500, &totalFrames);
            Lv2TestHost host(Uri(stem));
            const Heard heard = Listen(host.Play(stream, totalFrames, Block64));
            EXPECT_GT(heard.notes.size(), 500u);
            EXPECT_EQ(heard.doubled, 0);
            EXPECT_EQ(heard.sounding, 0);
        }
}

// A chord of 400 notes released on one frame makes 4,000 echoes: the queue keeps
// as many as it holds (3,072) and drops the newest. An output with room for four events a
// cycle holds the rest over: the same messages come, later. When even the room
// held over is full, messages are dropped, but never a sounding note's note-off.
TEST(Lv2Adapter, FullQueueAndFullOutputLoseNoNoteOff)
{
    const auto chord = [](int notes) {
        std::vector<LiveEvent> stream;
        for (int i = 0; i < 2 * notes; ++i)
            stream.push_back(Midi(i < notes ? 0 : 1000,
                                  static_cast<uint8_t>((i < notes ? 0x90 : 0x80) | (i % notes) / 50),
                                  static_cast<uint8_t>(20 + i % 50), 100));
        return stream;
    };
    const uint32_t kFourEvents = sizeof(LV2_Atom) + sizeof(LV2_Atom_Sequence_Body) + 4 * 24;
    const struct {
        const char* name;
        int notes;
        uint32_t outputCapacity;
        size_t heard;  // notes heard; 0: fewer than with room enough
    } kRows[] = {{"queue full", 400, 1 << 16, 400 + LiveCapacity{}.queuedNotes},
                 {"output full", 50, kFourEvents, 50 + 500},
                 {"output and held-over room full", 400, kFourEvents, 0}};
    const auto messagesOf = [](const std::vector<LiveEvent>& out) {
        std::vector<std::vector<uint8_t>> messages;
        for (const LiveEvent& event : out)
            messages.push_back(event.bytes);
        return messages;
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        Lv2TestHost roomy(Uri("Dissolve")), host(Uri("Dissolve"), row.outputCapacity);
        const std::vector<LiveEvent> expected = roomy.Play(chord(row.notes), 60000, Block64);
        const std::vector<LiveEvent> out = host.Play(chord(row.notes), 60000, Block64);
        const Heard heard = Listen(out);
        EXPECT_EQ(heard.doubled, 0);
        EXPECT_EQ(heard.sounding, 0);
        if (row.heard) {
            EXPECT_EQ(heard.notes.size(), row.heard);
            EXPECT_EQ(messagesOf(out), messagesOf(expected));
        } else {
            EXPECT_LT(heard.notes.size(), Listen(expected).notes.size());
        }
    }
}

// The live filter counts what it drops: the chain notes past a full queue (4,000
// echoes of a 400-note chord, 3,072 kept), and the messages that neither an output
// that takes nothing nor the room held over can take.
TEST(LiveFilter, CountsWhatItDrops)
{
    class Sink : public MidiSink {
    public:
        explicit Sink(bool takes) : mTakes(takes) {}
        bool Write(uint32_t, const uint8_t*, uint32_t) override { return mTakes; }

    private:
        bool mTakes;
    };
    const struct {
        const char* name;
        bool outputTakes;
        bool dropsMessages;
    } kRows[] = {{"output takes all", true, false}, {"output takes nothing", false, true}};
    const std::unique_ptr<Plugin> plugin = Plugin::Load(std::string(UX_BUILD_ADDON_DIR) + "/Dissolve.so");
    UxFilterHolderI holder;
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        LiveFilter live(std::unique_ptr<UxFilterI>(plugin->AddOn()->NewInstance(&holder, nullptr)));
        Sink sink(row.outputTakes);
        for (int cycle = 0; cycle < 1000; ++cycle) {
            live.BeginCycle(64, &sink);
            for (int i = 0; cycle < 2 && i < 400; ++i) {
                const uint8_t note[] = {static_cast<uint8_t>((cycle ? 0x80 : 0x90) | i / 50),
                                        static_cast<uint8_t>(20 + i % 50), 100};
                live.Input(0, note, sizeof note);
            }
            live.EndCycle();
        }
        EXPECT_EQ(live.Dropped().notes, 4000u - LiveCapacity{}.queuedNotes);
        EXPECT_EQ(live.Dropped().messages > 0, row.dropsMessages);
    }
}

// A fast performance, 20 notes a second on one channel for a minute, each held
// 0.1 to 1 s, through the example filter of the longest chains: the default
// capacities drop nothing.
TEST(LiveFilter, DefaultCapacityTakesAFastPerformance)
{
    constexpr int64_t kSecond = 48000;
    std::mt19937 random(17);
    std::vector<LiveEvent> song;
    for (int64_t start = 0; start < 60 * kSecond; start += kSecond / 20) {
        const uint8_t pitch = static_cast<uint8_t>(36 + random() % 48);
        song.push_back(Midi(start, 0x90, pitch, static_cast<uint8_t>(40 + random() % 80)));
        song.push_back(
            Midi(start + kSecond / 10 + static_cast<int64_t>(random() % (kSecond * 9 / 10)), 0x80, pitch, 64));
    }
    SortByFrame(&song);
    UxFilterHolderI holder;
    const std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath("FractalDrift"));
    LiveFilter live(std::unique_ptr<UxFilterI>(plugin->AddOn()->NewInstance(&holder, nullptr)));
    class TakesAll : public MidiSink {
    public:
        bool Write(uint32_t, const uint8_t*, uint32_t) override { return true; }
    } sink;
    size_t next = 0;
    for (int64_t cycle = 0; cycle < 90 * kSecond; cycle += 256) {
        live.BeginCycle(256, &sink);
        for (; next < song.size() && song[next].frame < cycle + 256; ++next)
            live.Input(song[next].frame - cycle, song[next].bytes.data(), 3);
        live.EndCycle();
    }
    const LiveDrops& dropped = live.Dropped();
    EXPECT_EQ(dropped.notes + dropped.events + dropped.messages + dropped.chains, 0u);
}

// An instance's memory is resident once it is made, before any cycle, and stays
// within 128 kB: hosts make them by the hundred when a session opens.
TEST(LiveFilter, IsResidentAndSmallOnceMade)
{
#if defined(__SANITIZE_ADDRESS__) || defined(UX_REALTIME_SANITIZER)
    GTEST_SKIP() << "the sanitizer's allocator keeps memory of its own";
#else
    if (!CallCounter::SeesHeapCalls())
        GTEST_SKIP() << "valgrind's allocator keeps memory of its own";
#endif
    const auto residentKilobytes = [] {
        long size = 0, resident = 0;
        FILE* statm = std::fopen("/proc/self/statm", "r");
        EXPECT_TRUE(statm && std::fscanf(statm, "%ld %ld", &size, &resident) == 2);
        if (statm)
            std::fclose(statm);
        return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1024;
    };
    UxFilterHolderI holder;
    const std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath("Dissolve"));
    std::vector<std::unique_ptr<LiveFilter>> instances;
    const auto make = [&] {
        instances.push_back(
            std::make_unique<LiveFilter>(std::unique_ptr<UxFilterI>(plugin->AddOn()->NewInstance(&holder, nullptr))));
    };
    make();
    constexpr int kInstances = 50;
    instances.reserve(kInstances + 1);
    const double before = residentKilobytes();
    for (int i = 0; i < kInstances; ++i)
        make();
    const double each = (residentKilobytes() - before) / kInstances;
    EXPECT_GT(each, 100.0);  // the tables, resident: a queue, a ledger, room held over
    EXPECT_LE(each, 128.0);
}

// Frames count on past 2^31 and 2^32 (half a day and a day at 48 kHz): notes
// whose chains cross them give the same messages, as far from the first note, as
// from frame 0.
TEST(LiveFilter, PlaysTheSameAfterADay)
{
    constexpr uint32_t kIdle = 1u << 24, kCycle = 4096;
    struct Recorder : MidiSink {
        int64_t cycle = 0;
        std::vector<std::pair<int64_t, std::vector<uint8_t>>> heard;
        bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) override
        {
            heard.emplace_back(cycle + frame, std::vector<uint8_t>(bytes, bytes + size));
            return true;
        }
    };
    UxFilterHolderI holder;
    const std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath("Dissolve"));
    std::vector<std::pair<int64_t, std::vector<uint8_t>>> fromZero;
    for (const int64_t start : {int64_t{0}, (int64_t{1} << 31) - kIdle, (int64_t{1} << 32) - kIdle}) {
        SCOPED_TRACE(start);
        LiveFilter live(std::unique_ptr<UxFilterI>(plugin->AddOn()->NewInstance(&holder, nullptr)));
        Recorder sink;
        for (; sink.cycle < start; sink.cycle += kIdle) {
            live.BeginCycle(kIdle, &sink);
            live.EndCycle();
        }
        // Eight notes, one every 2^21 frames, each held 2^22.
        for (int64_t at = 0; at < 2 * kIdle; at += kCycle, sink.cycle += kCycle) {
            live.BeginCycle(kCycle, &sink);
            if (at % (1 << 21) == 0 && at < 8 << 21) {
                const uint8_t on[] = {0x90, static_cast<uint8_t>(60 + at / (1 << 21)), 90};
                live.Input(0, on, sizeof on);
            }
            if (at >= 1 << 22 && at % (1 << 21) == 0 && at < (8 << 21) + (1 << 22)) {
                const uint8_t off[] = {0x80, static_cast<uint8_t>(60 + (at - (1 << 22)) / (1 << 21)), 64};
                live.Input(0, off, sizeof off);
            }
            live.EndCycle();
        }
        for (auto& message : sink.heard)
            message.first -= start;
        if (start == 0)
            fromZero = sink.heard;
        EXPECT_GT(sink.heard.size(), 2u * 8 * 2);
        EXPECT_EQ(sink.heard, fromZero);
    }
}

// ---- Faults and re-activation ----

// A filter that throws loses its chains alone: the played notes pass as they came,
// and the host's log hears of it outside run(): from the worker's next job when
// the host offers a worker, else at deactivation. An instance that cannot be made
// says why.
TEST(Lv2Adapter, FaultsAreContainedAndReported)
{
    const std::vector<LiveEvent> stream = {Midi(0, 0x90, 60, 100), Midi(100, 0x80, 60, 64), Midi(130, 0x91, 62, 90),
                                           Midi(300, 0x81, 62, 0)};
    for (const bool worker : {false, true}) {
        SCOPED_TRACE(worker ? "with a worker" : "without a worker");
        Lv2TestHost host(Uri("Throwing"), 1 << 16, true, worker);
        EXPECT_EQ(host.Play(stream, 1000, Block64), stream);
        EXPECT_EQ(host.RunWork() > 0, worker);
        EXPECT_EQ(host.LogLines().size(), worker ? 1u : 0u);
        host.Deactivate();
        ASSERT_EQ(host.LogLines().size(), 1u);
        EXPECT_NE(host.LogLines()[0].find("Throwing: the filter threw an exception (no chain for this note); "
                                          "2 notes played without their chains"),
                  std::string::npos);
    }
    try {
        Lv2TestHost bare(Uri("Dissolve"), 1 << 16, false);
        ADD_FAILURE() << "made without urid:map";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("Dissolve: the host offers no " LV2_URID__map), std::string::npos)
            << error.what();
    }
}

// Activated again while a played note and a chain note sound, the plug-in ends both
// at the start of its first cycle.
TEST(Lv2Adapter, ReactivationEndsWhatSounds)
{
    Lv2TestHost host(Uri("Dissolve"));
    std::vector<LiveEvent> out =
        host.Play({Midi(0, 0x90, 60, 100), Midi(100, 0x80, 60, 64), Midi(150, 0x90, 64, 100)}, 256, Block64);
    const size_t sounding = static_cast<size_t>(Listen(out).sounding);
    EXPECT_GE(sounding, 2u);
    host.Activate();
    const std::vector<LiveEvent> next = host.Play({}, 64, Block64);
    ASSERT_EQ(next.size(), sounding);
    for (const LiveEvent& event : next) {
        EXPECT_EQ(event.frame, 0);
        EXPECT_EQ(event.bytes[0], 0x80);
        out.push_back({256, event.bytes, 0});
    }
    EXPECT_EQ(Listen(out).sounding, 0);
}

}  // namespace
