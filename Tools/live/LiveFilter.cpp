#include "LiveFilter.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <utility>

#include <ChannelEvents.h>
#include <MidiBytes.h>
#include <NoteRules.h>

namespace {

constexpr uint8_t kAllSoundOff = 120;
constexpr uint8_t kAllNotesOff = 123;

// A held-over record: the message's size in two bytes, then its bytes.
constexpr size_t kRecordHeader = 2;
constexpr size_t kMaxHeldMessage = 0xFFFF;
constexpr size_t kNoteMessageSize = 3;
constexpr size_t kNoteRecord = kRecordHeader + kNoteMessageSize;

std::vector<std::unique_ptr<UxFilterI>> OneFilter(std::unique_ptr<UxFilterI> filter)
{
    std::vector<std::unique_ptr<UxFilterI>> filters;
    filters.push_back(std::move(filter));
    return filters;
}

void CopyText(char* to, size_t size, const char* from)
{
    const size_t length = strnlen(from, size - 1);
    std::memcpy(to, from, length);
    to[length] = '\0';
}

// Note-offs of sounding notes have room of their own in the held-over output: one
// for each key that sounded when the output filled, and one for each note-on held
// over.
size_t HeldOutputCapacity(const LiveCapacity& capacity)
{
    return capacity.heldBytes + KeyLedger::kKeys * kNoteRecord + capacity.heldBytes / kNoteRecord * kNoteRecord;
}

}  // namespace

bool LiveFilter::QueuedAfter::operator()(const Queued& a, const Queued& b) const
{
    if (a.frame != b.frame)
        return static_cast<int32_t>(a.frame - b.frame) > 0;
    if (a.place != b.place)
        return a.place > b.place;
    if (a.Place() == TickPlace::kStartingNote) {
        // Chain notes, all made: the rule's order, then their order of queueing.
        if (const int order = StrikeOrder(NoteOrigin::kMade, a.length, NoteOrigin::kMade, b.length))
            return order > 0;
    }
    return static_cast<int32_t>(a.id - b.id) > 0;
}

LiveFilter::LiveFilter(std::unique_ptr<UxFilterI> filter, const LiveCapacity& capacity)
    : LiveFilter(OneFilter(std::move(filter)), capacity)
{
}

size_t LiveFilter::BlockSize(const LiveCapacity& capacity)
{
    size_t used = ResidentBlock::After<FrameLedger>(0, 1);
    used = ResidentBlock::After<HeldNote>(used, capacity.heldNotes);
    used = ResidentBlock::After<Queued>(used, capacity.queuedNotes);
    return ResidentBlock::After<uint8_t>(used, HeldOutputCapacity(capacity));
}

LiveFilter::LiveFilter(std::vector<std::unique_ptr<UxFilterI>> filters, const LiveCapacity& capacity)
    : mFilters(std::move(filters)),
      mPool(capacity.eventPool),
      mCapacity(capacity),
      mBlock(BlockSize(capacity)),
      mKeys(*mBlock.Take<FrameLedger>(1)),
      mHeld(mBlock.Take<HeldNote>(capacity.heldNotes)),
      mQueue(mBlock.Take<Queued>(capacity.queuedNotes), capacity.queuedNotes),
      mHeldOutput(mBlock.Take<uint8_t>(HeldOutputCapacity(capacity))),
      mHeldOutputCapacity(HeldOutputCapacity(capacity))
{
    Reset();
}

LiveFilter::~LiveFilter() = default;

void LiveFilter::Reset()
{
    // Between cycles every message is held over: the note-offs of what still
    // sounds go out first in the next cycle.
    mOut = nullptr;
    mHeldOutputSize = 0;
    Silence(0, -1);
    mCycleStart = 0;
    mFrames = 0;
    mLastFrame = 0;
    mRolling = false;
    mKeys.Clear();
    mUnheard.reset();
    mHeldCount = 0;
    mQueue.clear();
}

void LiveFilter::BeginCycle(uint32_t frames, MidiSink* out)
{
    mOut = out;
    mFrames = frames;
    mLastFrame = mCycleStart;
    mWroteThisCycle = false;
    FlushHeld();
}

void LiveFilter::EndCycle()
{
    PlayQueue(mCycleStart + mFrames - 1, TickPlace::kEndingEmptyNote);
    mCycleStart += mFrames;
    mOut = nullptr;
    Publish();
}

