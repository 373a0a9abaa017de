// The flattened-message reader on any bytes. A message it accepts flattens to a
// form it reads back into the same message, and a refused input leaves the message
// as it was.
#include <cstring>

#include <Message.h>

#include "FuzzCheck.h"

namespace {
constexpr uint32 kUntouched = MakeTypeCode("keep");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BMessage message(kUntouched);
    message.AddInt32("before", 1);
    if (message.Unflatten(data, size) != B_OK) {
        FUZZ_CHECK(message.what == kUntouched && message.CountFields() == 1);
        return 0;
    }
    const std::vector<uint8> flat = message.Flatten();
    FUZZ_CHECK(flat.size() == message.FlattenedSize());
    BMessage again;
    FUZZ_CHECK(again.Unflatten(flat.data(), flat.size()) == B_OK);
    FUZZ_CHECK(again.what == message.what && again.CountFields() == message.CountFields());
    FUZZ_CHECK(again.Flatten() == flat);

    // The typed lookups check what they hand out.
    const char* text = nullptr;
    if (message.FindString("class", &text) == B_OK)
        FUZZ_CHECK(std::strlen(text) < size);
    int32 value = 0;
    message.FindInt32("_cspace", &value);
    BRect rect;
    message.FindRect("_frame", &rect);
    return 0;
}
