// A track as host events and back: notes paired, other events kept, and what MIDI
// cannot hold at once resolved so that no note is left hanging.
#include <gtest/gtest.h>

#include <TrackEvents.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <utility>

namespace {

TEST(TrackToEvents, PairsNotesAndKeepsEveryOtherEvent)
{
    SmfTrack track;
    track.events = {
        {0, {0xFF, 0x51, 0x07, 0xA1, 0x20}},
        {0, {0x92, 60, 100}},
        {10, {0x92, 60, 90}},    // same key again: the first note-off ends the first note
        {20, {0xB2, 7, 80}},
        {30, {0x82, 60, 64}},
        {40, {0x92, 60, 0}},     // velocity 0: a note-off
        {50, {0x82, 61, 64}},    // nothing sounds on 61: dropped
        {60, {0xC2, 5}},
        {70, {0xE2, 0x00, 0x40}},
        {80, {0xA2, 60, 30}},
        {90, {0x93, 72, 50}},    // never ended
    };
    track.endTick = 200;
    const EventList events = TrackToEvents(track);
    ASSERT_EQ(events.size(), 8u);

    struct NoteCase {
        size_t index;
        UxTime start, duration;
        int pitch, velocity, channel;
    } const notes[] = {
        {1, 0, 30, 60, 100, 2},
        {2, 10, 30, 60, 90, 2},
        {7, 90, 110, 72, 50, 3},
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
    }
    EXPECT_EQ(events[0]->Type(), kUxMidiMessageType);
    EXPECT_EQ(events[3]->Type(), kUxControlChangeType);
    EXPECT_EQ(events[4]->Type(), kUxProgramChangeType);
    const auto* bend = dynamic_cast<const UxPitchBend*>(events[5].get());
    ASSERT_NE(bend, nullptr);
    EXPECT_EQ(bend->Bend(), 0);
    EXPECT_EQ(events[6]->Type(), kUxMidiMessageType);
    EXPECT_EQ(events[6]->Channel(), 2);

    // Back again, the other events come out as they went in.
    LeftOut leftOut;
    const SmfTrack back = EventsToTrack(events, track.endTick, &leftOut);
    EXPECT_EQ(leftOut.Total(), 0);
    std::vector<SmfEvent> others;
    for (const SmfEvent& event : back.events)
        if ((event.bytes[0] & 0xE0) != 0x80)
            others.push_back(event);
    const std::vector<SmfEvent> expected = {
        track.events[0], track.events[3], track.events[7], track.events[8], track.events[9]};
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
    EXPECT_EQ(leftOut.Summary(),
              "9 notes: 2 with a pitch above 127, 1 with a velocity of 0, 1 with a velocity above 127, "
              "3 outside the file's time, 1 on a channel above 15, 1 struck again on the same tick, "
              "key and channel; 1 event MIDI cannot carry");
    EXPECT_EQ(LeftOut().Summary(), "");
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

// Events arrive the way a pipeline answers a track: for each incoming note, in time
// order, the note and a chain of notes after it, which may start after notes of
// later incoming events. Written as they come, the track must be what the whole
// list gives at once, and must never strike a key that still sounds or end one
// that does not.
TEST(TrackEventWriter, WritesChainsAsTheyComeAsIfAllWereKnown)
{
    for (const unsigned seed : {1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u}) {
        SCOPED_TRACE(seed);
        srand(seed);
        const auto random = [](int below) { return rand() % below; };
        EventList all;
        std::vector<SmfEvent> streamed;
        LeftOut streamedLeftOut;
        TrackEventWriter writer(
            [&streamed](int64_t tick, const uint8_t* bytes, size_t size) {
                streamed.push_back({tick, std::vector<uint8_t>(bytes, bytes + size)});
            },
            &streamedLeftOut);
        UxTime start = 0;
        for (int incoming = 0; incoming < 200; ++incoming) {
            start += random(4) * random(10);
            writer.AdvanceTo(start);
            if (random(8) == 0) {
                all.emplace_back(new UxControlChange(start, 7, static_cast<uint8>(random(128))));
                writer.Add(*all.back());
                continue;
            }
            UxTime noteStart = start;
            UxTime duration = random(4) == 0 ? 0 : random(40);
            auto pitch = static_cast<uchar>(60 + random(4));
            const auto velocity = static_cast<uchar>(random(4) == 0 ? 0 : 1 + random(127));
            const auto channel = static_cast<uint8>(random(2));
            for (int echo = random(5); echo >= 0; --echo) {
                all.emplace_back(new UxNoteOn(noteStart, duration, pitch, velocity, channel));
                writer.Add(*all.back());
                noteStart += std::max<UxTime>(duration, 1);
                duration = duration * 3 / 4;
                pitch = static_cast<uchar>(pitch - 1);
            }
        }
        writer.Finish();

        LeftOut wholeLeftOut;
        EXPECT_EQ(streamed, EventsToTrack(all, 0, &wholeLeftOut).events);
        EXPECT_EQ(streamedLeftOut.Summary(), wholeLeftOut.Summary());
        EXPECT_GT(wholeLeftOut.sameKeySameTick, 0);  // the case is exercised

        std::map<int, bool> sounding;
        int64_t tick = 0;
        for (const SmfEvent& event : streamed) {
            SCOPED_TRACE(event.tick);
            EXPECT_GE(event.tick, tick);
            tick = event.tick;
            const int kind = event.bytes[0] & 0xF0;
            const int key = (event.bytes[0] & 0x0F) * 128 + event.bytes[1];
            if (kind == 0x90) {
                EXPECT_FALSE(std::exchange(sounding[key], true)) << "struck while sounding";
            } else if (kind == 0x80) {
                EXPECT_TRUE(std::exchange(sounding[key], false)) << "ended while silent";
            }
        }
        for (const auto& [key, on] : sounding)
            EXPECT_FALSE(on) << "left hanging: " << key;
    }
}

TEST(TrackEventWriter, RefusesAnEventBeforeWhatItHasWritten)
{
    LeftOut leftOut;
    TrackEventWriter writer([](int64_t, const uint8_t*, size_t) {}, &leftOut);
    writer.AdvanceTo(10);
    writer.Add(UxNoteOn(-5, 10, 60, 100));  // left out whatever the time
    EXPECT_EQ(leftOut.outsideTime, 1);
    EXPECT_THROW(writer.Add(UxNoteOn(5, 10, 60, 100)), std::logic_error);
    EXPECT_THROW(writer.Add(UxControlChange(9, 7, 100)), std::logic_error);
}

}  // namespace
