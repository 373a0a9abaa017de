// Beta Fade: every note-on comes back followed by ten notes whose pitches decay
// towards zero.
#pragma once

#include "AddOnKit.h"

class BetaFadeFilter;

class BetaFadeFilterAddOn final : public KitFilterAddOn<BetaFadeFilterAddOn, BetaFadeFilter> {
public:
    using KitFilterAddOn::KitFilterAddOn;

    static constexpr const char* kName = "Beta Fade";
    static constexpr const char* kShortDescription =
        "Successive notes asymptotically approach zero. Simulates radioactive beta decay";
};

class BetaFadeFilter final : public KitFilter<BetaFadeFilterAddOn, BetaFadeFilter> {
public:
    using KitFilter::KitFilter;

    static void BuildChain(UxNoteOn* note);
};
