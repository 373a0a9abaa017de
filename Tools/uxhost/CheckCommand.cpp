#include "CheckCommand.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>

#include <OS.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#else
#define RUNNING_ON_VALGRIND 0
#endif

#include "KitFiles.h"
#include "PipelineOptions.h"
#include "PluginFinder.h"
#include "Checks.h"

namespace {

constexpr const char* kRealtimeHelper = "uxhost-rtcheck";

// Under valgrind, which runs code some tens of times slower, the bounds of a call
// and of a group of checks grow by these factors, so that only a real hang counts.
constexpr int64_t kValgrindCallFactor = 50;
constexpr int64_t kValgrindGroupFactor = 10;

const char* VerdictWord(Verdict verdict)
{
    switch (verdict) {
    case Verdict::kPass: return "PASS";
    case Verdict::kWarn: return "WARN";
    case Verdict::kFail: return "FAIL";
    }
    return "";
}

}  // namespace

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options)
{
    CLI::App* check = app.add_subcommand(
        "check",
        "Check filter plug-ins for the faults that break hosts: one line per check, exit 1 when one fails");
    check->add_option("plugins", options.plugins, "Plug-ins to check (path, name or file name)")->required();
    AddClockOption(check, options.clockSecond, "The calendar second the filters' clock answers (default 1000000000)");
    check
        ->add_option("--call-limit", options.callLimitMs,
                     "Milliseconds one call may take before it counts as a hang (default 100)")
        ->check(CLI::Range(1LL, 60000LL));
    check->add_option("--seed", options.seed,
                      "The seed of the random notes, to replay a failure (default "
                          + std::to_string(InputSettings::kDefaultSeed) + ")");
    check->add_option("--song", options.song,
                      "A Standard MIDI File whose every note is handed over too, as apply would");
    return check;
}

int RunCheckCommand(const CheckOptions& options)
{
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (const std::string& name : options.plugins)
        plugins.push_back(LoadNamedPlugin(name));
    set_calendar_second(options.clockSecond);
    CheckSettings settings;
    settings.limits.callMs = options.callLimitMs;
    if (RUNNING_ON_VALGRIND) {
        settings.limits.callMs *= kValgrindCallFactor;
        settings.limits.groupMs *= kValgrindGroupFactor;
    }
    settings.realtimeHelper = FindKitFile(kRealtimeHelper, X_OK);
    settings.clockSecond = options.clockSecond;
    settings.inputs.seed = options.seed;
    settings.inputs.song = options.song;
    OrdinaryNotes(settings.inputs);  // a song that cannot be read is refused before any check

    bool failed = false;
    for (const auto& plugin : plugins) {
        const std::string name = plugin->AddOn()->Name() ? plugin->AddOn()->Name() : plugin->Path();
        std::cout << "Checking " << name << " (" << plugin->Path() << "), random notes of seed " << options.seed
                  << (options.song.empty() ? "" : ", the notes of " + options.song) << "\n"
                  << std::flush;
        const auto start = std::chrono::steady_clock::now();
        int counts[3] = {};
        for (const CheckLine& line : CheckPlugin(*plugin, settings)) {
            ++counts[static_cast<int>(line.verdict)];
            char head[32];
            std::snprintf(head, sizeof head, "%s %-12s ", VerdictWord(line.verdict), CheckName(line.check));
            std::cout << head << line.text << "\n";
        }
        const double seconds
            = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char summary[200];
        std::snprintf(summary, sizeof summary, "%s: %d passed, %d warnings, %d failed, in %.1f s\n",
                      name.c_str(), counts[0], counts[1], counts[2], seconds);
        std::cout << summary << std::flush;
        failed = failed || counts[static_cast<int>(Verdict::kFail)] > 0;
    }
    return failed ? 1 : 0;
}
