// Sleeps a microsecond for every note.
#define FAULTY_NAME "Sleeps"
#include "Faulty.h"

#include <unistd.h>

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (Note(event))
        usleep(1);
    return event;
}
}  // namespace
