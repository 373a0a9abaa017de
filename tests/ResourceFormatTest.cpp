// The resources each plug-in file carries behind its ELF image, read back from the
// built files byte by byte, and the readers' answer to damaged resources.
#include "IconTestSupport.h"

#include <elf.h>

#include <cstring>
#include <set>

#include <Message.h>

namespace {

uint32 Little32(const std::vector<uint8>& bytes, size_t at)
{
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32>(bytes[at + 3]) << 24;
}

// The end of a 64-bit ELF file's data, worked out apart from the platform's reader.
size_t ElfEnd(const std::vector<uint8>& file)
{
    Elf64_Ehdr header;
    std::memcpy(&header, file.data(), sizeof header);
    size_t end = header.e_shoff + size_t{header.e_shnum} * header.e_shentsize;
    for (size_t i = 0; i < header.e_shnum; ++i) {
        Elf64_Shdr section;
        std::memcpy(&section, &file[header.e_shoff + static_cast<size_t>(i) * header.e_shentsize], sizeof section);
        if (section.sh_type != SHT_NOBITS)
            end = std::max<size_t>(end, section.sh_offset + section.sh_size);
    }
    for (size_t i = 0; i < header.e_phnum; ++i) {
        Elf64_Phdr segment;
        std::memcpy(&segment, &file[header.e_phoff + static_cast<size_t>(i) * header.e_phentsize], sizeof segment);
        end = std::max<size_t>(end, segment.p_offset + segment.p_filesz);
    }
    return end;
}

class BuiltLibrary : public testing::TestWithParam<IconCase> {
protected:
    std::vector<uint8> File() const { return ReadBytes(AddOnPath(GetParam().library)); }
};

TEST_P(BuiltLibrary, ContainerFollowsTheElfDataAtTheNextPage)
{
    const std::vector<uint8> file = File();
    const size_t elfEnd = ElfEnd(file);
    const size_t start = (elfEnd + 4095) / 4096 * 4096;
    ASSERT_EQ(file.size(), start + 3819);
    EXPECT_EQ(ContainerOffset(file), start);
    for (size_t at = elfEnd; at < start; ++at)
        ASSERT_EQ(file[at], 0) << "gap byte " << at;

    struct Word {
        size_t offset;
        uint32 value;
    } const words[] = {
        {0, 0x444F1000}, {4, 2},      {8, 68},      {12, 1604},  {68, 68},  {72, 1536},    {76, 0x3E9}, {80, 1604},
        {84, 360},       {88, 0x3E9}, {184, 0x3E9}, {188, 3746}, {192, 73}, {196, 0x3E9},  {200, 1964}, {204, 1747},
        {208, 0},        {212, 3711}, {216, 35},    {220, 0},    {224, 0},  {1600, 0x3E9}, {1604, 0},   {1960, 0x3E9},
    };
    for (const Word& word : words)
        EXPECT_EQ(Little32(file, start + word.offset), word.value) << "offset " << word.offset;
    for (size_t at = 16; at < 68; ++at)
        EXPECT_EQ(file[start + at], 0) << "offset " << at;
    const uint8 bitmapType[] = {0x50, 0x4D, 0x42, 0x42};  // 'BBMP' little-endian
    EXPECT_EQ(std::memcmp(&file[start + 3746], bitmapType, 4), 0);
}

TEST_P(BuiltLibrary, CarriesExactlyTheIconAndTheFileType)
{
    const std::vector<uint8> file = File();
    const size_t start = ContainerOffset(file);
    std::vector<ResourceItem> items;
    ASSERT_EQ(ReadResourceContainer(&file[start], file.size() - start, &items), B_OK);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].type, B_BITMAP_RESOURCE_TYPE);
    EXPECT_EQ(items[0].id, 100);
    EXPECT_EQ(items[0].name, "Class Icon");
    EXPECT_EQ(items[0].data.size(), 1747u);
    EXPECT_EQ(items[1].type, B_MIME_STRING_TYPE);
    EXPECT_EQ(items[1].id, 2);
    EXPECT_EQ(items[1].name, "BEOS:TYPE");
    const char fileType[] = "application/x-vnd.Be-elfexecutable";
    EXPECT_EQ(items[1].data, std::vector<uint8>(fileType, fileType + sizeof fileType));

    // Info table check sum: big-endian words of its first 65 bytes, the last
    // lone byte counted by itself.
    const uint8* table = &file[start + 3746];
    uint32 sum = 0;
    for (int i = 0; i < 64; i += 4)
        sum += uint32{table[i]} << 24 | uint32{table[i + 1]} << 16 | uint32{table[i + 2]} << 8 | table[i + 3];
    sum += table[64];
    EXPECT_EQ(Little32(file, start + 3746 + 65), sum);
    EXPECT_EQ(sum, 0x532E5A41u);
    EXPECT_EQ(Little32(file, start + 3746 + 69), 0u);
}

