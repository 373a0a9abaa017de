// Fifth Fade answers a note with an open chord built on it: the note a perfect
// fifth above and the note an octave above, starting with it and lasting as long,
// each at two thirds of the velocity of the voice below it. A voice that would lie
// above the highest key, or would be silent, is left out with every voice above it.
#include "FifthFade.h"

namespace {

constexpr int kPerfectFifth = 7;  // semitones
constexpr int kOctave = 12;
constexpr int kVoiceIntervals[] = {kPerfectFifth, kOctave};  // above the incoming note, in order
constexpr int kHighestPitch = 127;

// Two thirds of a velocity, rounded down.
int TwoThirds(int velocity)
{
    return velocity * 2 / 3;
}

}  // namespace

UxFilterAddOn* MakeFilterAddOn(const void* cookie)
{
    return new FifthFadeFilterAddOn(cookie);
}

// Each voice is a copy of the one below it, so whatever the host's copy carries
// (start, duration, channel and the like) stays; only pitch and velocity change.
void FifthFadeFilter::BuildChain(UxNoteOn* note)
{
    UxNoteOn* below = note;
    for (const int interval : kVoiceIntervals) {
        const int pitch = note->Note() + interval;
        const int velocity = TwoThirds(below->Velocity());
        if (pitch > kHighestPitch || velocity == 0)
            return;
        UxNoteOn* voice = CopyNote(below);
        if (!voice)
            return;
        voice->SetNote(static_cast<uchar>(pitch));
        voice->SetVelocity(static_cast<uchar>(velocity));
        below->AppendEvent(voice);
        below = voice;
    }
}