void LiveFilter::Publish()
{
    mPublishedNotes.store(mDropped.notes, std::memory_order_relaxed);
    mPublishedEvents.store(mDropped.events, std::memory_order_relaxed);
    mPublishedMessages.store(mDropped.messages, std::memory_order_relaxed);
    mPublishedChains.store(mDropped.chains, std::memory_order_relaxed);
}

LiveDrops LiveFilter::DroppedSoFar() const
{
    LiveDrops drops;
    drops.notes = mPublishedNotes.load(std::memory_order_relaxed);
    drops.events = mPublishedEvents.load(std::memory_order_relaxed);
    drops.messages = mPublishedMessages.load(std::memory_order_relaxed);
    drops.chains = mPublishedChains.load(std::memory_order_relaxed);
    return drops;
}

bool LiveFilter::TakeFault(char* text, size_t size)
{
    if (!mFaultMailFull.load(std::memory_order_acquire))
        return false;
    if (size > 0)
        CopyText(text, std::min(size, mFaultMail.size()), mFaultMail.data());
    mFaultMailFull.store(false, std::memory_order_release);
    return true;
}

int64_t LiveFilter::FrameOf(int64_t frame)
{
    const int64_t last = mFrames > 0 ? mFrames - 1 : 0;
    const int64_t at = mCycleStart + std::clamp<int64_t>(frame, 0, last);
    mLastFrame = std::max(mLastFrame, at);
    return mLastFrame;
}

// The input's events on a frame come after the chain notes that end there and the
// chain's other messages there, and before the chain notes that start there.
void LiveFilter::Input(int64_t frame, const uint8_t* bytes, uint32_t size)
{
    if (size == 0)
        return;
    const int64_t at = FrameOf(frame);
    PlayQueue(at, TickPlace::kOtherEvent);
    const uint8_t kind = bytes[0] & 0xF0;
    const uint8_t channel = bytes[0] & 0x0F;
    const bool channelMessage = IsChannelStatus(bytes[0]);
    const bool wellFormed = channelMessage && size == kNoteMessageSize && bytes[1] <= kMaxData && bytes[2] <= kMaxData;
    const NoteMessage note = wellFormed ? NoteMessageOf(bytes, size) : NoteMessage::kNone;
    if (note == NoteMessage::kNoteOn) {
        NoteOn(at, channel, bytes[1], bytes[2]);
        return;
    }
    if (note == NoteMessage::kNoteOff) {
        NoteOff(at, channel, bytes[1], ReleaseOf(bytes), bytes, size);
        return;
    }
    if (wellFormed && kind == kControlChangeStatus && (bytes[1] == kAllNotesOff || bytes[1] == kAllSoundOff))
        Silence(at, channel);
    const bool filtered = kind == kControlChangeStatus || kind == kProgramChangeStatus || kind == kPitchBendStatus;
    if (channelMessage && filtered && size == 1 + ChannelDataSize(bytes[0]) && bytes[1] <= kMaxData
        && (size < 3 || bytes[2] <= kMaxData)) {
        FilterEvent(at, bytes, size);
        PlayQueue(at, TickPlace::kOtherEvent);
        return;
    }
    Emit(at, bytes, size, false);
}

void LiveFilter::TransportSpeed(int64_t frame, double speed)
{
    const int64_t at = FrameOf(frame);
    const bool rolling = speed != 0.0;
    if (mRolling && !rolling) {
        PlayQueue(at, TickPlace::kEndingNote);
        Silence(at, -1);
    }
    mRolling = rolling;
}

// A played note passes at once and cuts whatever sounds on its key. It is kept
// until its note-off; when the table of held notes is full, the oldest held note
// is forgotten and gets no chain.
void LiveFilter::NoteOn(int64_t at, uint8_t channel, uint8_t pitch, uint8_t velocity)
{
    const int key = KeyLedger::KeyIndex(channel, pitch);
    const uint32_t id = ++mIds;
    const auto strike =
        mKeys.StrikeNote(key, static_cast<uint32_t>(at), FrameLedger::kOpenEnd, NoteOrigin::kPlayed, id);
    if (strike.displaced)
        EmitNoteOff(at, key, strike.displacedRelease);
    if (strike.sounds)
        mUnheard[key] = !EmitNote(at, kNoteOnStatus, key, velocity);
    if (mCapacity.heldNotes == 0)
        return;
    HeldNote* slot = &mHeld[mHeldCount];
    if (mHeldCount == mCapacity.heldNotes) {
        slot = &mHeld[0];
        for (HeldNote* note = mHeld; note != mHeld + mHeldCount; ++note)
            if (static_cast<int32_t>(note->id - slot->id) < 0)
                slot = note;
    } else {
        ++mHeldCount;
    }
    *slot = {static_cast<uint32_t>(at), id, static_cast<uint16_t>(key), velocity};
}

