// uxhost: a command-line host for filter plug-ins.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include <filesystem>

#include "AddOnInfo.h"
#include "CheckCommand.h"
#include "ExitCode.h"
#include "IconCommand.h"
#include "ClapBundleCommand.h"
#include "LiveCommand.h"
#include "Lv2BundleCommand.h"
#include "MediaCommands.h"
#include "MediaModule.h"
#include "MidiFileIo.h"
#include "OptionChecks.h"
#include "OutputFile.h"
#include "Pipeline.h"
#include "PipelineOptions.h"
#include "PluginFinder.h"
#include "PluginLoader.h"
#include "ProgressLine.h"
#include "Report.h"
#include "Vst3BundleCommand.h"

namespace {

// Runs the MIDI file in `input`, read from `inputPath`, through the plug-ins into
// `output`, reading its tracks as it goes: a malformed file is refused before
// anything is committed. Says on standard error, one line each, that track chunks
// were not read, that the file was cut short, that a RIFF wrapper was dropped, what MIDI could not carry and
// what gave way to another note on its key.
void ApplyAndWrite(const std::string& inputPath, const std::vector<uint8_t>& input, const LoadedPipeline& pipeline,
                   OutputFile& output)
{
    LeftOut leftOut;
    SmfRead read;
    try {
        read = ApplyFilters(input, pipeline.Plugins(), &output, &leftOut, pipeline.Channels(), nullptr,
                            ProgressLine::UpdateCurrent);
    } catch (const SmfError& error) {
        throw SmfFileError(error, inputPath, output.Name());
    }
    output.Commit();
    ReportInputRead(inputPath, read);
    if (read.fromRiff)
        Report(output.Name() + ": written as a plain Standard MIDI File, without the input's RIFF (RMID) wrapper");
    ReportLeftOut(output.Name(), leftOut);
}

// Every plug-in that loads on standard output; each file that does not, and each
// add-on whose name another has taken, one line on standard error.
void RunList()
{
    const PluginScan scan = LoadEveryPlugin();
    if (scan.plugins.empty())
        std::cout << "No plug-ins found.\n";
    for (const FoundPlugin& found : scan.plugins) {
        const UxFilterAddOn* addOn = found.plugin->AddOn();
        int32 major = 0;
        int32 minor = 0;
        addOn->GetVersion(&major, &minor);
        std::cout << addOn->Name() << "\t" << major << "." << minor << "\t" << found.plugin->Path() << "\n"
                  << "\t" << addOn->ShortDescription() << "\n";
    }
    for (const FoundPlugin& found : scan.plugins)
        if (!found.shadowed.empty())
            Tell(DuplicateLine(found));
    for (const std::string& failure : scan.failures)
        Tell(failure);
}

void RunApply(const PipelineOptions& options, const std::string& inputPath, const std::string& outputPath)
{
    OutputFile output(outputPath, {inputPath});
    ProgressLine progress("writing " + output.Name());
    const std::vector<uint8_t> input = ReadMidiBytes(inputPath);
    ApplyAndWrite(inputPath, input, LoadedPipeline(options), output);
}

// The command of that name; null when there is none.
const CLI::App* CommandNamed(const CLI::App& app, const char* word)
{
    for (const CLI::App* command : app.get_subcommands({}))
        if (word && command->get_name() == word)
            return command;
    return nullptr;
}

// The first argument that is no option: the command, when it is one, whether
// uxhost's own options come before it or after ("uxhost -q apply ...").
const char* FirstWord(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (argv[i][0] != '-')
            return argv[i];
    return nullptr;
}

bool AsksForHelp(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h")
            return true;
    return false;
}

// The commands in the order they were registered: "list, info, ...".
std::string CommandNames(const CLI::App& app)
{
    std::string names;
    for (const CLI::App* command : app.get_subcommands({}))
        names += (names.empty() ? "" : ", ") + command->get_name();
    return names;
}

// "uxhost apply", or "uxhost" when no command was named.
std::string Speaker(const CLI::App* command)
{
    return command ? "uxhost " + command->get_name() : "uxhost";
}

bool StartsWith(const std::string& text, const std::string& start)
{
    return text.compare(0, start.size(), start) == 0;
}

// The options of `command` and uxhost's own, which every command takes too.
std::vector<const CLI::Option*> OptionsOf(const CLI::App& app, const CLI::App* command)
{
    std::vector<const CLI::Option*> options = app.get_options();
    if (command)
        for (const CLI::Option* option : command->get_options())
            options.push_back(option);
    return options;
}

// What the option parser refused, in uxhost's words: the kind of its error says
// what went wrong, and what it had parsed so far says where. The values the
// options' own checks refuse never get here (UsageError).
std::string ParseProblem(const CLI::ParseError& error, const CLI::App& app, const CLI::App* command, int argc,
                         char** argv)
{
    const std::vector<const CLI::Option*> options = OptionsOf(app, command);
    if (dynamic_cast<const CLI::RequiredError*>(&error)) {
        for (const CLI::Option* option : options)
            if (option->get_required() && option->count() == 0)
                return option->get_name() + " is required";
    } else if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) {
        for (const CLI::Option* option : options) {
            const size_t most = static_cast<size_t>(std::max(option->get_items_expected_max(), 1));
            if (option->get_multi_option_policy() == CLI::MultiOptionPolicy::Throw && option->count() > most)
                return option->get_name() + ": given " + std::to_string(option->count()) + " times; give it once";
        }
        // Otherwise the option that wants a value came last, with none behind it.
        for (const CLI::Option* option : options)
            if (argc > 1 && option->check_name(argv[argc - 1]))
                return option->get_name() + ": no value given";
    } else if (dynamic_cast<const CLI::ExtrasError*>(&error)) {
        const std::vector<std::string> extras = app.remaining(true);
        if (!extras.empty() && StartsWith(extras.front(), "-"))
            return extras.front() + ": no such option";
        if (!extras.empty())
            return "\"" + extras.front() + "\": not expected; the command takes no more arguments";
    } else if (dynamic_cast<const CLI::ConversionError*>(&error)) {
        return "a value is not of the kind its option takes";
    }
    return error.what();  // none of the above, which uxhost's options cannot give
}

