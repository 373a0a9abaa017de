#include "Report.h"

#include <PluginFinder.h>

#include <iostream>
#include <vector>

namespace {

bool gQuiet = false;
bool gVerbose = false;

struct Reason {
    int count;
    const char* one;   // the words after the count when it is 1
    const char* many;  // and otherwise
};

// "2 notes with a pitch above 127, 1 note with a velocity of 0 and 1 other event":
// the reasons that count, each with its own noun.
template <size_t N>
std::string CountedList(const Reason (&reasons)[N])
{
    std::vector<std::string> parts;
    for (const Reason& reason : reasons)
        if (reason.count > 0)
            parts.push_back(std::to_string(reason.count) + " " + (reason.count == 1 ? reason.one : reason.many));
    std::string list;
    for (size_t i = 0; i < parts.size(); ++i)
        list += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
    return list;
}

}  // namespace

std::string CannotCarrySentence(const LeftOut& leftOut)
{
    if (leftOut.CannotCarry() == 0)
        return "";
    const Reason reasons[] = {
        {leftOut.pitchAbove127, "note with a pitch above 127", "notes with a pitch above 127"},
        {leftOut.velocityZero, "note with a velocity of 0", "notes with a velocity of 0"},
        {leftOut.velocityAbove127, "note with a velocity above 127", "notes with a velocity above 127"},
        {leftOut.outsideTime, "note outside the file's time", "notes outside the file's time"},
        {leftOut.channelAbove15, "note on a channel above 16", "notes on a channel above 16"},
        {leftOut.otherEvents, "other event", "other events"},
    };
    return "left out what MIDI cannot carry: " + CountedList(reasons);
}

std::string GaveWaySentence(const LeftOut& leftOut)
{
    const int notes = leftOut.GaveWay();
    if (notes == 0)
        return "";
    const Reason reasons[] = {
        {leftOut.madeLeftOut, "made by the filters left out", "made by the filters left out"},
        {leftOut.madeCutShort, "made by the filters cut short", "made by the filters cut short"},
        {leftOut.playedLeftOut, "of the input's notes left out", "of the input's notes left out"},
        {leftOut.playedCutShort, "of the input's notes cut short", "of the input's notes cut short"},
    };
    return std::to_string(notes)
        + (notes == 1 ? " note gave way to another on its key and channel: "
                      : " notes gave way to others on their keys and channels: ")
        + CountedList(reasons);
}

std::string LeftOutSummary(const LeftOut& leftOut)
{
    const int gaveWay = leftOut.GaveWay();
    const int cannotCarry = leftOut.CannotCarry();
    if (gaveWay == 0 && cannotCarry == 0)
        return "";
    std::string summary;
    if (gaveWay > 0)
        summary = std::to_string(gaveWay)
            + (gaveWay == 1 ? " note gave way to another on its key" : " notes gave way to others on their keys");
    if (cannotCarry > 0)
        summary += (summary.empty() ? std::to_string(cannotCarry) + (cannotCarry == 1 ? " event was" : " events were")
                                    : " and " + std::to_string(cannotCarry) + (cannotCarry == 1 ? " was" : " were"))
            + " left out as MIDI cannot carry " + (cannotCarry == 1 ? "it" : "them");
    return summary + " (--verbose says which)";
}

void SetQuiet(bool quiet)
{
    gQuiet = quiet;
}

bool Quiet()
{
    return gQuiet;
}

void SetVerbose(bool verbose)
{
    gVerbose = verbose;
}

void Report(const std::string& text)
{
    if (!gQuiet)
        Tell(text);
}

void Tell(const std::string& text)
{
    std::cerr << "uxhost: " << text << "\n";
}

std::unique_ptr<Plugin> LoadPlugin(const std::string& name)
{
    std::string shadowed;
    std::unique_ptr<Plugin> plugin = LoadNamedPlugin(name, &shadowed);
    if (!shadowed.empty())
        Tell(shadowed);
    return plugin;
}

void ReportLeftOut(const std::string& name, const LeftOut& leftOut)
{
    if (!gVerbose) {
        if (const std::string summary = LeftOutSummary(leftOut); !summary.empty())
            Report(name + ": " + summary + ".");
        return;
    }
    for (const std::string& sentence : {CannotCarrySentence(leftOut), GaveWaySentence(leftOut)})
        if (!sentence.empty())
            Report(name + ": " + sentence + ".");
}
