// The example filters as VST3 plug-ins, loaded from their bundles and played cycle
// by cycle as a sequencer plays them.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

#include <Pipeline.h>
#include <PluginLoader.h>
#include <MidiTestSupport.h>
#include <Smf.h>
#include <Vst3Layout.h>

#include "AdapterTestSupport.h"
#include "Vst3TestHost.h"

#include "RealtimeProof.h"

namespace {

namespace fs = std::filesystem;

struct Example {
    const char* stem;
    const char* name;
};
const Example kFilters[] = {{"Dissolve", "Dissolve"}, {"FractalDrift", "Fractal Drift"}, {"BetaFade", "Beta Fade"}};

std::string Bundle(const std::string& stem)
{
    return std::string(UX_VST3_BUNDLE_DIR) + "/" + stem + ".vst3";
}

Vst3Event Midi(int64_t frame, std::vector<uint8_t> bytes)
{
    return {frame, std::move(bytes), 0};
}

using Heard = HeardStream<Vst3Event>;

// ---- What the host sees of the module ----

// Each bundle lists its filter by name and vendor as one processor with one event
// bus each way and no audio, and its edit controller; the class ID depends on the
// stem alone, and sessions saved with Dissolve's find it again.
TEST(Vst3Adapter, ListsEachFilterAsOneMidiEffect)
{
    std::vector<Vst3ClassId> ids;
    for (const Example& example : kFilters) {
        SCOPED_TRACE(example.stem);
        Vst3TestHost host(Bundle(example.stem));
        ASSERT_EQ(host.Classes().size(), 2u);
        EXPECT_STREQ(host.Classes()[0].name, example.name);
        EXPECT_STREQ(host.Classes()[1].category, "Component Controller Class");
        const Vst3ClassId id = Vst3ClassIdOf(example.stem, false);
        EXPECT_TRUE(std::equal(id.begin(), id.end(), host.Classes()[0].class_id));
        ids.push_back(id);

        v3_class_info_2 info{};
        ASSERT_EQ(v3_cpp_obj(reinterpret_cast<v3_plugin_factory_2**>(host.Factory()))
                      ->get_class_info_2(host.Factory(), 0, &info),
                  V3_OK);
        EXPECT_STREQ(info.vendor, "The Ux filter kit authors");
        EXPECT_STREQ(info.version, "1.0");

        v3_component** component = host.Component();
        for (int direction : {V3_INPUT, V3_OUTPUT}) {
            EXPECT_EQ(v3_cpp_obj(component)->get_bus_count(component, V3_EVENT, direction), 1);
            EXPECT_EQ(v3_cpp_obj(component)->get_bus_count(component, V3_AUDIO, direction), 0);
        }
        EXPECT_EQ(v3_cpp_obj(host.Controller())->set_component_handler(host.Controller(), nullptr), V3_OK);
        ASSERT_NE(host.Mapping(), nullptr);
    }
    const Vst3ClassId dissolve = {0x5A, 0x05, 0x50, 0x2F, 0x66, 0x25, 0xDF, 0x56,
                                  0x7F, 0x6E, 0xE7, 0xCE, 0x8E, 0xB2, 0xC5, 0x57};
    EXPECT_EQ(ids[0], dissolve);
    EXPECT_NE(ids[0], ids[1]);
    EXPECT_NE(Vst3ClassIdOf("Dissolve", true), dissolve);
}

// ---- What the adapter plays ----

// Every kind of message a sequencer hands over comes out on its frame as it came:
// note-ons of every velocity (the host reads v * 127 truncated), and the messages
// VST3 carries as parameters, on the first and the last channel.
TEST(Vst3Adapter, EveryMessageComesOutAsItCame)
{
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
    };
    std::vector<Case> cases = {{"sustain pedal", {0xB0, 64, 127}},
                               {"controller 0", {0xBF, 0, 0}},
                               {"pitch bend", {0xE0, 0x00, 0x40}},
                               {"pitch bend, lowest", {0xEF, 0, 0}},
                               {"pitch bend, highest", {0xE3, 0x7F, 0x7F}},
                               {"program change", {0xC0, 5}},
                               {"channel pressure", {0xDF, 90}}};
    for (uint8_t velocity = 1; velocity <= 127; ++velocity)
        cases.push_back({"note-on", {0x92, static_cast<uint8_t>(velocity % 100 + 20), velocity}});
    Vst3TestHost host(Bundle("Dissolve"));
    for (const Case& item : cases) {
        SCOPED_TRACE(item.what + std::string(" ") + std::to_string(item.bytes.back()));
        std::vector<Vst3Event> out;
        host.StartCycle();
        ASSERT_TRUE(host.Queue(17, Midi(17, item.bytes)));
        host.Run(64);
        host.Collect(0, &out);
        // The note-offs of the last case's note, at frame 0, aside.
        out.erase(std::remove_if(out.begin(), out.end(), [](const Vst3Event& e) { return e.frame == 0; }), out.end());
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], Midi(17, item.bytes));
        host.Activate();
    }
}

