// The suite's filter of every event kind: it echoes each note a fifth up behind
// its end with the modulation wheel set to the note's velocity, halves every
// controller's value and every pitch bend, and moves every program one up. Two in
// a row change each event twice, so a pipeline shows whether each stage saw it.
#include <AddOnKit.h>

class RetouchFilter;

class RetouchFilterAddOn final : public KitFilterAddOn<RetouchFilterAddOn, RetouchFilter> {
public:
    using KitFilterAddOn::KitFilterAddOn;
    static constexpr const char* kName = "Retouch";
    static constexpr const char* kShortDescription = "Echoes notes, halves controllers and bends";
};

class RetouchFilter final : public KitFilter<RetouchFilterAddOn, RetouchFilter> {
public:
    using KitFilter::KitFilter;

    static constexpr uchar kFifth = 7;
    static constexpr uint8 kModulationWheel = 1;
    static constexpr uint8 kPrograms = 128;

    static void BuildChain(UxNoteOn* note)
    {
        UxTime start = 0;
        if (note->Note() > 127 - kFifth || !NextStartTime(note, &start))
            return;
        UxNoteOn* echo = CopyNote(note);
        if (!echo)
            return;
        echo->SetNote(static_cast<uchar>(note->Note() + kFifth));
        echo->SetStartTime(start);
        note->AppendEvent(echo);
        if (UxEvent* wheel =
                new (std::nothrow) UxControlChange(start, kModulationWheel, note->Velocity() & 127, note->Channel()))
            echo->AppendEvent(wheel);
    }

    static UxEvent* HandleOtherEvent(UxEvent* event)
    {
        UxEvent* changed = nullptr;
        if (const auto* control = dynamic_cast<const UxControlChange*>(event))
            changed = new (std::nothrow)
                UxControlChange(event->StartTime(), control->Controller(), control->Value() / 2, event->Channel());
        else if (const auto* bend = dynamic_cast<const UxPitchBend*>(event))
            changed = new (std::nothrow)
                UxPitchBend(event->StartTime(), static_cast<int16>(bend->Bend() / 2), event->Channel());
        else if (const auto* program = dynamic_cast<const UxProgramChange*>(event))
            changed = new (std::nothrow)
                UxProgramChange(event->StartTime(), (program->Program() + 1) % kPrograms, event->Channel());
        if (!changed)
            return event;
        event->Delete();
        return changed;
    }
};

UxFilterAddOn* MakeFilterAddOn(const void* cookie)
{
    return new RetouchFilterAddOn(cookie);
}
