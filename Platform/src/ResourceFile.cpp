#include "ResourceFile.h"

#include <elf.h>

#include <algorithm>
#include <cstring>

#include "ByteOrder.h"

namespace {

// Container layout.
constexpr uint32 kContainerMagic = 0x444F1000;
constexpr size_t kHeaderSize = 68;        // magic, count, index offset and size, zeros
constexpr size_t kHeaderFieldsSize = 16;  // the four words before the zeros
constexpr size_t kIndexSectionMinSize = 1536;
constexpr size_t kIndexTableOffset = 132;  // from the index section's start: its head
constexpr size_t kIndexEntrySize = 12;     // data offset, data size, 0
constexpr size_t kReservedBlockSize = 360;
constexpr size_t kInfoTableTrailerSize = 8;  // check sum and a zero word
constexpr uint8 kTypeEndMarker = 0xFF;
constexpr size_t kTypeEndSize = 8;

// Unused space repeats these words; the word at container offset o is the one at
// (o / 4) mod 3, so the phase follows the offset, not the start of the stretch.
constexpr uint32 kFillWords[3] = {0xFFFFFFFF, 0x3E9, 0};

void WriteFill(ByteWriter& out, size_t end)
{
    while (out.Size() < end) {
        const size_t offset = out.Size();
        out.Write8(static_cast<uint8>(kFillWords[(offset / 4) % 3] >> (8 * (offset % 4))));
    }
}

// The index section's head (from its start): offset and size of the section, fill,
// offset and size of the reserved block, fill, offset and size of the info table,
// fill; then the entries and fill up to the section's end.
constexpr size_t kHeadFillAfterSection = 8;
constexpr size_t kHeadInfoTable = 120;
constexpr size_t kHeadFillAfterInfoTable = 128;

size_t IndexSectionSize(size_t count)
{
    return std::max(kIndexSectionMinSize, kIndexTableOffset + kIndexEntrySize * count);
}

}  // namespace

std::vector<uint8> WriteResourceContainer(const std::vector<ResourceItem>& items)
{
    const size_t indexSize = IndexSectionSize(items.size());
    const size_t reservedOffset = kHeaderSize + indexSize;
    const size_t dataOffset = reservedOffset + kReservedBlockSize;
    size_t infoOffset = dataOffset;
    for (const ResourceItem& item : items)
        infoOffset += item.data.size();

    // The info table: each type once, in the order it first appears, with all its
    // resources.
    ByteWriter info;
    std::vector<bool> listed(items.size(), false);
    for (size_t first = 0; first < items.size(); ++first) {
        if (listed[first])
            continue;
        info.Write32(items[first].type);
        for (size_t i = first; i < items.size(); ++i) {
            if (listed[i] || items[i].type != items[first].type)
                continue;
            listed[i] = true;
            info.Write32(static_cast<uint32>(items[i].id));
            info.Write32(static_cast<uint32>(i + 1));
            info.Write16(static_cast<uint16>(items[i].name.size() + 1));
            info.WriteBytes(items[i].name.c_str(), items[i].name.size() + 1);
        }
        for (size_t i = 0; i < kTypeEndSize; ++i)
            info.Write8(kTypeEndMarker);
    }
    info.Write32(BigEndianWordSum(info.Bytes().data(), info.Size()));
    info.Write32(0);

    ByteWriter out;
    out.Write32(kContainerMagic);
    out.Write32(static_cast<uint32>(items.size()));
    out.Write32(static_cast<uint32>(kHeaderSize));
    out.Write32(static_cast<uint32>(kHeaderSize + indexSize));
    out.WriteZeros(kHeaderSize - kHeaderFieldsSize);

    out.Write32(static_cast<uint32>(kHeaderSize));
    out.Write32(static_cast<uint32>(indexSize));
    WriteFill(out, kHeaderSize + kHeadFillAfterSection + 4);
    out.Write32(static_cast<uint32>(reservedOffset));
    out.Write32(static_cast<uint32>(kReservedBlockSize));
    WriteFill(out, kHeaderSize + kHeadInfoTable);
    out.Write32(static_cast<uint32>(infoOffset));
    out.Write32(static_cast<uint32>(info.Size()));
    WriteFill(out, kHeaderSize + kHeadFillAfterInfoTable + 4);
    size_t offset = dataOffset;
    for (const ResourceItem& item : items) {
        out.Write32(static_cast<uint32>(offset));
        out.Write32(static_cast<uint32>(item.data.size()));
        out.Write32(0);
        offset += item.data.size();
    }
    WriteFill(out, reservedOffset + kReservedBlockSize);
    for (const ResourceItem& item : items)
        out.WriteBytes(item.data.data(), item.data.size());
    out.WriteBytes(info.Bytes().data(), info.Size());
    return std::move(out.Bytes());
}

