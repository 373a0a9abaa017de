// Little-endian reading and writing for the platform's file formats. The reader
// never goes past the end of its buffer: a read that does not fit fails and leaves
// the reader where it was.
#pragma once

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "SupportDefs.h"

class ByteReader {
public:
    ByteReader(const void* data, size_t size) : mData(static_cast<const uint8*>(data)), mSize(size) {}

    size_t Position() const { return mPosition; }
    size_t Remaining() const { return mSize - mPosition; }
    const uint8* Here() const { return mData + mPosition; }

    bool Skip(size_t count)
    {
        if (count > Remaining())
            return false;
        mPosition += count;
        return true;
    }
    bool Read8(uint8* value) { return ReadLittle(value, 1); }
    bool Read16(uint16* value) { return ReadLittle(value, 2); }
    bool Read32(uint32* value) { return ReadLittle(value, 4); }
    bool ReadSigned32(int32* value)
    {
        uint32 raw = 0;
        if (!Read32(&raw))
            return false;
        *value = static_cast<int32>(raw);
        return true;
    }
    bool ReadBytes(size_t count, const uint8** bytes)
    {
        if (count > Remaining())
            return false;
        *bytes = Here();
        mPosition += count;
        return true;
    }

    // Reads a little-endian number of `width` bytes (at most eight).
    template <class T>
    bool ReadLittle(T* value, size_t width)
    {
        if (width > Remaining())
            return false;
        uint64 result = 0;
        for (size_t i = 0; i < width; ++i)
            result |= static_cast<uint64>(mData[mPosition + i]) << (8 * i);
        *value = static_cast<T>(result);
        mPosition += width;
        return true;
    }

private:
    const uint8* mData;
    size_t mSize;
    size_t mPosition = 0;
};

class ByteWriter {
public:
    void Write8(uint8 value) { mBytes.push_back(value); }
    void Write16(uint16 value) { WriteLittle(value, 2); }
    void Write32(uint32 value) { WriteLittle(value, 4); }
    void WriteBytes(const void* data, size_t size)
    {
        const auto* bytes = static_cast<const uint8*>(data);
        mBytes.insert(mBytes.end(), bytes, bytes + size);
    }
    void WriteZeros(size_t count) { mBytes.insert(mBytes.end(), count, 0); }

    size_t Size() const { return mBytes.size(); }
    std::vector<uint8>& Bytes() { return mBytes; }

private:
    void WriteLittle(uint64 value, size_t width)
    {
        for (size_t i = 0; i < width; ++i)
            mBytes.push_back(static_cast<uint8>(value >> (8 * i)));
    }

    std::vector<uint8> mBytes;
};

// The sum, modulo 2 to the 32nd, of `size` bytes read as big-endian 32-bit words;
// a final incomplete word counts as the number its remaining bytes form.
inline uint32 BigEndianWordSum(const uint8* data, size_t size)
{
    uint32 sum = 0;
    size_t i = 0;
    for (; i + 4 <= size; i += 4)
        sum += static_cast<uint32>(data[i]) << 24 | static_cast<uint32>(data[i + 1]) << 16
            | static_cast<uint32>(data[i + 2]) << 8 | static_cast<uint32>(data[i + 3]);
    uint32 tail = 0;
    for (; i < size; ++i)
        tail = tail << 8 | data[i];
    return sum + tail;
}
