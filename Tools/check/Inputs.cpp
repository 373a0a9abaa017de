#include "Inputs.h"

#include <cstdio>
#include <exception>
#include <new>
#include <random>

#include <NoteRules.h>
#include <TrackReader.h>

#include "MidiFileIo.h"

namespace {

constexpr int kLargestValue = 255;  // of a pitch or velocity

// Notes appended behind one incoming note that are followed before the chain is
// taken as running into itself: more than any pool of the checks can make.
constexpr size_t kLongestWalk = 1 << 20;

// The velocities of the grid: the softest, soft, middle, loud and the loudest.
constexpr int kGridVelocities[] = {1, 40, 64, 100, 127};
// Its durations: a tick or two, and a sixteenth, an eighth, a quarter, a half and
// whole notes and bars up to four bars at 96, 480 and 960 ticks a beat.
constexpr UxTime kGridDurations[] = {1,   2,   6,   12,  24,   48,   96,   120,  192,
                                     240, 384, 480, 960, 1536, 1920, 3840, 7680, 15360};
// Its starts, taken in turn: the beginning, a beat, an odd tick and far on.
constexpr UxTime kGridStarts[] = {0, 480, 999983, 1000000, 1};

constexpr UxTime kThinDurations[] = {1, 480, 1920, 15360};

constexpr size_t kRandomNotes = 2000;
constexpr size_t kThinRandomNotes = 200;
constexpr UxTime kRandomLatestStart = UxTime(1) << 24;
constexpr UxTime kRandomLongest = 4 * 4 * 960;  // four bars at 960 ticks a beat

// A value from 0 to below `bound`: plain modulo, so that a seed gives the same notes
// with every standard library (its distributions are not fixed across them).
int64_t Below(std::mt19937_64& random, int64_t bound)
{
    return static_cast<int64_t>(random() % static_cast<uint64_t>(bound));
}

void AddSongNotes(const std::string& path, std::vector<NoteInput>* notes)
{
    const std::vector<uint8_t> bytes = ReadMidiBytes(path);
    try {
        SmfReader reader(bytes.data(), bytes.size());
        SmfEvent message;
        for (size_t t = 0; t < reader.TrackCount(); ++t) {
            SmfTrackReader track = reader.NextTrack();
            TrackEventReader events;
            const auto take = [&] {
                while (UxChainPtr event = events.Take())
                    if (const auto* note = dynamic_cast<const UxNoteOn*>(event.get()))
                        notes->push_back(
                            {note->StartTime(), note->Duration(), note->Note(), note->Velocity(), note->Channel()});
            };
            while (track.Next(&message)) {
                events.Add(message);
                take();
            }
            events.Finish(track.EndTick());
            take();
        }
    } catch (const SmfReadError& error) {
        throw FileError(InputName(path) + ": " + error.what());
    }
}

}  // namespace

std::vector<NoteInput> OrdinaryNotes(const InputSettings& settings, NoteParts* parts)
{
    std::vector<NoteInput> notes;
    size_t turn = 0;
    const std::vector<UxTime> durations = settings.thin
        ? std::vector<UxTime>(std::begin(kThinDurations), std::end(kThinDurations))
        : std::vector<UxTime>(std::begin(kGridDurations), std::end(kGridDurations));
    for (const UxTime duration : durations)
        for (const int velocity : kGridVelocities)
            for (int pitch = 0; pitch <= kMaxData; ++pitch)
                notes.push_back({kGridStarts[turn++ % std::size(kGridStarts)], duration, pitch, velocity});
    const size_t grid = notes.size();
    std::mt19937_64 random(settings.seed);
    const size_t randomNotes = settings.thin ? kThinRandomNotes : kRandomNotes;
    for (size_t i = 0; i < randomNotes; ++i) {
        const UxTime start = Below(random, kRandomLatestStart);
        const UxTime duration = 1 + Below(random, kRandomLongest);
        const int pitch = static_cast<int>(Below(random, kMaxData + 1));
        const int velocity = 1 + static_cast<int>(Below(random, kMaxData));
        notes.push_back({start, duration, pitch, velocity, static_cast<int>(Below(random, 16))});
    }
    if (!settings.song.empty())
        AddSongNotes(settings.song, &notes);
    if (parts)
        *parts = {std::size(kGridVelocities), durations.size(), grid, randomNotes, notes.size() - grid - randomNotes};
    return notes;
}

std::vector<NoteInput> ExtremeNotes()
{
    std::vector<NoteInput> notes;
    for (int value = 0; value <= kLargestValue; ++value) {
        notes.push_back({0, 480, value, 100});
        notes.push_back({0, 480, 60, value});
    }
    const UxTime longest = UxTime(1) << 40;
    for (const UxTime start :
         {UxTime(0), UxTime(1), kUxMaxTime - longest, kUxMaxTime - 480, kUxMaxTime - 1, kUxMaxTime})
        for (const UxTime duration : {UxTime(-1), UxTime(0), UxTime(1), UxTime(2), UxTime(13), UxTime(480), longest,
                                      kUxMaxTime - 1, kUxMaxTime})
            for (const int pitch : {0, 60, 127, 255})
                notes.push_back({start, duration, pitch, pitch == 0 ? 1 : 127});
    return notes;
}

