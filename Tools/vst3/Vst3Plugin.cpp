// A filter plug-in as a VST3 plug-in: this module lies in a bundle under the
// filter's stem and plays the filter plug-in file of the same stem beside it
// (Vst3Layout.h).
//
// The factory offers two classes: the processor, one event input bus and one event
// output bus and no audio, which plays the filter live through a LiveFilter; and its
// edit controller, which hosts require. VST3 carries notes as events but controllers,
// channel pressure, pitch bend and program changes as parameter changes, mapped by
// the controller's IMidiMapping onto parameters that exist for that alone. The
// processor turns both into raw MIDI for the live filter, in frame order, and what the
// filter plays into note events and legacy MIDI CC output events on their frames.
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <travesty/audio_processor.h>
#include <travesty/component.h>
#include <travesty/edit_controller.h>
#include <travesty/factory.h>

#include "LiveFilter.h"
#include "MidiBytes.h"
#include "PluginLoader.h"
#include "Vst3Layout.h"

namespace {

// ---- MIDI as VST3 carries it ----

constexpr int kChannels = kMidiChannels;
constexpr int kMaxBend = 16383;
// Controller numbers beyond the 128 MIDI controllers, in IMidiMapping and in legacy
// MIDI CC output events.
constexpr int kChannelPressure = 128;
constexpr int kPitchBend = 129;
constexpr int kProgramChange = 130;
// One parameter a channel for each controller number up to the program change.
constexpr int kMappedPerChannel = kProgramChange + 1;
constexpr int kParameterCount = kChannels * kMappedPerChannel;

constexpr uint16_t kSysExDataType = 0;  // the type of a V3_EVENT_DATA event carrying a system exclusive message

// A normalised value as a plain one from 0 to `top`: a data byte unless told.
int PlainValue(double normalised, int top = kMaxData)
{
    return static_cast<int>(std::clamp<long>(std::lround(normalised * top), 0, top));
}

// Hosts turn a velocity back into MIDI by truncating v * 127: the middle of the step
// comes back as itself.
float NormalisedVelocity(uint8_t velocity)
{
    return std::min(1.f, (velocity + 0.5f) / kMaxData);
}

// The message that parameter `id` carries at `value`; its size, 0 for no parameter.
uint32_t MappedMessage(v3_param_id id, double value, uint8_t* bytes)
{
    if (id >= static_cast<v3_param_id>(kParameterCount))
        return 0;
    const uint8_t channel = static_cast<uint8_t>(id / kMappedPerChannel);
    const int controller = static_cast<int>(id % kMappedPerChannel);
    switch (controller) {
    case kChannelPressure:
    case kProgramChange:
        bytes[0] = (controller == kProgramChange ? kProgramChangeStatus : kChannelPressureStatus) | channel;
        bytes[1] = PlainValue(value);
        return 2;
    case kPitchBend: {
        const int bend = PlainValue(value, kMaxBend);
        bytes[0] = kPitchBendStatus | channel;
        bytes[1] = static_cast<uint8_t>(bend & 0x7F);
        bytes[2] = static_cast<uint8_t>(bend >> 7);
        return 3;
    }
    default:
        bytes[0] = kControlChangeStatus | channel;
        bytes[1] = static_cast<uint8_t>(controller);
        bytes[2] = PlainValue(value);
        return 3;
    }
}

// The raw MIDI of a host's event of up to three bytes; its size, 0 for an event that
// carries none.
uint32_t EventMessage(const v3_event& event, uint8_t* bytes)
{
    const auto inRange = [](int value) { return value >= 0 && value <= kMaxData; };
    // A message on one key, none for a pitch out of range.
    const auto onKey = [&](uint8_t status, int16_t channel, int16_t pitch, uint8_t value) -> uint32_t {
        if (!inRange(pitch))
            return 0;
        bytes[0] = status | (channel & 0x0F);
        bytes[1] = static_cast<uint8_t>(pitch);
        bytes[2] = value;
        return 3;
    };
    switch (event.type) {
    case V3_EVENT_NOTE_ON: {
        // A VST3 note-on is never a note-off: its velocity is at least 1.
        const uint8_t velocity = std::max(1, PlainValue(event.note_on.velocity));
        return onKey(kNoteOnStatus, event.note_on.channel, event.note_on.pitch, velocity);
    }
    case V3_EVENT_NOTE_OFF:
        return onKey(kNoteOffStatus, event.note_off.channel, event.note_off.pitch, PlainValue(event.note_off.velocity));
    case V3_EVENT_POLY_PRESSURE:
        return onKey(kPolyPressureStatus, event.poly_pressure.channel, event.poly_pressure.pitch,
                     PlainValue(event.poly_pressure.pressure));
    case V3_EVENT_LEGACY_MIDI_CC_OUT: {
        const v3_event_legacy_midi_cc_out& cc = event.midi_cc_out;
        const uint8_t channel = cc.channel & 0x0F;
        if (!inRange(cc.value) || !inRange(cc.value2))
            return 0;
        if (cc.cc_number < kChannelPressure) {
            bytes[0] = kControlChangeStatus | channel;
            bytes[1] = cc.cc_number;
            bytes[2] = static_cast<uint8_t>(cc.value);
            return 3;
        }
        if (cc.cc_number == kPitchBend) {
            bytes[0] = kPitchBendStatus | channel;
            bytes[1] = static_cast<uint8_t>(cc.value);
            bytes[2] = static_cast<uint8_t>(cc.value2);
            return 3;
        }
        if (cc.cc_number == kChannelPressure || cc.cc_number == kProgramChange) {
            bytes[0] = (cc.cc_number == kProgramChange ? kProgramChangeStatus : kChannelPressureStatus) | channel;
            bytes[1] = static_cast<uint8_t>(cc.value);
            return 2;
        }
        return 0;
    }
    default:
        return 0;
    }
}

void CopyUtf16(int16_t* to, size_t capacity, const std::string& text)
{
    size_t i = 0;
    for (; i + 1 < capacity && i < text.size(); ++i)
        to[i] = static_cast<int16_t>(static_cast<unsigned char>(text[i]));
    to[i] = 0;
}

void CopyText(char* to, size_t capacity, const std::string& text)
{
    std::snprintf(to, capacity, "%s", text.c_str());
}

// ---- Where this module finds its filter ----

struct ModuleFiles {
    std::string stem;
    std::string addOn;  // the filter plug-in file
};

const ModuleFiles& OwnFiles()
{
    static const ModuleFiles files = [] {
        Dl_info info{};
        if (dladdr(reinterpret_cast<const void*>(&OwnFiles), &info) == 0 || !info.dli_fname)
            return ModuleFiles{};
        const std::filesystem::path own = info.dli_fname;
        const std::string stem = own.stem().string();
        return ModuleFiles{stem, (own.parent_path() / kVst3AddOnFolder / (stem + kPluginSuffix)).string()};
    }();
    return files;
}

// ---- Objects as the host holds them ----

// One interface of an object as the host holds it: a pointer to its table of
// functions, and the object behind it.
template <class Object>
struct Face {
    const void* table;
    Object* owner;
};

template <class Object>
Object& OwnerOf(void* self)
{
    return *static_cast<Face<Object>*>(self)->owner;
}

// The host's references to an object, counted alike for every object: the last
// one deletes it.
template <class Object>
uint32_t V3_API Ref(void* self)
{
    return ++OwnerOf<Object>(self).references;
}

template <class Object>
uint32_t V3_API Unref(void* self)
{
    Object& owner = OwnerOf<Object>(self);
    const uint32_t left = --owner.references;
    if (left == 0)
        delete &owner;
    return left;
}

// The object's face for interface `iid` (Object::FaceOf), with a new reference.
template <class Object>
v3_result V3_API Query(void* self, const v3_tuid iid, void** object)
{
    Object& owner = OwnerOf<Object>(self);
    Face<Object>* face = owner.FaceOf(iid);
    *object = face;
    if (!face)
        return V3_NO_INTERFACE;
    ++owner.references;
    return V3_OK;
}

// The three calls every table of an object's faces begins with.
template <class Object>
constexpr v3_funknown kUnknownOf = {Query<Object>, Ref<Object>, Unref<Object>};

// Every call of the host's that asks nothing of the plug-in: it keeps no state and
// no context, needs no setup and tells the host of no edit.
template <class... Ignored>
v3_result V3_API Accept(void*, Ignored...)
{
    return V3_OK;
}

// ---- The processor ----

// Writes a cycle's MIDI as the host's output events: notes as note events, the
// messages VST3 maps onto parameters as legacy MIDI CC events, system exclusive
// messages as data events, whose bytes live until the next cycle.
class EventListSink : public MidiSink {
public:
    void Start(v3_event_list** list)
    {
        mList = list;
        mSysExUsed = 0;
    }

    bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) override
    {
        if (!mList)
            return false;
        v3_event event{};
        event.sample_offset = static_cast<int32_t>(frame);
        if (!Encode(bytes, size, event)) {
            ++mUncarried;
            return true;
        }
        if (event.type == V3_EVENT_DATA) {
            if (size > mSysEx.size() - mSysExUsed)
                return false;
            std::memcpy(mSysEx.data() + mSysExUsed, bytes, size);
            event.data.bytes = mSysEx.data() + mSysExUsed;
            mSysExUsed += size;
        }
        return v3_cpp_obj(mList)->add_event(mList, &event) == V3_OK;
    }

    uint64_t Uncarried() const { return mUncarried; }

private:
    static bool Encode(const uint8_t* bytes, uint32_t size, v3_event& event)
    {
        if (size == 0)
            return false;
        const uint8_t kind = bytes[0] & 0xF0;
        const int16_t channel = bytes[0] & 0x0F;
        const auto legacy = [&](uint8_t number, uint8_t value, uint8_t value2) {
            event.type = V3_EVENT_LEGACY_MIDI_CC_OUT;
            event.midi_cc_out = {number, static_cast<int8_t>(channel), static_cast<int8_t>(value),
                                 static_cast<int8_t>(value2)};
            return true;
        };
        if (bytes[0] == kSystemStatus) {
            event.type = V3_EVENT_DATA;
            event.data = {size, kSysExDataType, nullptr};
            return true;
        }
        if (size == 3 && kind == kNoteOnStatus && bytes[2] > 0) {
            event.type = V3_EVENT_NOTE_ON;
            event.note_on = {channel, bytes[1], 0.f, NormalisedVelocity(bytes[2]), 0, -1};
            return true;
        }
        if (size == 3 && (kind == kNoteOffStatus || kind == kNoteOnStatus)) {
            event.type = V3_EVENT_NOTE_OFF;
            event.note_off = {channel, bytes[1], NormalisedVelocity(bytes[2]), -1, 0.f};
            return true;
        }
        if (size == 3 && kind == kPolyPressureStatus) {
            event.type = V3_EVENT_POLY_PRESSURE;
            event.poly_pressure = {channel, bytes[1], bytes[2] / static_cast<float>(kMaxData), -1};
            return true;
        }
        if (size == 3 && kind == kControlChangeStatus)
            return legacy(bytes[1], bytes[2], 0);
        if (size == 3 && kind == kPitchBendStatus)
            return legacy(kPitchBend, bytes[1], bytes[2]);
        if (size == 2 && kind == kProgramChangeStatus)
            return legacy(kProgramChange, bytes[1], 0);
        if (size == 2 && kind == kChannelPressureStatus)
            return legacy(kChannelPressure, bytes[1], 0);
        return false;
    }

