#include "IconCommand.h"

#include <png.h>

#include <CLI/CLI.hpp>

#include <cstring>
#include <memory>
#include <vector>

#include "OptionChecks.h"
#include "OutputFile.h"
#include "PluginFinder.h"
#include "PluginLoader.h"
#include "Report.h"

namespace {

constexpr int kMaxScale = 64;
constexpr int kBytesPerPixel = 4;  // B_RGBA32: blue, green, red, alpha

[[noreturn]] void Fail(const std::string& path, const std::string& problem)
{
    throw PluginError(path + ": " + problem);
}

}  // namespace

CLI::App* AddIconCommand(CLI::App& app, IconOptions& options)
{
    CLI::App* icon = app.add_subcommand("icon", "Write one plug-in's icon as a PNG file");
    icon->add_option("plugin", options.plugin, "Plug-in path, name or file name")->required();
    icon->add_option("-o,--output", options.output, "The PNG file to write (- for standard output)")->required();
    WholeNumberFrom(
        icon->add_option("--scale", options.scale, "Show each pixel as a square this wide")->capture_default_str(), 1,
        kMaxScale);
    return icon;
}

void RunIconCommand(const IconOptions& options)
{
    const std::unique_ptr<Plugin> plugin = LoadPlugin(options.plugin);
    const std::unique_ptr<BBitmap> icon(plugin->AddOn()->Image(BPoint(0, 0)));
    if (!icon)
        Fail(plugin->Path(), "the plug-in has no icon");
    WriteOutputFile(options.output, IconPng(*icon, options.scale, plugin->Path()), {plugin->Path()});
}

std::vector<uint8_t> IconPng(const BBitmap& icon, int scale, const std::string& name)
{
    if (icon.ColorSpace() != B_RGBA32 || scale < 1 || scale > kMaxScale)
        Fail(name, "cannot write this bitmap as PNG");
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
        Fail(name, std::string("cannot encode PNG: ") + image.message);
    std::vector<uint8_t> encoded(size);
    if (!png_image_write_to_memory(&image, encoded.data(), &size, 0, pixels.data(), 0, nullptr))
        Fail(name, std::string("cannot encode PNG: ") + image.message);
    png_image_free(&image);
    encoded.resize(size);
    return encoded;
}
