// A bitmap: a rectangle of pixels in one colour space, stored row by row from the
// top. Bitmaps are archived into a message (class "BBitmap", frame, colour space,
// flags, row bytes and the pixel data) and made again from one.
#pragma once

#include <vector>

#include "Rect.h"
#include "SupportDefs.h"

class BMessage;

enum color_space : uint32 {
    B_NO_COLOR_SPACE = 0,
    B_RGBA32 = 0x2008,  // 4 bytes a pixel: blue, green, red, alpha
};

enum : uint32 {
    B_BITMAP_CLEAR_TO_WHITE = 0x00000001,
};

class PLATFORM_EXPORT BBitmap {
public:
    // A bitmap of `bounds` whose pixels are all zero (or white, with that flag).
    BBitmap(BRect bounds, color_space space, uint32 flags = 0);
    // A bitmap made from its archive. InitCheck() tells whether the archive held a
    // well-formed bitmap; if not, the bitmap is empty.
    explicit BBitmap(const BMessage* archive);
    // A new bitmap with the frame, colour space and pixels of `source`, independent
    // of it. This bitmap accepts no views and its memory is always contiguous, so
    // the two flags change nothing.
    BBitmap(const BBitmap* source, bool acceptsViews = false, bool needsContiguousMemory = false);
    virtual ~BBitmap();

    BBitmap(const BBitmap&) = delete;
    BBitmap& operator=(const BBitmap&) = delete;

    status_t InitCheck() const { return mInitStatus; }
    status_t Archive(BMessage* into) const;

    BRect Bounds() const { return mBounds; }
    color_space ColorSpace() const { return mColorSpace; }
    uint32 Flags() const { return mFlags; }
    int32 BytesPerRow() const { return mBytesPerRow; }
    void* Bits() { return mBits.data(); }
    const void* Bits() const { return mBits.data(); }
    int32 BitsLength() const { return static_cast<int32>(mBits.size()); }

private:
    status_t SetTo(BRect bounds, color_space space, uint32 flags, int32 bytesPerRow);
    status_t Unarchive(const BMessage* archive);

    status_t mInitStatus = B_NO_INIT;
    BRect mBounds;
    color_space mColorSpace = B_NO_COLOR_SPACE;
    uint32 mFlags = 0;
    int32 mBytesPerRow = 0;
    std::vector<uint8> mBits;
};
