// Crashes on the first note it is handed, the way UX_CRASH says: "segv" (a write
// through a null pointer, the default), "overflow" (a stack overflow), "fpe" (a
// division by zero), "ill" (a trap), "abort", or "bus" (the signal raised).
#define FAULTY_NAME "CrashesOnNote"
#include "Faulty.h"

#include <signal.h>

#include <cstdlib>
#include <cstring>

// Its faults are meant: a sanitizer's checks would stop them before the signal.
#define UX_UNCHECKED __attribute__((no_sanitize("address", "undefined")))

namespace {

// Each frame holds a page the compiler cannot drop, until the stack runs out.
UX_UNCHECKED int Deeper(int depth)
{
    volatile char page[4096];
    page[0] = static_cast<char>(depth);
    if (depth < 0)
        return 0;
    return Deeper(depth + 1) + page[0];
}

UX_UNCHECKED UxEvent* Answer(UxEvent* event)
{
    if (!Note(event))
        return event;
    const char* how = std::getenv("UX_CRASH");
    how = how ? how : "segv";
    if (std::strcmp(how, "overflow") == 0) {
        event->SetStartTime(Deeper(0));
    } else if (std::strcmp(how, "fpe") == 0) {
        volatile int zero = 0;
        event->SetStartTime(event->StartTime() / zero);
    } else if (std::strcmp(how, "ill") == 0) {
        __builtin_trap();
    } else if (std::strcmp(how, "abort") == 0) {
        std::abort();
    } else if (std::strcmp(how, "bus") == 0) {
        raise(SIGBUS);
    } else {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    }
    return event;
}

}  // namespace