std::vector<UxEvent*> OtherEvents()
{
    return {new UxControlChange(480, 7, 100, 3), new UxProgramChange(480, 5, 2), new UxPitchBend(480, -4000, 1),
            new UxMidiMessage(480, {0xF0, 0x7E, 0xF7})};
}

UxEvent* NewNote(const NoteInput& note)
{
    return new (std::nothrow) UxNoteOn(note.start, note.duration, static_cast<uchar>(note.pitch),
                                       static_cast<uchar>(note.velocity), static_cast<uint8>(note.channel));
}

std::string Describe(const NoteInput& note)
{
    char text[160];
    const int length =
        std::snprintf(text, sizeof text, "the note of pitch %d, velocity %d, duration %lld, start %lld", note.pitch,
                      note.velocity, static_cast<long long>(note.duration), static_cast<long long>(note.start));
    if (note.channel != 0)
        std::snprintf(text + length, sizeof text - static_cast<size_t>(length), ", channel %d", note.channel);
    return text;
}

std::string Describe(const UxEvent& event)
{
    const int32 type = event.Type();
    const char* kind = type == kUxControlChangeType ? "control change"
        : type == kUxProgramChangeType              ? "program change"
        : type == kUxPitchBendType                  ? "pitch bend"
        : type == kUxMidiMessageType                ? "system exclusive message"
                                                    : "event";
    return std::string("the ") + kind + " at tick " + std::to_string(event.StartTime());
}

bool MidiCarries(int pitch, int velocity)
{
    return pitch >= 0 && velocity >= 0 && NoteFaultOf(pitch, velocity, 0) == NoteFault::kNone;
}

EventRecord RecordOf(const UxEvent& event)
{
    const auto* note = dynamic_cast<const UxNoteOn*>(&event);
    return {event.Type(),   event.StartTime(), event.Duration(), note ? note->Note() : -1, note ? note->Velocity() : -1,
            event.Channel()};
}

bool EventRecord::operator==(const EventRecord& other) const
{
    return type == other.type && start == other.start && duration == other.duration && pitch == other.pitch
        && velocity == other.velocity && channel == other.channel;
}

std::string Difference(const ChainRecord& first, const ChainRecord& second)
{
    if (first.size() != second.size())
        return std::to_string(first.size()) + " events, then " + std::to_string(second.size());
    for (size_t i = 0; i < first.size(); ++i) {
        const EventRecord& a = first[i];
        const EventRecord& b = second[i];
        // In the order a difference is told: the first that differs names it.
        const struct {
            const char* name;
            long long first;
            long long second;
        } fields[] = {{"pitch", a.pitch, b.pitch}, {"velocity", a.velocity, b.velocity},
                      {"start", a.start, b.start}, {"duration", a.duration, b.duration},
                      {"type", a.type, b.type},    {"channel", a.channel, b.channel}};
        for (const auto& field : fields)
            if (field.first != field.second)
                return "event " + std::to_string(i + 1) + " has " + field.name + " " + std::to_string(field.first)
                    + ", then " + std::to_string(field.second);
    }
    return {};
}

NoteOutcome HandleNote(UxFilterI& filter, const NoteInput& input, UxEventPool& pool, CallSlot& slot, int index,
                       const std::string& what)
{
    NoteOutcome outcome;
    const ux_filter_params params;
    const size_t available = pool.Available();
    const UxEventPoolScope scope(pool);
    UxEvent* note = NewNote(input);
    if (!note)
        return outcome;
    CallMark call(slot, index, "HandleEvent", what);
    UxEvent* head = nullptr;
    try {
        head = filter.HandleEvent(note, &params);
    } catch (const std::exception& error) {
        outcome.threw = true;
        outcome.what = std::string("\"") + error.what() + "\"";
    } catch (...) {
        outcome.threw = true;
        outcome.what = "an exception that is no std::exception";
    }
    if (outcome.threw) {
        outcome.thrownAt = PlacesOf(slot);
        return outcome;  // who owns the note now is unknown: it stays
    }
    call.Now("reading the chain");
    outcome.headIsNote = head == note;
    for (const UxEvent* event = head; event; event = event->NextEvent()) {
        if (outcome.chain.size() > kLongestWalk) {
            outcome.endless = true;
            return outcome;  // releasing it would not end either
        }
        outcome.chain.push_back(RecordOf(*event));
    }
    call.Now("deleting the chain");
    UxEvent::DeleteChain(head);
    outcome.leaked = static_cast<long>(available) - static_cast<long>(pool.Available());
    return outcome;
}
