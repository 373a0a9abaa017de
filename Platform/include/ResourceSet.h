// A set of resources gathered from loaded images, looked up by name.
#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "ResourceFile.h"
#include "SupportDefs.h"

class BBitmap;

namespace BExperimental {

class PLATFORM_EXPORT BResourceSet {
public:
    BResourceSet();
    ~BResourceSet();

    BResourceSet(const BResourceSet&) = delete;
    BResourceSet& operator=(const BResourceSet&) = delete;

    // Adds the resources of the loaded image (the library or program file) that
    // contains `address`. The flag is accepted for compatibility and changes
    // nothing. B_NAME_NOT_FOUND when the image carries no resources, B_BAD_DATA
    // when they are malformed; either way the set stays as it was.
    status_t AddResources(const void* address, bool);

    // Adds the resources of an image file held in memory: the container after its
    // ELF data. Same results as above.
    status_t AddFileResources(const void* file, size_t size);

    // The bitmap made from the bitmap resource ('BBMP') named `name`, or null when
    // the set has none or its archive is malformed. The set makes it once, keeps it
    // and owns it; any number of threads may look up at once.
    const BBitmap* FindBitmap(const char* name);

    int32 CountResources() const;

private:
    struct Entry;

    std::vector<std::unique_ptr<Entry>> mEntries;
};

}  // namespace BExperimental
