#include "Pipeline.h"

#include <memory>

FilterPipeline::FilterPipeline(const std::vector<const Plugin*>& plugins) : mPlugins(plugins)
{
    for (const Plugin* plugin : plugins) {
        mFilters.emplace_back(plugin->AddOn()->NewInstance(&mHolder, nullptr));
        if (!mFilters.back())
            throw PluginError(plugin->Path() + ": the add-on made no filter");
    }
}

void FilterPipeline::Run(UxChainPtr event, const Output& out)
{
    Feed(0, std::move(event), out);
}

// The host owns whatever a filter answers with: the chain is taken apart here, and
// each of its events handed on alone. Writing as it goes relies on no event of a
// chain starting before the event it answers; one before tick 0 is left out later
// anyway.
void FilterPipeline::Feed(size_t stage, UxChainPtr event, const Output& out)
{
    if (stage == mFilters.size()) {
        out(std::move(event));
        return;
    }
    const UxTime given = event->StartTime();
    UxChainPtr chain(mFilters[stage]->HandleEvent(event.release(), &mParams));
    while (chain) {
        UxChainPtr rest(chain->UnlinkNext());
        if (chain->StartTime() < given && chain->StartTime() >= 0)
            throw PluginError(mPlugins[stage]->Path() + ": the filter answered an event at tick "
                              + std::to_string(given) + " with one at tick "
                              + std::to_string(chain->StartTime()) + ", before it");
        Feed(stage + 1, std::move(chain), out);
        chain = std::move(rest);
    }
}

void ApplyFilters(const std::vector<uint8_t>& bytes, const std::vector<const Plugin*>& plugins,
                  SmfSink* out, LeftOut* leftOut)
{
    SmfReader reader(bytes.data(), bytes.size());
    // Every filter is made before anything is written.
    std::vector<std::unique_ptr<FilterPipeline>> pipelines;
    for (size_t i = 0; i < reader.TrackCount(); ++i)
        pipelines.push_back(std::make_unique<FilterPipeline>(plugins));

    SmfWriter writer(out, reader.Format(), reader.Division(), reader.TrackCount());
    SmfEvent message;
    for (const auto& pipeline : pipelines) {
        SmfTrackReader track = reader.NextTrack();
        writer.BeginTrack();
        TrackEventWriter events(
            [&writer](int64_t tick, const uint8_t* data, size_t size) { writer.Put(tick, data, size); },
            leftOut);
        const FilterPipeline::Output toWriter = [&events](UxChainPtr event) { events.Add(*event); };
        TrackEventReader notes;
        const auto runReady = [&] {
            while (UxChainPtr event = notes.Take()) {
                events.AdvanceTo(event->StartTime());
                pipeline->Run(std::move(event), toWriter);
            }
        };
        while (track.Next(&message)) {
            notes.Add(message);
            runReady();
        }
        notes.Finish(track.EndTick());
        runReady();
        events.Finish();
        writer.EndTrack(track.EndTick());
    }
    writer.Finish();
}
