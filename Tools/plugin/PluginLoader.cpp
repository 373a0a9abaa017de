#include "PluginLoader.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/stat.h>

#include <filesystem>
#include <set>
#include <system_error>

namespace fs = std::filesystem;

namespace {

std::string LastDlError()
{
    const char* error = dlerror();
    return error ? error : "unknown error";
}

}  // namespace

std::string OwnFolder()
{
    // The link map names the library this function lies in; the main program's
    // entry has no name, and the kernel knows its file.
    Dl_info info{};
    link_map* map = nullptr;
    if (dladdr1(reinterpret_cast<const void*>(&OwnFolder), &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP)
        && map && map->l_name && map->l_name[0] != '\0') {
        const fs::path folder = fs::path(map->l_name).parent_path();
        return folder.empty() ? "." : folder.string();
    }
    std::error_code error;
    const fs::path exe = fs::read_symlink("/proc/self/exe", error);
    return error ? std::string() : exe.parent_path().string();
}

std::vector<std::string> PluginFilesIn(const std::string& folder)
{
    std::error_code error;
    std::set<std::string> files;  // sorted, so every listing is stable
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().extension() == kPluginSuffix && it->is_regular_file(error))
            files.insert(it->path().string());
    return {files.begin(), files.end()};
}

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
    : mPath(std::move(path)),
      mHandle(handle),
      mEntry(entry)
{
}

FilterPtr Plugin::NewFilter(UxFilterHolderI* holder) const
{
    FilterPtr filter(mAddOn->NewInstance(holder, nullptr));
    if (!filter)
        throw PluginError(mPath + ": the add-on made no filter");
    return filter;
}

Plugin::~Plugin()
{
    // The add-on's code is in the library: release it before unloading.
    mAddOn = ZelCRef<UxFilterAddOn>();
    dlclose(mHandle);
}
