// A rectangle given by its edges; both edges are inside it, so a rectangle from
// (0, 0) to (19, 19) covers 20 by 20 pixels.
#pragma once

#include "Point.h"
#include "SupportDefs.h"

class PLATFORM_EXPORT BRect {
public:
    constexpr BRect() = default;
    constexpr BRect(float l, float t, float r, float b) : left(l), top(t), right(r), bottom(b) {}

    constexpr float Width() const { return right - left; }
    constexpr float Height() const { return bottom - top; }
    constexpr bool IsValid() const { return left <= right && top <= bottom; }

    friend constexpr bool operator==(const BRect& a, const BRect& b)
    {
        return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
    }
    friend constexpr bool operator!=(const BRect& a, const BRect& b) { return !(a == b); }

    float left = 0;
    float top = 0;
    float right = -1;
    float bottom = -1;
};