    v3_event_list** mList = nullptr;
    std::array<uint8_t, 4096> mSysEx{};
    size_t mSysExUsed = 0;
    uint64_t mUncarried = 0;
};

// An input message of the cycle, from an event or a parameter change, to be handed
// to the live filter in frame order.
struct Pending {
    int32_t frame;
    uint32_t order;  // parameter changes first, then events, each as the host gave them
    uint32_t size;
    std::array<uint8_t, 3> bytes;
    const uint8_t* data;  // a longer message's bytes, or null
};

struct Processor {
    Face<Processor> component;
    Face<Processor> processor;
    Face<Processor> requirements;
    std::atomic<uint32_t> references{1};

    std::unique_ptr<Plugin> plugin;  // first, so unloaded last: the filter's code is in it
    UxFilterHolderI holder;
    std::unique_ptr<LiveFilter> live;
    EventListSink sink;
    std::array<Pending, 4096> pending{};
    size_t pendingCount = 0;
    uint64_t droppedInput = 0;  // past the pending room of one cycle
    std::string name;
    uint64_t reportedChains = 0;
    uint64_t reportedDrops = 0;

    // What the host has not heard of yet goes to standard error as the processor goes.
    ~Processor()
    {
        if (live)
            ReportFaults();
    }

    Face<Processor>* FaceOf(const v3_tuid iid)
    {
        if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid)
            || v3_tuid_match(iid, v3_component_iid))
            return &component;
        if (v3_tuid_match(iid, v3_audio_processor_iid))
            return &processor;
        if (v3_tuid_match(iid, v3_process_context_requirements_iid))
            return &requirements;
        return nullptr;
    }

    void Add(int32_t frame, const uint8_t* bytes, uint32_t size, const uint8_t* data)
    {
        if (pendingCount == pending.size()) {
            ++droppedInput;
            return;
        }
        Pending& item = pending[pendingCount];
        item = {frame, static_cast<uint32_t>(pendingCount), size, {}, data};
        std::copy(bytes, bytes + std::min<uint32_t>(size, 3), item.bytes.begin());
        ++pendingCount;
    }

    // Chains lost to the filter's exceptions and messages the host cannot take,
    // since the last report: told on standard error, never from process().
    void ReportFaults()
    {
        const uint64_t chains = live->Dropped().chains;
        if (chains != reportedChains)
            std::fprintf(stderr, "%s: the filter threw an exception (%s); %llu notes played without their chains\n",
                         name.c_str(), live->LastFault(), static_cast<unsigned long long>(chains - reportedChains));
        reportedChains = chains;
        const uint64_t drops = live->Dropped().notes + live->Dropped().messages + droppedInput + sink.Uncarried();
        if (drops != reportedDrops)
            std::fprintf(stderr, "%s: %llu MIDI messages could not be played\n", name.c_str(),
                         static_cast<unsigned long long>(drops - reportedDrops));
        reportedDrops = drops;
    }
};

