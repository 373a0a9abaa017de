// <name>.clap: the file a CLAP host loads. It opens the adapter in the add-ons
// folder beside it (ClapLayout.h) and hands the host the adapter's entry, so that
// the adapter and the kit's libraries it needs are found from this file's own
// place wherever the folder is copied.
#include <dlfcn.h>

#include <cstdio>
#include <string>

#include <clap/entry.h>

#include "ClapLayout.h"

namespace {

void* gAdapter = nullptr;
const clap_plugin_entry_t* gEntry = nullptr;
int gInits = 0;  // a host that opens the file twice gets one adapter

bool Init(const char* path)
{
    if (gEntry) {
        ++gInits;
        return gEntry->init(path);
    }
    if (!path)
        return false;
    const std::string adapter = ClapAddOnFolder(path) + "/" + kClapLibraryFolder + "/" + kClapAdapterFile;
    gAdapter = dlopen(adapter.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!gAdapter) {
        const char* error = dlerror();
        std::fprintf(stderr, "%s: cannot load the adapter: %s\n", path, error ? error : "unknown error");
        return false;
    }
    const auto* entry = static_cast<const clap_plugin_entry_t*>(dlsym(gAdapter, kClapAdapterEntry));
    if (!entry || !entry->init(path)) {
        if (!entry)
            std::fprintf(stderr, "%s: %s has no %s\n", path, adapter.c_str(), kClapAdapterEntry);
        dlclose(gAdapter);
        gAdapter = nullptr;
        return false;
    }
    gEntry = entry;
    gInits = 1;
    return true;
}

void Deinit()
{
    if (!gEntry)
        return;
    gEntry->deinit();
    if (--gInits > 0)
        return;
    gEntry = nullptr;
    dlclose(gAdapter);
    gAdapter = nullptr;
}

const void* GetFactory(const char* id)
{
    return gEntry ? gEntry->get_factory(id) : nullptr;
}

}  // namespace

extern "C" CLAP_EXPORT const clap_plugin_entry_t clap_entry = {CLAP_VERSION_INIT, Init, Deinit, GetFactory};
