// A library file's resources as the resource set reads them: the end of the ELF
// data, the container after it, and the class icon made from its archive.
#include <Bitmap.h>
#include <ResourceSet.h>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t elfEnd = 0;
    if (FindElfDataEnd(data, size, &elfEnd) == B_OK)
        FUZZ_CHECK(elfEnd <= size);

    BExperimental::BResourceSet set;
    if (set.AddFileResources(data, size) != B_OK) {
        FUZZ_CHECK(set.CountResources() == 0);
        return 0;
    }
    if (const BBitmap* icon = set.FindBitmap("Class Icon")) {
        FUZZ_CHECK(icon->InitCheck() == B_OK);
        BBitmap copy(icon);
        FUZZ_CHECK(copy.BitsLength() == icon->BitsLength());
    }
    return 0;
}
