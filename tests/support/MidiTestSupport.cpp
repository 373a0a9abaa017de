#include "MidiTestSupport.h"

#include <algorithm>
#include <utility>

SmfFile ParseSmf(const uint8_t* data, size_t size)
{
    SmfReader reader(data, size);
    SmfFile file;
    file.format = reader.Format();
    file.division = reader.Division();
    for (size_t i = 0; i < reader.TrackCount(); ++i) {
        SmfTrackReader trackReader = reader.NextTrack();
        SmfTrack track;
        SmfEvent event;
        while (trackReader.Next(&event))
            track.events.push_back(event);
        track.endTick = trackReader.EndTick();
        file.tracks.push_back(std::move(track));
    }
    return file;
}

EventList TrackToEvents(const SmfTrack& track)
{
    EventList events;
    TrackEventReader reader;
    for (const SmfEvent& message : track.events) {
        reader.Add(message);
        while (UxChainPtr event = reader.Take())
            events.push_back(std::move(event));
    }
    reader.Finish(track.endTick);
    while (UxChainPtr event = reader.Take())
        events.push_back(std::move(event));
    return events;
}

SmfTrack EventsToTrack(const EventList& events, int64_t endTick, LeftOut* leftOut)
{
    std::vector<const UxEvent*> inTimeOrder;
    inTimeOrder.reserve(events.size());
    for (const UxChainPtr& event : events)
        inTimeOrder.push_back(event.get());
    std::stable_sort(inTimeOrder.begin(), inTimeOrder.end(),
                     [](const UxEvent* a, const UxEvent* b) { return a->StartTime() < b->StartTime(); });

    SmfTrack track;
    TrackEventWriter writer(
        [&track](int64_t tick, const uint8_t* bytes, size_t size) {
            track.events.push_back({tick, std::vector<uint8_t>(bytes, bytes + size)});
        },
        leftOut);
    for (const UxEvent* event : inTimeOrder) {
        writer.AdvanceTo(event->StartTime());
        writer.Add(*event);
    }
    writer.Finish();
    track.endTick = std::max<int64_t>(endTick, track.events.empty() ? 0 : track.events.back().tick);
    return track;
}
