#include "ClapBundleCommand.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <OS.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <system_error>

#include "BundleFiles.h"
#include "MidiFileIo.h"
#include "PluginLoader.h"

#include <BundleLayout.h>  // IsPluginStem
#include <ClapLayout.h>

namespace fs = std::filesystem;

namespace {

// The entry and the adapter, relative to the folder above uxhost's: in the build
// tree they sit in lib/ beside bin/; in an installed prefix they are the installed
// CLAP file's.
struct KitPlace {
    const char* entry;
    const char* adapter;
};
constexpr KitPlace kKitPlaces[] = {
    {"lib/ux-clap-entry.clap", "lib/ux-clap.so"},
    {UX_CLAP_INSTALLED_FILE, UX_CLAP_INSTALLED_ADAPTER},
};

// A file in the add-ons folder saying that this command made it, and may replace it.
constexpr const char* kMadeByFile = "made-by-uxhost-clap-bundle";

struct KitFiles {
    fs::path entry;
    fs::path adapter;
};

KitFiles FindKit()
{
    const fs::path prefix = fs::path(OwnFolder()).parent_path();
    std::string tried;
    for (const KitPlace& place : kKitPlaces) {
        std::error_code error;
        if (fs::is_regular_file(prefix / place.entry, error) && fs::is_regular_file(prefix / place.adapter, error))
            return {prefix / place.entry, prefix / place.adapter};
        tried += std::string(tried.empty() ? "" : ", ") + (prefix / place.adapter).string();
    }
    throw FileError(std::string(kClapAdapterFile) + ": the CLAP adapter is not installed (looked for " + tried + ")");
}

// May the CLAP file and its add-ons folder be replaced? Only when neither is
// there, or the add-ons folder is one this command made.
void CheckReplaceable(const fs::path& file, const fs::path& addOns)
{
    std::error_code error;
    const bool fileThere = fs::symlink_status(file, error).type() != fs::file_type::not_found;
    const fs::file_type folder = fs::symlink_status(addOns, error).type();
    if (folder == fs::file_type::not_found && !fileThere)
        return;
    if (folder == fs::file_type::directory && fs::is_regular_file(addOns / kMadeByFile, error))
        return;
    throw FileError(file.string() + ": exists and was not made by uxhost clap-bundle; remove it and "
                    + addOns.filename().string() + " or choose another name");
}

void Fill(const fs::path& addOns, const std::vector<BundledPlugin>& plugins, const KitFiles& kit)
{
    MakeFolder(addOns / kClapLibraryFolder);
    // Byte for byte: a plug-in's resources ride behind its ELF data.
    for (const BundledPlugin& plugin : plugins)
        CopyInto(plugin.file, addOns / (plugin.stem + kPluginSuffix));
    CopyInto(kit.adapter, addOns / kClapLibraryFolder / kClapAdapterFile);
    for (const KitLibrary& library : FindKitLibraries())
        CopyInto(library.file, addOns / kClapLibraryFolder / library.loadedName);
    std::ofstream(addOns / kMadeByFile) << "Made by uxhost clap-bundle; run it again to remake this folder.\n";
}

}  // namespace

CLI::App* AddClapBundleCommand(CLI::App& app, ClapBundleOptions& options)
{
    CLI::App* bundle =
        AddBundleCommand(app, "clap-bundle", "Write a CLAP file in which the plug-ins play live in any CLAP host",
                         options.plugins, options.output, "The folder to write the CLAP file in, such as ~/.clap");
    bundle->add_option("-n,--name", options.name,
                       "The CLAP file's name without .clap (default: the first "
                       "plug-in's file name)");
    return bundle;
}

void RunClapBundleCommand(const ClapBundleOptions& options)
{
    const std::vector<BundledPlugin> plugins = DescribeAll(options.plugins, "a CLAP plug-in");
    const std::string name = options.name.empty() ? plugins.front().stem : options.name;
    if (!IsPluginStem(name))
        throw FileError(name + ": a CLAP file's name must be letters, digits, '_' or '-'");
    const fs::path folder = fs::path(options.output).lexically_normal();
    const fs::path file = folder / (name + kClapSuffix);
    const fs::path addOns = ClapAddOnFolder(file.string());
    CheckReplaceable(file, addOns);
    const KitFiles kit = FindKit();

    // Made beside their places, so that the last steps are renames within one file
    // system. A missing folder (a first ~/.clap, say) is made.
    std::error_code error;
    if (!fs::create_directories(folder, error) && error)
        throw FileError(folder.string() + ": cannot make the folder: " + error.message());
    std::string pattern = (folder / ("." + name + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        throw FileError(folder.string() + ": cannot make a folder in it: " + std::strerror(errno));
    const TemporaryFolder made(pattern);
    const fs::path madeAddOns = made.Path() / addOns.filename();
    const fs::path madeFile = made.Path() / file.filename();
    MakeFolder(madeAddOns);
    Fill(madeAddOns, plugins, kit);
    CopyInto(kit.entry, madeFile);
    for (const fs::path& path : {made.Path(), madeAddOns, madeAddOns / kClapLibraryFolder})
        fs::permissions(path, kBundleFolderPermissions, error);

    // The add-ons folder goes in first, exchanged with an old one in one step; the
    // file then replaces its old self, whose entry reads the new folder alike.
    if (renameat2(AT_FDCWD, madeAddOns.c_str(), AT_FDCWD, addOns.c_str(), RENAME_NOREPLACE) != 0
        && renameat2(AT_FDCWD, madeAddOns.c_str(), AT_FDCWD, addOns.c_str(), RENAME_EXCHANGE) != 0)
        throw FileError(addOns.string() + ": cannot put the folder in place: " + std::strerror(errno));
    if (std::rename(madeFile.c_str(), file.c_str()) != 0)
        throw FileError(file.string() + ": cannot put the file in place: " + std::strerror(errno));

    for (const BundledPlugin& plugin : plugins)
        std::cout << kClapIdPrefix << plugin.stem << "\t" << plugin.name << "\n";
}
