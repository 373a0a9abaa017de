// Basic types and status codes shared by the platform layer, the host and the plug-ins.
#pragma once

#include <cstdint>

typedef int8_t int8;
typedef uint8_t uint8;
typedef int16_t int16;
typedef uint16_t uint16;
typedef int32_t int32;
typedef uint32_t uint32;
typedef int64_t int64;
typedef uint64_t uint64;
typedef unsigned char uchar;

typedef int32 status_t;
typedef int64 bigtime_t;  // microseconds

enum : status_t {
    B_OK = 0,
    B_ERROR = -1,
    B_BAD_VALUE = -2,
    B_NAME_NOT_FOUND = -3,
    B_NO_MEMORY = -4,
    B_BAD_DATA = -5,
    B_NO_INIT = -6,
};

// Everything the platform and the host export carries default visibility, so that
// plug-ins built with -fvisibility=hidden still share one copy of each class (and
// its run-time type information) with the host.
#define PLATFORM_EXPORT __attribute__((visibility("default")))
