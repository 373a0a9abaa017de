#include "Vst3BundleCommand.h"

#include <filesystem>
#include <iostream>

#include "BundleFiles.h"
#include "MidiFileIo.h"
#include "PluginLoader.h"

#include <Vst3Layout.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kAdapterFile = "ux-vst3.so";

// A note in each bundle, which also marks the folder as made by this command: a
// folder whose note begins with its first line may be replaced by it.
constexpr BundleMark kMark = {"Contents/Resources/ux-filter.txt",
                              "Made by uxhost vst3-bundle; run it again to remake this folder.", "uxhost vst3-bundle"};

fs::path FindAdapter()
{
    return FindKitFile(kAdapterFile, {"lib/ux-vst3.so", UX_VST3_INSTALLED_ADAPTER});
}

std::string Note(const BundledPlugin& plugin)
{
    return std::string(kMark.madeByLine) + "\n" + plugin.name + " " + std::to_string(plugin.major) + "."
        + std::to_string(plugin.minor) + " by " + plugin.author + ": " + plugin.description + "\n";
}

// Writes every file of one plug-in's bundle into `folder`, which exists and is empty.
void Fill(const fs::path& folder, const BundledPlugin& plugin, const fs::path& adapter,
          const std::vector<KitLibrary>& libraries)
{
    const fs::path binaries = folder / kVst3BinaryFolder;
    MakeFolder(binaries / kVst3AddOnFolder);
    MakeFolder(binaries / kVst3LibraryFolder);
    MakeFolder((folder / kMark.file).parent_path());
    WriteText(folder / kMark.file, Note(plugin));
    CopyInto(adapter, binaries / (plugin.stem + kPluginSuffix));
    // Byte for byte: a plug-in's resources ride behind its ELF data.
    CopyInto(plugin.file, binaries / kVst3AddOnFolder / (plugin.stem + kPluginSuffix));
    for (const KitLibrary& library : libraries)
        CopyInto(library.file, binaries / kVst3LibraryFolder / library.loadedName);
}

}  // namespace

CLI::App* AddVst3BundleCommand(CLI::App& app, Vst3BundleOptions& options)
{
    return AddBundleCommand(app, "vst3-bundle",
                            "Write a VST3 bundle a plug-in, in which it plays live in any VST3 host", options.plugins,
                            options.output, "The folder to write the bundles in, such as ~/.vst3");
}

void RunVst3BundleCommand(const Vst3BundleOptions& options)
{
    const fs::path folder = fs::path(options.output).lexically_normal();
    std::vector<fs::path> targets;
    const std::vector<BundledPlugin> plugins = DescribeAll(options.plugins, "a VST3 plug-in");
    for (const BundledPlugin& plugin : plugins) {
        targets.push_back(folder / (plugin.stem + kVst3BundleSuffix));
        CheckBundleReplaceable(targets.back(), kMark);
    }
    const fs::path adapter = FindAdapter();
    const std::vector<KitLibrary> libraries = FindKitLibraries();

    for (size_t i = 0; i < plugins.size(); ++i) {
        ScratchFolder made(targets[i]);
        Fill(made.Path(), plugins[i], adapter, libraries);
        made.MoveInto(targets[i], kMark);
    }
    for (size_t i = 0; i < plugins.size(); ++i)
        std::cout << targets[i].string() << "\t" << plugins[i].name << "\n";
}
