// uxhost check PLUGIN...: validates filter plug-ins, one line per check.
#pragma once

#include <cstdint>

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Inputs.h"

struct CheckOptions {
    std::vector<std::string> plugins;
    int64_t clockSecond = 1000000000;  // the second the filters' clock answers
    long long callLimitMs = 100;
    uint64_t seed = InputSettings::kDefaultSeed;
    std::string song;
    std::string junit;  // where the results go as JUnit XML too; empty: nowhere
};

CLI::App* AddCheckCommand(CLI::App& app, CheckOptions& options);

// Checks every plug-in and prints the report. Returns the exit code: 0 when nothing
// failed, 1 when a check failed; throws PluginError for a plug-in that does not load.
int RunCheckCommand(const CheckOptions& options);
