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

    TrackCapture capture(leftOut);
    for (const UxEvent* event : inTimeOrder) {
        capture.Writer().AdvanceTo(event->StartTime());
        capture.Writer().Add(*event);
    }
    return capture.Finish(endTick);
}

TrackCapture::TrackCapture(LeftOut* leftOut) : mFile(&mSink, 0, 480, 1), mEvents(&mFile, leftOut)
{
    mFile.BeginTrack();
}

SmfTrack TrackCapture::Finish(int64_t endTick)
{
    mEvents.Finish();
    mFile.EndTrack(endTick);
    mFile.Finish();
    return WithoutEmptyTexts(ParseSmf(mSink.Bytes().data(), mSink.Bytes().size()).tracks.at(0));
}

SmfTrack WithoutEmptyTexts(SmfTrack track)
{
    const std::vector<uint8_t> emptyText = {kMetaStatus, kMetaText};
    std::vector<SmfEvent>& events = track.events;
    events.erase(
        std::remove_if(events.begin(), events.end(), [&](const SmfEvent& event) { return event.bytes == emptyText; }),
        events.end());
    return track;
}