// Reads what the container says (count, index entries, info table) with every
// offset checked against the buffer, then demands that writing those resources
// again gives exactly these bytes: every fill word, zero and offset must be the
// one the format prescribes.
status_t ReadResourceContainer(const void* data, size_t size, std::vector<ResourceItem>* items)
{
    if (!data || !items)
        return B_BAD_VALUE;
    ByteReader header(data, size);
    uint32 magic = 0;
    uint32 count = 0;
    if (!header.Read32(&magic) || magic != kContainerMagic || !header.Read32(&count) || count > size / kIndexEntrySize
        || size < kHeaderSize + IndexSectionSize(count))
        return B_BAD_DATA;
    const uint8* bytes = static_cast<const uint8*>(data);

    ByteReader index(bytes + kHeaderSize + kHeadInfoTable, size - kHeaderSize - kHeadInfoTable);
    uint32 infoOffset = 0;
    uint32 infoSize = 0;
    index.Read32(&infoOffset);
    index.Read32(&infoSize);
    if (infoOffset > size || infoSize != size - infoOffset || infoSize < kInfoTableTrailerSize)
        return B_BAD_DATA;

    // The data lie back to back after the reserved block, in index order, so
    // together they never take more than the buffer holds.
    std::vector<ResourceItem> found(count);
    index = ByteReader(bytes + kHeaderSize + kIndexTableOffset, kIndexEntrySize * count);
    size_t nextData = kHeaderSize + IndexSectionSize(count) + kReservedBlockSize;
    for (ResourceItem& item : found) {
        uint32 offset = 0;
        uint32 length = 0;
        index.Read32(&offset);
        index.Read32(&length);
        index.Skip(4);
        if (offset != nextData || offset > infoOffset || length > infoOffset - offset)
            return B_BAD_DATA;
        item.data.assign(bytes + offset, bytes + offset + length);
        nextData = offset + length;
    }

    ByteReader info(bytes + infoOffset, infoSize - kInfoTableTrailerSize);
    std::vector<bool> named(count, false);
    while (info.Remaining() > 0) {
        uint32 type = 0;
        if (!info.Read32(&type))
            return B_BAD_DATA;
        for (;;) {
            int32 id = 0;
            int32 entry = 0;
            uint16 nameLength = 0;
            const uint8* name = nullptr;
            if (!info.ReadSigned32(&id) || !info.ReadSigned32(&entry))
                return B_BAD_DATA;
            if (id == -1 && entry == -1)
                break;
            if (entry < 1 || static_cast<uint32>(entry) > count || named[entry - 1] || !info.Read16(&nameLength)
                || nameLength == 0 || !info.ReadBytes(nameLength, &name) || name[nameLength - 1] != '\0'
                || std::memchr(name, '\0', nameLength - 1u))
                return B_BAD_DATA;
            named[entry - 1] = true;
            ResourceItem& item = found[entry - 1];
            item.type = type;
            item.id = id;
            item.name.assign(reinterpret_cast<const char*>(name), nameLength - 1u);
        }
    }
    if (std::find(named.begin(), named.end(), false) != named.end())
        return B_BAD_DATA;

    const std::vector<uint8> expected = WriteResourceContainer(found);
    if (expected.size() != size || std::memcmp(expected.data(), bytes, size) != 0)
        return B_BAD_DATA;
    *items = std::move(found);
    return B_OK;
}

namespace {

// Reads the little-endian field of `width` bytes at `offset`; fixed offsets
// rather than structures let one parser serve both ELF classes.
bool ReadWord(ByteReader reader, size_t offset, size_t width, uint64* value)
{
    return reader.Skip(offset) && reader.ReadLittle(value, width);
}

// Raises `*end` to offset + count * size, failing when that lies beyond `limit`.
bool Cover(uint64 offset, uint64 count, uint64 size, uint64 limit, uint64* end)
{
    if (offset > limit || (size != 0 && count > (limit - offset) / size))
        return false;
    *end = std::max(*end, offset + count * size);
    return true;
}

}  // namespace

