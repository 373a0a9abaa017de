// The host kernel library: reference counting, events and the default bodies of
// the filter interface.
#include <UxFilterI.h>

#include <new>

#include "EventMemory.h"

// ---- Reference counting ----

void ZelRefable::AddReference(ZelBaseRef*) const
{
    mReferences.fetch_add(1, std::memory_order_relaxed);
}

void ZelRefable::RemReference(ZelBaseRef*) const
{
    // The last release destroys; acq_rel orders every earlier use before it.
    if (mReferences.fetch_sub(1, std::memory_order_acq_rel) == 1)
        const_cast<ZelRefable*>(this)->Delete();
}

ZelRefable::~ZelRefable() = default;

void ZelRefable::Delete()
{
    delete this;
}

// ---- Events ----
//
// Their memory comes from UxEventPool.cpp.

UxEvent::~UxEvent() = default;

void UxEvent::AppendEvent(UxEvent* event)
{
    if (!event)
        return;
    UxEvent* tail = event;
    while (tail->mNext)
        tail = tail->mNext;
    tail->mNext = mNext;
    mNext = event;
}

UxEvent* UxEvent::UnlinkNext()
{
    UxEvent* rest = mNext;
    mNext = nullptr;
    return rest;
}

void UxEvent::DeleteChain(UxEvent* head)
{
    while (head) {
        UxEvent* next = head->mNext;
        head->mNext = nullptr;
        head->Delete();
        head = next;
    }
}

// An event class's destructor, its type, and a copy that is null when memory
// runs out.
#define UX_EVENT_CLASS(Class, typeCode)                                                                                \
    Class::~Class() = default;                                                                                         \
    int32 Class::Type() const                                                                                          \
    {                                                                                                                  \
        return typeCode;                                                                                               \
    }                                                                                                                  \
    UxEvent* Class::Copy() const                                                                                       \
    {                                                                                                                  \
        return new (std::nothrow) Class(*this);                                                                        \
    }

UX_EVENT_CLASS(UxNoteOn, kUxNoteOnType)
UX_EVENT_CLASS(UxControlChange, kUxControlChangeType)
UX_EVENT_CLASS(UxProgramChange, kUxProgramChangeType)
UX_EVENT_CLASS(UxPitchBend, kUxPitchBendType)

UxMidiMessage::~UxMidiMessage() = default;
int32 UxMidiMessage::Type() const
{
    return kUxMidiMessageType;
}

// The bytes of a copy need the heap, which is off limits in a pool's scope.
UxEvent* UxMidiMessage::Copy() const
{
    if (InEventPoolScope())
        return nullptr;
    try {
        return new (std::nothrow) UxMidiMessage(*this);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

// ---- Filters and add-ons ----

UxFilterHolderI::~UxFilterHolderI() = default;
UxInstrumentI::~UxInstrumentI() = default;

UxFilterAddOn::~UxFilterAddOn() = default;

const char* UxFilterAddOn::ClassNameForType(type filterType) const
{
    return filterType == Type() ? ClassName() : nullptr;
}

status_t UxFilterAddOn::GetArchiveTemplate(BMessage*, uint32) const
{
    return B_NAME_NOT_FOUND;
}

status_t UxFilterAddOn::CheckInstantiation(const BMessage*) const
{
    return B_OK;
}

status_t ZelConfigurableI::GetConfiguration(BMessage*) const
{
    return B_OK;
}
status_t ZelConfigurableI::PutConfiguration(const BMessage*)
{
    return B_OK;
}
int32 ZelConfigurableI::Configure(ZelVector<BView*>&)
{
    return 0;
}
ZelConfigurableI::~ZelConfigurableI() = default;
status_t ZelConfigurableI::GetNextConfiguration(BMessage*) const
{
    return B_NAME_NOT_FOUND;
}

UxFilterI::UxFilterI(UxFilterAddOn* addOn) : mFilterAddOn(addOn)
{
}
UxFilterI::~UxFilterI() = default;

BView* UxFilterI::NewEditView(BPoint) const
{
    return nullptr;
}

status_t UxFilterI::GetToolTipText(BString* text) const
{
    if (!text || !AddOn())
        return B_BAD_VALUE;
    text->SetTo(AddOn()->Name());
    return B_OK;
}

BBitmap* UxFilterI::Image(BPoint where) const
{
    return AddOn() ? AddOn()->Image(where) : nullptr;
}

bool UxFilterI::MouseAction(BRect, BPoint, uint32, bool)
{
    return false;
}
ZelCRef<UxInstrumentI> UxFilterI::Instrument() const
{
    return {};
}
int32 UxFilterI::HintChannel() const
{
    return -1;
}
void UxFilterI::StartSection(UxTime, UxTime, const ux_filter_params*)
{
}
void UxFilterI::FinishSection(UxTime, UxTime, const ux_filter_params*)
{
}
void UxFilterI::Stop()
{
}

UxEvent* UxFilterI::InteractiveEvent(UxEvent* event, const ux_filter_params* params)
{
    return HandleEvent(event, params);
}

UxEvent* UxFilterI::RealtimeEvent(UxEvent* event, const ux_filter_params* params)
{
    return HandleEvent(event, params);
}
