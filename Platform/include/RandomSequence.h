// The process has one drand48 generator, shared by every library loaded into it.
// Code that seeds it and then draws values that must follow from that seed holds
// this lock from the seeding to its last draw, so that no other seeding or draw in
// the process comes in between.
#pragma once

#include <atomic>

#include "SupportDefs.h"

// A lock for a critical section of a few hundred nanoseconds that a real-time
// thread may enter: a waiting thread spins instead of sleeping, so taking it makes
// no system call and never waits on a thread that is not running, unless the holder
// was preempted inside its section. Then, after a while spinning, the waiting
// thread yields its processor so that the holder can finish.
// Lockable: std::lock_guard takes it.
class PLATFORM_EXPORT SpinLock {
public:
    constexpr SpinLock() = default;
    SpinLock(const SpinLock&) = delete;
    SpinLock& operator=(const SpinLock&) = delete;

    void lock() noexcept;
    void unlock() noexcept;

private:
    std::atomic<bool> mLocked{false};
};

PLATFORM_EXPORT SpinLock& RandomSequenceLock();
