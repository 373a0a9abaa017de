// The kit's own helpers that uxhost runs or loads (uxhost-rtcheck, uxhost-media.so):
// beside uxhost in a build, and in the kit's folder of an installed prefix
// (lib/ux-filter-kit), found from uxhost's folder by the path from the installed
// bindir to it (UX_KIT_INSTALLED_DIR), wherever the prefix lies.
#pragma once

#include <string>
#include <vector>

// The places where the helper `name` may lie, the build's first and the installed
// one last; none when uxhost cannot tell its own folder.
std::vector<std::string> KitFilePlaces(const std::string& name);

// The first of those places that holds `name` with `mode` access (X_OK for a
// program, R_OK for a module); empty when none does.
std::string FindKitFile(const std::string& name, int mode);
