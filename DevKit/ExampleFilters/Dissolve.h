// Dissolve: every note-on comes back followed by a fading echo chain.
#pragma once

#include "AddOnKit.h"

class DissolveFilter;

class DissolveFilterAddOn final : public KitFilterAddOn<DissolveFilterAddOn, DissolveFilter> {
public:
    using KitFilterAddOn::KitFilterAddOn;

    static constexpr const char* kName = "Dissolve";
    static constexpr const char* kShortDescription = "1 a: to become dissipated or decomposed.  1 b: to fade away";
};

class DissolveFilter final : public KitFilter<DissolveFilterAddOn, DissolveFilter> {
public:
    using KitFilter::KitFilter;

    static void BuildChain(UxNoteOn* note);
};
