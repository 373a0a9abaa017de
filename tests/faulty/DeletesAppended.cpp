// Deletes a copy it already appended: the host then releases it twice.
#define FAULTY_NAME "Deletes Appended"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event)) {
        if (UxEvent* copy = note->Copy()) {
            note->AppendEvent(copy);
            copy->Delete();
        }
    }
    return event;
}
}  // namespace
