// The process has one drand48 generator, shared by every library loaded into it.
// Code that seeds it and then draws values that must follow from that seed holds
// this lock from the seeding to its last draw, so that no other seeding or draw in
// the process comes in between.
#pragma once

#include <cstdlib>  // drand48_data

#include <atomic>

#include "SupportDefs.h"

// A lock for a critical section of a few hundred nanoseconds: a waiting thread
// spins instead of sleeping and, after a while spinning, yields its processor so
// that a preempted holder can finish. A real-time thread must not wait at all: it
// asks with try_lock() and goes without when the lock is taken.
// Lockable: std::lock_guard takes it.
class PLATFORM_EXPORT SpinLock {
public:
    constexpr SpinLock() = default;
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void lock() noexcept;
    bool try_lock() noexcept;  // takes it only when it is free, without waiting
    void unlock() noexcept;

private:
    std::atomic<bool> mLocked{false};
};

PLATFORM_EXPORT SpinLock& RandomSequenceLock();

// The generator this thread draws from instead of the process-wide one while it is
// set (null: the process-wide one). A thread that must not wait for the lock sets
// one of its own for the draws of one note. Thread-local in the static TLS block,
// so that reading it in a library loaded with dlopen allocates nothing.
PLATFORM_EXPORT drand48_data*& ThreadRandomSequence() noexcept;
