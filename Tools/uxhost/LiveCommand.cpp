#include "LiveCommand.h"

#include <CLI/CLI.hpp>

#include "MediaModule.h"

CLI::App* AddLiveCommand(CLI::App& app, LiveOptions& options)
{
    CLI::App* live =
        app.add_subcommand("live", "Play MIDI live through a pipeline of filters as a JACK client, until Ctrl-C");
    AddPipelineOptions(live, options.pipeline, true);
    live->add_option("--name", options.clientName, "The JACK client's name")->capture_default_str();
    live->add_option("--connect-in", options.connectIn,
                     "A MIDI output port to connect to midi_in, e.g. a keyboard's (see jack_lsp)");
    live->add_option("--connect-out", options.connectOut,
                     "A MIDI input port to connect midi_out to, e.g. a synthesizer's");
    return live;
}

int RunLiveCommand(const LiveOptions& options, bool quiet)
{
    LiveRequest request;
    request.options = &options;
    request.quiet = quiet;
    return RunInKitModule(kLiveModule, UX_ENTRY_NAME(UX_LIVE_ENTRY), "plays live on JACK", request);
}
