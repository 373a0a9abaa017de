#include "Lv2BundleCommand.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>

#include <CLI/CLI.hpp>
#include <OS.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>

#include "MidiFileIo.h"
#include "PluginFinder.h"
#include "PluginLoader.h"
#include "Turtle.h"

#include <BundleLayout.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kBundleSuffix = ".lv2";
constexpr const char* kManifestFile = "manifest.ttl";
constexpr const char* kDescriptionFile = "ux-filters.ttl";

// The adapter, relative to the folder above uxhost's: in the build tree it sits in
// lib/ beside bin/; in an installed prefix it is the one in the installed bundle.
constexpr const char* kAdapterPlaces[] = {"lib/ux-lv2.so", UX_LV2_INSTALLED_ADAPTER};

// The first line of every manifest written here: a folder whose manifest begins
// with it was made by this command, and may be replaced by it.
constexpr const char* kMadeByLine = "# Made by uxhost lv2-bundle; run it again to remake this folder.";

// Bundles hold the atom sequences a MIDI output needs: the host is asked for an
// output buffer at least this large.
constexpr int kOutputMinimumSize = 8192;

// What the bundle says of one plug-in, taken from its add-on.
struct BundledPlugin {
    fs::path file;
    std::string stem;
    std::string name;
    std::string description;
    std::string author;
    int32 major = 0;
    int32 minor = 0;
};

[[noreturn]] void FailFolder(const fs::path& folder, const std::string& problem)
{
    throw FileError(folder.string() + ": " + problem);
}

// One of the add-on's texts, checked: it must be there and be UTF-8 text.
std::string AddOnText(const std::string& path, const char* what, const char* text)
{
    if (!text)
        throw PluginError(path + ": the add-on answers no " + what);
    if (!IsUtf8(text))
        throw PluginError(path + ": the add-on's " + what + " is not UTF-8 text");
    return text;
}

BundledPlugin Describe(const Plugin& plugin)
{
    const std::string& path = plugin.Path();
    BundledPlugin bundled;
    bundled.file = path;
    bundled.stem = bundled.file.stem().string();
    if (bundled.file.extension() != kPluginSuffix || !IsPluginStem(bundled.stem))
        throw PluginError(path + ": cannot name an LV2 plug-in after this file: its name must be "
                          "letters, digits, '_' or '-' followed by .so");
    const UxFilterAddOn* addOn = plugin.AddOn();
    bundled.name = AddOnText(path, "Name()", addOn->Name());
    bundled.description = AddOnText(path, "ShortDescription()", addOn->ShortDescription());
    bundled.author = AddOnText(path, "Author()", addOn->Author());
    addOn->GetVersion(&bundled.major, &bundled.minor);
    if (bundled.major < 0 || bundled.minor < 0)
        throw PluginError(path + ": the add-on's version " + std::to_string(bundled.major) + "." +
                          std::to_string(bundled.minor) + " is negative");
    return bundled;
}

std::vector<BundledPlugin> DescribeAll(const std::vector<std::string>& names)
{
    std::vector<BundledPlugin> plugins;
    std::map<std::string, std::string> fileOfStem;
    for (const std::string& name : names) {
        const std::unique_ptr<Plugin> plugin = LoadNamedPlugin(name);
        BundledPlugin bundled = Describe(*plugin);
        const auto [earlier, fresh] = fileOfStem.emplace(bundled.stem, plugin->Path());
        if (!fresh)
            throw PluginError(plugin->Path() + ": a bundle holds one plug-in of each file name; " +
                              earlier->second + " is " + bundled.stem + " too");
        plugins.push_back(std::move(bundled));
    }
    return plugins;
}

std::string Uri(const BundledPlugin& plugin)
{
    return kUriPrefix + plugin.stem;
}

std::string Manifest(const std::vector<BundledPlugin>& plugins)
{
    std::ostringstream out;
    out << kMadeByLine << "\n"
        << "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
        << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n";
    for (const BundledPlugin& plugin : plugins)
        out << "\n<" << Uri(plugin) << ">\n"
            << "\ta lv2:Plugin ;\n"
            << "\tlv2:binary <" << kAdapterFile << "> ;\n"
            << "\trdfs:seeAlso <" << kDescriptionFile << "> .\n";
    return out.str();
}

