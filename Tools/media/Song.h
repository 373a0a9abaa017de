// A song as the roll draws it and the renderer plays it: a MIDI file after a
// pipeline of filters, read back message by message, and its notes as they were
// written, each played by the song or made by a filter.
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

// What the pipeline wrote, as a Standard MIDI File, and the notes it wrote, each
// in a temporary file: they take the heap nothing, however long the song, and
// leave nothing behind, however the program ends.
class TempFile;

class Song {
public:
    Song(std::string name, std::vector<uint8_t> input);
    Song(Song&&) noexcept;
    ~Song();

    std::string name;  // the file's name, and the filters it went through
    LeftOut leftOut;   // what the filters made that MIDI cannot carry
    SmfRead read;      // what reading the input found beside its messages

    // The song as a Standard MIDI File: what the filters made of the input, or the
    // input itself when there are none.
    const uint8_t* Data() const;
    size_t Size() const;

    // Its timing, read from every track.
    SongTiming Timing() const { return ReadTiming(Data(), Size()); }

    // Every note, track by track, in the order their note-offs were written: as
    // the writer told them when filters ran, else as the input's own note-offs end
    // them (a note-off ends the earliest note still sounding on its key and
    // channel; a note never ended lasts to the end of its track).
    void ForEachNote(const std::function<void(const NoteWritten&)>& visit) const;

private:
    friend Song MakeSong(const std::string&, std::vector<uint8_t>, const std::vector<const Plugin*>&, ChannelMask);
    std::vector<uint8_t> mInput;
    std::unique_ptr<TempFile> mOutput;  // none: the input as it is
    std::unique_ptr<TempFile> mNotes;   // NoteWritten records
};

// The MIDI file read from `path` as `bytes` through the plug-ins, in order (none:
// the file as it is). Throws FileError naming `path` for a file that is no
// well-formed MIDI file of format 0, 1 or 2 (whole, or cut short inside a track),
// or naming the song for a result a file cannot hold (SmfFileError), PluginError
// for a filter that misbehaves.
Song MakeSong(const std::string& path, std::vector<uint8_t> bytes, const std::vector<const Plugin*>& plugins,
              ChannelMask channels = kAllChannels);

// What roll and render share: makes the output named `outputPath`, reads the song
// at `input`, runs it through the pipeline the options name, says what was left
// out, and hands the song and the output to `write`, which commits it.
void RunSongCommand(const std::string& input, const PipelineOptions& options, const std::string& outputPath,
                    const std::function<void(const Song&, OutputFile&)>& write);
