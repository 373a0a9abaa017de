// Resources carried in a library file after its ELF image.
//
// The resource container starts at the first multiple of 4096 at or after the end
// of the ELF data (section contents, section header table, segments) and runs to
// the end of the file. It holds a header, an index section that points at each
// resource's data, a reserved block, the data, and an info table that gives each
// resource its type, ID and name and ends with a check sum. Unused space in the
// index section and the reserved block carries a fill pattern.
//
// The readers take a byte buffer and are strict: anything that does not fit the
// format exactly gives B_BAD_DATA, never a read outside the buffer.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "SupportDefs.h"
#include "TypeConstants.h"

constexpr size_t kResourceAlignment = 4096;

struct ResourceItem {
    type_code type = 0;
    int32 id = 0;
    std::string name;
    std::vector<uint8> data;
};

// Where the ELF data of `file` ends: the first byte that no section, segment or
// header table covers. B_BAD_DATA when `file` is no well-formed ELF image.
PLATFORM_EXPORT status_t FindElfDataEnd(const void* file, size_t size, size_t* end);

// Where the resource container of `file` starts: the ELF data's end rounded up to
// kResourceAlignment. B_NAME_NOT_FOUND when nothing follows the ELF data.
PLATFORM_EXPORT status_t FindResourceContainer(const void* file, size_t size, size_t* offset);

// The resources of the container in `size` bytes, in the order of its index.
PLATFORM_EXPORT status_t ReadResourceContainer(const void* data, size_t size, std::vector<ResourceItem>* items);

// The container holding `items`: the info table groups them by type, in the
// order each type first appears.
PLATFORM_EXPORT std::vector<uint8> WriteResourceContainer(const std::vector<ResourceItem>& items);
