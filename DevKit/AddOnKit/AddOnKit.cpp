// The parts of the skeleton that every plug-in library carries once.
#include "AddOnKit.h"

#include <Message.h>

// The host finds this by name after loading the library. Each library offers
// exactly one add-on, at index 0.
extern "C" __attribute__((visibility("default"))) UxFilterAddOn* make_nth_filter(int32 index, void* /*image*/,
                                                                                 const void* cookie)
{
    return index == 0 ? MakeFilterAddOn(cookie) : nullptr;
}

UxNoteOn* NoteOnPastGate(UxEvent* event, bool isSetUp)
{
    if (!event || !isSetUp)
        return nullptr;
    const int32 type = event->Type();
    if (type != kUxNoteOnType && type != kUxNoteType)
        return nullptr;
    return AsNoteOn(event);
}

status_t PutUriPrefix(BMessage* archive, const char* prefix)
{
    if (!prefix)
        return B_NAME_NOT_FOUND;  // the default: no template
    return archive ? archive->AddString(kUriPrefixField, prefix) : B_BAD_VALUE;
}
