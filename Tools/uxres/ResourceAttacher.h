// Attaching a resource container to a linked library file.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <Bitmap.h>
#include <ResourceFile.h>

class AttachError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The file type every plug-in library carries.
constexpr const char* kLibraryFileType = "application/x-vnd.Be-elfexecutable";

// The two resources of a plug-in library: its "Class Icon" bitmap archive and
// its file type.
std::vector<ResourceItem> PluginResources(const BBitmap& icon, const std::string& fileType);

// Rewrites `path` as its ELF data, zeros up to the next multiple of 4096, and
// `container`. A container attached before is replaced. The file is replaced in
// one step: on failure it stays as it was.
void AttachContainer(const std::string& path, const std::vector<uint8>& container);
