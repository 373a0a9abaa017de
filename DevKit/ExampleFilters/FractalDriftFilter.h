// Fractal Drift: every note-on comes back followed by up to twenty notes whose
// pitches drift by a first-order random recurrence.
#pragma once

#include "AddOnKit.h"

class FractalDriftFilter;

class FractalDriftFilterAddOn final : public KitFilterAddOn<FractalDriftFilterAddOn, FractalDriftFilter> {
public:
    using KitFilterAddOn::KitFilterAddOn;

    static constexpr const char* kName = "Fractal Drift";
    static constexpr const char* kShortDescription =
        "Successive notes constrained to Voss-McCartney 1/f fractal algorithm";
};

class FractalDriftFilter final : public KitFilter<FractalDriftFilterAddOn, FractalDriftFilter> {
public:
    using KitFilter::KitFilter;

    static void BuildChain(UxNoteOn* note);
};

// The pitch recurrence: the next pitch is k times the previous one plus
// sqrt(1 - k^2) times a random whole number 0..99. A value whose integer part lies
// outside 1..128 is thrown away, and a new one is drawn around the seed note.
//
// Its random values come from the process-wide generator; the caller holds a
// RandomSequenceGuard for the VossRand's whole life.
class VossRand {
public:
    // What GetValue answers when no attempt was accepted: 0.0, which no accepted
    // value can be (every accepted value is at least 1).
    static constexpr double kNoValue = 0.0;

    // Reseeds the generator from the clock and keeps `note` as the seed note.
    explicit VossRand(int note);

    // The value of one step from the previous pitch `s` with weight `k`. Its integer
    // part is 1..128; kNoValue when none of 1000 attempts was accepted, which for a
    // MIDI pitch as seed note has a chance below (34/100)^999.
    double GetValue(double s, double k) const;

private:
    int32 firstVal;  // the seed note: every retry starts from it
};
