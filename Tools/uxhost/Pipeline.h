// Running MIDI through a pipeline of filters, the way a track's pipeline runs in
// the host: one filter instance per plug-in and track, one event at a time.
#pragma once

#include <functional>
#include <vector>

#include <Smf.h>
#include <TrackEvents.h>

#include "PluginLoader.h"

// The host's holder of a filter: the host keeps nothing else about its place.
class PipelineHolder : public UxFilterHolderI {};

// One filter of each plug-in, in order. The plug-ins must outlive the pipeline.
class FilterPipeline {
public:
    using Output = std::function<void(UxChainPtr event)>;

    explicit FilterPipeline(const std::vector<const Plugin*>& plugins);

    // Hands the event to the first filter; each event of the chain it answers with
    // goes on its own to the next filter, and so on. `out` gets each event the last
    // filter answers with, chain by chain. Throws PluginError when a filter answers
    // with an event that starts before the one it was given.
    void Run(UxChainPtr event, const Output& out);

private:
    void Feed(size_t stage, UxChainPtr event, const Output& out);

    PipelineHolder mHolder;
    ux_filter_params mParams;
    std::vector<const Plugin*> mPlugins;
    std::vector<FilterPtr> mFilters;
};

// Every track of the file in `bytes` through a pipeline of its own, written to `out`
// as it goes: the events of a track go through in time order, and each message is
// written as soon as nothing still to come can come before it. What MIDI cannot
// carry of the result is left out and counted in `leftOut`. Throws SmfError for a
// file ParseSmf refuses or a result a file cannot hold.
void ApplyFilters(const std::vector<uint8_t>& bytes, const std::vector<const Plugin*>& plugins,
                  SmfSink* out, LeftOut* leftOut);