// A note-off ends the oldest played note held on its key, which then goes to the
// filters when they act on its channel; one for a note never seen passes through
// and builds nothing.
void LiveFilter::NoteOff(int64_t at, uint8_t channel, uint8_t pitch, uint8_t release, const uint8_t* bytes,
                         uint32_t size)
{
    const int key = KeyLedger::KeyIndex(channel, pitch);
    HeldNote* oldest = nullptr;
    for (size_t i = 0; i < mHeldCount; ++i)
        if (mHeld[i].key == key && (!oldest || static_cast<int32_t>(mHeld[i].id - oldest->id) < 0))
            oldest = &mHeld[i];
    if (!oldest) {
        Emit(at, bytes, size, false);
        return;
    }
    const HeldNote note = *oldest;
    *oldest = mHeld[--mHeldCount];
    if (mKeys.Release(key, note.id))
        EmitNoteOff(at, key, release);
    if (mChannels >> channel & 1)
        BuildChain(note, at, channel, pitch, release);
}

// The filters get the note whole, as the offline host hands it over, and the
// events of their answer are queued. Every event comes from the fixed pool and is
// released before the scope ends: a filter answers a copy it cannot make with the
// end of its chain. The played note itself already sounds: the answer's head is
// not queued again.
void LiveFilter::BuildChain(const HeldNote& note, int64_t at, uint8_t channel, uint8_t pitch, uint8_t release)
{
    const UxEventPoolScope scope(mPool);
    const uint32_t held = static_cast<uint32_t>(at) - note.start;
    UxNoteOn* head = new (std::nothrow) UxNoteOn(at - held, held, pitch, note.velocity, channel);
    if (head) {
        head->SetReleaseVelocity(release);
        Feed(0, head, head, at);
    }
}

// A controller change, program change or pitch bend goes to the filters as the
// offline host makes it, and every event of their answer is queued.
void LiveFilter::FilterEvent(int64_t at, const uint8_t* bytes, uint32_t size)
{
    const UxEventPoolScope scope(mPool);
    if (UxEvent* event = NewChannelEvent(at, bytes, size))
        Feed(0, event, nullptr, at);
    else
        Emit(at, bytes, size, false);  // no room in the pool: it passes by
}

// Hands `event` (owned here) to the filter of `stage`, and each event of its answer
// alone to the next; what the last one answers is queued. `played` is the event
// that already sounds, which heads each answer it goes through. When a filter
// throws, the event handed in is released with whatever was appended to it (the
// filter was to hand it back), and that answer is lost alone.
void LiveFilter::Feed(size_t stage, UxEvent* event, const UxEvent* played, int64_t at)
{
    if (stage == mFilters.size()) {
        if (event != played)
            Schedule(*event, at);
        event->Delete();
        return;
    }
    UxEvent* chain = nullptr;
    try {
        chain = mFilters[stage]->HandleEvent(event, &mParams);
    } catch (const std::exception& error) {
        Fault(event, error.what());
        return;
    } catch (...) {
        Fault(event, "an exception that is not a std::exception");
        return;
    }
    while (chain) {
        UxEvent* rest = chain->UnlinkNext();
        Feed(stage + 1, chain, chain == played ? chain : nullptr, at);
        chain = rest;
    }
}

void LiveFilter::Fault(UxEvent* given, const char* what)
{
    UxEvent::DeleteChain(given);
    ++mDropped.chains;
    CopyText(mLastFault.data(), mLastFault.size(), what);
    if (!mFaultMailFull.load(std::memory_order_acquire)) {
        CopyText(mFaultMail.data(), mFaultMail.size(), what);
        mFaultMailFull.store(true, std::memory_order_release);
    }
}

