#include "PipelineOptions.h"

#include <CLI/CLI.hpp>
#include <OS.h>

#include <stdexcept>

#include "OptionChecks.h"
#include "PluginFinder.h"
#include "Report.h"

namespace {

// The generator takes the second as an unsigned 32-bit value.
constexpr int64_t kLastSecond = 0xFFFFFFFF;

}  // namespace

void AddPipelineOptions(CLI::App* command, PipelineOptions& options, bool filtersRequired)
{
    CLI::Option* filter = command->add_option("-f,--filter", options.filters,
                                              "A filter (path, name or file name); repeat for a pipeline");
    filter->allow_extra_args(false);
    if (filtersRequired)
        filter->required();
    CheckValue(
        command->add_option("--channels", options.channels,
                            "The channels whose notes go through the filters, e.g. 1-9,11-16 (default: "
                            "all); notes on the others pass through untouched"),
        [](const std::string& list) {
            try {
                ParseChannelList(list);
                return std::string();
            } catch (const std::invalid_argument& error) {
                return std::string(error.what());
            }
        },
        "LIST");
    AddClockOption(command, options);
}

void AddClockOption(CLI::App* command, PipelineOptions& options)
{
    AddClockOption(command, options.clock,
                   "The calendar second (since 1970) the filters read, so that their random choices "
                   "come out the same on every run (default: the real clock)");
}

void AddClockOption(CLI::App* command, int64_t& second, const std::string& description)
{
    WholeNumberFrom(command->add_option("--clock", second, description), 0, kLastSecond);
}

LoadedPipeline::LoadedPipeline(const PipelineOptions& options) : LoadedPipeline(options, options.filters)
{
}

LoadedPipeline::LoadedPipeline(const PipelineOptions& options, const std::vector<std::string>& names)
    : mChannels(ParseChannelList(options.channels))
{
    for (const std::string& name : names) {
        mPlugins.push_back(LoadPlugin(name));
        mPipeline.push_back(mPlugins.back().get());
    }
    set_calendar_second(options.clock);
}
