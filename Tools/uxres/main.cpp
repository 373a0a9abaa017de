// uxres: the build's resource tool. Attaches a plug-in's resources (its icon and
// its file type) to the linked library, and reports an icon source's counts.
#include <CLI/CLI.hpp>

#include <iostream>
#include <string>

#include "IconSource.h"
#include "ResourceAttacher.h"

namespace {

enum ExitCode { kSuccess = 0, kBadInput = 2 };

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"uxres: attaches resources to plug-in libraries"};
    app.require_subcommand(1);

    std::string library;
    std::string iconPath;
    std::string fileType = kLibraryFileType;
    CLI::App* attach = app.add_subcommand("attach", "Attach the icon and file type to a library");
    attach->add_option("library", library, "The linked library file")->required();
    attach->add_option("--icon", iconPath, "The icon source (a text grid)")->required();
    attach->add_option("--type", fileType, "The file type")->capture_default_str();

    std::string statsPath;
    CLI::App* stats = app.add_subcommand("stats", "Count an icon source's pixels and shades");
    stats->add_option("icon", statsPath, "The icon source")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? kSuccess : kBadInput;
    }

    try {
        if (*attach) {
            const auto icon = ReadIconSource(iconPath);
            AttachContainer(library, WriteResourceContainer(PluginResources(*icon, fileType)));
        } else if (*stats) {
            const IconCounts counts = CountIcon(*ReadIconSource(statsPath));
            std::cout << "Background alpha: " << counts.backgroundAlpha << "\n"
                      << "Stroke pixels:    " << counts.strokePixels << "\n"
                      << "Background:       " << counts.backgroundPixels << "\n"
                      << "Shades:           " << counts.shades << "\n";
        }
    } catch (const std::runtime_error& error) {
        std::cerr << "uxres: " << error.what() << "\n";
        return kBadInput;
    }
    return kSuccess;
}
