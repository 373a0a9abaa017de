// A point in a view's coordinate system.
#pragma once

#include "SupportDefs.h"

class PLATFORM_EXPORT BPoint {
public:
    constexpr BPoint() = default;
    constexpr BPoint(float px, float py) : x(px), y(py) {}

    float x = 0;
    float y = 0;
};
