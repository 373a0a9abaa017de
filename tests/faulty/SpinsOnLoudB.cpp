// Never returns for a loud B (velocity 100 or more), keeping the processor.
#define FAULTY_NAME "Spins On Loud B"
#include "Faulty.h"

#include <atomic>

namespace {
constexpr int kB = 11;
std::atomic<bool> gForever{true};

UxEvent* Answer(UxEvent* event)
{
    const UxNoteOn* note = Note(event);
    while (note && note->Note() % 12 == kB && note->Velocity() >= 100 && note->Velocity() <= 127 && gForever.load())
        ;
    return event;
}
}  // namespace
