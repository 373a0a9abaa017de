#include "MediaModule.h"

#include <dlfcn.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "Report.h"
#include "KitFiles.h"

namespace {

void* CannotLoad(const std::string& path, const char* entry, const char* purpose, const char* reason)
{
    std::string why = reason ? reason : std::string("no entry point ") + entry;
    if (why.compare(0, path.size() + 2, path + ": ") == 0)  // dlopen's own word begins with the file
        why.erase(0, path.size() + 2);
    Tell(path + ": cannot load the module that " + purpose + ": " + why);
    return nullptr;
}

}  // namespace

void* LoadKitModuleEntry(const char* module, const char* entry, const char* purpose)
{
    const std::vector<std::string> places = KitFilePlaces(module);
    if (places.empty()) {
        Tell(std::string("cannot tell the folder uxhost lies in, so not where ") + module + " is");
        return nullptr;
    }
    std::string path = FindKitFile(module, R_OK);
    if (path.empty())
        path = places.back();  // where the installed one belongs: dlopen says what is wrong with it

    dlerror();
    // Never closed: the module's code stays in use until the process ends (its
    // handlers of the ending signals, and what its libraries clean up at exit).
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return CannotLoad(path, entry, purpose, dlerror());
    void* found = dlsym(handle, entry);
    if (!found)
        return CannotLoad(path, entry, purpose, dlerror());
    return found;
}
