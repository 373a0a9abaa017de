// A live filter as a JACK client: one MIDI input port, one MIDI output port, and a
// process callback that is the live filter's cycle.
//
// The callback reads the input port's events in order, hands them and the
// transport's state to the LiveFilter, and the filter writes into the output
// port. It allocates nothing, frees nothing, takes no lock and calls the system
// for nothing: what another thread needs to know (drops, a filter's fault, that
// the last notes went out) passes through atomics and a one-slot mailbox.
//
// Ending: End() asks the callback to end every note it started. It plays the cycle
// it is in, forgets everything (LiveFilter::Reset) and writes the note-offs in the
// next cycle, or the next few when they do not fit in one; Ended() then answers
// true, and the callback passes nothing more.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

#include <jack/jack.h>

#include "LiveFilter.h"

class JackError : public std::runtime_error {
public:
    enum Kind { kNoServer, kNoSuchPort, kFailed };
    JackError(Kind kind, const std::string& what) : std::runtime_error(what), mKind(kind) {}
    Kind WhatKind() const { return mKind; }

private:
    Kind mKind;
};

// The server a client opens without naming one: JACK_DEFAULT_SERVER, or "default".
std::string DefaultJackServer();

class JackLive {
public:
    // Opens the client `name` on the default server (never starting one) with the
    // ports midi_in and midi_out. Throws JackError: kNoServer when no server runs.
    JackLive(const std::string& name, std::unique_ptr<LiveFilter> live);
    // Deactivates and closes the client.
    ~JackLive();
    JackLive(const JackLive&) = delete;
    JackLive& operator=(const JackLive&) = delete;

    // "uxhost:midi_in": the ports' full names, with the name the server gave.
    std::string InputName() const;
    std::string OutputName() const;

    // Starts the cycles. `process` is called in the server's cycle in place of
    // Process, which it must call with the same arguments (a test counts its calls).
    void Activate(JackProcessCallback process = Process);

    // Connects another client's MIDI output `port` to midi_in, or midi_out to
    // another client's MIDI input `port`. Throws JackError: kNoSuchPort, naming
    // the ports it could have been.
    void ConnectInput(const std::string& port);
    void ConnectOutput(const std::string& port);

    void End();
    bool Ended() const { return mState.load(std::memory_order_acquire) == kEnded; }
    // True once the server shut down or dropped the client.
    bool ServerGone() const { return mServerGone.load(std::memory_order_acquire); }

    // What the live filter dropped so far, as of its last cycle.
    LiveDrops Dropped() const { return mLive->DroppedSoFar(); }
    // What a filter's exception said, once for each new one the callback posted;
    // false when none came since the last call.
    bool TakeFault(std::string* what);

    // The cycle: `self` is the JackLive.
    static int Process(jack_nframes_t frames, void* self);

private:
    enum State { kPlaying, kEnding, kFlushing, kEnded };

    // Writes a cycle's MIDI into the output port's buffer, as long as it fits.
    class PortSink : public MidiSink {
    public:
        void Start(void* buffer);
        bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) override;
        bool Wrote() const { return mWrote; }

    private:
        void* mBuffer = nullptr;
        bool mWrote = false;
    };

    void Cycle(jack_nframes_t frames);
    void Publish();
    // The MIDI ports of other clients with `flags`, for a message: "a, b" or "none".
    std::string OtherPorts(unsigned long flags) const;
    void Connect(const std::string& from, const std::string& to, const std::string& other, unsigned long otherFlags);
    static void OnShutdown(void* self);

    std::unique_ptr<LiveFilter> mLive;
    jack_client_t* mClient = nullptr;
    jack_port_t* mInput = nullptr;
    jack_port_t* mOutput = nullptr;
    PortSink mSink;
    bool mActive = false;

    std::atomic<int> mState{kPlaying};
    std::atomic<bool> mServerGone{false};
    // The mailbox: the callback fills mFault and sets mFaultPosted; the reader
    // copies it and clears the flag. Owned by the callback while the flag is clear.
    uint64_t mPostedChains = 0;
    std::array<char, 160> mFault{};
    std::atomic<bool> mFaultPosted{false};
};