TEST_P(BuiltLibrary, IconArchiveHoldsTheBitmapFields)
{
    const std::vector<uint8> file = File();
    const size_t archiveAt = ContainerOffset(file) + 1964;
    const std::vector<uint8> archive(file.begin() + archiveAt, file.begin() + archiveAt + 1747);
    const uint8 header[] = {0x31, 0x42, 0x4F, 0x46, 0x01, 0x00, 0x06, 0xD3, 0xD3, 0x06, 0, 0, 0, 0, 0, 0, 0x01};
    EXPECT_EQ(std::memcmp(archive.data(), header, sizeof header), 0);

    BMessage message;
    ASSERT_EQ(message.Unflatten(archive.data(), archive.size()), B_OK);
    EXPECT_EQ(message.CountFields(), 6);
    EXPECT_EQ(message.Flatten(), archive) << "the archive is not in its one flattened form";
    const char* className = nullptr;
    BRect frame;
    int32 space = 0, flags = 0, rowBytes = 0;
    ASSERT_EQ(message.FindString("class", &className), B_OK);
    EXPECT_STREQ(className, "BBitmap");
    ASSERT_EQ(message.FindRect("_frame", &frame), B_OK);
    EXPECT_EQ(frame, BRect(0, 0, 19, 19));
    ASSERT_EQ(message.FindInt32("_cspace", &space), B_OK);
    EXPECT_EQ(space, 0x2008);
    ASSERT_EQ(message.FindInt32("_bmflags", &flags), B_OK);
    EXPECT_EQ(flags, 1);
    ASSERT_EQ(message.FindInt32("_rowbytes", &rowBytes), B_OK);
    EXPECT_EQ(rowBytes, 80);

    const BBitmap icon(&message);
    ASSERT_EQ(icon.InitCheck(), B_OK);
    EXPECT_EQ(icon.BitsLength(), 1600);
    const IconCounts counts = CountIcon(icon);
    EXPECT_EQ(counts.backgroundAlpha, GetParam().backgroundAlpha);
    EXPECT_EQ(counts.strokePixels, GetParam().strokePixels);
    EXPECT_EQ(counts.backgroundPixels, GetParam().backgroundPixels);
    EXPECT_EQ(counts.shades, GetParam().shades);
}

INSTANTIATE_TEST_SUITE_P(EveryIcon, BuiltLibrary, testing::ValuesIn(kIcons),
                         [](const testing::TestParamInfo<IconCase>& info) { return info.param.library; });

// The Dissolve container with the icon found in it, or null.
const BBitmap* IconOf(const std::vector<uint8>& container, BExperimental::BResourceSet* set)
{
    std::vector<ResourceItem> items;
    if (ReadResourceContainer(container.data(), container.size(), &items) != B_OK)
        return nullptr;
    std::vector<uint8> file = ReadBytes(AddOnPath("Dissolve"));
    file.resize(ContainerOffset(file));
    file.insert(file.end(), container.begin(), container.end());
    return set->AddFileResources(file.data(), file.size()) == B_OK ? set->FindBitmap("Class Icon") : nullptr;
}

// Any byte flipped: the reader refuses the container, or, for a byte of the
// pixels or the file type that nothing can check, still makes a well-formed
// 20 by 20 bitmap.
TEST(DamagedResources, EveryFlippedByteIsRefusedOrHarmless)
{
    const std::vector<uint8> file = ReadBytes(AddOnPath("Dissolve"));
    const std::vector<uint8> container(file.begin() + ContainerOffset(file), file.end());
    const size_t pixelsStart = 1964 + 1747 - 1 - 1600;
    const size_t pixelsEnd = 1964 + 1747 - 1;
    const size_t typeStart = 3711;
    const size_t typeEnd = 3711 + 35;  // read by no one but the platform
    for (size_t at = 0; at < container.size(); ++at) {
        std::vector<uint8> damaged = container;
        damaged[at] ^= 0x5A;
        BExperimental::BResourceSet set;
        const BBitmap* icon = IconOf(damaged, &set);
        const bool payload = (at >= pixelsStart && at < pixelsEnd) || (at >= typeStart && at < typeEnd);
        if (!payload && icon)
            ADD_FAILURE() << "accepted a flip at " << at;
        if (icon) {
            EXPECT_EQ(icon->Bounds(), BRect(0, 0, 19, 19)) << "byte " << at;
            EXPECT_EQ(icon->BitsLength(), 1600) << "byte " << at;
        }
    }
}

