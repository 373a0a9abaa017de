// Counts the heap calls and mutex locks a thread makes, to show that code meant for
// a real-time thread makes none.
//
// Link the object library `call_counter` into a test executable (CMake:
// target_link_libraries(my_tests PRIVATE call_counter)). It defines malloc, calloc,
// realloc, aligned_alloc, posix_memalign, free, the global operator new and delete
// and pthread_mutex_lock in the executable itself and exports them, so every library
// of the process, those loaded later with dlopen included, calls them first; each
// counts the call and forwards it to the function it stands in front of. Every
// plain, array and nothrow form of new and delete is among them. Build such an executable without
// ThreadSanitizer, which must be the first to see mutex locks.
//
//     {
//         const CallCounter counter;          // counts this thread's calls from here
//         ... the code under test ...
//         const CallCounts counts = counter.Counts();
//         EXPECT_EQ(counts.HeapCalls(), 0) << counts;
//         EXPECT_EQ(counts.mutexLocks, 0) << counts;
//     }
//
// Only the calls of the thread that made the counter count; counters nest. Under
// valgrind, which replaces the heap functions wherever they are defined, no heap
// call is counted: check CallCounter::SeesHeapCalls() before expecting any. Read the
// counts before anything else that allocates (a failed expectation does).
#pragma once

#include <ostream>

struct CallCounts {
    long mallocs = 0;
    long callocs = 0;
    long reallocs = 0;
    long alignedAllocs = 0;  // aligned_alloc and posix_memalign
    long frees = 0;
    long news = 0;        // the global operator new, every form
    long deletes = 0;     // the global operator delete, every form
    long mutexLocks = 0;  // pthread_mutex_lock

    long HeapCalls() const { return mallocs + callocs + reallocs + alignedAllocs + frees + news + deletes; }
};

std::ostream& operator<<(std::ostream& out, const CallCounts& counts);

class CallCounter {
public:
    CallCounter();
    ~CallCounter();

    CallCounter(const CallCounter&) = delete;
    CallCounter& operator=(const CallCounter&) = delete;

    // The calls this thread made since the counter was made.
    CallCounts Counts() const;

    // False when something else stands in front of the heap functions in this
    // process (valgrind does): then no heap call is counted. Mutex locks still are.
    static bool SeesHeapCalls();

private:
    CallCounts mStart;
};
