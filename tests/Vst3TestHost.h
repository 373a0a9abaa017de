// A small VST3 host for tests and benchmarks: loads a bundle's module, makes its
// processor and edit controller through the factory, and plays raw MIDI to it cycle
// by cycle the way a sequencer does: notes as note events (velocity v / 127), the
// messages VST3 carries as parameters through the controller's IMidiMapping, and the
// transport in the process context. What the plug-in writes comes back as raw MIDI,
// velocities truncated from v * 127 as hosts do.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/factory.h>

#include "LiveStream.h"

// An input event without bytes sets the transport rolling (speed != 0) or stopped.
using Vst3Event = LiveEvent;

// The host's side of the interfaces it hands the plug-in: each object begins with
// its table, so that the object is what the plug-in holds.
class HostEventList {
public:
    explicit HostEventList(size_t capacity) { mEvents.reserve(capacity); }
    v3_event_list** Face() { return reinterpret_cast<v3_event_list**>(this); }
    void Clear() { mEvents.clear(); }
    bool Add(const v3_event& event)
    {
        if (mEvents.size() == mEvents.capacity())
            return false;
        mEvents.push_back(event);
        return true;
    }
    const std::vector<v3_event>& Events() const { return mEvents; }

private:
    static HostEventList& Of(void* self) { return *static_cast<HostEventList*>(self); }
    static v3_result V3_API Query(void* self, const v3_tuid, void** object)
    {
        *object = self;
        return V3_OK;
    }
    static uint32_t V3_API Ref(void*) { return 1; }
    static uint32_t V3_API Count(void* self) { return static_cast<uint32_t>(Of(self).mEvents.size()); }
    static v3_result V3_API Get(void* self, int32_t index, v3_event* event)
    {
        if (index < 0 || static_cast<size_t>(index) >= Of(self).mEvents.size())
            return V3_INVALID_ARG;
        *event = Of(self).mEvents[static_cast<size_t>(index)];
        return V3_OK;
    }
    static v3_result V3_API AddEvent(void* self, v3_event* event) { return Of(self).Add(*event) ? V3_OK : V3_FALSE; }
    static constexpr v3_event_list_cpp kTable = {{Query, Ref, Ref}, {Count, Get, AddEvent}};

    const v3_event_list_cpp* mTable = &kTable;
    std::vector<v3_event> mEvents;
};

// One point a queue: each change the host hands over is a queue of its own.
class HostParameterChanges {
public:
    explicit HostParameterChanges(size_t capacity) { mQueues.reserve(capacity); }
    v3_param_changes** Face() { return reinterpret_cast<v3_param_changes**>(this); }
    void Clear() { mQueues.clear(); }
    void Add(v3_param_id id, int32_t frame, double value) { mQueues.push_back({&kQueueTable, id, frame, value}); }

private:
    struct Queue {
        const v3_param_value_queue_cpp* table;
        v3_param_id id;
        int32_t frame;
        double value;
    };
    static v3_result V3_API Query(void* self, const v3_tuid, void** object)
    {
        *object = self;
        return V3_OK;
    }
    static uint32_t V3_API Ref(void*) { return 1; }
    static int32_t V3_API Count(void* self)
    {
        return static_cast<int32_t>(static_cast<HostParameterChanges*>(self)->mQueues.size());
    }
    static v3_param_value_queue** V3_API Data(void* self, int32_t index)
    {
        auto& queues = static_cast<HostParameterChanges*>(self)->mQueues;
        return reinterpret_cast<v3_param_value_queue**>(&queues.at(static_cast<size_t>(index)));
    }
    static v3_param_value_queue** V3_API AddData(void*, v3_param_id*, int32_t*) { return nullptr; }
    static v3_param_id V3_API QueueId(void* self) { return static_cast<Queue*>(self)->id; }
    static int32_t V3_API PointCount(void*) { return 1; }
    static v3_result V3_API Point(void* self, int32_t index, int32_t* frame, double* value)
    {
        if (index != 0)
            return V3_INVALID_ARG;
        *frame = static_cast<Queue*>(self)->frame;
        *value = static_cast<Queue*>(self)->value;
        return V3_OK;
    }
    static v3_result V3_API AddPoint(void*, int32_t, double, int32_t*) { return V3_FALSE; }
    static constexpr v3_param_changes_cpp kTable = {{Query, Ref, Ref}, {Count, Data, AddData}};
    static constexpr v3_param_value_queue_cpp kQueueTable = {{Query, Ref, Ref}, {QueueId, PointCount, Point, AddPoint}};

    const v3_param_changes_cpp* mTable = &kTable;
    std::vector<Queue> mQueues;
};

class Vst3TestHost {
public:
    static constexpr size_t kCapacity = 1 << 14;

