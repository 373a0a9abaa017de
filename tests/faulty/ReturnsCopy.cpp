// Answers with a copy of the note instead of the note.
#define FAULTY_NAME "Returns Copy"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (!Note(event))
        return event;
    UxEvent* copy = event->Copy();
    event->Delete();
    return copy;
}
}  // namespace
