#include "ResourceAttacher.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include <Message.h>

namespace {

constexpr int32 kClassIconId = 100;
constexpr const char* kClassIconName = "Class Icon";
constexpr int32 kFileTypeId = 2;
constexpr const char* kFileTypeName = "BEOS:TYPE";

[[noreturn]] void Fail(const std::string& path, const std::string& problem)
{
    throw AttachError(path + ": " + problem);
}

std::vector<uint8> ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file)
        Fail(path, std::string("cannot read: ") + std::strerror(errno));
    std::vector<uint8> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad())
        Fail(path, "cannot read");
    return bytes;
}

}  // namespace

std::vector<ResourceItem> PluginResources(const BBitmap& icon, const std::string& fileType)
{
    BMessage archive;
    if (icon.Archive(&archive) != B_OK)
        throw AttachError("the icon cannot be archived");
    ResourceItem iconItem{B_BITMAP_RESOURCE_TYPE, kClassIconId, kClassIconName, archive.Flatten()};
    ResourceItem typeItem{B_MIME_STRING_TYPE, kFileTypeId, kFileTypeName,
                          std::vector<uint8>(fileType.begin(), fileType.end())};
    typeItem.data.push_back('\0');
    return {std::move(iconItem), std::move(typeItem)};
}

void AttachContainer(const std::string& path, const std::vector<uint8>& container)
{
    std::vector<uint8> bytes = ReadFile(path);
    size_t dataEnd = 0;
    if (FindElfDataEnd(bytes.data(), bytes.size(), &dataEnd) != B_OK)
        Fail(path, "not an ELF file");
    const size_t start = (dataEnd + kResourceAlignment - 1) / kResourceAlignment * kResourceAlignment;
    bytes.resize(start, 0);  // drops an earlier container, pads with zeros
    bytes.insert(bytes.end(), container.begin(), container.end());

    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        Fail(path, std::string("cannot read: ") + std::strerror(errno));
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        Fail(path, std::string("cannot write beside it: ") + std::strerror(errno));
    size_t written = 0;
    while (written < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + written, bytes.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const int error = written == bytes.size() ? 0 : errno;
    if (error != 0 || fchmod(fd, info.st_mode & 07777) != 0 || close(fd) != 0
        || std::rename(temporary.c_str(), path.c_str()) != 0) {
        const int reason = error != 0 ? error : errno;
        unlink(temporary.c_str());
        Fail(path, std::string("cannot write: ") + std::strerror(reason));
    }
}
