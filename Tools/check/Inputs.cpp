#include "Inputs.h"

#include <cstdio>
#include <exception>
#include <new>

namespace {

constexpr int kLargestValue = 255;  // of a pitch or velocity
constexpr int kHighestMidiValue = 127;

// Notes appended behind one incoming note that are followed before the chain is
// taken as running into itself: more than any pool of the checks can make.
constexpr size_t kLongestWalk = 1 << 20;

}  // namespace

std::vector<NoteInput> OrdinaryNotes()
{
    std::vector<NoteInput> notes;
    for (const UxTime start : {0, 480, 1000000})
        for (const UxTime duration : {1, 2, 13, 240, 480, 1920})
            for (const int velocity : {1, 64, 100, 127})
                for (int pitch = 24; pitch <= 108; pitch += 12)
                    notes.push_back({start, duration, pitch + (velocity % 2), velocity});
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
        for (const UxTime duration : {UxTime(-1), UxTime(0), UxTime(1), UxTime(2), UxTime(13), UxTime(480),
                                      longest, kUxMaxTime - 1, kUxMaxTime})
            for (const int pitch : {0, 60, 127, 255})
                notes.push_back({start, duration, pitch, pitch == 0 ? 1 : 127});
    return notes;
}

std::vector<UxEvent*> OtherEvents()
{
    return {new UxControlChange(480, 7, 100, 3), new UxProgramChange(480, 5, 2),
            new UxPitchBend(480, -4000, 1), new UxMidiMessage(480, {0xF0, 0x7E, 0xF7})};
}

std::string Describe(const NoteInput& note)
{
    char text[160];
    std::snprintf(text, sizeof text, "the note of pitch %d, velocity %d, duration %lld, start %lld",
                  note.pitch, note.velocity, static_cast<long long>(note.duration),
                  static_cast<long long>(note.start));
    return text;
}

std::string Describe(const UxEvent& event)
{
    const char* kind = "event";
    switch (event.Type()) {
    case kUxControlChangeType: kind = "control change"; break;
    case kUxProgramChangeType: kind = "program change"; break;
    case kUxPitchBendType: kind = "pitch bend"; break;
    case kUxMidiMessageType: kind = "system exclusive message"; break;
    default: break;
    }
    return std::string("the ") + kind + " at tick " + std::to_string(event.StartTime());
}

bool MidiCarries(int pitch, int velocity)
{
    return pitch <= kHighestMidiValue && velocity >= 1 && velocity <= kHighestMidiValue;
}

EventRecord RecordOf(const UxEvent& event)
{
    const auto* note = dynamic_cast<const UxNoteOn*>(&event);
    return {event.Type(),
            event.StartTime(),
            event.Duration(),
            note ? note->Note() : -1,
            note ? note->Velocity() : -1,
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
        if (a == b)
            continue;
        const auto field = [i](const char* name, long long x, long long y) {
            return "event " + std::to_string(i + 1) + " has " + name + " " + std::to_string(x) + ", then "
                + std::to_string(y);
        };
        if (a.pitch != b.pitch)
            return field("pitch", a.pitch, b.pitch);
        if (a.velocity != b.velocity)
            return field("velocity", a.velocity, b.velocity);
        if (a.start != b.start)
            return field("start", a.start, b.start);
        if (a.duration != b.duration)
            return field("duration", a.duration, b.duration);
        return field(a.type != b.type ? "type" : "channel", a.type != b.type ? a.type : a.channel,
                     a.type != b.type ? b.type : b.channel);
    }
    return {};
}

NoteOutcome HandleNote(UxFilterI& filter, const NoteInput& input, UxEventPool& pool, CallSlot& slot,
                       int index, const std::string& what)
{
    NoteOutcome outcome;
    const ux_filter_params params;
    const size_t available = pool.Available();
    const UxEventPoolScope scope(pool);
    UxEvent* note = new (std::nothrow) UxNoteOn(input.start, input.duration, static_cast<uchar>(input.pitch),
                                                static_cast<uchar>(input.velocity));
    if (!note)
        return outcome;
    CallMark call(slot, index, "HandleEvent", what);
    UxEvent* head = nullptr;
    try {
        head = filter.HandleEvent(note, &params);
    } catch (const std::exception& error) {
        outcome.threw = true;
        outcome.what = std::string("\"") + error.what() + "\"";
        return outcome;  // who owns the note now is unknown: it stays
    } catch (...) {
        outcome.threw = true;
        outcome.what = "an exception that is no std::exception";
        return outcome;
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
