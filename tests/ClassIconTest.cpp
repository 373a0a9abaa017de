// The add-on's icon: read once per library from its own file, handed out as a new
// copy on every call, and null when the library's resources are missing or broken.
#include "IconTestSupport.h"

#include <iterator>

namespace {

TEST(ClassIcon, CopiesAreIndependentOfEachOtherAndOfTheSet)
{
    ScratchFolder folder;
    SeamedPlugin loaded(folder.Add("Dissolve", ReadBytes(SeamedAddOnPath("Dissolve"))));
    std::unique_ptr<BBitmap> first(loaded.plugin->AddOn()->Image(BPoint(0, 0)));
    std::unique_ptr<BBitmap> second(loaded.plugin->AddOn()->Image(BPoint(64, 64)));
    ASSERT_TRUE(first && second);
    EXPECT_NE(first.get(), second.get());
    EXPECT_NE(first->Bits(), second->Bits());
    EXPECT_EQ(first->Bounds(), BRect(0, 0, 19, 19));
    EXPECT_EQ(first->ColorSpace(), B_RGBA32);
    EXPECT_TRUE(SamePixels(*first, *second));

    const BBitmap* kept = loaded.seam->resources().FindBitmap("Class Icon");
    ASSERT_NE(kept, nullptr);
    static_cast<uint8*>(first->Bits())[0] ^= 0xFF;
    first.reset();
    EXPECT_TRUE(SamePixels(*second, *kept));
    std::unique_ptr<BBitmap> third = loaded.Image();
    ASSERT_TRUE(third);
    EXPECT_TRUE(SamePixels(*third, *kept));
}

TEST(ClassIcon, OneFillNoSleepGuardEndsAtThree)
{
    ScratchFolder folder;
    SeamedPlugin loaded(folder.Add("Dissolve", ReadBytes(SeamedAddOnPath("Dissolve"))));
    EXPECT_EQ(loaded.Guard(), 0);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(loaded.Image());
    BExperimental::BResourceSet& set = loaded.seam->resources();
    EXPECT_EQ(&set, &loaded.seam->resources());
    EXPECT_EQ(loaded.seam->fills.load(), 1);
    EXPECT_EQ(loaded.seam->sleeps.load(), 0);
    EXPECT_EQ(loaded.Guard(), 3);
}

// Each library in one process fills its own set from its own file, and shows its
// own icon, pixel for pixel the one its source describes. The shipped libraries
// are loaded first, into the global scope and in reverse order, beside the test
// builds, which have the same internal names: none may bind another's.
TEST(ClassIcon, EachLibraryShowsItsOwnIcon)
{
    std::vector<void*> global;
    for (size_t i = std::size(kIcons); i-- > 0;) {
        global.push_back(dlopen(AddOnPath(kIcons[i].library).c_str(), RTLD_NOW | RTLD_GLOBAL));
        ASSERT_NE(global.back(), nullptr) << dlerror();
    }
    std::vector<std::unique_ptr<Plugin>> shipped;
    std::vector<std::unique_ptr<SeamedPlugin>> seamed;
    for (const IconCase& icon : kIcons) {
        shipped.push_back(Plugin::Load(AddOnPath(icon.library)));
        seamed.push_back(std::make_unique<SeamedPlugin>(SeamedAddOnPath(icon.library)));
    }
    for (size_t i = 0; i < std::size(kIcons); ++i) {
        SCOPED_TRACE(kIcons[i].library);
        const std::unique_ptr<BBitmap> source = ReadIconSource(IconSourcePath(kIcons[i].library));
        const std::unique_ptr<BBitmap> shown = seamed[i]->Image();
        const std::unique_ptr<BBitmap> shownShipped(shipped[i]->AddOn()->Image(BPoint()));
        ASSERT_TRUE(shown && shownShipped);
        EXPECT_TRUE(SamePixels(*shown, *source));
        EXPECT_TRUE(SamePixels(*shownShipped, *source));
        EXPECT_EQ(seamed[i]->Guard(), 3);
    }
    shipped.clear();
    for (void* handle : global)
        dlclose(handle);
}

// A library whose resources are missing or broken shows no icon, every time, and
// tries the fill only once.
TEST(ClassIcon, MissingOrBrokenResourcesGiveNull)
{
    const std::vector<uint8> built = ReadBytes(SeamedAddOnPath("Dissolve"));
    const size_t start = ContainerOffset(built);
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8>&)> damage;
    } const cases[] = {
        {"no resources", [&](std::vector<uint8>& f) { f.resize(start); }},
        {"only the gap", [&](std::vector<uint8>& f) { f.resize(start - 1); }},
        {"container cut short", [&](std::vector<uint8>& f) { f.resize(start + 2000); }},
        {"archive cut short", [&](std::vector<uint8>& f) { f.resize(f.size() - 1); }},
        {"container magic", [&](std::vector<uint8>& f) { f[start] ^= 1; }},
        {"info table check sum", [&](std::vector<uint8>& f) { f[f.size() - 5] ^= 1; }},
        {"archive check sum", [&](std::vector<uint8>& f) { f[start + 1964 + 4] ^= 1; }},
        {"archive field flags", [&](std::vector<uint8>& f) { f[start + 1964 + 17] = 0x80; }},
        {"icon name", [&](std::vector<uint8>& f) { f[start + 3746 + 14] = 'c'; }},
        {"frame not 20 by 20 whole pixels", [&](std::vector<uint8>& f) { f[start + 1964 + 17 + 24 + 13 + 8] ^= 0x40; }},
    };
    ScratchFolder folder;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8> file = built;
        c.damage(file);
        SeamedPlugin loaded(folder.Add("Broken", file));
        EXPECT_FALSE(loaded.Image());
        EXPECT_FALSE(loaded.Image());
        EXPECT_EQ(loaded.seam->fills.load(), 1);
        EXPECT_EQ(loaded.Guard(), 3);
    }
}

}  // namespace
