#include "MediaCommands.h"

#include <CLI/CLI.hpp>

#include <cstdlib>

#include "OptionChecks.h"
#include "SongTiming.h"

namespace {

// The demo's drums play on channel 10, and its filters leave them alone.
constexpr const char* kDemoChannels = "1-9,11-16";

}  // namespace

CLI::App* AddRollCommand(CLI::App& app, RollOptions& options)
{
    CLI::App* roll = app.add_subcommand("roll", "Draw a MIDI file as a piano roll, as a PNG file");
    roll->add_option("input", options.input, "The Standard MIDI File to draw")->required();
    AddPipelineOptions(roll, options.pipeline);
    roll->add_option("-o,--output", options.output, "The PNG file to write")->required();
    WholeNumberFrom(roll->add_option("--width", options.view.width,
                                     "The picture's width in pixels (default: from the length, 160 a bar up "
                                     "to 3200, at least 60 a bar up to 6000)"),
                    200, 10000);
    WholeNumberFrom(
        roll->add_option("--height", options.view.height, "The picture's height in pixels (default: from the keys)"),
        120, 4000);
    WholeNumberFrom(
        roll->add_option("--from", options.view.fromBar, "The first bar shown, counted from 1")->capture_default_str(),
        1, kMaxBars);
    WholeNumberFrom(roll->add_option("--to", options.view.toBar, "The last bar shown (default: the song's last)"), 1,
                    kMaxBars);
    roll->callback([&options] {
        if (options.view.toBar != 0 && options.view.toBar < options.view.fromBar)
            throw UsageError("--to: the last bar comes before the first");
    });
    return roll;
}

CLI::App* AddRenderCommand(CLI::App& app, RenderOptions& options)
{
    CLI::App* render = app.add_subcommand("render", "Play a MIDI file through a synthesizer into a WAV file");
    render->add_option("input", options.input, "The Standard MIDI File to play")->required();
    AddPipelineOptions(render, options.pipeline);
    render->add_option("-o,--output", options.output, "The WAV file to write")->required();
    render->add_option("--soundfont", options.soundFont,
                       std::string("The SoundFont to play with (default: ") + kDefaultSoundFont + ")");
    CLI::Option* gain = render->add_option("--gain", options.sound.gainDb,
                                           "A fixed gain in dB on the synthesizer's output (default: the "
                                           "loudest sample at -1 dBFS)");
    CheckValue(
        gain,
        [](const std::string& value) -> std::string {
            char* end = nullptr;
            const double db = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0')
                return "\"" + value + "\" is not a number";
            if (db >= RenderSound::kLowestGainDb && db <= RenderSound::kHighestGainDb)
                return {};
            return "\"" + value + "\": give a gain in dB from -60 to 60";
        },
        "DB");
    WholeNumberFrom(render->add_option("--rate", options.sound.rate, "The sample rate in Hz (default: 44100)"),
                    RenderSound::kLowestRate, RenderSound::kHighestRate);
    render->callback([&options, gain] { options.sound.fixedGain = gain->count() > 0; });
    return render;
}

CLI::App* AddDemoCommand(CLI::App& app, DemoOptions& options)
{
    CLI::App* demo = app.add_subcommand(
        "demo", "Run a demo note through each plug-in, and a demo phrase into demo-<file name>.mid, .png and .wav");
    demo->add_option("plugins", options.plugins, "Plug-ins to show (default: every one found)");
    options.pipeline.channels = kDemoChannels;
    AddClockOption(demo, options.pipeline);
    return demo;
}