// ---- Live equals offline ----

std::vector<Vst3Event> Apply(const std::string& stem, const std::vector<Vst3Event>& song)
{
    std::vector<SmfEvent> track;
    for (const Vst3Event& event : song)
        track.push_back({event.frame, event.bytes});
    std::vector<Vst3Event> out;
    for (const SmfEvent& event : ApplyTrack(track, {std::string(UX_BUILD_ADDON_DIR) + "/" + stem + ".so"}))
        out.push_back({event.tick, event.bytes, 0});
    return out;
}

// Phrases on two channels, each held by the sustain pedal and bent on the way; a
// phrase's notes end together and every chain ends before the next phrase.
std::vector<Vst3Event> Song(int64_t* totalFrames)
{
    std::vector<Vst3Event> song;
    std::mt19937 random(7);
    constexpr int64_t kPhrase = 30000;
    for (int phrase = 0; phrase < 12; ++phrase) {
        for (uint8_t channel = 0; channel < 2; ++channel) {
            const int64_t start = phrase * kPhrase + channel * 700;
            const int64_t end = start + 300 + static_cast<int64_t>(random() % 900);
            const uint8_t pitch = static_cast<uint8_t>(40 + random() % 50);
            song.push_back(Midi(start, {static_cast<uint8_t>(0xB0 | channel), 64, 127}));
            for (int i = 0; i < 3; ++i)
                song.push_back(Midi(start + 50 * i + 1,
                                    {static_cast<uint8_t>(0x90 | channel), static_cast<uint8_t>(pitch + 5 * i),
                                     static_cast<uint8_t>(40 + 20 * i)}));
            song.push_back(
                Midi(start + 120, {static_cast<uint8_t>(0xE0 | channel), 0, static_cast<uint8_t>(random() % 128)}));
            for (int i = 0; i < 3; ++i)
                song.push_back(
                    Midi(end, {static_cast<uint8_t>(0x80 | channel), static_cast<uint8_t>(pitch + 5 * i), 64}));
            song.push_back(Midi(end + 200, {static_cast<uint8_t>(0xB0 | channel), 64, 0}));
        }
    }
    SortByFrame(&song);
    *totalFrames = 12 * kPhrase;
    return song;
}

TEST(Vst3Adapter, PlaysWhatApplyWrites)
{
    int64_t totalFrames = 0;
    const std::vector<Vst3Event> song = Song(&totalFrames);
    for (const Example& example : kFilters) {
        SCOPED_TRACE(example.stem);
        Vst3TestHost host(Bundle(example.stem));
        const Heard live = Listen(host.Play(song, totalFrames, Block64));
        const Heard offline = Listen(Apply(example.stem, song));
        EXPECT_GT(live.notes.size(), 6 * 12u);
        EXPECT_EQ(live.notes, offline.notes);
        EXPECT_EQ(live.others, offline.others);
        EXPECT_EQ(live.sounding, 0);
    }
}

// ---- Real time and what sounds ----

// Dense input: a note struck and one released every 8 frames on 16 channels, with
// controllers and bends between.
TEST(Vst3Adapter, ProcessMakesNoHeapCallAndTakesNoLock)
{
    std::vector<Vst3Event> stream;
    for (int i = 0; i < 3000; ++i) {
        const uint8_t channel = static_cast<uint8_t>(i % 16);
        const uint8_t pitch = static_cast<uint8_t>(30 + i % 60);
        stream.push_back(Midi(8 * i, {static_cast<uint8_t>(0x90 | channel), pitch, 100}));
        stream.push_back(Midi(8 * i + 3, {static_cast<uint8_t>(0xB0 | channel), 1, pitch}));
        stream.push_back(Midi(8 * i + 5, {static_cast<uint8_t>(0xE0 | channel), 0, pitch}));
        stream.push_back(Midi(8 * i + 200, {static_cast<uint8_t>(0x80 | channel), pitch, 64}));
    }
    SortByFrame(&stream);
    for (const Example& example : kFilters) {
        SCOPED_TRACE(example.stem);
        Vst3TestHost host(Bundle(example.stem));
        RealtimeCycles cycles;
        const Heard heard = Listen(host.Play(stream, 8 * 3000 + 20000, Block64,
                                             [&](uint32_t frames) { cycles.Run([&] { host.Run(frames); }); }));
        EXPECT_EQ(cycles.heapCalls, 0);
        EXPECT_EQ(cycles.mutexLocks, 0);
        EXPECT_GT(heard.notes.size(), 3000u);
        EXPECT_EQ(heard.sounding, 0);
        EXPECT_GE(heard.others.size(), 6000u);
    }
}

