// Never checks the copy it gets.
#define FAULTY_NAME "Unchecked Copy"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event)) {
        UxEvent* copy = note->Copy();
        copy->SetStartTime(note->EndTime() + 1);
        note->AppendEvent(copy);
    }
    return event;
}
}  // namespace
