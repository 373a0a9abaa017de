#include "BundleFiles.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <Message.h>
#include <OS.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <stdexcept>
#include <system_error>

#include "MidiFileIo.h"
#include "PluginFinder.h"
#include "PluginLoader.h"
#include "Report.h"
#include "Turtle.h"

#include <BundleLayout.h>

namespace fs = std::filesystem;

namespace {

// One of the add-on's texts, checked: it must be there and be UTF-8 text.
std::string AddOnText(const std::string& path, const char* what, const char* text)
{
    if (!text)
        throw PluginError(path + ": the add-on answers no " + what);
    if (!IsUtf8(text))
        throw PluginError(path + ": the add-on's " + what + " is not UTF-8 text");
    return text;
}

BundledPlugin Describe(const Plugin& plugin, const char* format)
{
    const std::string& path = plugin.Path();
    BundledPlugin bundled;
    bundled.file = path;
    bundled.stem = bundled.file.stem().string();
    if (bundled.file.extension() != kPluginSuffix || !IsPluginStem(bundled.stem))
        throw PluginError(path + ": cannot name " + format
                          + " after this file: its name must be "
                            "letters, digits, '_' or '-' followed by .so");
    const UxFilterAddOn* addOn = plugin.AddOn();
    bundled.name = AddOnText(path, "Name()", addOn->Name());
    bundled.description = AddOnText(path, "ShortDescription()", addOn->ShortDescription());
    bundled.author = AddOnText(path, "Author()", addOn->Author());
    bundled.version = addOn->Version();
    BMessage archive;
    const char* prefix = nullptr;
    if (addOn->GetArchiveTemplate(&archive, 0) == B_OK && archive.FindString(kAddOnUriPrefixField, &prefix) == B_OK
        && prefix)
        bundled.uriPrefix = prefix;
    addOn->GetVersion(&bundled.major, &bundled.minor);
    if (bundled.major < 0 || bundled.minor < 0)
        throw PluginError(path + ": the add-on's version " + std::to_string(bundled.major) + "."
                          + std::to_string(bundled.minor) + " is negative");
    return bundled;
}

KitLibrary LoadedLibrary(const void* function, const std::string& expectedName)
{
    Dl_info info{};
    if (dladdr(function, &info) == 0 || !info.dli_fname)
        throw std::runtime_error("cannot find the loaded " + expectedName);
    const fs::path loaded = info.dli_fname;
    const std::string name = loaded.filename().string();
    if (name.compare(0, expectedName.size(), expectedName) != 0)
        throw std::runtime_error("found " + loaded.string() + " where " + expectedName + " was expected");
    return {name, fs::canonical(loaded)};
}

}  // namespace

CLI::App* AddBundleCommand(CLI::App& app, const char* name, const char* description, std::vector<std::string>& plugins,
                           std::string& output, const char* outputHelp)
{
    CLI::App* bundle = app.add_subcommand(name, description);
    bundle->add_option("plugins", plugins, "Plug-ins (path, name or file name)")->required();
    bundle->add_option("-o,--output", output, outputHelp)->required();
    return bundle;
}

std::vector<BundledPlugin> DescribeAll(const std::vector<std::string>& names, const char* format)
{
    std::vector<BundledPlugin> plugins;
    std::map<std::string, std::string> fileOfStem;
    for (const std::string& name : names) {
        const std::unique_ptr<Plugin> plugin = LoadPlugin(name);
        BundledPlugin bundled = Describe(*plugin, format);
        const auto [earlier, fresh] = fileOfStem.emplace(bundled.stem, plugin->Path());
        if (!fresh)
            throw PluginError(plugin->Path() + ": a bundle holds one plug-in of each file name; " + earlier->second
                              + " is " + bundled.stem + " too");
        plugins.push_back(std::move(bundled));
    }
    return plugins;
}

