#include "Pipeline.h"

#include <memory>
#include <stdexcept>

#include <TrackReader.h>

#include "HandOver.h"

namespace {

constexpr int kChannels = 16;

// A channel number of a list, 1 to 16.
int ChannelNumber(const std::string& text, const std::string& list)
{
    const bool digits = !text.empty() && text.size() <= 2 && text.find_first_not_of("0123456789") == std::string::npos;
    const int number = digits ? std::stoi(text) : 0;
    if (number < 1 || number > kChannels)
        throw std::invalid_argument("\"" + list + "\": \"" + text + "\" is no channel; channels are 1 to 16");
    return number;
}

}  // namespace

ChannelMask ParseChannelList(const std::string& list)
{
    ChannelMask channels = 0;
    size_t begin = 0;
    for (;;) {
        const size_t comma = list.find(',', begin);
        const std::string item = list.substr(begin, comma == std::string::npos ? comma : comma - begin);
        const size_t dash = item.find('-');
        const int first = ChannelNumber(item.substr(0, dash), list);
        const int last = dash == std::string::npos ? first : ChannelNumber(item.substr(dash + 1), list);
        if (last < first)
            throw std::invalid_argument("\"" + list + "\": the range " + item + " runs backwards");
        for (int channel = first; channel <= last; ++channel)
            channels |= ChannelMask(1u << (channel - 1));
        if (comma == std::string::npos)
            return channels;
        begin = comma + 1;
    }
}

FilterPipeline::FilterPipeline(const std::vector<const Plugin*>& plugins, ChannelMask channels, uint32_t track)
    : mPlugins(plugins),
      mChannels(channels),
      mTrack(track)
{
    for (const Plugin* plugin : plugins)
        mFilters.push_back(plugin->NewFilter(&mHolder));
}

void FilterPipeline::Run(UxChainPtr event, TrackEventWriter* out)
{
    const uint8 channel = event->Channel();
    const bool filtered = channel < kChannels && (mChannels >> channel & 1);
    if (!filtered && dynamic_cast<const UxNoteOn*>(event.get())) {
        out->Add(*event, NoteOrigin::kPlayed);
        return;
    }
    Feed(0, std::move(event), NoteOrigin::kPlayed, out);
}

// The host owns whatever a filter answers with: the chain is taken apart here, and
// each of its events handed on alone. When the filter throws, the event handed in
// is released with whatever was appended to it: the filter was to hand it back,
// so it was never the filter's to free. Writing as it goes relies on no event of a
// chain starting before the event it answers; one before tick 0 is left out later
// anyway.
void FilterPipeline::Feed(size_t stage, UxChainPtr event, NoteOrigin origin, TrackEventWriter* out)
{
    if (stage == mFilters.size()) {
        out->Add(*event, origin);
        return;
    }
    const UxTime given = event->StartTime();
    UxChainPtr chain;
    {
        const HandingOver handing(mPlugins[stage]->Path().c_str(), mTrack, *event);
        try {
            chain.reset(mFilters[stage]->HandleEvent(event.get(), &mParams));
            event.release();  // the chain's now
        } catch (const std::exception& error) {
            throw PluginError(mPlugins[stage]->Path() + ": the filter threw an exception " + handing.Place() + ": "
                              + error.what());
        } catch (...) {
            throw PluginError(mPlugins[stage]->Path() + ": the filter threw an exception " + handing.Place());
        }
    }
    for (const UxEvent* answer = chain.get(); answer; answer = answer->NextEvent())
        if (answer->StartTime() < given && answer->StartTime() >= 0)
            throw PluginError(mPlugins[stage]->Path() + ": the filter answered an event at tick "
                              + std::to_string(given) + " with one at tick " + std::to_string(answer->StartTime())
                              + ", before it");
    if (stage + 1 == mFilters.size()) {
        // The last filter's answer goes to the writer as it stands and is released
        // whole.
        out->AddChain(chain.get(), origin);
        return;
    }
    while (chain) {
        UxChainPtr rest(chain->UnlinkNext());
        Feed(stage + 1, std::move(chain), origin, out);
        origin = NoteOrigin::kMade;  // whatever follows the head
        chain = std::move(rest);
    }
}

SmfRead ApplyFilters(const std::vector<uint8_t>& bytes, const std::vector<const Plugin*>& plugins, SmfSink* out,
                     LeftOut* leftOut, ChannelMask channels, const NoteObserver* written,
                     const std::function<void(uint64_t done, uint64_t total)>& progress)
{
    CatchFilterCrashes();
    SmfReader reader(bytes.data(), bytes.size());
    // Every filter is made before anything is written.
    std::vector<std::unique_ptr<FilterPipeline>> pipelines;
    for (size_t i = 0; i < reader.TrackCount(); ++i)
        pipelines.push_back(std::make_unique<FilterPipeline>(plugins, channels, static_cast<uint32_t>(i)));

    SmfWriter writer(out, reader.Format(), reader.Division(), reader.TrackCount());
    SmfEvent message;
    size_t messagesRead = 0;
    size_t toldAt = 0;  // where progress was last told
    TrackEventReader notes;
    uint32_t trackIndex = 0;
    for (const auto& pipeline : pipelines) {
        SmfTrackReader track = reader.NextTrack();
        writer.BeginTrack();
        TrackEventWriter events(&writer, leftOut);
        events.TellNotes(written, trackIndex++);
        const auto runReady = [&] {
            while (UxChainPtr event = notes.Take()) {
                events.AdvanceTo(event->StartTime());
                pipeline->Run(std::move(event), &events);
            }
        };
        while (track.Next(&message)) {
            notes.Add(message);
            runReady();
            ++messagesRead;
            // Told at most a thousand times, as a progress line shows no finer.
            if (track.Position() >= toldAt + bytes.size() / 1000 && progress) {
                toldAt = track.Position();
                progress(toldAt, bytes.size());
            }
        }
        notes.Finish(track.EndTick());
        runReady();
        events.Finish();
        writer.EndTrack(track.EndTick());
    }
    writer.Finish();
    return SmfRead(reader, messagesRead);
}