v3_result V3_API Terminate(void* self)
{
    OwnerOf<Processor>(self).ReportFaults();
    return V3_OK;
}

v3_result V3_API ControllerClassId(void*, v3_tuid id)
{
    const Vst3ClassId controller = Vst3ClassIdOf(OwnFiles().stem, true);
    std::copy(controller.begin(), controller.end(), id);
    return V3_OK;
}

int32_t V3_API BusCount(void*, int32_t mediaType, int32_t)
{
    return mediaType == V3_EVENT ? 1 : 0;
}

bool IsOurBus(int32_t mediaType, int32_t direction, int32_t index)
{
    return mediaType == V3_EVENT && (direction == V3_INPUT || direction == V3_OUTPUT) && index == 0;
}

v3_result V3_API BusInfo(void*, int32_t mediaType, int32_t direction, int32_t index, v3_bus_info* info)
{
    if (!info || !IsOurBus(mediaType, direction, index))
        return V3_INVALID_ARG;
    *info = {};
    info->media_type = V3_EVENT;
    info->direction = direction;
    info->channel_count = kChannels;
    CopyUtf16(info->bus_name, 128, direction == V3_INPUT ? "MIDI in" : "MIDI out");
    info->bus_type = V3_MAIN;
    info->flags = V3_DEFAULT_ACTIVE;
    return V3_OK;
}

v3_result V3_API RoutingInfo(void*, v3_routing_info*, v3_routing_info*)
{
    return V3_NOT_IMPLEMENTED;
}

