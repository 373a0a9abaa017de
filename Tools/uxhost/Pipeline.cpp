#include "Pipeline.h"

FilterPipeline::FilterPipeline(const std::vector<const Plugin*>& plugins)
{
    for (const Plugin* plugin : plugins) {
        mFilters.emplace_back(plugin->AddOn()->NewInstance(&mHolder, nullptr));
        if (!mFilters.back())
            throw PluginError(plugin->Path() + ": the add-on made no filter");
    }
}

EventList FilterPipeline::Run(EventList events)
{
    EventList out;
    out.reserve(events.size());
    for (UxChainPtr& event : events)
        Feed(0, std::move(event), &out);
    return out;
}

// The host owns whatever a filter answers with: the chain is taken apart here, and
// each of its events handed on alone.
void FilterPipeline::Feed(size_t stage, UxChainPtr event, EventList* out)
{
    if (stage == mFilters.size()) {
        out->push_back(std::move(event));
        return;
    }
    UxChainPtr chain(mFilters[stage]->HandleEvent(event.release(), &mParams));
    while (chain) {
        UxChainPtr rest(chain->UnlinkNext());
        Feed(stage + 1, std::move(chain), out);
        chain = std::move(rest);
    }
}

SmfFile ApplyFilters(const SmfFile& file, const std::vector<const Plugin*>& plugins, LeftOut* leftOut)
{
    SmfFile result;
    result.format = file.format;
    result.division = file.division;
    for (const SmfTrack& track : file.tracks) {
        FilterPipeline pipeline(plugins);
        EventList events = pipeline.Run(TrackToEvents(track));
        result.tracks.push_back(EventsToTrack(events, track.endTick, leftOut));
    }
    return result;
}
