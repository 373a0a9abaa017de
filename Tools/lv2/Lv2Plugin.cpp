// Every filter plug-in in the bundle's add-ons folder as an LV2 plug-in.
//
// The adapter library lies in the bundle folder beside `add-ons/`. Plug-in i is the
// i-th filter file there by name, under the URI urn:ux-filter-kit:<file stem>.
// Each instance loads its filter file, makes one filter and plays it live through
// a LiveFilter: MIDI and the transport's position come in on one atom port, MIDI
// goes out on the other, and sixteen toggles choose the channels it acts on. What
// the filter throws and what is dropped goes to the host's log outside run():
// through the host's worker when it offers one, else at the next activation.
#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/midi/midi.h>
#include <lv2/time/time.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include "BundleLayout.h"
#include "LiveFilter.h"
#include "PluginLoader.h"

namespace {

// ---- The plug-ins of the bundle ----

struct FilterFile {
    std::string uri;
    std::string path;
    LV2_Descriptor descriptor;
    // The loaded file while any instance lives: instances share it and its add-on.
    mutable std::weak_ptr<Plugin> loaded;
};

LV2_Handle Instantiate(const LV2_Descriptor*, double, const char*, const LV2_Feature* const*);
void ConnectPort(LV2_Handle, uint32_t, void*);
void Activate(LV2_Handle);
void Run(LV2_Handle, uint32_t);
void Deactivate(LV2_Handle);
void Cleanup(LV2_Handle);
const void* ExtensionData(const char* uri);

// Listed once, before the first instance, and never changed: the descriptors
// handed to the host point into this list.
const std::vector<FilterFile>& FilterFiles()
{
    static std::vector<FilterFile> files;
    static std::once_flag listed;
    std::call_once(listed, [] {
        for (const std::string& path : PluginFilesIn(OwnFolder() + "/" + kAddOnFolder)) {
            const std::string stem = std::filesystem::path(path).stem().string();
            if (!IsPluginStem(stem))
                continue;
            std::string uri = kUriPrefix + stem;
            std::ifstream given(OwnFolder() + "/" + kAddOnFolder + "/" + stem + kUriFileSuffix);
            std::string line;
            if (std::getline(given, line) && !line.empty())
                uri = line;
            files.push_back({uri, path, {}, {}});
        }
        // In the order of their stems, as the bundle lists them.
        std::sort(files.begin(), files.end(), [](const FilterFile& a, const FilterFile& b) { return a.uri < b.uri; });
        for (FilterFile& file : files)
            file.descriptor = {file.uri.c_str(), Instantiate, ConnectPort,  Activate, Run,
                               Deactivate,       Cleanup,     ExtensionData};
    });
    return files;
}

// ---- One instance ----

struct Uris {
    LV2_URID midiEvent;
    LV2_URID atomSequence;
    LV2_URID atomObject;
    LV2_URID atomBlank;
    LV2_URID atomFloat;
    LV2_URID atomDouble;
    LV2_URID timePosition;
    LV2_URID timeSpeed;
};

// Writes a cycle's MIDI into the output port's atom sequence, as long as it fits.
class SequenceSink : public MidiSink {
public:
    void Start(LV2_Atom_Sequence* sequence, LV2_URID sequenceType)
    {
        mSequence = sequence;
        // The host sets the size to the capacity of the whole buffer.
        mCapacity = sequence->atom.size;
        sequence->atom.type = sequenceType;
        sequence->atom.size = sizeof(LV2_Atom_Sequence_Body);
        sequence->body.unit = 0;
        sequence->body.pad = 0;
    }
    void SetMidiType(LV2_URID midiType) { mMidiType = midiType; }

    bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) override
    {
        const uint32_t used = sizeof(LV2_Atom) + mSequence->atom.size;
        const uint32_t needed = lv2_atom_pad_size(sizeof(LV2_Atom_Event) + size);
        if (used > mCapacity || needed > mCapacity - used)
            return false;
        LV2_Atom_Event* event = lv2_atom_sequence_end(&mSequence->body, mSequence->atom.size);
        event->time.frames = frame;
        event->body.type = mMidiType;
        event->body.size = size;
        std::memcpy(event + 1, bytes, size);
        mSequence->atom.size += needed;
        return true;
    }

private:
    LV2_Atom_Sequence* mSequence = nullptr;
    uint32_t mCapacity = 0;
    LV2_URID mMidiType = 0;
};

