// Loading a filter plug-in the way every host of the kit does: dlopen the library,
// find make_nth_filter by name, ask it for the add-on at index 0. uxhost and the
// LV2 adapter both load through Plugin::Load, so their failures read the same.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <UxFilterI.h>

// The file name suffix of a filter plug-in.
constexpr const char* kPluginSuffix = ".so";

// The folder of the executable or shared library this code is linked into (this
// library is static, so each binary has its own copy): where an installed binary
// finds what lies beside it. Empty when it cannot be told.
std::string OwnFolder();

// The plug-in files (*.so) in `folder`, sorted; none when it cannot be read.
std::vector<std::string> PluginFilesIn(const std::string& folder);

// A plug-in that could not be loaded; the message names the file and the problem.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A filter instance the caller owns.
using FilterPtr = std::unique_ptr<UxFilterI>;

// One loaded plug-in library and the add-on it handed out. Every filter made from
// the add-on must be destroyed before the plug-in: their code lives in the library.
class Plugin {
public:
    // Throws PluginError when `path` cannot be loaded or is no filter plug-in.
    static std::unique_ptr<Plugin> Load(const std::string& path);
    ~Plugin();

    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const std::string& Path() const { return mPath; }
    UxFilterAddOn* AddOn() const { return mAddOn.Get(); }
    make_nth_filter_func Entry() const { return mEntry; }
    // A new filter of the add-on, held by `holder`; throws PluginError naming the
    // file when the add-on makes none.
    FilterPtr NewFilter(UxFilterHolderI* holder) const;

private:
    Plugin(std::string path, void* handle, make_nth_filter_func entry);

    std::string mPath;
    void* mHandle;
    make_nth_filter_func mEntry;
    ZelCRef<UxFilterAddOn> mAddOn;
};
