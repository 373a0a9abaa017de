// Where a live cycle's MIDI goes: each live format's adapter writes it into its
// format's output events.
#pragma once

#include <cstdint>

// Write answers false when the message does not fit in what is left of this
// cycle's output.
class MidiSink {
public:
    virtual bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) = 0;

protected:
    ~MidiSink() = default;
};
