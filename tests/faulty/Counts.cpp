// Keeps a count between calls: every other note comes back a semitone higher.
#define FAULTY_NAME "Counts"
#include "Faulty.h"

#include <atomic>

namespace {
std::atomic<int> gCalls{0};

UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event))
        note->SetNote(static_cast<uchar>(note->Note() + (gCalls++ % 2)));
    return event;
}
}  // namespace
