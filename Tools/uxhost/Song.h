// A song as the roll draws it and the renderer plays it: a MIDI file after a
// pipeline of filters, its notes, and which of them the filters made.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Smf.h>
#include <TrackEvents.h>

#include "Pipeline.h"

struct SongNote {
    int64_t start = 0;
    int64_t end = 0;  // the first tick after it
    uint8_t pitch = 0;
    uint8_t velocity = 0;
    uint8_t channel = 0;
    uint16_t track = 0;
    bool madeByFilter = false;
};

struct Song {
    std::string name;   // the file's name, and the filters it went through
    SmfFile file;       // after the filters
    std::vector<SongNote> notes;  // by start, then pitch
    LeftOut leftOut;    // what the filters made that MIDI cannot carry

    // The tick where the last track ends.
    int64_t EndTick() const;
};

// The MIDI file read from `path` as `bytes` through the plug-ins, in order (none:
// the file as it is). Throws FileError naming `path` for a file ParseSmf refuses
// or a result a file cannot hold, PluginError for a filter that misbehaves.
Song MakeSong(const std::string& path, const std::vector<uint8_t>& bytes,
              const std::vector<const Plugin*>& plugins, ChannelMask channels = kAllChannels);

// Reads the file at `path` and runs it through the plug-ins named, loaded here.
Song LoadSong(const std::string& path, const std::vector<std::string>& filterNames);

// Says on standard error, one sentence a line, what of the song named `name` MIDI
// could not carry and what gave way to another note on its key.
void ReportLeftOut(const std::string& name, const LeftOut& leftOut);
