// How uxhost runs the commands that draw and play: in the module that holds them
// (MediaCommands.h), loaded only when one of them runs.
#pragma once

#include "MediaCommands.h"

// Loads the module and runs the request in it; answers the command's exit code. A
// module that cannot be loaded, or lacks the entry point, is said in one line on
// standard error, naming its file and why, and answers kInternalFailure.
int RunMediaCommand(MediaRequest request);