v3_result V3_API ActivateBus(void*, int32_t mediaType, int32_t direction, int32_t index, v3_bool)
{
    return IsOurBus(mediaType, direction, index) ? V3_OK : V3_INVALID_ARG;
}

// On activation the notes of the last one end, at the start of the first cycle.
v3_result V3_API SetActive(void* self, v3_bool active)
{
    Processor& processor = OwnerOf<Processor>(self);
    processor.ReportFaults();
    if (active)
        processor.live->Reset();
    return V3_OK;
}

v3_result V3_API SetArrangements(void*, v3_speaker_arrangement*, int32_t inputs, v3_speaker_arrangement*,
                                 int32_t outputs)
{
    return inputs == 0 && outputs == 0 ? V3_OK : V3_FALSE;
}

v3_result V3_API Arrangement(void*, int32_t, int32_t, v3_speaker_arrangement*)
{
    return V3_INVALID_ARG;
}

uint32_t V3_API NoSamples(void*)
{
    return 0;
}

void GatherParameters(Processor& processor, v3_param_changes** changes)
{
    if (!changes)
        return;
    const int32_t count = v3_cpp_obj(changes)->get_param_count(changes);
    for (int32_t i = 0; i < count; ++i) {
        v3_param_value_queue** queue = v3_cpp_obj(changes)->get_param_data(changes, i);
        if (!queue)
            continue;
        const v3_param_id id = v3_cpp_obj(queue)->get_param_id(queue);
        const int32_t points = v3_cpp_obj(queue)->get_point_count(queue);
        for (int32_t point = 0; point < points; ++point) {
            int32_t frame = 0;
            double value = 0;
            uint8_t bytes[3];
            if (v3_cpp_obj(queue)->get_point(queue, point, &frame, &value) != V3_OK)
                continue;
            if (const uint32_t size = MappedMessage(id, value, bytes))
                processor.Add(frame, bytes, size, nullptr);
        }
    }
}

void GatherEvents(Processor& processor, v3_event_list** events)
{
    if (!events)
        return;
    const uint32_t count = v3_cpp_obj(events)->get_event_count(events);
    for (uint32_t i = 0; i < count; ++i) {
        v3_event event{};
        if (v3_cpp_obj(events)->get_event(events, static_cast<int32_t>(i), &event) != V3_OK || event.bus_index != 0)
            continue;
        uint8_t bytes[3];
        if (event.type == V3_EVENT_DATA && event.data.type == kSysExDataType && event.data.bytes && event.data.size > 0)
            processor.Add(event.sample_offset, event.data.bytes, event.data.size, event.data.bytes);
        else if (const uint32_t size = EventMessage(event, bytes))
            processor.Add(event.sample_offset, bytes, size, nullptr);
    }
}

// The cycle's input messages, from the parameter changes and the events, go to the
// live filter in frame order; what it plays goes into the output event list.
v3_result V3_API Process(void* self, v3_process_data* data)
{
    Processor& processor = OwnerOf<Processor>(self);
    if (!data)
        return V3_INVALID_ARG;
    processor.pendingCount = 0;
    GatherParameters(processor, data->input_params);
    GatherEvents(processor, data->input_events);
    Pending* const first = processor.pending.data();
    std::sort(first, first + processor.pendingCount, [](const Pending& a, const Pending& b) {
        return a.frame != b.frame ? a.frame < b.frame : a.order < b.order;
    });

    LiveFilter& live = *processor.live;
    processor.sink.Start(data->output_events);
    live.BeginCycle(static_cast<uint32_t>(std::max(0, data->nframes)), &processor.sink);
    if (data->ctx)
        live.TransportSpeed(0, (data->ctx->state & V3_PROCESS_CTX_PLAYING) ? 1.0 : 0.0);
    for (const Pending* item = first; item != first + processor.pendingCount; ++item)
        live.Input(item->frame, item->data ? item->data : item->bytes.data(), item->size);
    live.EndCycle();
    return V3_OK;
}

