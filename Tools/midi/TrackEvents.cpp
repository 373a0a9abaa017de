#include "TrackEvents.h"

#include <algorithm>
#include <deque>
#include <map>

namespace {

constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kProgramChange = 0xC0;
constexpr uint8_t kPitchBend = 0xE0;
constexpr uint8_t kReleaseVelocity = 64;  // the note-off velocity that means "none given"
constexpr uint8_t kMaxData = 127;
constexpr uint8_t kMaxChannel = 15;
constexpr int kBendCentre = 8192;

int KeyIndex(uint8_t channel, uint8_t pitch)
{
    return channel * 128 + pitch;
}

}  // namespace

EventList TrackToEvents(const SmfTrack& track)
{
    EventList events;
    std::map<int, std::deque<UxNoteOn*>> sounding;
    for (const SmfEvent& message : track.events) {
        const std::vector<uint8_t>& bytes = message.bytes;
        if (bytes.size() < 2)
            continue;  // no message ParseSmf gives
        const uint8_t status = bytes[0];
        const uint8_t kind = status & 0xF0;
        const uint8_t channel = status & 0x0F;
        if (status >= 0xF0) {
            events.emplace_back(new UxMidiMessage(message.tick, bytes));
        } else if (bytes.size() < 3 && kind != kProgramChange) {
            events.emplace_back(new UxMidiMessage(message.tick, bytes, channel));
        } else if (kind == kNoteOn && bytes[2] > 0) {
            auto* note = new UxNoteOn(message.tick, 0, bytes[1], bytes[2], channel);
            events.emplace_back(note);
            sounding[KeyIndex(channel, bytes[1])].push_back(note);
        } else if (kind == kNoteOn || kind == kNoteOff) {
            auto found = sounding.find(KeyIndex(channel, bytes[1]));
            if (found != sounding.end() && !found->second.empty()) {
                UxNoteOn* note = found->second.front();
                found->second.pop_front();
                note->SetDuration(message.tick - note->StartTime());
            }
        } else if (kind == kControlChange) {
            events.emplace_back(new UxControlChange(message.tick, bytes[1], bytes[2], channel));
        } else if (kind == kProgramChange) {
            events.emplace_back(new UxProgramChange(message.tick, bytes[1], channel));
        } else if (kind == kPitchBend) {
            const int bend = (bytes[2] << 7 | bytes[1]) - kBendCentre;
            events.emplace_back(new UxPitchBend(message.tick, static_cast<int16>(bend), channel));
        } else {
            events.emplace_back(new UxMidiMessage(message.tick, bytes, channel));
        }
    }
    for (auto& [key, notes] : sounding)
        for (UxNoteOn* note : notes)
            note->SetDuration(std::max<int64_t>(track.endTick - note->StartTime(), 0));
    return events;
}

namespace {

// Where an event goes among those of the same tick.
enum TickPlace { kEndingNote, kOtherEvent, kStartingNote, kEndingEmptyNote };

struct PlacedEvent {
    int64_t tick;
    TickPlace place;
    std::vector<uint8_t> bytes;
};

struct Note {
    int64_t start;
    int64_t end;
    uint8_t channel;
    uint8_t pitch;
    uint8_t velocity;
};

// Checks that MIDI can carry the note and gives its place in time, or counts why not.
bool ToNote(const UxNoteOn& event, Note* note, LeftOut* leftOut)
{
    if (event.Note() > kMaxData)
        ++leftOut->pitchAbove127;
    else if (event.Velocity() == 0)
        ++leftOut->velocityZero;
    else if (event.Velocity() > kMaxData)
        ++leftOut->velocityAbove127;
    else if (event.Channel() > kMaxChannel)
        ++leftOut->channelAbove15;
    else if (event.StartTime() < 0 || event.Duration() < 0
             || event.Duration() > kUxMaxTime - event.StartTime())
        ++leftOut->outsideTime;
    else {
        *note = {event.StartTime(), event.StartTime() + event.Duration(), event.Channel(),
                 event.Note(), event.Velocity()};
        return true;
    }
    return false;
}

// The channel message for a host event that is no note, or an empty vector.
std::vector<uint8_t> MessageOf(const UxEvent& event)
{
    const uint8_t channel = event.Channel();
    if (channel > kMaxChannel)
        return {};
    if (const auto* control = dynamic_cast<const UxControlChange*>(&event)) {
        if (control->Controller() <= kMaxData && control->Value() <= kMaxData)
            return {static_cast<uint8_t>(kControlChange | channel), control->Controller(),
                    control->Value()};
    } else if (const auto* program = dynamic_cast<const UxProgramChange*>(&event)) {
        if (program->Program() <= kMaxData)
            return {static_cast<uint8_t>(kProgramChange | channel), program->Program()};
    } else if (const auto* bend = dynamic_cast<const UxPitchBend*>(&event)) {
        const int value = bend->Bend() + kBendCentre;
        if (value >= 0 && value < 2 * kBendCentre)
            return {static_cast<uint8_t>(kPitchBend | channel), static_cast<uint8_t>(value & 0x7F),
                    static_cast<uint8_t>(value >> 7)};
    } else if (const auto* message = dynamic_cast<const UxMidiMessage*>(&event)) {
        std::vector<uint8_t> bytes = message->Bytes();
        if (!bytes.empty() && bytes[0] >= 0x80 && bytes[0] < 0xF0)
            bytes[0] = static_cast<uint8_t>((bytes[0] & 0xF0) | channel);
        return bytes;
    }
    return {};
}

// Applies the one-note-per-key rule to the notes of one key and channel.
void SeparateNotesOfOneKey(std::vector<Note>* notes, LeftOut* leftOut)
{
    std::stable_sort(notes->begin(), notes->end(), [](const Note& a, const Note& b) {
        return a.start != b.start ? a.start < b.start : a.end > b.end;
    });
    std::vector<Note> kept;
    for (const Note& note : *notes) {
        if (!kept.empty() && kept.back().start == note.start) {
            ++leftOut->sameKeySameTick;
            continue;
        }
        if (!kept.empty() && kept.back().end > note.start)
            kept.back().end = note.start;
        kept.push_back(note);
    }
    *notes = std::move(kept);
}

}  // namespace

