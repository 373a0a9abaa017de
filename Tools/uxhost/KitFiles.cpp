#include "KitFiles.h"

#include <unistd.h>

#include <filesystem>

#include "PluginLoader.h"

namespace fs = std::filesystem;

#ifndef UX_KIT_INSTALLED_DIR
#define UX_KIT_INSTALLED_DIR "../lib/ux-filter-kit"
#endif

std::vector<std::string> KitFilePlaces(const std::string& name)
{
    const std::string own = OwnFolder();
    if (own.empty())
        return {};
    const fs::path folder(own);
    return {(folder / name).string(), (folder / UX_KIT_INSTALLED_DIR / name).lexically_normal().string()};
}

std::string FindKitFile(const std::string& name, int mode)
{
    for (const std::string& place : KitFilePlaces(name))
        if (access(place.c_str(), mode) == 0)
            return place;
    return {};
}
