#include "Song.h"

#include <sys/mman.h>
#include <unistd.h>

#include <KeyLedger.h>
#include <MidiBytes.h>
#include <NoteRules.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <utility>

#include "MidiFileIo.h"
#include "ProgressLine.h"
#include "Report.h"

// A file of the system's temporary folder that has no name from the start,
// written through a buffer here, then mapped or read back once it is whole.
class TempFile : public SmfSink {
public:
    TempFile() : mFile(std::tmpfile())
    {
        if (!mFile)
            Fail("cannot make a temporary file");
        mBuffer.reserve(kBufferSize);
    }
    ~TempFile() override
    {
        if (mData)
            munmap(mData, mSize);
        if (mFile)
            std::fclose(mFile);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    void Append(const uint8_t* bytes, size_t size) override
    {
        if (mBuffer.size() + size > kBufferSize)
            Flush();
        if (size > kBufferSize)
            Write(bytes, size);
        else
            mBuffer.insert(mBuffer.end(), bytes, bytes + size);
    }
    void Overwrite(uint64_t offset, const uint8_t* bytes, size_t size) override
    {
        Flush();
        if (pwrite(fileno(mFile), bytes, size, static_cast<off_t>(offset)) != static_cast<ssize_t>(size))
            Fail("cannot write a temporary file");
    }
    // Maps what was written; the song is read from here on.
    void Map()
    {
        Flush();
        const off_t size = lseek(fileno(mFile), 0, SEEK_END);
        void* data =
            size > 0 ? mmap(nullptr, static_cast<size_t>(size), PROT_READ, MAP_PRIVATE, fileno(mFile), 0) : MAP_FAILED;
        if (data == MAP_FAILED)
            Fail("cannot read a temporary file back");
        mData = static_cast<uint8_t*>(data);
        mSize = static_cast<size_t>(size);
    }
    const uint8_t* Data() const { return mData; }
    size_t Size() const { return mSize; }

    void Flush()
    {
        Write(mBuffer.data(), mBuffer.size());
        mBuffer.clear();
    }
    // Up to `size` bytes from `offset` of what was flushed, into `bytes`: how many.
    size_t Read(uint64_t offset, void* bytes, size_t size) const
    {
        const ssize_t read = pread(fileno(mFile), bytes, size, static_cast<off_t>(offset));
        if (read < 0)
            Fail("cannot read a temporary file back");
        return static_cast<size_t>(read);
    }

private:
    static constexpr size_t kBufferSize = 1 << 16;

    void Write(const uint8_t* bytes, size_t size)
    {
        if (size > 0 && std::fwrite(bytes, 1, size, mFile) != size)
            Fail("cannot write a temporary file");
        if (std::fflush(mFile) != 0)
            Fail("cannot write a temporary file");
    }
    [[noreturn]] static void Fail(const std::string& problem)
    {
        throw std::runtime_error(problem + ": " + std::strerror(errno));
    }

    std::FILE* mFile;
    std::vector<uint8_t> mBuffer;
    uint8_t* mData = nullptr;
    size_t mSize = 0;
};

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
