#include "PluginFinder.h"

#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

constexpr const char* kPluginSuffix = ".so";

std::string InstalledFolder()
{
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return (exe.parent_path().parent_path() / "lib" / "ux-add-ons").string();
}

bool LooksLikePath(const std::string& name)
{
    return name.find('/') != std::string::npos || fs::is_regular_file(name);
}

}  // namespace

std::vector<std::string> AddOnFolders()
{
    std::vector<std::string> folders;
#ifdef UX_BUILD_ADDON_DIR
    folders.push_back(UX_BUILD_ADDON_DIR);
#endif
    if (std::string installed = InstalledFolder(); !installed.empty())
        folders.push_back(installed);
    if (const char* extra = std::getenv("UX_ADDON_PATH")) {
        std::istringstream list(extra);
        for (std::string folder; std::getline(list, folder, ':');)
            if (!folder.empty())
                folders.push_back(folder);
    }
    return folders;
}

std::vector<std::string> FindPluginFiles()
{
    std::vector<std::string> files;
    std::set<std::string> seenNames;
    for (const std::string& folder : AddOnFolders()) {
        std::error_code error;
        std::set<fs::path> entries;  // sorted, so the listing is stable
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            if (it->path().extension() == kPluginSuffix && it->is_regular_file(error))
                entries.insert(it->path());
        for (const fs::path& entry : entries)
            if (seenNames.insert(entry.filename().string()).second)
                files.push_back(entry.string());
    }
    return files;
}

std::unique_ptr<Plugin> LoadNamedPlugin(const std::string& name)
{
    if (LooksLikePath(name))
        return Plugin::Load(name);

    const std::vector<std::string> files = FindPluginFiles();
    for (const std::string& file : files) {
        const fs::path path(file);
        if (path.filename() == name || path.stem() == name)
            return Plugin::Load(file);
    }
    std::string found;
    for (const std::string& file : files) {
        try {
            std::unique_ptr<Plugin> plugin = Plugin::Load(file);
            if (name == plugin->AddOn()->Name())
                return plugin;
            found += std::string(found.empty() ? "" : ", ") + "\"" + plugin->AddOn()->Name() + "\"";
        } catch (const PluginError&) {
            // A file that is no plug-in cannot be the one asked for.
        }
    }
    throw PluginError(name + ": no such plug-in; found: " + (found.empty() ? "none" : found));
}
