// uxres: the build's resource tool. Attaches a plug-in's resources (its icon and
// its file type) to the linked library, and reports an icon source's counts.
//
// Its command line is two commands with one or two options, read here by hand so
// that building the kit needs no library beyond the platform.
#include <iostream>
#include <string>
#include <vector>

#include "IconSource.h"
#include "ResourceAttacher.h"

namespace {

enum ExitCode { kSuccess = 0, kBadInput = 2 };

constexpr const char* kUsage =
    "uxres: attaches resources to plug-in libraries\n"
    "Usage:\n"
    "  uxres attach LIBRARY --icon ICON [--type TYPE]   attach the icon and file type to a library\n"
    "  uxres stats ICON                                 count an icon source's pixels and shades\n";

// A command line that cannot be carried out; the message says what is wrong.
struct UsageError {
    std::string message;
};

struct Command {
    std::string name;
    std::vector<std::string> operands;
    std::string iconPath;
    std::string fileType = kLibraryFileType;
};

// Reads `uxres COMMAND ...`; throws UsageError.
Command ParseCommand(const std::vector<std::string>& args)
{
    if (args.empty())
        throw UsageError{"a command is required: attach or stats"};
    Command command;
    command.name = args[0];
    if (command.name != "attach" && command.name != "stats")
        throw UsageError{"unknown command '" + command.name + "': attach or stats"};
    const bool attach = command.name == "attach";
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (attach && (arg == "--icon" || arg == "--type")) {
            if (i + 1 == args.size())
                throw UsageError{arg + " needs a value"};
            (arg == "--icon" ? command.iconPath : command.fileType) = args[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            throw UsageError{"unknown option " + arg + " of " + command.name};
        } else {
            command.operands.push_back(arg);
        }
    }
    if (command.operands.size() != 1)
        throw UsageError{command.name + " takes one " + (attach ? "library" : "icon source")};
    if (attach && command.iconPath.empty())
        throw UsageError{"attach needs --icon"};
    return command;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    for (const std::string& arg : args) {
        if (arg == "-h" || arg == "--help") {
            std::cout << kUsage;
            return kSuccess;
        }
    }

    try {
        const Command command = ParseCommand(args);
        if (command.name == "attach") {
            const auto icon = ReadIconSource(command.iconPath);
            AttachContainer(command.operands[0], WriteResourceContainer(PluginResources(*icon, command.fileType)));
        } else {
            const IconCounts counts = CountIcon(*ReadIconSource(command.operands[0]));
            std::cout << "Background alpha: " << counts.backgroundAlpha << "\n"
                      << "Stroke pixels:    " << counts.strokePixels << "\n"
                      << "Background:       " << counts.backgroundPixels << "\n"
                      << "Shades:           " << counts.shades << "\n";
        }
    } catch (const UsageError& error) {
        std::cerr << "uxres: " << error.message << "\n" << kUsage;
        return kBadInput;
    } catch (const std::runtime_error& error) {
        std::cerr << "uxres: " << error.what() << "\n";
        return kBadInput;
    }
    return kSuccess;
}
