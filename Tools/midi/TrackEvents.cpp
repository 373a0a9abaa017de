#include "TrackEvents.h"

#include <algorithm>
#include <typeinfo>
#include <deque>
#include <limits>
#include <stdexcept>
#include <string>

#include "MidiBytes.h"
#include "NoteRules.h"

namespace {

constexpr int kBendCentre = 8192;

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
    } else if (bytes.size() < 3 && kind != kProgramChangeStatus) {
        event = new UxMidiMessage(message.tick, bytes, channel);
    } else if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOn) {
        mPending.push_back({UxChainPtr(new UxNoteOn(message.tick, 0, bytes[1], bytes[2], channel)), true});
        mSounding[KeyLedger::KeyIndex(channel, bytes[1])].push_back(&mPending.back());
        return;
    } else if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOff) {
        auto found = mSounding.find(KeyLedger::KeyIndex(channel, bytes[1]));
        if (found != mSounding.end() && !found->second.empty()) {
            Pending* note = found->second.front();
            found->second.pop_front();
            auto* noteOn = static_cast<UxNoteOn*>(note->event.get());
            noteOn->SetDuration(message.tick - noteOn->StartTime());
            noteOn->SetReleaseVelocity(ReleaseOf(bytes.data()));
            note->sounding = false;
        }
        return;
    } else if (kind == kControlChangeStatus) {
        event = new UxControlChange(message.tick, bytes[1], bytes[2], channel);
    } else if (kind == kProgramChangeStatus) {
        event = new UxProgramChange(message.tick, bytes[1], channel);
    } else if (kind == kPitchBendStatus) {
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
    uint8_t releaseVelocity;
};

// Checks that MIDI can carry the note and gives its place in time, or counts why not.
bool ToNote(const UxNoteOn& event, MidiNote* note, LeftOut* leftOut)
{
    int* const faultCounts[] = {nullptr, &leftOut->pitchAbove127, &leftOut->velocityZero,
                                &leftOut->velocityAbove127, &leftOut->channelAbove15};
    if (const NoteFault fault = NoteFaultOf(event.Note(), event.Velocity(), event.Channel());
        fault != NoteFault::kNone) {
        ++*faultCounts[static_cast<int>(fault)];
        return false;
    }
    if (event.StartTime() < 0 || event.Duration() < 0 || event.Duration() > kUxMaxTime - event.StartTime()) {
        ++leftOut->outsideTime;
        return false;
    }
    *note = {event.StartTime(), event.StartTime() + event.Duration(), event.Channel(),
             event.Note(), event.Velocity(), CarriedRelease(event.ReleaseVelocity())};
    return true;
}

