// uxhost icon PLUGIN -o FILE [--scale N]: writes a plug-in's icon as a PNG file
// ("-o -" for standard output).
#pragma once

#include <string>
#include <vector>

#include <Bitmap.h>

namespace CLI {
class App;
}

struct IconOptions {
    std::string plugin;
    std::string output;
    int scale = 1;
};

// Registers the subcommand on `app`; it fills `options` when parsed.
CLI::App* AddIconCommand(CLI::App& app, IconOptions& options);

// Loads the plug-in and writes its icon. Throws PluginError when the plug-in
// cannot be loaded or has no icon, FileError when the output cannot be written.
void RunIconCommand(const IconOptions& options);

// `icon`, each pixel as a `scale` by `scale` square, as the bytes of an RGBA PNG
// file. Throws PluginError naming `name` when it cannot be encoded.
std::vector<uint8_t> IconPng(const BBitmap& icon, int scale, const std::string& name);
