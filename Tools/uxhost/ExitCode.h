// uxhost's exit codes, and how a command's failure becomes one: the same whether
// the command runs in uxhost or in the module that draws and plays.
#pragma once

#include <functional>

enum ExitCode { kSuccess = 0, kInternalFailure = 1, kBadInput = 2 };

// Runs `command` and answers the exit code it answers. A plug-in or file that
// cannot be used (PluginError, FileError) is bad input, said on standard error as
// "uxhost: what"; any other failure is said as "uxhost: internal failure: what" and
// answers `internalFailure`, for a command whose 1 means something else.
int ExitCodeOf(const std::function<int()>& command, int internalFailure = kInternalFailure);
