// The options of every command that runs MIDI through a pipeline of filters, and
// the pipeline they name: the filters (-f), the channels they filter (--channels)
// and the calendar second they read (--clock).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Pipeline.h"
#include "PluginLoader.h"

namespace CLI {
class App;
}

struct PipelineOptions {
    std::vector<std::string> filters;
    std::string channels = "1-16";
    int64_t clock = -1;  // the calendar second the filters read; -1: the real clock
};

// Registers -f, --channels and --clock on `command`, which fills `options` when
// parsed; -f must then be given at least once when `filtersRequired`.
void AddPipelineOptions(CLI::App* command, PipelineOptions& options, bool filtersRequired = false);

// Registers --clock alone, for a command that names its filters and channels itself.
void AddClockOption(CLI::App* command, PipelineOptions& options);
// Registers --clock filling `second`, with the range every command takes.
void AddClockOption(CLI::App* command, int64_t& second, const std::string& description);

// The plug-ins named, loaded in order, with the clock fixed as the options say.
// Throws PluginError for a plug-in that cannot be loaded.
class LoadedPipeline {
public:
    explicit LoadedPipeline(const PipelineOptions& options);
    // Loads the named plug-ins only, with the options' channels and clock.
    LoadedPipeline(const PipelineOptions& options, const std::vector<std::string>& names);

    const std::vector<const Plugin*>& Plugins() const { return mPipeline; }
    ChannelMask Channels() const { return mChannels; }

private:
    std::vector<std::unique_ptr<Plugin>> mPlugins;
    std::vector<const Plugin*> mPipeline;
    ChannelMask mChannels;
};
