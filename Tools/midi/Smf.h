// Standard MIDI Files, formats 0, 1 and 2, read from and written to byte buffers.
//
// The reader is strict: whatever the bytes, it either returns a whole file or throws
// SmfError saying what is wrong and where; it never reads past the buffer. It reads
// what other readers commonly accept: a track chunk that ends without its
// end-of-track event ends where the chunk does, a file cut short inside a track
// chunk is read up to its last whole event (SmfReader::Cut), and a RIFF file of
// form RMID is read as the Standard MIDI File it wraps. Running status is understood on
// reading and used on writing, and a file is always written plain, every track
// with its end-of-track event.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "MidiBytes.h"

// Malformed or unsupported file contents. The message names the problem and where
// it lies, but not the file: the caller knows its name.
class SmfError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What the reader refuses: the bytes read are no well-formed file.
class SmfReadError : public SmfError {
public:
    using SmfError::SmfError;
};

// One event of a track at its absolute tick. `bytes` is the message without delta
// time or length prefix, with its status byte even where the file used running
// status: a channel message as sent, a system exclusive message from its 0xF0 or
// 0xF7 byte on, a meta event as 0xFF, its type and its data.
struct SmfEvent {
    int64_t tick = 0;
    std::vector<uint8_t> bytes;

    bool operator==(const SmfEvent& other) const { return tick == other.tick && bytes == other.bytes; }
};

// A track's events in file order (ticks never decrease). The end-of-track meta
// event is not among them: `endTick` is where it stands.
struct SmfTrack {
    std::vector<SmfEvent> events;
    int64_t endTick = 0;

    bool operator==(const SmfTrack& other) const { return events == other.events && endTick == other.endTick; }
};

struct SmfFile {
    uint16_t format = 1;
    // The header's division word as it stands: ticks per quarter note, or a
    // timecode division when the top bit is set. Ticks are never rescaled.
    uint16_t division = 480;
    std::vector<SmfTrack> tracks;
};

constexpr uint8_t kMetaStatus = 0xFF;
constexpr uint8_t kSysExStatus = 0xF0;
constexpr uint8_t kSysExEscapeStatus = 0xF7;
constexpr uint8_t kMetaEndOfTrack = 0x2F;
constexpr uint8_t kMetaText = 0x01;
constexpr uint8_t kMetaTempo = 0x51;

// Reads one track chunk's events, one at a time, without holding the track.
class SmfTrackReader {
public:
    // `cut`: the file ends at `end`, inside the chunk; an event it cuts ends the
    // track where the event would have begun (at the event before when its delta
    // time is cut too), rather than being refused.
    SmfTrackReader(const uint8_t* data, size_t begin, size_t end, int trackNumber, bool cut = false);

    // Puts the next event into `event` (its bytes replaced, their memory reused) and
    // returns true; returns false at the end-of-track event (or at the chunk's end
    // where that event is missing), whose tick EndTick() then gives. Throws
    // SmfReadError where the track is malformed.
    bool Next(SmfEvent* event);
    int64_t EndTick() const { return mEndTick; }
    // How far into the buffer the reader has come: a measure of the work done.
    size_t Position() const { return mPos; }

private:
    bool NextSlowly(SmfEvent* event);
    // Ends the track at the current tick; false, as Next() then returns.
    bool EndTrack()
    {
        mEnded = true;
        mEndTick = mTick;
        return false;
    }
    [[noreturn]] void Fail(const std::string& problem) const;
    [[noreturn]] void PastTheEnd() const;
    uint8_t Byte();
    uint32_t VariableLength();
    void Append(std::vector<uint8_t>* bytes, uint32_t count);

    const uint8_t* mData;
    size_t mPos;
    size_t mEnd;
    int mTrackNumber;
    bool mCut;
    size_t mEventStart = 0;
    int64_t mTick = 0;
    uint8_t mRunningStatus = 0;
    bool mEnded = false;
    int64_t mEndTick = 0;
};

// Where a file cut short ends: inside the track chunk at byte `chunkAt`, which
// claims `claimed` bytes, at byte `endsAt`.
struct SmfCut {
    size_t chunkAt = 0;
    uint32_t claimed = 0;
    size_t endsAt = 0;
};

// Reads a file from a byte buffer one track at a time. The buffer must outlive the
// reader and the track readers it hands out.
class SmfReader {
public:
    // Reads and checks the header; throws SmfReadError where it is wrong.
    SmfReader(const uint8_t* data, size_t size);

    uint16_t Format() const { return mFormat; }
    uint16_t Division() const { return mDivision; }
    // The tracks to read: those the header declares, or of a file cut short those
    // that begin before the cut.
    size_t TrackCount() const { return mTrackCount; }
    // Where the file was cut short, when it was: inside a track chunk that claims
    // more bytes than the file holds. The tracks after it are not there.
    bool CutShort() const { return mCut.endsAt != 0; }
    const SmfCut& Cut() const { return mCut; }
    // True when the file is a RIFF file (RMID) wrapping the Standard MIDI File read.
    bool FromRiff() const { return mFromRiff; }
    // The next track chunk, skipping chunks of other kinds; call it TrackCount()
    // times. Throws SmfReadError when the file ends before it.
    SmfTrackReader NextTrack();
    // How many track chunks follow the last one the header declares, which are not
    // read (as other readers do not read them); call it after the last NextTrack().
    size_t TrackChunksAfter() const;

private:
    void Unwrap();
    void FindCut();

    const uint8_t* mData;
    size_t mSize;       // where the Standard MIDI File ends
    size_t mBegin = 0;  // and where it begins
    bool mFromRiff = false;
    uint16_t mFormat = 1;
    uint16_t mDivision = 480;
    size_t mTrackCount = 0;
    size_t mTracksRead = 0;
    size_t mPos = 0;
    SmfCut mCut;
};

