// A song as the roll draws it and the renderer plays it: a MIDI file after a
// pipeline of filters, read back note by note or message by message, and which of
// its notes the filters made.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <Smf.h>
#include <TrackWriter.h>

#include "OutputFile.h"
#include "Pipeline.h"
#include "PipelineOptions.h"
#include "Report.h"
#include "SongTiming.h"

struct SongNote {
    int64_t start = 0;
    int64_t end = 0;  // the first tick after it
    uint8_t pitch = 0;
    uint8_t velocity = 0;
    uint8_t channel = 0;
    uint16_t track = 0;
    bool madeByFilter = false;
};

// What the pipeline wrote, as a Standard MIDI File in a temporary file mapped into
// memory: it takes the heap nothing, however long the song, and leaves nothing
// behind, however the program ends.
class MappedSong;

class Song {
public:
    Song(std::string name, std::vector<uint8_t> input);
    Song(Song&&) noexcept;
    ~Song();

    std::string name;  // the file's name, and the filters it went through
    LeftOut leftOut;   // what the filters made that MIDI cannot carry

    // The song as a Standard MIDI File: what the filters made of the input, or the
    // input itself when there are none.
    const uint8_t* Data() const;
    size_t Size() const;
    // The file as it was read.
    const std::vector<uint8_t>& Input() const { return mInput; }

    // Its timing, read from every track.
    SongTiming Timing() const { return ReadTiming(Data(), Size()); }

    // Every note, track by track, each once its note-off has come (a note never
    // ended lasts to the end of its track). A note-off ends the earliest note still
    // sounding on its key and channel. The notes a filter made are those that no
    // note of the input starts like: on the same track, tick, key and channel; a
    // filter's note that happens to start exactly like one of the input's own is
    // taken for it (writing keeps only one note struck there anyway).
    void ForEachNote(const std::function<void(const SongNote&)>& visit) const;

private:
    friend Song MakeSong(const std::string&, std::vector<uint8_t>, const std::vector<const Plugin*>&, ChannelMask);
    std::vector<uint8_t> mInput;
    std::unique_ptr<MappedSong> mOutput;  // none: the input as it is
};

// The MIDI file read from `path` as `bytes` through the plug-ins, in order (none:
// the file as it is). Throws FileError naming `path` for a file that is no
// well-formed MIDI file of format 0, 1 or 2 (whole, or cut short inside a track) or
// a result a file cannot hold, PluginError for a filter that misbehaves.
Song MakeSong(const std::string& path, std::vector<uint8_t> bytes, const std::vector<const Plugin*>& plugins,
              ChannelMask channels = kAllChannels);

// What roll and render share: makes the output named `outputPath`, reads the song
// at `input`, runs it through the pipeline the options name, says what was left
// out, and hands the song and the output to `write`, which commits it.
void RunSongCommand(const std::string& input, const PipelineOptions& options, const std::string& outputPath,
                    const std::function<void(const Song&, OutputFile&)>& write);
