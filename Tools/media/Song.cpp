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
#include <map>
#include <optional>
#include <utility>

#include "MidiFileIo.h"
#include "ProgressLine.h"
#include "Report.h"

// The pipeline's output goes to a file of the system's temporary folder that has no
// name from the start, buffered here, and is mapped once it is whole.
class MappedSong : public SmfSink {
public:
    MappedSong() : mFile(std::tmpfile())
    {
        if (!mFile)
            Fail("cannot make a temporary file");
        mBuffer.reserve(kBufferSize);
    }
    ~MappedSong() override
    {
        if (mData)
            munmap(mData, mSize);
        if (mFile)
            std::fclose(mFile);
    }
    MappedSong(const MappedSong&) = delete;
    MappedSong& operator=(const MappedSong&) = delete;

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

private:
    static constexpr size_t kBufferSize = 1 << 16;

    void Flush()
    {
        Write(mBuffer.data(), mBuffer.size());
        mBuffer.clear();
    }
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

bool IsNoteOn(const std::vector<uint8_t>& b)
{
    return NoteMessageOf(b.data(), b.size()) == NoteMessage::kNoteOn;
}

bool IsNoteOff(const std::vector<uint8_t>& b)
{
    return NoteMessageOf(b.data(), b.size()) == NoteMessage::kNoteOff;
}

int KeyOf(const std::vector<uint8_t>& b)
{
    return KeyLedger::KeyIndex(b[0] & 0x0F, b[1] & kMaxData);
}

// The input's note-ons of one track, read along with the song's track: how many
// were struck on each key at the tick the song's track has reached.
class InputStrikes {
public:
    explicit InputStrikes(std::optional<SmfTrackReader> track) : mTrack(std::move(track)) {}

    // Whether a note struck on `key` at `tick`, a tick no earlier than the last
    // asked about, is one of the input's; each of those answers once.
    bool Take(int64_t tick, int key)
    {
        if (!mTrack)
            return true;
        for (;;) {
            if (!mPending && !(mPending = mTrack->Next(&mEvent)))
                break;
            if (mEvent.tick > tick)
                break;
            if (IsNoteOn(mEvent.bytes))
                ++mStruck[{mEvent.tick, KeyOf(mEvent.bytes)}];
            mPending = false;
        }
        mStruck.erase(mStruck.begin(), mStruck.lower_bound({tick, 0}));
        const auto found = mStruck.find({tick, key});
        if (found == mStruck.end())
            return false;
        if (--found->second == 0)
            mStruck.erase(found);
        return true;
    }

private:
    std::optional<SmfTrackReader> mTrack;  // none: every note is the input's
    SmfEvent mEvent;
    bool mPending = false;  // mEvent is read but not counted
    std::map<std::pair<int64_t, int>, int> mStruck;
};

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

void Song::ForEachNote(const std::function<void(const SongNote&)>& visit) const
{
    struct Sounding {
        int64_t start;
        uint8_t velocity;
        bool made;
    };
    SmfReader song(Data(), Size());
    std::optional<SmfReader> input;
    if (mOutput)
        input.emplace(mInput.data(), mInput.size());
    std::vector<std::vector<Sounding>> sounding(KeyLedger::kKeys);  // oldest first
    SmfEvent event;
    for (size_t track = 0; track < song.TrackCount(); ++track) {
        SmfTrackReader reader = song.NextTrack();
        InputStrikes strikes(input ? std::optional<SmfTrackReader>(input->NextTrack()) : std::nullopt);
        SongNote note;
        note.track = static_cast<uint16_t>(track);
        const auto end = [&](int key, int64_t tick) {
            const Sounding& held = sounding[key].front();
            note.start = held.start;
            note.end = tick;
            note.pitch = KeyLedger::PitchOf(key);
            note.channel = KeyLedger::ChannelOf(key);
            note.velocity = held.velocity;
            note.madeByFilter = held.made;
            visit(note);
            sounding[key].erase(sounding[key].begin());
        };
        while (reader.Next(&event)) {
            if (IsNoteOn(event.bytes)) {
                const int key = KeyOf(event.bytes);
                sounding[key].push_back({event.tick, event.bytes[2], !strikes.Take(event.tick, key)});
            } else if (IsNoteOff(event.bytes) && !sounding[KeyOf(event.bytes)].empty()) {
                end(KeyOf(event.bytes), event.tick);
            }
        }
        for (int key = 0; key < KeyLedger::kKeys; ++key)
            while (!sounding[key].empty())
                end(key, reader.EndTick());
    }
}

Song MakeSong(const std::string& path, std::vector<uint8_t> bytes, const std::vector<const Plugin*>& plugins,
              ChannelMask channels)
{
    std::string name = path;
    for (size_t i = 0; i < plugins.size(); ++i)
        name += (i == 0 ? " through " : ", ") + std::string(plugins[i]->AddOn()->Name());
    Song song(std::move(name), std::move(bytes));
    try {
        if (plugins.empty()) {
            CheckSmf(song.mInput.data(), song.mInput.size());
        } else {
            auto output = std::make_unique<MappedSong>();
            ApplyFilters(song.mInput, plugins, output.get(), &song.leftOut, channels);
            output->Map();
            song.mOutput = std::move(output);
        }
    } catch (const SmfError& error) {
        throw FileError(InputName(path) + ": " + error.what());
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
    ReportTrackChunksNotRead(input, song.Input());
    ReportCutShort(input, song.Input());
    ReportLeftOut(song.name, song.leftOut);
    write(song, output);
}
