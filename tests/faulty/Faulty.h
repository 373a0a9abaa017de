// The skeleton of a filter plug-in with one fault, for the validator's tests. A
// file defines FAULTY_NAME (and FAULTY_CLASS_NAME when it differs), includes this
// and defines Answer: what HandleEvent does.
#pragma once

#include <UxFilterI.h>

#ifndef FAULTY_CLASS_NAME
#define FAULTY_CLASS_NAME FAULTY_NAME
#endif

namespace {

UxEvent* Answer(UxEvent* event);

// The note-on that `event` is, or null.
[[maybe_unused]] UxNoteOn* Note(UxEvent* event)
{
    return event && event->Type() == kUxNoteOnType ? static_cast<UxNoteOn*>(event) : nullptr;
}

// Like the kit's filters, one made without a holder passes every event.
class FaultyFilter final : public UxFilterI {
public:
    FaultyFilter(UxFilterAddOn* addOn, UxFilterHolderI* holder) : UxFilterI(addOn), mHolder(holder) {}
    UxEvent* HandleEvent(UxEvent* event, const ux_filter_params*) override { return mHolder ? Answer(event) : event; }

private:
    UxFilterHolderI* mHolder;
};

class FaultyAddOn final : public UxFilterAddOn {
public:
    using UxFilterAddOn::UxFilterAddOn;
    int32 Version() const override { return 1; }
    const char* Name() const override { return FAULTY_NAME; }
    const char* ClassName() const override { return FAULTY_CLASS_NAME; }
    const char* ShortDescription() const override { return "A filter with one fault"; }
    const char* Author() const override { return "tests"; }
    void GetVersion(int32* major, int32* minor) const override { *major = 1, *minor = 0; }
    type Type() const override { return kTrackFilter; }
    BBitmap* Image(BPoint) const override { return nullptr; }
    UxFilterI* NewInstance(UxFilterHolderI* holder, const BMessage*) override { return new FaultyFilter(this, holder); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) UxFilterAddOn* make_nth_filter(int32 index, void*, const void* cookie)
{
    return index == 0 ? new FaultyAddOn(cookie) : nullptr;
}
