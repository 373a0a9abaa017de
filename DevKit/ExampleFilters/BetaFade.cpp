// Beta Fade answers a note with ten successive notes. Each starts one tick after the
// note before it ends, keeps its duration and velocity, and takes 0.65 times the
// previous pitch plus a random excitation below 0.76, cut to a whole number: the
// pitches fall geometrically towards zero and never rise.
#include "BetaFade.h"

#include <cmath>

#include "RandomSource.h"

namespace {

constexpr int kChainLength = 10;
constexpr double kDecayFactor = 0.65;

// The weight of the random value: sqrt(1 - 0.65^2), 0.7599342076785331.
double ExcitationWeight()
{
    return std::sqrt(1.0 - std::pow(kDecayFactor, 2.0));
}

}  // namespace

UxFilterAddOn* MakeFilterAddOn(const void* cookie)
{
    return new BetaFadeFilterAddOn(cookie);
}

// Each new note is a copy of the note before it; only its start and pitch change.
// A note without duration gets no chain and leaves the generator as it was; any
// other note reseeds it, and its seeding and ten draws run without interruption.
void BetaFadeFilter::BuildChain(UxNoteOn* note)
{
    UxNoteOn* next = CopyNote(note);
    if (!next)
        return;
    if (next->Duration() <= 0) {
        next->Delete();
        return;
    }
    const RandomSequenceGuard sequence;
    SeedRandomFromClock();
    const double excitationWeight = ExcitationWeight();
    UxNoteOn* previous = note;
    for (int step = 1; step <= kChainLength; ++step) {
        const int pitch = previous->Note();
        const double r = DrawRandom();
        // One double operation at a time: the decayed pitch is held before the
        // excitation is added. Below 166.51 for every pitch, so the cut never wraps.
        const double decayed = kDecayFactor * pitch;
        const double excitation = excitationWeight * r;
        const double value = decayed + excitation;
        UxTime start = 0;
        if (!NextStartTime(previous, &start)) {
            next->Delete();
            return;
        }
        next->SetStartTime(start);
        next->SetNote(static_cast<uchar>(static_cast<int>(value)));
        previous->AppendEvent(next);
        previous = next;
        if (step == kChainLength)
            return;
        next = CopyNote(previous);
        if (!next)
            return;
    }
}
