#include "MediaModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "ExitCode.h"
#include "KitFiles.h"
#include "PluginLoader.h"

namespace {

int CannotLoad(const std::string& path, const char* reason)
{
    std::string why = reason ? reason : std::string("no entry point ") + kMediaEntryName;
    if (why.compare(0, path.size() + 2, path + ": ") == 0)  // dlopen's own word begins with the file
        why.erase(0, path.size() + 2);
    std::cerr << "uxhost: " << path << ": cannot load the module that draws and plays: " << why << "\n";
    return kInternalFailure;
}

}  // namespace

int RunMediaCommand(MediaRequest request)
{
    const std::vector<std::string> places = KitFilePlaces(kMediaModule);
    if (places.empty()) {
        std::cerr << "uxhost: cannot tell the folder uxhost lies in, so not where " << kMediaModule << " is\n";
        return kInternalFailure;
    }
    std::string path = FindKitFile(kMediaModule, R_OK);
    if (path.empty())
        path = places.back();  // where the installed one belongs: dlopen says what is wrong with it

    dlerror();
    // Never closed: the module's code stays in use until the process ends (its
    // handlers of the ending signals, and what its libraries clean up at exit).
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module)
        return CannotLoad(path, dlerror());
    const auto entry = reinterpret_cast<MediaEntry>(dlsym(module, kMediaEntryName));
    if (!entry)
        return CannotLoad(path, dlerror());
    request.hostFolder = OwnFolder();
    return entry(&request);
}