uint32_t V3_API ContextRequirements(void*)
{
    return V3_PROCESS_CTX_NEED_TRANSPORT_STATE;
}

const v3_component_cpp kComponentTable = {
    kUnknownOf<Processor>,
    {Accept, Terminate},
    {ControllerClassId, Accept, BusCount, BusInfo, RoutingInfo, ActivateBus, SetActive, Accept, Accept}};

const v3_audio_processor_cpp kProcessorTable = {
    kUnknownOf<Processor>, {SetArrangements, Arrangement, Accept, NoSamples, Accept, Accept, Process, NoSamples}};

const v3_process_context_requirements_cpp kRequirementsTable = {kUnknownOf<Processor>, {ContextRequirements}};

// Loads the filter file and makes its filter, with every buffer the live filter will
// use; null when any of it fails, with the loader's words on standard error.
Processor* NewProcessor()
{
    const ModuleFiles& files = OwnFiles();
    const auto fail = [&](const std::string& reason) -> Processor* {
        std::fprintf(stderr, "%s: %s\n", files.stem.c_str(), reason.c_str());
        return nullptr;
    };
    try {
        auto processor = std::make_unique<Processor>();
        processor->component = {&kComponentTable, processor.get()};
        processor->processor = {&kProcessorTable, processor.get()};
        processor->requirements = {&kRequirementsTable, processor.get()};
        processor->plugin = Plugin::Load(files.addOn);
        processor->live = std::make_unique<LiveFilter>(processor->plugin->NewFilter(&processor->holder));
        processor->name = files.stem;
        return processor.release();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}

// ---- The edit controller ----

struct Controller {
    Face<Controller> controller;
    Face<Controller> mapping;
    std::atomic<uint32_t> references{1};
    std::array<double, kParameterCount> values{};

    Face<Controller>* FaceOf(const v3_tuid iid)
    {
        if (v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_base_iid)
            || v3_tuid_match(iid, v3_edit_controller_iid))
            return &controller;
        return v3_tuid_match(iid, v3_midi_mapping_iid) ? &mapping : nullptr;
    }
};

// The largest plain value of a parameter: 16383 for pitch bend, 127 for the others.
int PlainTop(v3_param_id id)
{
    return id % kMappedPerChannel == kPitchBend ? kMaxBend : kMaxData;
}

double DefaultValue(v3_param_id id)
{
    return id % kMappedPerChannel == kPitchBend ? (kMaxBend + 1) / 2 / static_cast<double>(kMaxBend) : 0.0;
}

std::string ParameterTitle(v3_param_id id)
{
    const int channel = static_cast<int>(id / kMappedPerChannel) + 1;
    const int controller = static_cast<int>(id % kMappedPerChannel);
    const std::string on = " (channel " + std::to_string(channel) + ")";
    switch (controller) {
    case kChannelPressure:
        return "Channel pressure" + on;
    case kPitchBend:
        return "Pitch bend" + on;
    case kProgramChange:
        return "Program change" + on;
    default:
        return "Controller " + std::to_string(controller) + on;
    }
}

int32_t V3_API ParameterCount(void*)
{
    return kParameterCount;
}

v3_result V3_API ParameterInfo(void*, int32_t index, v3_param_info* info)
{
    if (!info || index < 0 || index >= kParameterCount)
        return V3_INVALID_ARG;
    const auto id = static_cast<v3_param_id>(index);
    *info = {};
    info->param_id = id;
    CopyUtf16(info->title, 128, ParameterTitle(id));
    CopyUtf16(info->short_title, 128, ParameterTitle(id));
    info->step_count = PlainTop(id);
    info->default_normalised_value = DefaultValue(id);
    info->flags = V3_PARAM_IS_HIDDEN;
    return V3_OK;
}

v3_result V3_API StringForValue(void*, v3_param_id id, double normalised, v3_str_128 text)
{
    if (id >= static_cast<v3_param_id>(kParameterCount))
        return V3_INVALID_ARG;
    CopyUtf16(text, 128, std::to_string(std::lround(normalised * PlainTop(id))));
    return V3_OK;
}