bool LooksLikeChannelList(const char* word)
{
    const std::string text(word);
    return !text.empty() && text.find_first_not_of("0123456789,-") == std::string::npos && text[0] != '-';
}

// "--channels 1 2 song.mid" would take "2" for the input and complain about
// song.mid; a list with a space in it is what went wrong. Empty when none has one.
std::string SpacedChannelList(int argc, char** argv)
{
    const std::string option = "--channels";
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string word = argv[i];
        const bool joined = StartsWith(word, option + "=");  // --channels=1 2
        if (word != option && !joined)
            continue;
        const std::string list = joined ? word.substr(option.size() + 1) : i + 2 < argc ? argv[i + 1] : "";
        const char* next = argv[joined ? i + 1 : std::min(i + 2, argc - 1)];
        if (!LooksLikeChannelList(list.c_str()) || !LooksLikeChannelList(next) || std::filesystem::exists(next))
            continue;
        return option + ": \"" + list + " " + next + "\": a list is one word, without spaces, such as 1,2 or 1-9,11-16";
    }
    return {};
}

// An empty name ("-o ''") names no file and no plug-in: it is refused here, by the
// option it was given to, rather than by whatever fails to open it.
std::string EmptyValue(const CLI::App& command)
{
    for (const CLI::Option* option : command.get_options())
        for (const std::string& value : option->results())
            if (value.empty())
                return option->get_name() + ": an empty name";
    return {};
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"uxhost: loads filter plug-ins and runs MIDI events through them", "uxhost"};
    app.require_subcommand(1);
    bool quiet = false;
    app.add_flag("-q,--quiet", quiet, "Say nothing on success; errors are still said");
    bool verbose = false;
    app.add_flag("-v,--verbose", verbose, "Say how the counts of notes that gave way or were left out came about");
    // The commands made below take uxhost's own options too: "uxhost apply -q ...".
    app.fallthrough();

    CLI::App* list = app.add_subcommand("list", "List every plug-in found: name, version, file, description");

    std::string infoName;
    CLI::App* info = app.add_subcommand("info", "Show one plug-in's add-on values");
    info->add_option("plugin", infoName, "Plug-in path, name or file name")->required();

    PipelineOptions applyOptions;
    std::string applyInput;
    std::string applyOutput;
    CLI::App* apply = app.add_subcommand("apply", "Run a MIDI file through a pipeline of filters");
    AddPipelineOptions(apply, applyOptions, true);
    apply->add_option("input", applyInput, "The Standard MIDI File to read (- for standard input)")->required();
    apply->add_option("-o,--output", applyOutput, "The MIDI file to write (- for standard output)")->required();

    IconOptions iconOptions;
    CLI::App* icon = AddIconCommand(app, iconOptions);

    DemoOptions demoOptions;
    CLI::App* demo = AddDemoCommand(app, demoOptions);

    RollOptions rollOptions;
    CLI::App* roll = AddRollCommand(app, rollOptions);
    RenderOptions renderOptions;
    CLI::App* render = AddRenderCommand(app, renderOptions);
    LiveOptions liveOptions;
    CLI::App* live = AddLiveCommand(app, liveOptions);
    Lv2BundleOptions bundleOptions;
    CLI::App* bundle = AddLv2BundleCommand(app, bundleOptions);
    Vst3BundleOptions vst3Options;
    CLI::App* vst3 = AddVst3BundleCommand(app, vst3Options);
    ClapBundleOptions clapOptions;
    CLI::App* clapBundle = AddClapBundleCommand(app, clapOptions);
    CheckOptions checkOptions;
    CLI::App* check = AddCheckCommand(app, checkOptions);

    // A mistyped command gets the list of commands, whatever commands there are.
    const char* firstWord = FirstWord(argc, argv);
    const CLI::App* named = CommandNamed(app, firstWord);
    if (!named && !AsksForHelp(argc, argv)) {
        const std::string problem = firstWord ? "no command '" + std::string(firstWord) + "'" : "no command given";
        Tell(problem + "; the commands are " + CommandNames(app));
        return kBadInput;
    }

    // Bad usage, like every bad input, gets one line.
    const auto usageError = [named](const std::string& problem) {
        std::cerr << Speaker(named) << ": " << problem << " (see " << Speaker(named) << " --help)\n";
        return kBadInput;
    };
    if (const std::string problem = SpacedChannelList(argc, argv); !problem.empty())
        return usageError(problem);
    try {
        app.parse(argc, argv);
    } catch (const UsageError& error) {
        return usageError(error.what());
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0)
            return app.exit(error);  // --help
        return usageError(ParseProblem(error, app, named, argc, argv));
    }
    if (const std::string problem = named ? EmptyValue(*named) : ""; !problem.empty())
        return usageError(problem);
    SetQuiet(quiet);
    SetVerbose(verbose);

    // The commands that draw and play run in a module of their own, loaded only now.
    MediaRequest media;
    media.quiet = quiet;
    media.verbose = verbose;
    media.roll = *roll ? &rollOptions : nullptr;
    media.render = *render ? &renderOptions : nullptr;
    media.demo = *demo ? &demoOptions : nullptr;
    if (media.roll || media.render || media.demo)
        return RunMediaCommand(media);
    // So does live, which plays on JACK.
    if (*live)
        return RunLiveCommand(liveOptions, quiet);
    // check's 1 says that a check failed; its own failure says 3.
    if (*check)
        return ExitCodeOf([&] { return RunCheckCommand(checkOptions); }, kCheckInternalFailure);

    return ExitCodeOf([&]() -> int {
        if (*list)
            RunList();
        else if (*info)
            PrintAddOn(std::cout, *LoadPlugin(infoName));
        else if (*apply)
            RunApply(applyOptions, applyInput, applyOutput);
        else if (*icon)
            RunIconCommand(iconOptions);
        else if (*bundle)
            RunLv2BundleCommand(bundleOptions);
        else if (*vst3)
            RunVst3BundleCommand(vst3Options);
        else if (*clapBundle)
            RunClapBundleCommand(clapOptions);
        return kSuccess;
    });
}
