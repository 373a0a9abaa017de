// Bitmap archives that do not describe their own pixels are refused: whatever the
// frame, the row bytes or the flags claim, a bitmap is made only when the pixel
// data fill the frame exactly, and a refused archive leaves the bitmap empty
// without having taken the memory its frame asks for.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Bitmap.h>
#include <Message.h>

namespace {

long PeakResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// How much the process's peak resident memory grows while `work` runs, in kB, or -1
// where the peak cannot be reset. Writing 5 to clear_refs lowers the peak to what
// is resident now.
long PeakMemoryGrowth(const std::function<void()>& work)
{
    std::ofstream clearRefs("/proc/self/clear_refs");
    clearRefs << "5" << std::flush;
    const long before = PeakResidentKb();
    if (!clearRefs || before < 0)
        return -1;
    work();
    const long after = PeakResidentKb();
    return after < 0 ? -1 : after - before;
}

struct ArchiveCase {
    const char* what;
    BRect frame;
    int32 colorSpace;
    int32 flags;
    int32 bytesPerRow;
    size_t dataSize;
    bool accepted;
};

const float kNaN = std::nanf("");

const ArchiveCase kArchives[] = {
    {"a 20 by 20 icon", BRect(0, 0, 19, 19), B_RGBA32, 1, 80, 1600, true},
    {"rows with a gap after them", BRect(0, 0, 1, 2), B_RGBA32, 0, 12, 36, true},
    {"a large frame and a few bytes of pixels", BRect(0, 0, 4095, 4095), B_RGBA32, 0, 16384, 16, false},
    {"pixels one byte short", BRect(0, 0, 19, 19), B_RGBA32, 1, 80, 1599, false},
    {"pixels one byte long", BRect(0, 0, 19, 19), B_RGBA32, 1, 80, 1601, false},
    {"rows narrower than the frame", BRect(0, 0, 19, 19), B_RGBA32, 1, 76, 1520, false},
    {"rows of no bytes", BRect(0, 0, 19, 19), B_RGBA32, 1, 0, 0, false},
    {"rows of a negative size", BRect(0, 0, 19, 19), B_RGBA32, 1, -80, 1600, false},
    {"row bytes whose product with the rows wraps", BRect(0, 0, 0, 4095), B_RGBA32, 0, INT32_MIN, 0, false},
    {"a frame wider than any bitmap", BRect(0, 0, 4096, 0), B_RGBA32, 0, 16388, 16388, false},
    {"a frame not at the origin", BRect(1, 0, 20, 19), B_RGBA32, 1, 80, 1600, false},
    {"a frame edge between pixels", BRect(0, 0, 19.5f, 19), B_RGBA32, 1, 80, 1600, false},
    {"a frame edge that is not a number", BRect(0, 0, 19, kNaN), B_RGBA32, 1, 80, 1600, false},
    {"an unknown colour space", BRect(0, 0, 19, 19), 0x2009, 1, 80, 1600, false},
    {"unknown flags", BRect(0, 0, 19, 19), B_RGBA32, 0x10, 80, 1600, false},
};

BMessage Archive(const ArchiveCase& c)
{
    BMessage archive;
    archive.AddString("class", "BBitmap");
    archive.AddRect("_frame", c.frame);
    archive.AddInt32("_cspace", c.colorSpace);
    archive.AddInt32("_bmflags", c.flags);
    archive.AddInt32("_rowbytes", c.bytesPerRow);
    const std::vector<uint8> pixels(c.dataSize, 0x7F);
    archive.AddData("_data", B_RAW_TYPE, pixels.data(), pixels.size(), false);
    return archive;
}

}  // namespace

TEST(BitmapArchives, AreAcceptedOnlyWhenThePixelsFillTheFrame)
{
    for (const ArchiveCase& c : kArchives) {
        SCOPED_TRACE(c.what);
        const BMessage archive = Archive(c);
        // Through the flattened form, as a resource holds it.
        const std::vector<uint8> flat = archive.Flatten();
        BMessage read;
        ASSERT_EQ(read.Unflatten(flat.data(), flat.size()), B_OK);
        std::unique_ptr<BBitmap> made;
        const long growth = PeakMemoryGrowth([&] { made = std::make_unique<BBitmap>(&read); });
        const BBitmap& bitmap = *made;
        if (c.accepted) {
            ASSERT_EQ(bitmap.InitCheck(), B_OK);
            EXPECT_EQ(bitmap.Bounds(), c.frame);
            EXPECT_EQ(bitmap.BytesPerRow(), c.bytesPerRow);
            ASSERT_EQ(static_cast<size_t>(bitmap.BitsLength()), c.dataSize);
            EXPECT_EQ(static_cast<const uint8*>(bitmap.Bits())[c.dataSize - 1], 0x7F);
        } else {
            EXPECT_EQ(bitmap.InitCheck(), B_BAD_DATA);
            EXPECT_EQ(bitmap.BitsLength(), 0);
            EXPECT_EQ(bitmap.ColorSpace(), B_NO_COLOR_SPACE);
            // The largest frame here would take 64 MB.
            if (growth >= 0) {
                EXPECT_LT(growth, 16 * 1024) << "kB taken for a refused archive";
            }
        }
    }
}
