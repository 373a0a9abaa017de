// uxhost: a command-line host for filter plug-ins.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <filesystem>

#include "CheckCommand.h"
#include "IconCommand.h"
#include "Lv2BundleCommand.h"
#include "MidiFileIo.h"
#include "OutputFile.h"
#include "Pipeline.h"
#include "PluginFinder.h"
#include "PluginLoader.h"
#include "RenderCommand.h"
#include "RollCommand.h"

namespace {

enum ExitCode { kSuccess = 0, kInternalFailure = 1, kBadInput = 2 };

void PrintAddOn(std::ostream& out, const Plugin& plugin)
{
    const UxFilterAddOn* addOn = plugin.AddOn();
    int32 major = 0;
    int32 minor = 0;
    addOn->GetVersion(&major, &minor);
    out << "Name:        " << addOn->Name() << "\n"
        << "Description: " << addOn->ShortDescription() << "\n"
        << "Author:      " << addOn->Author() << "\n"
        << "Version:     " << major << "." << minor << " (" << addOn->Version() << ")\n"
        << "File:        " << plugin.Path() << "\n";
}

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
    std::snprintf(line, sizeof line, "  %-8s %8s %8s %5s %8s\n", "kind", "start", "duration",
                  "pitch", "velocity");
    out << line;
    for (const UxEvent* event = head; event; event = event->NextEvent()) {
        if (const auto* note = dynamic_cast<const UxNoteOn*>(event))
            std::snprintf(line, sizeof line, "  %-8s %8lld %8lld %5d %8d\n", KindOf(*event),
                          static_cast<long long>(event->StartTime()),
                          static_cast<long long>(event->Duration()), note->Note(),
                          note->Velocity());
        else
            std::snprintf(line, sizeof line, "  %-8s %8lld %8lld %5s %8s\n", KindOf(*event),
                          static_cast<long long>(event->StartTime()),
                          static_cast<long long>(event->Duration()), "-", "-");
        out << line;
    }
}

// Shows what one plug-in does: its values, the chain it makes for a note-on, and
// a controller event passing through it unchanged.
void Demonstrate(std::ostream& out, const Plugin& plugin)
{
    PrintAddOn(out, plugin);
    PipelineHolder holder;
    FilterPtr filter(plugin.AddOn()->NewInstance(&holder, nullptr));
    const ux_filter_params params;

    out << "A note-on (start 0, duration 480, pitch 60, velocity 100) comes back as:\n";
    UxChainPtr notes(filter->HandleEvent(new UxNoteOn(0, 480, 60, 100), &params));
    PrintChain(out, notes.get());

    out << "A controller event (volume 100) comes back as:\n";
    UxChainPtr control(filter->HandleEvent(new UxControlChange(0, 7, 100), &params));
    PrintChain(out, control.get());
}

// The demo's drums play on channel 10, and its filters leave them alone.
constexpr const char* kDemoChannels = "1-9,11-16";

// The built-in phrase: a rising arpeggio and a closing chord at 120 beats a
// minute, 480 ticks to the quarter note, on a piano, over a bass drum and hi-hat
// on the drum channel.
SmfFile DemoPhrase()
{
    constexpr uint16_t kTicksPerQuarter = 480;
    constexpr int64_t kQuarter = kTicksPerQuarter;
    SmfTrack track;
    track.events.push_back({0, {kMetaStatus, kMetaTempo, 0x07, 0xA1, 0x20}});  // 500000 us a beat
    track.events.push_back({0, {0xC0, 0}});                                   // program: piano
    track.events.push_back({0, {0xB0, 7, 100}});                              // volume
    constexpr uint8_t kDrumNoteOn = 0x99;  // channel 10
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
    for (const uint8_t pitch : {48, 55, 64})
        track.events.push_back({tick, {0x90, pitch, 90}});
    for (const uint8_t pitch : {48, 55, 64})
        track.events.push_back({tick + 4 * kQuarter, {0x80, pitch, 64}});
    track.endTick = tick + 4 * kQuarter;

    std::stable_sort(track.events.begin(), track.events.end(),
                     [](const SmfEvent& a, const SmfEvent& b) { return a.tick < b.tick; });
    SmfFile phrase;
    phrase.format = 0;
    phrase.division = kTicksPerQuarter;
    phrase.tracks.push_back(std::move(track));
    return phrase;
}

