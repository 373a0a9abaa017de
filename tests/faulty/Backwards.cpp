// Appends two echoes, the second before the first.
#define FAULTY_NAME "Backwards"
#include "Faulty.h"

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event)) {
        UxEvent* late = note->Copy();
        UxEvent* early = note->Copy();
        if (late && early) {
            late->SetStartTime(note->StartTime() + 20);
            early->SetStartTime(note->StartTime() + 10);
            late->AppendEvent(early);
            note->AppendEvent(late);
        }
    }
    return event;
}
}  // namespace
