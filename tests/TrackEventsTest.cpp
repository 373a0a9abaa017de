// A track as host events and back: notes paired, other events kept, and what MIDI
// cannot hold at once resolved so that no note is left hanging.
#include <gtest/gtest.h>

#include <Report.h>
#include <TrackReader.h>
#include <TrackWriter.h>
#include <MidiTestSupport.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <map>
#include <set>
#include <tuple>
#include <utility>

namespace {

TEST(TrackToEvents, PairsNotesAndKeepsEveryOtherEvent)
{
    SmfTrack track;
    track.events = {
        {0, {0xFF, 0x51, 0x07, 0xA1, 0x20}},
        {0, {0x92, 60, 100}},
        {10, {0x92, 60, 90}},  // same key again: the first note-off ends the first note
        {20, {0xB2, 7, 80}},
        {30, {0x82, 60, 20}},  // released slowly
        {40, {0x92, 60, 0}},   // velocity 0: a note-off
        {50, {0x82, 61, 64}},  // nothing sounds on 61: dropped
        {60, {0xC2, 5}},
        {70, {0xE2, 0x00, 0x40}},
        {80, {0xA2, 60, 30}},
        {90, {0x93, 72, 50}},  // never ended
    };
    track.endTick = 200;
    const EventList events = TrackToEvents(track);
    ASSERT_EQ(events.size(), 8u);

    struct NoteCase {
        size_t index;
        UxTime start, duration;
        int pitch, velocity, channel, release;
    } const notes[] = {
        {1, 0, 30, 60, 100, 2, 20},
        {2, 10, 30, 60, 90, 2, 64},  // ended by a note-on of velocity 0: none given
        {7, 90, 110, 72, 50, 3, 64},
    };
    for (const NoteCase& n : notes) {
        SCOPED_TRACE(n.index);
        const auto* note = dynamic_cast<const UxNoteOn*>(events[n.index].get());
        ASSERT_NE(note, nullptr);
        EXPECT_EQ(note->StartTime(), n.start);
        EXPECT_EQ(note->Duration(), n.duration);
        EXPECT_EQ(note->Note(), n.pitch);
        EXPECT_EQ(note->Velocity(), n.velocity);
        EXPECT_EQ(note->Channel(), n.channel);
        EXPECT_EQ(note->ReleaseVelocity(), n.release);
    }
    EXPECT_EQ(events[0]->Type(), kUxMidiMessageType);
    EXPECT_EQ(events[3]->Type(), kUxControlChangeType);
    EXPECT_EQ(events[4]->Type(), kUxProgramChangeType);
    const auto* bend = dynamic_cast<const UxPitchBend*>(events[5].get());
    ASSERT_NE(bend, nullptr);
    EXPECT_EQ(bend->Bend(), 0);
    EXPECT_EQ(events[6]->Type(), kUxMidiMessageType);
    EXPECT_EQ(events[6]->Channel(), 2);

    // Back again, the other events come out as they went in, and the note-off its
    // release velocity.
    LeftOut leftOut;
    const SmfTrack back = EventsToTrack(events, track.endTick, &leftOut);
    EXPECT_EQ(leftOut.CannotCarry(), 0);
    EXPECT_NE(std::find(back.events.begin(), back.events.end(), SmfEvent{10, {0x82, 60, 20}}), back.events.end());
    std::vector<SmfEvent> others;
    for (const SmfEvent& event : back.events)
        if ((event.bytes[0] & 0xE0) != 0x80)
            others.push_back(event);
    const std::vector<SmfEvent> expected = {track.events[0], track.events[3], track.events[7], track.events[8],
                                            track.events[9]};
    EXPECT_EQ(others, expected);
    EXPECT_EQ(back.endTick, 200);
}

struct NoteSpec {
    UxTime start, duration;
    int pitch, velocity, channel;
};

EventList Notes(std::initializer_list<NoteSpec> specs)
{
    EventList events;
    for (const NoteSpec& n : specs)
        events.emplace_back(new UxNoteOn(n.start, n.duration, static_cast<uchar>(n.pitch),
                                         static_cast<uchar>(n.velocity), static_cast<uint8>(n.channel)));
    return events;
}

TEST(EventsToTrack, WritesNotesInTimeOrderWithNoneLeftHanging)
{
    const struct {
        const char* name;
        EventList events;
        std::vector<SmfEvent> expected;
    } cases[] = {
        {"out of order, offs before ons on one tick",
         Notes({{10, 5, 62, 90, 0}, {0, 10, 60, 100, 0}}),
         {{0, {0x90, 60, 100}}, {10, {0x80, 60, 64}}, {10, {0x90, 62, 90}}, {15, {0x80, 62, 64}}}},
        {"same key back to back",
         Notes({{0, 10, 60, 100, 0}, {10, 10, 60, 90, 0}}),
         {{0, {0x90, 60, 100}}, {10, {0x80, 60, 64}}, {10, {0x90, 60, 90}}, {20, {0x80, 60, 64}}}},
        {"overlap on one key: the earlier note is cut short",
         Notes({{0, 100, 60, 100, 0}, {40, 10, 60, 90, 0}}),
         {{0, {0x90, 60, 100}}, {40, {0x80, 60, 64}}, {40, {0x90, 60, 90}}, {50, {0x80, 60, 64}}}},
        {"overlap on other channels stays",
         Notes({{0, 100, 60, 100, 0}, {40, 10, 60, 90, 1}}),
         {{0, {0x90, 60, 100}}, {40, {0x91, 60, 90}}, {50, {0x81, 60, 64}}, {100, {0x80, 60, 64}}}},
        {"same tick and key: the longest stays",
         Notes({{0, 10, 60, 100, 0}, {0, 30, 60, 90, 0}}),
         {{0, {0x90, 60, 90}}, {30, {0x80, 60, 64}}}},
        {"a note of no duration ends right after it starts, after the note it cuts",
         Notes({{0, 20, 60, 100, 0}, {10, 0, 60, 90, 0}}),
         {{0, {0x90, 60, 100}}, {10, {0x80, 60, 64}}, {10, {0x90, 60, 90}}, {10, {0x80, 60, 64}}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LeftOut leftOut;
        const SmfTrack track = EventsToTrack(c.events, 0, &leftOut);
        EXPECT_EQ(track.events, c.expected);
        EXPECT_EQ(track.endTick, c.expected.back().tick);
    }
}

TEST(EventsToTrack, LeavesOutWhatMidiCannotCarryAndSaysWhy)
{
    EventList events = Notes({
        {0, 10, 128, 100, 0},
        {0, 10, 255, 100, 0},
        {0, 10, 60, 0, 0},
        {0, 10, 61, 128, 0},
        {0, 10, 62, 100, 16},
        {-5, 10, 63, 100, 0},
        {0, -1, 64, 100, 0},
        {kUxMaxTime, 10, 65, 100, 0},
        {0, 10, 66, 100, 0},
        {0, 5, 66, 100, 0},
        {0, 10, 67, 100, 0},
    });
    events.emplace_back(new UxControlChange(0, 130, 1));
    LeftOut leftOut;
    const SmfTrack track = EventsToTrack(events, 0, &leftOut);
    EXPECT_EQ(track.events.size(), 4u);  // notes 66 and 67, on and off
    EXPECT_EQ(CannotCarrySentence(leftOut),
              "left out what MIDI cannot carry: 2 notes with a pitch above 127, 1 note with a "
              "velocity of 0, 1 note with a velocity above 127, 3 notes outside the file's time, "
              "1 note on a channel above 16 and 1 other event");
    EXPECT_EQ(GaveWaySentence(leftOut),
              "1 note gave way to another on its key and channel: 1 of the input's notes left out");
    EXPECT_EQ(CannotCarrySentence(LeftOut()), "");
    EXPECT_EQ(GaveWaySentence(LeftOut()), "");
}

TEST(TrackEventReader, HoldsEveryEventBehindANoteStillSounding)
{
    TrackEventReader reader;
    reader.Add({0, {0x90, 60, 100}});
    reader.Add({5, {0xB0, 7, 80}});
    EXPECT_EQ(reader.Take(), nullptr);
    reader.Add({10, {0x80, 60, 64}});
    const UxChainPtr note = reader.Take();
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->Duration(), 10);
    const UxChainPtr control = reader.Take();
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(control->Type(), kUxControlChangeType);

    reader.Add({20, {0x90, 61, 100}});  // never ended
    EXPECT_EQ(reader.Take(), nullptr);
    reader.Finish(50);
    const UxChainPtr last = reader.Take();
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(last->Duration(), 30);
    EXPECT_EQ(reader.Take(), nullptr);
}

// Events with their origins, written as EventsToTrack writes played notes: all at
// once, in order of start.
struct Given {
    UxChainPtr event;
    NoteOrigin origin;
};

std::vector<SmfEvent> WriteAll(const std::vector<Given>& given, LeftOut* leftOut)
{
    std::vector<const Given*> inTimeOrder;
    for (const Given& g : given)
        inTimeOrder.push_back(&g);
    std::stable_sort(inTimeOrder.begin(), inTimeOrder.end(),
                     [](const Given* a, const Given* b) { return a->event->StartTime() < b->event->StartTime(); });
    TrackCapture capture(leftOut);
    for (const Given* g : inTimeOrder) {
        capture.Writer().AdvanceTo(g->event->StartTime());
        capture.Writer().Add(*g->event, g->origin);
    }
    return capture.Finish().events;
}

// The notes a track sounds, as (key, on, off, velocity, release); fails on a key
// struck while it sounds, a note-off with nothing sounding, and a note left hanging.
std::set<std::tuple<int, int64_t, int64_t, int, int>> Sounded(const std::vector<SmfEvent>& track)
{
    std::set<std::tuple<int, int64_t, int64_t, int, int>> notes;
    std::map<int, std::pair<int64_t, int>> sounding;
    int64_t tick = 0;
    for (const SmfEvent& event : track) {
        SCOPED_TRACE(event.tick);
        EXPECT_GE(event.tick, tick);
        tick = event.tick;
        const int kind = event.bytes[0] & 0xF0;
        const int key = (event.bytes[0] & 0x0F) * 128 + event.bytes[1];
        if (kind == 0x90) {
            EXPECT_TRUE(sounding.emplace(key, std::make_pair(event.tick, event.bytes[2])).second)
                << "struck while sounding";
        } else if (kind == 0x80) {
            const auto on = sounding.find(key);
            if (on == sounding.end()) {
                ADD_FAILURE() << "ended while silent";
                continue;
            }
            notes.emplace(key, on->second.first, event.tick, on->second.second, event.bytes[2]);
            sounding.erase(on);
        }
    }
    EXPECT_TRUE(sounding.empty()) << sounding.size() << " left hanging";
    return notes;
}

// Events arrive the way a pipeline answers a track: for each incoming note, in time
// order, the played note and a chain of made notes after it, which may start after
// notes of later incoming events. Written as they come, the track must be what the
// whole list gives at once; it must never strike a key that still sounds or end
// one that does not; and the played notes must sound exactly as they would alone.
//
// The writer compares ticks and never measures them: the same song with every tick
// scaled up (so that notes wait beyond the reach of its wheel and join it later)
// or far up (where its far queues' buckets serve) must come out the same, scaled.
TEST(TrackEventWriter, WritesChainsAsTheyComeAsIfAllWereKnown)
{
    constexpr UxTime kFar = UxTime(1) << 32;
    std::vector<SmfEvent> unscaled;
    for (const auto& [seed, scale] : std::vector<std::pair<unsigned, UxTime>>{
             {1, 1}, {2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {7, 1}, {8, 1}, {8, 97}, {8, kFar}}) {
        SCOPED_TRACE(seed);
        srand(seed);
        const auto random = [](int below) { return rand() % below; };
        std::vector<Given> all;
        LeftOut streamedLeftOut;
        TrackCapture capture(&streamedLeftOut);
        TrackEventWriter& writer = capture.Writer();
        // The notes the writer tells of, by origin: (key, on, off, velocity).
        std::array<std::set<std::tuple<int, int64_t, int64_t, int>>, 2> told;
        const NoteObserver tell = [&told](const NoteWritten& note) {
            told[static_cast<int>(note.origin)].emplace(note.channel * 128 + note.pitch, note.start, note.end,
                                                        note.velocity);
        };
        writer.TellNotes(&tell, 0);
        const auto add = [&](UxEvent* event, NoteOrigin origin) {
            all.push_back({UxChainPtr(event), origin});
            writer.Add(*event, origin);
        };
        UxTime start = 0;
        for (int incoming = 0; incoming < 200; ++incoming) {
            start += random(4) * random(10);
            writer.AdvanceTo(start * scale);
            if (random(8) == 0) {
                add(new UxControlChange(start * scale, 7, static_cast<uint8>(random(128))), NoteOrigin::kPlayed);
                continue;
            }
            UxTime noteStart = start;
            UxTime duration = random(4) == 0 ? 0 : random(40);
            auto pitch = static_cast<uchar>(60 + random(4));
            const auto velocity = static_cast<uchar>(random(4) == 0 ? 0 : 1 + random(127));
            const auto channel = static_cast<uint8>(random(2));
            NoteOrigin origin = NoteOrigin::kPlayed;
            for (int echo = random(5); echo >= 0; --echo) {
                auto* note = new UxNoteOn(noteStart * scale, duration * scale, pitch, velocity, channel);
                note->SetReleaseVelocity(static_cast<uchar>(random(128)));
                add(note, origin);
                origin = NoteOrigin::kMade;
                noteStart += std::max<UxTime>(duration, 1);
                duration = duration * 3 / 4;
                pitch = static_cast<uchar>(pitch - 1);
            }
        }
        const std::vector<SmfEvent> streamed = capture.Finish().events;
        if (scale != 1) {
            std::vector<SmfEvent> scaled = unscaled;
            for (SmfEvent& event : scaled)
                event.tick *= scale;
            EXPECT_EQ(streamed, scaled);
            continue;
        }
        unscaled = streamed;

        LeftOut wholeLeftOut;
        EXPECT_EQ(streamed, WriteAll(all, &wholeLeftOut));
        EXPECT_EQ(CannotCarrySentence(streamedLeftOut), CannotCarrySentence(wholeLeftOut));
        EXPECT_EQ(GaveWaySentence(streamedLeftOut), GaveWaySentence(wholeLeftOut));
        for (const int count : {wholeLeftOut.madeLeftOut, wholeLeftOut.madeCutShort, wholeLeftOut.playedLeftOut,
                                wholeLeftOut.playedCutShort})
            EXPECT_GT(count, 0);  // every case is exercised

        std::vector<Given> played;
        for (const Given& g : all)
            if (g.origin == NoteOrigin::kPlayed)
                played.push_back({UxChainPtr(g.event->Copy()), g.origin});
        LeftOut playedLeftOut;
        const auto playedAlone = Sounded(WriteAll(played, &playedLeftOut));
        const auto withMade = Sounded(streamed);
        EXPECT_TRUE(std::includes(withMade.begin(), withMade.end(), playedAlone.begin(), playedAlone.end()))
            << "a made note changed a played one";

        // The writer tells of every note it wrote, and of the played ones as played.
        const auto withoutRelease = [](const auto& notes) {
            std::set<std::tuple<int, int64_t, int64_t, int>> kept;
            for (const auto& [key, on, off, velocity, release] : notes)
                kept.emplace(key, on, off, velocity);
            return kept;
        };
        EXPECT_EQ(told[static_cast<int>(NoteOrigin::kPlayed)], withoutRelease(playedAlone));
        std::set<std::tuple<int, int64_t, int64_t, int>> written = told[0];
        written.insert(told[1].begin(), told[1].end());
        EXPECT_EQ(written, withoutRelease(withMade));
    }
}

// Where played and made notes meet on one key, note for note, each note-off with
// its own note's release velocity.
TEST(TrackEventWriter, ThePlayersNotesComeFirst)
{
    constexpr NoteOrigin P = NoteOrigin::kPlayed;
    constexpr NoteOrigin M = NoteOrigin::kMade;
    struct Note {
        UxTime start, duration;
        int velocity, release;
        NoteOrigin origin;
    };
    const struct {
        const char* name;
        std::vector<Note> notes;  // on pitch 60, in the order given
        std::vector<SmfEvent> expected;
        int madeLeftOut, madeCutShort;
    } cases[] = {
        {"made where a played note sounds: left out",
         {{0, 100, 90, 10, P}, {50, 20, 40, 20, M}},
         {{0, {0x90, 60, 90}}, {100, {0x80, 60, 10}}},
         1,
         0},
        {"played cuts made",
         {{0, 100, 40, 20, M}, {50, 20, 90, 10, P}},
         {{0, {0x90, 60, 40}}, {50, {0x80, 60, 20}}, {50, {0x90, 60, 90}}, {70, {0x80, 60, 10}}},
         0,
         1},
        {"made cuts made",
         {{0, 100, 40, 20, M}, {50, 20, 30, 30, M}},
         {{0, {0x90, 60, 40}}, {50, {0x80, 60, 20}}, {50, {0x90, 60, 30}}, {70, {0x80, 60, 30}}},
         0,
         1},
        {"one tick: played wins, however short, and the made note does not come back",
         {{0, 100, 40, 20, M}, {0, 10, 90, 10, P}},
         {{0, {0x90, 60, 90}}, {10, {0x80, 60, 10}}},
         1,
         0},
        {"one tick: the longest made note stays",
         {{0, 10, 40, 20, M}, {0, 100, 30, 30, M}},
         {{0, {0x90, 60, 30}}, {100, {0x80, 60, 30}}},
         1,
         0},
        {"made after the played note ends",
         {{0, 50, 90, 10, P}, {50, 20, 40, 20, M}},
         {{0, {0x90, 60, 90}}, {50, {0x80, 60, 10}}, {50, {0x90, 60, 40}}, {70, {0x80, 60, 20}}},
         0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Given> given;
        for (const Note& n : c.notes) {
            auto* note = new UxNoteOn(n.start, n.duration, 60, static_cast<uchar>(n.velocity));
            note->SetReleaseVelocity(static_cast<uchar>(n.release));
            given.push_back({UxChainPtr(note), n.origin});
        }
        LeftOut leftOut;
        EXPECT_EQ(WriteAll(given, &leftOut), c.expected);
        EXPECT_EQ(leftOut.madeLeftOut, c.madeLeftOut);
        EXPECT_EQ(leftOut.madeCutShort, c.madeCutShort);
        EXPECT_EQ(leftOut.playedLeftOut + leftOut.playedCutShort, 0);
    }
}

TEST(TrackEventWriter, RefusesAnEventBeforeWhatItHasWritten)
{
    LeftOut leftOut;
    TrackCapture capture(&leftOut);
    TrackEventWriter& writer = capture.Writer();
    writer.AdvanceTo(10);
    writer.Add(UxNoteOn(-5, 10, 60, 100));  // left out whatever the time
    EXPECT_EQ(leftOut.outsideTime, 1);
    EXPECT_THROW(writer.Add(UxNoteOn(5, 10, 60, 100)), std::logic_error);
    EXPECT_THROW(writer.Add(UxControlChange(9, 7, 100)), std::logic_error);
}

}  // namespace