// What reading a whole file found beside its messages, as its SmfReader says once
// every track is read.
struct SmfRead {
    bool fromRiff = false;
    size_t tracks = 0;  // TrackCount()
    size_t trackChunksAfter = 0;
    SmfCut cut;         // endsAt is 0 when the file is whole
    size_t events = 0;  // the messages read

    SmfRead() = default;
    SmfRead(const SmfReader& reader, size_t eventsRead);
};

// Reads the whole file without keeping anything: throws SmfReadError for anything
// but a well-formed file of format 0, 1 or 2, whole or cut short inside a track.
SmfRead CheckSmf(const uint8_t* data, size_t size);

// Where a file's bytes go as they are made. A writer appends; once a track is
// complete it goes back to fill in the length at the start of its chunk.
class SmfSink {
public:
    virtual ~SmfSink() = default;
    virtual void Append(const uint8_t* bytes, size_t size) = 0;
    virtual void Overwrite(uint64_t offset, const uint8_t* bytes, size_t size) = 0;
};

// Collects a whole file in memory.
class SmfMemorySink : public SmfSink {
public:
    void Append(const uint8_t* bytes, size_t size) override { mBytes.insert(mBytes.end(), bytes, bytes + size); }
    void Overwrite(uint64_t offset, const uint8_t* bytes, size_t size) override
    {
        std::copy(bytes, bytes + size, mBytes.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    const std::vector<uint8_t>& Bytes() const { return mBytes; }
    std::vector<uint8_t> Take() { return std::move(mBytes); }

private:
    std::vector<uint8_t> mBytes;
};

// Writes a file one event at a time, handing its bytes to a sink as they are made:
// the header, then each track between BeginTrack() and EndTrack(). Throws SmfError
// for what a file cannot hold: a format other than 0, 1 or 2, a format 0 file without
// exactly one track, a track whose ticks go backwards, an event that is not a
// whole message, a track too long for its chunk.
class SmfWriter {
public:
    SmfWriter(SmfSink* sink, uint16_t format, uint16_t division, size_t trackCount);

    void BeginTrack();
    // One event: `bytes` as in SmfEvent.
    void Put(int64_t tick, const uint8_t* bytes, size_t size);
    // A note-on or note-off whose channel, pitch and velocity MIDI can carry: the
    // same as Put, with nothing checked but the time.
    void PutNote(int64_t tick, uint8_t status, uint8_t pitch, uint8_t velocity)
    {
        if (!PutShortDelta(tick, status, pitch, velocity)) {
            const uint8_t bytes[] = {status, pitch, velocity};
            PutSlowly(tick, bytes, sizeof bytes);
        }
    }
    // The end-of-track event, at `endTick` or at the last event, whichever is later.
    void EndTrack(int64_t endTick);
    // Hands the sink whatever it has not had yet.
    void Finish();

private:
    // Bytes go to the sink in blocks of about this size. The block has room beyond it
    // for one more channel message, so that the quick way never checks for room.
    static constexpr size_t kBlockSize = 1 << 16;
    static constexpr size_t kBlockRoom = kBlockSize + 8;

    // A channel message of two data bytes a delta of one byte after the last event,
    // written straight into the block; false for any other event.
    bool PutQuickly(int64_t tick, uint8_t status, uint8_t first, uint8_t second)
    {
        if (!IsChannelStatus(status) || ChannelDataSize(status) != 2 || ((first | second) & 0x80))
            return false;
        return PutShortDelta(tick, status, first, second);
    }
    // The same for a message known to be whole: only the delta is checked.
    bool PutShortDelta(int64_t tick, uint8_t status, uint8_t first, uint8_t second)
    {
        constexpr uint64_t kMaxOneByteDelta = 0x7F;
        // A tick before the last wraps round to a delta too large.
        const uint64_t delta = static_cast<uint64_t>(tick) - static_cast<uint64_t>(mTick);
        if (delta > kMaxOneByteDelta)
            return false;
        // The status always goes in; under running status the data bytes then
        // overwrite it. Everything is read before the bytes are stored, since a
        // byte stored may alias any member.
        const size_t fill = mFill;
        uint8_t* const out = mBlock.data() + fill;
        const size_t statusSize = status != mRunningStatus;
        const size_t filled = fill + 3 + statusSize;
        out[0] = static_cast<uint8_t>(delta);
        out[1] = status;
        out[1 + statusSize] = first;
        out[2 + statusSize] = second;
        mFill = filled;
        mRunningStatus = status;
        mTick = tick;
        if (filled >= kBlockSize)
            Flush();
        return true;
    }
    void PutSlowly(int64_t tick, const uint8_t* bytes, size_t size);
    // Adds the bytes made in mScratch to the block.
    void AppendScratch();
    void Flush();

    SmfSink* mSink;
    std::vector<uint8_t> mBlock = std::vector<uint8_t>(kBlockRoom);  // bytes not yet handed to the sink
    size_t mFill = 0;               // how many of them there are; always fewer than kBlockSize
    std::vector<uint8_t> mScratch;  // an event's bytes as they are made, on the way to the block
    uint64_t mWritten = 0;          // bytes handed to the sink
    uint64_t mTrackStart = 0;       // where the current track's body begins
    int64_t mTick = 0;
    uint8_t mRunningStatus = 0;
};

std::vector<uint8_t> WriteSmf(const SmfFile& file);

// The same, written through `sink`.
void WriteSmf(const SmfFile& file, SmfSink* sink);
