// How uxhost runs the commands that need libraries the others do not: in a module
// of the kit that holds them (MediaCommands.h, LiveCommand.h), loaded only when one
// of them runs.
#pragma once

#include "MediaCommands.h"

// The entry point `entry` of the kit's module `module`, loaded now; null when it
// cannot be loaded or lacks the entry point, said in one line on standard error,
// naming its file, why, and what the module is for ("draws and plays").
void* LoadKitModuleEntry(const char* module, const char* entry, const char* purpose);

// Loads the module and runs the request in it; answers the command's exit code. A
// module that cannot be loaded, or lacks the entry point, answers kInternalFailure.
int RunMediaCommand(MediaRequest request);
