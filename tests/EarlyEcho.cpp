// A plug-in that breaks the host's rule that no event of a chain starts before the
// event it answers: it echoes every note ten ticks early.
#include <UxFilterI.h>

namespace {

constexpr UxTime kEarlier = 10;

class EarlyEchoFilter : public UxFilterI {
public:
    using UxFilterI::UxFilterI;

    UxEvent* HandleEvent(UxEvent* event, const ux_filter_params*) override
    {
        if (event && event->Type() == kUxNoteOnType && event->StartTime() >= kEarlier) {
            UxEvent* echo = event->Copy();
            echo->SetStartTime(event->StartTime() - kEarlier);
            event->AppendEvent(echo);
        }
        return event;
    }
};

class EarlyEchoAddOn : public UxFilterAddOn {
public:
    using UxFilterAddOn::UxFilterAddOn;

    int32 Version() const override { return 1; }
    const char* Name() const override { return "Early Echo"; }
    const char* ClassName() const override { return "EarlyEcho"; }
    const char* ShortDescription() const override { return "Echoes each note before it"; }
    const char* Author() const override { return "tests"; }
    void GetVersion(int32* major, int32* minor) const override
    {
        *major = 1;
        *minor = 0;
    }
    type Type() const override { return kTrackFilter; }
    BBitmap* Image(BPoint) const override { return nullptr; }
    UxFilterI* NewInstance(UxFilterHolderI*, const BMessage*) override { return new EarlyEchoFilter(this); }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) UxFilterAddOn* make_nth_filter(int32 index, void*, const void* cookie)
{
    return index == 0 ? new EarlyEchoAddOn(cookie) : nullptr;
}
