#include "Bitmap.h"

#include <cmath>
#include <cstring>

#include "Message.h"

namespace {

constexpr const char* kClassName = "BBitmap";
constexpr int32 kBytesPerPixel = 4;  // B_RGBA32, the one colour space supported
// Larger bitmaps are refused, so that a corrupt archive cannot ask for gigabytes.
constexpr int32 kMaxSide = 4096;
// The flags this platform knows; an archive with others is not one of its bitmaps.
constexpr uint32 kKnownFlags = B_BITMAP_CLEAR_TO_WHITE;

// The number of pixels from `low` to `high`, both included, when both are whole
// numbers with low = 0 and the side at most kMaxSide; 0 otherwise.
int32 PixelsAlong(float low, float high)
{
    if (low != 0 || !(high >= 0) || high >= kMaxSide || std::floor(high) != high)
        return 0;
    return static_cast<int32>(high) + 1;
}

}  // namespace

BBitmap::BBitmap(BRect bounds, color_space space, uint32 flags)
{
    mInitStatus = SetTo(bounds, space, flags, PixelsAlong(bounds.left, bounds.right) * kBytesPerPixel);
    if (mInitStatus == B_OK)
        std::memset(mBits.data(), (flags & B_BITMAP_CLEAR_TO_WHITE) ? 0xFF : 0, mBits.size());
}

BBitmap::BBitmap(const BMessage* archive)
{
    mInitStatus = archive ? Unarchive(archive) : B_BAD_VALUE;
}

BBitmap::BBitmap(const BBitmap* source, bool, bool)
{
    if (!source || source->InitCheck() != B_OK) {
        mInitStatus = B_BAD_VALUE;
        return;
    }
    // A valid source needs no checking again: its fields and pixels are copied as they are.
    mBounds = source->mBounds;
    mColorSpace = source->mColorSpace;
    mFlags = source->mFlags;
    mBytesPerRow = source->mBytesPerRow;
    mBits = source->mBits;
    mInitStatus = B_OK;
}

BBitmap::~BBitmap() = default;

status_t BBitmap::SetTo(BRect bounds, color_space space, uint32 flags, int32 bytesPerRow)
{
    const int32 width = PixelsAlong(bounds.left, bounds.right);
    const int32 height = PixelsAlong(bounds.top, bounds.bottom);
    if (width == 0 || height == 0 || space != B_RGBA32 || bytesPerRow < width * kBytesPerPixel
        || bytesPerRow > kMaxSide * kBytesPerPixel)
        return B_BAD_VALUE;
    mBits.assign(static_cast<size_t>(bytesPerRow) * static_cast<size_t>(height), 0);
    mBounds = bounds;
    mColorSpace = space;
    mFlags = flags;
    mBytesPerRow = bytesPerRow;
    return B_OK;
}

status_t BBitmap::Unarchive(const BMessage* archive)
{
    const char* className = nullptr;
    BRect frame;
    int32 space = 0;
    int32 flags = 0;
    int32 bytesPerRow = 0;
    const void* data = nullptr;
    size_t size = 0;
    if (archive->FindString("class", &className) != B_OK || std::strcmp(className, kClassName) != 0
        || archive->FindRect("_frame", &frame) != B_OK || archive->FindInt32("_cspace", &space) != B_OK
        || archive->FindInt32("_bmflags", &flags) != B_OK || archive->FindInt32("_rowbytes", &bytesPerRow) != B_OK
        || archive->FindData("_data", B_RAW_TYPE, 0, &data, &size) != B_OK)
        return B_BAD_DATA;
    // The pixel data must fill the frame exactly. Checked before SetTo takes the
    // frame's memory, so that a small archive that claims a large frame is refused
    // without allocating it.
    const size_t rows = static_cast<size_t>(PixelsAlong(frame.top, frame.bottom));
    if (bytesPerRow <= 0 || size != static_cast<size_t>(bytesPerRow) * rows)
        return B_BAD_DATA;
    // SetTo changes nothing when it fails, and when it succeeds makes exactly
    // `size` bytes of pixels.
    if ((static_cast<uint32>(flags) & ~kKnownFlags) != 0
        || SetTo(frame, static_cast<color_space>(space), static_cast<uint32>(flags), bytesPerRow) != B_OK)
        return B_BAD_DATA;
    std::memcpy(mBits.data(), data, size);
    return B_OK;
}

status_t BBitmap::Archive(BMessage* into) const
{
    if (!into || mInitStatus != B_OK)
        return B_BAD_VALUE;
    status_t status = into->AddString("class", kClassName);
    if (status == B_OK)
        status = into->AddRect("_frame", mBounds);
    if (status == B_OK)
        status = into->AddInt32("_cspace", static_cast<int32>(mColorSpace));
    if (status == B_OK)
        status = into->AddInt32("_bmflags", static_cast<int32>(mFlags));
    if (status == B_OK)
        status = into->AddInt32("_rowbytes", mBytesPerRow);
    if (status == B_OK)
        status = into->AddData("_data", B_RAW_TYPE, mBits.data(), mBits.size(), false);
    return status;
}
