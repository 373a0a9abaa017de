// uxhost icon PLUGIN -o FILE [--scale N]: writes a plug-in's icon as a PNG file.
#pragma once

#include <string>

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
// cannot be loaded, has no icon, or the file cannot be written.
void RunIconCommand(const IconOptions& options);

// Writes `icon`, each pixel as a `scale` by `scale` square, as an RGBA PNG file.
// The file appears whole or not at all. Throws PluginError naming `path`.
void WriteIconPng(const BBitmap& icon, int scale, const std::string& path);
