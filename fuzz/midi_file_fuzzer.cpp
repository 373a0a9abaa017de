// The MIDI file reader on any bytes, and each track it reads as host events and
// back. A file it reads writes back to bytes that read as the same file.
#include <algorithm>

#include <Smf.h>
#include <MidiTestSupport.h>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    SmfFile file;
    try {
        file = ParseSmf(data, size);
    } catch (const SmfError&) {
        return 0;
    }
    // The way through the host with no filter, some notes taken as made (by the
    // parity of pitch and velocity): events and back to a file that can be written
    // and read again.
    SmfFile throughHost = file;
    for (SmfTrack& track : throughHost.tracks) {
        const EventList events = TrackToEvents(track);
        LeftOut leftOut;
        TrackCapture written(&leftOut);
        for (const UxChainPtr& event : events) {
            FUZZ_CHECK(event && !event->NextEvent());
            const auto* note = dynamic_cast<const UxNoteOn*>(event.get());
            const bool made = note && ((note->Note() ^ note->Velocity()) & 1);
            written.Writer().AdvanceTo(event->StartTime());
            written.Writer().Add(*event, made ? NoteOrigin::kMade : NoteOrigin::kPlayed);
        }
        track = written.Finish(track.endTick);
        const size_t leftOutAll = size_t(leftOut.CannotCarry()) + leftOut.madeLeftOut + leftOut.playedLeftOut;
        FUZZ_CHECK(leftOutAll <= events.size());
    }
    const std::vector<uint8_t> rewritten = WriteSmf(throughHost);
    SmfFile reread = ParseSmf(rewritten.data(), rewritten.size());
    // The writer bridges a gap too long for one delta time with empty text events.
    FUZZ_CHECK(reread.tracks.size() == throughHost.tracks.size());
    for (size_t i = 0; i < reread.tracks.size(); ++i)
        FUZZ_CHECK(WithoutEmptyTexts(reread.tracks[i]) == WithoutEmptyTexts(throughHost.tracks[i]));

    const std::vector<uint8_t> written = WriteSmf(file);
    const SmfFile again = ParseSmf(written.data(), written.size());
    FUZZ_CHECK(again.format == file.format && again.division == file.division && again.tracks == file.tracks);
    return 0;
}
