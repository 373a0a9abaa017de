// uxhost demo: what each plug-in does to one note, and a phrase through it
// written, drawn and played.
#pragma once

#include "MediaCommands.h"

// For each plug-in named (none: every one found): what it does to one note, then
// the built-in phrase through it into demo-<file name>.mid in the current folder,
// drawn into demo-<file name>.png and played into demo-<file name>.wav, all three
// from one run of the filter. Throws PluginError when there is no plug-in.
void RunDemoCommand(const DemoOptions& options);
