#include "TrackEvents.h"

#include <algorithm>
#include <deque>
#include <limits>
#include <stdexcept>

namespace {

constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;
constexpr uint8_t kPitchBend = 0xE0;
constexpr uint8_t kReleaseVelocity = 64;  // the note-off velocity that means "none given"
constexpr uint8_t kMaxData = 127;
constexpr uint8_t kMaxChannel = 15;
constexpr int kBendCentre = 8192;

int KeyIndex(uint8_t channel, uint8_t pitch)
{
    return channel * 128 + pitch;
}

}  // namespace

void TrackEventReader::Add(const SmfEvent& message)
{
    const std::vector<uint8_t>& bytes = message.bytes;
    if (bytes.size() < 2)
        return;  // no message a file holds
    const uint8_t status = bytes[0];
    const uint8_t kind = status & 0xF0;
    const uint8_t channel = status & 0x0F;
    UxEvent* event = nullptr;
    if (status >= 0xF0) {
        event = new UxMidiMessage(message.tick, bytes);
    } else if (bytes.size() < 3 && kind != kProgramChange) {
        event = new UxMidiMessage(message.tick, bytes, channel);
    } else if (kind == kNoteOn && bytes[2] > 0) {
        mPending.push_back({UxChainPtr(new UxNoteOn(message.tick, 0, bytes[1], bytes[2], channel)), true});
        mSounding[KeyIndex(channel, bytes[1])].push_back(&mPending.back());
        return;
    } else if (kind == kNoteOn || kind == kNoteOff) {
        auto found = mSounding.find(KeyIndex(channel, bytes[1]));
        if (found != mSounding.end() && !found->second.empty()) {
            Pending* note = found->second.front();
            found->second.pop_front();
            note->event->SetDuration(message.tick - note->event->StartTime());
            note->sounding = false;
        }
        return;
    } else if (kind == kControlChange) {
        event = new UxControlChange(message.tick, bytes[1], bytes[2], channel);
    } else if (kind == kProgramChange) {
        event = new UxProgramChange(message.tick, bytes[1], channel);
    } else if (kind == kPitchBend) {
        const int bend = (bytes[2] << 7 | bytes[1]) - kBendCentre;
        event = new UxPitchBend(message.tick, static_cast<int16>(bend), channel);
    } else {
        event = new UxMidiMessage(message.tick, bytes, channel);
    }
    mPending.push_back({UxChainPtr(event), false});
}

void TrackEventReader::Finish(int64_t endTick)
{
    for (auto& [key, notes] : mSounding)
        for (Pending* note : notes) {
            note->event->SetDuration(std::max<int64_t>(endTick - note->event->StartTime(), 0));
            note->sounding = false;
        }
    mSounding.clear();
}