// A chain event is queued at its own frame, or at the event that made it when it
// would come before. Notes and the messages MIDI can carry are played; the rest
// is left out.
void LiveFilter::Schedule(const UxEvent& event, int64_t at)
{
    if (event.Type() == kUxNoteOnType || event.Type() == kUxNoteType) {
        if (const auto* note = dynamic_cast<const UxNoteOn*>(&event))
            ScheduleNote(*note, at);
        return;
    }
    Queued item{};
    uint8_t bytes[kMaxChannelEventBytes];
    const size_t size = ChannelEventBytes(event, bytes);
    if (size == 0) {
        ++mDropped.events;
        return;
    }
    if (mQueue.size() == mQueue.capacity()) {
        // A full queue of chain notes must not cost the player a sustain pedal's
        // release: what is due now goes out now; only a later one is lost.
        if (event.StartTime() <= at)
            Emit(at, bytes, static_cast<uint32_t>(size), false);
        else
            ++mDropped.events;
        return;
    }
    std::copy(bytes, bytes + size, item.message.begin());
    if (!EnqueueNew(item, std::max(event.StartTime(), at), at, KeyLedger::KeyIndex(event.Channel(), 0),
                    TickPlace::kOtherEvent))
        ++mDropped.events;
}

void LiveFilter::ScheduleNote(const UxNoteOn& note, int64_t at)
{
    if (NoteFaultOf(note.Note(), note.Velocity(), note.Channel()) != NoteFault::kNone || note.Duration() < 0)
        return;
    if (mQueue.size() == mQueue.capacity()) {
        ++mDropped.notes;
        return;
    }
    // A note longer than the queue can say ends as late as it can.
    Queued item{};
    item.length = static_cast<uint32_t>(std::min<int64_t>(note.Duration(), kFurthestAhead + 1));
    item.velocity = note.Velocity();
    item.release = CarriedRelease(note.ReleaseVelocity());
    if (!EnqueueNew(item, std::max(note.StartTime(), at), at, KeyLedger::KeyIndex(note.Channel(), note.Note()),
                    TickPlace::kStartingNote))
        ++mDropped.notes;
}

// Queues a new record at `frame`, on `key` and in `place`, with the next id; false
// when `frame` lies further ahead of `at` than the queue reaches.
bool LiveFilter::EnqueueNew(Queued item, int64_t frame, int64_t at, int key, TickPlace place)
{
    if (frame - at > kFurthestAhead)
        return false;
    item.frame = static_cast<uint32_t>(frame);
    item.key = static_cast<uint16_t>(key);
    item.place = static_cast<uint16_t>(place);
    item.id = ++mIds;
    Enqueue(item);
    return true;
}

void LiveFilter::Enqueue(const Queued& item)
{
    mQueue.push_back(item);
    std::push_heap(mQueue.begin(), mQueue.end(), QueuedAfter());
}

void LiveFilter::PlayQueue(int64_t at, TickPlace through)
{
    while (!mQueue.empty()) {
        // How far `at` is past the next record's frame: queued frames lie within
        // 2^31 of it, so the difference of their low 32 bits tells.
        const Queued& next = mQueue.front();
        const auto late = static_cast<int32_t>(static_cast<uint32_t>(at) - next.frame);
        if (late < 0 || (late == 0 && next.Place() > through))
            return;
        std::pop_heap(mQueue.begin(), mQueue.end(), QueuedAfter());
        const Queued item = mQueue.back();
        mQueue.pop_back();
        Play(item, at - late);
    }
}

// A chain note that starts strikes its key by the ledger's rules and queues its
// own note-off in the place its note-on leaves, so that a sounding note's
// note-off always has room.
void LiveFilter::Play(const Queued& item, int64_t at)
{
    const int key = item.key;
    if (item.Place() == TickPlace::kOtherEvent) {
        Emit(at, item.message.data(), 1 + ChannelDataSize(item.message[0]), false);
        return;
    }
    if (item.Place() != TickPlace::kStartingNote) {
        if (mKeys.Release(key, item.id))
            EmitNoteOff(at, key, mKeys.ReleaseVelocity(key));
        return;
    }
    const int64_t end = at + item.length;
    const auto strike = mKeys.StrikeNote(key, static_cast<uint32_t>(at), static_cast<uint32_t>(end), NoteOrigin::kMade,
                                         item.id, item.release);
    if (!strike.sounds)
        return;
    if (strike.displaced)
        EmitNoteOff(at, key, strike.displacedRelease);
    mUnheard[key] = !EmitNote(at, kNoteOnStatus, key, item.velocity);
    Queued off = item;
    off.frame = static_cast<uint32_t>(end);
    off.place = static_cast<uint16_t>(NoteOffPlace(at, end));
    Enqueue(off);
}

