// Where events get their memory: a thread's current pool, or else the heap.
//
// Every event's memory starts with a header naming the pool it belongs to (null for
// the heap), so that releasing an event finds its way back without asking which
// scope is open. A pool is one block: its bookkeeping, then its slots, each a header
// and room for the largest event kind of the kernel. Free slots are kept on a list
// threaded through their event room, so taking and giving back are a few loads and
// stores: no lock, since a pool serves one thread at a time.
#include "UxEventPool.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <utility>

#include <pthread.h>

#include "EventMemory.h"
#include "UxEvent.h"

namespace {

// Before each event; its size keeps the event aligned as malloc aligns.
struct alignas(std::max_align_t) EventHeader {
    UxEventPool::Store* pool;  // null: the event is on the heap
};

// The room for an event in a slot: the largest kind the kernel defines, so that
// every kind fits; a plug-in's own kind may be larger and then gets no slot.
constexpr size_t kEventRoom = [] {
    const size_t largest = std::max({sizeof(UxNoteOn), sizeof(UxControlChange), sizeof(UxProgramChange),
                                     sizeof(UxPitchBend), sizeof(UxMidiMessage)});
    const size_t align = alignof(std::max_align_t);
    return (largest + align - 1) / align * align;
}();
constexpr size_t kSlotSize = sizeof(EventHeader) + kEventRoom;

// A free slot's event room holds the link to the next free slot.
struct FreeSlot {
    FreeSlot* next;
};

EventHeader* HeaderOf(void* event)
{
    return static_cast<EventHeader*>(event) - 1;
}

}  // namespace

struct UxEventPool::Store {
    FreeSlot* free;
    size_t available;
    size_t capacity;
    bool poolGone;  // the pool was destroyed with events out: the last one frees this

    void* Take(size_t size) noexcept
    {
        if (size > kEventRoom || !free)
            return nullptr;
        FreeSlot* slot = free;
        free = slot->next;
        --available;
        return slot;
    }

    void Give(void* event) noexcept
    {
        auto* slot = static_cast<FreeSlot*>(event);
        slot->next = free;
        free = slot;
        if (++available == capacity && poolGone)
            std::free(this);
    }
};

