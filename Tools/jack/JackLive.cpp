#include "JackLive.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <jack/midiport.h>
#include <jack/transport.h>

namespace {

constexpr const char* kInputPort = "midi_in";
constexpr const char* kOutputPort = "midi_out";

// JACK's own words while opening a client (which socket it could not reach) say
// less than the one line the caller makes of the failure.
void Silent(const char*)
{
}

}  // namespace

std::string DefaultJackServer()
{
    const char* name = std::getenv("JACK_DEFAULT_SERVER");
    return name && *name ? name : "default";
}

JackLive::JackLive(const std::string& name, std::unique_ptr<LiveFilter> live) : mLive(std::move(live))
{
    jack_set_error_function(Silent);
    jack_set_info_function(Silent);
    jack_status_t status{};
    mClient = jack_client_open(name.c_str(), JackNoStartServer, &status);
    jack_set_error_function(nullptr);
    jack_set_info_function(nullptr);
    if (!mClient) {
        if (status & JackServerFailed)
            throw JackError(JackError::kNoServer, "no JACK server \"" + DefaultJackServer() + "\" is running");
        throw JackError(JackError::kFailed,
                        "the JACK server \"" + DefaultJackServer() + "\" refused a client named \"" + name + "\"");
    }
    mInput = jack_port_register(mClient, kInputPort, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
    mOutput = jack_port_register(mClient, kOutputPort, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
    if (!mInput || !mOutput) {
        jack_client_close(mClient);
        throw JackError(JackError::kFailed,
                        "the JACK server \"" + DefaultJackServer() + "\" refused the ports midi_in and midi_out");
    }
    jack_on_shutdown(mClient, OnShutdown, this);
}

JackLive::~JackLive()
{
    if (mActive)
        jack_deactivate(mClient);
    jack_client_close(mClient);
}

std::string JackLive::InputName() const
{
    return jack_port_name(mInput);
}

std::string JackLive::OutputName() const
{
    return jack_port_name(mOutput);
}

void JackLive::Activate(JackProcessCallback process)
{
    if (jack_set_process_callback(mClient, process, this) != 0 || jack_activate(mClient) != 0)
        throw JackError(JackError::kFailed,
                        "the JACK server \"" + DefaultJackServer() + "\" would not start the client's cycles");
    mActive = true;
}

void JackLive::ConnectInput(const std::string& port)
{
    Connect(port, InputName(), port, JackPortIsOutput);
}

void JackLive::ConnectOutput(const std::string& port)
{
    Connect(OutputName(), port, port, JackPortIsInput);
}

void JackLive::Connect(const std::string& from, const std::string& to, const std::string& other,
                       unsigned long otherFlags)
{
    const jack_port_t* port = jack_port_by_name(mClient, other.c_str());
    const bool fits =
        port && (jack_port_flags(port) & otherFlags) && std::strcmp(jack_port_type(port), JACK_DEFAULT_MIDI_TYPE) == 0;
    const char* kind = otherFlags == JackPortIsOutput ? "output" : "input";
    if (!fits)
        throw JackError(JackError::kNoSuchPort,
                        "\"" + other + "\": no MIDI " + kind + " port of that name; the MIDI " + kind
                            + " ports are: " + OtherPorts(otherFlags));
    const int result = jack_connect(mClient, from.c_str(), to.c_str());
    if (result != 0 && result != EEXIST)
        throw JackError(JackError::kFailed, "cannot connect " + from + " to " + to);
}

std::string JackLive::OtherPorts(unsigned long flags) const
{
    const char** ports = jack_get_ports(mClient, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    std::string list;
    const std::string own = std::string(jack_get_client_name(mClient)) + ":";
    for (const char** port = ports; port && *port; ++port)
        if (std::strncmp(*port, own.c_str(), own.size()) != 0)
            list += (list.empty() ? "" : ", ") + std::string(*port);
    jack_free(ports);
    return list.empty() ? "none" : list;
}

void JackLive::End()
{
    int playing = kPlaying;
    mState.compare_exchange_strong(playing, kEnding, std::memory_order_acq_rel);
}

bool JackLive::TakeFault(std::string* what)
{
    if (!mFaultPosted.load(std::memory_order_acquire))
        return false;
    *what = mFault.data();
    mFaultPosted.store(false, std::memory_order_release);
    return true;
}

void JackLive::OnShutdown(void* self)
{
    static_cast<JackLive*>(self)->mServerGone.store(true, std::memory_order_release);
}

int JackLive::Process(jack_nframes_t frames, void* self)
{
    static_cast<JackLive*>(self)->Cycle(frames);
    return 0;
}

// The usual idiom of a MIDI client: walk the input port's events in time order and
// let the live filter write the output along the way.
void JackLive::Cycle(jack_nframes_t frames)
{
    void* output = jack_port_get_buffer(mOutput, frames);
    jack_midi_clear_buffer(output);
    const int state = mState.load(std::memory_order_acquire);
    if (state == kEnded)
        return;
    mSink.Start(output);
    LiveFilter& live = *mLive;
    live.BeginCycle(frames, &mSink);
    if (state == kPlaying || state == kEnding) {
        jack_position_t position;
        const bool rolling = jack_transport_query(mClient, &position) == JackTransportRolling;
        live.TransportSpeed(0, rolling ? 1.0 : 0.0);
        void* input = jack_port_get_buffer(mInput, frames);
        const uint32_t count = jack_midi_get_event_count(input);
        for (uint32_t i = 0; i < count; ++i) {
            jack_midi_event_t event;
            if (jack_midi_event_get(&event, input, i) == 0)
                live.Input(event.time, event.buffer, static_cast<uint32_t>(event.size));
        }
    }
    live.EndCycle();
    Publish();
    if (state == kEnding) {
        live.Reset();  // the note-offs of what sounds go out first in the next cycle
        mState.store(kFlushing, std::memory_order_release);
    } else if (state == kFlushing && !mSink.Wrote()) {
        mState.store(kEnded, std::memory_order_release);
    }
}

// What the other threads may read of this cycle's faults: the live filter
// publishes its drops itself.
void JackLive::Publish()
{
    const LiveDrops& drops = mLive->Dropped();
    if (drops.chains != mPostedChains && !mFaultPosted.load(std::memory_order_acquire)) {
        const char* said = mLive->LastFault();
        size_t length = 0;
        for (; length + 1 < mFault.size() && said[length]; ++length)
            mFault[length] = said[length];
        mFault[length] = '\0';
        mPostedChains = drops.chains;
        mFaultPosted.store(true, std::memory_order_release);
    }
}

void JackLive::PortSink::Start(void* buffer)
{
    mBuffer = buffer;
    mWrote = false;
}

bool JackLive::PortSink::Write(uint32_t frame, const uint8_t* bytes, uint32_t size)
{
    if (jack_midi_event_write(mBuffer, frame, bytes, size) != 0)
        return false;
    mWrote = true;
    return true;
}
