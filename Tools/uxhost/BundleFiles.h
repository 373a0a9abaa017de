// What the bundle commands (lv2-bundle, vst3-bundle, clap-bundle) share: each plug-in's texts
// checked, the kit's libraries a bundle carries, and a bundle made in a scratch
// folder beside its place and put there in one step.
#pragma once

#include <UxFilterI.h>

#include <filesystem>
#include <string>
#include <vector>

namespace CLI {
class App;
}
class Plugin;

// Registers the bundle command `name` on `app`, which takes the plug-ins to bundle
// and -o, where to write them (as `outputHelp` says).
CLI::App* AddBundleCommand(CLI::App& app, const char* name, const char* description, std::vector<std::string>& plugins,
                           std::string& output, const char* outputHelp);

// What a bundle says of one plug-in, taken from its add-on.
struct BundledPlugin {
    std::filesystem::path file;
    std::string stem;
    std::string name;
    std::string description;
    std::string author;
    std::string uriPrefix;  // the one the add-on gives, empty when it gives none
    int32 major = 0;
    int32 minor = 0;
    int32 version = 0;  // Version(), a release's number such as a date
};

// Loads every named plug-in and reads its texts; `format` names the kind of plug-in
// in the words of a stem a bundle cannot carry ("an LV2 plug-in"). Throws
// PluginError for a plug-in that cannot be bundled, or two of one stem.
std::vector<BundledPlugin> DescribeAll(const std::vector<std::string>& names, const char* format);

// The kit's libraries as this process loaded them. `loadedName` is the name the
// plug-ins ask for (its SONAME); `file` the real file behind any symbolic links.
struct KitLibrary {
    std::string loadedName;
    std::filesystem::path file;
};
std::vector<KitLibrary> FindKitLibraries();

// The file `adapter` of the kit, found relative to the folder above uxhost's, in the
// first of `places` that holds it; FileError naming every place tried when none does.
std::filesystem::path FindKitFile(const char* adapter, const std::vector<std::string>& places);

// A bundle's folders, which mkdtemp makes for the owner alone: rwxr-xr-x, as any
// folder a user installs.
constexpr std::filesystem::perms kBundleFolderPermissions = std::filesystem::perms::owner_all
    | std::filesystem::perms::group_read | std::filesystem::perms::group_exec | std::filesystem::perms::others_read
    | std::filesystem::perms::others_exec;

// Throw FileError on failure.
void WriteText(const std::filesystem::path& path, const std::string& text);
void CopyInto(const std::filesystem::path& from, const std::filesystem::path& to);
void MakeFolder(const std::filesystem::path& folder);

// How a bundle command marks the bundles it makes, which it alone may replace: the
// first line of `file`, a path inside the bundle, is `madeByLine`, which only
// `command` writes.
struct BundleMark {
    const char* file;
    const char* madeByLine;
    const char* command;
};

// A folder removed, with all it holds, when the object goes; nothing is removed
// while its path is empty.
class TemporaryFolder {
public:
    explicit TemporaryFolder(std::filesystem::path path = {}) : mPath(std::move(path)) {}
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    const std::filesystem::path& Path() const { return mPath; }

protected:
    std::filesystem::path mPath;
};

// A folder made beside `target` (its parent made if missing) and removed when the
// object goes, unless put in place.
class ScratchFolder : public TemporaryFolder {
public:
    explicit ScratchFolder(const std::filesystem::path& target);

    // Puts the whole bundle in place of the target. An old bundle there is exchanged
    // with the new one in one step, so that the target is always a whole bundle, once
    // CheckBundleReplaceable lets it; the old one is then removed with this folder.
    void MoveInto(const std::filesystem::path& target, const BundleMark& mark);
};

// Throws FileError unless `target` may be replaced by the bundle `mark.command`
// makes: it is not there, is an empty folder, or holds the mark.
void CheckBundleReplaceable(const std::filesystem::path& target, const BundleMark& mark);

[[noreturn]] void FailFolder(const std::filesystem::path& folder, const std::string& problem);
