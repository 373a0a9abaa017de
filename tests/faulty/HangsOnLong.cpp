// Never returns for a note of two bars or longer.
#define FAULTY_NAME "Hangs On Long"
#include "Faulty.h"

#include <atomic>

namespace {
std::atomic<bool> gForever{true};

UxEvent* Answer(UxEvent* event)
{
    while (Note(event) && event->Duration() >= 1920 && event->Duration() < 1000000 && gForever.load())
        ;
    return event;
}
}  // namespace
