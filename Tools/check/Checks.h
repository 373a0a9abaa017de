// The checks of one plug-in, each group in a child process of its own.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "Inputs.h"
#include "PluginLoader.h"
#include "Probe.h"

struct CheckSettings {
    Limits limits;
    std::string realtimeHelper;  // the uxhost-rtcheck executable; empty when there is none
    long long clockSecond = 0;   // what the filters' clock answers
    InputSettings inputs;
    // Told after each group of checks how many of how many are done; may be empty.
    std::function<void(int done, int total)> progress;
};

struct CheckLine {
    Verdict verdict;
    CheckId check;
    std::string text;
};

// One line for every check, in the order of CheckId.
std::vector<CheckLine> CheckPlugin(const Plugin& plugin, const CheckSettings& settings);
