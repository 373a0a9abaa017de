#include "PluginLoader.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace {

std::string LastDlError()
{
    const char* error = dlerror();
    return error ? error : "unknown error";
}

}  // namespace

std::unique_ptr<Plugin> Plugin::Load(const std::string& path)
{
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        throw PluginError(path + ": no such plug-in file");
    if (!S_ISREG(info.st_mode))
        throw PluginError(path + ": not a plug-in: not a regular file");

    // dlopen searches the library path for a bare name; a path with a slash is taken
    // as it stands, which is what the caller named.
    const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
    dlerror();
    void* handle = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        throw PluginError(path + ": not a loadable plug-in: " + LastDlError());

    auto entry = reinterpret_cast<make_nth_filter_func>(dlsym(handle, kMakeNthFilterSymbol));
    if (!entry) {
        dlclose(handle);
        throw PluginError(path + ": not a filter plug-in: it has no " + kMakeNthFilterSymbol);
    }
    std::unique_ptr<Plugin> plugin(new Plugin(path, handle, entry));
    plugin->mAddOn = ZelCRef<UxFilterAddOn>(entry(0, handle, nullptr));
    if (!plugin->mAddOn)
        throw PluginError(path + ": the plug-in offers no add-on");
    return plugin;
}

Plugin::Plugin(std::string path, void* handle, make_nth_filter_func entry)
    : mPath(std::move(path)), mHandle(handle), mEntry(entry)
{
}

Plugin::~Plugin()
{
    // The add-on's code is in the library: release it before unloading.
    mAddOn = ZelCRef<UxFilterAddOn>();
    dlclose(mHandle);
}
