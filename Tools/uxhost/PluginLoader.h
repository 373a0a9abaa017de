// Loading a filter plug-in the way the host does: dlopen the library, find
// make_nth_filter by name, ask it for the add-on at index 0.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>

#include <UxFilterI.h>

// A plug-in that could not be loaded; the message names the file and the problem.
class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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

private:
    Plugin(std::string path, void* handle, make_nth_filter_func entry);

    std::string mPath;
    void* mHandle;
    make_nth_filter_func mEntry;
    ZelCRef<UxFilterAddOn> mAddOn;
};

// A filter instance the caller owns.
struct FilterDeleter {
    void operator()(UxFilterI* filter) const { delete filter; }
};
using FilterPtr = std::unique_ptr<UxFilterI, FilterDeleter>;
