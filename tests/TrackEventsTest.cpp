// A track as host events and back: notes paired, other events kept, and what MIDI
// cannot hold at once resolved so that no note is left hanging.
#include <gtest/gtest.h>

#include <TrackEvents.h>

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

}  // namespace
