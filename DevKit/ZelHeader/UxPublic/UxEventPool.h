// Event memory for threads that must not touch the heap, such as a live host's
// audio thread.
//
// A host makes a pool outside the audio thread and, for the duration of each call
// into its filters, opens a scope on it:
//
//     UxEventPool pool(4096);                 // when the host is set up
//     ...
//     {                                       // in the audio thread, each cycle
//         const UxEventPoolScope scope(pool);
//         UxEvent* note = new (std::nothrow) UxNoteOn(start, duration, pitch, velocity);
//         UxEvent* chain = note ? filter->HandleEvent(note, &params) : nullptr;
//         ...                                 // use the chain
//         UxEvent::DeleteChain(chain);
//     }
//
// While the scope lives, every event this thread makes (Copy(), and new or
// new (std::nothrow) of any event class) takes one slot of the pool, and nothing
// of it touches the heap or takes a lock. When no slot is free, or the event is
// larger than a slot, Copy() and new (std::nothrow) answer null; a filter treats a
// null copy as the end of its chain. Plain new throws std::bad_alloc then, as it
// does when the heap is exhausted; code in a scope uses new (std::nothrow).
//
// A UxMidiMessage keeps its bytes in a std::vector on the heap, so its Copy()
// answers null in a scope rather than allocate them.
//
// Delete(), DeleteChain() and UxChainPtr give an event's slot back to its pool,
// with or without a scope. A pool is not shared between threads: its events are
// made and released by one thread at a time (the audio thread, say, or the thread
// that sets the host up while the audio thread is stopped).
#pragma once

#include <cstddef>

#include "UxDefs.h"

// A fixed store of event memory, taken when it is made (outside any audio thread):
// `capacity` slots, each with room for any event kind of the host kernel.
class UX_EXPORT UxEventPool {
public:
    // Takes and touches the memory of every slot; throws std::bad_alloc when it
    // cannot.
    explicit UxEventPool(size_t capacity);
    // Every event from the pool should be gone by now. One that is not keeps the
    // pool's memory alive: releasing the last of them frees it.
    ~UxEventPool();

    UxEventPool(const UxEventPool&) = delete;
    UxEventPool& operator=(const UxEventPool&) = delete;

    // How many events the pool can still hand out.
    size_t Available() const;

    // The slots and their bookkeeping; opaque outside the kernel.
    struct Store;

private:
    friend class UxEventPoolScope;
    Store* mStore;
};

// While a scope lives, events this thread makes come from `pool`. Scopes nest: the
// innermost decides, and closing it gives back the one around it. A scope must not
// outlive its pool.
class UX_EXPORT UxEventPoolScope {
public:
    explicit UxEventPoolScope(UxEventPool& pool);
    ~UxEventPoolScope();

    UxEventPoolScope(const UxEventPoolScope&) = delete;
    UxEventPoolScope& operator=(const UxEventPoolScope&) = delete;

    // Whether a scope is open on this thread: a live host is running its filters
    // here, and they must not wait.
    static bool IsOpen() noexcept;

private:
    UxEventPool::Store* mOuter;
};
