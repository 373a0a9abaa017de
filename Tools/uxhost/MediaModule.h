// How uxhost runs the commands that need libraries the others do not: in a module
// of the kit that holds them (MediaCommands.h, LiveCommand.h), loaded only when one
// of them runs.
#pragma once

#include "ExitCode.h"
#include "MediaCommands.h"
#include "PluginLoader.h"

// The name of the entry point a module defines as `entry` (UX_MEDIA_ENTRY,
// UX_LIVE_ENTRY), as dlsym looks it up.
#define UX_ENTRY_QUOTE(entry) #entry
#define UX_ENTRY_NAME(entry) UX_ENTRY_QUOTE(entry)

// The entry point `entry` of the kit's module `module`, loaded now; null when it
// cannot be loaded or lacks the entry point, said in one line on standard error,
// naming its file, why, and what the module is for ("draws and plays").
void* LoadKitModuleEntry(const char* module, const char* entry, const char* purpose);

// Loads the module and runs `request` in its entry point, a function of a const
// Request*, with uxhost's own folder filled in; answers the command's exit code. A
// module that cannot be loaded, or lacks the entry point, answers kInternalFailure.
template <typename Request>
int RunInKitModule(const char* module, const char* entry, const char* purpose, Request request)
{
    const auto run = reinterpret_cast<int (*)(const Request*)>(LoadKitModuleEntry(module, entry, purpose));
    if (!run)
        return kInternalFailure;
    request.hostFolder = OwnFolder();
    return run(&request);
}

// Runs roll, render or demo, whichever `request` holds.
inline int RunMediaCommand(const MediaRequest& request)
{
    return RunInKitModule(kMediaModule, UX_ENTRY_NAME(UX_MEDIA_ENTRY), "draws and plays", request);
}