// Runs the MIDI file in `input` through the plug-ins into `output`; says on
// standard error, one line each, that a RIFF wrapper was dropped, what MIDI could
// not carry and what gave way to another note on its key.
void ApplyAndWrite(const std::vector<uint8_t>& input, const std::vector<const Plugin*>& plugins,
                   OutputFile& output, ChannelMask channels = kAllChannels)
{
    LeftOut leftOut;
    try {
        ApplyFilters(input, plugins, &output, &leftOut, channels);
    } catch (const SmfError& error) {
        throw FileError(output.Name() + ": cannot write: " + error.what());
    }
    output.Commit();
    if (SmfReader(input.data(), input.size()).FromRiff())
        std::cerr << "uxhost: " << output.Name()
                  << ": written as a plain Standard MIDI File, without the input's RIFF (RMID) wrapper\n";
    ReportLeftOut(output.Name(), leftOut);
}

std::vector<std::unique_ptr<Plugin>> LoadNamedPlugins(const std::vector<std::string>& names)
{
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (const std::string& name : names)
        plugins.push_back(LoadNamedPlugin(name));
    return plugins;
}

// Every plug-in that loads on standard output; each file that does not, and each
// add-on whose name another has taken, one line on standard error.
void RunList()
{
    const PluginScan scan = LoadEveryPlugin();
    if (scan.plugins.empty())
        std::cout << "No plug-ins found.\n";
    for (const FoundPlugin& found : scan.plugins) {
        const UxFilterAddOn* addOn = found.plugin->AddOn();
        int32 major = 0;
        int32 minor = 0;
        addOn->GetVersion(&major, &minor);
        std::cout << addOn->Name() << "\t" << major << "." << minor << "\t" << found.plugin->Path()
                  << "\n"
                  << "\t" << addOn->ShortDescription() << "\n";
    }
    for (const FoundPlugin& found : scan.plugins)
        if (!found.shadowed.empty())
            std::cerr << "uxhost: " << DuplicateLine(found) << "\n";
    for (const std::string& failure : scan.failures)
        std::cerr << "uxhost: " << failure << "\n";
}

void RunApply(const std::vector<std::string>& filterNames, const std::string& inputPath,
              const std::string& outputPath, const std::string& channelList)
{
    const ChannelMask channels = ParseChannelList(channelList);
    OutputFile output(outputPath, {inputPath});
    const std::vector<uint8_t> input = ReadMidiFile(inputPath);
    const std::vector<std::unique_ptr<Plugin>> plugins = LoadNamedPlugins(filterNames);
    std::vector<const Plugin*> pipeline;
    for (const auto& plugin : plugins)
        pipeline.push_back(plugin.get());
    ApplyAndWrite(input, pipeline, output, channels);
}

// For each plug-in: what it does to one note, then the built-in phrase through it
// into demo-<file name>.mid in the current folder, drawn into demo-<file name>.png
// and played into demo-<file name>.wav.
void RunDemo(std::vector<std::string> names)
{
    if (names.empty())
        names = FindPluginFiles();
    if (names.empty())
        throw PluginError("no plug-ins found; name one or set UX_ADDON_PATH");
    const std::string soundFont = FindSoundFont("");
    const std::vector<uint8_t> phrase = WriteSmf(DemoPhrase());
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0)
            std::cout << "\n";
        const std::unique_ptr<Plugin> plugin = LoadNamedPlugin(names[i]);
        Demonstrate(std::cout, *plugin);
        const std::string output =
            "demo-" + std::filesystem::path(plugin->Path()).stem().string();
        OutputFile midi(output + ".mid");
        OutputFile roll(output + ".png");
        OutputFile wav(output + ".wav");
        const ChannelMask channels = ParseChannelList(kDemoChannels);
        ApplyAndWrite(phrase, {plugin.get()}, midi, channels);
        const Song song = MakeSong("the demo phrase", phrase, {plugin.get()}, channels);
        WriteRoll(song, RollView(), roll);
        WriteSongWav(song, soundFont, wav);
        std::cout << "The demo phrase through it, its drums on channel 10 left alone (--channels "
                  << kDemoChannels << "): " << output << ".mid, .png and .wav\n";
    }
}

