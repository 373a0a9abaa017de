// Works through one scratch value shared by every filter of the process.
#define FAULTY_NAME "Shared Scratch"
#include "Faulty.h"

#include <atomic>

namespace {
std::atomic<int> gScratch{0};

UxEvent* Answer(UxEvent* event)
{
    if (UxNoteOn* note = Note(event)) {
        gScratch.store(note->Note());
        for (volatile int i = 0; i < 20000; i = i + 1)
            ;
        note->SetVelocity(static_cast<uchar>(gScratch.load()));
    }
    return event;
}
}  // namespace
