// Reads through a null pointer for an E held longer than a quarter note.
#define FAULTY_NAME "Reads Null On Long E"
#include "Faulty.h"

namespace {
constexpr int kE = 4;
constexpr UxTime kQuarter = 480;

int* volatile gNowhere = nullptr;

UxEvent* Answer(UxEvent* event)
{
    UxNoteOn* note = Note(event);
    if (note && note->Note() % 12 == kE && note->Duration() > kQuarter && note->Duration() < 100000)
        note->SetVelocity(static_cast<uchar>(*gNowhere));
    return event;
}
}  // namespace
