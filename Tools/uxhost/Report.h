// What uxhost says on standard error about work that went well: what was left out,
// a wrapper dropped, track chunks not read. `--quiet` silences it; errors are
// always said, and never go through here.
#pragma once

#include <string>

void SetQuiet(bool quiet);
bool Quiet();

// "uxhost: `text`" on a line of its own, unless quiet.
void Report(const std::string& text);
