// A bitmap: a rectangle of pixels in one colour space.
#pragma once

#include "Rect.h"
#include "SupportDefs.h"

enum color_space : uint32 {
    B_NO_COLOR_SPACE = 0,
    B_RGBA32 = 0x2008,  // 4 bytes a pixel: blue, green, red, alpha
};

class PLATFORM_EXPORT BBitmap {
public:
    virtual ~BBitmap();

    BRect Bounds() const { return mBounds; }
    color_space ColorSpace() const { return mColorSpace; }

private:
    BRect mBounds;
    color_space mColorSpace = B_NO_COLOR_SPACE;
};