namespace {

// The pool of the innermost scope open on this thread. The kernel is loaded with
// dlopen by live hosts; with the initial-exec model the variable sits in the
// thread's static block, so its first use in a thread allocates nothing (the
// dynamic model would have the runtime allocate it then).
thread_local UxEventPool::Store* tCurrentPool __attribute__((tls_model("initial-exec"))) = nullptr;

constexpr size_t kStoreSize = (sizeof(UxEventPool::Store) + alignof(std::max_align_t) - 1) / alignof(std::max_align_t)
    * alignof(std::max_align_t);

// Outside a pool, events of the kernel's own kinds come from slabs: blocks of
// slots taken from the heap as a thread needs more and never given back, each
// thread taking and giving back on a free list of its own. A slot given back on
// another thread than the one that took it joins that thread's list. When a thread
// ends, its list goes to one shared list, which a thread that needs more slots
// takes before it asks the heap; the blocks stay listed, so nothing is lost.
constexpr size_t kSlabSlots = 1024;

// The tag in the header of a slab slot.
UxEventPool::Store* const kSlabTag = reinterpret_cast<UxEventPool::Store*>(alignof(std::max_align_t));

struct SlabBlock {
    SlabBlock* next;
};

thread_local FreeSlot* tSlabFree __attribute__((tls_model("initial-exec"))) = nullptr;
std::mutex gSlabMutex;
SlabBlock* gSlabBlocks = nullptr;  // every block, for as long as the process runs
FreeSlot* gOrphanSlots = nullptr;  // the lists of threads that ended
pthread_key_t gSlabKey;

// At a thread's end, while its thread-local variables still stand.
void OrphanSlots(void*)
{
    if (!tSlabFree)
        return;
    FreeSlot* last = tSlabFree;
    while (last->next)
        last = last->next;
    const std::lock_guard<std::mutex> lock(gSlabMutex);
    last->next = gOrphanSlots;
    gOrphanSlots = std::exchange(tSlabFree, nullptr);
}

// Has OrphanSlots called at this thread's end, now that its list holds slots.
// Out of line, like GrowSlab: taking and giving a slot stay a few instructions.
[[gnu::noinline]] void WatchThread() noexcept
{
    static const bool keyMade = pthread_key_create(&gSlabKey, OrphanSlots) == 0;
    if (keyMade)
        pthread_setspecific(gSlabKey, &gSlabKey);
}

// Refills this thread's empty list: the slots of ended threads, else a new block.
[[gnu::noinline]] bool GrowSlab() noexcept
{
    {
        const std::lock_guard<std::mutex> lock(gSlabMutex);
        if (gOrphanSlots) {
            tSlabFree = std::exchange(gOrphanSlots, nullptr);
        } else {
            constexpr size_t kBlockHeader = alignof(std::max_align_t);
            auto* memory = static_cast<unsigned char*>(std::malloc(kBlockHeader + kSlabSlots * kSlotSize));
            if (!memory)
                return false;
            gSlabBlocks = new (memory) SlabBlock{gSlabBlocks};
            for (size_t i = kSlabSlots; i-- > 0;) {
                auto* header = new (memory + kBlockHeader + i * kSlotSize) EventHeader{kSlabTag};
                tSlabFree = new (header + 1) FreeSlot{tSlabFree};
            }
        }
    }
    WatchThread();
    return true;
}

// A slot from this thread's list, once it has grown.
[[gnu::noinline]] void* TakeSlabSlotAfterGrowing() noexcept
{
    if (!GrowSlab())
        return nullptr;
    FreeSlot* slot = tSlabFree;
    tSlabFree = slot->next;
    return slot;
}

void* TakeSlabSlot() noexcept
{
    FreeSlot* slot = tSlabFree;
    if (!slot)
        return TakeSlabSlotAfterGrowing();
    tSlabFree = slot->next;
    return slot;
}

void GiveSlabSlot(void* event) noexcept
{
    const bool wasEmpty = !tSlabFree;
    tSlabFree = new (event) FreeSlot{tSlabFree};
    if (wasEmpty)
        WatchThread();
}

// Memory for an event of `size` bytes: from the current pool, else from a slab or
// the heap. Null when there is none.
void* Allocate(size_t size) noexcept
{
    if (UxEventPool::Store* pool = tCurrentPool)
        return pool->Take(size);
    if (size <= kEventRoom)
        return TakeSlabSlot();
    if (size > SIZE_MAX - sizeof(EventHeader))
        return nullptr;
    auto* header = static_cast<EventHeader*>(std::malloc(sizeof(EventHeader) + size));
    if (!header)
        return nullptr;
    header->pool = nullptr;
    return header + 1;
}

void Release(void* event) noexcept
{
    if (!event)
        return;
    EventHeader* header = HeaderOf(event);
    if (header->pool == kSlabTag)
        GiveSlabSlot(event);
    else if (header->pool)
        header->pool->Give(event);
    else
        std::free(header);
}

UxEventPool::Store* MakeStore(size_t capacity)
{
    using Store = UxEventPool::Store;
    if (capacity > (SIZE_MAX - kStoreSize) / kSlotSize)
        throw std::bad_alloc();
    void* memory = std::malloc(kStoreSize + capacity * kSlotSize);
    if (!memory)
        throw std::bad_alloc();
    auto* store = new (memory) Store{nullptr, capacity, capacity, false};
    // Linked from the last slot to the first, so that the first is taken first.
    // Writing every slot here also brings its pages in before any audio thread
    // needs them.
    auto* slots = static_cast<unsigned char*>(memory) + kStoreSize;
    for (size_t i = capacity; i-- > 0;) {
        auto* header = new (slots + i * kSlotSize) EventHeader{store};
        auto* slot = new (header + 1) FreeSlot{store->free};
        store->free = slot;
    }
    return store;
}

}  // namespace

UxEventPool::UxEventPool(size_t capacity) : mStore(MakeStore(capacity))
{
}

UxEventPool::~UxEventPool()
{
    if (mStore->available == mStore->capacity)
        std::free(mStore);
    else
        mStore->poolGone = true;
}

size_t UxEventPool::Available() const
{
    return mStore->available;
}

UxEventPoolScope::UxEventPoolScope(UxEventPool& pool) : mOuter(tCurrentPool)
{
    tCurrentPool = pool.mStore;
}

UxEventPoolScope::~UxEventPoolScope()
{
    tCurrentPool = mOuter;
}

bool InEventPoolScope() noexcept
{
    return tCurrentPool != nullptr;
}

bool UxEventPoolScope::IsOpen() noexcept
{
    return InEventPoolScope();
}

void* UxEvent::operator new(std::size_t size)
{
    if (void* memory = Allocate(size))
        return memory;
    throw std::bad_alloc();
}

void* UxEvent::operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    return Allocate(size);
}

void UxEvent::operator delete(void* memory, std::size_t)
{
    Release(memory);
}

void UxEvent::operator delete(void* memory, const std::nothrow_t&) noexcept
{
    Release(memory);
}
