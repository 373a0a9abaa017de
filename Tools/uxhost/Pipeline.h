// Running MIDI through a pipeline of filters, the way a track's pipeline runs in
// the host: one filter instance per plug-in and track, one event at a time.
#pragma once

#include <vector>

#include <Smf.h>
#include <TrackEvents.h>

#include "PluginLoader.h"

// The host's holder of a filter: the host keeps nothing else about its place.
class PipelineHolder : public UxFilterHolderI {};

// One filter of each plug-in, in order. The plug-ins must outlive the pipeline.
class FilterPipeline {
public:
    explicit FilterPipeline(const std::vector<const Plugin*>& plugins);

    // Hands each event to the first filter; each event of the chain it answers with
    // goes on its own to the next filter, and so on. Returns what the last filter
    // answered, chain by chain in the order the events came.
    EventList Run(EventList events);

private:
    void Feed(size_t stage, UxChainPtr event, EventList* out);

    PipelineHolder mHolder;
    ux_filter_params mParams;
    std::vector<FilterPtr> mFilters;
};

// Every track of `file` through a pipeline of its own. What MIDI cannot carry of the
// result is left out and counted in `leftOut`.
SmfFile ApplyFilters(const SmfFile& file, const std::vector<const Plugin*>& plugins, LeftOut* leftOut);