// A flood of pitch bends beside the notes, into an output that takes 16 events a
// cycle: what does not fit goes out later, and every note still ends.
TEST(Vst3Adapter, FullOutputLosesNoNoteOff)
{
    std::vector<Vst3Event> stream;
    for (int i = 0; i < 400; ++i) {
        const uint8_t pitch = static_cast<uint8_t>(40 + i % 40);
        stream.push_back(Midi(100 * i, {0x90, pitch, 100}));
        for (int bend = 0; bend < 40; ++bend)
            stream.push_back(Midi(100 * i + 2 * bend + 1, {0xE0, static_cast<uint8_t>(bend), 0x40}));
        stream.push_back(Midi(100 * i + 90, {0x80, pitch, 64}));
    }
    Vst3TestHost host(Bundle("Dissolve"), 16);
    const Heard heard = Listen(host.Play(stream, 400 * 100 + 200000, Block64));
    EXPECT_GT(heard.notes.size(), 400u);
    EXPECT_EQ(heard.sounding, 0);
}

// A played note and the chain of an earlier one sound when the transport stops or
// the host activates the plug-in again: both end, with no note-off from the host.
TEST(Vst3Adapter, StopAndReactivationEndWhatSounds)
{
    for (const bool stop : {true, false}) {
        SCOPED_TRACE(stop ? "transport stop" : "activated again");
        Vst3TestHost host(Bundle("Dissolve"));
        std::vector<Vst3Event> out;
        const std::vector<Vst3Event> played = {Midi(0, {0x90, 60, 100}), Midi(40, {0x80, 60, 64}),
                                               Midi(50, {0x90, 70, 100})};
        out = host.Play(played, 64, Block64);
        ASSERT_EQ(Listen(out).sounding, 2) << "the held note and an echo";
        host.StartCycle();
        if (stop)
            host.Queue(0, {0, {}, 0});
        else
            host.Activate();
        host.Run(64);
        host.Collect(64, &out);
        EXPECT_EQ(Listen(out).sounding, 0);
    }
}

// ---- Faults ----

// A filter that throws loses its chains alone, and standard error hears of it when
// the host deactivates the plug-in; an add-on that does not load makes no plug-in,
// and standard error has the loader's words.
TEST(Vst3Adapter, FaultsAreContainedAndReported)
{
    const std::vector<Vst3Event> stream = {Midi(0, {0x90, 60, 100}), Midi(100, {0x80, 60, 64})};
    {
        Vst3TestHost host(std::string(UX_VST3_FAULTY_DIR) + "/Throwing.vst3");
        testing::internal::CaptureStderr();
        EXPECT_EQ(host.Play(stream, 1000, Block64), stream);
        host.Activate();
        EXPECT_NE(testing::internal::GetCapturedStderr().find(
                      "Throwing: the filter threw an exception (no chain for this note); 1 notes played"),
                  std::string::npos);
    }

    const fs::path broken = fs::path(testing::TempDir()) / "Broken.vst3";
    const fs::path binaries = broken / kVst3BinaryFolder;
    fs::remove_all(broken);
    fs::create_directories(binaries / kVst3AddOnFolder);
    fs::copy_file(fs::path(Bundle("Dissolve")) / kVst3BinaryFolder / "Dissolve.so", binaries / "Broken.so");
    fs::copy(fs::path(Bundle("Dissolve")) / kVst3BinaryFolder / kVst3LibraryFolder, binaries / kVst3LibraryFolder);
    std::ofstream(binaries / kVst3AddOnFolder / "Broken.so") << "not a library";
    testing::internal::CaptureStderr();
    EXPECT_THROW(Vst3TestHost host(broken.string()), std::runtime_error);
    const std::string said = testing::internal::GetCapturedStderr();
    EXPECT_NE(said.find((binaries / kVst3AddOnFolder / "Broken.so").string()), std::string::npos) << said;
    fs::remove_all(broken);
}

}  // namespace
