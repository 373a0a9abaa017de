// Copies every note and forgets the copy.
#define FAULTY_NAME "Leaks Copy"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event))
        (void)note->Copy();
    return event;
}
}  // namespace
