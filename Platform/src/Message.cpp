// Messages and their flattened form.
//
// Header (17 bytes): magic 'FOB1', a check sum, the total size, the command code
// and a flags byte. The check sum is the big-endian word sum of the nine bytes
// after it. Each field then has a flags byte, its type code, its item count
// (unless it holds a single item), its data size, the length of its name and the
// name without NUL, then the data. A "mini" field stores count and size in one
// byte each. Items of a variable-size field each carry their size in four bytes
// in front of them. A flags byte of 0 ends the message.
#include "Message.h"

#include <cstring>

#include "ByteOrder.h"

namespace {

constexpr uint32 kFlattenedMagic = MakeTypeCode("FOB1");
constexpr size_t kHeaderSize = 17;
constexpr size_t kCheckedHeaderBytes = 9;  // total size, command code, flags
constexpr uint8 kMessageValid = 0x01;

enum FieldFlags : uint8 {
    kFieldValid = 0x01,
    kFieldMiniData = 0x02,
    kFieldFixedSize = 0x04,
    kFieldSingleItem = 0x08,
    kKnownFieldFlags = 0x0F,
};

constexpr size_t kMaxNameLength = 255;
constexpr size_t kMiniLimit = 255;

// Finds the first item of the field `name` as `type` and hands it to `decode`,
// which tells whether the item is well formed (B_BAD_DATA when not).
template <class Decode>
status_t FindFirst(const BMessage& message, const char* name, type_code type, Decode decode)
{
    const void* data = nullptr;
    size_t size = 0;
    const status_t status = message.FindData(name, type, 0, &data, &size);
    if (status != B_OK)
        return status;
    return decode(static_cast<const uint8*>(data), size) ? B_OK : B_BAD_DATA;
}

}  // namespace

struct BMessage::Field {
    std::string name;
    type_code type = 0;
    bool isFixedSize = true;
    std::vector<std::vector<uint8>> items;

    size_t DataSize() const
    {
        size_t size = 0;
        for (const auto& item : items)
            size += item.size() + (isFixedSize ? 0 : 4);
        return size;
    }
    bool IsMini() const { return items.size() <= kMiniLimit && DataSize() <= kMiniLimit; }
};

BMessage::BMessage(uint32 code) : what(code)
{
}

BMessage::BMessage(const BMessage& other) : what(other.what)
{
    for (const auto& field : other.mFields)
        mFields.push_back(std::make_unique<Field>(*field));
}

// Copied first, so that running out of memory leaves this message as it was.
BMessage& BMessage::operator=(const BMessage& other)
{
    BMessage copy(other);
    what = copy.what;
    mFields.swap(copy.mFields);
    return *this;
}

BMessage::~BMessage() = default;

void BMessage::MakeEmpty()
{
    mFields.clear();
}

BMessage::Field* BMessage::FieldNamed(const char* name) const
{
    for (const auto& field : mFields) {
        if (field->name == name)
            return field.get();
    }
    return nullptr;
}

status_t BMessage::AddData(const char* name, type_code type, const void* data, size_t size, bool isFixedSize)
{
    if (!name || !*name || std::strlen(name) > kMaxNameLength || (!data && size > 0))
        return B_BAD_VALUE;
    Field* field = FieldNamed(name);
    if (field) {
        if (field->type != type || field->isFixedSize != isFixedSize
            || (isFixedSize && field->items.front().size() != size))
            return B_BAD_VALUE;
    } else {
        auto made = std::make_unique<Field>();
        made->name = name;
        made->type = type;
        made->isFixedSize = isFixedSize;
        field = made.get();
        mFields.push_back(std::move(made));
    }
    const auto* bytes = static_cast<const uint8*>(data);
    field->items.emplace_back(bytes, bytes + size);
    return B_OK;
}

status_t BMessage::AddString(const char* name, const char* text)
{
    if (!text)
        return B_BAD_VALUE;
    return AddData(name, B_STRING_TYPE, text, std::strlen(text) + 1, false);
}

status_t BMessage::AddInt32(const char* name, int32 value)
{
    ByteWriter bytes;
    bytes.Write32(static_cast<uint32>(value));
    return AddData(name, B_INT32_TYPE, bytes.Bytes().data(), bytes.Size());
}

status_t BMessage::AddRect(const char* name, BRect rect)
{
    ByteWriter bytes;
    for (const float edge : {rect.left, rect.top, rect.right, rect.bottom}) {
        uint32 bits = 0;
        std::memcpy(&bits, &edge, 4);
        bytes.Write32(bits);
    }
    return AddData(name, B_RECT_TYPE, bytes.Bytes().data(), bytes.Size());
}

status_t BMessage::FindData(const char* name, type_code type, int32 index, const void** data, size_t* size) const
{
    const Field* field = name ? FieldNamed(name) : nullptr;
    if (!field)
        return B_NAME_NOT_FOUND;
    if (field->type != type || index < 0 || static_cast<size_t>(index) >= field->items.size())
        return B_BAD_VALUE;
    const std::vector<uint8>& item = field->items[static_cast<size_t>(index)];
    *data = item.data();
    *size = item.size();
    return B_OK;
}

status_t BMessage::FindString(const char* name, const char** text) const
{
    return FindFirst(*this, name, B_STRING_TYPE, [text](const uint8* data, size_t size) {
        // A string item must end in its one NUL.
        const char* chars = reinterpret_cast<const char*>(data);
        if (size == 0 || std::memchr(chars, '\0', size) != chars + size - 1)
            return false;
        *text = chars;
        return true;
    });
}

status_t BMessage::FindInt32(const char* name, int32* value) const
{
    return FindFirst(*this, name, B_INT32_TYPE, [value](const uint8* data, size_t size) {
        ByteReader reader(data, size);
        return size == 4 && reader.ReadSigned32(value);
    });
}

