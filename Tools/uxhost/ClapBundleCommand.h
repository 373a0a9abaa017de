// uxhost clap-bundle PLUGIN... -o DIR: writes a CLAP file in which the plug-ins
// play live in any CLAP host, through the kit's CLAP adapter.
#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

struct ClapBundleOptions {
    std::vector<std::string> plugins;
    std::string output;  // the folder the file goes in, such as ~/.clap
    std::string name;    // of the file; the first plug-in's file stem when empty
};

// Registers the subcommand on `app`; it fills `options` when parsed.
CLI::App* AddClapBundleCommand(CLI::App& app, ClapBundleOptions& options);

// Loads every plug-in, then writes DIR/<name>.clap and its add-ons folder
// DIR/<name>-add-ons (ClapLayout.h): byte-for-byte copies of the plug-in files,
// and in lib/ the adapter and the kit's libraries, so that the two go anywhere
// together. The folder is made beside its place and renamed into it; an existing
// one is replaced only when this command made it. Throws PluginError for a plug-in
// that cannot be bundled and FileError for a file that cannot be written.
void RunClapBundleCommand(const ClapBundleOptions& options);
