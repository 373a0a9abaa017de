// Appends a copy behind events that are no note.
#define FAULTY_NAME "Gate Leaks"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (event && !Note(event))
        event->AppendEvent(event->Copy());
    return event;
}
}  // namespace
