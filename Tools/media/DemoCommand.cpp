#include "DemoCommand.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "AddOnInfo.h"
#include "HandOver.h"
#include "OutputFile.h"
#include "PluginFinder.h"
#include "RenderCommand.h"
#include "RollCommand.h"
#include "Song.h"

namespace {

const char* KindOf(const UxEvent& event)
{
    switch (event.Type()) {
    case kUxNoteOnType:
    case kUxNoteType:
        return "note";
    case kUxControlChangeType:
        return "control";
    case kUxProgramChangeType:
        return "program";
    case kUxPitchBendType:
        return "bend";
    default:
        return "event";
    }
}

void PrintChain(std::ostream& out, const UxEvent* head)
{
    char line[128];
    std::snprintf(line, sizeof line, "  %-8s %8s %8s %5s %8s\n", "kind", "start", "duration", "pitch", "velocity");
    out << line;
    for (const UxEvent* event = head; event; event = event->NextEvent()) {
        // Only a note has a pitch and a velocity.
        const auto* note = dynamic_cast<const UxNoteOn*>(event);
        std::snprintf(line, sizeof line, "  %-8s %8lld %8lld %5s %8s\n", KindOf(*event),
                      static_cast<long long>(event->StartTime()), static_cast<long long>(event->Duration()),
                      note ? std::to_string(note->Note()).c_str() : "-",
                      note ? std::to_string(note->Velocity()).c_str() : "-");
        out << line;
    }
}

// Shows what one plug-in does: its values, the chain it makes for a note-on, and
// a controller event passing through it unchanged.
void Demonstrate(std::ostream& out, const Plugin& plugin)
{
    PrintAddOn(out, plugin);
    UxFilterHolderI holder;
    const FilterPtr filter = plugin.NewFilter(&holder);
    const ux_filter_params params;

    // Each event on record while the filter holds it, as the pipeline's are.
    const auto hand = [&](UxEvent* event) {
        const HandingOver handing(plugin.Path().c_str(), 0, *event);
        return UxChainPtr(filter->HandleEvent(event, &params));
    };
    out << "A note-on (start 0, duration 480, pitch 60, velocity 100) comes back as:\n";
    PrintChain(out, hand(new UxNoteOn(0, 480, 60, 100)).get());

    out << "A controller event (volume 100) comes back as:\n";
    PrintChain(out, hand(new UxControlChange(0, 7, 100)).get());
}

// The built-in phrase: a rising arpeggio and a closing chord at 120 beats a
// minute, 480 ticks to the quarter note, on a piano, over a bass drum and hi-hat
// on the drum channel.
SmfFile DemoPhrase()
{
    constexpr uint16_t kTicksPerQuarter = 480;
    constexpr int64_t kQuarter = kTicksPerQuarter;
    SmfTrack track;
    track.events.push_back({0, {kMetaStatus, kMetaTempo, 0x07, 0xA1, 0x20}});  // 500000 us a beat
    track.events.push_back({0, {0xC0, 0}});                                    // program: piano
    track.events.push_back({0, {0xB0, 7, 100}});                               // volume
    constexpr uint8_t kDrumNoteOn = 0x99;                                      // channel 10
    constexpr uint8_t kDrumNoteOff = 0x89;
    constexpr uint8_t kBassDrum = 36;
    constexpr uint8_t kOpenHiHat = 46;
    for (int64_t beat = 0; beat < 12; ++beat) {
        const uint8_t drum = beat % 2 ? kOpenHiHat : kBassDrum;
        track.events.push_back({beat * kQuarter, {kDrumNoteOn, drum, 110}});
        track.events.push_back({beat * kQuarter + kQuarter / 4, {kDrumNoteOff, drum, 64}});
    }
    const uint8_t arpeggio[] = {60, 64, 67, 72};
    int64_t tick = 0;
    for (const uint8_t pitch : arpeggio) {
        track.events.push_back({tick, {0x90, pitch, 100}});
        track.events.push_back({tick + kQuarter, {0x80, pitch, 64}});
        tick += 2 * kQuarter;
    }
    for (const uint8_t pitch : {48, 55, 64}) {
        track.events.push_back({tick, {0x90, pitch, 90}});
        track.events.push_back({tick + 4 * kQuarter, {0x80, pitch, 64}});
    }
    track.endTick = tick + 4 * kQuarter;

    std::stable_sort(track.events.begin(), track.events.end(),
                     [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
    SmfFile phrase;
    phrase.format = 0;
    phrase.division = kTicksPerQuarter;
    phrase.tracks.push_back(std::move(track));
    return phrase;
}

}  // namespace

void RunDemoCommand(const DemoOptions& demo)
{
    const PipelineOptions& options = demo.pipeline;
    std::vector<std::string> names = demo.plugins;
    if (names.empty())
        names = FindPluginFiles();
    if (names.empty())
        throw PluginError("no plug-ins found; name one or set UX_ADDON_PATH");
    CatchFilterCrashes();
    const std::string soundFont = FindSoundFont("");
    const std::vector<uint8_t> phrase = WriteSmf(DemoPhrase());
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            std::cout << "\n";
        const LoadedPipeline pipeline(options, {names[i]});
        const Plugin& plugin = *pipeline.Plugins().front();
        Demonstrate(std::cout, plugin);
        const std::string output = "demo-" + std::filesystem::path(plugin.Path()).stem().string();
        OutputFile midi(output + ".mid");
        OutputFile roll(output + ".png");
        OutputFile wav(output + ".wav");
        const Song song = MakeSong("the demo phrase", phrase, pipeline.Plugins(), pipeline.Channels());
        midi.Append(song.Data(), song.Size());
        midi.Commit();
        ReportLeftOut(midi.Name(), song.leftOut);
        WriteRoll(song, RollView(), roll);
        WriteSongWav(song, soundFont, RenderSound(), wav);
        std::cout << "The demo phrase through it, its drums on channel 10 left alone (--channels " << options.channels
                  << "): " << output << ".mid, .png and .wav\n";
    }
}
