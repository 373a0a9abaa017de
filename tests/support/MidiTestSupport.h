// Standard MIDI Files and tracks held whole in memory, for the tests and the fuzz
// targets: a file parsed into its tracks, and a track as host events and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <Smf.h>
#include <TrackReader.h>
#include <TrackWriter.h>

// Throws SmfReadError for anything but a well-formed file of format 0, 1 or 2,
// whole or cut short inside a track.
SmfFile ParseSmf(const uint8_t* data, size_t size);

// Host events, each on its own (unlinked) and owned by the list.
using EventList = std::vector<UxChainPtr>;

// The track's events in file order, as TrackEventReader hands them out.
EventList TrackToEvents(const SmfTrack& track);

// A TrackEventWriter writing the one track of a file in memory, and that track
// read back from the file's bytes.
class TrackCapture {
public:
    explicit TrackCapture(LeftOut* leftOut);
    TrackEventWriter& Writer() { return mEvents; }
    // Finishes the writer and the file and reads the track back, without the empty
    // text events that bridge gaps too long for one delta time: its end where the
    // last event or `endTick` is, whichever is later.
    SmfTrack Finish(int64_t endTick = 0);

private:
    SmfMemorySink mSink;
    SmfWriter mFile;
    TrackEventWriter mEvents;
};

// The track without the empty text events a writer bridges long gaps with.
SmfTrack WithoutEmptyTexts(SmfTrack track);

// The events, all of them played notes, as a track, in time order, as
// TrackEventWriter writes them, its end where the last event or `endTick` is,
// whichever is later.
SmfTrack EventsToTrack(const EventList& events, int64_t endTick, LeftOut* leftOut);
