// A small CLAP host for tests and benchmarks: loads a CLAP file, makes one of its
// plug-ins, feeds it CLAP events cycle by cycle and collects the MIDI it writes.
#pragma once

#include <dlfcn.h>

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/note-ports.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <MidiBytes.h>

#include "LiveStream.h"

// One input event at its frame counted from the start of the stream: whichever of
// the CLAP events below its header's type says.
struct ClapIn {
    int64_t frame = 0;
    union {
        clap_event_header_t header;
        clap_event_note_t note;
        clap_event_midi_t midi;
        clap_event_midi_sysex_t sysex;
        clap_event_transport_t transport;
    };
    ClapIn() : transport{} {}
};

inline ClapIn ClapHeader(int64_t frame, uint16_t type, uint32_t size)
{
    ClapIn in;
    in.frame = frame;
    in.header = {size, 0, CLAP_CORE_EVENT_SPACE_ID, type, 0};
    return in;
}

// A CLAP note event; key and channel -1 are wildcards of a choke.
inline ClapIn ClapNote(int64_t frame, uint16_t type, int16_t channel, int16_t key, double velocity)
{
    ClapIn in = ClapHeader(frame, type, sizeof(clap_event_note_t));
    in.note.note_id = -1;
    in.note.channel = channel;
    in.note.key = key;
    in.note.velocity = velocity;
    return in;
}

inline ClapIn ClapMidi(int64_t frame, uint8_t status, uint8_t data1 = 0, uint8_t data2 = 0)
{
    ClapIn in = ClapHeader(frame, CLAP_EVENT_MIDI, sizeof(clap_event_midi_t));
    in.midi.data[0] = status;
    in.midi.data[1] = data1;
    in.midi.data[2] = data2;
    return in;
}

inline ClapIn ClapTransport(int64_t frame, bool playing)
{
    ClapIn in = ClapHeader(frame, CLAP_EVENT_TRANSPORT, sizeof(clap_event_transport_t));
    in.transport.flags = playing ? CLAP_TRANSPORT_IS_PLAYING : 0;
    return in;
}

// One output MIDI message at its frame counted from the start of the stream.
struct ClapOut {
    int64_t frame;
    std::vector<uint8_t> bytes;
    bool operator==(const ClapOut& o) const { return frame == o.frame && bytes == o.bytes; }
};

// The file's entry, initialised while the object lives.
class ClapFile {
public:
    explicit ClapFile(const std::string& path) : mHandle(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL))
    {
        if (!mHandle)
            throw std::runtime_error(path + ": " + dlerror());
        mEntry = static_cast<const clap_plugin_entry_t*>(dlsym(mHandle, "clap_entry"));
        if (!mEntry || !mEntry->init(path.c_str())) {
            dlclose(mHandle);
            throw std::runtime_error(path + ": no clap_entry, or its init failed");
        }
        mFactory = static_cast<const clap_plugin_factory_t*>(mEntry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    }
    ~ClapFile()
    {
        mEntry->deinit();
        dlclose(mHandle);
    }
    ClapFile(const ClapFile&) = delete;
    ClapFile& operator=(const ClapFile&) = delete;

    const clap_plugin_factory_t* Factory() const { return mFactory; }

private:
    void* mHandle;
    const clap_plugin_entry_t* mEntry = nullptr;
    const clap_plugin_factory_t* mFactory = nullptr;
};

class ClapTestHost {
public:
    static constexpr uint32_t kRoomyOutput = 1 << 16;

    // Makes plug-in `id` of the file, offering the host's log unless told not to,
    // and activates it.
    ClapTestHost(const std::string& file, const std::string& id, uint32_t outputCapacity = kRoomyOutput,
                 bool offerLog = true)
        : mFile(file),
          mOfferLog(offerLog),
          mOutputCapacity(outputCapacity)
    {
        mPlugin = mFile.Factory()->create_plugin(mFile.Factory(), &mHost, id.c_str());
        if (!mPlugin)
            throw std::runtime_error(id + ": no such plug-in in " + file);
        if (!mPlugin->init(mPlugin)) {
            mPlugin->destroy(mPlugin);
            throw std::runtime_error(id + ": init failed: " + (mLogLines.empty() ? "" : mLogLines.back()));
        }
        mIn.reserve(1 << 16);
        mInPointers.reserve(1 << 16);
        mOut.reserve(outputCapacity);
        Activate();
    }
    ~ClapTestHost()
    {
        if (mActive)
            Deactivate();
        mPlugin->destroy(mPlugin);
    }
    ClapTestHost(const ClapTestHost&) = delete;
    ClapTestHost& operator=(const ClapTestHost&) = delete;

    const clap_plugin_t* Plugin() const { return mPlugin; }
    void Activate() { mActive = mPlugin->activate(mPlugin, 48000, 1, 4096) && mPlugin->start_processing(mPlugin); }
    void Deactivate()
    {
        mPlugin->stop_processing(mPlugin);
        mPlugin->deactivate(mPlugin);
        mActive = false;
    }
    // What the plug-in wrote to the host's log, a line each.
    const std::vector<std::string>& LogLines() const { return mLogLines; }

