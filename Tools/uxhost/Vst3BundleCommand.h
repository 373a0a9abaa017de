// uxhost vst3-bundle PLUGIN... -o DIR: writes one VST3 bundle a plug-in, in which
// the plug-in plays live in any VST3 host, through the kit's VST3 adapter.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

struct Vst3BundleOptions {
    std::vector<std::string> plugins;
    std::string output;
};

// Registers the subcommand on `app`; it fills `options` when parsed.
CLI::App* AddVst3BundleCommand(CLI::App& app, Vst3BundleOptions& options);

// Loads every plug-in, then writes DIR/<Stem>.vst3 for each (Vst3Layout.h): the
// adapter under the stem's name, a byte-for-byte copy of the plug-in file and the
// kit's libraries, each bundle usable alone. A bundle is made in a temporary folder
// beside its place and renamed into place; an existing one is replaced only when
// this command made it. Throws PluginError for a plug-in that cannot be bundled and
// FileError for a folder that cannot be written or replaced.
void RunVst3BundleCommand(const Vst3BundleOptions& options);
