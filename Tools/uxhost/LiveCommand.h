// uxhost live: a pipeline of filters played live on a JACK server, between a
// keyboard and a synthesizer. uxhost declares its options and parses them; the
// code that runs it, with libjack, lies in a module of its own (uxhost-live.so)
// that uxhost loads only for it, so that no other command loads libjack.
#pragma once

#include <string>

#include "PipelineOptions.h"

namespace CLI {
class App;
}

// uxhost live -f FILTER [-f FILTER...] [--channels LIST] [--clock SECOND]
// [--name CLIENT] [--connect-in PORT] [--connect-out PORT]
struct LiveOptions {
    PipelineOptions pipeline;
    std::string clientName = "uxhost";
    std::string connectIn;   // another client's MIDI output; empty: none
    std::string connectOut;  // another client's MIDI input; empty: none
};

CLI::App* AddLiveCommand(CLI::App& app, LiveOptions& options);

// Loads the module and runs the command in it; answers its exit code.
int RunLiveCommand(const LiveOptions& options, bool quiet);

// What uxhost hands the module.
struct LiveRequest {
    const LiveOptions* options = nullptr;
    bool quiet = false;      // --quiet
    std::string hostFolder;  // uxhost's own folder, where the add-ons are found from
};

// The module's file name and its one entry point, which runs the request and
// answers the exit code; the name carries the version of LiveRequest.
constexpr const char* kLiveModule = "uxhost-live.so";
#define UX_LIVE_ENTRY uxhost_live_run_v1
