// A small LV2 host for tests and benchmarks: loads a plug-in of the bundles that
// LV2_PATH names through lilv, feeds it MIDI and transport events cycle by cycle
// and collects what it writes.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "LiveStream.h"

class Lv2TestHost {
public:
    static constexpr uint32_t kInputCapacity = 1 << 16;

    // The host offers a log, which the test reads, urid:map unless told not to, and
    // a worker when told to, whose work runs when the test calls RunWork.
    explicit Lv2TestHost(const std::string& uri, uint32_t outputCapacity = 1 << 16, bool offerMap = true,
                         bool offerWorker = false)
        : mWorld(lilv_world_new()),
          mOutputCapacity(outputCapacity)
    {
        lilv_world_load_all(mWorld);
        LilvNode* node = lilv_new_uri(mWorld, uri.c_str());
        const LilvPlugin* plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(mWorld), node);
        lilv_node_free(node);
        if (!plugin)
            throw std::runtime_error(uri + ": no such plug-in in LV2_PATH");
        mMapFeature = {LV2_URID__map, &mMap};
        mLogFeature = {LV2_LOG__log, &mLog};
        mWorkerFeature = {LV2_WORKER__schedule, &mWorker};
        std::vector<const LV2_Feature*> features = {&mLogFeature};
        if (offerMap)
            features.push_back(&mMapFeature);
        if (offerWorker)
            features.push_back(&mWorkerFeature);
        features.push_back(nullptr);
        mInstance = lilv_plugin_instantiate(plugin, 48000, features.data());
        if (!mInstance) {
            lilv_world_free(mWorld);
            throw std::runtime_error(
                uri + ": the plug-in could not be made: " + (mLogLines.empty() ? "" : mLogLines.back()));
        }
        mOutput.resize((outputCapacity + sizeof(uint64_t) - 1) / sizeof(uint64_t) + 1);
        Prepare(nullptr, 0, 0);
        lilv_instance_connect_port(mInstance, 1, mOutput.data());
        lilv_instance_activate(mInstance);
    }
    ~Lv2TestHost()
    {
        lilv_instance_deactivate(mInstance);
        lilv_instance_free(mInstance);
        lilv_world_free(mWorld);
    }
    Lv2TestHost(const Lv2TestHost&) = delete;
    Lv2TestHost& operator=(const Lv2TestHost&) = delete;

    void Activate() { lilv_instance_activate(mInstance); }
    void Deactivate() { lilv_instance_deactivate(mInstance); }

    // What the plug-in wrote to the host's log, a line each.
    const std::vector<std::string>& LogLines() const { return mLogLines; }

    // Fills the input port with `events` (frames from the stream's start) and makes
    // the output port empty, ready for Run().
    void Prepare(const LiveEvent* events, size_t count, int64_t cycleStart)
    {
        Sequence(events, count, cycleStart, &mInput);
        lilv_instance_connect_port(mInstance, 0, mInput.data());
        ResetOutput();
    }

    // An input sequence of `events` in `buffer`, to connect with ConnectInput.
    void Sequence(const LiveEvent* events, size_t count, int64_t cycleStart, std::vector<uint64_t>* buffer)
    {
        buffer->resize(kInputCapacity / sizeof(uint64_t));
        auto* sequence = reinterpret_cast<LV2_Atom_Sequence*>(buffer->data());
        sequence->atom.type = Urid(LV2_ATOM__Sequence);
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
        sequence->body.unit = 0;
        sequence->body.pad = 0;
        for (size_t i = 0; i < count; ++i) {
            auto* event = lv2_atom_sequence_end(&sequence->body, sequence->atom.size);
            event->time.frames = events[i].frame - cycleStart;
            if (events[i].bytes.empty()) {
                // time:Position with time:speed as a float.
                auto* object = reinterpret_cast<LV2_Atom_Object*>(&event->body);
                object->atom.type = Urid(LV2_ATOM__Object);
                object->atom.size = sizeof(LV2_Atom_Object_Body) + sizeof(LV2_Atom_Property_Body) + sizeof(float);
                object->body.id = 0;
                object->body.otype = Urid(LV2_TIME__Position);
                auto* property = reinterpret_cast<LV2_Atom_Property_Body*>(object + 1);
                property->key = Urid(LV2_TIME__speed);
                property->context = 0;
                property->value.type = Urid(LV2_ATOM__Float);
                property->value.size = sizeof(float);
                std::memcpy(property + 1, &events[i].speed, sizeof(float));
            } else {
                event->body.type = Urid(LV2_MIDI__MidiEvent);
                event->body.size = static_cast<uint32_t>(events[i].bytes.size());
                std::memcpy(event + 1, events[i].bytes.data(), events[i].bytes.size());
            }
            sequence->atom.size += lv2_atom_pad_size(sizeof(LV2_Atom_Event) + event->body.size);
        }
    }

    void ConnectInput(const std::vector<uint64_t>& buffer)
    {
        lilv_instance_connect_port(mInstance, 0, const_cast<uint64_t*>(buffer.data()));
    }

    // The output port's size set to its capacity, as a host does before each cycle.
    void ResetOutput() { reinterpret_cast<LV2_Atom*>(mOutput.data())->size = mOutputCapacity; }

    void Run(uint32_t frames) { lilv_instance_run(mInstance, frames); }

    // A control port set to `value` from now on.
    void SetControl(uint32_t port, float value)
    {
        mControls.at(port) = value;
        lilv_instance_connect_port(mInstance, port, &mControls[port]);
    }

    // Does the work run() scheduled, as a host's worker thread would; the jobs done.
    int RunWork()
    {
        const auto* worker = static_cast<const LV2_Worker_Interface*>(
            lilv_instance_get_extension_data(mInstance, LV2_WORKER__interface));
        const int jobs = mScheduledWork;
        for (; mScheduledWork > 0; --mScheduledWork)
            worker->work(lilv_instance_get_handle(mInstance), nullptr, nullptr, 0, nullptr);
        return jobs;
    }

    // Appends the last cycle's MIDI output, its frames counted from the stream's start.
    void Collect(int64_t cycleStart, std::vector<LiveEvent>* out) const
    {
        const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(mOutput.data());
        LV2_ATOM_SEQUENCE_FOREACH(sequence, event)
        {
            const auto* bytes = reinterpret_cast<const uint8_t*>(event + 1);
            out->push_back({cycleStart + event->time.frames, std::vector<uint8_t>(bytes, bytes + event->body.size), 0});
        }
    }

    // Plays a whole stream (PlayStream) in cycles whose sizes `nextBlock` gives.
    std::vector<LiveEvent> Play(const std::vector<LiveEvent>& stream, int64_t totalFrames,
                                const std::function<uint32_t()>& nextBlock,
                                const std::function<void(uint32_t)>& run = nullptr)
    {
        return PlayStream<LiveEvent>(*this, stream, totalFrames, nextBlock, run);
    }

    LV2_URID Urid(const char* uri)
    {
        for (size_t i = 0; i < mUris.size(); ++i)
            if (mUris[i] == uri)
                return static_cast<LV2_URID>(i + 1);
        mUris.emplace_back(uri);
        return static_cast<LV2_URID>(mUris.size());
    }