// LV2 orders versions by minor, then micro version, and takes an odd one or a minor
// version of zero for a development version. The add-on's "major.minor" therefore
// becomes minor version 2 * major and micro version 2 * minor: the order is kept,
// every release from 1.0 on is a stable one, and a 0.x add-on is marked as in
// development, as it is.
struct Lv2Version {
    long long minor;
    long long micro;
};

Lv2Version Lv2VersionOf(const BundledPlugin& plugin)
{
    return {2LL * plugin.major, 2LL * plugin.minor};
}

// Each plug-in is also a doap:Project, and the project it belongs to (lv2:project):
// a filter plug-in file is a project of its own, which its maintainer, release and
// license belong to. The license is the one the command is told; a bundle without
// one says none.
std::string Description(const std::vector<BundledPlugin>& plugins, const std::string& license)
{
    std::ostringstream out;
    out << "@prefix atom: <http://lv2plug.in/ns/ext/atom#> .\n"
        << "@prefix doap: <http://usefulinc.com/ns/doap#> .\n"
        << "@prefix foaf: <http://xmlns.com/foaf/0.1/> .\n"
        << "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
        << "@prefix midi: <http://lv2plug.in/ns/ext/midi#> .\n"
        << "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
        << "@prefix rsz:  <http://lv2plug.in/ns/ext/resize-port#> .\n"
        << "@prefix time: <http://lv2plug.in/ns/ext/time#> .\n"
        << "@prefix urid: <http://lv2plug.in/ns/ext/urid#> .\n"
        << "@prefix work: <http://lv2plug.in/ns/ext/worker#> .\n";
    for (const BundledPlugin& plugin : plugins) {
        const std::string revision = std::to_string(plugin.major) + "." + std::to_string(plugin.minor);
        const Lv2Version version = Lv2VersionOf(plugin);
        out << "\n<" << Uri(plugin) << ">\n"
            << "\ta lv2:Plugin , lv2:MIDIPlugin , doap:Project ;\n"
            << "\tlv2:project <" << Uri(plugin) << "> ;\n"
            << "\tdoap:name " << TurtleString(plugin.name) << " ;\n"
            << "\tdoap:shortdesc " << TurtleString(plugin.description) << " ;\n"
            << "\trdfs:comment " << TurtleString(plugin.description) << " ;\n";
        if (!license.empty())
            out << "\tdoap:license <" << license << "> ;\n";
        out << "\tdoap:maintainer [ a foaf:Person ; foaf:name " << TurtleString(plugin.author) << " ] ;\n"
            << "\tdoap:release [ a doap:Version ; doap:revision " << TurtleString(revision) << " ] ;\n"
            << "\tlv2:minorVersion " << version.minor << " ;\n"
            << "\tlv2:microVersion " << version.micro << " ;\n"
            << "\tlv2:requiredFeature urid:map ;\n"
            << "\tlv2:optionalFeature lv2:hardRTCapable , work:schedule ;\n"
            << "\tlv2:extensionData work:interface ;\n"
            << "\tlv2:port [\n"
            << "\t\ta lv2:InputPort , atom:AtomPort ;\n"
            << "\t\tatom:bufferType atom:Sequence ;\n"
            << "\t\tatom:supports midi:MidiEvent , time:Position ;\n"
            << "\t\tlv2:designation lv2:control ;\n"
            << "\t\tlv2:index 0 ;\n"
            << "\t\tlv2:symbol \"in\" ;\n"
            << "\t\tlv2:name \"MIDI in\" ;\n"
            << "\t\trdfs:comment \"Notes, played at once and handed to the filter at their note-off; "
               "controllers, program changes and pitch bends, handed to the filter; other MIDI events, "
               "passed through\"\n"
            << "\t] , [\n"
            << "\t\ta lv2:OutputPort , atom:AtomPort ;\n"
            << "\t\tatom:bufferType atom:Sequence ;\n"
            << "\t\tatom:supports midi:MidiEvent ;\n"
            << "\t\trsz:minimumSize " << kOutputMinimumSize << " ;\n"
            << "\t\tlv2:index 1 ;\n"
            << "\t\tlv2:symbol \"out\" ;\n"
            << "\t\tlv2:name \"MIDI out\" ;\n"
            << "\t\trdfs:comment \"The incoming events, and after each note-off the chain the filter "
               "made of its note\"\n"
            << "\t]";
        for (uint32_t channel = 1; channel <= kChannelPorts; ++channel)
            out << " , [\n"
                << "\t\ta lv2:InputPort , lv2:ControlPort ;\n"
                << "\t\tlv2:index " << kFirstChannelPort + channel - 1 << " ;\n"
                << "\t\tlv2:symbol \"channel_" << channel << "\" ;\n"
                << "\t\tlv2:name \"Channel " << channel << "\" ;\n"
                << "\t\tlv2:portProperty lv2:toggled ;\n"
                << "\t\tlv2:default 1 ;\n"
                << "\t\tlv2:minimum 0 ;\n"
                << "\t\tlv2:maximum 1 ;\n"
                << "\t\trdfs:comment \"On: the filter acts on this channel's notes; off: they pass by "
                   "unchanged\"\n"
                << "\t]";
        out << " .\n";
    }
    return out.str();
}

