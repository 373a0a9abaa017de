// The commands that draw and play: roll, render and demo. uxhost declares their
// options and parses them; the code that runs them, with cairo and FluidSynth, lies
// in a module of its own (uxhost-media.so) that uxhost loads only when one of them
// runs, so that every other command starts without those libraries and theirs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "PipelineOptions.h"

namespace CLI {
class App;
}

// What part of a song a roll shows, and how large. Zero picks a size from the
// song: about 160 pixels a bar and 12 a key, within bounds.
struct RollView {
    int width = 0;
    int height = 0;
    int fromBar = 1;  // counted from 1
    int toBar = 0;    // the last bar shown; 0: the song's last bar
};

// uxhost roll SONG.mid [-f FILTER...] [--channels LIST] [--clock SECOND] -o FILE.png
struct RollOptions {
    std::string input;
    PipelineOptions pipeline;
    std::string output;
    RollView view;
};

// Where the General MIDI SoundFont of the system's synthesizer package lives.
constexpr const char* kDefaultSoundFont = "/usr/share/sounds/sf2/default-GM.sf2";

// How a render is written: its sample rate, and its level. By default the whole
// render is scaled once so that its loudest sample sits at -1 dBFS; a fixed gain
// instead scales the synthesizer's own output by `gainDb`, held below full scale
// by a limiter.
struct RenderSound {
    static constexpr int kDefaultRate = 44100;
    static constexpr int kLowestRate = 22050;
    static constexpr int kHighestRate = 96000;
    static constexpr double kLowestGainDb = -60;
    static constexpr double kHighestGainDb = 60;
    int rate = kDefaultRate;
    bool fixedGain = false;
    double gainDb = 0;
};

// uxhost render SONG.mid [-f FILTER...] [--channels LIST] [--clock SECOND] -o FILE.wav
// [--soundfont FILE] [--gain DB] [--rate HZ]
struct RenderOptions {
    std::string input;
    PipelineOptions pipeline;
    std::string output;
    std::string soundFont;  // empty: the default
    RenderSound sound;
};

// uxhost demo [PLUGIN...] [--clock SECOND]
struct DemoOptions {
    std::vector<std::string> plugins;  // none: every one found
    PipelineOptions pipeline;
};

// Each registers its subcommand on `app`; it fills `options` when parsed.
CLI::App* AddRollCommand(CLI::App& app, RollOptions& options);
CLI::App* AddRenderCommand(CLI::App& app, RenderOptions& options);
CLI::App* AddDemoCommand(CLI::App& app, DemoOptions& options);

// What uxhost hands the module: one command and its options, and what the module
// cannot know of itself.
struct MediaRequest {
    const RollOptions* roll = nullptr;  // exactly one of the three is set
    const RenderOptions* render = nullptr;
    const DemoOptions* demo = nullptr;
    bool quiet = false;      // --quiet
    bool verbose = false;    // --verbose
    std::string hostFolder;  // uxhost's own folder, where the add-ons are found from
};

// The module's file name, and its one entry point, which runs the request and
// answers the exit code, having said what went wrong on standard error. The name
// carries the version of MediaRequest, so that a module of another uxhost is
// refused for lacking it rather than misreading the request.
constexpr const char* kMediaModule = "uxhost-media.so";
#define UX_MEDIA_ENTRY uxhost_media_run_v2
