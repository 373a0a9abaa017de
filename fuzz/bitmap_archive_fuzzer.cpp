// A bitmap made from an archive message in any bytes. A bitmap it accepts archives
// to a message that makes the same bitmap again.
#include <cstring>

#include <Bitmap.h>
#include <Message.h>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BMessage archive;
    if (archive.Unflatten(data, size) != B_OK)
        return 0;
    BBitmap bitmap(&archive);
    if (bitmap.InitCheck() != B_OK) {
        FUZZ_CHECK(bitmap.BitsLength() == 0);
        return 0;
    }
    const BRect bounds = bitmap.Bounds();
    FUZZ_CHECK(bitmap.BitsLength() == bitmap.BytesPerRow() * (static_cast<int32>(bounds.bottom) + 1));

    BMessage again;
    FUZZ_CHECK(bitmap.Archive(&again) == B_OK);
    const std::vector<uint8> flat = again.Flatten();
    BMessage read;
    FUZZ_CHECK(read.Unflatten(flat.data(), flat.size()) == B_OK);
    BBitmap copy(&read);
    FUZZ_CHECK(copy.InitCheck() == B_OK && copy.Bounds() == bounds && copy.BitsLength() == bitmap.BitsLength()
               && std::memcmp(copy.Bits(), bitmap.Bits(), copy.BitsLength()) == 0);
    return 0;
}