status_t FindElfDataEnd(const void* file, size_t size, size_t* end)
{
    if (!file || !end)
        return B_BAD_VALUE;
    const uint8* bytes = static_cast<const uint8*>(file);
    if (size < EI_NIDENT || std::memcmp(bytes, ELFMAG, SELFMAG) != 0 || bytes[EI_DATA] != ELFDATA2LSB
        || (bytes[EI_CLASS] != ELFCLASS32 && bytes[EI_CLASS] != ELFCLASS64))
        return B_BAD_DATA;
    const bool is64 = bytes[EI_CLASS] == ELFCLASS64;
    const size_t address = is64 ? 8 : 4;  // width of addresses and offsets
    const ByteReader whole(file, size);

    // Offsets of the header fields: e_phoff and e_shoff follow e_entry, then after
    // e_flags and e_ehsize come e_phentsize, e_phnum, e_shentsize, e_shnum.
    const size_t phoffAt = 0x18 + address;
    const size_t shoffAt = phoffAt + address;
    const size_t phentsizeAt = shoffAt + address + 4 + 2;
    uint64 phoff = 0, shoff = 0, phentsize = 0, phnum = 0, shentsize = 0, shnum = 0;
    if (!ReadWord(whole, phoffAt, address, &phoff) || !ReadWord(whole, shoffAt, address, &shoff)
        || !ReadWord(whole, phentsizeAt, 2, &phentsize) || !ReadWord(whole, phentsizeAt + 2, 2, &phnum)
        || !ReadWord(whole, phentsizeAt + 4, 2, &shentsize) || !ReadWord(whole, phentsizeAt + 6, 2, &shnum))
        return B_BAD_DATA;
    const uint64 phentMin = is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    const uint64 shentMin = is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if ((phnum > 0 && phentsize < phentMin) || (shoff != 0 && shentsize < shentMin))
        return B_BAD_DATA;

    // Section header offsets: sh_type, sh_offset, sh_size.
    const size_t shTypeAt = 4;
    const size_t shOffsetAt = is64 ? 0x18 : 0x10;
    const size_t shSizeAt = shOffsetAt + address;
    // A file with more sections than the header's field holds keeps the count in
    // the first section header's size.
    if (shoff != 0 && shnum == 0 && !ReadWord(whole, shoff + shSizeAt, address, &shnum))
        return B_BAD_DATA;

    uint64 dataEnd = is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    if (dataEnd > size || !Cover(phoff, phnum, phentsize, size, &dataEnd)
        || (shoff != 0 && !Cover(shoff, shnum, shentsize, size, &dataEnd)))
        return B_BAD_DATA;
    for (uint64 i = 0; shoff != 0 && i < shnum; ++i) {
        const uint64 at = shoff + i * shentsize;
        uint64 type = 0, offset = 0, length = 0;
        if (!ReadWord(whole, at + shTypeAt, 4, &type) || !ReadWord(whole, at + shOffsetAt, address, &offset)
            || !ReadWord(whole, at + shSizeAt, address, &length))
            return B_BAD_DATA;
        if (type != SHT_NOBITS && type != SHT_NULL && !Cover(offset, 1, length, size, &dataEnd))
            return B_BAD_DATA;
    }
    // Program header offsets: p_offset, p_filesz.
    const size_t pOffsetAt = is64 ? 0x08 : 0x04;
    const size_t pFileSizeAt = is64 ? 0x20 : 0x10;
    for (uint64 i = 0; i < phnum; ++i) {
        const uint64 at = phoff + i * phentsize;
        uint64 offset = 0, length = 0;
        if (!ReadWord(whole, at + pOffsetAt, address, &offset) || !ReadWord(whole, at + pFileSizeAt, address, &length)
            || !Cover(offset, 1, length, size, &dataEnd))
            return B_BAD_DATA;
    }
    *end = static_cast<size_t>(dataEnd);
    return B_OK;
}

status_t FindResourceContainer(const void* file, size_t size, size_t* offset)
{
    size_t dataEnd = 0;
    const status_t status = FindElfDataEnd(file, size, &dataEnd);
    if (status != B_OK)
        return status;
    const size_t start = (dataEnd + kResourceAlignment - 1) / kResourceAlignment * kResourceAlignment;
    if (start >= size)
        return B_NAME_NOT_FOUND;
    *offset = start;
    return B_OK;
}
