// Where the host looks for plug-ins, and how a user names one.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "PluginLoader.h"

// The folders searched, in order: each folder named in UX_ADDON_PATH
// (colon-separated); the user's own, ~/.local/lib/ux-add-ons; the one that
// `cmake --install` fills by default, /usr/local/lib/<multiarch>/ux-add-ons; then
// the installed add-ons folder, found from the folder of the binary at the place
// the install gives it (UX_ADDON_RELATIVE_DIR, such as ../lib/ux-add-ons). The
// build tree lays out the same place. Each folder that exists, once.
std::vector<std::string> AddOnFolders();

// Makes AddOnFolders() find the installed add-ons folder from `folder` rather than
// from OwnFolder(): for code that a host loads to work on its behalf, which lies
// elsewhere than the host and must find what the host finds.
void FindAddOnsFrom(std::string folder);

// Every plug-in file (*.so) in those folders; of files with the same file name
// (in any case) the first found wins.
std::vector<std::string> FindPluginFiles();

// A plug-in of the add-on folders, and the files of add-ons of the same name found
// after it, which are not used.
struct FoundPlugin {
    std::unique_ptr<Plugin> plugin;
    std::vector<std::string> shadowed;
};

// The line saying which of the add-ons of one name is used; empty when it has none.
std::string DuplicateLine(const FoundPlugin& found);

// Every plug-in of the add-on folders, loaded: one add-on per name (in any case),
// the first found; and each file that does not load, as its PluginError says.
struct PluginScan {
    std::vector<FoundPlugin> plugins;
    std::vector<std::string> failures;
};
PluginScan LoadEveryPlugin();

// Loads the plug-in named by its path (any argument with a '/'), else by its file
// name (with or without .so) or its add-on's Name(), in any case, from the add-on
// folders; never from the current folder. Of two of one name the first is used,
// and `shadowed` says which, in a sentence for the user; it is left empty when the
// name is the plug-in's alone. Throws PluginError naming what was found when none
// matches.
std::unique_ptr<Plugin> LoadNamedPlugin(const std::string& name, std::string* shadowed);
