// The live adapter's event handling on any bytes and block sizes, with Dissolve as
// its filter and small capacities, so that full queues and full outputs come soon.
//
// The input is a script. Each step starts with a byte `op`:
//   op % 8 == 0: a new cycle of (next byte + 1) frames whose output takes (next byte
//                % 16) messages;
//   op % 8 == 1: the transport's speed at frame (next byte): rolling when op & 8;
//   otherwise:   a MIDI message at frame (next byte) of op % 8 - 1 bytes (1 to 6),
//                which follow; note messages are steered to a few keys.
// Whatever the script, the output never strikes a key that sounds, and once every
// channel hears All Notes Off and the held-over output has gone out, nothing sounds.
#include <array>
#include <vector>

#include <Dissolve.h>
#include <LiveFilter.h>

#include "FuzzCheck.h"

namespace {

constexpr int kKeys = KeyLedger::kKeys;

// Takes a given number of messages a cycle and checks the one-note-per-key rule.
class CheckingSink : public MidiSink {
public:
    void StartCycle(int room) { mRoom = room; }
    bool Write(uint32_t, const uint8_t* bytes, uint32_t size) override
    {
        if (mRoom == 0)
            return false;
        --mRoom;
        const uint8_t kind = bytes[0] & 0xF0;
        if (size != 3 || bytes[1] > 127 || bytes[2] > 127 || (kind != 0x80 && kind != 0x90))
            return true;
        const int key = (bytes[0] & 0x0F) * 128 + bytes[1];
        if (kind == 0x90 && bytes[2] > 0) {
            FUZZ_CHECK(!mSounding[key]);
            mSounding[key] = true;
        } else {
            mSounding[key] = false;
        }
        return true;
    }
    bool AnySounding() const
    {
        for (bool sounding : mSounding)
            if (sounding)
                return true;
        return false;
    }

private:
    int mRoom = 0;
    std::array<bool, kKeys> mSounding{};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static DissolveFilterAddOn* addOn = [] {
        auto* made = new DissolveFilterAddOn(nullptr);
        made->AddReference();
        return made;
    }();
    static UxFilterHolderI holder;
    LiveCapacity capacity;
    capacity.queuedNotes = 64;
    capacity.heldBytes = 128;
    capacity.eventPool = 16;
    LiveFilter live(std::unique_ptr<UxFilterI>(addOn->NewInstance(&holder, nullptr)), capacity);
    CheckingSink sink;

    size_t at = 0;
    const auto next = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
    uint32_t frames = 64;
    sink.StartCycle(16);
    live.BeginCycle(frames, &sink);
    while (at < size) {
        const uint8_t op = next();
        if (op % 8 == 0) {
            live.EndCycle();
            frames = next() + 1u;
            sink.StartCycle(next() % 16);
            live.BeginCycle(frames, &sink);
        } else if (op % 8 == 1) {
            live.TransportSpeed(next(), (op & 8) ? 1.0 : 0.0);
        } else {
            const int64_t frame = next();
            uint8_t message[6];
            const uint32_t length = op % 8 - 1u;
            for (uint32_t i = 0; i < length; ++i)
                message[i] = next();
            if (length == 3 && (message[0] & 0xE0) == 0x80)
                message[1] = static_cast<uint8_t>(58 + message[1] % 4);
            live.Input(frame, message, length);
        }
    }
    live.EndCycle();
    // Panic on every channel; long enough cycles with room for everything follow.
    sink.StartCycle(1 << 20);
    live.BeginCycle(1, &sink);
    for (uint8_t channel = 0; channel < 16; ++channel) {
        const uint8_t allNotesOff[] = {static_cast<uint8_t>(0xB0 | channel), 123, 0};
        live.Input(0, allNotesOff, sizeof allNotesOff);
    }
    live.EndCycle();
    sink.StartCycle(1 << 20);
    live.BeginCycle(1, &sink);
    live.EndCycle();
    FUZZ_CHECK(!sink.AnySounding());
    return 0;
}
