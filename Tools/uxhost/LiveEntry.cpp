// The entry point of uxhost-live.so, the module that runs `uxhost live` for uxhost
// (LiveCommand.h), and the command itself. The entry point is the only symbol the
// module exports.
//
// The main thread opens the client, connects what it was asked to, says so, then
// waits for an ending signal, saying at most once a second what the cycles
// dropped and what a filter's exception said. The signals are blocked in every
// thread, JACK's included, and taken by the main thread alone (sigtimedwait).
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ExitCode.h"
#include "JackLive.h"
#include "LiveCommand.h"
#include "PipelineOptions.h"
#include "PluginFinder.h"
#include "Report.h"

extern "C" __attribute__((visibility("default"))) int UX_LIVE_ENTRY(const LiveRequest* request);

namespace {

constexpr const char* kSpeaker = "uxhost live: ";
constexpr auto kWaitStep = std::chrono::milliseconds(100);
constexpr auto kReportEvery = std::chrono::seconds(1);
// How long the last cycles may take to send the note-offs before the client closes.
constexpr auto kEndingGrace = std::chrono::seconds(2);

// Blocks the ending signals in this thread and in every thread it starts from now,
// until it goes.
class BlockedSignals {
public:
    BlockedSignals()
    {
        sigemptyset(&mSet);
        for (const int signal : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&mSet, signal);
        pthread_sigmask(SIG_BLOCK, &mSet, &mBefore);
    }
    ~BlockedSignals() { pthread_sigmask(SIG_SETMASK, &mBefore, nullptr); }

    // True when an ending signal came within `wait`.
    bool Came(std::chrono::milliseconds wait) const
    {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(wait);
        const timespec timeout{static_cast<time_t>(seconds.count()),
                               static_cast<long>((wait - seconds).count() * 1000000)};
        return sigtimedwait(&mSet, nullptr, &timeout) > 0;
    }

private:
    sigset_t mSet;
    sigset_t mBefore;
};

// One filter of each plug-in, in order; null from an add-on is refused.
std::vector<std::unique_ptr<UxFilterI>> MakeFilters(const LoadedPipeline& pipeline, UxFilterHolderI* holder)
{
    std::vector<std::unique_ptr<UxFilterI>> filters;
    for (const Plugin* plugin : pipeline.Plugins())
        filters.push_back(plugin->NewFilter(holder));
    return filters;
}

// The notes and messages dropped since `said`, one sentence a kind; `said` takes
// their counts (the chains are the fault's, ReportFault).
void ReportDrops(const LiveDrops& now, LiveDrops* said)
{
    if (now.notes != said->notes)
        std::cerr << kSpeaker << now.notes - said->notes
                  << " notes of the filters' chains dropped: more were waiting than the queue holds\n";
    if (now.messages != said->messages)
        std::cerr << kSpeaker << now.messages - said->messages
                  << " MIDI messages dropped: the output port could not take them\n";
    said->notes = now.notes;
    said->messages = now.messages;
}

void ReportFault(JackLive& jack, LiveDrops* said)
{
    std::string what;
    if (!jack.TakeFault(&what))
        return;
    // A fault posted again after its chains were counted with an earlier one says
    // nothing new.
    const uint64_t chains = jack.Dropped().chains;
    if (chains == said->chains)
        return;
    std::cerr << kSpeaker << "a filter threw an exception (" << what << "); " << chains - said->chains
              << " notes played without their chains\n";
    said->chains = chains;
}

// "opened uxhost:midi_in and uxhost:midi_out; connected a:out to uxhost:midi_in"
std::string OpenedLine(const JackLive& jack, const LiveOptions& options)
{
    std::string line = "opened " + jack.InputName() + " and " + jack.OutputName();
    std::string connected;
    if (!options.connectIn.empty())
        connected = options.connectIn + " to " + jack.InputName();
    if (!options.connectOut.empty())
        connected += (connected.empty() ? "" : ", ") + jack.OutputName() + " to " + options.connectOut;
    line += connected.empty() ? "; connected nothing (see jack_connect)" : "; connected " + connected;
    return line + "; Ctrl-C ends";
}

int RunLive(const LiveOptions& options)
{
    const BlockedSignals signals;
    const LoadedPipeline pipeline(options.pipeline);
    UxFilterHolderI holder;
    auto live = std::make_unique<LiveFilter>(MakeFilters(pipeline, &holder));
    live->SetChannels(pipeline.Channels());
    std::unique_ptr<JackLive> jack;
    const char* option = "";  // the option of the step under way, which a refusal names
    try {
        jack = std::make_unique<JackLive>(options.clientName, std::move(live));
        jack->Activate();
        option = "--connect-in: ";
        if (!options.connectIn.empty())
            jack->ConnectInput(options.connectIn);
        option = "--connect-out: ";
        if (!options.connectOut.empty())
            jack->ConnectOutput(options.connectOut);
    } catch (const JackError& error) {
        // Bad input (no server, no such port) is said in one line, as uxhost says it.
        std::cerr << kSpeaker << option << error.what() << "\n";
        return error.WhatKind() == JackError::kFailed ? kInternalFailure : kBadInput;
    }
    if (!Quiet())
        std::cerr << kSpeaker << OpenedLine(*jack, options) << "\n";

    LiveDrops said;
    auto lastReport = std::chrono::steady_clock::now();
    while (!signals.Came(kWaitStep)) {
        if (jack->ServerGone()) {
            std::cerr << kSpeaker << "the JACK server \"" << DefaultJackServer() << "\" shut down\n";
            return kInternalFailure;
        }
        if (std::chrono::steady_clock::now() - lastReport >= kReportEvery) {
            ReportDrops(jack->Dropped(), &said);
            ReportFault(*jack, &said);
            lastReport = std::chrono::steady_clock::now();
        }
    }
    jack->End();
    const auto giveUp = std::chrono::steady_clock::now() + kEndingGrace;
    while (!jack->Ended() && !jack->ServerGone() && std::chrono::steady_clock::now() < giveUp)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ReportDrops(jack->Dropped(), &said);
    ReportFault(*jack, &said);
    return kSuccess;
}

}  // namespace

int UX_LIVE_ENTRY(const LiveRequest* request)
{
    // The module has its own copy of uxhost's code: what uxhost set, it sets again.
    SetQuiet(request->quiet);
    FindAddOnsFrom(request->hostFolder);
    return ExitCodeOf([request] { return RunLive(*request->options); });
}
