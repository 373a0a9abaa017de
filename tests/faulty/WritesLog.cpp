// Writes a log line (of nothing) for every note.
#define FAULTY_NAME "Writes Log"
#include "Faulty.h"

#include <unistd.h>

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (Note(event) && write(STDOUT_FILENO, "", 0) < 0)
        return event;
    return event;
}
}  // namespace
