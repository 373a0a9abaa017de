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
#include "OptionChecks.h"
#include "OutputFile.h"
#include "PipelineOptions.h"
#include "PluginFinder.h"
#include "ProgressLine.h"
#include "Checks.h"
#include "Report.h"
#include "Turtle.h"

namespace {

constexpr const char* kRealtimeHelper = "uxhost-rtcheck";

// Under valgrind, which runs code some tens of times slower, the bounds of a call
// and of a group of checks grow by these factors, so that only a real hang counts.
constexpr int64_t kValgrindCallFactor = 50;
constexpr int64_t kValgrindGroupFactor = 10;

// The word of each Verdict, in its order.
constexpr const char* kVerdictWords[] = {"PASS", "WARN", "FAIL"};

// One plug-in's results as a JUnit test suite: a test case a check, a failure for
// FAIL, a WARN's words in the case's output.
std::string JunitSuite(const std::string& name, const std::vector<CheckLine>& lines, int failures, double seconds)
{
    char head[64];
    std::snprintf(head, sizeof head, "\" failures=\"%d\" time=\"%.3f\">\n", failures, seconds);
    std::string xml = "  <testsuite name=\"" + XmlEscaped(name) + "\" tests=\"" + std::to_string(lines.size()) + head;
    for (const CheckLine& line : lines) {
        xml += "    <testcase classname=\"" + XmlEscaped(name) + "\" name=\"" + CheckName(line.check) + "\"";
        const std::string text = XmlEscaped(line.text);
        if (line.verdict == Verdict::kFail)
            xml += ">\n      <failure message=\"" + text + "\"/>\n    </testcase>\n";
        else if (line.verdict == Verdict::kWarn)
            xml += ">\n      <system-out>WARN " + text + "</system-out>\n    </testcase>\n";
        else
            xml += "/>\n";
    }
    return xml + "  </testsuite>\n";
}

}  // namespace

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options)
{
    CLI::App* check = app.add_subcommand(
        "check", "Check filter plug-ins for the faults that break hosts: one line per check, exit 1 when one fails");
    check->add_option("plugins", options.plugins, "Plug-ins to check (path, name or file name)")->required();
    AddClockOption(check, options.clockSecond, "The calendar second the filters' clock answers (default 1000000000)");
    WholeNumberFrom(check->add_option("--call-limit", options.callLimitMs,
                                      "Milliseconds one call may take before it counts as a hang (default 100)"),
                    1, 60000);
    WholeNumber(check->add_option("--seed", options.seed,
                                  "The seed of the random notes, to replay a failure (default "
                                      + std::to_string(InputSettings::kDefaultSeed) + ")"));
    check->add_option("--song", options.song,
                      "A Standard MIDI File whose every note is handed over too, as apply would");
    check->add_option("--junit", options.junit, "Write the results as JUnit XML to this file too, for CI systems");
    check->footer("Exit codes:\n"
                  "  0  nothing failed\n"
                  "  1  a check failed\n"
                  "  2  bad input: a file that is no plug-in, a song that cannot be read, an output that "
                  "cannot be written\n"
                  "  3  an internal failure: the checks could not run");
    return check;
}

int RunCheckCommand(const CheckOptions& options)
{
    std::vector<std::unique_ptr<Plugin>> plugins;
    std::vector<std::string> inputs;  // what the JUnit file must not overwrite
    for (const std::string& name : options.plugins) {
        plugins.push_back(LoadPlugin(name));
        inputs.push_back(plugins.back()->Path());
    }
    if (!options.song.empty())
        inputs.push_back(options.song);
    if (!options.junit.empty())
        OutputFile refused(options.junit, inputs);  // an output that must not be written is refused first
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
    settings.inputs.thin = RUNNING_ON_VALGRIND;
    OrdinaryNotes(settings.inputs);  // a song that cannot be read is refused before any check

    bool failed = false;
    std::string junit = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n";
    for (const auto& plugin : plugins) {
        const std::string name = plugin->AddOn()->Name() ? plugin->AddOn()->Name() : plugin->Path();
        std::cout << "Checking " << name << " (" << plugin->Path() << "), random notes of seed " << options.seed
                  << (options.song.empty() ? "" : ", the notes of " + options.song) << "\n"
                  << std::flush;
        const auto start = std::chrono::steady_clock::now();
        int counts[3] = {};
        std::vector<CheckLine> lines;
        {
            ProgressLine progress("checking " + name);
            settings.progress = [&](int done, int total) { progress.Update(done, total); };
            lines = CheckPlugin(*plugin, settings);
        }
        for (const CheckLine& line : lines) {
            ++counts[static_cast<int>(line.verdict)];
            char head[32];
            std::snprintf(head, sizeof head, "%s %-12s ", kVerdictWords[static_cast<int>(line.verdict)],
                          CheckName(line.check));
            std::cout << head << line.text << "\n";
        }
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        char summary[200];
        std::snprintf(summary, sizeof summary, "%s: %d passed, %d warnings, %d failed, in %.1f s\n", name.c_str(),
                      counts[0], counts[1], counts[2], seconds);
        std::cout << summary << std::flush;
        failed = failed || counts[static_cast<int>(Verdict::kFail)] > 0;
        junit += JunitSuite(name, lines, counts[static_cast<int>(Verdict::kFail)], seconds);
    }
    if (!options.junit.empty()) {
        junit += "</testsuites>\n";
        WriteOutputFile(options.junit, std::vector<uint8_t>(junit.begin(), junit.end()), inputs);
    }
    return failed ? kCheckFailed : kNothingFailed;
}
