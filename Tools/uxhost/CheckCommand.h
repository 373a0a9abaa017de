// uxhost check PLUGIN...: validates filter plug-ins, one line per check.
#pragma once

#include <cstdint>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "ExitCode.h"
#include "Inputs.h"

struct CheckOptions {
    std::vector<std::string> plugins;
    int64_t clockSecond = 1000000000;  // the second the filters' clock answers
    long long callLimitMs = 100;
    uint64_t seed = InputSettings::kDefaultSeed;
    std::string song;
    std::string junit;  // where the results go as JUnit XML too; empty: nowhere
};

// The exit codes of uxhost check. Its 1 is a finding, so the checks failing to run
// at all (no child process, no shared memory) have a code of their own.
enum CheckExitCode { kNothingFailed = 0, kCheckFailed = 1, kCheckBadInput = kBadInput, kCheckInternalFailure = 3 };

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options);

// Checks every plug-in and prints the report. Returns the exit code: kNothingFailed
// or kCheckFailed; throws PluginError for a plug-in that does not load.
int RunCheckCommand(const CheckOptions& options);
