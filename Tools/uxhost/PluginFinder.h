// Where the host looks for plug-ins, and how a user names one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PluginLoader.h"

// The folders searched, in order: the build's plug-in folder, the installed add-ons
// folder (../lib/ux-add-ons beside the uxhost binary), then each folder named in
// UX_ADDON_PATH (colon-separated).
std::vector<std::string> AddOnFolders();

// Every plug-in file (*.so) in those folders; of files with the same file name the
// first found wins.
std::vector<std::string> FindPluginFiles();

// Loads the plug-in named by its path, by its add-on's Name() or by its file name
// (with or without .so). Throws PluginError naming what was found when none matches.
std::unique_ptr<Plugin> LoadNamedPlugin(const std::string& name);
