// Fifth Fade: every note-on comes back with the fifth and the octave above it,
// struck together with it, each softer than the voice below.
#pragma once

#include <AddOnKit.h>

class FifthFadeFilter;

class FifthFadeFilterAddOn final : public KitFilterAddOn<FifthFadeFilterAddOn, FifthFadeFilter> {
public:
    using KitFilterAddOn::KitFilterAddOn;

    static constexpr const char* kName = "Fifth Fade";
    static constexpr const char* kShortDescription =
        "Doubles every note a fifth and an octave above, each voice softer than the one below";
    static constexpr const char* kAuthor = "Your Name";
    static constexpr int32 kVersion = 20260301;  // this release's date
    static constexpr const char* kUriPrefix = "urn:example:";
};

class FifthFadeFilter final : public KitFilter<FifthFadeFilterAddOn, FifthFadeFilter> {
public:
    using KitFilter::KitFilter;

    static void BuildChain(UxNoteOn* note);
};
