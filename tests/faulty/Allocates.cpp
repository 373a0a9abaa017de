// Takes scratch memory from the heap for every note.
#define FAULTY_NAME "Allocates"
#include "Faulty.h"

#include <vector>

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (Note(event)) {
        std::vector<int> scratch(16);
        event->SetDuration(event->Duration() + scratch[0]);
    }
    return event;
}
}  // namespace