    // The process's transport: none (a free-running host), rolling or stopped.
    enum class Transport { kNone, kRolling, kStopped };
    void SetTransport(Transport transport) { mTransport = transport; }

    // Fills the input list with `events` (frames from the stream's start) and
    // empties the output list, ready for Run().
    void Prepare(const ClapIn* events, size_t count, int64_t cycleStart)
    {
        mIn.assign(events, events + count);
        mInPointers.clear();
        for (ClapIn& in : mIn) {
            in.header.time = static_cast<uint32_t>(in.frame - cycleStart);
            mInPointers.push_back(&in.header);
        }
        mOut.clear();
        mSysex.clear();
    }

    void Run(uint32_t frames)
    {
        clap_event_transport_t transport{};
        transport.header = {sizeof transport, 0, CLAP_CORE_EVENT_SPACE_ID, CLAP_EVENT_TRANSPORT, 0};
        transport.flags = mTransport == Transport::kRolling ? CLAP_TRANSPORT_IS_PLAYING : 0;
        const clap_input_events_t in{this, &InSize, &InGet};
        const clap_output_events_t out{this, &TryPush};
        clap_process_t process{};
        process.steady_time = -1;
        process.frames_count = frames;
        process.transport = mTransport == Transport::kNone ? nullptr : &transport;
        process.in_events = &in;
        process.out_events = &out;
        mPlugin->process(mPlugin, &process);
    }

    // Appends the last cycle's MIDI output, its frames counted from the stream's start.
    void Collect(int64_t cycleStart, std::vector<ClapOut>* out)
    {
        size_t sysex = 0;
        for (const clap_event_midi_t& event : mOut) {
            const uint8_t status = event.data[0];
            if (event.header.type == CLAP_EVENT_MIDI_SYSEX) {
                out->push_back({cycleStart + event.header.time, mSysex[sysex++]});
                continue;
            }
            const size_t size = IsChannelStatus(status) ? 1 + ChannelDataSize(status) : 1;
            out->push_back({cycleStart + event.header.time, std::vector<uint8_t>(event.data, event.data + size)});
        }
    }

    // Plays a whole stream (PlayStream) in cycles of `block` frames.
    std::vector<ClapOut> Play(const std::vector<ClapIn>& stream, int64_t totalFrames, uint32_t block = 64,
                              const std::function<void(uint32_t)>& run = nullptr)
    {
        const auto everyBlock = [block] { return block; };
        return PlayStream<ClapOut>(*this, stream, totalFrames, everyBlock, run);
    }

private:
    static ClapTestHost& Of(const void* ctx) { return *static_cast<ClapTestHost*>(const_cast<void*>(ctx)); }
    static uint32_t InSize(const clap_input_events_t* list)
    {
        return static_cast<uint32_t>(Of(list->ctx).mInPointers.size());
    }
    static const clap_event_header_t* InGet(const clap_input_events_t* list, uint32_t index)
    {
        return Of(list->ctx).mInPointers[index];
    }
    // Keeps MIDI events in place; a system exclusive message's bytes are copied
    // after the cycle (Collect) and its event kept as a marker.
    static bool TryPush(const clap_output_events_t* list, const clap_event_header_t* event)
    {
        ClapTestHost& host = Of(list->ctx);
        if (host.mOut.size() == host.mOutputCapacity)
            return false;
        clap_event_midi_t midi{};
        if (event->type == CLAP_EVENT_MIDI) {
            std::memcpy(&midi, event, sizeof midi);
        } else if (event->type == CLAP_EVENT_MIDI_SYSEX) {
            const auto* sysex = reinterpret_cast<const clap_event_midi_sysex_t*>(event);
            midi.header = sysex->header;
            host.mSysex.emplace_back(sysex->buffer, sysex->buffer + sysex->size);
        } else {
            return false;
        }
        host.mOut.push_back(midi);
        return true;
    }
    struct HostLog {
        void (*log)(const clap_host_t* host, int32_t severity, const char* message);
    };
    static void Log(const clap_host_t* host, int32_t, const char* message)
    {
        Of(host->host_data).mLogLines.emplace_back(message);
    }
    static const void* Extension(const clap_host_t* host, const char* id)
    {
        static const HostLog kLog{&Log};
        return Of(host->host_data).mOfferLog && std::strcmp(id, "clap.log") == 0 ? &kLog : nullptr;
    }
    static void Request(const clap_host_t*) {}

    ClapFile mFile;
    bool mOfferLog;
    uint32_t mOutputCapacity;
    clap_host_t mHost{CLAP_VERSION_INIT, this, "ux test host", "", "", "1.0", &Extension, &Request, &Request, &Request};
    const clap_plugin_t* mPlugin = nullptr;
    bool mActive = false;
    Transport mTransport = Transport::kNone;
    std::vector<std::string> mLogLines;
    std::vector<ClapIn> mIn;
    std::vector<const clap_event_header_t*> mInPointers;
    std::vector<clap_event_midi_t> mOut;  // system exclusive ones hold only their header
    std::vector<std::vector<uint8_t>> mSysex;
};
