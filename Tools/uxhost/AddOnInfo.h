// A plug-in's add-on values as `uxhost info` shows them, and the demo before its
// chains: name, description, author, version and file, a line each.
#pragma once

#include <ostream>

#include "PluginLoader.h"

void PrintAddOn(std::ostream& out, const Plugin& plugin);
