// uxhost lv2-bundle PLUGIN... -o DIR: writes an LV2 bundle in which the plug-ins
// play live in any LV2 host, through the kit's LV2 adapter.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

struct Lv2BundleOptions {
    std::vector<std::string> plugins;
    std::string output;
    std::string license;    // the URI of the plug-ins' license; none when empty
    std::string uriPrefix;  // for plug-ins that give none; kUriPrefix when empty
};

// Registers the subcommand on `app`; it fills `options` when parsed.
CLI::App* AddLv2BundleCommand(CLI::App& app, Lv2BundleOptions& options);

// Loads every plug-in, then writes the bundle: manifest.ttl and ux-filters.ttl
// describing one LV2 plug-in per filter plug-in (under the license given, if any), the adapter, byte-for-byte copies
// of the plug-in files in add-ons/, and the kit's libraries in lib/. The bundle is
// made in a temporary folder beside DIR and renamed into place; an existing DIR is
// replaced only when this command made it. Throws PluginError for a plug-in that
// cannot be bundled and FileError for a folder that cannot be written or replaced.
void RunLv2BundleCommand(const Lv2BundleOptions& options);
