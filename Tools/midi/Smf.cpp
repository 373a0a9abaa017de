#include "Smf.h"

#include <cstdio>
#include <string>

namespace {

constexpr size_t kChunkHeaderSize = 8;
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

bool IsChannelStatus(uint8_t status)
{
    return status >= 0x80 && status < 0xF0;
}

// Data bytes that follow a channel message's status: one for program change and
// channel pressure, two for every other.
size_t ChannelDataSize(uint8_t status)
{
    const uint8_t kind = status & 0xF0;
    return kind == 0xC0 || kind == 0xD0 ? 1 : 2;
}

// Reads one track chunk's events. Every read is checked against the chunk's end,
// which the caller has already checked against the buffer's.
class TrackReader {
public:
    TrackReader(const uint8_t* data, size_t begin, size_t end, int trackNumber)
        : mData(data), mPos(begin), mEnd(end), mTrackNumber(trackNumber)
    {
    }

    SmfTrack Read()
    {
        SmfTrack track;
        int64_t tick = 0;
        uint8_t runningStatus = 0;
        while (mPos < mEnd) {
            mEventStart = mPos;
            tick += VariableLength();
            uint8_t status = Byte();
            if (!(status & kStatusBit)) {
                if (!runningStatus)
                    Fail("a data byte " + Hex(status) + " where a status byte belongs");
                status = runningStatus;
                --mPos;  // the byte read was the first data byte
            }
            SmfEvent event{tick, {status}};
            if (IsChannelStatus(status)) {
                runningStatus = status;
                for (size_t i = 0; i < ChannelDataSize(status); ++i) {
                    const uint8_t value = Byte();
                    if (value & kStatusBit)
                        Fail("a channel message with the data byte " + Hex(value));
                    event.bytes.push_back(value);
                }
            } else if (status == kSysExStatus || status == kSysExEscapeStatus) {
                runningStatus = 0;
                Append(&event.bytes, VariableLength());
            } else if (status == kMetaStatus) {
                runningStatus = 0;
                const uint8_t type = Byte();
                if (type & kStatusBit)
                    Fail("a meta event of type " + Hex(type));
                event.bytes.push_back(type);
                Append(&event.bytes, VariableLength());
                if (type == kMetaEndOfTrack) {
                    if (mPos != mEnd)
                        Fail("bytes after the end-of-track event");
                    track.endTick = tick;
                    return track;
                }
            } else {
                Fail("the status byte " + Hex(status) + ", which a file cannot hold");
            }
            track.events.push_back(std::move(event));
        }
        throw SmfError(Where() + ": no end-of-track event");
    }

private:
    std::string Where() const { return "track " + std::to_string(mTrackNumber); }

    [[noreturn]] void Fail(const std::string& problem) const
    {
        throw SmfError(Where() + ", event at byte " + std::to_string(mEventStart) + ": "
                       + problem);
    }

    uint8_t Byte()
    {
        if (mPos >= mEnd)
            Fail("the event runs past the end of its track chunk");
        return mData[mPos++];
    }

    uint32_t VariableLength()
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

    void Append(std::vector<uint8_t>* bytes, uint32_t count)
    {
        if (count > mEnd - mPos)
            Fail("the event runs past the end of its track chunk");
        bytes->insert(bytes->end(), mData + mPos, mData + mPos + count);
        mPos += count;
    }

