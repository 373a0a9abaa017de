#include "TrackReader.h"

#include <algorithm>
#include <new>

#include "ChannelEvents.h"
#include "MidiBytes.h"
#include "NoteRules.h"

void TrackEventReader::Add(const SmfEvent& message)
{
    const std::vector<uint8_t>& bytes = message.bytes;
    if (bytes.size() < 2)
        return;  // no message a file holds
    const uint8_t status = bytes[0];
    const uint8_t kind = status & 0xF0;
    const uint8_t channel = status & 0x0F;
    UxEvent* event = nullptr;
    if (status >= 0xF0) {
        event = new UxMidiMessage(message.tick, bytes);
    } else if (bytes.size() < 3 && kind != kProgramChangeStatus) {
        event = new UxMidiMessage(message.tick, bytes, channel);
    } else if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOn) {
        mPending.push_back({UxChainPtr(new UxNoteOn(message.tick, 0, bytes[1], bytes[2], channel)), true});
        Sounding& sounding = mSounding[KeyLedger::KeyIndex(channel, bytes[1])];
        Pending* note = &mPending.back();  // stays where it is: the deque only grows at its ends
        (sounding.newest ? sounding.newest->nextOnKey : sounding.oldest) = note;
        sounding.newest = note;
        return;
    } else if (NoteMessageOf(bytes.data(), bytes.size()) == NoteMessage::kNoteOff) {
        Sounding& sounding = mSounding[KeyLedger::KeyIndex(channel, bytes[1])];
        if (Pending* note = sounding.oldest) {
            sounding.oldest = note->nextOnKey;
            if (!sounding.oldest)
                sounding.newest = nullptr;
            auto* noteOn = static_cast<UxNoteOn*>(note->event.get());
            noteOn->SetDuration(message.tick - noteOn->StartTime());
            noteOn->SetReleaseVelocity(ReleaseOf(bytes.data()));
            note->sounding = false;
        }
        return;
    } else if (kind == kControlChangeStatus || kind == kProgramChangeStatus || kind == kPitchBendStatus) {
        event = NewChannelEvent(message.tick, bytes.data(), bytes.size());
        if (!event)
            throw std::bad_alloc();
    } else {
        event = new UxMidiMessage(message.tick, bytes, channel);
    }
    mPending.push_back({UxChainPtr(event), false});
}

// Every note still sounding is held, behind the oldest of them.
void TrackEventReader::Finish(int64_t endTick)
{
    for (Pending& pending : mPending)
        if (pending.sounding) {
            UxEvent& note = *pending.event;
            note.SetDuration(std::max<int64_t>(endTick - note.StartTime(), 0));
            pending.sounding = false;
            pending.nextOnKey = nullptr;
            mSounding[KeyLedger::KeyIndex(note.Channel(), static_cast<const UxNoteOn&>(note).Note())] = {};
        }
}

UxChainPtr TrackEventReader::Take()
{
    if (mPending.empty() || mPending.front().sounding)
        return nullptr;
    UxChainPtr event = std::move(mPending.front().event);
    mPending.pop_front();
    return event;
}
