// Dissolve answers a note with an echo chain. Each echo starts one tick after the
// note before it ends, lasts three quarters as long, sounds at four fifths of its
// velocity and one semitone lower. The chain stops once the note last added is
// shorter than a fourteenth of the incoming note, which bounds it at ten echoes.
#include "Dissolve.h"

namespace {

constexpr UxTime kThresholdDivisor = 14;
constexpr double kVelocityFactor = 0.8;
constexpr uchar kLowestPitch = 0;

// Three quarters of a positive duration, rounded down, exact for every UxTime.
// With d = 4q + r, 3d/4 = 3q + 3r/4: no product can overflow.
UxTime ThreeQuarters(UxTime duration)
{
    const uint64 d = static_cast<uint64>(duration);
    return static_cast<UxTime>((d / 4) * 3 + (d % 4) * 3 / 4);
}

// Four fifths of a velocity, rounded down.
uchar FourFifths(uchar velocity)
{
    return static_cast<uchar>(velocity * kVelocityFactor);
}

}  // namespace

UxFilterAddOn* MakeFilterAddOn(const void* cookie)
{
    return new DissolveFilterAddOn(cookie);
}

// Each echo is a copy of the note before it, so whatever the host's copy carries
// (channel and the like) stays; only duration, start, velocity and pitch change.
// The copy is made once the note before is known to have an echo, so that none is
// made only to be released.
void DissolveFilter::BuildChain(UxNoteOn* note)
{
    const UxTime threshold = note->Duration() / kThresholdDivisor;
    UxNoteOn* previous = note;
    for (;;) {
        const UxTime duration = previous->Duration();
        UxTime start = 0;
        // No echo below the threshold or without duration; none below the lowest
        // key, and none after a note that ends on the last tick there is.
        if (duration < threshold || duration <= 0 || previous->Note() == kLowestPitch
            || !NextStartTime(previous, &start))
            return;
        UxNoteOn* next = CopyNote(previous);
        if (!next)
            return;
        next->SetDuration(ThreeQuarters(duration));
        next->SetStartTime(start);
        next->SetVelocity(FourFifths(previous->Velocity()));
        next->SetNote(static_cast<uchar>(previous->Note() - 1));
        previous->AppendEvent(next);
        previous = next;
    }
}
