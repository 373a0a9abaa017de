// A message: a command code with named, typed fields, each holding one or more
// items. Filters receive their configuration in one; archived objects (an icon's
// bitmap) are stored as a flattened message.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "Rect.h"
#include "SupportDefs.h"
#include "TypeConstants.h"

class PLATFORM_EXPORT BMessage {
public:
    explicit BMessage(uint32 what = 0);
    BMessage(const BMessage& other);
    BMessage& operator=(const BMessage& other);
    virtual ~BMessage();

    // Adding appends an item to the field `name`, making the field if it is new.
    // Every item of a field has the same type, and of a fixed-size field the same
    // size; adding against either gives B_BAD_VALUE.
    status_t AddData(const char* name, type_code type, const void* data, size_t size, bool isFixedSize = true);
    status_t AddString(const char* name, const char* text);
    status_t AddInt32(const char* name, int32 value);
    status_t AddRect(const char* name, BRect rect);

    // Finding gives item `index` of the field `name` when it has type `type`:
    // B_NAME_NOT_FOUND when there is no such field, B_BAD_VALUE for another type or
    // a missing item.
    status_t FindData(const char* name, type_code type, int32 index, const void** data, size_t* size) const;
    status_t FindString(const char* name, const char** text) const;
    status_t FindInt32(const char* name, int32* value) const;
    status_t FindRect(const char* name, BRect* rect) const;

    int32 CountFields() const { return static_cast<int32>(mFields.size()); }
    void MakeEmpty();

    // The flattened form, little-endian 'FOB1': a 17-byte header, the fields in
    // the order they were made, and a zero byte.
    size_t FlattenedSize() const;
    std::vector<uint8> Flatten() const;

    // Replaces this message with the one flattened in `size` bytes. Strict: any
    // byte that does not fit the format, or a size that does not match the
    // message's own, gives B_BAD_DATA and leaves the message as it was.
    status_t Unflatten(const void* data, size_t size);

    uint32 what;

private:
    struct Field;
    Field* FieldNamed(const char* name) const;

    std::vector<std::unique_ptr<Field>> mFields;
};
