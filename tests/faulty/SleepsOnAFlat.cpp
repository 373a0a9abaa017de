// Sleeps 300 ms, without the processor, for every A flat.
#define FAULTY_NAME "Sleeps On A Flat"
#include "Faulty.h"

#include <unistd.h>

namespace {
constexpr int kAFlat = 8;

UxEvent* Answer(UxEvent* event)
{
    const UxNoteOn* note = Note(event);
    if (note && note->Note() % 12 == kAFlat)
        usleep(300000);
    return event;
}
}  // namespace
