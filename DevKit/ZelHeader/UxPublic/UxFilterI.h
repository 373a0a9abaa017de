// The host's filter interface: what a filter plug-in implements and what it may
// rely on. A plug-in library exports one function, make_nth_filter, that hands the
// host the library's add-on; the add-on describes the filter and makes instances
// of it; each instance answers events one at a time with chains of events.
#pragma once

#include <Bitmap.h>
#include <Message.h>
#include <Point.h>
#include <Rect.h>
#include <String.h>
#include <View.h>

#include "UxEvent.h"
#include "ZelRefable.h"
#include "ZelVector.h"

class UxFilterI;

// The host's holder of one filter in a pipeline. Filters only store it.
class UX_EXPORT UxFilterHolderI {
public:
    virtual ~UxFilterHolderI();
};

// Per-call parameters of the host. Filters of this kit never read them.
struct ux_filter_params {
    UxTime sectionStart = 0;
    UxTime sectionEnd = 0;
};

// An instrument a filter may play to. Filters of this kit name none.
class UX_EXPORT UxInstrumentI : public ZelRefable {
public:
    ~UxInstrumentI() override;
};

// A plug-in's description of its filter, and the maker of its instances.
class UX_EXPORT UxFilterAddOn : public ZelRefable {
public:
    enum type {
        kTrackFilter = 0,  // sits in a track's pipeline
    };

    // `cookie` is the opaque value the host passed to make_nth_filter.
    explicit UxFilterAddOn(const void* cookie) : mCookie(cookie) {}
    ~UxFilterAddOn() override;

    virtual int32 Version() const = 0;
    virtual const char* Name() const = 0;
    virtual const char* ClassName() const = 0;
    virtual const char* ShortDescription() const = 0;
    virtual const char* Author() const = 0;
    virtual void GetVersion(int32* major, int32* minor) const = 0;
    virtual type Type() const = 0;
    // The class name that makes filters of `filterType`: this add-on's own for its type.
    virtual const char* ClassNameForType(type filterType) const;
    // A new picture of the add-on that the caller owns, or null.
    virtual BBitmap* Image(BPoint where) const = 0;
    // Fills `archive` with a configuration template; the default offers none.
    virtual status_t GetArchiveTemplate(BMessage* archive, uint32 flags) const;
    // Whether a filter can be made from `config`; the default accepts any.
    virtual status_t CheckInstantiation(const BMessage* config) const;
    // A new filter that the caller owns.
    virtual UxFilterI* NewInstance(UxFilterHolderI* holder, const BMessage* config) = 0;

    const void* Cookie() const { return mCookie; }

private:
    const void* mCookie;
};

// Something that can be configured through messages and views.
class UX_EXPORT ZelConfigurableI {
public:
    virtual status_t GetConfiguration(BMessage* config) const;
    virtual status_t PutConfiguration(const BMessage* config);
    // Adds the views that configure this object; returns how many it added.
    virtual int32 Configure(ZelVector<BView*>& views);
    virtual ~ZelConfigurableI();
    virtual status_t GetNextConfiguration(BMessage* config) const;
};

// One filter in a pipeline. It holds a counted reference to its add-on for its
// whole life. HandleEvent gets one event and returns the chain that answers it;
// the host owns that chain.
class UX_EXPORT UxFilterI : public ZelConfigurableI {
public:
    explicit UxFilterI(UxFilterAddOn* addOn);
    UxFilterI(const UxFilterI&) = delete;
    UxFilterI& operator=(const UxFilterI&) = delete;
    ~UxFilterI() override;

    virtual BView* NewEditView(BPoint where) const;
    virtual status_t GetToolTipText(BString* text) const;
    virtual BBitmap* Image(BPoint where) const;
    virtual bool MouseAction(BRect frame, BPoint where, uint32 buttons, bool pressed);
    virtual ZelCRef<UxInstrumentI> Instrument() const;
    // The channel the filter prefers, or -1 for none.
    virtual int32 HintChannel() const;
    virtual void StartSection(UxTime start, UxTime end, const ux_filter_params* params);
    virtual void FinishSection(UxTime start, UxTime end, const ux_filter_params* params);
    virtual void Stop();
    virtual UxEvent* HandleEvent(UxEvent* event, const ux_filter_params* params) = 0;
    // Events played live; by default handled like any other.
    virtual UxEvent* InteractiveEvent(UxEvent* event, const ux_filter_params* params);
    virtual UxEvent* RealtimeEvent(UxEvent* event, const ux_filter_params* params);

    UxFilterAddOn* AddOn() const { return mFilterAddOn.Get(); }

private:
    ZelCRef<UxFilterAddOn> mFilterAddOn;
};

// The entry point every filter plug-in exports under this unmangled name. For
// index 0 it returns the library's add-on, made with `cookie`; for any other index
// null. `image` is the host's handle of the loaded library (what dlopen returned);
// the plug-ins of this kit do not use it.
extern "C" typedef UxFilterAddOn* (*make_nth_filter_func)(int32 index, void* image, const void* cookie);
constexpr const char* kMakeNthFilterSymbol = "make_nth_filter";