private:
    static LV2_Worker_Status ScheduleWork(LV2_Worker_Schedule_Handle handle, uint32_t, const void*)
    {
        ++static_cast<Lv2TestHost*>(handle)->mScheduledWork;
        return LV2_WORKER_SUCCESS;
    }
    static LV2_URID MapUri(LV2_URID_Map_Handle handle, const char* uri)
    {
        return static_cast<Lv2TestHost*>(handle)->Urid(uri);
    }
    static int LogPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...)
    {
        va_list args;
        va_start(args, format);
        const int written = LogVPrintf(handle, type, format, args);
        va_end(args);
        return written;
    }
    static int LogVPrintf(LV2_Log_Handle handle, LV2_URID, const char* format, va_list args)
    {
        char line[512];
        const int written = std::vsnprintf(line, sizeof line, format, args);
        static_cast<Lv2TestHost*>(handle)->mLogLines.emplace_back(line);
        return written;
    }

    LilvWorld* mWorld;
    LilvInstance* mInstance = nullptr;
    std::vector<std::string> mUris;
    LV2_URID_Map mMap{this, &MapUri};
    LV2_Feature mMapFeature{};
    std::vector<std::string> mLogLines;
    LV2_Log_Log mLog{this, &LogPrintf, &LogVPrintf};
    LV2_Feature mLogFeature{};
    LV2_Worker_Schedule mWorker{this, &ScheduleWork};
    LV2_Feature mWorkerFeature{};
    int mScheduledWork = 0;
    std::array<float, 32> mControls{};
    uint32_t mOutputCapacity;
    std::vector<uint64_t> mInput;  // 64-bit words: atoms are 8-byte aligned
    std::vector<uint64_t> mOutput;
};