SmfTrack EventsToTrack(const EventList& events, int64_t endTick, LeftOut* leftOut)
{
    std::vector<PlacedEvent> placed;
    std::map<int, std::vector<Note>> notesByKey;
    for (const UxChainPtr& event : events) {
        if (const auto* noteEvent = dynamic_cast<const UxNoteOn*>(event.get())) {
            Note note;
            if (ToNote(*noteEvent, &note, leftOut))
                notesByKey[KeyIndex(note.channel, note.pitch)].push_back(note);
            continue;
        }
        std::vector<uint8_t> bytes = MessageOf(*event);
        if (bytes.empty() || event->StartTime() < 0)
            ++leftOut->otherEvents;
        else
            placed.push_back({event->StartTime(), kOtherEvent, std::move(bytes)});
    }
    for (auto& [key, notes] : notesByKey) {
        SeparateNotesOfOneKey(&notes, leftOut);
        for (const Note& note : notes) {
            placed.push_back({note.start, kStartingNote,
                              {static_cast<uint8_t>(kNoteOn | note.channel), note.pitch, note.velocity}});
            placed.push_back({note.end, note.end == note.start ? kEndingEmptyNote : kEndingNote,
                              {static_cast<uint8_t>(kNoteOff | note.channel), note.pitch, kReleaseVelocity}});
        }
    }
    std::stable_sort(placed.begin(), placed.end(), [](const PlacedEvent& a, const PlacedEvent& b) {
        return a.tick != b.tick ? a.tick < b.tick : a.place < b.place;
    });

    SmfTrack track;
    track.endTick = std::max<int64_t>(endTick, placed.empty() ? 0 : placed.back().tick);
    track.events.reserve(placed.size());
    for (PlacedEvent& event : placed)
        track.events.push_back({event.tick, std::move(event.bytes)});
    return track;
}

void LeftOut::Add(const LeftOut& other)
{
    pitchAbove127 += other.pitchAbove127;
    velocityZero += other.velocityZero;
    velocityAbove127 += other.velocityAbove127;
    outsideTime += other.outsideTime;
    channelAbove15 += other.channelAbove15;
    sameKeySameTick += other.sameKeySameTick;
    otherEvents += other.otherEvents;
}

int LeftOut::Total() const
{
    return pitchAbove127 + velocityZero + velocityAbove127 + outsideTime + channelAbove15
           + sameKeySameTick + otherEvents;
}

std::string LeftOut::Summary() const
{
    const int notes = Total() - otherEvents;
    const struct {
        int count;
        const char* reason;
    } reasons[] = {
        {pitchAbove127, "with a pitch above 127"},
        {velocityZero, "with a velocity of 0"},
        {velocityAbove127, "with a velocity above 127"},
        {outsideTime, "outside the file's time"},
        {channelAbove15, "on a channel above 15"},
        {sameKeySameTick, "struck again on the same tick, key and channel"},
    };
    std::string summary;
    if (notes > 0) {
        summary = std::to_string(notes) + (notes == 1 ? " note:" : " notes:");
        const char* separator = " ";
        for (const auto& reason : reasons)
            if (reason.count > 0) {
                summary += separator + std::to_string(reason.count) + " " + reason.reason;
                separator = ", ";
            }
    }
    if (otherEvents > 0)
        summary += (summary.empty() ? "" : "; ") + std::to_string(otherEvents)
                   + (otherEvents == 1 ? " event" : " events") + " MIDI cannot carry";
    return summary;
}
