#include "TrackWriter.h"

#include <algorithm>
#include <typeinfo>
#include <limits>
#include <stdexcept>
#include <string>

#include "ChannelEvents.h"
#include "MidiBytes.h"
#include "NoteRules.h"

namespace {

// A note-off's rank on its tick: its place there, then its key.
constexpr int kKeyBits = 11;
static_assert(1 << kKeyBits == KeyLedger::kKeys);

uint16_t NoteOffRank(TickPlace place, int key)
{
    return static_cast<uint16_t>(static_cast<int>(place) << kKeyBits | key);
}

// Counts why MIDI cannot carry a note that AddNote refused: a fault of its own, or
// its place in time.
[[gnu::noinline]] void CountNoteFault(const UxNoteOn& event, LeftOut* leftOut)
{
    // With no fault of its own (kNone), its place in time is what is wrong.
    int* const faultCounts[] = {&leftOut->outsideTime, &leftOut->pitchAbove127, &leftOut->velocityZero,
                                &leftOut->velocityAbove127, &leftOut->channelAbove15};
    ++*faultCounts[static_cast<int>(NoteFaultOf(event.Note(), event.Velocity(), event.Channel()))];
}

// Sorts the few items of one tick by straight insertion, and many the usual way.
template <class Item, class Less>
void SortFew(std::vector<Item>* items, Less less)
{
    constexpr size_t kFew = 16;
    if (items->size() > kFew) {
        std::sort(items->begin(), items->end(), less);
        return;
    }
    for (size_t i = 1; i < items->size(); ++i) {
        const Item item = (*items)[i];
        size_t j = i;
        for (; j > 0 && less(item, (*items)[j - 1]); --j)
            (*items)[j] = (*items)[j - 1];
        (*items)[j] = item;
    }
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
    uint8_t channelEvent[kMaxChannelEventBytes];
    if (const size_t size = ChannelEventBytes(event, channelEvent))
        return std::vector<uint8_t>(channelEvent, channelEvent + size);
    if (const auto* message = dynamic_cast<const UxMidiMessage*>(&event)) {
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

// A note goes on the wheel, or into the far queue. One test sees whether
// everything about it is as MIDI can carry it; CountNoteFault says what is not.
inline void TrackEventWriter::AddNote(const UxNoteOn& event, NoteOrigin origin)
{
    const int64_t start = event.StartTime();
    const int64_t duration = event.Duration();
    const unsigned pitch = event.Note();
    const unsigned velocity = event.Velocity();
    const unsigned channel = event.Channel();
    // Unsigned, the last term is defined for every start (and matters only for one
    // that is not negative).
    const uint64_t room = static_cast<uint64_t>(kUxMaxTime) - static_cast<uint64_t>(start);
    if (((pitch | velocity) > kMaxData) | (velocity == 0) | (channel > kMaxChannel) | (start < 0)
        | (duration < 0) | (static_cast<uint64_t>(duration) > room))
        return CountNoteFault(event, mLeftOut);
    if (start < mWatermark)
        ThrowCameAfter("a note", start, mWatermark);
    const auto key = static_cast<uint16_t>(KeyLedger::KeyIndex(static_cast<uint8_t>(channel), static_cast<uint8_t>(pitch)));
    const WaitingNote note{start, start + duration, mArrivals++, key, static_cast<uint8_t>(velocity),
                           CarriedRelease(event.ReleaseVelocity()), origin};
    if (static_cast<uint64_t>(start) - mBase >= kSlots)
        return PutFarNote(note);
    Link(&mNotes, &Slot::notes, note);
}

void TrackEventWriter::PutFarNote(const WaitingNote& note)
{
    mFarNotes.Put(WaitingNote(note));
}

// Most events are plain notes: the same type information settles those without a
// dynamic_cast, which the rest (a note of a class derived from UxNoteOn, or no
// note) take.
void TrackEventWriter::Add(const UxEvent& event, NoteOrigin origin)
{
    const UxNoteOn* note = &typeid(event) == &typeid(UxNoteOn) ? static_cast<const UxNoteOn*>(&event)
                                                                : dynamic_cast<const UxNoteOn*>(&event);
    if (note)
        AddNote(*note, origin);
    else
        AddOther(event);
}

const UxEvent* TrackEventWriter::AddChain(const UxEvent* chain, NoteOrigin origin, int64_t notBefore)
{
    for (const UxEvent* event = chain; event; event = event->NextEvent()) {
        const int64_t start = event->StartTime();
        if (start < notBefore && start >= 0)
            return event;
        Add(*event, origin);
        origin = NoteOrigin::kMade;
    }
    return nullptr;
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

template <class Record>
inline void TrackEventWriter::Link(Pool<Record>* pool, uint32_t Slot::*list, const Record& record)
{
    const uint32_t node = pool->Take();
    (*pool)[node] = record;
    const uint64_t slotIndex = static_cast<uint64_t>(record.Tick()) & kSlotMask;
    uint32_t& first = mSlots[slotIndex].*list;
    pool->Next(node) = first;
    if (first == kNone) {
        mHeld[slotIndex / 64] |= uint64_t(1) << (slotIndex % 64);
        mHeldWords |= uint64_t(1) << (slotIndex / 64);
    }
    first = node;
}

// The note-off goes on the wheel, or into its far queue.
inline void TrackEventWriter::PutNoteOff(const WaitingNoteOff& off)
{
    if (static_cast<uint64_t>(off.tick) - mBase < kSlots)
        Link(&mNoteOffs, &Slot::noteOffs, off);
    else
        mFarNoteOffs.Put(WaitingNoteOff(off));
}

// The wheel moves on to `tick`, the least tick held: the far notes and note-offs that come
// within its reach join it.
inline void TrackEventWriter::MoveWheelTo(uint64_t tick)
{
    mBase = tick;
    if (std::min(mFarNotes.First(), mFarNoteOffs.First()) < tick + kSlots)
        TakeFarOntoWheel(tick + kSlots);
}

void TrackEventWriter::TakeFarOntoWheel(uint64_t reach)
{
    mFarNotes.TakeBefore(reach, &mArrivingNotes);
    for (const WaitingNote& note : mArrivingNotes)
        Link(&mNotes, &Slot::notes, note);
    mArrivingNotes.clear();
    mFarNoteOffs.TakeBefore(reach, &mArrivingNoteOffs);
    for (const WaitingNoteOff& off : mArrivingNoteOffs)
        Link(&mNoteOffs, &Slot::noteOffs, off);
    mArrivingNoteOffs.clear();
}

// The slots from the base's on, round the wheel: the tick of the first that
// holds notes or note-offs, or the greatest tick there is when none does.
uint64_t TrackEventWriter::FirstOnWheel() const
{
    const uint64_t start = mBase & kSlotMask;
    const uint64_t startWord = start / 64;
    // Mostly the next tick held lies in the start's word, with no turn of the
    // wheel in between.
    if (const uint64_t ahead = mHeld[startWord] >> (start % 64))
        return mBase + static_cast<uint64_t>(__builtin_ctzll(ahead));
    if (!mHeldWords)
        return std::numeric_limits<uint64_t>::max();
    // The words after the start's, then round from the first (the start's own
    // again, for the slots before the start).
    const uint64_t after = startWord == 63 ? 0 : mHeldWords & (~uint64_t(0) << (startWord + 1));
    const auto word = static_cast<uint64_t>(__builtin_ctzll(after ? after : mHeldWords));
    const uint64_t slotIndex = word * 64 + static_cast<uint64_t>(__builtin_ctzll(mHeld[word]));
    return mBase + ((slotIndex - start) & kSlotMask);
}

// Strikes the note in the node and frees the node; a sounding note's note-off is
// placed early: a later note may still cut it. Most notes find their key free:
// they sound, and displace nothing.
inline void TrackEventWriter::Strike(uint32_t node)
{
    const WaitingNote note = mNotes[node];
    mNotes.Free(node);
    const uint64_t id = ++mNoteIds;
    uint64_t holder;
    if (mKeys.Holder(note.key, &holder)) {
        StrikeOnHeldKey(note, id);
        return;
    }
    mKeys.StrikeNote(note.key, note.start, note.end, note.origin, id, note.releaseVelocity);
    SoundNote(note, id);
}

void TrackEventWriter::StrikeOnHeldKey(const WaitingNote& note, uint64_t id)
{
    const KeyLedger::Strike strike
        = mKeys.StrikeNote(note.key, note.start, note.end, note.origin, id, note.releaseVelocity);
    if (!strike.sounds) {
        ++(note.origin == NoteOrigin::kMade ? mLeftOut->madeLeftOut : mLeftOut->playedLeftOut);
        return;
    }
    // The key was held, so the note that held it ends.
    if (strike.displacedCutShort)
        ++(strike.displacedOrigin == NoteOrigin::kMade ? mLeftOut->madeCutShort : mLeftOut->playedCutShort);
    PutNoteOff({strike.displacedAt, 0, NoteOffRank(NoteOffPlace(strike.displacedStart, strike.displacedAt), note.key),
                strike.displacedRelease});
    SoundNote(note, id);
}

// The struck note's note-on goes out on its tick, and its note-off waits.
inline void TrackEventWriter::SoundNote(const WaitingNote& note, uint64_t id)
{
    PutNoteOff({note.end, id, NoteOffRank(NoteOffPlace(note.start, note.end), note.key), note.releaseVelocity});
    mDueNoteOns[mDueNoteOnCount++] = {note.key, note.velocity};
}

// The notes of one tick, in order of key, then played before made, then longest
// first.
void TrackEventWriter::StrikeNotes(uint32_t first)
{
    const auto strikesFirst = [this](uint32_t a, uint32_t b) {
        const WaitingNote& x = mNotes[a];
        const WaitingNote& y = mNotes[b];
        if (x.key != y.key)
            return x.key < y.key;
        if (x.origin != y.origin)
            return x.origin == NoteOrigin::kPlayed;  // played first
        if (x.end != y.end)
            return x.end > y.end;  // the longest first
        return x.arrival < y.arrival;
    };
    // Two notes, the most common batch, need no list.
    const uint32_t second = mNotes.Next(first);
    if (mNotes.Next(second) == kNone) {
        const bool secondFirst = strikesFirst(second, first);
        Strike(secondFirst ? second : first);
        Strike(secondFirst ? first : second);
        return;
    }
    mDueNodes.clear();
    for (uint32_t node = first; node != kNone; node = mNotes.Next(node))
        mDueNodes.push_back(node);
    SortFew(&mDueNodes, strikesFirst);
    for (const uint32_t node : mDueNodes)
        Strike(node);
}

template <bool kToFile>
inline void TrackEventWriter::EmitNote(int64_t tick, uint8_t kind, int key, uint8_t velocity)
{
    const auto status = static_cast<uint8_t>(kind | KeyLedger::ChannelOf(key));
    if constexpr (kToFile) {
        mFile->PutNote(tick, status, KeyLedger::PitchOf(key), velocity);
    } else {
        const uint8_t message[] = {status, KeyLedger::PitchOf(key), velocity};
        mOut(tick, message, sizeof message);
    }
}

// Writes the note-off in the node, unless a later note cut its note short, and
// frees the node.
template <bool kToFile>
inline void TrackEventWriter::EmitNoteOff(uint32_t node)
{
    const WaitingNoteOff& off = mNoteOffs[node];
    const int key = off.rank & (KeyLedger::kKeys - 1);
    if (!off.noteId || mKeys.Release(key, off.noteId))
        EmitNote<kToFile>(off.tick, kNoteOffStatus, key, off.velocity);
    mNoteOffs.Free(node);
}

// The other messages of the tick, in order of arrival, then its note-ons.
template <bool kToFile>
inline void TrackEventWriter::EmitOthersAndNoteOns(uint64_t tick)
{
    if (mOthers.First() == tick) {
        mDueOthers.clear();
        mOthers.TakeBefore(tick + 1, &mDueOthers);
        std::sort(mDueOthers.begin(), mDueOthers.end(),
                  [](const OtherMessage& a, const OtherMessage& b) { return a.arrival < b.arrival; });
        for (const OtherMessage& other : mDueOthers) {
            if constexpr (kToFile)
                mFile->Put(other.tick, other.bytes.data(), other.bytes.size());
            else
                mOut(other.tick, other.bytes.data(), other.bytes.size());
        }
    }
    for (size_t i = 0; i < mDueNoteOnCount; ++i) {
        const NoteOnMessage& on = mDueNoteOns[i];
        EmitNote<kToFile>(static_cast<int64_t>(tick), kNoteOnStatus, on.key, on.velocity);
    }
}

// First the notes starting on the tick are struck, which settles every note-off
// there; then the messages go out: note-offs first, then other messages, then
// note-ons, then the note-offs of notes of no duration.
template <bool kToFile>
[[gnu::always_inline]] inline void TrackEventWriter::WriteTick(uint64_t tick, bool onWheel)
{
    mDueNoteOnCount = 0;
    uint32_t offs = kNone;
    if (onWheel) {
        MoveWheelTo(tick);
        const uint64_t slotIndex = tick & kSlotMask;
        Slot& slot = mSlots[slotIndex];
        if (const uint32_t notes = slot.notes; notes != kNone) {
            slot.notes = kNone;
            if (mNotes.Next(notes) == kNone)
                Strike(notes);
            else
                StrikeNotes(notes);
        }
        offs = slot.noteOffs;
        slot.noteOffs = kNone;
        uint64_t& held = mHeld[slotIndex / 64];
        held &= ~(uint64_t(1) << (slotIndex % 64));
        if (!held)
            mHeldWords &= ~(uint64_t(1) << (slotIndex / 64));
    }

    const uint16_t emptyNote = NoteOffRank(TickPlace::kEndingEmptyNote, 0);
    if (offs == kNone || mNoteOffs.Next(offs) == kNone) {
        if (offs != kNone && mNoteOffs[offs].rank < emptyNote) {
            EmitNoteOff<kToFile>(offs);
            offs = kNone;
        }
        EmitOthersAndNoteOns<kToFile>(tick);
        if (offs != kNone)
            EmitNoteOff<kToFile>(offs);
        return;
    }
    // Two note-offs need no list either.
    if (const uint32_t second = mNoteOffs.Next(offs); mNoteOffs.Next(second) == kNone) {
        const bool swap = mNoteOffs[second].rank < mNoteOffs[offs].rank;
        const uint32_t low = swap ? second : offs;
        const uint32_t high = swap ? offs : second;
        const bool lowLate = mNoteOffs[low].rank >= emptyNote;
        const bool highLate = mNoteOffs[high].rank >= emptyNote;
        if (!lowLate)
            EmitNoteOff<kToFile>(low);
        if (!highLate)
            EmitNoteOff<kToFile>(high);
        EmitOthersAndNoteOns<kToFile>(tick);
        if (lowLate)
            EmitNoteOff<kToFile>(low);
        if (highLate)
            EmitNoteOff<kToFile>(high);
        return;
    }
    mDueNodes.clear();
    for (uint32_t node = offs; node != kNone; node = mNoteOffs.Next(node))
        mDueNodes.push_back(node);
    SortFew(&mDueNodes, [this](uint32_t a, uint32_t b) { return mNoteOffs[a].rank < mNoteOffs[b].rank; });
    auto off = mDueNodes.cbegin();
    const auto offsEnd = mDueNodes.cend();
    for (; off != offsEnd && mNoteOffs[*off].rank < emptyNote; ++off)
        EmitNoteOff<kToFile>(*off);
    EmitOthersAndNoteOns<kToFile>(tick);
    for (; off != offsEnd; ++off)
        EmitNoteOff<kToFile>(*off);
}

// Writes every message before `before`, a tick at a time.
void TrackEventWriter::Write(uint64_t before)
{
    if (mFile)
        WriteTicks<true>(before);
    else
        WriteTicks<false>(before);
}

// Write, for one kind of output: whether it is a file is settled once.
template <bool kToFile>
void TrackEventWriter::WriteTicks(uint64_t before)
{
    for (;;) {
        const uint64_t notesAndOffs = std::min({FirstOnWheel(), mFarNotes.First(), mFarNoteOffs.First()});
        const uint64_t tick = std::min(notesAndOffs, mOthers.First());
        if (tick >= before)
            return;
        WriteTick<kToFile>(tick, notesAndOffs == tick);
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
