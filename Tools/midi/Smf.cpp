#include "Smf.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kChunkHeaderSize = 8;
constexpr size_t kRiffFormOffset = 8;  // "RIFF", its length, then the form's name
constexpr size_t kRiffHeaderSize = 12;
constexpr uint32_t kHeaderDataSize = 6;
constexpr uint32_t kMaxVariableLength = 0x0FFFFFFF;  // four 7-bit groups
constexpr int kMaxVariableLengthBytes = 4;
constexpr uint8_t kStatusBit = 0x80;

std::string Hex(unsigned value)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value & 0xFFu);
    return text;
}

uint32_t ReadLittleEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

bool HasName(const uint8_t* chunk, const char* name)
{
    return std::memcmp(chunk, name, 4) == 0;
}

// A chunk's four-byte name as it can be shown: printable bytes as they are,
// others as \xNN.
std::string NameOf(const uint8_t* chunk)
{
    std::string name = "\"";
    for (int i = 0; i < 4; ++i) {
        if (chunk[i] >= 0x20 && chunk[i] < 0x7F && chunk[i] != '"' && chunk[i] != '\\') {
            name += static_cast<char>(chunk[i]);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", chunk[i]);
            name += escaped;
        }
    }
    return name + "\"";
}

std::string Counted(size_t count, const char* one, const char* many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

uint32_t ReadBigEndian(const uint8_t* bytes, int count)
{
    uint32_t value = 0;
    for (int i = 0; i < count; ++i)
        value = (value << 8) | bytes[i];
    return value;
}

void PutBigEndian(std::vector<uint8_t>* out, uint32_t value, int count)
{
    for (int i = count - 1; i >= 0; --i)
        out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

void PutVariableLength(std::vector<uint8_t>* out, uint32_t value)
{
    uint8_t groups[kMaxVariableLengthBytes];
    int count = 0;
    do {
        groups[count++] = value & 0x7F;
        value >>= 7;
    } while (value && count < kMaxVariableLengthBytes);
    while (count > 1)
        out->push_back(groups[--count] | kStatusBit);
    out->push_back(groups[0]);
}

void PutLength(std::vector<uint8_t>* out, size_t length)
{
    if (length > kMaxVariableLength)
        throw SmfError("an event of " + std::to_string(length) + " bytes is too long for a file");
    PutVariableLength(out, static_cast<uint32_t>(length));
}

// Writes the delta time before an event. A gap longer than one delta can hold is
// bridged by empty text events, the one kind of event that means nothing to play.
// Like every meta event they cancel running status, so the channel message after
// them carries its status byte again.
void PutDelta(std::vector<uint8_t>* out, int64_t delta, uint8_t* runningStatus)
{
    while (delta > kMaxVariableLength) {
        PutVariableLength(out, kMaxVariableLength);
        out->insert(out->end(), {kMetaStatus, kMetaText, 0});
        *runningStatus = 0;
        delta -= kMaxVariableLength;
    }
    PutVariableLength(out, static_cast<uint32_t>(delta));
}

void PutEvent(std::vector<uint8_t>* out, const uint8_t* bytes, size_t size, uint8_t* runningStatus)
{
    const uint8_t status = size == 0 ? 0 : bytes[0];
    if (IsChannelStatus(status)) {
        if (size != 1 + ChannelDataSize(status))
            throw SmfError("a channel message " + Hex(status) + " of " + std::to_string(size) + " bytes");
        for (size_t i = 1; i < size; ++i)
            if (bytes[i] & kStatusBit)
                throw SmfError("a channel message with the data byte " + Hex(bytes[i]));
        if (status != *runningStatus)
            out->push_back(status);
        *runningStatus = status;
        for (size_t i = 1; i < size; ++i)
            out->push_back(bytes[i]);
    } else if (status == kSysExStatus || status == kSysExEscapeStatus
               || (status == kMetaStatus && size >= 2 && !(bytes[1] & kStatusBit) && bytes[1] != kMetaEndOfTrack)) {
        // The status byte (and a meta event's type), then the length of the rest
        // and the rest.
        const size_t head = status == kMetaStatus ? 2 : 1;
        *runningStatus = 0;
        out->insert(out->end(), bytes, bytes + head);
        PutLength(out, size - head);
        out->insert(out->end(), bytes + head, bytes + size);
    } else {
        throw SmfError(size == 0 ? std::string("an empty event")
                                 : "an event with the status byte " + Hex(status) + " that a track cannot hold");
    }
}

}  // namespace

namespace {
// An event cut off by the end of a file cut short, unwinding to Next().
struct EventCut {};
}  // namespace

SmfTrackReader::SmfTrackReader(const uint8_t* data, size_t begin, size_t end, int trackNumber, bool cut)
    : mData(data),
      mPos(begin),
      mEnd(end),
      mTrackNumber(trackNumber),
      mCut(cut)
{
}

bool SmfTrackReader::Next(SmfEvent* event)
{
    if (mEnded)
        return false;
    if (mPos >= mEnd) {
        // A track without its end-of-track event ends where its chunk ends.
        return EndTrack();
    }
    // Most events are a channel message of two data bytes, a delta of one or two
    // bytes after the one before, well inside the chunk: read without a check per
    // byte.
    if (mEnd - mPos >= 5) {
        const uint8_t* const at = mData + mPos;
        const size_t deltaSize = (at[0] & kStatusBit) ? 2 : 1;
        const uint32_t delta = deltaSize == 1 ? at[0] : uint32_t(at[0] & 0x7F) << 7 | at[1];
        const uint8_t* const statusAt = at + deltaSize;
        const bool running = !(*statusAt & kStatusBit);
        const uint8_t status = running ? mRunningStatus : *statusAt;
        const uint8_t* const data = running ? statusAt : statusAt + 1;
        if (!(at[deltaSize - 1] & kStatusBit) && IsChannelStatus(status) && ChannelDataSize(status) == 2
            && !((data[0] | data[1]) & kStatusBit)) {
            mEventStart = mPos;
            mTick += delta;
            mRunningStatus = status;
            mPos += static_cast<size_t>(data + 2 - at);
            event->tick = mTick;
            event->bytes.resize(3);
            uint8_t* const bytes = event->bytes.data();
            bytes[0] = status;
            bytes[1] = data[0];
            bytes[2] = data[1];
            return true;
        }
    }
    if (!mCut)
        return NextSlowly(event);
    try {
        return NextSlowly(event);
    } catch (const EventCut&) {
        // The track ends where the event cut off would have begun, when its delta
        // time was read whole, else at the event before.
        mPos = mEnd;
        return EndTrack();
    }
}

bool SmfTrackReader::NextSlowly(SmfEvent* event)
{
    mEventStart = mPos;
    mTick += VariableLength();
    uint8_t status = Byte();
    if (!(status & kStatusBit)) {
        if (!mRunningStatus)
            Fail("a data byte " + Hex(status) + " where a status byte belongs");
        status = mRunningStatus;
        --mPos;  // the byte read was the first data byte
    }
    event->tick = mTick;
    std::vector<uint8_t>& bytes = event->bytes;
    bytes.assign(1, status);
    if (IsChannelStatus(status)) {
        mRunningStatus = status;
        for (size_t i = 0; i < ChannelDataSize(status); ++i) {
            const uint8_t value = Byte();
            if (value & kStatusBit)
                Fail("a channel message with the data byte " + Hex(value));
            bytes.push_back(value);
        }
    } else if (status == kSysExStatus || status == kSysExEscapeStatus) {
        mRunningStatus = 0;
        Append(&bytes, VariableLength());
    } else if (status == kMetaStatus) {
        mRunningStatus = 0;
        const uint8_t type = Byte();
        if (type & kStatusBit)
            Fail("a meta event of type " + Hex(type));
        bytes.push_back(type);
        Append(&bytes, VariableLength());
        if (type == kMetaEndOfTrack) {
            if (mPos != mEnd)
                Fail("bytes after the end-of-track event");
            return EndTrack();
        }
    } else {
        Fail("the status byte " + Hex(status) + ", which a file cannot hold");
    }
    return true;
}

void SmfTrackReader::Fail(const std::string& problem) const
{
    throw SmfReadError("track " + std::to_string(mTrackNumber) + ", event at byte " + std::to_string(mEventStart) + ": "
                       + problem);
}

// Every read is checked against the chunk's end, which SmfReader has already
// checked against the buffer's.
uint8_t SmfTrackReader::Byte()
{
    if (mPos >= mEnd)
        PastTheEnd();
    return mData[mPos++];
}

void SmfTrackReader::PastTheEnd() const
{
    if (mCut)
        throw EventCut();
    Fail("the event runs past the end of its track chunk");
}

uint32_t SmfTrackReader::VariableLength()
{
    uint32_t value = 0;
    for (int i = 0; i < kMaxVariableLengthBytes; ++i) {
        const uint8_t byte = Byte();
        value = (value << 7) | (byte & 0x7F);
        if (!(byte & kStatusBit))
            return value;
    }
    Fail("a variable-length number of more than four bytes");
}

void SmfTrackReader::Append(std::vector<uint8_t>* bytes, uint32_t count)
{
    if (count > mEnd - mPos)
        PastTheEnd();
    bytes->insert(bytes->end(), mData + mPos, mData + mPos + count);
    mPos += count;
}

// The Standard MIDI File inside a RIFF file of form RMID: the body of its first
// "data" chunk. Other chunks (names, copyright) are skipped. Offsets stay the
// file's own, so that every message names the byte where the problem lies.
void SmfReader::Unwrap()
{
    if (!HasName(mData + kRiffFormOffset, "RMID"))
        throw SmfReadError("not a MIDI file: a RIFF file of form " + NameOf(mData + kRiffFormOffset) + ", not RMID");
    const uint64_t riffEnd = uint64_t(kChunkHeaderSize) + ReadLittleEndian32(mData + 4);
    const size_t end = static_cast<size_t>(std::min<uint64_t>(riffEnd, mSize));
    for (size_t pos = kRiffHeaderSize; pos <= end && end - pos >= kChunkHeaderSize;) {
        const uint32_t chunkSize = ReadLittleEndian32(mData + pos + 4);
        const size_t begin = pos + kChunkHeaderSize;
        if (chunkSize > mSize - begin)
            throw SmfReadError("truncated: the RIFF chunk " + NameOf(mData + pos) + " at byte " + std::to_string(pos)
                               + " claims " + std::to_string(chunkSize) + " bytes, past the end of the file");
        if (HasName(mData + pos, "data")) {
            mBegin = begin;
            mSize = begin + chunkSize;
            mFromRiff = true;
            return;
        }
        pos = begin + chunkSize + (chunkSize & 1);  // chunks are padded to an even size
    }
    throw SmfReadError("a RIFF MIDI file (RMID) without a data chunk");
}

SmfReader::SmfReader(const uint8_t* data, size_t size) : mData(data), mSize(size)
{
    if (size == 0)
        throw SmfReadError("is empty");
    if (size >= kRiffHeaderSize && HasName(data, "RIFF"))
        Unwrap();
    const uint8_t* header = mData + mBegin;
    const size_t available = mSize - mBegin;
    if (available < kChunkHeaderSize || !HasName(header, "MThd"))
        throw SmfReadError("not a Standard MIDI File: it does not begin with MThd");
    const uint32_t headerSize = ReadBigEndian(header + 4, 4);
    if (headerSize < kHeaderDataSize)
        throw SmfReadError("a header chunk of " + std::to_string(headerSize) + " bytes, fewer than 6");
    // A header longer than six bytes is allowed, but one whose length hides the first
    // track chunk says the wrong length.
    const size_t firstTrackAt = kChunkHeaderSize + kHeaderDataSize;
    if (headerSize > kHeaderDataSize && available >= firstTrackAt + 4 && HasName(header + firstTrackAt, "MTrk"))
        throw SmfReadError("a wrong header length: the header chunk claims " + std::to_string(headerSize)
                           + " bytes, but a track chunk follows its first 6");
    if (headerSize > available - kChunkHeaderSize)
        throw SmfReadError("truncated: the file ends inside its header chunk");

    mFormat = static_cast<uint16_t>(ReadBigEndian(header + 8, 2));
    mTrackCount = ReadBigEndian(header + 10, 2);
    mDivision = static_cast<uint16_t>(ReadBigEndian(header + 12, 2));
    if (mFormat > 2)
        throw SmfReadError("format " + std::to_string(mFormat) + " is not supported, only 0, 1 and 2");
    if (mFormat == 0 && mTrackCount != 1)
        throw SmfReadError("a format 0 file with " + Counted(mTrackCount, "track", "tracks"));
    if (mDivision == 0)
        throw SmfReadError("a division of 0 ticks per quarter note");
    mPos = mBegin + kChunkHeaderSize + headerSize;
    FindCut();
}

// A file cut short, as a transfer or a crash leaves it: the chunk of one of the
// declared tracks claims more bytes than the file holds. Only chunk headers are
// read; any other fault is left for NextTrack() to name.
void SmfReader::FindCut()
{
    size_t tracks = 0;
    for (size_t pos = mPos; tracks < mTrackCount && mSize - pos >= kChunkHeaderSize;) {
        const uint32_t chunkSize = ReadBigEndian(mData + pos + 4, 4);
        const bool track = HasName(mData + pos, "MTrk");
        tracks += track;
        if (chunkSize > mSize - pos - kChunkHeaderSize) {
            if (track) {
                mCut = {pos, chunkSize, mSize};
                mTrackCount = tracks;
            }
            return;
        }
        pos += kChunkHeaderSize + chunkSize;
    }
}

// Chunks of other kinds are skipped. Anything after the last track the header
// declares is ignored. When the file ends before a track, the chunk skipped last
// (if any) is named: most likely it is the track, misnamed.
SmfTrackReader SmfReader::NextTrack()
{
    const int trackNumber = static_cast<int>(++mTracksRead);
    size_t skipped = 0;
    bool skippedAny = false;
    for (;;) {
        if (mSize - mPos < kChunkHeaderSize) {
            if (skippedAny)
                throw SmfReadError("no track " + std::to_string(trackNumber) + ": the chunk at byte "
                                   + std::to_string(skipped) + " is named " + NameOf(mData + skipped)
                                   + ", not \"MTrk\"");
            throw SmfReadError("truncated: the header declares " + Counted(mTrackCount, "track", "tracks")
                               + ", the file ends before track " + std::to_string(trackNumber));
        }
        const uint32_t chunkSize = ReadBigEndian(mData + mPos + 4, 4);
        if (CutShort() && mPos == mCut.chunkAt) {
            const size_t begin = mPos + kChunkHeaderSize;
            mPos = mSize;
            return SmfTrackReader(mData, begin, mSize, trackNumber, true);
        }
        if (chunkSize > mSize - mPos - kChunkHeaderSize)
            throw SmfReadError("truncated: the chunk at byte " + std::to_string(mPos) + " claims "
                               + std::to_string(chunkSize) + " bytes, past the end of the file");
        const size_t begin = mPos + kChunkHeaderSize;
        const size_t end = begin + chunkSize;
        if (HasName(mData + mPos, "MTrk")) {
            mPos = end;
            return SmfTrackReader(mData, begin, end, trackNumber);
        }
        skipped = mPos;
        skippedAny = true;
        mPos = end;
    }
}

// Only whole chunks are counted: what follows the declared tracks is not read, and
// may be cut short.
size_t SmfReader::TrackChunksAfter() const
{
    size_t count = 0;
    for (size_t pos = mPos; mSize - pos >= kChunkHeaderSize;) {
        const uint32_t chunkSize = ReadBigEndian(mData + pos + 4, 4);
        if (chunkSize > mSize - pos - kChunkHeaderSize)
            break;
        count += HasName(mData + pos, "MTrk");
        pos += kChunkHeaderSize + chunkSize;
    }
    return count;
}

SmfRead::SmfRead(const SmfReader& reader, size_t eventsRead)
    : fromRiff(reader.FromRiff()),
      tracks(reader.TrackCount()),
      trackChunksAfter(reader.TrackChunksAfter()),
      cut(reader.Cut()),
      events(eventsRead)
{
}

SmfRead CheckSmf(const uint8_t* data, size_t size)
{
    SmfReader reader(data, size);
    SmfEvent event;
    size_t events = 0;
    for (size_t i = 0; i < reader.TrackCount(); ++i)
        for (SmfTrackReader trackReader = reader.NextTrack(); trackReader.Next(&event);)
            ++events;
    return SmfRead(reader, events);
}

SmfWriter::SmfWriter(SmfSink* sink, uint16_t format, uint16_t division, size_t trackCount) : mSink(sink)
{
    if (format > 2)
        throw SmfError("format " + std::to_string(format) + " is not supported, only 0, 1 and 2");
    if (format == 0 && trackCount != 1)
        throw SmfError("a format 0 file with " + std::to_string(trackCount) + " tracks");
    if (trackCount > UINT16_MAX)
        throw SmfError("too many tracks for a file");
    mScratch = {'M', 'T', 'h', 'd'};
    PutBigEndian(&mScratch, kHeaderDataSize, 4);
    PutBigEndian(&mScratch, format, 2);
    PutBigEndian(&mScratch, static_cast<uint32_t>(trackCount), 2);
    PutBigEndian(&mScratch, division, 2);
    AppendScratch();
}

// An event longer than a block goes to the sink on its own.
void SmfWriter::AppendScratch()
{
    if (mFill + mScratch.size() > kBlockSize)
        Flush();
    if (mScratch.size() >= kBlockSize) {
        mSink->Append(mScratch.data(), mScratch.size());
        mWritten += mScratch.size();
    } else {
        std::copy(mScratch.begin(), mScratch.end(), mBlock.begin() + static_cast<std::ptrdiff_t>(mFill));
        mFill += mScratch.size();
        if (mFill >= kBlockSize)
            Flush();
    }
    mScratch.clear();
}

void SmfWriter::Flush()
{
    mSink->Append(mBlock.data(), mFill);
    mWritten += mFill;
    mFill = 0;
}

// The chunk's length is not known yet: four zero bytes hold its place.
void SmfWriter::BeginTrack()
{
    mScratch = {'M', 'T', 'r', 'k', 0, 0, 0, 0};
    AppendScratch();
    mTrackStart = mWritten + mFill;
    mTick = 0;
    mRunningStatus = 0;
}

void SmfWriter::Put(int64_t tick, const uint8_t* bytes, size_t size)
{
    if (size != 3 || !PutQuickly(tick, bytes[0], bytes[1], bytes[2]))
        PutSlowly(tick, bytes, size);
}

void SmfWriter::PutSlowly(int64_t tick, const uint8_t* bytes, size_t size)
{
    if (tick < mTick)
        throw SmfError("an event at tick " + std::to_string(tick) + " after tick " + std::to_string(mTick));
    PutDelta(&mScratch, tick - mTick, &mRunningStatus);
    PutEvent(&mScratch, bytes, size, &mRunningStatus);
    mTick = tick;
    AppendScratch();
}

void SmfWriter::EndTrack(int64_t endTick)
{
    PutDelta(&mScratch, endTick > mTick ? endTick - mTick : 0, &mRunningStatus);
    mScratch.insert(mScratch.end(), {kMetaStatus, kMetaEndOfTrack, 0});
    AppendScratch();
    const uint64_t length = mWritten + mFill - mTrackStart;
    if (length > UINT32_MAX)
        throw SmfError("a track too long for a file");
    std::vector<uint8_t> lengthBytes;
    PutBigEndian(&lengthBytes, static_cast<uint32_t>(length), 4);
    const uint64_t lengthAt = mTrackStart - lengthBytes.size();
    if (lengthAt >= mWritten) {
        std::copy(lengthBytes.begin(), lengthBytes.end(),
                  mBlock.begin() + static_cast<std::ptrdiff_t>(lengthAt - mWritten));
        Flush();
    } else {
        Flush();
        mSink->Overwrite(lengthAt, lengthBytes.data(), lengthBytes.size());
    }
}

void SmfWriter::Finish()
{
    if (mFill > 0)
        Flush();
}

void WriteSmf(const SmfFile& file, SmfSink* sink)
{
    SmfWriter writer(sink, file.format, file.division, file.tracks.size());
    for (const SmfTrack& track : file.tracks) {
        writer.BeginTrack();
        for (const SmfEvent& event : track.events)
            writer.Put(event.tick, event.bytes.data(), event.bytes.size());
        writer.EndTrack(track.endTick);
    }
    writer.Finish();
}

std::vector<uint8_t> WriteSmf(const SmfFile& file)
{
    SmfMemorySink sink;
    WriteSmf(file, &sink);
    return sink.Take();
}