    const uint8_t* mData;
    size_t mPos;
    size_t mEnd;
    int mTrackNumber;
    size_t mEventStart = 0;
};

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

void PutEvent(std::vector<uint8_t>* out, const std::vector<uint8_t>& bytes, uint8_t* runningStatus)
{
    const uint8_t status = bytes.empty() ? 0 : bytes[0];
    if (IsChannelStatus(status)) {
        if (bytes.size() != 1 + ChannelDataSize(status))
            throw SmfError("a channel message " + Hex(status) + " of "
                           + std::to_string(bytes.size()) + " bytes");
        for (size_t i = 1; i < bytes.size(); ++i)
            if (bytes[i] & kStatusBit)
                throw SmfError("a channel message with the data byte " + Hex(bytes[i]));
        if (status != *runningStatus)
            out->push_back(status);
        *runningStatus = status;
        out->insert(out->end(), bytes.begin() + 1, bytes.end());
    } else if (status == kSysExStatus || status == kSysExEscapeStatus) {
        *runningStatus = 0;
        out->push_back(status);
        PutLength(out, bytes.size() - 1);
        out->insert(out->end(), bytes.begin() + 1, bytes.end());
    } else if (status == kMetaStatus && bytes.size() >= 2 && !(bytes[1] & kStatusBit)
               && bytes[1] != kMetaEndOfTrack) {
        *runningStatus = 0;
        out->insert(out->end(), bytes.begin(), bytes.begin() + 2);
        PutLength(out, bytes.size() - 2);
        out->insert(out->end(), bytes.begin() + 2, bytes.end());
    } else {
        throw SmfError(bytes.empty() ? std::string("an empty event")
                                     : "an event with the status byte " + Hex(status)
                                           + " that a track cannot hold");
    }
}

void PutTrack(std::vector<uint8_t>* out, const SmfTrack& track)
{
    std::vector<uint8_t> body;
    int64_t tick = 0;
    uint8_t runningStatus = 0;
    for (const SmfEvent& event : track.events) {
        if (event.tick < tick)
            throw SmfError("an event at tick " + std::to_string(event.tick) + " after tick "
                           + std::to_string(tick));
        PutDelta(&body, event.tick - tick, &runningStatus);
        PutEvent(&body, event.bytes, &runningStatus);
        tick = event.tick;
    }
    PutDelta(&body, track.endTick > tick ? track.endTick - tick : 0, &runningStatus);
    body.insert(body.end(), {kMetaStatus, kMetaEndOfTrack, 0});
    if (body.size() > UINT32_MAX)
        throw SmfError("a track too long for a file");
    out->insert(out->end(), {'M', 'T', 'r', 'k'});
    PutBigEndian(out, static_cast<uint32_t>(body.size()), 4);
    out->insert(out->end(), body.begin(), body.end());
}

}  // namespace

// The header chunk comes first; then the track chunks, among which chunks of other
// kinds are skipped. Anything after the last track the header declares is ignored.
SmfFile ParseSmf(const uint8_t* data, size_t size)
{
    if (size < kChunkHeaderSize || std::string(data, data + 4) != "MThd")
        throw SmfError("not a Standard MIDI File: it does not begin with MThd");
    const uint32_t headerSize = ReadBigEndian(data + 4, 4);
    if (headerSize < kHeaderDataSize)
        throw SmfError("a header chunk of " + std::to_string(headerSize) + " bytes, fewer than 6");
    if (headerSize > size - kChunkHeaderSize)
        throw SmfError("truncated: the header chunk runs past the end of the file");

    SmfFile file;
    file.format = static_cast<uint16_t>(ReadBigEndian(data + 8, 2));
    const uint32_t trackCount = ReadBigEndian(data + 10, 2);
    file.division = static_cast<uint16_t>(ReadBigEndian(data + 12, 2));
    if (file.format > 1)
        throw SmfError("format " + std::to_string(file.format) + " is not supported, only 0 and 1");
    if (file.format == 0 && trackCount != 1)
        throw SmfError("a format 0 file with " + std::to_string(trackCount) + " tracks");
    if (file.division == 0)
        throw SmfError("a division of 0 ticks per quarter note");

    size_t pos = kChunkHeaderSize + headerSize;
    while (file.tracks.size() < trackCount) {
        const int trackNumber = static_cast<int>(file.tracks.size()) + 1;
        if (size - pos < kChunkHeaderSize)
            throw SmfError("truncated: the header declares " + std::to_string(trackCount)
                           + " tracks, the file ends before track " + std::to_string(trackNumber));
        const uint32_t chunkSize = ReadBigEndian(data + pos + 4, 4);
        if (chunkSize > size - pos - kChunkHeaderSize)
            throw SmfError("truncated: the chunk at byte " + std::to_string(pos) + " claims "
                           + std::to_string(chunkSize) + " bytes, past the end of the file");
        const size_t begin = pos + kChunkHeaderSize;
        const size_t end = begin + chunkSize;
        if (std::string(data + pos, data + pos + 4) == "MTrk")
            file.tracks.push_back(TrackReader(data, begin, end, trackNumber).Read());
        pos = end;
    }
    return file;
}

std::vector<uint8_t> WriteSmf(const SmfFile& file)
{
    if (file.format > 1)
        throw SmfError("format " + std::to_string(file.format) + " is not supported, only 0 and 1");
    if (file.format == 0 && file.tracks.size() != 1)
        throw SmfError("a format 0 file with " + std::to_string(file.tracks.size()) + " tracks");
    if (file.tracks.size() > UINT16_MAX)
        throw SmfError("too many tracks for a file");

    std::vector<uint8_t> out = {'M', 'T', 'h', 'd'};
    PutBigEndian(&out, kHeaderDataSize, 4);
    PutBigEndian(&out, file.format, 2);
    PutBigEndian(&out, static_cast<uint32_t>(file.tracks.size()), 2);
    PutBigEndian(&out, file.division, 2);
    for (const SmfTrack& track : file.tracks)
        PutTrack(&out, track);
    return out;
}