struct Instance {
    std::shared_ptr<Plugin> plugin;  // first, so unloaded last: the filter's code is in it
    UxFilterHolderI holder;
    std::unique_ptr<LiveFilter> live;
    Uris uris{};
    const LV2_Atom_Sequence* input = nullptr;
    LV2_Atom_Sequence* output = nullptr;
    SequenceSink sink;
    const char* uri = nullptr;
    std::array<const float*, kChannelPorts> channelPorts{};
    const LV2_Log_Log* log = nullptr;  // the host's, if it offers one
    LV2_URID logError = 0;
    const LV2_Worker_Schedule* worker = nullptr;  // the host's, if it offers one
    LiveDrops scheduled;                          // what the worker has been told of, on the audio thread

    // What the log has heard of, kept by whichever thread reports.
    std::mutex reporting;
    LiveDrops reported;
    std::array<char, 160> fault{};
};

const void* FindFeature(const LV2_Feature* const* features, const char* uri)
{
    for (; features && *features; ++features)
        if (std::strcmp((*features)->URI, uri) == 0)
            return (*features)->data;
    return nullptr;
}

// The filter file loaded once for all its instances: loading it again for each
// would cost an instance as much as the rest of it.
std::shared_ptr<Plugin> SharedPlugin(const FilterFile& file)
{
    static std::mutex loading;
    const std::lock_guard<std::mutex> lock(loading);
    std::shared_ptr<Plugin> plugin = file.loaded.lock();
    if (!plugin) {
        plugin = Plugin::Load(file.path);
        file.loaded = plugin;
    }
    return plugin;
}

// Loads the filter file and makes its filter, with every buffer the live filter
// will use; null when any of it fails, with the reason in the host's log.
LV2_Handle Instantiate(const LV2_Descriptor* descriptor, double, const char*, const LV2_Feature* const* features)
{
    const auto* map = static_cast<const LV2_URID_Map*>(FindFeature(features, LV2_URID__map));
    const auto* log = static_cast<const LV2_Log_Log*>(FindFeature(features, LV2_LOG__log));
    const auto* worker = static_cast<const LV2_Worker_Schedule*>(FindFeature(features, LV2_WORKER__schedule));
    const LV2_URID logError = log && map ? map->map(map->handle, LV2_LOG__Error) : 0;
    const char* uri = descriptor && descriptor->URI ? descriptor->URI : "?";
    const auto fail = [&](const std::string& reason) {
        if (log)
            log->printf(log->handle, logError, "%s: %s\n", uri, reason.c_str());
        return nullptr;
    };
    const auto& files = FilterFiles();
    const auto file = std::find_if(files.begin(), files.end(),
                                   [descriptor](const FilterFile& f) { return &f.descriptor == descriptor; });
    if (file == files.end())
        return fail("not a plug-in of this bundle");
    if (!map)
        return fail("the host offers no " LV2_URID__map);
    try {
        auto instance = std::make_unique<Instance>();
        instance->plugin = SharedPlugin(*file);
        instance->live = std::make_unique<LiveFilter>(instance->plugin->NewFilter(&instance->holder));
        instance->uri = file->uri.c_str();
        instance->log = log;
        instance->logError = logError;
        instance->worker = worker;

        const auto urid = [map](const char* name) { return map->map(map->handle, name); };
        instance->uris = {urid(LV2_MIDI__MidiEvent), urid(LV2_ATOM__Sequence), urid(LV2_ATOM__Object),
                          urid(LV2_ATOM__Blank),     urid(LV2_ATOM__Float),    urid(LV2_ATOM__Double),
                          urid(LV2_TIME__Position),  urid(LV2_TIME__speed)};
        instance->sink.SetMidiType(instance->uris.midiEvent);
        return instance.release();
    } catch (const std::exception& error) {
        return fail(error.what());
    }
}

void ConnectPort(LV2_Handle handle, uint32_t port, void* data)
{
    auto* instance = static_cast<Instance*>(handle);
    if (port == kMidiInPort)
        instance->input = static_cast<const LV2_Atom_Sequence*>(data);
    else if (port == kMidiOutPort)
        instance->output = static_cast<LV2_Atom_Sequence*>(data);
    else if (port - kFirstChannelPort < kChannelPorts)
        instance->channelPorts[port - kFirstChannelPort] = static_cast<const float*>(data);
}

