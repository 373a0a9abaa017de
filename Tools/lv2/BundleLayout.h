// The layout of an LV2 bundle of filter plug-ins, which `uxhost lv2-bundle` writes
// and the adapter reads: the adapter lies in the bundle folder, the kit's libraries
// in lib/ below it, and the filter plug-in files in add-ons/. Plug-in i of the
// bundle is the i-th filter file there by name, under the URI kUriPrefix + the
// file's stem, or the URI in the text file beside it named the stem +
// kUriFileSuffix, for a plug-in that gives its own prefix.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "PluginLoader.h"  // kPluginSuffix

constexpr const char* kUriPrefix = "urn:ux-filter-kit:";
constexpr const char* kUriFileSuffix = ".uri";
// The string field of an add-on's archive template in which the kit's skeleton
// (AddOnKit.h, kUriPrefixField) gives the plug-in's own URI prefix.
constexpr const char* kAddOnUriPrefixField = "uri-prefix";
constexpr const char* kAdapterFile = "ux-lv2.so";
constexpr const char* kAddOnFolder = "add-ons";
constexpr const char* kLibraryFolder = "lib";

// Each plug-in's ports: MIDI in, MIDI out, then one toggle a MIDI channel (1 to
// 16, symbols channel_1 to channel_16), on when the filter acts on the channel's
// notes.
constexpr uint32_t kMidiInPort = 0;
constexpr uint32_t kMidiOutPort = 1;
constexpr uint32_t kFirstChannelPort = 2;
constexpr uint32_t kChannelPorts = 16;

// Only stems a URI can carry as they are: letters, digits, '_' and '-'.
inline bool IsPluginStem(const std::string& stem)
{
    return !stem.empty() && std::all_of(stem.begin(), stem.end(), [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
    });
}
