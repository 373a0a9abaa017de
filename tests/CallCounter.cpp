// The counting stand-ins for the heap functions, operator new and delete and
// pthread_mutex_lock. Each finds the function it stands in front of with
// dlsym(RTLD_NEXT) on its first call (the C library's, or a sanitizer's or
// valgrind's that stands in front of that).
#include "CallCounter.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <new>

namespace {

// This thread's calls, counted while at least one counter lives on it. Plain
// thread-local data of the executable: reading it allocates nothing.
thread_local int tCounterDepth = 0;
thread_local CallCounts tTotals;

void Count(long CallCounts::*which)
{
    if (tCounterDepth > 0)
        ++(tTotals.*which);
}

// dlsym may itself allocate and free; while this thread looks the functions up, what
// it asks for comes from a small static arena that is never given back, and what
// it frees waits until free is known.
thread_local bool tLookingUp = false;
alignas(std::max_align_t) unsigned char gArena[16384];
std::atomic<size_t> gArenaUsed{0};
thread_local void* tDeferredFrees[16];
thread_local int tDeferredFreeCount = 0;

bool InArena(const void* memory)
{
    const auto* byte = static_cast<const unsigned char*>(memory);
    return byte >= gArena && byte < gArena + sizeof gArena;
}

void* ArenaAllocate(size_t size)
{
    const size_t rounded = (size + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
    const size_t offset = gArenaUsed.fetch_add(rounded);
    return offset + rounded <= sizeof gArena ? gArena + offset : nullptr;
}

using MallocFunction = void* (*)(size_t);
using CallocFunction = void* (*)(size_t, size_t);
using ReallocFunction = void* (*)(void*, size_t);
using AlignedAllocFunction = void* (*)(size_t, size_t);
using PosixMemalignFunction = int (*)(void**, size_t, size_t);
using FreeFunction = void (*)(void*);
using MutexLockFunction = int (*)(pthread_mutex_t*);

std::atomic<MallocFunction> gMalloc{nullptr};
std::atomic<CallocFunction> gCalloc{nullptr};
std::atomic<ReallocFunction> gRealloc{nullptr};
std::atomic<AlignedAllocFunction> gAlignedAlloc{nullptr};
std::atomic<PosixMemalignFunction> gPosixMemalign{nullptr};
std::atomic<FreeFunction> gFree{nullptr};
std::atomic<MutexLockFunction> gMutexLock{nullptr};
std::atomic<bool> gResolved{false};

template <class Function>
void Resolve(std::atomic<Function>& next, const char* name)
{
    next.store(reinterpret_cast<Function>(dlsym(RTLD_NEXT, name)), std::memory_order_relaxed);
}

// Looks up every function the stand-ins forward to, all at once, so that a lookup
// never needs one that is not known yet. Threads that race here find the same.
void ResolveAll()
{
    tLookingUp = true;
    Resolve(gFree, "free");
    Resolve(gMalloc, "malloc");
    Resolve(gCalloc, "calloc");
    Resolve(gRealloc, "realloc");
    Resolve(gAlignedAlloc, "aligned_alloc");
    Resolve(gPosixMemalign, "posix_memalign");
    Resolve(gMutexLock, "pthread_mutex_lock");
    tLookingUp = false;
    gResolved.store(true, std::memory_order_release);
    for (int i = 0; i < tDeferredFreeCount; ++i)
        gFree.load(std::memory_order_relaxed)(tDeferredFrees[i]);
    tDeferredFreeCount = 0;
}

template <class Function>
Function Next(std::atomic<Function>& next)
{
    if (!gResolved.load(std::memory_order_acquire))
        ResolveAll();
    return next.load(std::memory_order_relaxed);
}

void* NextMalloc(size_t size)
{
    if (tLookingUp)
        return ArenaAllocate(size);
    return Next(gMalloc)(size);
}

void NextFree(void* memory)
{
    if (!memory || InArena(memory))
        return;
    if (tLookingUp) {
        if (tDeferredFreeCount < static_cast<int>(std::size(tDeferredFrees)))
            tDeferredFrees[tDeferredFreeCount++] = memory;
        return;
    }
    Next(gFree)(memory);
}

}  // namespace

std::ostream& operator<<(std::ostream& out, const CallCounts& counts)
{
    return out << "malloc " << counts.mallocs << ", calloc " << counts.callocs << ", realloc " << counts.reallocs
               << ", aligned " << counts.alignedAllocs << ", free " << counts.frees << ", new " << counts.news
               << ", delete " << counts.deletes << ", pthread_mutex_lock " << counts.mutexLocks;
}

CallCounter::CallCounter() : mStart(tTotals)
{
    ++tCounterDepth;
}

CallCounter::~CallCounter()
{
    --tCounterDepth;
}

CallCounts CallCounter::Counts() const
{
    const CallCounts now = tTotals;
    CallCounts counts;
    counts.mallocs = now.mallocs - mStart.mallocs;
    counts.callocs = now.callocs - mStart.callocs;
    counts.reallocs = now.reallocs - mStart.reallocs;
    counts.alignedAllocs = now.alignedAllocs - mStart.alignedAllocs;
    counts.frees = now.frees - mStart.frees;
    counts.news = now.news - mStart.news;
    counts.deletes = now.deletes - mStart.deletes;
    counts.mutexLocks = now.mutexLocks - mStart.mutexLocks;
    return counts;
}

bool CallCounter::SeesHeapCalls()
{
    const CallCounter probe;
    // Through a volatile pointer, so that the compiler cannot drop the pair.
    void* (*volatile allocate)(size_t) = &malloc;
    free(allocate(1));
    return probe.Counts().mallocs == 1;
}

extern "C" {

void* malloc(size_t size)
{
    Count(&CallCounts::mallocs);
    return NextMalloc(size);
}

void* calloc(size_t count, size_t size)
{
    Count(&CallCounts::callocs);
    if (tLookingUp) {
        if (size && count > SIZE_MAX / size)
            return nullptr;
        return ArenaAllocate(count * size);  // static memory starts zeroed
    }
    return Next(gCalloc)(count, size);
}

void* realloc(void* memory, size_t size)
{
    Count(&CallCounts::reallocs);
    if (tLookingUp && !InArena(memory))
        return nullptr;  // its size is unknown here; the block stays as it was
    if (InArena(memory)) {
        // The arena does not know the old size; it holds at most the rest of it.
        void* moved = NextMalloc(size);
        const size_t room = static_cast<size_t>(gArena + sizeof gArena - static_cast<unsigned char*>(memory));
        if (moved)
            std::memcpy(moved, memory, size < room ? size : room);
        return moved;
    }
    return Next(gRealloc)(memory, size);
}

void* aligned_alloc(size_t alignment, size_t size)
{
    Count(&CallCounts::alignedAllocs);
    if (tLookingUp)
        return nullptr;
    return Next(gAlignedAlloc)(alignment, size);
}

int posix_memalign(void** memory, size_t alignment, size_t size)
{
    Count(&CallCounts::alignedAllocs);
    if (tLookingUp)
        return ENOMEM;
    return Next(gPosixMemalign)(memory, alignment, size);
}

void free(void* memory)
{
    Count(&CallCounts::frees);
    NextFree(memory);
}

int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept
{
    Count(&CallCounts::mutexLocks);
    return Next(gMutexLock)(mutex);
}

}  // extern "C"

// The replaceable global forms. Every plain, array and nothrow form is defined here,
// so that no memory is taken by one allocator (a sanitizer's, say) and given back
// to another; the aligned forms call aligned_alloc and free.
void* operator new(std::size_t size)
{
    Count(&CallCounts::news);
    if (void* memory = NextMalloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size)
{
    return operator new(size);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    Count(&CallCounts::news);
    return NextMalloc(size ? size : 1);
}

void* operator new[](std::size_t size, const std::nothrow_t& nothrow) noexcept
{
    return operator new(size, nothrow);
}

void operator delete[](void* memory) noexcept
{
    operator delete(memory);
}

void operator delete[](void* memory, std::size_t) noexcept
{
    operator delete(memory);
}

void operator delete(void* memory, const std::nothrow_t&) noexcept
{
    operator delete(memory);
}

void operator delete[](void* memory, const std::nothrow_t&) noexcept
{
    operator delete(memory);
}

void operator delete(void* memory) noexcept
{
    Count(&CallCounts::deletes);
    NextFree(memory);
}

void operator delete(void* memory, std::size_t) noexcept
{
    Count(&CallCounts::deletes);
    NextFree(memory);
}
