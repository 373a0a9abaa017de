// Running MIDI through a pipeline of filters, the way a track's pipeline runs in
// the host: one filter instance per plug-in and track, one event at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <Smf.h>
#include <TrackWriter.h>

#include "PluginLoader.h"

// A set of MIDI channels, one bit each: bit 0 for channel 1, bit 15 for channel 16.
using ChannelMask = uint16_t;
constexpr ChannelMask kAllChannels = 0xFFFF;

// The channels of a list such as "10" or "1-9,11-16" (numbered 1 to 16). Throws
// std::invalid_argument saying what is wrong with it.
ChannelMask ParseChannelList(const std::string& list);

// One filter of each plug-in, in order. The plug-ins must outlive the pipeline.
class FilterPipeline {
public:
    // Notes on channels outside `channels` pass by the filters. `track` (counted
    // from 0) names where an event stands when a filter throws or crashes on it.
    explicit FilterPipeline(const std::vector<const Plugin*>& plugins, ChannelMask channels = kAllChannels,
                            uint32_t track = 0);

    // Hands the event to the first filter; each event of the chain it answers with
    // goes on its own to the next filter, and so on. Each event the last filter
    // answers with goes to `out`, chain by chain: an event the host handed in comes
    // out played, as the head of the chain each filter answers it with; every event
    // a filter appends behind that head comes out made, and so does whatever later
    // filters make of it. A note on a channel the pipeline leaves alone goes to
    // `out` at once, untouched. Throws PluginError when a filter throws, naming the
    // track, tick and note it was handed, or answers with an event that starts
    // before the one it was given. What each filter is handed is on record for a
    // crash to be named (HandOver.h).
    void Run(UxChainPtr event, TrackEventWriter* out);

private:
    void Feed(size_t stage, UxChainPtr event, NoteOrigin origin, TrackEventWriter* out);

    UxFilterHolderI mHolder;
    ux_filter_params mParams;
    std::vector<const Plugin*> mPlugins;
    std::vector<FilterPtr> mFilters;
    ChannelMask mChannels;
    uint32_t mTrack;
};

// Every track of the file in `bytes` through a pipeline of its own, filtering the
// notes on `channels`, written to `out` as it goes: the events of a track go
// through in time order, and each message is written as soon as nothing still to
// come can come before it. The file's own notes are played, the filters' made:
// where they meet on a key, the played note stays whole (see KeyLedger). What MIDI
// cannot carry of the result is left out, and what gave way counted, in `leftOut`.
// Throws SmfError for a file that is no well-formed MIDI file of format 0, 1 or 2
// (whole, or cut short inside a track) or a result a file cannot hold.
// A filter's crash ends the process, named in one line (CatchFilterCrashes).
// `written`, when given, is told of each note written, track by track, as its
// note-off is written; `progress`, when given, of how many of `bytes` are read as
// each message is. Returns what reading the file found beside its messages.
SmfRead ApplyFilters(const std::vector<uint8_t>& bytes, const std::vector<const Plugin*>& plugins, SmfSink* out,
                     LeftOut* leftOut, ChannelMask channels = kAllChannels, const NoteObserver* written = nullptr,
                     const std::function<void(uint64_t done, uint64_t total)>& progress = {});