// Each library found by the address of a function in it.
std::vector<KitLibrary> FindKitLibraries()
{
    return {LoadedLibrary(reinterpret_cast<const void*>(&UxEvent::DeleteChain), "libUxKernel.so"),
            LoadedLibrary(reinterpret_cast<const void*>(&atomic_or), "libPlatform.so")};
}

fs::path FindKitFile(const char* adapter, const std::vector<std::string>& places)
{
    const fs::path prefix = fs::path(OwnFolder()).parent_path();
    std::string tried;
    for (const std::string& place : places) {
        const fs::path candidate = prefix / place;
        std::error_code error;
        if (fs::is_regular_file(candidate, error))
            return candidate;
        tried += std::string(tried.empty() ? "" : ", ") + candidate.string();
    }
    throw FileError(std::string(adapter) + ": the adapter is not installed (looked for " + tried + ")");
}

void FailFolder(const fs::path& folder, const std::string& problem)
{
    throw FileError(folder.string() + ": " + problem);
}

void WriteText(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
    out.close();
    if (!out)
        throw FileError(path.string() + ": cannot write");
}

void CopyInto(const fs::path& from, const fs::path& to)
{
    std::error_code error;
    if (!fs::copy_file(from, to, error) || error)
        throw FileError(to.string() + ": cannot copy " + from.string() + ": " + error.message());
}

void MakeFolder(const fs::path& folder)
{
    std::error_code error;
    if (!fs::create_directories(folder, error))
        throw FileError(folder.string() + ": cannot make the folder: " + error.message());
}

// Made beside the target, so that the last step is a rename within one file system.
// A missing parent folder (a first ~/.lv2, say) is made.
ScratchFolder::ScratchFolder(const fs::path& target)
{
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code error;
    if (!fs::create_directories(parent, error) && error)
        FailFolder(target, "cannot make the folder it goes in: " + error.message());
    std::string pattern = (parent / ("." + target.filename().string() + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        FailFolder(target, std::string("cannot make a folder beside it: ") + std::strerror(errno));
    mPath = pattern;
    fs::permissions(mPath, kBundleFolderPermissions, error);
}

TemporaryFolder::~TemporaryFolder()
{
    std::error_code ignored;
    if (!mPath.empty())
        fs::remove_all(mPath, ignored);
}

// On a file system that cannot exchange, the old bundle is first moved aside.
void ScratchFolder::MoveInto(const fs::path& target, const BundleMark& mark)
{
    const char* from = mPath.c_str();
    if (renameat2(AT_FDCWD, from, AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        mPath.clear();
        return;
    }
    int error = errno;
    if (error == EEXIST || error == ENOTEMPTY) {
        CheckBundleReplaceable(target, mark);
        if (renameat2(AT_FDCWD, from, AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0)
            return;  // this folder now holds the old bundle
        error = errno;
    }
    if (error == EINVAL) {
        const std::string aside = mPath.string() + ".old";
        const bool hadOld = std::rename(target.c_str(), aside.c_str()) == 0;
        error = errno;
        if (hadOld || error == ENOENT) {
            if (std::rename(from, target.c_str()) == 0) {
                mPath.clear();
                std::error_code ignored;
                fs::remove_all(aside, ignored);
                return;
            }
            error = errno;
            if (hadOld)
                std::rename(aside.c_str(), target.c_str());
        }
    }
    FailFolder(target, std::string("cannot put the bundle in place: ") + std::strerror(error));
}

void CheckBundleReplaceable(const fs::path& target, const BundleMark& mark)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (status.type() == fs::file_type::not_found)
        return;
    if (status.type() != fs::file_type::directory)
        FailFolder(target, "exists and is not a folder");
    if (fs::is_empty(target, error))
        return;
    std::ifstream marked(target / mark.file);
    std::string firstLine;
    if (std::getline(marked, firstLine) && firstLine == mark.madeByLine)
        return;
    FailFolder(target,
               std::string("exists and is not a bundle made by ") + mark.command
                   + "; remove it or choose another folder");
}