    // The module of the bundle `bundle` (a path ending in <Stem>.vst3), with room for
    // `outputCapacity` output events a cycle. Throws when the module, its factory or
    // either of its classes cannot be had.
    explicit Vst3TestHost(const std::string& bundle, size_t outputCapacity = kCapacity)
        : mInput(kCapacity),
          mOutput(outputCapacity),
          mParameters(kCapacity)
    {
        try {
            Open(bundle);
        } catch (...) {
            if (mModule)
                dlclose(mModule);
            throw;
        }
    }

    void Open(const std::string& bundle)
    {
        const size_t slash = bundle.find_last_of('/') + 1;
        const std::string stem = bundle.substr(slash, bundle.size() - slash - 5);  // less .vst3
        const std::string module = bundle + "/Contents/x86_64-linux/" + stem + ".so";
        mModule = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!mModule)
            throw std::runtime_error(dlerror());
        using FactoryEntry = v3_plugin_factory** (*)();
        const auto entry = reinterpret_cast<FactoryEntry>(dlsym(mModule, "GetPluginFactory"));
        mFactory = entry ? entry() : nullptr;
        if (!mFactory)
            throw std::runtime_error(module + ": no factory");
        v3_class_info info{};
        for (int32_t i = 0; v3_cpp_obj(mFactory)->get_class_info(mFactory, i, &info) == V3_OK; ++i) {
            if (std::string(info.category) == "Audio Module Class")
                std::copy(info.class_id, info.class_id + 16, mProcessorId);
            mClasses.push_back(info);
        }
        mComponent = Make<v3_component>(mProcessorId, v3_component_iid, module + ": the processor");
        v3_cpp_obj_query_interface(mComponent, v3_audio_processor_iid, &mProcessor);
        v3_tuid controllerId{};
        v3_cpp_obj(mComponent)->get_controller_class_id(mComponent, controllerId);
        mController = Make<v3_edit_controller>(controllerId, v3_edit_controller_iid, module + ": the edit controller");
        v3_cpp_obj_query_interface(mController, v3_midi_mapping_iid, &mMapping);
        Activate();
    }

    ~Vst3TestHost()
    {
        if (mComponent) {
            v3_cpp_obj(mComponent)->set_active(mComponent, false);
            v3_cpp_obj_unref(mProcessor);
            v3_cpp_obj_terminate(mComponent);
            v3_cpp_obj_unref(mComponent);
        }
        if (mController) {
            if (mMapping)
                v3_cpp_obj_unref(mMapping);
            v3_cpp_obj_terminate(mController);
            v3_cpp_obj_unref(mController);
        }
        if (mModule)
            dlclose(mModule);
    }
    Vst3TestHost(const Vst3TestHost&) = delete;
    Vst3TestHost& operator=(const Vst3TestHost&) = delete;

    const std::vector<v3_class_info>& Classes() const { return mClasses; }
    v3_plugin_factory** Factory() const { return mFactory; }
    v3_component** Component() const { return mComponent; }
    v3_edit_controller** Controller() const { return mController; }
    v3_midi_mapping** Mapping() const { return mMapping; }

    // Off and on again, as a host does when it restarts processing.
    void Activate()
    {
        v3_cpp_obj(mComponent)->set_active(mComponent, false);
        v3_cpp_obj(mComponent)->set_active(mComponent, true);
    }

    // Queues one message or transport change at `frame` of the next cycle, as a
    // sequencer hands it over; false for what it drops.
    bool Queue(int32_t frame, const Vst3Event& event)
    {
        if (event.bytes.empty()) {
            mContext.state = event.speed != 0 ? V3_PROCESS_CTX_PLAYING : 0;
            return true;
        }
        const std::vector<uint8_t>& b = event.bytes;
        const uint8_t kind = b[0] & 0xF0;
        const int16_t channel = b[0] & 0x0F;
        v3_event note{};
        note.sample_offset = frame;
        if (b.size() == 3 && (kind == 0x80 || kind == 0x90)) {
            if (kind == 0x90 && b[2] > 0) {
                note.type = V3_EVENT_NOTE_ON;
                note.note_on = {channel, b[1], 0.f, b[2] / 127.f, 0, -1};
            } else {
                note.type = V3_EVENT_NOTE_OFF;
                note.note_off = {channel, b[1], kind == 0x80 ? b[2] / 127.f : 0.f, -1, 0.f};
            }
            return mInput.Add(note);
        }
        int16_t number = -1;
        double value = 0;
        if (b.size() == 3 && kind == 0xB0) {
            number = b[1];
            value = b[2] / 127.0;
        } else if (b.size() == 3 && kind == 0xE0) {
            number = 129;
            value = (b[1] | b[2] << 7) / 16383.0;
        } else if (b.size() == 2 && (kind == 0xC0 || kind == 0xD0)) {
            number = kind == 0xC0 ? 130 : 128;
            value = b[1] / 127.0;
        }
        v3_param_id id = 0;
        if (number < 0
            || v3_cpp_obj(mMapping)->get_midi_controller_assignment(mMapping, 0, channel, number, &id) != V3_OK)
            return false;
        mParameters.Add(id, frame, value);
        return true;
    }

    // One cycle of `frames`, with what was queued.
    void Run(uint32_t frames)
    {
        v3_process_data data{};
        data.nframes = static_cast<int32_t>(frames);
        data.input_params = mParameters.Face();
        data.input_events = mInput.Face();
        data.output_events = mOutput.Face();
        data.ctx = &mContext;
        v3_cpp_obj(mProcessor)->process(mProcessor, &data);
    }

    // Clears the queued input and the output, ready for Queue and Run.
    void StartCycle()
    {
        mInput.Clear();
        mParameters.Clear();
        mOutput.Clear();
    }

    // The last cycle's output as raw MIDI at `start` + its frame.
    void Collect(int64_t start, std::vector<Vst3Event>* out) const
    {
        for (const v3_event& event : mOutput.Events()) {
            std::vector<uint8_t> bytes = MidiOf(event);
            if (!bytes.empty())
                out->push_back({start + event.sample_offset, std::move(bytes), 0});
        }
    }

    // Plays a whole stream (frames in order) in cycles whose sizes `nextBlock` gives,
    // until `totalFrames`; returns every output event. `run` (Run by default) runs
    // each cycle.
    std::vector<Vst3Event> Play(const std::vector<Vst3Event>& stream, int64_t totalFrames,
                                const std::function<uint32_t()>& nextBlock,
                                const std::function<void(uint32_t)>& run = {})
    {
        std::vector<Vst3Event> out;
        size_t next = 0;
        for (int64_t start = 0; start < totalFrames;) {
            const uint32_t frames = nextBlock();
            StartCycle();
            for (; next < stream.size() && stream[next].frame < start + frames; ++next)
                Queue(static_cast<int32_t>(stream[next].frame - start), stream[next]);
            if (run)
                run(frames);
            else
                Run(frames);
            Collect(start, &out);
            start += frames;
        }
        return out;
    }

    // A host's reading of an output event: velocities truncated from v * 127 in double,
    // which takes v / 127 of some v one step lower.
    static std::vector<uint8_t> MidiOf(const v3_event& event)
    {
        const auto velocity = [](float v) { return static_cast<uint8_t>(v * 127.0); };
        switch (event.type) {
        case V3_EVENT_NOTE_ON:
            return {static_cast<uint8_t>(0x90 | event.note_on.channel), static_cast<uint8_t>(event.note_on.pitch),
                    velocity(event.note_on.velocity)};
        case V3_EVENT_NOTE_OFF:
            return {static_cast<uint8_t>(0x80 | event.note_off.channel), static_cast<uint8_t>(event.note_off.pitch),
                    velocity(event.note_off.velocity)};
        case V3_EVENT_POLY_PRESSURE:
            return {static_cast<uint8_t>(0xA0 | event.poly_pressure.channel),
                    static_cast<uint8_t>(event.poly_pressure.pitch), velocity(event.poly_pressure.pressure)};
        case V3_EVENT_DATA:
            return {event.data.bytes, event.data.bytes + event.data.size};
        case V3_EVENT_LEGACY_MIDI_CC_OUT: {
            const auto& cc = event.midi_cc_out;
            const auto channel = static_cast<uint8_t>(cc.channel);
            const auto value = static_cast<uint8_t>(cc.value);
            if (cc.cc_number < 128)
                return {static_cast<uint8_t>(0xB0 | channel), cc.cc_number, value};
            if (cc.cc_number == 129)
                return {static_cast<uint8_t>(0xE0 | channel), value, static_cast<uint8_t>(cc.value2)};
            if (cc.cc_number == 128 || cc.cc_number == 130)
                return {static_cast<uint8_t>((cc.cc_number == 130 ? 0xC0 : 0xD0) | channel), value};
            return {};
        }
        default:
            return {};
        }
    }

private:
    // The factory's class `id` made as the interface `iid`, and initialized.
    template <typename Face>
    Face** Make(const v3_tuid id, const v3_tuid iid, const std::string& what)
    {
        Face** object = nullptr;
        if (v3_cpp_obj(mFactory)->create_instance(mFactory, id, iid, reinterpret_cast<void**>(&object)) != V3_OK)
            throw std::runtime_error(what + " could not be made");
        v3_cpp_obj_initialize(object, nullptr);
        return object;
    }

    void* mModule = nullptr;
    v3_plugin_factory** mFactory = nullptr;
    std::vector<v3_class_info> mClasses;
    v3_tuid mProcessorId{};
    v3_component** mComponent = nullptr;
    v3_audio_processor** mProcessor = nullptr;
    v3_edit_controller** mController = nullptr;
    v3_midi_mapping** mMapping = nullptr;
    HostEventList mInput;
    HostEventList mOutput;
    HostParameterChanges mParameters;
    v3_process_context mContext{V3_PROCESS_CTX_PLAYING, 48000, 0, 0, 0, 0, 0, 0, 0, 120, 4, 4, {}, 0, {}, 0};
};
