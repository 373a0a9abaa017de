#include "Song.h"

#include <KeyLedger.h>
#include <MidiBytes.h>
#include <NoteRules.h>

#include <optional>
#include <utility>

#include "MidiFileIo.h"
#include "ProgressLine.h"
#include "Report.h"
#include "TempFile.h"

namespace {

// The notes of a file no filter wrote, track by track, each once its note-off has
// come (a note never ended lasts to the end of its track). A note-off ends the
// earliest note still sounding on its key and channel.
void ReadNotes(const uint8_t* data, size_t size, const NoteObserver& told)
{
    SmfReader song(data, size);
    std::vector<std::vector<NoteWritten>> sounding(KeyLedger::kKeys);  // oldest first
    const auto end = [&](int key, int64_t tick) {
        sounding[key].front().end = tick;
        told(sounding[key].front());
        sounding[key].erase(sounding[key].begin());
    };
    SmfEvent event;
    for (uint32_t track = 0; track < song.TrackCount(); ++track) {
        SmfTrackReader reader = song.NextTrack();
        while (reader.Next(&event)) {
            const NoteMessage kind = NoteMessageOf(event.bytes.data(), event.bytes.size());
            const int key =
                kind == NoteMessage::kNone ? 0 : KeyLedger::KeyIndex(event.bytes[0] & 0x0F, event.bytes[1] & kMaxData);
            if (kind == NoteMessage::kNoteOn)
                sounding[key].push_back({event.tick, 0, track, KeyLedger::ChannelOf(key), KeyLedger::PitchOf(key),
                                         event.bytes[2], NoteOrigin::kPlayed});
            else if (kind == NoteMessage::kNoteOff && !sounding[key].empty())
                end(key, event.tick);
        }
        for (int key = 0; key < KeyLedger::kKeys; ++key)
            while (!sounding[key].empty())
                end(key, reader.EndTick());
    }
}

}  // namespace

Song::Song(std::string name, std::vector<uint8_t> input) : name(std::move(name)), mInput(std::move(input))
{
}
Song::Song(Song&&) noexcept = default;
Song::~Song() = default;

const uint8_t* Song::Data() const
{
    return mOutput ? mOutput->Data() : mInput.data();
}

size_t Song::Size() const
{
    return mOutput ? mOutput->Size() : mInput.size();
}

void Song::ForEachNote(const std::function<void(const NoteWritten&)>& visit) const
{
    std::vector<NoteWritten> chunk(1024);
    uint64_t offset = 0;
    while (const size_t read = mNotes->Read(offset, chunk.data(), chunk.size() * sizeof(NoteWritten))) {
        offset += read;
        for (size_t i = 0; i < read / sizeof(NoteWritten); ++i)
            visit(chunk[i]);
    }
}

Song MakeSong(const std::string& path, std::vector<uint8_t> bytes, const std::vector<const Plugin*>& plugins,
              ChannelMask channels)
{
    std::string name = path;
    for (size_t i = 0; i < plugins.size(); ++i)
        name += (i == 0 ? " through " : ", ") + std::string(plugins[i]->AddOn()->Name());
    Song song(std::move(name), std::move(bytes));
    song.mNotes = std::make_unique<TempFile>();
    const NoteObserver keep = [&song](const NoteWritten& note) {
        song.mNotes->Append(reinterpret_cast<const uint8_t*>(&note), sizeof note);
    };
    try {
        if (plugins.empty()) {
            song.read = CheckSmf(song.mInput.data(), song.mInput.size());
            ReadNotes(song.mInput.data(), song.mInput.size(), keep);
        } else {
            auto output = std::make_unique<TempFile>();
            song.read = ApplyFilters(song.mInput, plugins, output.get(), &song.leftOut, channels, &keep,
                                     ProgressLine::UpdateCurrent);
            output->Map();
            song.mOutput = std::move(output);
        }
        song.mNotes->Flush();
    } catch (const SmfError& error) {
        throw SmfFileError(error, path, song.name);
    }
    return song;
}

void RunSongCommand(const std::string& input, const PipelineOptions& options, const std::string& outputPath,
                    const std::function<void(const Song&, OutputFile&)>& write)
{
    OutputFile output(outputPath, {input});
    // Reading and filtering the song; what `write` does may show a line of its own.
    std::optional<ProgressLine> progress(std::in_place, "making " + output.Name());
    std::vector<uint8_t> bytes = ReadMidiBytes(input);
    const LoadedPipeline pipeline(options);
    const Song song = MakeSong(input, std::move(bytes), pipeline.Plugins(), pipeline.Channels());
    progress.reset();
    ReportInputRead(input, song.read);
    ReportLeftOut(song.name, song.leftOut);
    write(song, output);
}
