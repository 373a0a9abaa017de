#include "Lv2BundleCommand.h"

#include <CLI/CLI.hpp>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <system_error>

#include "BundleFiles.h"
#include "MidiFileIo.h"
#include "OptionChecks.h"
#include "PluginFinder.h"
#include "PluginLoader.h"
#include "Turtle.h"

#include <BundleLayout.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kBundleSuffix = ".lv2";
constexpr const char* kManifestFile = "manifest.ttl";
constexpr const char* kDescriptionFile = "ux-filters.ttl";

// The first line of every manifest written here: a folder whose manifest begins
// with it was made by this command, and may be replaced by it.
constexpr BundleMark kMark = {kManifestFile, "# Made by uxhost lv2-bundle; run it again to remake this folder.",
                              "uxhost lv2-bundle"};

// Bundles hold the atom sequences a MIDI output needs: the host is asked for an
// output buffer at least this large.
constexpr int kOutputMinimumSize = 8192;

// The add-on's own URI prefix, else `otherwise`, checked to begin a URI.
std::string UriPrefix(const BundledPlugin& plugin, const std::string& otherwise)
{
    if (plugin.uriPrefix.empty())
        return otherwise;
    if (!IsTurtleIri(plugin.uriPrefix + "x"))
        throw PluginError(plugin.file.string() + ": the add-on's URI prefix " + plugin.uriPrefix
                          + " cannot begin a URI");
    return plugin.uriPrefix;
}

std::string Uri(const BundledPlugin& plugin)
{
    return plugin.uriPrefix + plugin.stem;
}

std::string Manifest(const std::vector<BundledPlugin>& plugins)
{
    std::ostringstream out;
    out << kMark.madeByLine << "\n"
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
        const std::string revision =
            std::to_string(plugin.major) + "." + std::to_string(plugin.minor) + "." + std::to_string(plugin.version);
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
    return FindKitFile(kAdapterFile, {"lib/ux-lv2.so", UX_LV2_INSTALLED_ADAPTER});
}

// Writes every file of the bundle into `folder`, which exists and is empty.
void Fill(const fs::path& folder, const std::vector<BundledPlugin>& plugins, const std::string& license,
          const fs::path& adapter, const std::vector<KitLibrary>& libraries)
{
    WriteText(folder / kManifestFile, Manifest(plugins));
    WriteText(folder / kDescriptionFile, Description(plugins, license));
    CopyInto(adapter, folder / kAdapterFile);
    MakeFolder(folder / kAddOnFolder);
    MakeFolder(folder / kLibraryFolder);
    // Byte for byte: a plug-in's resources ride behind its ELF data.
    for (const BundledPlugin& plugin : plugins) {
        CopyInto(plugin.file, folder / kAddOnFolder / (plugin.stem + kPluginSuffix));
        if (plugin.uriPrefix != kUriPrefix)
            WriteText(folder / kAddOnFolder / (plugin.stem + kUriFileSuffix), Uri(plugin) + "\n");
    }
    for (const KitLibrary& library : libraries)
        CopyInto(library.file, folder / kLibraryFolder / library.loadedName);
}

}  // namespace

CLI::App* AddLv2BundleCommand(CLI::App& app, Lv2BundleOptions& options)
{
    CLI::App* bundle =
        AddBundleCommand(app, "lv2-bundle", "Write an LV2 bundle in which the plug-ins play live in any LV2 host",
                         options.plugins, options.output, "The bundle folder to write, ending in .lv2");
    CheckValue(
        bundle->add_option("--license", options.license,
                           "The URI of the plug-ins' license, such as http://opensource.org/licenses/isc"),
        [](const std::string& uri) { return IsTurtleIri(uri) ? std::string() : uri + ": not a URI"; }, "");
    CheckValue(
        bundle->add_option("--uri-prefix", options.uriPrefix,
                           std::string("What the URIs of plug-ins that give none begin with, before the "
                                       "file's name (default ")
                               + kUriPrefix + ")"),
        [](const std::string& prefix) {
            return IsTurtleIri(prefix + "x") ? std::string() : prefix + ": cannot begin a URI";
        },
        "");
    return bundle;
}

void RunLv2BundleCommand(const Lv2BundleOptions& options)
{
    fs::path target = fs::path(options.output).lexically_normal();
    if (!target.has_filename())
        target = target.parent_path();
    if (target.extension() != kBundleSuffix)
        FailFolder(target, std::string("an LV2 bundle folder's name ends in ") + kBundleSuffix);
    CheckBundleReplaceable(target, kMark);

    std::vector<BundledPlugin> plugins = DescribeAll(options.plugins, "an LV2 plug-in");
    // From here on each plug-in's prefix is the one its URI begins with.
    for (BundledPlugin& plugin : plugins)
        plugin.uriPrefix = UriPrefix(plugin, options.uriPrefix.empty() ? kUriPrefix : options.uriPrefix);
    const fs::path adapter = FindAdapter();
    const std::vector<KitLibrary> libraries = FindKitLibraries();

    ScratchFolder made(target);
    Fill(made.Path(), plugins, options.license, adapter, libraries);
    made.MoveInto(target, kMark);

    for (const BundledPlugin& plugin : plugins)
        std::cout << Uri(plugin) << "\t" << plugin.name << "\n";
}
