#include "TrackEvents.h"

#include <algorithm>
#include <deque>
#include <iterator>
#include <typeinfo>
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
        Sounding& sounding = mSounding[KeyLedger::KeyIndex(channel, bytes[1])];
        Pending* note = &mPending.back();  // stays where it is: the deque only grows at its ends
        (sounding.newest ? sounding.newest->nextOnKey : sounding.oldest) = note;
        sounding.newest = note;
        return;
    } else if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOff) {
        Sounding& sounding = mSounding[KeyLedger::KeyIndex(channel, bytes[1])];
        if (Pending* note = sounding.oldest) {
            sounding.oldest = note->nextOnKey;
            if (!sounding.oldest)
                sounding.newest = nullptr;
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

// Every note still sounding is held, behind the oldest of them.
void TrackEventReader::Finish(int64_t endTick)
{
    for (Pending& pending : mPending)
        if (pending.sounding) {
            UxEvent& note = *pending.event;
            note.SetDuration(std::max<int64_t>(endTick - note.StartTime(), 0));
            pending.sounding = false;
            pending.nextOnKey = nullptr;
            mSounding[KeyLedger::KeyIndex(note.Channel(), static_cast<const UxNoteOn&>(note).Note())] = {};
        }
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

// A note-off's rank on its tick: its place there, then its key.
constexpr int kKeyBits = 11;
static_assert(1 << kKeyBits == KeyLedger::kKeys);

uint16_t NoteOffRank(TickPlace place, int key)
{
    return static_cast<uint16_t>(static_cast<int>(place) << kKeyBits | key);
}

struct MidiNote {
    int64_t start;
    int64_t end;
    uint8_t channel;
    uint8_t pitch;
    uint8_t velocity;
    uint8_t releaseVelocity;
};

// Counts why MIDI cannot carry a note.
[[gnu::noinline]] void CountFault(NoteFault fault, LeftOut* leftOut)
{
    int* const faultCounts[] = {nullptr, &leftOut->pitchAbove127, &leftOut->velocityZero,
                                &leftOut->velocityAbove127, &leftOut->channelAbove15};
    ++*faultCounts[static_cast<int>(fault)];
}

// Checks that MIDI can carry the note and gives its place in time, or counts why not.
inline bool ToNote(const UxNoteOn& event, MidiNote* note, LeftOut* leftOut)
{
    if (const NoteFault fault = NoteFaultOf(event.Note(), event.Velocity(), event.Channel());
        fault != NoteFault::kNone) {
        CountFault(fault, leftOut);
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

[[noreturn, gnu::noinline]] void ThrowCameAfter(const char* what, int64_t tick, int64_t watermark)
{
    throw std::logic_error(std::string(what) + " at tick " + std::to_string(tick) + " came after tick "
                           + std::to_string(watermark));
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

template <class Item>
void TrackEventWriter::FarQueue<Item>::Put(Item&& item)
{
    const auto tick = static_cast<uint64_t>(item.Tick());
    const int bucket = BucketOf(tick);
    mBuckets[bucket].push_back(std::move(item));
    mFilled |= uint64_t(1) << bucket;
    mFirst = std::min(mFirst, tick);
}

// The lowest bucket that holds items holds the least ones. Those before `before`
// go; the rest move to lower buckets, measured from the least of them.
template <class Item>
void TrackEventWriter::FarQueue<Item>::TakeBefore(uint64_t before, std::vector<Item>* due)
{
    if (mFirst >= before)
        return;
    mFirst = std::numeric_limits<uint64_t>::max();
    while (mFilled) {
        const int lowest = __builtin_ctzll(mFilled);
        std::vector<Item>& bucket = mBuckets[lowest];
        uint64_t least = std::numeric_limits<uint64_t>::max();
        for (const Item& item : bucket)
            least = std::min(least, static_cast<uint64_t>(item.Tick()));
        if (least >= before) {
            mFirst = least;
            return;
        }
        mLeast = least;
        mFilled &= ~(uint64_t(1) << lowest);
        for (Item& item : bucket) {
            const auto tick = static_cast<uint64_t>(item.Tick());
            if (tick < before) {
                due->push_back(std::move(item));
            } else {
                const int lower = BucketOf(tick);
                mBuckets[lower].push_back(std::move(item));
                mFilled |= uint64_t(1) << lower;
            }
        }
        // An item passes through several buckets on its way out: a large bucket
        // gives its memory back, so that the buckets together never hold much
        // more than the items do.
        if (bucket.capacity() > kKeptCapacity)
            std::vector<Item>().swap(bucket);
        else
            bucket.clear();
    }
}

// The one-note-per-key rule, note by note: notes are struck in order of start,
// then key, then played before made, then longest first, and KeyLedger says
// whether each sounds and which note it cuts short. A note's note-off is final once
// the next note on its key is struck, or once the writing has passed it; until then
// a later note may still cut it, so each note-off placed early carries the note's
// id and counts only while its note holds the key.
TrackEventWriter::TrackEventWriter(Output out, LeftOut* leftOut)
    : mOut(std::move(out)),
      mLeftOut(leftOut),
      mWatermark(std::numeric_limits<int64_t>::min())
{
}

TrackEventWriter::TrackEventWriter(SmfWriter* file, LeftOut* leftOut)
    : mFile(file),
      mLeftOut(leftOut),
      mWatermark(std::numeric_limits<int64_t>::min())
{
}

void TrackEventWriter::Add(const UxEvent& event, NoteOrigin origin)
{
    // Most events are plain notes: the type's own test is cheaper than a cast.
    if (typeid(event) == typeid(UxNoteOn))
        AddNote(static_cast<const UxNoteOn&>(event), origin);
    else if (const auto* note = dynamic_cast<const UxNoteOn*>(&event))
        AddNote(*note, origin);
    else
        AddOther(event);
}

void TrackEventWriter::AddNote(const UxNoteOn& event, NoteOrigin origin)
{
    MidiNote note;
    if (!ToNote(event, &note, mLeftOut))
        return;
    if (note.start < mWatermark)
        ThrowCameAfter("a note", note.start, mWatermark);
    const auto key = static_cast<uint16_t>(KeyLedger::KeyIndex(note.channel, note.pitch));
    const Entry entry{note.start, note.end, mArrivals++, key, note.velocity, note.releaseVelocity, origin};
    if (static_cast<uint64_t>(note.start) - mBase < kSlots) {
        Link(NewNode(entry), false);
    } else {
        mFarNotes.Put(Entry(entry));
        mFirst = std::min(mFirst, static_cast<uint64_t>(note.start));
    }
}

void TrackEventWriter::AddOther(const UxEvent& event)
{
    std::vector<uint8_t> bytes = MessageOf(event);
    if (bytes.empty() || event.StartTime() < 0) {
        ++mLeftOut->otherEvents;
        return;
    }
    if (event.StartTime() < mWatermark)
        ThrowCameAfter("an event", event.StartTime(), mWatermark);
    mOthers.Put({event.StartTime(), mArrivals++, std::move(bytes)});
}

void TrackEventWriter::AdvanceTo(int64_t tick)
{
    if (tick <= mWatermark)
        return;
    Write(tick > 0 ? static_cast<uint64_t>(tick) : 0);
    mWatermark = tick;
}

void TrackEventWriter::Finish()
{
    Write(std::numeric_limits<uint64_t>::max());
}

inline uint32_t TrackEventWriter::NewNode(const Entry& entry)
{
    uint32_t node = mFree;
    if (node != kNone) {
        mFree = mNodes[node].next;
        mNodes[node].entry = entry;
    } else {
        node = static_cast<uint32_t>(mNodes.size());
        mNodes.push_back({entry, kNone});
    }
    return node;
}

inline void TrackEventWriter::FreeNode(uint32_t node)
{
    mNodes[node].next = mFree;
    mFree = node;
}

// Links the node at the end of its slot's notes or note-offs; its tick lies on
// the wheel.
inline void TrackEventWriter::Link(uint32_t node, bool noteOff)
{
    const auto tick = static_cast<uint64_t>(mNodes[node].entry.tick);
    const uint64_t slotIndex = tick & kSlotMask;
    Slot& slot = mSlots[slotIndex];
    uint32_t& first = noteOff ? slot.noteOffs : slot.notes;
    uint32_t& last = noteOff ? slot.lastNoteOff : slot.lastNote;
    mNodes[node].next = kNone;
    if (last == kNone)
        first = node;
    else
        mNodes[last].next = node;
    last = node;
    mHeld[slotIndex / 64] |= uint64_t(1) << (slotIndex % 64);
    ++mOnWheel;
    mFirst = std::min(mFirst, tick);
}

// The note-off in the node goes on the wheel, or into its far queue.
inline void TrackEventWriter::PutNoteOff(uint32_t node)
{
    const Entry& off = mNodes[node].entry;
    if (static_cast<uint64_t>(off.tick) - mBase < kSlots) {
        Link(node, true);
    } else {
        mFirst = std::min(mFirst, static_cast<uint64_t>(off.tick));
        mFarNoteOffs.Put(Entry(off));
        FreeNode(node);
    }
}

// The wheel moves on to `tick`, the least tick held: the far entries that come
// within its reach join it.
void TrackEventWriter::MoveWheelTo(uint64_t tick)
{
    mBase = tick;
    const uint64_t reach = tick + kSlots;
    if (mFarNotes.First() < reach) {
        mFarNotes.TakeBefore(reach, &mArriving);
        for (const Entry& note : mArriving)
            Link(NewNode(note), false);
        mArriving.clear();
    }
    if (mFarNoteOffs.First() < reach) {
        mFarNoteOffs.TakeBefore(reach, &mArriving);
        for (const Entry& off : mArriving)
            Link(NewNode(off), true);
        mArriving.clear();
    }
}

// The slots from the base's on, round the wheel: the first that holds entries.
uint64_t TrackEventWriter::FirstOnWheel() const
{
    const uint64_t start = mBase & kSlotMask;
    size_t word = start / 64;
    uint64_t bits = mHeld[word] & (~uint64_t(0) << (start % 64));
    while (!bits) {
        word = (word + 1) % mHeld.size();
        bits = mHeld[word];
    }
    const uint64_t slotIndex = word * 64 + static_cast<uint64_t>(__builtin_ctzll(bits));
    return mBase + ((slotIndex - start) & kSlotMask);
}

// Strikes the note in the node, which then holds its note-off, placed early: a
// later note may still cut it.
inline void TrackEventWriter::Resolve(uint32_t node)
{
    const Entry note = mNodes[node].entry;
    const uint64_t id = ++mNoteIds;
    const KeyLedger::Strike strike = mKeys.StrikeNote(note.key, note.tick, note.end, note.origin, id, note.releaseVelocity);
    const bool made = note.origin == NoteOrigin::kMade;
    if (!strike.sounds) {
        ++(made ? mLeftOut->madeLeftOut : mLeftOut->playedLeftOut);
        FreeNode(node);
        return;
    }
    if (strike.displaced) {
        const uint16_t rank = NoteOffRank(NoteOffPlace(strike.displacedStart, strike.displacedAt), note.key);
        PutNoteOff(NewNode({strike.displacedAt, strike.displacedAt, 0, rank, strike.displacedRelease, 0, {}}));
        if (strike.displacedCutShort)
            ++(strike.displacedOrigin == NoteOrigin::kMade ? mLeftOut->madeCutShort
                                                           : mLeftOut->playedCutShort);
    }
    mDueNoteOns.push_back({note.key, note.velocity});
    const uint16_t rank = NoteOffRank(NoteOffPlace(note.tick, note.end), note.key);
    mNodes[node].entry = {note.end, note.end, id, rank, note.releaseVelocity, 0, {}};
    PutNoteOff(node);
}

inline void TrackEventWriter::EmitNote(int64_t tick, uint8_t kind, int key, uint8_t velocity)
{
    const auto status = static_cast<uint8_t>(kind | KeyLedger::ChannelOf(key));
    if (mFile) {
        mFile->PutNote(tick, status, KeyLedger::PitchOf(key), velocity);
    } else {
        const uint8_t message[] = {status, KeyLedger::PitchOf(key), velocity};
        mOut(tick, message, sizeof message);
    }
}

inline void TrackEventWriter::EmitNoteOff(const Entry& off)
{
    const int key = off.key & (KeyLedger::kKeys - 1);
    if (off.order && !mKeys.Release(key, off.order))
        return;  // the note was cut short: its note-off was placed anew
    EmitNote(off.tick, kNoteOffStatus, key, off.velocity);
}

void TrackEventWriter::Emit(const OtherMessage& other)
{
    if (mFile)
        mFile->Put(other.tick, other.bytes.data(), other.bytes.size());
    else
        mOut(other.tick, other.bytes.data(), other.bytes.size());
}

// Writes every message before `before`, a tick at a time.
void TrackEventWriter::Write(uint64_t before)
{
    for (;;) {
        const uint64_t tick = std::min(mFirst, mOthers.First());
        if (tick >= before)
            return;
        WriteTick(tick);
    }
}

// First the notes starting on the tick are struck, in order of key, then played
// before made, then longest first, which settles every note-off there; then the
// messages go out: note-offs first, then other messages, then note-ons, then the
// note-offs of notes of no duration.
void TrackEventWriter::WriteTick(uint64_t tick)
{
    mDueNoteOns.clear();
    mDueNodes.clear();
    if (mFirst == tick) {
        MoveWheelTo(tick);
        const uint64_t slotIndex = tick & kSlotMask;
        Slot& slot = mSlots[slotIndex];
        uint32_t node = slot.notes;
        slot.notes = slot.lastNote = kNone;
        if (node != kNone && mNodes[node].next == kNone) {
            --mOnWheel;
            Resolve(node);
        } else if (node != kNone) {
            for (; node != kNone; node = mNodes[node].next)
                mDueNodes.push_back(node);
            mOnWheel -= mDueNodes.size();
            std::sort(mDueNodes.begin(), mDueNodes.end(), [this](uint32_t a, uint32_t b) {
                const Entry& x = mNodes[a].entry;
                const Entry& y = mNodes[b].entry;
                if (x.key != y.key)
                    return x.key < y.key;
                if (x.origin != y.origin)
                    return x.origin == NoteOrigin::kPlayed;  // played first
                if (x.end != y.end)
                    return x.end > y.end;  // the longest first
                return x.order < y.order;
            });
            for (const uint32_t note : mDueNodes)
                Resolve(note);
            mDueNodes.clear();
        }
        for (node = slot.noteOffs; node != kNone; node = mNodes[node].next)
            mDueNodes.push_back(node);
        slot.noteOffs = slot.lastNoteOff = kNone;
        mOnWheel -= mDueNodes.size();
        mHeld[slotIndex / 64] &= ~(uint64_t(1) << (slotIndex % 64));
        mFirst = mOnWheel ? FirstOnWheel() : std::min(mFarNotes.First(), mFarNoteOffs.First());
        if (mDueNodes.size() > 1)
            std::sort(mDueNodes.begin(), mDueNodes.end(),
                      [this](uint32_t a, uint32_t b) { return mNodes[a].entry.key < mNodes[b].entry.key; });
    }

    const uint16_t emptyNote = NoteOffRank(TickPlace::kEndingEmptyNote, 0);
    auto off = mDueNodes.cbegin();
    const auto offsEnd = mDueNodes.cend();
    for (; off != offsEnd && mNodes[*off].entry.key < emptyNote; ++off) {
        EmitNoteOff(mNodes[*off].entry);
        FreeNode(*off);
    }
    if (mOthers.First() == tick) {
        mDueOthers.clear();
        mOthers.TakeBefore(tick + 1, &mDueOthers);
        std::sort(mDueOthers.begin(), mDueOthers.end(),
                  [](const OtherMessage& a, const OtherMessage& b) { return a.arrival < b.arrival; });
        for (const OtherMessage& other : mDueOthers)
            Emit(other);
    }
    for (const NoteOnMessage& on : mDueNoteOns)
        EmitNote(static_cast<int64_t>(tick), kNoteOnStatus, on.key, on.velocity);
    for (; off != offsEnd; ++off) {
        EmitNoteOff(mNodes[*off].entry);
        FreeNode(*off);
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
