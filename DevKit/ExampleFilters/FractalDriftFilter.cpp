// Fractal Drift answers a note with up to twenty successive notes. Each starts one
// tick after the note before it ends, keeps its duration and velocity, and takes its
// pitch from the VossRand recurrence, started from the incoming pitch.
#include "FractalDriftFilter.h"

#include <cmath>

#include "RandomSource.h"

namespace {

constexpr int kSteps = 20;
constexpr double kPreviousPitchWeight = 0.6;
constexpr double kDrawScale = 100.0;  // a draw becomes a whole number 0..99
constexpr double kLowestAccepted = 1.0;
constexpr double kAboveHighestAccepted = 129.0;  // 128 is accepted, 129 is not
constexpr int kMaxAttempts = 1000;

}  // namespace

UxFilterAddOn* MakeFilterAddOn(const void* cookie)
{
    return new FractalDriftFilterAddOn(cookie);
}

VossRand::VossRand(int note)
{
    SeedRandomFromClock();
    firstVal = note;
}

// Every attempt takes one draw and is computed one IEEE double operation at a time.
// The first attempt starts from `s` with weight `k`; a rejected attempt is retried
// from the seed note with the usual weight. The bound on attempts keeps a seed note
// that no draw can accept (215 and above) from retrying forever.
double VossRand::GetValue(double s, double k) const
{
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const double r = std::trunc(DrawRandom() * kDrawScale);
        const double excitationWeight = std::sqrt(1.0 - std::pow(k, 2.0));
        const double weightedPrevious = s * k;
        const double weightedDraw = excitationWeight * r;
        const double x = weightedPrevious + weightedDraw;
        // The integer part of x lies in 1..128 exactly when 1 <= x < 129; comparing
        // the double avoids converting a value that fits no integer.
        if (x >= kLowestAccepted && x < kAboveHighestAccepted)
            return x;
        s = firstVal;
        k = kPreviousPitchWeight;
    }
    return kNoValue;
}

// Each new note is a copy of the note before it; only its start and pitch change.
// The generator is reseeded for every note, even one that gets no chain, and the
// seeding and the draws of the note run without interruption.
void FractalDriftFilter::BuildChain(UxNoteOn* note)
{
    UxNoteOn* next = CopyNote(note);
    const RandomSequenceGuard sequence;
    const VossRand recurrence(note->Note());
    UxNoteOn* previous = note;
    for (int step = 1; step <= kSteps && next; ++step) {
        if (next->Duration() <= 0) {
            next->Delete();
            return;
        }
        const double value = recurrence.GetValue(previous->Note(), kPreviousPitchWeight);
        UxTime start = 0;
        if (value == VossRand::kNoValue || !NextStartTime(previous, &start)) {
            next->Delete();
            return;
        }
        next->SetStartTime(start);
        next->SetNote(static_cast<uchar>(static_cast<int32>(value)));
        previous->AppendEvent(next);
        previous = next;
        next = step < kSteps ? CopyNote(previous) : nullptr;
    }
}