v3_result V3_API ValueForString(void*, v3_param_id, int16_t*, double*)
{
    return V3_NOT_IMPLEMENTED;
}

double V3_API ToPlain(void*, v3_param_id id, double normalised)
{
    return normalised * PlainTop(id);
}

double V3_API ToNormalised(void*, v3_param_id id, double plain)
{
    return plain / PlainTop(id);
}

double V3_API GetNormalised(void* self, v3_param_id id)
{
    const Controller& controller = OwnerOf<Controller>(self);
    return id < controller.values.size() ? controller.values[id] : 0.0;
}

v3_result V3_API SetNormalised(void* self, v3_param_id id, double value)
{
    Controller& controller = OwnerOf<Controller>(self);
    if (id >= controller.values.size())
        return V3_INVALID_ARG;
    controller.values[id] = std::clamp(value, 0.0, 1.0);
    return V3_OK;
}

v3_plugin_view** V3_API CreateView(void*, const char*)
{
    return nullptr;
}

v3_result V3_API ControllerAssignment(void*, int32_t bus, int16_t channel, int16_t number, v3_param_id* id)
{
    if (!id || bus != 0 || channel < 0 || channel >= kChannels || number < 0 || number >= kMappedPerChannel)
        return V3_FALSE;
    *id = static_cast<v3_param_id>(channel * kMappedPerChannel + number);
    return V3_OK;
}

const v3_edit_controller_cpp kControllerTable = {kUnknownOf<Controller>,
                                                 {Accept, Accept},
                                                 {Accept, Accept, Accept, ParameterCount, ParameterInfo, StringForValue,
                                                  ValueForString, ToPlain, ToNormalised, GetNormalised, SetNormalised,
                                                  Accept, CreateView}};

const v3_midi_mapping_cpp kMappingTable = {kUnknownOf<Controller>, {ControllerAssignment}};

Controller* NewController()
{
    auto* controller = new Controller;
    controller->controller = {&kControllerTable, controller};
    controller->mapping = {&kMappingTable, controller};
    return controller;
}

// ---- The factory ----

// What the host lists of the plug-in, from its add-on; `loaded` false when the
// add-on cannot be read, and the factory then offers no class.
struct Description {
    bool loaded = false;
    std::string name;
    std::string author;
    std::string version;
};

const Description& OwnDescription()
{
    static const Description description = [] {
        const ModuleFiles& files = OwnFiles();
        Description read;
        try {
            const std::unique_ptr<Plugin> plugin = Plugin::Load(files.addOn);
            const UxFilterAddOn* addOn = plugin->AddOn();
            int32 major = 0;
            int32 minor = 0;
            addOn->GetVersion(&major, &minor);
            read = {true, addOn->Name() ? addOn->Name() : files.stem, addOn->Author() ? addOn->Author() : "",
                    std::to_string(major) + "." + std::to_string(minor)};
        } catch (const std::exception& error) {
            std::fprintf(stderr, "%s: %s\n", files.stem.c_str(), error.what());
        }
        return read;
    }();
    return description;
}

constexpr int32_t kManyInstances = 0x7FFFFFFF;
constexpr int32_t kUnicodeFactory = 0x10;
constexpr const char* kProcessorCategory = "Audio Module Class";
constexpr const char* kControllerCategory = "Component Controller Class";
constexpr const char* kSubCategories = "Fx";
constexpr const char* kSdkVersion = "VST 3.7.0";

// What every version of the class info begins with, of class `index`: the
// processor (0) or its controller (1); false for no such class.
template <class Info>
bool StartClassInfo(int32_t index, Info* info)
{
    if (!info || !OwnDescription().loaded || index < 0 || index > 1)
        return false;
    const bool controller = index == 1;
    const Vst3ClassId id = Vst3ClassIdOf(OwnFiles().stem, controller);
    *info = {};
    std::copy(id.begin(), id.end(), info->class_id);
    info->cardinality = kManyInstances;
    CopyText(info->category, sizeof info->category, controller ? kControllerCategory : kProcessorCategory);
    return true;
}

