#include "IconCommand.h"

#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "PluginFinder.h"
#include "PluginLoader.h"

namespace {

constexpr int kMaxScale = 64;
constexpr int kBytesPerPixel = 4;  // B_RGBA32: blue, green, red, alpha

[[noreturn]] void Fail(const std::string& path, const std::string& problem)
{
    throw PluginError(path + ": " + problem);
}

// Writes `bytes` to a temporary file beside `path` and renames it into place.
void WriteWhole(const std::string& path, const void* bytes, size_t size)
{
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0)
        Fail(path, std::string("cannot write: ") + std::strerror(errno));
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, static_cast<const char*>(bytes) + written, size - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    int error = written == size ? 0 : (errno != 0 ? errno : EIO);
    // mkstemp makes the file private; an image is for everyone to read.
    if (error == 0 && (fchmod(fd, 0644) != 0 || close(fd) != 0))
        error = errno;
    else if (error != 0)
        close(fd);
    if (error == 0 && std::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temporary.c_str());
        Fail(path, std::string("cannot write: ") + std::strerror(error));
    }
}

}  // namespace

CLI::App* AddIconCommand(CLI::App& app, IconOptions& options)
{
    CLI::App* icon = app.add_subcommand("icon", "Write one plug-in's icon as a PNG file");
    icon->add_option("plugin", options.plugin, "Plug-in path, name or file name")->required();
    icon->add_option("-o,--output", options.output, "The PNG file to write")->required();
    icon->add_option("--scale", options.scale, "Show each pixel as a square this wide")
        ->check(CLI::Range(1, kMaxScale))
        ->capture_default_str();
    return icon;
}

void RunIconCommand(const IconOptions& options)
{
    const std::unique_ptr<Plugin> plugin = LoadNamedPlugin(options.plugin);
    const std::unique_ptr<BBitmap> icon(plugin->AddOn()->Image(BPoint(0, 0)));
    if (!icon)
        Fail(plugin->Path(), "the plug-in has no icon");
    WriteIconPng(*icon, options.scale, options.output);
}

void WriteIconPng(const BBitmap& icon, int scale, const std::string& path)
{
    if (icon.ColorSpace() != B_RGBA32 || scale < 1 || scale > kMaxScale)
        Fail(path, "cannot write this bitmap as PNG");
    const int width = static_cast<int>(icon.Bounds().Width()) + 1;
    const int height = static_cast<int>(icon.Bounds().Height()) + 1;
    const auto* source = static_cast<const uint8*>(icon.Bits());

    // Every pixel becomes a scale by scale square.
    const size_t outWidth = static_cast<size_t>(width) * scale;
    const size_t outHeight = static_cast<size_t>(height) * scale;
    std::vector<uint8> pixels(outWidth * outHeight * kBytesPerPixel);
    for (size_t y = 0; y < outHeight; ++y) {
        const uint8* row = source + (y / scale) * icon.BytesPerRow();
        for (size_t x = 0; x < outWidth; ++x)
            std::memcpy(&pixels[(y * outWidth + x) * kBytesPerPixel], row + (x / scale) * kBytesPerPixel,
                        kBytesPerPixel);
    }

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(outWidth);
    image.height = static_cast<png_uint_32>(outHeight);
    image.format = PNG_FORMAT_BGRA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, pixels.data(), 0, nullptr))
        Fail(path, std::string("cannot encode PNG: ") + image.message);
    std::vector<uint8> encoded(size);
    if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, pixels.data(), 0, nullptr))
        Fail(path, std::string("cannot encode PNG: ") + image.message);
    png_image_free(&image);
    WriteWhole(path, encoded.data(), size);
}