TEST(DamagedResources, EveryTruncationIsRefused)
{
    const std::vector<uint8> file = ReadBytes(AddOnPath("Dissolve"));
    const std::vector<uint8> container(file.begin() + ContainerOffset(file), file.end());
    const std::vector<uint8> archive(container.begin() + 1964, container.begin() + 1964 + 1747);
    for (size_t size = 0; size < container.size(); ++size) {
        std::vector<ResourceItem> items;
        ASSERT_EQ(ReadResourceContainer(container.data(), size, &items), B_BAD_DATA) << size;
    }
    for (size_t size = 0; size < archive.size(); ++size) {
        BMessage message;
        ASSERT_EQ(message.Unflatten(archive.data(), size), B_BAD_DATA) << size;
    }
}

// Messages whose sizes and counts lie must be refused without reading past the
// buffer or allocating what they claim.
TEST(DamagedResources, MessagesWithLyingFieldsAreRefused)
{
    BMessage small;
    small.AddInt32("n", 7);
    const std::vector<uint8> good = small.Flatten();
    ASSERT_EQ(good.size(), 17u + 1 + 4 + 1 + 1 + 1 + 4 + 1);
    struct Case {
        const char* what;
        size_t at;
        uint8 value;
    } const cases[] = {
        {"unknown field flag", 17, 0x1F},
        {"field not valid", 17, 0x0E},
        {"data size beyond the buffer", 22, 0xFF},
        {"data size not a whole item", 22, 3},
        {"empty name", 23, 0},
        {"name longer than the data", 23, 200},
        {"no end byte", 29, 0x01},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8> bytes = good;
        bytes[c.at] = c.value;
        BMessage message;
        EXPECT_EQ(message.Unflatten(bytes.data(), bytes.size()), B_BAD_DATA);
    }
    BMessage message;
    EXPECT_EQ(message.Unflatten(good.data(), good.size()), B_OK);
    int32 value = 0;
    EXPECT_EQ(message.FindInt32("n", &value), B_OK);
    EXPECT_EQ(value, 7);
}

TEST(IconSources, MatchTheirPictures)
{
    for (const IconCase& icon : kIcons) {
        SCOPED_TRACE(icon.library);
        const IconCounts counts = CountIcon(*ReadIconSource(IconSourcePath(icon.library)));
        EXPECT_EQ(counts.backgroundAlpha, icon.backgroundAlpha);
        EXPECT_EQ(counts.strokePixels, icon.strokePixels);
        EXPECT_EQ(counts.backgroundPixels, icon.backgroundPixels);
        EXPECT_EQ(counts.shades, icon.shades);
    }
}

TEST(IconSources, BadSourcesNameTheLine)
{
    const std::string header = "background-alpha 100\nshade @ 0\ngrid\n";
    struct Case {
        const char* what;
        std::string text;
        const char* message;
    } const cases[] = {
        {"unknown shade", header + "@x\n@@\n", "icon:4: unknown shade 'x'"},
        {"ragged rows", header + "@@\n@\n", "icon:5: row of 1 pixels, expected 2"},
        {"no alpha", "shade @ 0\ngrid\n@\n", "icon:3: no background-alpha"},
        {"alpha out of range", "background-alpha 300\n", "icon:1: background-alpha needs"},
        {"no grid", "background-alpha 1\n", "icon:1: no grid"},
        {"unknown keyword", "colour 3\n", "icon:1: unknown keyword 'colour'"},
        {"shade twice", "shade @ 1\nshade @ 2\n", "icon:2: shade '@' given twice"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            ParseIconSource(c.text, "icon");
            ADD_FAILURE() << "accepted";
        } catch (const IconSourceError& error) {
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
}

}  // namespace