v3_result V3_API FactoryQuery(void* self, const v3_tuid iid, void** object)
{
    const bool known = v3_tuid_match(iid, v3_funknown_iid) || v3_tuid_match(iid, v3_plugin_factory_iid)
        || v3_tuid_match(iid, v3_plugin_factory_2_iid) || v3_tuid_match(iid, v3_plugin_factory_3_iid);
    *object = known ? self : nullptr;
    return known ? V3_OK : V3_NO_INTERFACE;
}

// The factory is one object for the life of the module.
uint32_t V3_API FactoryRef(void*)
{
    return 1;
}

v3_result V3_API FactoryInfo(void*, v3_factory_info* info)
{
    if (!info)
        return V3_INVALID_ARG;
    *info = {};
    CopyText(info->vendor, sizeof info->vendor, OwnDescription().author);
    info->flags = kUnicodeFactory;
    return V3_OK;
}

int32_t V3_API ClassCount(void*)
{
    return OwnDescription().loaded ? 2 : 0;
}

v3_result V3_API GetClassInfo(void*, int32_t index, v3_class_info* info)
{
    if (!StartClassInfo(index, info))
        return V3_INVALID_ARG;
    CopyText(info->name, sizeof info->name, OwnDescription().name);
    return V3_OK;
}

v3_result V3_API GetClassInfo2(void*, int32_t index, v3_class_info_2* info)
{
    if (!StartClassInfo(index, info))
        return V3_INVALID_ARG;
    const Description& description = OwnDescription();
    CopyText(info->name, sizeof info->name, description.name);
    CopyText(info->sub_categories, sizeof info->sub_categories, kSubCategories);
    CopyText(info->vendor, sizeof info->vendor, description.author);
    CopyText(info->version, sizeof info->version, description.version);
    CopyText(info->sdk_version, sizeof info->sdk_version, kSdkVersion);
    return V3_OK;
}

v3_result V3_API GetClassInfo3(void*, int32_t index, v3_class_info_3* info)
{
    if (!StartClassInfo(index, info))
        return V3_INVALID_ARG;
    const Description& description = OwnDescription();
    CopyUtf16(info->name, 64, description.name);
    CopyText(info->sub_categories, sizeof info->sub_categories, kSubCategories);
    CopyUtf16(info->vendor, 64, description.author);
    CopyUtf16(info->version, 64, description.version);
    CopyUtf16(info->sdk_version, 64, kSdkVersion);
    return V3_OK;
}

v3_result V3_API CreateInstance(void*, const v3_tuid classId, const v3_tuid iid, void** instance)
{
    if (!instance)
        return V3_INVALID_ARG;
    *instance = nullptr;
    const std::string& stem = OwnFiles().stem;
    v3_result result = V3_NO_INTERFACE;
    if (v3_tuid_match(classId, Vst3ClassIdOf(stem, false).data())) {
        Processor* processor = NewProcessor();
        if (!processor)
            return V3_INTERNAL_ERR;
        result = Query<Processor>(&processor->component, iid, instance);
        Unref<Processor>(&processor->component);
    } else if (v3_tuid_match(classId, Vst3ClassIdOf(stem, true).data())) {
        Controller* controller = NewController();
        result = Query<Controller>(&controller->controller, iid, instance);
        Unref<Controller>(&controller->controller);
    }
    return result;
}

const v3_plugin_factory_cpp kFactoryTable = {{FactoryQuery, FactoryRef, FactoryRef},
                                             {FactoryInfo, ClassCount, GetClassInfo, CreateInstance},
                                             {GetClassInfo2},
                                             {GetClassInfo3, Accept}};

const void* const gFactory = &kFactoryTable;

}  // namespace

extern "C" {

__attribute__((visibility("default"))) void* GetPluginFactory()
{
    return const_cast<void**>(&gFactory);
}

__attribute__((visibility("default"))) bool ModuleEntry(void*)
{
    return true;
}

__attribute__((visibility("default"))) bool ModuleExit()
{
    return true;
}
}
