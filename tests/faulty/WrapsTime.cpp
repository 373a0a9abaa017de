// Places an echo at start plus duration, which wraps round near the end of time.
#define FAULTY_NAME "Wraps Time"
#include "Faulty.h"

#include <cstdint>

namespace {
UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event)) {
        if (UxEvent* echo = note->Copy()) {
            echo->SetStartTime(static_cast<UxTime>(static_cast<uint64_t>(note->StartTime())
                                                   + static_cast<uint64_t>(note->Duration())));
            note->AppendEvent(echo);
        }
    }
    return event;
}
}  // namespace