// The channel message for a host event that is no note, or an empty vector.
std::vector<uint8_t> MessageOf(const UxEvent& event)
{
    const uint8_t channel = event.Channel();
    if (channel > kMaxChannel)
        return {};
    if (const auto* control = dynamic_cast<const UxControlChange*>(&event)) {
        if (control->Controller() <= kMaxData && control->Value() <= kMaxData)
            return {static_cast<uint8_t>(kControlChangeStatus | channel), control->Controller(),
                    control->Value()};
    } else if (const auto* program = dynamic_cast<const UxProgramChange*>(&event)) {
        if (program->Program() <= kMaxData)
            return {static_cast<uint8_t>(kProgramChangeStatus | channel), program->Program()};
    } else if (const auto* bend = dynamic_cast<const UxPitchBend*>(&event)) {
        const int value = bend->Bend() + kBendCentre;
        if (value >= 0 && value < 2 * kBendCentre)
            return {static_cast<uint8_t>(kPitchBendStatus | channel), static_cast<uint8_t>(value & 0x7F),
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

namespace {

// The waiting items are a heap on their ticks alone, earliest on top: a cheap order
// to keep, since the items of one tick are sorted in full only when they fall due.
struct LaterTick {
    template <class Item>
    bool operator()(const Item& a, const Item& b) const
    {
        return a.Tick() > b.Tick();
    }
};

// Moves the items due before `before` (or all) from the heap `waiting` to the end
// of `due`.
template <class Item>
void TakeDue(std::vector<Item>* waiting, bool all, int64_t before, std::vector<Item>* due)
{
    while (!waiting->empty() && (all || waiting->front().Tick() < before)) {
        std::pop_heap(waiting->begin(), waiting->end(), LaterTick());
        due->push_back(waiting->back());
        waiting->pop_back();
    }
}

}  // namespace

// The one-note-per-key rule, note by note: notes are placed in order of start,
// then key, then played before made, then longest first, and KeyLedger says
// whether each sounds and which note it cuts short. A note's note-off is final once
// the next note on its key is placed, or once the writing has passed it; until then
// a later note may still cut it, so each note-off placed early carries the note's
// id and counts only while its note holds the key.
TrackEventWriter::TrackEventWriter(Output out, LeftOut* leftOut)
    : mOut(std::move(out)),
      mLeftOut(leftOut),
      mWatermark(std::numeric_limits<int64_t>::min())
{
}

bool TrackEventWriter::NoteBefore::operator()(const Note& a, const Note& b) const
{
    if (a.start != b.start)
        return a.start < b.start;
    if (a.key != b.key)
        return a.key < b.key;
    if (a.origin != b.origin)
        return a.origin == NoteOrigin::kPlayed;  // played first
    if (a.end != b.end)
        return a.end > b.end;  // the longest first
    return a.arrival < b.arrival;
}

bool TrackEventWriter::PlacedBefore::operator()(const Placed& a, const Placed& b) const
{
    return a.tick != b.tick ? a.tick < b.tick : a.rank < b.rank;
}

void TrackEventWriter::Add(const UxEvent& event, NoteOrigin origin)
{
    // Most events are plain notes: the type's own test is cheaper than a cast.
    const auto* noteEvent = typeid(event) == typeid(UxNoteOn) ? static_cast<const UxNoteOn*>(&event)
                                                              : dynamic_cast<const UxNoteOn*>(&event);
    if (noteEvent) {
        MidiNote note;
        if (!ToNote(*noteEvent, &note, mLeftOut))
            return;
        if (note.start < mWatermark)
            throw std::logic_error("a note at tick " + std::to_string(note.start)
                                   + " came after tick " + std::to_string(mWatermark));
        mNotes.push_back({note.start, note.end, KeyLedger::KeyIndex(note.channel, note.pitch), note.velocity,
                          note.releaseVelocity, origin, mArrivals++});
        std::push_heap(mNotes.begin(), mNotes.end(), LaterTick());
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
    Place({event.StartTime(), Rank(TickPlace::kOtherEvent, arrival), 0, 0});
}

// A message due in the Write under way joins the batch being sorted; any other
// waits in order of tick.
void TrackEventWriter::Place(const Placed& placed)
{
    if (placed.tick < mWriting)
        mDue.push_back(placed);
    else {
        mPlaced.push_back(placed);
        std::push_heap(mPlaced.begin(), mPlaced.end(), LaterTick());
    }
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

void TrackEventWriter::PlaceNoteOff(int key, int64_t start, int64_t end, uint64_t noteId,
                                    uint8_t releaseVelocity)
{
    Place({end, Rank(NoteOffPlace(start, end), key), noteId, releaseVelocity});
}

void TrackEventWriter::Resolve(const Note& note)
{
    const uint64_t id = ++mNoteIds;
    const KeyLedger::Strike strike = mKeys.StrikeNote(note.key, note.start, note.end, note.origin, id, note.releaseVelocity);
    const bool made = note.origin == NoteOrigin::kMade;
    if (!strike.sounds) {
        ++(made ? mLeftOut->madeLeftOut : mLeftOut->playedLeftOut);
        return;
    }
    if (strike.displaced) {
        PlaceNoteOff(note.key, strike.displacedStart, strike.displacedAt, 0, strike.displacedRelease);
        if (strike.displacedCutShort)
            ++(strike.displacedOrigin == NoteOrigin::kMade ? mLeftOut->madeCutShort
                                                           : mLeftOut->playedCutShort);
    }
    Place({note.start, Rank(TickPlace::kStartingNote, note.key), 0, note.velocity});
    PlaceNoteOff(note.key, note.start, note.end, id, note.releaseVelocity);
}

// Writes every message before `before` (or all): first the notes starting there are
// placed, which settles every note-off there, then the messages go out in order.
void TrackEventWriter::Write(bool all, int64_t before)
{
    mDueNotes.clear();
    TakeDue(&mNotes, all, before, &mDueNotes);
    std::sort(mDueNotes.begin(), mDueNotes.end(), NoteBefore());
    mDue.clear();
    mWriting = all ? std::numeric_limits<int64_t>::max() : before;
    for (const Note& note : mDueNotes)
        Resolve(note);
    mWriting = std::numeric_limits<int64_t>::min();
    TakeDue(&mPlaced, all, before, &mDue);
    std::sort(mDue.begin(), mDue.end(), PlacedBefore());
    for (const Placed& placed : mDue) {
        const TickPlace place = static_cast<TickPlace>(placed.rank >> kRankPlaceShift);
        const uint64_t order = placed.rank & kRankOrderMask;
        if (place == TickPlace::kOtherEvent) {
            const auto message = mMessages.find(order);
            mOut(placed.tick, message->second.data(), message->second.size());
            mMessages.erase(message);
            continue;
        }
        const int key = static_cast<int>(order);
        const uint8_t channel = KeyLedger::ChannelOf(key);
        const uint8_t pitch = KeyLedger::PitchOf(key);
        if (place == TickPlace::kStartingNote) {
            const uint8_t message[] = {static_cast<uint8_t>(kNoteOnStatus | channel), pitch, placed.velocity};
            mOut(placed.tick, message, sizeof message);
            continue;
        }
        if (placed.noteId && !mKeys.Release(key, placed.noteId))
            continue;  // the note was cut short: its note-off was placed anew
        const uint8_t message[] = {static_cast<uint8_t>(kNoteOffStatus | channel), pitch, placed.velocity};
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
    otherEvents += other.otherEvents;
    madeLeftOut += other.madeLeftOut;
    madeCutShort += other.madeCutShort;
    playedLeftOut += other.playedLeftOut;
    playedCutShort += other.playedCutShort;
}

int LeftOut::CannotCarry() const
{
    return pitchAbove127 + velocityZero + velocityAbove127 + outsideTime + channelAbove15
           + otherEvents;
}

int LeftOut::GaveWay() const
{
    return madeLeftOut + madeCutShort + playedLeftOut + playedCutShort;
}
