// Throws for a soft F sharp (velocity below 50) and passes every other note.
#define FAULTY_NAME "Throws On Soft F Sharp"
#include "Faulty.h"

#include <stdexcept>

namespace {
constexpr int kFSharp = 6;

UxEvent* Answer(UxEvent* event)
{
    const UxNoteOn* note = Note(event);
    if (note && note->Note() % 12 == kFSharp && note->Velocity() < 50)
        throw std::runtime_error("too soft");
    return event;
}
}  // namespace
