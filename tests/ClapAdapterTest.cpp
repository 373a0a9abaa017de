// The example filters as CLAP note effects, loaded from the build's CLAP file and
// played cycle by cycle as a live host plays them.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include <Pipeline.h>
#include <PluginLoader.h>
#include <MidiTestSupport.h>
#include <Smf.h>

#include "AdapterTestSupport.h"
#include "ClapTestHost.h"

#include "RealtimeProof.h"

namespace {

const char* const kFilters[] = {"BetaFade", "Dissolve", "FractalDrift"};  // by stem

std::string Id(const std::string& stem)
{
    return "ux-filter-kit." + stem;
}

ClapIn On(int64_t frame, int16_t channel, int16_t key, double velocity)
{
    return ClapNote(frame, CLAP_EVENT_NOTE_ON, channel, key, velocity);
}

ClapIn Off(int64_t frame, int16_t channel, int16_t key, double velocity)
{
    return ClapNote(frame, CLAP_EVENT_NOTE_OFF, channel, key, velocity);
}

using Heard = HeardStream<ClapOut>;

std::vector<ClapIn> AsInput(const std::vector<ClapOut>& stream)
{
    std::vector<ClapIn> in;
    for (const ClapOut& event : stream)
        in.push_back(ClapMidi(event.frame, event.bytes[0], event.bytes.size() > 1 ? event.bytes[1] : 0,
                              event.bytes.size() > 2 ? event.bytes[2] : 0));
    return in;
}

// ---- What the file lists ----

TEST(ClapAdapter, ListsEveryFilterOfItsFolderAsANoteEffect)
{
    const ClapFile file(UX_CLAP_FILE);
    const clap_plugin_factory_t* factory = file.Factory();
    ASSERT_NE(factory, nullptr);
    ASSERT_EQ(factory->get_plugin_count(factory), std::size(kFilters));
    for (uint32_t i = 0; i < std::size(kFilters); ++i) {
        SCOPED_TRACE(kFilters[i]);
        const clap_plugin_descriptor_t* descriptor = factory->get_plugin_descriptor(factory, i);
        const auto plugin = Plugin::Load(std::string(UX_BUILD_ADDON_DIR) + "/" + kFilters[i] + ".so");
        int32 major = 0, minor = 0;
        plugin->AddOn()->GetVersion(&major, &minor);
        EXPECT_EQ(descriptor->id, Id(kFilters[i]));
        EXPECT_STREQ(descriptor->name, plugin->AddOn()->Name());
        EXPECT_STREQ(descriptor->vendor, plugin->AddOn()->Author());
        EXPECT_STREQ(descriptor->description, plugin->AddOn()->ShortDescription());
        EXPECT_EQ(descriptor->version, std::to_string(major) + "." + std::to_string(minor));
        EXPECT_STREQ(descriptor->features[0], "note-effect");
        EXPECT_STREQ(descriptor->features[1], "utility");
        EXPECT_EQ(descriptor->features[2], nullptr);

        const ClapTestHost host(UX_CLAP_FILE, descriptor->id);
        const clap_plugin_t* made = host.Plugin();
        EXPECT_EQ(made->get_extension(made, "clap.params"), nullptr);
        EXPECT_EQ(made->get_extension(made, "clap.audio-ports"), nullptr);
        const auto* ports =
            static_cast<const clap_plugin_note_ports_t*>(made->get_extension(made, CLAP_EXT_NOTE_PORTS));
        ASSERT_NE(ports, nullptr);
        for (const bool input : {true, false}) {
            clap_note_port_info_t info{};
            ASSERT_EQ(ports->count(made, input), 1u);
            ASSERT_TRUE(ports->get(made, 0, input, &info));
            EXPECT_EQ(info.supported_dialects,
                      input ? CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI : CLAP_NOTE_DIALECT_MIDI);
            EXPECT_EQ(info.preferred_dialect, CLAP_NOTE_DIALECT_MIDI);
        }
    }
}

// ---- What it plays ----

// Dissolve on a note of 4 frames: echoes of 3, 2, 1 and 0 frames, each a semitone
// lower and four fifths as loud, from the note-off on.
TEST(ClapAdapter, PlaysWhatTheFilterMakesLive)
{
    const char* const kEchoes = "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n7: 80 3B 1E\n7: 90 3A 40\n9: 80 3A 1E\n"
                                "9: 90 39 33\n10: 80 39 1E\n10: 90 38 28\n10: 80 38 1E\n";
    const ClapIn sysex = [] {
        static const uint8_t kBytes[] = {0xF0, 0x7E, 0x7F, 0xF7};
        ClapIn in = ClapHeader(6, CLAP_EVENT_MIDI_SYSEX, sizeof(clap_event_midi_sysex_t));
        in.sysex.buffer = kBytes;
        in.sysex.size = sizeof kBytes;
        return in;
    }();
    const struct {
        const char* name;
        std::vector<ClapIn> input;
        const char* output;
    } kScenarios[] = {
        {"CLAP notes", {On(0, 0, 60, 100 / 127.0), Off(4, 0, 60, 30 / 127.0)}, kEchoes},
        {"MIDI notes", {ClapMidi(0, 0x90, 60, 100), ClapMidi(4, 0x80, 60, 30)}, kEchoes},
        {"a CLAP note-on of velocity 0 is played at 1",
         {On(0, 1, 60, 0), Off(1, 1, 60, 0.5)},
         "0: 91 3C 01\n1: 81 3C 40\n"},
        {"a choke ends its channel's notes and chains",
         {On(0, 0, 60, 100 / 127.0), Off(4, 0, 60, 30 / 127.0), On(5, 1, 70, 90 / 127.0),
          ClapNote(8, CLAP_EVENT_NOTE_CHOKE, 0, -1, 0)},
         "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n5: 91 46 5A\n7: 80 3B 1E\n7: 90 3A 40\n"
         "8: 80 3A 1E\n8: B0 7B 00\n"},
        {"a transport event's stop ends every note and chain",
         {ClapTransport(0, true), On(0, 0, 60, 100 / 127.0), Off(4, 0, 60, 30 / 127.0), On(5, 1, 70, 90 / 127.0),
          ClapTransport(8, false), ClapMidi(9, 0x81, 70, 0)},
         "0: 90 3C 64\n4: 80 3C 1E\n4: 90 3B 50\n5: 91 46 5A\n7: 80 3B 1E\n7: 90 3A 40\n"
         "8: 80 3A 1E\n8: 81 46 40\n9: 81 46 00\n"},
        {"other messages pass at their frames; malformed ones are left out",
         {ClapMidi(3, 0xB0, 7, 100), ClapMidi(4, 0xE0, 0, 64), ClapMidi(5, 0xC2, 5, 99), sysex, ClapMidi(7, 0x40, 1, 2),
          ClapNote(7, CLAP_EVENT_NOTE_ON, 16, 60, 1), ClapNote(7, CLAP_EVENT_NOTE_ON, 0, 128, 1)},
         "3: B0 07 64\n4: E0 00 40\n5: C2 05\n6: F0 7E 7F F7\n"},
    };
    for (const auto& scenario : kScenarios) {
        SCOPED_TRACE(scenario.name);
        ClapTestHost host(UX_CLAP_FILE, Id("Dissolve"));
        EXPECT_EQ(Render(host.Play(scenario.input, 128)), scenario.output);
    }
}

// Sounding notes, a played one and a chain note, end at the start of the first
// cycle after a new activation or after the process's transport stops.
TEST(ClapAdapter, ReactivationAndStopEndWhatSounds)
{
    const struct {
        const char* name;
        std::function<void(ClapTestHost&)> act;
    } kRows[] = {
        {"activated again",
         [](ClapTestHost& host) {
             host.Deactivate();
             host.Activate();
         }},
        {"transport stopped", [](ClapTestHost& host) { host.SetTransport(ClapTestHost::Transport::kStopped); }},
    };
    for (const auto& row : kRows) {
        SCOPED_TRACE(row.name);
        ClapTestHost host(UX_CLAP_FILE, Id("Dissolve"));
        host.SetTransport(ClapTestHost::Transport::kRolling);
        std::vector<ClapOut> out = host.Play({On(0, 0, 60, 0.8), Off(100, 0, 60, 0.5), On(150, 0, 64, 0.8)}, 256);
        const size_t sounding = Listen(out).sounding;
        EXPECT_GE(sounding, 2u);
        row.act(host);
        const std::vector<ClapOut> next = host.Play({}, 64);
        ASSERT_EQ(next.size(), sounding);
        for (const ClapOut& event : next) {
            EXPECT_EQ(event.frame, 0);
            out.push_back({256, event.bytes});
        }
        EXPECT_EQ(Listen(out).sounding, 0);
    }
}

// ---- Live equals offline ----

// Phrases on two channels, CLAP notes on one and MIDI on the other: a phrase's
// `voices` notes end together, with a controller and a pitch bend between, and
// every chain ends before the next phrase.
std::vector<ClapIn> Song(int voices, int64_t* totalFrames)
{
    std::vector<ClapIn> song;
    std::mt19937 random(7);
    constexpr int64_t kPhrase = 30000;
    const auto note = [&song](int64_t frame, bool on, uint8_t channel, uint8_t key, uint8_t velocity) {
        if (channel == 0)
            song.push_back(ClapNote(frame, on ? CLAP_EVENT_NOTE_ON : CLAP_EVENT_NOTE_OFF, 0, key, velocity / 127.0));
        else
            song.push_back(ClapMidi(frame, static_cast<uint8_t>((on ? 0x90 : 0x80) | channel), key, velocity));
    };
    for (int phrase = 0; phrase < 12; ++phrase) {
        for (uint8_t channel = 0; channel < 2; ++channel) {
            const int64_t start = phrase * kPhrase + channel * 700;
            const int64_t end = start + 300 + static_cast<int64_t>(random() % 900);
            const uint8_t pitch = static_cast<uint8_t>(40 + random() % 50);
            for (int i = 0; i < voices; ++i)
                note(start + 50 * i, true, channel, static_cast<uint8_t>(pitch + 5 * i),
                     static_cast<uint8_t>(40 + 20 * i));
            song.push_back(
                ClapMidi(start + 120, static_cast<uint8_t>(0xB0 | channel), 7, static_cast<uint8_t>(random() % 128)));
            song.push_back(
                ClapMidi(start + 130, static_cast<uint8_t>(0xE0 | channel), 0, static_cast<uint8_t>(random() % 128)));
            for (int i = 0; i < voices; ++i)
                note(end, false, channel, static_cast<uint8_t>(pitch + 5 * i), 64);
        }
    }
    SortByFrame(&song);
    *totalFrames = 12 * kPhrase;
    return song;
}

// The song as MIDI in a file of one tick a frame, through `apply`'s pipeline.
std::vector<ClapOut> Apply(const std::vector<const char*>& stems, const std::vector<ClapIn>& song)
{
    std::vector<SmfEvent> track;
    for (const ClapIn& in : song) {
        std::vector<uint8_t> bytes;
        if (in.header.type == CLAP_EVENT_MIDI)
            bytes.assign(in.midi.data, in.midi.data + 1 + ChannelDataSize(in.midi.data[0]));
        else
            bytes = {static_cast<uint8_t>(in.header.type == CLAP_EVENT_NOTE_ON ? 0x90 : 0x80),
                     static_cast<uint8_t>(in.note.key), static_cast<uint8_t>(in.note.velocity * 127 + 0.5)};
        track.push_back({in.frame, bytes});
    }
    std::vector<std::string> paths;
    for (const char* stem : stems)
        paths.push_back(std::string(UX_BUILD_ADDON_DIR) + "/" + stem + ".so");
    std::vector<ClapOut> out;
    for (const SmfEvent& event : ApplyTrack(track, paths))
        out.push_back({event.tick, event.bytes});
    return out;
}

// Each filter alone, and two in a row as a host chains two note effects, play what
// `apply` writes of the same song. The second of two in a row hears only what the
// first plays, after the key rules, as played notes, where apply's pipeline hands
// it every note of the first one's chain: they agree while no two notes meet on a
// key.
TEST(ClapAdapter, PlaysWhatApplyWrites)
{
    const struct {
        std::vector<const char*> stems;
        int voices;
    } kPipelines[] = {{{"Dissolve"}, 3}, {{"BetaFade"}, 3}, {{"FractalDrift"}, 3}, {{"Dissolve", "BetaFade"}, 1}};
    for (const auto& [stems, voices] : kPipelines) {
        int64_t totalFrames = 0;
        const std::vector<ClapIn> song = Song(voices, &totalFrames);
        SCOPED_TRACE(std::string(stems.front()) + (stems.size() > 1 ? std::string(" then ") + stems[1] : ""));
        std::vector<ClapIn> in = song;
        std::vector<ClapOut> live;
        for (const char* stem : stems) {
            ClapTestHost host(UX_CLAP_FILE, Id(stem));
            live = host.Play(in, totalFrames);
            in = AsInput(live);
        }
        const Heard heard = Listen(live);
        const Heard offline = Listen(Apply(stems, song));
        EXPECT_GT(heard.notes.size(), 6 * 12u);
        EXPECT_EQ(heard.notes, offline.notes);
        EXPECT_EQ(heard.others, offline.others);
        EXPECT_EQ(heard.sounding, 0);
    }
}

// ---- Real time and faults ----

// Dense input: a note struck and one released every 8 frames on 16 channels, half
// as CLAP notes and half as MIDI, a choke and transport stops among them.
TEST(ClapAdapter, ProcessMakesNoHeapCallAndTakesNoLock)
{
    std::vector<ClapIn> stream;
    for (int i = 0; i < 3000; ++i) {
        const auto channel = static_cast<uint8_t>(i % 16);
        const auto pitch = static_cast<uint8_t>(30 + i % 60);
        if (i % 2) {
            stream.push_back(On(8 * i, channel, pitch, 0.7));
            stream.push_back(Off(8 * i + 200, channel, pitch, 0.5));
        } else {
            stream.push_back(ClapMidi(8 * i, 0x90 | channel, pitch, 100));
            stream.push_back(ClapMidi(8 * i + 200, 0x80 | channel, pitch, 64));
        }
        if (i % 500 == 250) {
            stream.push_back(ClapNote(8 * i, CLAP_EVENT_NOTE_CHOKE, -1, -1, 0));
            stream.push_back(ClapTransport(8 * i, i % 1000 == 250));
        }
    }
    SortByFrame(&stream);
    for (const char* stem : kFilters) {
        SCOPED_TRACE(stem);
        ClapTestHost host(UX_CLAP_FILE, Id(stem));
        host.SetTransport(ClapTestHost::Transport::kRolling);
        RealtimeCycles cycles;
        const Heard heard = Listen(
            host.Play(stream, 8 * 3000 + 60000, 64, [&](uint32_t frames) { cycles.Run([&] { host.Run(frames); }); }));
        EXPECT_EQ(cycles.heapCalls, 0);
        EXPECT_EQ(cycles.mutexLocks, 0);
        EXPECT_GT(heard.notes.size(), 3000u);
        EXPECT_EQ(heard.sounding, 0);
    }
}

// A file in the folder that does not load is left out, and the first host's log
// hears why, once. A filter that throws loses its chains alone, and the log hears
// of it outside process(). Without a log, standard error hears it.
TEST(ClapAdapter, FaultsAreContainedAndReported)
{
    const std::vector<ClapIn> stream = {ClapMidi(0, 0x90, 60, 100), ClapMidi(100, 0x80, 60, 64),
                                        ClapMidi(130, 0x91, 62, 90), ClapMidi(300, 0x81, 62, 0)};
    {
        const ClapFile file(UX_FAULTY_CLAP_FILE);
        EXPECT_EQ(file.Factory()->get_plugin_count(file.Factory()), 1u);
        ClapTestHost first(UX_FAULTY_CLAP_FILE, Id("Throwing"));
        ClapTestHost second(UX_FAULTY_CLAP_FILE, Id("Throwing"));
        ASSERT_EQ(first.LogLines().size(), 1u);
        EXPECT_NE(first.LogLines()[0].find("left out: "), std::string::npos);
        EXPECT_NE(first.LogLines()[0].find("NotAFilter.so: not a filter plug-in"), std::string::npos);
        EXPECT_TRUE(second.LogLines().empty());

        const std::vector<ClapOut> out = first.Play(stream, 1000);
        ASSERT_EQ(out.size(), stream.size());
        for (size_t i = 0; i < out.size(); ++i)
            EXPECT_EQ(out[i], (ClapOut{stream[i].frame, {stream[i].midi.data, stream[i].midi.data + 3}}));
        first.Deactivate();
        ASSERT_EQ(first.LogLines().size(), 2u);
        EXPECT_EQ(first.LogLines()[1],
                  "ux-filter-kit.Throwing: the filter threw an exception (no chain for this "
                  "note); 2 notes played without their chains");
    }
    testing::internal::CaptureStderr();
    {
        const ClapTestHost quiet(UX_FAULTY_CLAP_FILE, Id("Throwing"), ClapTestHost::kRoomyOutput, false);
    }
    EXPECT_NE(testing::internal::GetCapturedStderr().find("NotAFilter.so: not a filter plug-in"), std::string::npos);
}

}  // namespace