// What the filter threw and what was dropped since the last report, told to the
// host's log from the worker, activate, deactivate and cleanup, never from run().
void Report(Instance& instance)
{
    const std::lock_guard<std::mutex> lock(instance.reporting);
    const LiveDrops now = instance.live->DroppedSoFar();
    LiveDrops& told = instance.reported;
    instance.live->TakeFault(instance.fault.data(), instance.fault.size());
    if (!instance.log) {
        told = now;
        return;
    }
    const auto say = [&](const char* what, unsigned long long count) {
        instance.log->printf(instance.log->handle, instance.logError, "%s: %llu %s\n", instance.uri, count, what);
    };
    if (now.chains != told.chains)
        instance.log->printf(instance.log->handle, instance.logError,
                             "%s: the filter threw an exception (%s); %llu notes played without their chains\n",
                             instance.uri, instance.fault.data(),
                             static_cast<unsigned long long>(now.chains - told.chains));
    if (const uint64_t queued = now.notes - told.notes + now.events - told.events)
        say("events of the filter's chains dropped: the queue was full or MIDI cannot carry them", queued);
    if (now.messages != told.messages)
        say("messages dropped: the host's output was full", now.messages - told.messages);
    told = now;
}

void Activate(LV2_Handle handle)
{
    auto* instance = static_cast<Instance*>(handle);
    Report(*instance);
    instance->live->Reset();
}

void Deactivate(LV2_Handle handle)
{
    Report(*static_cast<Instance*>(handle));
}

// The worker's job is the report; run() schedules it when something new was lost.
LV2_Worker_Status Work(LV2_Handle handle, LV2_Worker_Respond_Function, LV2_Worker_Respond_Handle, uint32_t, const void*)
{
    Report(*static_cast<Instance*>(handle));
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status WorkResponse(LV2_Handle, uint32_t, const void*)
{
    return LV2_WORKER_SUCCESS;
}

const void* ExtensionData(const char* uri)
{
    static const LV2_Worker_Interface worker = {Work, WorkResponse, nullptr};
    return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &worker : nullptr;
}

// Bit c on when the toggle of channel c + 1 is on or not connected.
uint16_t ChannelMaskOf(const Instance& instance)
{
    uint16_t mask = 0;
    for (uint32_t channel = 0; channel < kChannelPorts; ++channel) {
        const float* toggle = instance.channelPorts[channel];
        if (!toggle || *toggle > 0.5f)
            mask = static_cast<uint16_t>(mask | 1u << channel);
    }
    return mask;
}

bool Differ(const LiveDrops& a, const LiveDrops& b)
{
    return a.notes != b.notes || a.events != b.events || a.messages != b.messages || a.chains != b.chains;
}

// The transport's speed, when `atom` is a time:Position that carries one.
bool PositionSpeed(const Uris& uris, const LV2_Atom* atom, double* speed)
{
    if (atom->type != uris.atomObject && atom->type != uris.atomBlank)
        return false;
    const auto* object = reinterpret_cast<const LV2_Atom_Object*>(atom);
    if (object->body.otype != uris.timePosition)
        return false;
    const LV2_Atom* value = nullptr;
    lv2_atom_object_get(object, uris.timeSpeed, &value, 0);
    if (value && value->type == uris.atomFloat && value->size >= sizeof(float))
        *speed = reinterpret_cast<const LV2_Atom_Float*>(value)->body;
    else if (value && value->type == uris.atomDouble && value->size >= sizeof(double))
        *speed = reinterpret_cast<const LV2_Atom_Double*>(value)->body;
    else
        return false;
    return true;
}

// The usual idiom of a MIDI plug-in: walk the input sequence in time order and
// write the output along the way; the live filter adds what is due between.
void Run(LV2_Handle handle, uint32_t frames)
{
    auto* instance = static_cast<Instance*>(handle);
    if (!instance->output)
        return;
    instance->sink.Start(instance->output, instance->uris.atomSequence);
    LiveFilter& live = *instance->live;
    live.SetChannels(ChannelMaskOf(*instance));
    live.BeginCycle(frames, &instance->sink);
    if (instance->input) {
        LV2_ATOM_SEQUENCE_FOREACH(instance->input, event)
        {
            double speed = 0;
            if (event->body.type == instance->uris.midiEvent)
                live.Input(event->time.frames, reinterpret_cast<const uint8_t*>(event + 1), event->body.size);
            else if (PositionSpeed(instance->uris, &event->body, &speed))
                live.TransportSpeed(event->time.frames, speed);
        }
    }
    live.EndCycle();
    if (instance->worker && Differ(live.Dropped(), instance->scheduled)
        && instance->worker->schedule_work(instance->worker->handle, 0, nullptr) == LV2_WORKER_SUCCESS)
        instance->scheduled = live.Dropped();
}

void Cleanup(LV2_Handle handle)
{
    auto* instance = static_cast<Instance*>(handle);
    Report(*instance);
    delete instance;
}

}  // namespace

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index)
{
    const auto& files = FilterFiles();
    return index < files.size() ? &files[index].descriptor : nullptr;
}
