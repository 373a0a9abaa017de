// uxhost: a command-line host for filter plug-ins.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "IconCommand.h"
#include "PluginFinder.h"
#include "PluginLoader.h"

namespace {

enum ExitCode { kSuccess = 0, kInternalFailure = 1, kBadInput = 2 };

// The host's holder of a filter: the host keeps nothing else about its place.
class PipelineHolder : public UxFilterHolderI {};

void PrintAddOn(std::ostream& out, const Plugin& plugin)
{
    const UxFilterAddOn* addOn = plugin.AddOn();
    int32 major = 0;
    int32 minor = 0;
    addOn->GetVersion(&major, &minor);
    out << "Name:        " << addOn->Name() << "\n"
        << "Description: " << addOn->ShortDescription() << "\n"
        << "Author:      " << addOn->Author() << "\n"
        << "Version:     " << major << "." << minor << " (" << addOn->Version() << ")\n"
        << "File:        " << plugin.Path() << "\n";
}

const char* KindOf(const UxEvent& event)
{
    switch (event.Type()) {
    case kUxNoteOnType:
    case kUxNoteType:
        return "note";
    case kUxControlChangeType:
        return "control";
    case kUxProgramChangeType:
        return "program";
    case kUxPitchBendType:
        return "bend";
    default:
        return "event";
    }
}

void PrintChain(std::ostream& out, const UxEvent* head)
{
    char line[128];
    std::snprintf(line, sizeof line, "  %-8s %8s %8s %5s %8s\n", "kind", "start", "duration",
                  "pitch", "velocity");
    out << line;
    for (const UxEvent* event = head; event; event = event->NextEvent()) {
        if (const auto* note = dynamic_cast<const UxNoteOn*>(event))
            std::snprintf(line, sizeof line, "  %-8s %8lld %8lld %5d %8d\n", KindOf(*event),
                          static_cast<long long>(event->StartTime()),
                          static_cast<long long>(event->Duration()), note->Note(),
                          note->Velocity());
        else
            std::snprintf(line, sizeof line, "  %-8s %8lld %8lld %5s %8s\n", KindOf(*event),
                          static_cast<long long>(event->StartTime()),
                          static_cast<long long>(event->Duration()), "-", "-");
        out << line;
    }
}

// Shows what one plug-in does: its values, the chain it makes for a note-on, and
// a controller event passing through it unchanged.
void Demonstrate(std::ostream& out, const Plugin& plugin)
{
    PrintAddOn(out, plugin);
    PipelineHolder holder;
    FilterPtr filter(plugin.AddOn()->NewInstance(&holder, nullptr));
    const ux_filter_params params;

    out << "A note-on (start 0, duration 480, pitch 60, velocity 100) comes back as:\n";
    UxChainPtr notes(filter->HandleEvent(new UxNoteOn(0, 480, 60, 100), &params));
    PrintChain(out, notes.get());

    out << "A controller event (volume 100) comes back as:\n";
    UxChainPtr control(filter->HandleEvent(new UxControlChange(0, 7, 100), &params));
    PrintChain(out, control.get());
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"uxhost: loads filter plug-ins and runs MIDI events through them"};
    app.require_subcommand(1);

    std::string infoName;
    CLI::App* info = app.add_subcommand("info", "Show one plug-in's add-on values");
    info->add_option("plugin", infoName, "Plug-in path, name or file name")->required();

    std::vector<std::string> demoNames;
    CLI::App* demo = app.add_subcommand("demo", "Run a demo note through each plug-in");
    demo->add_option("plugins", demoNames, "Plug-ins to show (default: every one found)");

    IconOptions iconOptions;
    CLI::App* icon = AddIconCommand(app, iconOptions);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int code = app.exit(error);
        return code == 0 ? kSuccess : kBadInput;
    }

    try {
        if (*info) {
            PrintAddOn(std::cout, *LoadNamedPlugin(infoName));
        } else if (*icon) {
            RunIconCommand(iconOptions);
        } else if (*demo) {
            if (demoNames.empty())
                demoNames = FindPluginFiles();
            if (demoNames.empty())
                throw PluginError("no plug-ins found; name one or set UX_ADDON_PATH");
            for (size_t i = 0; i < demoNames.size(); ++i) {
                if (i > 0)
                    std::cout << "\n";
                Demonstrate(std::cout, *LoadNamedPlugin(demoNames[i]));
            }
        }
    } catch (const PluginError& error) {
        std::cerr << "uxhost: " << error.what() << "\n";
        return kBadInput;
    } catch (const std::exception& error) {
        std::cerr << "uxhost: internal failure: " << error.what() << "\n";
        return kInternalFailure;
    }
    return kSuccess;
}
