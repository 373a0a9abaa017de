// Memory whose pages are all resident from the start, for the tables of a live
// instance. The kernel fills the whole mapping at once (MAP_POPULATE); touching it a
// page at a time would take a page fault for each, which costs about ten times as
// much where faults are dear (virtual machines), and instances are made by the
// hundred when a session opens. No cycle meets a page for the first time either way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

class ResidentBlock {
public:
    // Throws std::bad_alloc when the system gives no such block.
    explicit ResidentBlock(size_t bytes);
    ~ResidentBlock();
    ResidentBlock(const ResidentBlock&) = delete;
    ResidentBlock& operator=(const ResidentBlock&) = delete;

    // Where `count` objects of T taken after `used` bytes of a block end: a block's
    // size is that of its tables taken in turn, alignment and all.
    template <class T>
    static constexpr size_t After(size_t used, size_t count)
    {
        return Aligned<T>(used) + count * sizeof(T);
    }

    // `count` value-initialised objects of T from the rest of the block, which the
    // block's size counted (Room). They end with the block, without destructors.
    template <class T>
    T* Take(size_t count)
    {
        static_assert(std::is_trivially_destructible_v<T>, "a block ends without destructors");
        const size_t at = Aligned<T>(mUsed);
        if (at + count * sizeof(T) > mSize)
            throw std::bad_alloc();
        mUsed = at + count * sizeof(T);
        T* first = reinterpret_cast<T*>(mStart + at);
        for (size_t i = 0; i < count; ++i)
            new (first + i) T();
        return first;
    }

private:
    template <class T>
    static constexpr size_t Aligned(size_t used)
    {
        return (used + alignof(T) - 1) / alignof(T) * alignof(T);
    }

    uint8_t* mStart = nullptr;
    size_t mSize = 0;
    size_t mUsed = 0;
};

// A vector of fixed capacity over a block's memory: what a live table needs of
// std::vector, without its allocations.
template <class T>
class FixedVector {
public:
    FixedVector(T* data, size_t capacity) : mData(data), mCapacity(capacity) {}
    size_t size() const { return mSize; }
    size_t capacity() const { return mCapacity; }
    bool empty() const { return mSize == 0; }
    T* begin() { return mData; }
    T* end() { return mData + mSize; }
    T& front() { return mData[0]; }
    T& back() { return mData[mSize - 1]; }
    void push_back(const T& value) { mData[mSize++] = value; }  // callers keep size below capacity
    void pop_back() { --mSize; }
    void clear() { mSize = 0; }
    void erase(T* first, T* last) { mSize -= static_cast<size_t>(last - first); }  // the tail alone

private:
    T* mData;
    size_t mCapacity;
    size_t mSize = 0;
};
