// What the icon tests share: the three icons and what they should measure, copies
// of a plug-in library made to carry other (or broken) resources, and a loaded
// library's test seam, which only the test builds of the plug-ins have.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>

#include <IconSource.h>
#include <KitTestSeam.h>
#include <ResourceAttacher.h>
#include <ResourceFile.h>
#include <ResourceSet.h>

#include "TestSupport.h"

struct IconCase {
    const char* library;
    int backgroundAlpha;
    int strokePixels;
    int backgroundPixels;
    int shades;
};

const IconCase kIcons[] = {
    {"FractalDrift", 172, 98, 302, 7},
    {"Dissolve", 167, 163, 237, 9},
    {"BetaFade", 162, 43, 357, 12},
};

// The test build of a plug-in: the same library with its resource fill's seam.
inline std::string SeamedAddOnPath(const std::string& fileStem)
{
    return std::string(UX_SEAMED_ADDON_DIR) + "/" + fileStem + ".so";
}

inline std::string IconSourcePath(const std::string& library)
{
    return std::string(UX_ICON_SOURCE_DIR) + "/" + library + ".icon";
}

inline std::vector<uint8> ReadBytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    EXPECT_TRUE(file) << path;
    return std::vector<uint8>((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const std::string& path, const std::vector<uint8>& bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good()) << path;
}

// A folder beside the build's add-ons folder, so that a library copied into it
// finds the host libraries through its RPATH; removed with its files.
class ScratchFolder {
public:
    ScratchFolder()
    {
        std::string pattern = std::string(UX_BUILD_ADDON_DIR) + "/../icon-test-XXXXXX";
        mPath = mkdtemp(pattern.data()) ? pattern : "";
    }
    ~ScratchFolder()
    {
        for (const std::string& file : mFiles)
            unlink(file.c_str());
        rmdir(mPath.c_str());
    }

    // A copy of `bytes` under a new file name.
    std::string Add(const std::string& stem, const std::vector<uint8>& bytes)
    {
        const std::string path = mPath + "/" + stem + std::to_string(mFiles.size()) + ".so";
        WriteBytes(path, bytes);
        mFiles.push_back(path);
        return path;
    }

private:
    std::string mPath;
    std::vector<std::string> mFiles;
};

// Where the container of a built library starts.
inline size_t ContainerOffset(const std::vector<uint8>& file)
{
    size_t offset = 0;
    EXPECT_EQ(FindResourceContainer(file.data(), file.size(), &offset), B_OK);
    return offset;
}

// One library loaded as the host does, with its test seam.
struct SeamedPlugin {
    explicit SeamedPlugin(const std::string& path) : plugin(Plugin::Load(path))
    {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_NE(handle, nullptr);
        auto find = reinterpret_cast<KitTestSeam* (*)()>(dlsym(handle, UX_KIT_TEST_SEAM_SYMBOL));
        EXPECT_NE(find, nullptr);
        seam = find ? find() : nullptr;
        dlclose(handle);
    }

    int32 Guard() const { return __atomic_load_n(seam->guardWord, __ATOMIC_ACQUIRE); }
    std::unique_ptr<BBitmap> Image() const { return std::unique_ptr<BBitmap>(plugin->AddOn()->Image(BPoint())); }

    std::unique_ptr<Plugin> plugin;
    KitTestSeam* seam = nullptr;
};

inline bool SamePixels(const BBitmap& a, const BBitmap& b)
{
    return a.Bounds() == b.Bounds() && a.ColorSpace() == b.ColorSpace() && a.BytesPerRow() == b.BytesPerRow()
        && a.BitsLength() == b.BitsLength() && std::memcmp(a.Bits(), b.Bits(), a.BitsLength()) == 0;
}
