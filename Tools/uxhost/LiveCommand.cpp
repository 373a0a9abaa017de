#include "LiveCommand.h"

#include <CLI/CLI.hpp>

#include "ExitCode.h"
#include "MediaModule.h"
#include "PluginLoader.h"

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
    const auto entry =
        reinterpret_cast<LiveEntry>(LoadKitModuleEntry(kLiveModule, kLiveEntryName, "plays live on JACK"));
    if (!entry)
        return kInternalFailure;
    LiveRequest request;
    request.options = &options;
    request.quiet = quiet;
    request.hostFolder = OwnFolder();
    return entry(&request);
}
