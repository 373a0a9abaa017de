#include "Where.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <sstream>

extern char** environ;

namespace {

// The file's own name, without its folder.
std::string BaseName(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Standard output of `argv`, run without a shell; empty when it cannot run.
std::string OutputOf(const std::vector<std::string>& arguments)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t child = 0;
    const int failed = posix_spawnp(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[1]);
    std::string output;
    char buffer[1024];
    ssize_t got = 0;
    while (!failed && (got = read(pipeEnds[0], buffer, sizeof buffer)) > 0)
        output.append(buffer, static_cast<size_t>(got));
    close(pipeEnds[0]);
    if (!failed)
        waitpid(child, nullptr, 0);
    return output;
}

// Whether addr2line knows no line ("??:0") or one in the system's headers.
bool OutsideSources(const std::string& line)
{
    return line.rfind("??", 0) == 0 || line.rfind("/usr/", 0) == 0;
}

// Whether `line` ("/src/kit/UxEvent.h:127") lies in one of the kit's own headers,
// whose inline functions are compiled into every plug-in.
bool InKitHeader(const std::string& line)
{
    static const char* const kKitHeaders[] = {"UxDefs.h",     "UxEvent.h",   "UxEventPool.h", "UxFilterI.h",
                                              "ZelRefable.h", "ZelVector.h", "AddOnKit.h",    "RandomSource.h"};
    const std::string file = BaseName(line.substr(0, line.find(':')));
    return std::any_of(std::begin(kKitHeaders), std::end(kKitHeaders),
                       [&](const char* header) { return file == header; });
}

}  // namespace

CodeName NameOf(const CodePlace& place)
{
    char address[32];
    std::snprintf(address, sizeof address, "0x%" PRIx64, place.address);
    // With -i, each pair is a function and a line in it, from the innermost code
    // inlined at the address outwards; the first pair's function is the outermost.
    std::istringstream lines(OutputOf({"addr2line", "-f", "-C", "-i", "-e", place.file, address}));
    std::vector<CodeName> chain;
    CodeName pair;
    while (std::getline(lines, pair.function) && std::getline(lines, pair.line))
        chain.push_back(pair);
    if (chain.empty())
        return {};
    // The author's own code: the first line outside the system's and the kit's
    // headers (a lock taken through std::lock_guard is named where the guard is made).
    const auto own = std::find_if(chain.begin(), chain.end(), [](const CodeName& pair) {
        return !OutsideSources(pair.line) && !InKitHeader(pair.line);
    });
    CodeName name = own == chain.end() ? chain.front() : *own;
    if (name.function == "??")
        name.function.clear();
    // A compiler's split of a function ("f() [clone .cold]") is still the function.
    if (const size_t clone = name.function.find(" [clone "); clone != std::string::npos)
        name.function.erase(clone);
    if (OutsideSources(name.line))
        name.line.clear();
    else
        name.line = BaseName(name.line.substr(0, name.line.find(" (discriminator")));
    return name;
}

std::string WhereText(const std::string& file, const CodeStack& stack)
{
    if (stack[0] == 0)
        return {};
    CodePlace place{file, stack[0]};
    CodeName name = NameOf(place);
    for (size_t i = 1; i < stack.size() && stack[i] != 0 && InKitHeader(name.line); ++i) {
        const CodeName outer = NameOf({file, stack[i]});
        if (outer.function.empty())
            break;
        place.address = stack[i];
        name = outer;
    }
    if (name.function.empty()) {
        char text[64];
        std::snprintf(text, sizeof text, " at address 0x%" PRIx64 " of ", place.address);
        return text + BaseName(place.file);
    }
    return " in " + name.function + (name.line.empty() ? "" : " at " + name.line);
}

std::vector<CodePlace> ReportedFrames(const std::string& report)
{
    std::vector<CodePlace> frames;
    std::istringstream lines(report);
    std::string line;
    while (std::getline(lines, line)) {
        const size_t hash = line.find_first_not_of(' ');
        const size_t open = line.find(" (");
        const size_t plus = line.rfind("+0x");
        if (hash == std::string::npos || line[hash] != '#' || open == std::string::npos || plus == std::string::npos
            || plus < open)
            continue;
        const size_t close = line.find(')', plus);
        frames.push_back({line.substr(open + 2, plus - open - 2),
                          std::strtoull(line.substr(plus + 1, close - plus - 1).c_str(), nullptr, 16)});
    }
    return frames;
}
