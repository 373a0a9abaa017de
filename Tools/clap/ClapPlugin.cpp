// Every filter plug-in in a CLAP file's add-ons folder as a CLAP note effect.
//
// The file's entry (ClapEntry.cpp) hands the host this adapter's entry. At init,
// told the file's path, it lists the filter files of the add-ons folder beside the
// file (ClapLayout.h) by file stem, each read once for its names and version; a
// file that does not load is left out, and the host hears why once. Each instance
// loads its filter file, makes one filter and plays it live through a LiveFilter:
// notes, MIDI and the transport come in as CLAP events, MIDI goes out.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <clap/entry.h>
#include <clap/events.h>
#include <clap/ext/note-ports.h>
#include <clap/plugin-factory.h>
#include <clap/plugin.h>
#include <clap/process.h>

#include <BundleLayout.h>  // IsPluginStem
#include <MidiBytes.h>

#include "ClapLayout.h"
#include "LiveFilter.h"
#include "PluginLoader.h"

namespace {

// The host's log, which the CLAP headers at hand do not declare.
constexpr char kHostLogExtension[] = "clap.log";
constexpr int32_t kLogError = 3;
struct HostLog {
    void(CLAP_ABI* log)(const clap_host_t* host, int32_t severity, const char* message);
};

constexpr uint8_t kAllNotesOff = 123;
constexpr uint32_t kPortId = 0;
constexpr size_t kSysexRoom = 8192;  // output system exclusive bytes a cycle

const char* kFeatures[] = {CLAP_PLUGIN_FEATURE_NOTE_EFFECT, CLAP_PLUGIN_FEATURE_UTILITY, nullptr};

// ---- The plug-ins of the file ----

struct FilterFile {
    std::string path;
    std::string id;
    std::string name;
    std::string vendor;
    std::string version;
    std::string description;
    clap_plugin_descriptor_t descriptor;
};

// Listed at init and kept until deinit: the descriptors handed to the host point
// into this list.
std::vector<FilterFile> gFiles;
int gInits = 0;  // a host that opens the file twice gets one list
// Why files were left out, until a host's log (or standard error) has heard it.
std::vector<std::string> gUntold;

void Tell(const HostLog* log, const clap_host_t* host, const std::string& line)
{
    if (log && log->log)
        log->log(host, kLogError, line.c_str());
    else
        std::fprintf(stderr, "%s\n", line.c_str());
}

void TellUntold(const HostLog* log, const clap_host_t* host)
{
    for (const std::string& line : gUntold)
        Tell(log, host, line);
    gUntold.clear();
}

std::string Text(const char* text, const std::string& path, const char* what)
{
    if (!text)
        throw PluginError(path + ": the add-on answers no " + what);
    return text;
}

FilterFile Describe(const std::string& path)
{
    const std::string stem = std::filesystem::path(path).stem().string();
    if (!IsPluginStem(stem))
        throw PluginError(path
                          + ": cannot name a CLAP plug-in after this file: its name must be "
                            "letters, digits, '_' or '-' followed by .so");
    const std::unique_ptr<Plugin> plugin = Plugin::Load(path);
    const UxFilterAddOn* addOn = plugin->AddOn();
    int32 major = 0;
    int32 minor = 0;
    addOn->GetVersion(&major, &minor);
    return {path,
            kClapIdPrefix + stem,
            Text(addOn->Name(), path, "Name()"),
            Text(addOn->Author(), path, "Author()"),
            std::to_string(major) + "." + std::to_string(minor),
            Text(addOn->ShortDescription(), path, "ShortDescription()"),
            {}};
}

bool Init(const char* path)
{
    if (gInits++ > 0)
        return true;
    for (const std::string& file : PluginFilesIn(ClapAddOnFolder(path ? path : ""))) {
        try {
            gFiles.push_back(Describe(file));
        } catch (const std::exception& error) {
            gUntold.push_back(std::string("left out: ") + error.what());
        } catch (...) {
            gUntold.push_back("left out: " + file + ": the add-on threw an exception that is not a std::exception");
        }
    }
    // By file stem, so that a plug-in keeps its index while the folder is the same.
    std::sort(gFiles.begin(), gFiles.end(), [](const FilterFile& a, const FilterFile& b) { return a.id < b.id; });
    for (FilterFile& file : gFiles)
        file.descriptor = {
            CLAP_VERSION_INIT,    file.id.c_str(),          file.name.c_str(), file.vendor.c_str(), "", "", "",
            file.version.c_str(), file.description.c_str(), kFeatures};
    return true;
}

void Deinit()
{
    if (gInits == 0 || --gInits > 0)
        return;
    TellUntold(nullptr, nullptr);  // what no host's log heard, as no plug-in was made
    gFiles.clear();
}

// ---- One instance ----

// Writes a cycle's MIDI as CLAP MIDI events; system exclusive messages are copied
// into room of the instance's own that lasts until the next cycle.
class EventSink : public MidiSink {
public:
    void Start(const clap_output_events_t* out)
    {
        mOut = out;
        mSysexUsed = 0;
    }

