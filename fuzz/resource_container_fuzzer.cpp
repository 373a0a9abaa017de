// The resource container reader on any bytes. What it accepts must be exactly what
// the writer makes of the resources it read.
#include <cstring>

#include <ResourceFile.h>

#include "FuzzCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<ResourceItem> items;
    if (ReadResourceContainer(data, size, &items) != B_OK) {
        FUZZ_CHECK(items.empty());
        return 0;
    }
    const std::vector<uint8> written = WriteResourceContainer(items);
    FUZZ_CHECK(written.size() == size && std::memcmp(written.data(), data, size) == 0);
    return 0;
}
