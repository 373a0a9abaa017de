#include "Song.h"

#include <algorithm>
#include <iostream>
#include <map>
#include <tuple>

#include "MidiFileIo.h"
#include "Pipeline.h"
#include "PluginFinder.h"
#include "Report.h"

namespace {

std::vector<SongNote> NotesOf(const SmfFile& file)
{
    std::vector<SongNote> notes;
    for (size_t track = 0; track < file.tracks.size(); ++track) {
        for (const UxChainPtr& event : TrackToEvents(file.tracks[track])) {
            const auto* note = dynamic_cast<const UxNoteOn*>(event.get());
            if (!note)
                continue;
            SongNote added;
            added.start = note->StartTime();
            added.end = note->StartTime() + note->Duration();
            added.pitch = note->Note();
            added.velocity = note->Velocity();
            added.channel = note->Channel();
            added.track = static_cast<uint16_t>(track);
            notes.push_back(added);
        }
    }
    return notes;
}

// The notes a filter made are those of the result that no note of the song starts
// like: on the same track, tick, key and channel. A filter's note that happens to
// start exactly like one of the song's own is taken for it; writing keeps only one
// note struck on a tick, key and channel anyway.
void MarkFilterNotes(const std::vector<SongNote>& played, std::vector<SongNote>* result)
{
    using Where = std::tuple<uint16_t, int64_t, uint8_t, uint8_t>;
    std::map<Where, int> unmatched;
    for (const SongNote& note : played)
        ++unmatched[Where(note.track, note.start, note.pitch, note.channel)];
    for (SongNote& note : *result) {
        const auto found = unmatched.find(Where(note.track, note.start, note.pitch, note.channel));
        note.madeByFilter = found == unmatched.end() || found->second == 0;
        if (!note.madeByFilter)
            --found->second;
    }
}

}  // namespace

int64_t Song::EndTick() const
{
    int64_t end = 0;
    for (const SmfTrack& track : file.tracks)
        end = std::max(end, track.endTick);
    return end;
}

Song MakeSong(const std::string& path, const std::vector<uint8_t>& bytes,
              const std::vector<const Plugin*>& plugins, ChannelMask channels)
{
    Song song;
    song.name = path;
    for (size_t i = 0; i < plugins.size(); ++i)
        song.name += (i == 0 ? " through " : ", ") + std::string(plugins[i]->AddOn()->Name());
    try {
        const SmfFile input = ParseSmf(bytes.data(), bytes.size());
        if (plugins.empty()) {
            song.file = input;
            song.notes = NotesOf(input);
        } else {
            SmfMemorySink output;
            ApplyFilters(bytes, plugins, &output, &song.leftOut, channels);
            song.file = ParseSmf(output.Bytes().data(), output.Bytes().size());
            song.notes = NotesOf(song.file);
            MarkFilterNotes(NotesOf(input), &song.notes);
        }
    } catch (const SmfError& error) {
        throw FileError(path + ": " + error.what());
    }
    std::stable_sort(song.notes.begin(), song.notes.end(), [](const SongNote& a, const SongNote& b) {
        return std::tie(a.start, a.pitch) < std::tie(b.start, b.pitch);
    });
    return song;
}

Song LoadSong(const std::string& path, const std::vector<std::string>& filterNames)
{
    const std::vector<uint8_t> bytes = ReadMidiFile(path);
    std::vector<std::unique_ptr<Plugin>> plugins;
    std::vector<const Plugin*> pipeline;
    for (const std::string& filterName : filterNames) {
        plugins.push_back(LoadNamedPlugin(filterName));
        pipeline.push_back(plugins.back().get());
    }
    return MakeSong(path, bytes, pipeline);
}

void ReportLeftOut(const std::string& name, const LeftOut& leftOut)
{
    for (const std::string& sentence : {CannotCarrySentence(leftOut), GaveWaySentence(leftOut)})
        if (!sentence.empty())
            std::cerr << "uxhost: " << name << ": " << sentence << ".\n";
}
