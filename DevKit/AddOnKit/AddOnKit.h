// The skeleton every filter plug-in of this kit is built on.
//
// A plug-in names two classes and supplies three things:
//
//     class DissolveFilter;
//     class DissolveFilterAddOn final
//         : public KitFilterAddOn<DissolveFilterAddOn, DissolveFilter> {
//     public:
//         using KitFilterAddOn::KitFilterAddOn;
//         static constexpr const char* kName = "Dissolve";
//         static constexpr const char* kShortDescription = "...";
//         // Optional, the kit's own when left out:
//         static constexpr const char* kAuthor = "...";         // Author()
//         static constexpr int32 kVersion = 20260301;           // Version(), a date
//         static constexpr const char* kUriPrefix = "urn:...:"; // the LV2 URI before the file's name
//     };
//     class DissolveFilter final : public KitFilter<DissolveFilterAddOn, DissolveFilter> {
//     public:
//         using KitFilter::KitFilter;
//         static void BuildChain(UxNoteOn* note);   // appends the new notes behind `note`
//         // optional: static UxEvent* HandleOtherEvent(UxEvent* event);
//     };
//     UxFilterAddOn* MakeFilterAddOn(const void* cookie)
//     {
//         return new DissolveFilterAddOn(cookie);
//     }
//
// Everything else (the exported entry point, the values common to every add-on,
// the event gate, the icon) is here, written once.
#pragma once

#include <UxFilterI.h>

#include <type_traits>
#include <typeinfo>

// Makes this library's add-on; defined by each plug-in.
UxFilterAddOn* MakeFilterAddOn(const void* cookie);

namespace BExperimental {
class BResourceSet;
}

// The library's resources, read from its own file by the first call in the
// process (from any thread) and kept until the library is unloaded.
BExperimental::BResourceSet& Resources();

// The add-on's picture: a new copy of the library's "Class Icon" that the caller
// owns, or null when the library carries none. Neither the add-on nor the point
// matters: every add-on of a library shows the same icon.
BBitmap* ClassIcon();

// Values common to every add-on of the kit.
constexpr int32 kKitVersion = 19980926;
constexpr int32 kKitMajorVersion = 1;
constexpr int32 kKitMinorVersion = 0;
constexpr const char* kKitAuthor = "The Ux filter kit authors";

// What an add-on class gives of its own identity, the kit's values where it gives
// none: KitAuthor<AddOn>::kValue is AddOn::kAuthor when it has one, else kKitAuthor.
template <class AddOn, class = void>
struct KitAuthor {
    static constexpr const char* kValue = kKitAuthor;
};
template <class AddOn>
struct KitAuthor<AddOn, std::void_t<decltype(AddOn::kAuthor)>> {
    static constexpr const char* kValue = AddOn::kAuthor;
};
template <class AddOn, class = void>
struct KitVersion {
    static constexpr int32 kValue = kKitVersion;
};
template <class AddOn>
struct KitVersion<AddOn, std::void_t<decltype(AddOn::kVersion)>> {
    static constexpr int32 kValue = AddOn::kVersion;
};
template <class AddOn, class = void>
struct KitUriPrefix {
    static constexpr const char* kValue = nullptr;
};
template <class AddOn>
struct KitUriPrefix<AddOn, std::void_t<decltype(AddOn::kUriPrefix)>> {
    static constexpr const char* kValue = AddOn::kUriPrefix;
};

// The field of the archive template that carries an add-on's URI prefix, for hosts
// that name plug-ins by URI (`uxhost lv2-bundle`).
constexpr const char* kUriPrefixField = "uri-prefix";

// The add-on's URI prefix into `archive`, when it gives one.
status_t PutUriPrefix(BMessage* archive, const char* prefix);

template <class AddOnClass, class FilterClass>
class KitFilterAddOn : public UxFilterAddOn {
public:
    using UxFilterAddOn::UxFilterAddOn;