status_t BMessage::FindRect(const char* name, BRect* rect) const
{
    return FindFirst(*this, name, B_RECT_TYPE, [rect](const uint8* data, size_t size) {
        if (size != 16)
            return false;
        ByteReader reader(data, size);
        float edges[4];
        for (float& edge : edges) {
            uint32 bits = 0;
            reader.Read32(&bits);
            std::memcpy(&edge, &bits, 4);
        }
        *rect = BRect(edges[0], edges[1], edges[2], edges[3]);
        return true;
    });
}

size_t BMessage::FlattenedSize() const
{
    size_t size = kHeaderSize + 1;
    for (const auto& field : mFields) {
        const bool mini = field->IsMini();
        size += 1 + 4 + (field->items.size() == 1 ? 0 : (mini ? 1 : 4)) + (mini ? 1 : 4) + 1 + field->name.size()
            + field->DataSize();
    }
    return size;
}

std::vector<uint8> BMessage::Flatten() const
{
    const size_t total = FlattenedSize();
    ByteWriter out;
    out.Write32(kFlattenedMagic);
    out.Write32(0);  // check sum, filled in below
    out.Write32(static_cast<uint32>(total));
    out.Write32(what);
    out.Write8(kMessageValid);
    for (const auto& field : mFields) {
        const bool mini = field->IsMini();
        const bool single = field->items.size() == 1;
        out.Write8(static_cast<uint8>(kFieldValid | (mini ? kFieldMiniData : 0)
                                      | (field->isFixedSize ? kFieldFixedSize : 0) | (single ? kFieldSingleItem : 0)));
        out.Write32(field->type);
        // Counts and sizes take one byte in a mini field, four otherwise.
        const auto writeSize = [&out, mini](size_t value) {
            if (mini)
                out.Write8(static_cast<uint8>(value));
            else
                out.Write32(static_cast<uint32>(value));
        };
        if (!single)
            writeSize(field->items.size());
        writeSize(field->DataSize());
        out.Write8(static_cast<uint8>(field->name.size()));
        out.WriteBytes(field->name.data(), field->name.size());
        for (const auto& item : field->items) {
            if (!field->isFixedSize)
                out.Write32(static_cast<uint32>(item.size()));
            out.WriteBytes(item.data(), item.size());
        }
    }
    out.Write8(0);
    std::vector<uint8>& bytes = out.Bytes();
    const uint32 checkSum = BigEndianWordSum(bytes.data() + 8, kCheckedHeaderBytes);
    for (int i = 0; i < 4; ++i)
        bytes[4 + i] = static_cast<uint8>(checkSum >> (8 * i));
    return std::move(bytes);
}

status_t BMessage::Unflatten(const void* data, size_t size)
{
    if (!data)
        return B_BAD_VALUE;
    ByteReader in(data, size);
    uint32 magic = 0;
    uint32 checkSum = 0;
    uint32 totalSize = 0;
    uint32 code = 0;
    uint8 flags = 0;
    if (!in.Read32(&magic) || magic != kFlattenedMagic || !in.Read32(&checkSum) || in.Remaining() < kCheckedHeaderBytes
        || BigEndianWordSum(in.Here(), kCheckedHeaderBytes) != checkSum || !in.Read32(&totalSize) || totalSize != size
        || !in.Read32(&code) || !in.Read8(&flags) || flags != kMessageValid)
        return B_BAD_DATA;

    BMessage result(code);
    for (;;) {
        uint8 fieldFlags = 0;
        if (!in.Read8(&fieldFlags))
            return B_BAD_DATA;
        if (fieldFlags == 0)
            break;
        if ((fieldFlags & ~kKnownFieldFlags) != 0 || !(fieldFlags & kFieldValid))
            return B_BAD_DATA;
        const bool mini = fieldFlags & kFieldMiniData;
        const bool fixed = fieldFlags & kFieldFixedSize;
        uint32 type = 0;
        uint32 count = 1;
        uint32 dataSize = 0;
        uint8 nameLength = 0;
        const uint8* name = nullptr;
        const auto readSize = [&in, mini](uint32* value) {
            if (!mini)
                return in.Read32(value);
            uint8 small = 0;
            const bool read = in.Read8(&small);
            *value = small;
            return read;
        };
        if (!in.Read32(&type) || (!(fieldFlags & kFieldSingleItem) && !readSize(&count)) || !readSize(&dataSize))
            return B_BAD_DATA;
        if (!in.Read8(&nameLength) || nameLength == 0 || !in.ReadBytes(nameLength, &name)
            || std::memchr(name, '\0', nameLength) || count == 0 || dataSize > in.Remaining())
            return B_BAD_DATA;
        const std::string fieldName(reinterpret_cast<const char*>(name), nameLength);
        if (result.FieldNamed(fieldName.c_str()))
            return B_BAD_DATA;

        ByteReader items(in.Here(), dataSize);
        in.Skip(dataSize);
        // Fixed-size items are never empty, so the count is bounded by the data.
        if (fixed && (dataSize == 0 || dataSize % count != 0))
            return B_BAD_DATA;
        for (uint32 i = 0; i < count; ++i) {
            uint32 itemSize = fixed ? dataSize / count : 0;
            const uint8* item = nullptr;
            if ((!fixed && !items.Read32(&itemSize)) || !items.ReadBytes(itemSize, &item))
                return B_BAD_DATA;
            if (result.AddData(fieldName.c_str(), type, item, itemSize, fixed) != B_OK)
                return B_BAD_DATA;
        }
        if (items.Remaining() != 0)
            return B_BAD_DATA;
    }
    if (in.Remaining() != 0)
        return B_BAD_DATA;
    *this = std::move(result);
    return B_OK;
}