UxChainPtr TrackEventReader::Take()
{
    if (mPending.empty() || mPending.front().sounding)
        return nullptr;
    UxChainPtr event = std::move(mPending.front().event);
    mPending.pop_front();
    return event;
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

namespace {

// Where an event goes among those of the same tick.
enum TickPlace { kEndingNote, kOtherEvent, kStartingNote, kEndingEmptyNote };

constexpr int kRankPlaceShift = 56;
constexpr uint64_t kRankOrderMask = (uint64_t(1) << kRankPlaceShift) - 1;

uint64_t Rank(TickPlace place, uint64_t order)
{
    return uint64_t(place) << kRankPlaceShift | order;
}

struct MidiNote {
    int64_t start;
    int64_t end;
    uint8_t channel;
    uint8_t pitch;
    uint8_t velocity;
};

// Checks that MIDI can carry the note and gives its place in time, or counts why not.
bool ToNote(const UxNoteOn& event, MidiNote* note, LeftOut* leftOut)
{
    if (event.Note() > kMaxData)
        ++leftOut->pitchAbove127;
    else if (event.Velocity() == 0)
        ++leftOut->velocityZero;
    else if (event.Velocity() > kMaxData)
        ++leftOut->velocityAbove127;
    else if (event.Channel() > kMaxChannel)
        ++leftOut->channelAbove15;
    else if (event.StartTime() < 0 || event.Duration() < 0
             || event.Duration() > kUxMaxTime - event.StartTime())
        ++leftOut->outsideTime;
    else {
        *note = {event.StartTime(), event.StartTime() + event.Duration(), event.Channel(),
                 event.Note(), event.Velocity()};
        return true;
    }
    return false;
}

// The channel message for a host event that is no note, or an empty vector.
std::vector<uint8_t> MessageOf(const UxEvent& event)
{
    const uint8_t channel = event.Channel();
    if (channel > kMaxChannel)
        return {};
    if (const auto* control = dynamic_cast<const UxControlChange*>(&event)) {
        if (control->Controller() <= kMaxData && control->Value() <= kMaxData)
            return {static_cast<uint8_t>(kControlChange | channel), control->Controller(),
                    control->Value()};
    } else if (const auto* program = dynamic_cast<const UxProgramChange*>(&event)) {
        if (program->Program() <= kMaxData)
            return {static_cast<uint8_t>(kProgramChange | channel), program->Program()};
    } else if (const auto* bend = dynamic_cast<const UxPitchBend*>(&event)) {
        const int value = bend->Bend() + kBendCentre;
        if (value >= 0 && value < 2 * kBendCentre)
            return {static_cast<uint8_t>(kPitchBend | channel), static_cast<uint8_t>(value & 0x7F),
                    static_cast<uint8_t>(value >> 7)};
    } else if (const auto* message = dynamic_cast<const UxMidiMessage*>(&event)) {
        std::vector<uint8_t> bytes = message->Bytes();
        if (!bytes.empty() && bytes[0] >= 0x80 && bytes[0] < 0xF0)
            bytes[0] = static_cast<uint8_t>((bytes[0] & 0xF0) | channel);
        return bytes;
    }
    return {};
}

}  // namespace

// The one-note-per-key rule, note by note: notes are placed in order of start,
// then key, then longest first. A note struck on the tick of the note last kept on
// its key is left out; one struck while that note still sounds cuts it short. A
// note's note-off is final once the next note on its key is placed, or once the
// writing has passed it; until then a later note may still cut it, so each note-off
// placed early carries the note's id and counts only while its note is the last
// kept and still sounding.
TrackEventWriter::TrackEventWriter(Output out, LeftOut* leftOut)
    : mOut(std::move(out)),
      mLeftOut(leftOut),
      mWatermark(std::numeric_limits<int64_t>::min())
{
}

bool TrackEventWriter::NoteAfter::operator()(const Note& a, const Note& b) const
{
    if (a.start != b.start)
        return a.start > b.start;
    if (a.key != b.key)
        return a.key > b.key;
    if (a.end != b.end)
        return a.end < b.end;  // the longest first
    return a.arrival > b.arrival;
}

bool TrackEventWriter::PlacedAfter::operator()(const Placed& a, const Placed& b) const
{
    return a.tick != b.tick ? a.tick > b.tick : a.rank > b.rank;
}

void TrackEventWriter::Add(const UxEvent& event)
{
    if (const auto* noteEvent = dynamic_cast<const UxNoteOn*>(&event)) {
        MidiNote note;
        if (!ToNote(*noteEvent, &note, mLeftOut))
            return;
        if (note.start < mWatermark)
            throw std::logic_error("a note at tick " + std::to_string(note.start)
                                   + " came after tick " + std::to_string(mWatermark));
        mNotes.push_back({note.start, note.end, KeyIndex(note.channel, note.pitch), note.velocity,
                          mArrivals++});
        std::push_heap(mNotes.begin(), mNotes.end(), NoteAfter());
        return;
    }
    std::vector<uint8_t> bytes = MessageOf(event);
    if (bytes.empty() || event.StartTime() < 0) {
        ++mLeftOut->otherEvents;
        return;
    }
    if (event.StartTime() < mWatermark)
        throw std::logic_error("an event at tick " + std::to_string(event.StartTime())
                               + " came after tick " + std::to_string(mWatermark));
    const uint64_t arrival = mArrivals++;
    mMessages.emplace(arrival, std::move(bytes));
    mPlaced.push_back({event.StartTime(), Rank(kOtherEvent, arrival), 0, 0});
    std::push_heap(mPlaced.begin(), mPlaced.end(), PlacedAfter());
}

void TrackEventWriter::AdvanceTo(int64_t tick)
{
    if (tick <= mWatermark)
        return;
    Write(false, tick);
    mWatermark = tick;
}

void TrackEventWriter::Finish()
{
    Write(true, 0);
}

void TrackEventWriter::PlaceNoteOff(int key, int64_t start, int64_t end, uint64_t noteId)
{
    mPlaced.push_back({end, Rank(end == start ? kEndingEmptyNote : kEndingNote, key), noteId, 0});
    std::push_heap(mPlaced.begin(), mPlaced.end(), PlacedAfter());
}

void TrackEventWriter::Resolve(const Note& note)
{
    const uint64_t id = ++mNoteIds;
    const KeyLedger::Strike strike =
        mKeys.StrikeNote(note.key, note.start, note.end, NoteOrigin::kPlayed, id);
    if (!strike.sounds) {
        ++mLeftOut->sameKeySameTick;
        return;
    }
    if (strike.displaced)
        PlaceNoteOff(note.key, strike.displacedStart, strike.displacedAt, 0);
    mPlaced.push_back({note.start, Rank(kStartingNote, note.key), 0, note.velocity});
    std::push_heap(mPlaced.begin(), mPlaced.end(), PlacedAfter());
    PlaceNoteOff(note.key, note.start, note.end, id);
}

// Writes every message before `before` (or all): first the notes starting there are
// placed, which settles every note-off there, then the messages go out in order.
void TrackEventWriter::Write(bool all, int64_t before)
{
    while (!mNotes.empty() && (all || mNotes.front().start < before)) {
        std::pop_heap(mNotes.begin(), mNotes.end(), NoteAfter());
        Resolve(mNotes.back());
        mNotes.pop_back();
    }
    while (!mPlaced.empty() && (all || mPlaced.front().tick < before)) {
        std::pop_heap(mPlaced.begin(), mPlaced.end(), PlacedAfter());
        const Placed placed = mPlaced.back();
        mPlaced.pop_back();
        const TickPlace place = static_cast<TickPlace>(placed.rank >> kRankPlaceShift);
        const uint64_t order = placed.rank & kRankOrderMask;
        if (place == kOtherEvent) {
            const auto message = mMessages.find(order);
            mOut(placed.tick, message->second.data(), message->second.size());
            mMessages.erase(message);
            continue;
        }
        const int key = static_cast<int>(order);
        const uint8_t channel = static_cast<uint8_t>(key / 128);
        const uint8_t pitch = static_cast<uint8_t>(key % 128);
        if (place == kStartingNote) {
            const uint8_t message[] = {static_cast<uint8_t>(kNoteOn | channel), pitch, placed.velocity};
            mOut(placed.tick, message, sizeof message);
            continue;
        }
        if (placed.noteId && !mKeys.Release(key, placed.noteId))
            continue;  // the note was cut short: its note-off was placed anew
        const uint8_t message[] = {static_cast<uint8_t>(kNoteOff | channel), pitch, kReleaseVelocity};
        mOut(placed.tick, message, sizeof message);
    }
}

SmfTrack EventsToTrack(const EventList& events, int64_t endTick, LeftOut* leftOut)
{
    std::vector<const UxEvent*> inTimeOrder;
    inTimeOrder.reserve(events.size());
    for (const UxChainPtr& event : events)
        inTimeOrder.push_back(event.get());
    std::stable_sort(inTimeOrder.begin(), inTimeOrder.end(), [](const UxEvent* a, const UxEvent* b) {
        return a->StartTime() < b->StartTime();
    });

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

void LeftOut::Add(const LeftOut& other)
{
    pitchAbove127 += other.pitchAbove127;
    velocityZero += other.velocityZero;
    velocityAbove127 += other.velocityAbove127;
    outsideTime += other.outsideTime;
    channelAbove15 += other.channelAbove15;
    sameKeySameTick += other.sameKeySameTick;
    otherEvents += other.otherEvents;
}

int LeftOut::Total() const
{
    return pitchAbove127 + velocityZero + velocityAbove127 + outsideTime + channelAbove15
           + sameKeySameTick + otherEvents;
}

std::string LeftOut::Summary() const
{
    const int notes = Total() - otherEvents;
    const struct {
        int count;
        const char* reason;
    } reasons[] = {
        {pitchAbove127, "with a pitch above 127"},
        {velocityZero, "with a velocity of 0"},
        {velocityAbove127, "with a velocity above 127"},
        {outsideTime, "outside the file's time"},
        {channelAbove15, "on a channel above 15"},
        {sameKeySameTick, "struck again on the same tick, key and channel"},
    };
    std::string summary;
    if (notes > 0) {
        summary = std::to_string(notes) + (notes == 1 ? " note:" : " notes:");
        const char* separator = " ";
        for (const auto& reason : reasons)
            if (reason.count > 0) {
                summary += separator + std::to_string(reason.count) + " " + reason.reason;
                separator = ", ";
            }
    }
    if (otherEvents > 0)
        summary += (summary.empty() ? "" : "; ") + std::to_string(otherEvents)
                   + (otherEvents == 1 ? " event" : " events") + " MIDI cannot carry";
    return summary;
}