fs::path FindAdapter()
{
    const fs::path prefix = fs::path(OwnFolder()).parent_path();
    std::string tried;
    for (const char* place : kAdapterPlaces) {
        const fs::path candidate = prefix / place;
        std::error_code error;
        if (fs::is_regular_file(candidate, error))
            return candidate;
        tried += std::string(tried.empty() ? "" : ", ") + candidate.string();
    }
    throw FileError(std::string(kAdapterFile) + ": the LV2 adapter is not installed (looked for " +
                    tried + ")");
}

// The kit's libraries as this process loaded them, each found by the address of a
// function in it. The name each was loaded under is the name the plug-ins ask for
// (its SONAME), so the bundle names its copy so; the bytes are those of the real
// file behind any symbolic links.
struct KitLibrary {
    std::string loadedName;
    fs::path file;
};

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

std::vector<KitLibrary> FindKitLibraries()
{
    return {LoadedLibrary(reinterpret_cast<const void*>(&UxEvent::DeleteChain), "libUxKernel.so"),
            LoadedLibrary(reinterpret_cast<const void*>(&atomic_or), "libPlatform.so")};
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

// Writes every file of the bundle into `folder`, which exists and is empty.
void Fill(const fs::path& folder, const std::vector<BundledPlugin>& plugins, const std::string& license,
          const fs::path& adapter, const std::vector<KitLibrary>& libraries)
{
    WriteText(folder / kManifestFile, Manifest(plugins));
    WriteText(folder / kDescriptionFile, Description(plugins, license));
    CopyInto(adapter, folder / kAdapterFile);
    std::error_code error;
    for (const char* sub : {kAddOnFolder, kLibraryFolder})
        if (!fs::create_directory(folder / sub, error))
            throw FileError((folder / sub).string() + ": cannot make the folder: " + error.message());
    // Byte for byte: a plug-in's resources ride behind its ELF data.
    for (const BundledPlugin& plugin : plugins)
        CopyInto(plugin.file, folder / kAddOnFolder / (plugin.stem + kPluginSuffix));
    for (const KitLibrary& library : libraries)
        CopyInto(library.file, folder / kLibraryFolder / library.loadedName);
}

bool MadeHere(const fs::path& folder)
{
    std::ifstream manifest(folder / kManifestFile);
    std::string firstLine;
    return std::getline(manifest, firstLine) && firstLine == kMadeByLine;
}

// May `target` be replaced? Only when it is not there, is an empty folder, or is a
// bundle this command made.
void CheckReplaceable(const fs::path& target)
{
    std::error_code error;
    const fs::file_status status = fs::symlink_status(target, error);
    if (status.type() == fs::file_type::not_found)
        return;
    if (status.type() != fs::file_type::directory)
        FailFolder(target, "exists and is not a folder");
    if (fs::is_empty(target, error) || MadeHere(target))
        return;
    FailFolder(target, "exists and is not a bundle made by uxhost lv2-bundle; remove it or choose another folder");
}

// A folder removed when the object goes, unless released.
class ScratchFolder {
public:
    explicit ScratchFolder(fs::path path) : mPath(std::move(path)) {}
    ~ScratchFolder()
    {
        std::error_code ignored;
        if (!mPath.empty())
            fs::remove_all(mPath, ignored);
    }
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const fs::path& Path() const { return mPath; }
    void Release() { mPath.clear(); }

private:
    fs::path mPath;
};

// Puts the complete bundle `made` in place of `target`. An old bundle there is
// exchanged with the new one in one step, so that `target` is always a whole
// bundle; the old one is then removed with the scratch folder. On a file system
// that cannot exchange, the old bundle is first moved aside.
void MoveIntoPlace(ScratchFolder& made, const fs::path& target)
{
    const char* from = made.Path().c_str();
    if (renameat2(AT_FDCWD, from, AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
        made.Release();
        return;
    }
    int error = errno;
    if (error == EEXIST || error == ENOTEMPTY) {
        CheckReplaceable(target);
        if (renameat2(AT_FDCWD, from, AT_FDCWD, target.c_str(), RENAME_EXCHANGE) == 0)
            return;  // the scratch folder now holds the old bundle
        error = errno;
    }
    if (error == EINVAL) {
        const std::string aside = made.Path().string() + ".old";
        const bool hadOld = std::rename(target.c_str(), aside.c_str()) == 0;
        error = errno;
        if (hadOld || error == ENOENT) {
            if (std::rename(from, target.c_str()) == 0) {
                made.Release();
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

}  // namespace

CLI::App* AddLv2BundleCommand(CLI::App& app, Lv2BundleOptions& options)
{
    CLI::App* bundle = app.add_subcommand(
        "lv2-bundle", "Write an LV2 bundle in which the plug-ins play live in any LV2 host");
    bundle->add_option("plugins", options.plugins, "Plug-ins (path, name or file name)")->required();
    bundle->add_option("-o,--output", options.output, "The bundle folder to write, ending in .lv2")
        ->required();
    bundle->add_option("--license", options.license,
                       "The URI of the plug-ins' license, such as http://opensource.org/licenses/isc")
        ->check([](const std::string& uri) { return IsTurtleIri(uri) ? std::string() : uri + ": not a URI"; });
    return bundle;
}

void RunLv2BundleCommand(const Lv2BundleOptions& options)
{
    fs::path target = fs::path(options.output).lexically_normal();
    if (!target.has_filename())
        target = target.parent_path();
    if (target.extension() != kBundleSuffix)
        FailFolder(target, std::string("an LV2 bundle folder's name ends in ") + kBundleSuffix);
    CheckReplaceable(target);

    const std::vector<BundledPlugin> plugins = DescribeAll(options.plugins);
    const fs::path adapter = FindAdapter();
    const std::vector<KitLibrary> libraries = FindKitLibraries();

    // Made beside the target, so that the last step is a rename within one file
    // system. A missing parent folder (a first ~/.lv2, say) is made.
    const fs::path parent = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code error;
    if (!fs::create_directories(parent, error) && error)
        FailFolder(target, "cannot make the folder it goes in: " + error.message());
    std::string pattern = (parent / ("." + target.filename().string() + ".XXXXXX")).string();
    if (!mkdtemp(pattern.data()))
        FailFolder(target, std::string("cannot make a folder beside it: ") + std::strerror(errno));
    ScratchFolder made(pattern);
    fs::permissions(made.Path(),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec,
                    error);
    Fill(made.Path(), plugins, options.license, adapter, libraries);
    MoveIntoPlace(made, target);

    for (const BundledPlugin& plugin : plugins)
        std::cout << Uri(plugin) << "\t" << plugin.name << "\n";
}
