#include "PluginFinder.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool SameName(const std::string& a, const std::string& b)
{
    return Lower(a) == Lower(b);
}

std::string Quoted(const std::string& text)
{
    return "\"" + text + "\"";
}

// "two ... named N: using A, not B"
std::string Duplicate(const std::string& what, const std::string& name, const std::string& used,
                      const std::vector<std::string>& unused)
{
    std::string line = "two " + what + " named " + Quoted(name) + ": using " + used + ", not ";
    for (size_t i = 0; i < unused.size(); ++i)
        line += (i ? ", " : "") + unused[i];
    return line;
}

// Every plug-in file of every folder, in order, shadowed ones included.
std::vector<std::string> AllPluginFiles()
{
    std::vector<std::string> files;
    for (const std::string& folder : AddOnFolders())
        for (std::string& file : PluginFilesIn(folder))
            files.push_back(std::move(file));
    return files;
}

constexpr const char* kUserAddOnFolder = ".local/lib/ux-add-ons";  // below the home folder
constexpr const char* kLocalAddOnFolder = UX_LOCAL_ADDON_DIR;

// Where the installed add-ons folder is found from; empty: OwnFolder().
std::string gHostFolder;

}  // namespace

void FindAddOnsFrom(std::string folder)
{
    gHostFolder = std::move(folder);
}

std::vector<std::string> AddOnFolders()
{
    std::vector<std::string> named;
    if (const char* extra = std::getenv("UX_ADDON_PATH")) {
        std::istringstream list(extra);
        for (std::string folder; std::getline(list, folder, ':');)
            if (!folder.empty())
                named.push_back(folder);
    }
    // The user's own add-ons, as ~/.lv2 is for LV2; then those installed by hand
    // (cmake --install with the default prefix).
    if (const char* home = std::getenv("HOME"); home && *home)
        named.push_back(std::string(home) + "/" + kUserAddOnFolder);
    named.push_back(kLocalAddOnFolder);
    if (const std::string own = gHostFolder.empty() ? OwnFolder() : gHostFolder; !own.empty())
        named.push_back((fs::path(own) / UX_ADDON_RELATIVE_DIR).lexically_normal().string());

    std::vector<std::string> folders;
    std::set<fs::path> seen;
    for (const std::string& folder : named) {
        std::error_code error;
        const fs::path real = fs::canonical(folder, error);
        if (!error && fs::is_directory(real, error) && seen.insert(real).second)
            folders.push_back(folder);
    }
    return folders;
}

std::vector<std::string> FindPluginFiles()
{
    std::vector<std::string> files;
    std::set<std::string> seenNames;
    for (std::string& file : AllPluginFiles())
        if (seenNames.insert(Lower(fs::path(file).filename().string())).second)
            files.push_back(std::move(file));
    return files;
}

std::string DuplicateLine(const FoundPlugin& found)
{
    return found.shadowed.empty()
        ? std::string()
        : Duplicate("add-ons are", found.plugin->AddOn()->Name(), found.plugin->Path(), found.shadowed);
}

PluginScan LoadEveryPlugin()
{
    PluginScan scan;
    for (const std::string& file : AllPluginFiles()) {
        try {
            std::unique_ptr<Plugin> plugin = Plugin::Load(file);
            const auto kept = std::find_if(scan.plugins.begin(), scan.plugins.end(), [&](const auto& p) {
                return SameName(p.plugin->AddOn()->Name(), plugin->AddOn()->Name());
            });
            if (kept == scan.plugins.end())
                scan.plugins.push_back({std::move(plugin), {}});
            else
                kept->shadowed.push_back(file);
        } catch (const PluginError& error) {
            scan.failures.push_back(error.what());
        }
    }
    return scan;
}

std::unique_ptr<Plugin> LoadNamedPlugin(const std::string& name, std::string* shadowed)
{
    shadowed->clear();
    if (name.find('/') != std::string::npos)
        return Plugin::Load(name);

    std::vector<std::string> byFile;
    for (const std::string& file : AllPluginFiles()) {
        const fs::path path(file);
        if (SameName(path.filename().string(), name) || SameName(path.stem().string(), name))
            byFile.push_back(file);
    }
    if (!byFile.empty()) {
        if (byFile.size() > 1)
            *shadowed = Duplicate("plug-in files are", name, byFile[0], {byFile.begin() + 1, byFile.end()});
        return Plugin::Load(byFile[0]);
    }

    PluginScan scan = LoadEveryPlugin();
    std::string found;
    for (FoundPlugin& plugin : scan.plugins) {
        const std::string addOnName = plugin.plugin->AddOn()->Name();
        if (SameName(addOnName, name)) {
            *shadowed = DuplicateLine(plugin);
            return std::move(plugin.plugin);
        }
        found += (found.empty() ? "" : ", ") + Quoted(addOnName);
    }
    throw PluginError(name + ": no such plug-in; found: " + (found.empty() ? "none" : found));
}
