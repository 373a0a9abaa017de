// The layout of a CLAP file of filter plug-ins, which `uxhost clap-bundle` writes
// and the adapter reads:
//
//   DIR/<name>.clap            the entry the host loads; it finds the adapter below
//   DIR/<name>-add-ons/        the filter plug-in files
//   DIR/<name>-add-ons/lib/    the adapter (ux-clap.so) and the kit's libraries
//
// The entry holds no kit code, so that it loads anywhere; the adapter finds the
// kit's libraries beside itself, or installed ones where there are none. Plug-in i
// of the file is the i-th filter file of the add-ons folder by file stem, under the
// ID kClapIdPrefix + the stem.
#pragma once

#include <string>

constexpr const char* kClapSuffix = ".clap";
constexpr const char* kClapAddOnsSuffix = "-add-ons";
constexpr const char* kClapLibraryFolder = "lib";
constexpr const char* kClapAdapterFile = "ux-clap.so";
constexpr const char* kClapAdapterEntry = "ux_clap_entry";
constexpr const char* kClapIdPrefix = "ux-filter-kit.";

// The add-ons folder of the CLAP file at `path`: the path without .clap, and
// -add-ons.
inline std::string ClapAddOnFolder(const std::string& path)
{
    const std::string suffix = kClapSuffix;
    const bool hasSuffix =
        path.size() > suffix.size() && path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
    return (hasSuffix ? path.substr(0, path.size() - suffix.size()) : path) + kClapAddOnsSuffix;
}