    bool Write(uint32_t frame, const uint8_t* bytes, uint32_t size) override
    {
        if (!mOut)
            return false;
        const clap_event_header_t header{0, frame, CLAP_CORE_EVENT_SPACE_ID, 0, 0};
        if (size <= sizeof(clap_event_midi_t::data)) {
            clap_event_midi_t event{header, kPortId, {}};
            event.header.size = sizeof event;
            event.header.type = CLAP_EVENT_MIDI;
            std::memcpy(event.data, bytes, size);
            return mOut->try_push(mOut, &event.header);
        }
        if (size > mSysex.size() - mSysexUsed)
            return false;
        std::memcpy(mSysex.data() + mSysexUsed, bytes, size);
        clap_event_midi_sysex_t event{header, kPortId, mSysex.data() + mSysexUsed, size};
        event.header.size = sizeof event;
        event.header.type = CLAP_EVENT_MIDI_SYSEX;
        if (!mOut->try_push(mOut, &event.header))
            return false;
        mSysexUsed += size;
        return true;
    }

private:
    const clap_output_events_t* mOut = nullptr;
    std::array<uint8_t, kSysexRoom> mSysex{};
    size_t mSysexUsed = 0;
};

struct Instance {
    clap_plugin_t clap;  // what the host holds; its plugin_data is this instance
    const FilterFile* file;
    const clap_host_t* host;
    const HostLog* log = nullptr;    // the host's, if it offers one
    std::unique_ptr<Plugin> plugin;  // before the filter, so unloaded after it
    UxFilterHolderI holder;
    std::unique_ptr<LiveFilter> live;
    EventSink sink;
    uint64_t reportedChains = 0;
};

Instance& Self(const clap_plugin_t* plugin)
{
    return *static_cast<Instance*>(plugin->plugin_data);
}

// Loads the filter file and makes its filter, with every buffer the live filter
// will use; false when any of it fails, with the reason in the host's log.
bool PluginInit(const clap_plugin_t* plugin)
{
    Instance& self = Self(plugin);
    if (self.host->get_extension)
        self.log = static_cast<const HostLog*>(self.host->get_extension(self.host, kHostLogExtension));
    TellUntold(self.log, self.host);
    try {
        self.plugin = Plugin::Load(self.file->path);
        self.live = std::make_unique<LiveFilter>(self.plugin->NewFilter(&self.holder));
        return true;
    } catch (const std::exception& error) {
        Tell(self.log, self.host, self.file->id + ": " + error.what());
    } catch (...) {
        Tell(self.log, self.host, self.file->id + ": the add-on threw an exception that is not a std::exception");
    }
    return false;
}

// Chains lost to the filter's exceptions since the last report, told to the host's
// log from activate, deactivate and destroy, never from process().
void ReportFaults(Instance& self)
{
    if (!self.live)
        return;
    const uint64_t chains = self.live->Dropped().chains;
    if (chains == self.reportedChains)
        return;
    char line[320];
    std::snprintf(line, sizeof line, "%s: the filter threw an exception (%s); %llu notes played without their chains",
                  self.file->id.c_str(), self.live->LastFault(),
                  static_cast<unsigned long long>(chains - self.reportedChains));
    Tell(self.log, self.host, line);
    self.reportedChains = chains;
}

void Destroy(const clap_plugin_t* plugin)
{
    Instance* self = &Self(plugin);
    ReportFaults(*self);
    delete self;
}

// Notes that sound when the plug-in is activated again end at the start of its
// first cycle.
bool Activate(const clap_plugin_t* plugin, double, uint32_t, uint32_t)
{
    Instance& self = Self(plugin);
    if (!self.live)
        return false;  // its init failed, and the host went on
    ReportFaults(self);
    self.live->Reset();
    return true;
}

void Deactivate(const clap_plugin_t* plugin)
{
    ReportFaults(Self(plugin));
}

bool StartProcessing(const clap_plugin_t*)
{
    return true;
}

void StopProcessing(const clap_plugin_t*)
{
}

void Reset(const clap_plugin_t* plugin)
{
    if (Self(plugin).live)
        Self(plugin).live->Reset();
}

uint8_t Velocity(double velocity)
{
    if (!(velocity > 0))
        return 0;
    return static_cast<uint8_t>(std::lround(std::min(velocity, 1.0) * kMaxData));
}

template <typename Event>
const Event* As(const clap_event_header_t& header)
{
    return header.size >= sizeof(Event) ? reinterpret_cast<const Event*>(&header) : nullptr;
}

// A CLAP note as MIDI. A note-on is never of velocity 0, which MIDI reads as a
// note-off.
void TakeNote(LiveFilter& live, const clap_event_note_t& note, bool on)
{
    if (note.channel < 0 || note.channel > kMaxChannel || note.key < 0 || note.key > kMaxData)
        return;
    const uint8_t velocity = Velocity(note.velocity);
    const uint8_t bytes[] = {static_cast<uint8_t>((on ? kNoteOnStatus : kNoteOffStatus) | note.channel),
                             static_cast<uint8_t>(note.key), on ? std::max<uint8_t>(velocity, 1) : velocity};
    live.Input(note.header.time, bytes, sizeof bytes);
}

// A choke stops voices at once, without a release: it ends what sounds on its
// channel (every channel for -1) and drops the channel's chains, as All Notes Off
// does, which passes on to what follows.
void TakeChoke(LiveFilter& live, const clap_event_note_t& note)
{
    if (note.channel > kMaxChannel)
        return;
    const int first = note.channel < 0 ? 0 : note.channel;
    const int last = note.channel < 0 ? kMaxChannel : note.channel;
    for (int channel = first; channel <= last; ++channel) {
        const uint8_t bytes[] = {static_cast<uint8_t>(kControlChangeStatus | channel), kAllNotesOff, 0};
        live.Input(note.header.time, bytes, sizeof bytes);
    }
}

// A MIDI event's message: a channel message with its data bytes, or a system
// message of one to three bytes.
void TakeMidi(LiveFilter& live, const clap_event_midi_t& midi)
{
    const uint8_t status = midi.data[0];
    uint32_t size = 1;
    if (IsChannelStatus(status))
        size += ChannelDataSize(status);
    else if (status == 0xF1 || status == 0xF3)
        size = 2;
    else if (status == 0xF2)
        size = 3;
    else if (status < 0x80)
        return;  // no status: nothing a host should send
    live.Input(midi.header.time, midi.data, size);
}

double Speed(const clap_event_transport_t& transport)
{
    return transport.flags & CLAP_TRANSPORT_IS_PLAYING ? 1.0 : 0.0;
}

void Take(LiveFilter& live, const clap_event_header_t& header)
{
    if (header.space_id != CLAP_CORE_EVENT_SPACE_ID)
        return;
    switch (header.type) {
    case CLAP_EVENT_NOTE_ON:
    case CLAP_EVENT_NOTE_OFF:
        if (const auto* note = As<clap_event_note_t>(header))
            TakeNote(live, *note, header.type == CLAP_EVENT_NOTE_ON);
        break;
    case CLAP_EVENT_NOTE_CHOKE:
        if (const auto* note = As<clap_event_note_t>(header))
            TakeChoke(live, *note);
        break;
    case CLAP_EVENT_MIDI:
        if (const auto* midi = As<clap_event_midi_t>(header))
            TakeMidi(live, *midi);
        break;
    case CLAP_EVENT_MIDI_SYSEX:
        if (const auto* sysex = As<clap_event_midi_sysex_t>(header); sysex && sysex->buffer)
            live.Input(header.time, sysex->buffer, sysex->size);
        break;
    case CLAP_EVENT_TRANSPORT:
        if (const auto* transport = As<clap_event_transport_t>(header))
            live.TransportSpeed(header.time, Speed(*transport));
        break;
    default:
        break;
    }
}

// The usual idiom of a MIDI plug-in: walk the input events in time order and
// write the output along the way; the live filter adds what is due between.
clap_process_status Process(const clap_plugin_t* plugin, const clap_process_t* process)
{
    Instance& self = Self(plugin);
    if (!self.live)
        return CLAP_PROCESS_ERROR;
    LiveFilter& live = *self.live;
    self.sink.Start(process->out_events);
    live.BeginCycle(process->frames_count, &self.sink);
    if (process->transport)
        live.TransportSpeed(0, Speed(*process->transport));
    const clap_input_events_t* in = process->in_events;
    const uint32_t count = in ? in->size(in) : 0;
    for (uint32_t i = 0; i < count; ++i)
        if (const clap_event_header_t* header = in->get(in, i))
            Take(live, *header);
    live.EndCycle();
    return CLAP_PROCESS_CONTINUE;
}

// One note port each way. The input takes CLAP notes and MIDI and prefers MIDI;
// the output writes MIDI, which hosts pass on as it is.
uint32_t NotePortCount(const clap_plugin_t*, bool)
{
    return 1;
}

bool NotePort(const clap_plugin_t*, uint32_t index, bool isInput, clap_note_port_info_t* info)
{
    if (index != 0 || !info)
        return false;
    info->id = kPortId;
    info->supported_dialects = isInput ? CLAP_NOTE_DIALECT_CLAP | CLAP_NOTE_DIALECT_MIDI : CLAP_NOTE_DIALECT_MIDI;
    info->preferred_dialect = CLAP_NOTE_DIALECT_MIDI;
    std::snprintf(info->name, sizeof info->name, "%s", isInput ? "MIDI in" : "MIDI out");
    return true;
}

const clap_plugin_note_ports_t kNotePorts = {NotePortCount, NotePort};

const void* Extension(const clap_plugin_t*, const char* id)
{
    return id && std::strcmp(id, CLAP_EXT_NOTE_PORTS) == 0 ? &kNotePorts : nullptr;
}

void OnMainThread(const clap_plugin_t*)
{
}

// ---- The factory ----

uint32_t Count(const clap_plugin_factory_t*)
{
    return static_cast<uint32_t>(gFiles.size());
}

const clap_plugin_descriptor_t* Descriptor(const clap_plugin_factory_t*, uint32_t index)
{
    return index < gFiles.size() ? &gFiles[index].descriptor : nullptr;
}

const clap_plugin_t* Create(const clap_plugin_factory_t*, const clap_host_t* host, const char* id)
{
    if (!host || !id || !clap_version_is_compatible(host->clap_version))
        return nullptr;
    const auto file = std::find_if(gFiles.begin(), gFiles.end(), [id](const FilterFile& f) { return f.id == id; });
    if (file == gFiles.end())
        return nullptr;
    auto* self = new (std::nothrow) Instance{};
    if (!self)
        return nullptr;
    self->file = &*file;
    self->host = host;
    self->clap = {&file->descriptor, self,           PluginInit, Destroy, Activate,  Deactivate,
                  StartProcessing,   StopProcessing, Reset,      Process, Extension, OnMainThread};
    return &self->clap;
}

const clap_plugin_factory_t kFactory = {Count, Descriptor, Create};

const void* Factory(const char* id)
{
    return id && std::strcmp(id, CLAP_PLUGIN_FACTORY_ID) == 0 ? &kFactory : nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default")))
const clap_plugin_entry_t ux_clap_entry = {CLAP_VERSION_INIT, Init, Deinit, Factory};
