// The layout of a VST3 bundle of one filter plug-in, which `uxhost vst3-bundle`
// writes and the adapter reads, and the class IDs the plug-in is known by.
//
//   <Stem>.vst3/Contents/x86_64-linux/<Stem>.so          the adapter, under the stem's name
//   <Stem>.vst3/Contents/x86_64-linux/add-ons/<Stem>.so  the filter plug-in file
//   <Stem>.vst3/Contents/x86_64-linux/lib/               the kit's libraries
//
// The adapter finds its filter plug-in from its own file name, and the plug-in file
// finds the kit's libraries in ../lib, as in the LV2 bundle.
#pragma once

#include <array>
#include <cstdint>
#include <string>

constexpr const char* kVst3BundleSuffix = ".vst3";
constexpr const char* kVst3BinaryFolder = "Contents/x86_64-linux";
constexpr const char* kVst3AddOnFolder = "add-ons";
constexpr const char* kVst3LibraryFolder = "lib";

using Vst3ClassId = std::array<uint8_t, 16>;

// 16 bytes that depend on the plug-in file's stem alone: two 64-bit FNV-1a hashes
// of a fixed name space and the stem, taken in two orders. A saved session finds its
// plug-in again on every machine and in every release; another stem gets another ID.
inline Vst3ClassId Vst3ClassIdOf(const std::string& stem, bool controller)
{
    const std::string space = controller ? "ux-filter-kit/vst3/controller/" : "ux-filter-kit/vst3/processor/";
    const auto fnv = [](const std::string& text) {
        uint64_t hash = 0xcbf29ce484222325ULL;
        for (const unsigned char c : text) {
            hash ^= c;
            hash *= 0x100000001b3ULL;
        }
        return hash;
    };
    const uint64_t halves[2] = {fnv(space + stem), fnv(stem + "/" + space)};
    Vst3ClassId id{};
    for (int i = 0; i < 16; ++i)
        id[i] = static_cast<uint8_t>(halves[i / 8] >> (8 * (7 - i % 8)));
    return id;
}
