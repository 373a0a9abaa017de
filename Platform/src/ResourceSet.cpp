#include "ResourceSet.h"

#include <dlfcn.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "Bitmap.h"
#include "Message.h"

namespace BExperimental {

// One resource and, for a bitmap, the bitmap made from it on first demand.
struct BResourceSet::Entry {
    explicit Entry(ResourceItem item) : resource(std::move(item)) {}

    ResourceItem resource;
    std::once_flag bitmapMade;
    std::unique_ptr<BBitmap> bitmap;  // null when the archive is malformed
};

BResourceSet::BResourceSet() = default;
BResourceSet::~BResourceSet() = default;

status_t BResourceSet::AddResources(const void* address, bool)
{
    Dl_info info{};
    if (!address || dladdr(address, &info) == 0 || !info.dli_fname || !*info.dli_fname)
        return B_NAME_NOT_FOUND;
    std::ifstream file(info.dli_fname, std::ios::binary);
    if (!file)
        return B_NAME_NOT_FOUND;
    const std::vector<char> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        return B_ERROR;
    return AddFileResources(bytes.data(), bytes.size());
}

status_t BResourceSet::AddFileResources(const void* file, size_t size)
{
    size_t offset = 0;
    status_t status = FindResourceContainer(file, size, &offset);
    if (status != B_OK)
        return status;
    std::vector<ResourceItem> items;
    status = ReadResourceContainer(static_cast<const uint8*>(file) + offset, size - offset, &items);
    if (status != B_OK)
        return status;
    // Made apart first, so that running out of memory leaves the set as it was.
    std::vector<std::unique_ptr<Entry>> added;
    for (ResourceItem& item : items)
        added.push_back(std::make_unique<Entry>(std::move(item)));
    mEntries.reserve(mEntries.size() + added.size());
    for (auto& entry : added)
        mEntries.push_back(std::move(entry));
    return B_OK;
}

const BBitmap* BResourceSet::FindBitmap(const char* name)
{
    if (!name)
        return nullptr;
    for (const auto& entry : mEntries) {
        if (entry->resource.type != B_BITMAP_RESOURCE_TYPE || entry->resource.name != name)
            continue;
        std::call_once(entry->bitmapMade, [&entry] {
            BMessage archive;
            const std::vector<uint8>& data = entry->resource.data;
            if (archive.Unflatten(data.data(), data.size()) != B_OK)
                return;
            auto bitmap = std::make_unique<BBitmap>(&archive);
            if (bitmap->InitCheck() == B_OK)
                entry->bitmap = std::move(bitmap);
        });
        return entry->bitmap.get();
    }
    return nullptr;
}

int32 BResourceSet::CountResources() const
{
    return static_cast<int32>(mEntries.size());
}

}  // namespace BExperimental