// Panic and stop: every note sounding on the channel ends now, its queued chain
// notes are dropped, and its held notes are forgotten, so their note-offs pass
// through and build nothing.
void LiveFilter::Silence(int64_t at, int channel)
{
    for (int c = 0; c < KeyLedger::kChannels; ++c) {
        if (channel >= 0 && c != channel)
            continue;
        mKeys.ReleaseChannel(static_cast<uint8_t>(c),
                             [&](int key, uint64_t) { EmitNoteOff(at, key, mKeys.ReleaseVelocity(key)); });
    }
    const auto heldOnChannel = [channel](const HeldNote& note) {
        return channel < 0 || KeyLedger::ChannelOf(note.key) == channel;
    };
    mHeldCount = static_cast<size_t>(std::remove_if(mHeld, mHeld + mHeldCount, heldOnChannel) - mHeld);
    const auto onChannel = [channel](const Queued& item) {
        return channel < 0 || KeyLedger::ChannelOf(item.key) == channel;
    };
    mQueue.erase(std::remove_if(mQueue.begin(), mQueue.end(), onChannel), mQueue.end());
    std::make_heap(mQueue.begin(), mQueue.end(), QueuedAfter());
}

// The note-off, with velocity `release`, of the note that held `key`, unless its
// note-on never went out.
void LiveFilter::EmitNoteOff(int64_t at, int key, uint8_t release)
{
    const bool unheard = mUnheard[key];
    mUnheard[key] = false;
    if (!unheard)
        EmitNote(at, kNoteOffStatus, key, release);
}

bool LiveFilter::EmitNote(int64_t at, uint8_t status, int key, uint8_t velocity)
{
    const uint8_t message[] = {static_cast<uint8_t>(status | KeyLedger::ChannelOf(key)), KeyLedger::PitchOf(key),
                               velocity};
    return Emit(at, message, sizeof message, status == kNoteOffStatus);
}

// True when the message went out or is held over; false when it was dropped.
bool LiveFilter::Emit(int64_t at, const uint8_t* bytes, uint32_t size, bool isNoteOff)
{
    if (mHeldOutputSize == 0 && mOut) {
        if (mOut->Write(static_cast<uint32_t>(at - mCycleStart), bytes, size)) {
            mWroteThisCycle = true;
            return true;
        }
        if (!mWroteThisCycle && size > kNoteMessageSize) {
            // Not even an empty output takes it: it would block everything behind it.
            ++mDropped.messages;
            return false;
        }
    }
    const size_t limit = isNoteOff ? mHeldOutputCapacity : mCapacity.heldBytes;
    if (size > kMaxHeldMessage || mHeldOutputSize + kRecordHeader + size > limit) {
        ++mDropped.messages;
        return false;
    }
    uint8_t* record = mHeldOutput + mHeldOutputSize;
    record[0] = static_cast<uint8_t>(size >> 8);
    record[1] = static_cast<uint8_t>(size & 0xFF);
    std::memcpy(record + kRecordHeader, bytes, size);
    mHeldOutputSize += kRecordHeader + size;
    return true;
}

// Held-over output goes out first, at the cycle's first frame, as much as fits.
void LiveFilter::FlushHeld()
{
    size_t offset = 0;
    while (offset < mHeldOutputSize) {
        const uint8_t* record = mHeldOutput + offset;
        const uint32_t size = static_cast<uint32_t>(record[0] << 8 | record[1]);
        if (mOut && mOut->Write(0, record + kRecordHeader, size)) {
            mWroteThisCycle = true;
        } else if (mWroteThisCycle || !mOut || size <= kNoteMessageSize) {
            break;
        } else {
            ++mDropped.messages;  // not even an empty output takes it
        }
        offset += kRecordHeader + size;
    }
    std::memmove(mHeldOutput, mHeldOutput + offset, mHeldOutputSize - offset);
    mHeldOutputSize -= offset;
}