    int32 Version() const override { return KitVersion<AddOnClass>::kValue; }
    const char* Name() const override { return AddOnClass::kName; }
    const char* ClassName() const override { return AddOnClass::kName; }
    const char* ShortDescription() const override { return AddOnClass::kShortDescription; }
    const char* Author() const override { return KitAuthor<AddOnClass>::kValue; }
    void GetVersion(int32* major, int32* minor) const override
    {
        if (major)
            *major = kKitMajorVersion;
        if (minor)
            *minor = kKitMinorVersion;
    }
    type Type() const override { return kTrackFilter; }
    BBitmap* Image(BPoint) const override { return ClassIcon(); }
    status_t GetArchiveTemplate(BMessage* archive, uint32) const override
    {
        return PutUriPrefix(archive, KitUriPrefix<AddOnClass>::kValue);
    }
    UxFilterI* NewInstance(UxFilterHolderI* holder, const BMessage* config) override
    {
        return new FilterClass(static_cast<AddOnClass*>(this), holder, config);
    }
};

// The event gate: the note-on that `event` is, when a filter that was set up should
// build a chain behind it; null for everything that passes unchanged.
UxNoteOn* NoteOnPastGate(UxEvent* event, bool isSetUp);

template <class AddOnClass, class FilterClass>
class KitFilter : public UxFilterI {
public:
    // The filter keeps no configuration: `config` is not read.
    KitFilter(AddOnClass* addOn, UxFilterHolderI* holder, const BMessage*)
        : UxFilterI(addOn),
          mAddOn(addOn),
          mHolder(holder)
    {
    }

    int32 Configure(ZelVector<BView*>&) override { return 0; }
    BView* NewEditView(BPoint) const override { return nullptr; }
    ZelCRef<UxInstrumentI> Instrument() const override { return {}; }

    // A note-on comes back as the head of the chain the plug-in builds behind it;
    // every other event (a controller, program change, pitch bend or other message)
    // as the chain the plug-in's HandleOtherEvent answers it with.
    UxEvent* HandleEvent(UxEvent* event, const ux_filter_params*) final
    {
        if (UxNoteOn* note = NoteOnPastGate(event, mAddOn && mHolder)) {
            FilterClass::BuildChain(note);
            return event;
        }
        if (!event || !mAddOn || !mHolder || event->Type() == kUxNoteOnType || event->Type() == kUxNoteType)
            return event;
        return FilterClass::HandleOtherEvent(event);
    }

    // The chain that answers an event other than a note, which the plug-in then
    // owns: by default the event itself. A plug-in that changes such an event
    // declares its own, which may hand back the event, append events behind it, or
    // answer a new event and Delete() the one it was given. Copies and new events
    // may be null (see UxEventPool.h): hand back the event then.
    static UxEvent* HandleOtherEvent(UxEvent* event) { return event; }

protected:
    AddOnClass* mAddOn;        // not owned: the base holds the counted reference
    UxFilterHolderI* mHolder;  // not owned
};

// Helpers for chain builders: the one way to take the next copy and to place it.
// They run for every note of every chain, so they are inline.

// The run-time type test for a note-on. Nearly every note the host hands over is
// exactly a UxNoteOn, which one comparison of type information settles; other kinds
// and classes derived from UxNoteOn take the full dynamic_cast.
inline UxNoteOn* AsNoteOn(UxEvent* event)
{
    if (typeid(*event) == typeid(UxNoteOn))
        return static_cast<UxNoteOn*>(event);
    return dynamic_cast<UxNoteOn*>(event);
}

// A copy of `note` as a note-on that the caller owns, or null when the host made
// none; a copy of another kind is released at once.
inline UxNoteOn* CopyNote(const UxNoteOn* note)
{
    UxEvent* copy = note->Copy();
    if (!copy)
        return nullptr;
    if (UxNoteOn* noteCopy = AsNoteOn(copy))
        return noteCopy;
    copy->Delete();
    return nullptr;
}

// The start of a note that follows `previous` without gap or overlap: one tick after
// its end. False when `previous` ends on the last tick there is.
inline bool NextStartTime(const UxEvent* previous, UxTime* start)
{
    const UxTime end = previous->EndTime();
    if (end == kUxMaxTime)
        return false;
    *start = end + 1;
    return true;
}
