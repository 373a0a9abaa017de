// Type codes of message fields and resources: four characters held as a 32-bit
// integer whose first character is the most significant byte.
#pragma once

#include "SupportDefs.h"

typedef uint32 type_code;

constexpr type_code MakeTypeCode(const char (&code)[5])
{
    return static_cast<uint32>(static_cast<uchar>(code[0])) << 24
        | static_cast<uint32>(static_cast<uchar>(code[1])) << 16 | static_cast<uint32>(static_cast<uchar>(code[2])) << 8
        | static_cast<uint32>(static_cast<uchar>(code[3]));
}

constexpr type_code B_INT32_TYPE = MakeTypeCode("LONG");
constexpr type_code B_RAW_TYPE = MakeTypeCode("RAWT");
constexpr type_code B_RECT_TYPE = MakeTypeCode("RECT");
constexpr type_code B_STRING_TYPE = MakeTypeCode("CSTR");
constexpr type_code B_MIME_STRING_TYPE = MakeTypeCode("MIMS");
constexpr type_code B_BITMAP_RESOURCE_TYPE = MakeTypeCode("BBMP");
