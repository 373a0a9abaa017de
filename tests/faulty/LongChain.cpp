// Answers middle C with more echoes than a live host keeps in flight.
#define FAULTY_NAME "Long Chain"
#include "Faulty.h"

namespace {
constexpr int kEchoes = 4200;
constexpr int kMiddleC = 60;

UxEvent* Answer(UxEvent* event)
{
    UxNoteOn* note = Note(event);
    UxEvent* last = note && note->Note() == kMiddleC ? note : nullptr;
    for (int i = 0; last && i < kEchoes; ++i) {
        UxEvent* echo = last->EndTime() < kUxMaxTime ? last->Copy() : nullptr;
        if (!echo)
            break;
        echo->SetStartTime(last->EndTime() + 1);
        last->AppendEvent(echo);
        last = echo;
    }
    return event;
}
}  // namespace