bool IsCommand(const CLI::App& app, const std::string& word)
{
    for (const CLI::App* command : app.get_subcommands({}))
        if (command->get_name() == word)
            return true;
    return false;
}

// The commands in the order they were registered: "list, info, ...".
std::string CommandNames(const CLI::App& app)
{
    std::string names;
    for (const CLI::App* command : app.get_subcommands({}))
        names += (names.empty() ? "" : ", ") + command->get_name();
    return names;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"uxhost: loads filter plug-ins and runs MIDI events through them"};
    app.require_subcommand(1);
    // Bad usage, like every bad input, gets one line.
    app.failure_message([](const CLI::App*, const CLI::Error& error) {
        return std::string("uxhost: ") + error.what() + " (see --help)\n";
    });

    CLI::App* list = app.add_subcommand("list", "List every plug-in found: name, version, file, description");

    std::string infoName;
    CLI::App* info = app.add_subcommand("info", "Show one plug-in's add-on values");
    info->add_option("plugin", infoName, "Plug-in path, name or file name")->required();

    std::vector<std::string> applyFilters;
    std::string applyInput;
    std::string applyOutput;
    CLI::App* apply = app.add_subcommand("apply", "Run a MIDI file through a pipeline of filters");
    apply->add_option("-f,--filter", applyFilters, "A filter (path, name or file name); repeat for a pipeline")
        ->required()
        ->allow_extra_args(false);
    apply->add_option("input", applyInput, "The Standard MIDI File to read (- for standard input)")->required();
    apply->add_option("-o,--output", applyOutput, "The MIDI file to write (- for standard output)")->required();
    std::string applyChannels = "1-16";
    apply->add_option("--channels", applyChannels,
                      "The channels whose notes go through the filters, e.g. 1-9,11-16 (default: all); "
                      "notes on the others pass through untouched")
        ->check(CLI::Validator(
            [](const std::string& list) {
                try {
                    ParseChannelList(list);
                    return std::string();
                } catch (const std::invalid_argument& error) {
                    return std::string(error.what());
                }
            },
            "LIST"));

    IconOptions iconOptions;
    CLI::App* icon = AddIconCommand(app, iconOptions);

    std::vector<std::string> demoNames;
    CLI::App* demo = app.add_subcommand(
        "demo", "Run a demo note through each plug-in, and a demo phrase into demo-<file name>.mid, .png and .wav");
    demo->add_option("plugins", demoNames, "Plug-ins to show (default: every one found)");

    RollOptions rollOptions;
    CLI::App* roll = AddRollCommand(app, rollOptions);
    RenderOptions renderOptions;
    CLI::App* render = AddRenderCommand(app, renderOptions);
    Lv2BundleOptions bundleOptions;
    CLI::App* bundle = AddLv2BundleCommand(app, bundleOptions);
    CheckOptions checkOptions;
    CLI::App* check = AddCheckCommand(app, checkOptions);

    // A mistyped command gets the list of commands, whatever commands there are.
    if (argc < 2 || (argv[1][0] != '-' && !IsCommand(app, argv[1]))) {
        const std::string problem =
            argc < 2 ? "no command given" : "no command '" + std::string(argv[1]) + "'";
        std::cerr << "uxhost: " << problem << "; the commands are " << CommandNames(app) << "\n";
        return kBadInput;
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? kSuccess : kBadInput;
    }

    try {
        if (*list)
            RunList();
        else if (*info)
            PrintAddOn(std::cout, *LoadNamedPlugin(infoName));
        else if (*apply)
            RunApply(applyFilters, applyInput, applyOutput, applyChannels);
        else if (*icon)
            RunIconCommand(iconOptions);
        else if (*roll)
            RunRollCommand(rollOptions);
        else if (*render)
            RunRenderCommand(renderOptions);
        else if (*bundle)
            RunLv2BundleCommand(bundleOptions);
        else if (*demo)
            RunDemo(demoNames);
        else if (*check)
            return RunCheckCommand(checkOptions);
    } catch (const PluginError& error) {
        std::cerr << "uxhost: " << error.what() << "\n";
        return kBadInput;
    } catch (const FileError& error) {
        std::cerr << "uxhost: " << error.what() << "\n";
        return kBadInput;
    } catch (const std::exception& error) {
        std::cerr << "uxhost: internal failure: " << error.what() << "\n";
        return kInternalFailure;
    }
    return kSuccess;
}
