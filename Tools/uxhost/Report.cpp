#include "Report.h"

#include <iostream>

namespace {

bool gQuiet = false;

}  // namespace

void SetQuiet(bool quiet)
{
    gQuiet = quiet;
}

bool Quiet()
{
    return gQuiet;
}

void Report(const std::string& text)
{
    if (!gQuiet)
        std::cerr << "uxhost: " << text << "\n";
}
