// Throws for every note.
#define FAULTY_NAME "Throws"
#include "Faulty.h"

#include <stdexcept>

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (Note(event))
        throw std::runtime_error("no echo today");
    return event;
}
}  // namespace
