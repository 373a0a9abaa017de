#include "Checks.h"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include <LiveFilter.h>
#include <MidiBytes.h>

#include "Exports.h"
#include "Inputs.h"
#include "Pipeline.h"
#include "Where.h"

namespace {

constexpr size_t kNotePool = 1 << 16;    // events one note's chain may take in the checks
constexpr size_t kThreadPool = 1 << 13;  // the same for each of the threads
constexpr int kThreads = kMaxCallers;
constexpr long kMostNullCopyPool = 64;  // the largest pool the null copy check tries
constexpr int kIconSide = 20;
// The chain a live host's adapter lets a filter build: its queue and event pool.
constexpr LiveCapacity kLive{};

const NoteInput kNullCopyNotes[] = {{0, 480, 60, 100}, {0, 1920, 72, 127}, {480, 13, 40, 64}};

std::string Quoted(const char* text)
{
    return text ? std::string("\"") + text + "\"" : "null";
}

// "1 event", "3 events".
std::string Count(long count, const char* thing)
{
    return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

bool Empty(const char* text)
{
    return !text || !*text;
}

void Fail(Probe& probe, CheckId check, const std::string& text)
{
    Record(probe, check, Verdict::kFail, text);
}

// ---- load ----

void CheckLoad(Probe& probe, const Plugin& plugin)
{
    CallSlot& slot = probe.callers[0];
    void* image = dlopen(plugin.Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    ZelCRef<UxFilterAddOn> addOn;
    {
        CallMark call(slot, 0, "make_nth_filter", "index 0");
        addOn = ZelCRef<UxFilterAddOn>(plugin.Entry()(0, image, nullptr));
    }
    if (!addOn) {
        Fail(probe, CheckId::kLoad, "make_nth_filter(0) gave no add-on");
        return;
    }
    {
        CallMark call(slot, 1, "make_nth_filter", "index 1");
        if (ZelCRef<UxFilterAddOn> second(plugin.Entry()(1, image, nullptr)); second)
            Fail(probe, CheckId::kLoad, "make_nth_filter(1) gave an add-on; only index 0 may");
    }
    if (image)
        dlclose(image);
    CallMark call(slot, 2, "the add-on's values", "the add-on of index 0");
    const char* name = addOn->Name();
    const char* className = addOn->ClassName();
    if (Empty(name) || Empty(className) || std::strcmp(name, className) != 0)
        Fail(probe, CheckId::kLoad,
             "Name() gives " + Quoted(name) + " but ClassName() " + Quoted(className)
                 + "; they must be equal and not empty");
    if (Empty(addOn->ShortDescription()))
        Fail(probe, CheckId::kLoad, "ShortDescription() is empty");
    if (Empty(addOn->Author()))
        Fail(probe, CheckId::kLoad, "Author() is empty");
    int32 major = -1;
    int32 minor = -1;
    addOn->GetVersion(&major, &minor);
    if (major < 0 || minor < 0 || addOn->Version() <= 0)
        Fail(probe, CheckId::kLoad,
             "GetVersion() gives " + std::to_string(major) + "." + std::to_string(minor) + " and Version() "
                 + std::to_string(addOn->Version()) + "; each must be set, Version() above 0");
    call.Now("NewInstance");
    UxFilterHolderI holder;
    if (FilterPtr filter(addOn->NewInstance(&holder, nullptr)); !filter)
        Fail(probe, CheckId::kLoad, "NewInstance gave no filter");
    call.Now("Image");
    std::unique_ptr<BBitmap> icon(addOn->Image(BPoint(0, 0)));
    if (!icon)
        Record(probe, CheckId::kLoad, Verdict::kWarn, "Image() gives no icon: hosts show the add-on without one");
    else if (icon->Bounds() != BRect(0, 0, kIconSide - 1, kIconSide - 1))
        Fail(probe, CheckId::kLoad,
             "the icon is " + std::to_string(int(icon->Bounds().Width()) + 1) + " by "
                 + std::to_string(int(icon->Bounds().Height()) + 1) + " pixels, not 20 by 20");
    std::vector<std::string> exports = ExportedSymbols(plugin.Path());
    exports.erase(std::remove(exports.begin(), exports.end(), kMakeNthFilterSymbol), exports.end());
    if (!exports.empty())
        Record(probe, CheckId::kLoad, Verdict::kWarn,
               "the library exports " + Count(static_cast<long>(exports.size()), "name")
                   + " beside make_nth_filter, the first " + exports.front()
                   + ": another plug-in may bind to them (build with ux_add_filter_plugin)");
}

// ---- gate ----

void CheckGate(Probe& probe, const Plugin& plugin)
{
    CallSlot& slot = probe.callers[0];
    const ux_filter_params params;
    UxFilterHolderI holder;
    FilterPtr filter(plugin.AddOn()->NewInstance(&holder, nullptr));
    if (!filter)
        return;  // the load check says so
    {
        CallMark call(slot, 0, "HandleEvent", "a null event");
        if (UxEvent* answer = filter->HandleEvent(nullptr, &params)) {
            Fail(probe, CheckId::kGate, "HandleEvent(null) gave an event, not null");
            UxEvent::DeleteChain(answer);
        }
    }
    int index = 1;
    for (UxEvent* event : OtherEvents()) {
        const std::string what = Describe(*event);
        const EventRecord before = RecordOf(*event);
        CallMark call(slot, index++, "HandleEvent", what);
        UxEvent* answer = filter->HandleEvent(event, &params);
        if (answer != event)
            Fail(probe, CheckId::kGate, "HandleEvent answered " + what + " with another event");
        else if (event->NextEvent())
            Fail(probe, CheckId::kGate, "HandleEvent appended events behind " + what + "; other kinds pass unchanged");
        else if (!(RecordOf(*event) == before))
            Fail(probe, CheckId::kGate, "HandleEvent changed " + what);
        call.Now("deleting the chain");
        UxEvent::DeleteChain(answer);
    }
    FilterPtr unheld(plugin.AddOn()->NewInstance(nullptr, nullptr));
    if (!unheld)
        return;
    const NoteInput input{0, 480, 60, 100};
    const std::string what = Describe(input) + ", to a filter made with a null holder";
    UxEventPool pool(kThreadPool);
    const NoteOutcome outcome = HandleNote(*unheld, input, pool, slot, index, what);
    if (outcome.threw || !outcome.headIsNote || outcome.chain.size() != 1)
        Fail(probe, CheckId::kGate,
             "HandleEvent did not pass " + what + " unchanged: "
                 + (outcome.threw ? "it threw " + outcome.what
                                  : Count(static_cast<long>(outcome.chain.size()), "event") + " came back"));
}

// ---- the notes ----

// Records what one note's outcome shows. At the extremes every fault is an
// extremes finding that names its check.
void Judge(Probe& probe, const Plugin& plugin, const NoteInput& input, const std::string& what,
           const NoteOutcome& outcome, bool extremes)
{
    // At the extremes a fault fails its own check too, so that no line passes what
    // another shows.
    const auto fail = [&](CheckId check, const std::string& text) {
        if (extremes)
            Fail(probe, CheckId::kExtremes, std::string(CheckName(check)) + ": " + text);
        Fail(probe, check, (extremes ? "at the extremes, " : "") + text);
    };
    if (outcome.threw) {
        // Where it was thrown is looked up for the first throw alone: that one stands.
        const bool first = !probe.findings[static_cast<int>(CheckId::kException)].set
            || (extremes && !probe.findings[static_cast<int>(CheckId::kExtremes)].set);
        const std::string where = first ? WhereText(plugin.Path(), outcome.thrownAt) : std::string();
        fail(CheckId::kException, "HandleEvent threw " + outcome.what + where + ", for " + what);
        return;
    }
    if (!outcome.headIsNote)
        fail(CheckId::kHead,
             "HandleEvent answered " + what + " with " + (outcome.chain.empty() ? "null" : "another event")
                 + ", not the note it was given");
    if (outcome.endless) {
        fail(CheckId::kOrder,
             "the chain HandleEvent answered " + what + " with runs into itself: an event was appended twice");
        return;
    }
    const ChainRecord& chain = outcome.chain;
    for (size_t i = 0; i < chain.size(); ++i) {
        const std::string event = "event " + std::to_string(i + 1) + " of the chain for " + what;
        if (chain[i].start < input.start)
            fail(CheckId::kBefore, event + " starts at tick " + std::to_string(chain[i].start) + ", before the note");
        if (i > 0 && chain[i].start < chain[i - 1].start)
            fail(CheckId::kOrder,
                 event + " starts at tick " + std::to_string(chain[i].start) + ", before the one ahead of it at "
                     + std::to_string(chain[i - 1].start));
    }
    if (outcome.leaked > 0)
        fail(CheckId::kLeak,
             "HandleEvent left " + Count(outcome.leaked, "event") + " neither in its chain nor deleted, for " + what);
    else if (outcome.leaked < 0)
        fail(CheckId::kLeak,
             Count(-outcome.leaked, "event") + " more deleted than made (a double delete), for " + what);

    const long appended = chain.empty() ? 0 : static_cast<long>(chain.size()) - 1;
    if (appended > probe.longestChain) {
        probe.longestChain = appended;
        std::snprintf(probe.longestFrom, sizeof probe.longestFrom, "%s", what.c_str());
    }
    if (!MidiCarries(input.pitch, input.velocity))
        return;
    for (size_t i = 1; i < chain.size(); ++i) {
        const auto count = [&](long* counter, char* from) {
            if ((*counter)++ == 0)
                std::snprintf(from, kTextRoom, "%s", what.c_str());
        };
        if (chain[i].pitch > kMaxData)
            count(&probe.highPitches, probe.highPitchFrom);
        if (chain[i].pitch >= 0 && chain[i].velocity == 0)
            count(&probe.silentNotes, probe.silentFrom);
    }
}

void CheckNotes(Probe& probe, const Plugin& plugin, const std::vector<NoteInput>& notes, bool extremes)
{
    UxFilterHolderI holder;
    FilterPtr filter(plugin.AddOn()->NewInstance(&holder, nullptr));
    if (!filter)
        return;
    UxEventPool pool(kNotePool);
    CallSlot& slot = probe.callers[0];
    for (int i = probe.resumeAt.load(); i < static_cast<int>(notes.size()); ++i) {
        const std::string what = Describe(notes[i]);
        const NoteOutcome first = HandleNote(*filter, notes[i], pool, slot, i, what);
        Judge(probe, plugin, notes[i], what, first, extremes);
        if (extremes || first.threw || first.endless)
            continue;
        const NoteOutcome second = HandleNote(*filter, notes[i], pool, slot, i, what + ", handed again");
        const std::string difference = Difference(first.chain, second.chain);
        if (!second.threw && !difference.empty())
            Fail(probe, CheckId::kState,
                 "handed twice in the same clock second, " + what + " gave another chain: " + difference);
    }
}

// ---- null copy ----

void CheckNullCopy(Probe& probe, const Plugin& plugin, long pools)
{
    UxFilterHolderI holder;
    FilterPtr filter(plugin.AddOn()->NewInstance(&holder, nullptr));
    if (!filter)
        return;
    const ux_filter_params params;
    const int notes = static_cast<int>(std::size(kNullCopyNotes));
    for (int i = probe.resumeAt.load(); i < notes * pools; ++i) {
        const size_t free = static_cast<size_t>(i / notes);
        const NoteInput& input = kNullCopyNotes[i % notes];
        const std::string what =
            Describe(input) + ", with " + Count(static_cast<long>(free), "event") + " free in the pool";
        UxEventPool pool(free);
        UxEvent* note = NewNote(input);
        {
            const UxEventPoolScope scope(pool);
            CallMark call(probe.callers[0], i, "HandleEvent", what);
            UxEvent* head = nullptr;
            try {
                head = filter->HandleEvent(note, &params);
            } catch (...) {
                Fail(probe, CheckId::kNullCopy, "HandleEvent threw for " + what);
                continue;
            }
            if (head != note)
                Fail(probe, CheckId::kNullCopy, "HandleEvent answered " + what + " with another event than the note");
            size_t length = 0;
            for (const UxEvent* event = head; event && length <= free + 1; event = event->NextEvent())
                ++length;
            if (length > free + 1) {
                Fail(probe, CheckId::kNullCopy, "the chain for " + what + " runs into itself");
                continue;
            }
            call.Now("deleting the chain");
            UxEvent::DeleteChain(head);
        }
        if (pool.Available() != free)
            Fail(probe, CheckId::kNullCopy,
                 "HandleEvent left " + Count(long(free) - long(pool.Available()), "event")
                     + " neither in its chain nor deleted when Copy() answered null, for " + what);
    }
}

// ---- thread ----

void CheckThreads(Probe& probe, const Plugin& plugin, const std::vector<NoteInput>& notes)
{
    if (probe.resumeAt.load() > 0)
        return;  // a crash or hang ended the first try: that is the finding
    const int count = static_cast<int>(notes.size());
    // Hands every note, from the one at `first` on, to a filter of its own through
    // caller `thread`, and tells `take` each note's index and chain.
    const auto handAll = [&](int thread, int first, const std::string& on, const auto& take) {
        UxFilterHolderI holder;
        FilterPtr filter(plugin.AddOn()->NewInstance(&holder, nullptr));
        UxEventPool pool(kThreadPool);
        for (int j = 0; j < count && filter; ++j) {
            const int i = (j + first) % count;
            const NoteOutcome outcome =
                HandleNote(*filter, notes[i], pool, probe.callers[thread], i, Describe(notes[i]) + on);
            if (!outcome.threw)
                take(i, outcome.chain);
        }
    };
    std::vector<ChainRecord> alone(notes.size());
    handAll(0, 0, "", [&](int i, const ChainRecord& chain) { alone[i] = chain; });
    std::mutex findings;
    const auto compare = [&](int i, const ChainRecord& chain) {
        const std::string difference = Difference(alone[i], chain);
        if (difference.empty())
            return;
        const std::lock_guard<std::mutex> lock(findings);
        Fail(probe, CheckId::kThread,
             "handed on " + std::to_string(kThreads) + " threads at once, " + Describe(notes[i])
                 + " gave another chain than on one thread: " + difference);
    };
    std::vector<std::thread> threads;
    // Each thread starts elsewhere in the notes, so that different notes meet.
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(handAll, t, t * count / kThreads, ", on thread " + std::to_string(t + 1), compare);
    for (std::thread& thread : threads)
        thread.join();
}

// ---- heap, lock, sleep, system call ----

// The check a function the real-time runtime stopped belongs to.
CheckId RealtimeCheckOf(const std::string& function)
{
    static const char* const kHeap[] = {"malloc",        "calloc",         "realloc",  "reallocf", "free",
                                        "aligned_alloc", "posix_memalign", "memalign", "valloc",   "pvalloc"};
    static const char* const kSleep[] = {"nanosleep", "usleep", "sleep", "clock_nanosleep", "sched_yield"};
    for (const char* name : kHeap)
        if (function == name)
            return CheckId::kHeap;
    for (const char* name : kSleep)
        if (function == name)
            return CheckId::kSleep;
    if (function.rfind("pthread_", 0) == 0)
        return CheckId::kLock;
    return CheckId::kSystemCall;
}

// Says, once, that `check` could not judge the input of a call that did not return:
// it neither passes nor fails what it never saw come back.
void CouldNotJudge(Probe& probe, CheckId check, const Fault& fault, const std::string& see)
{
    if (probe.findings[static_cast<int>(check)].set)
        return;
    Record(probe, check, Verdict::kWarn,
           "could not judge " + (fault.inCall ? fault.what : std::string("the rest of its inputs"))
               + ", nor any other input whose call did not return (see " + see + ")");
}

// What the runtime stopped: the function it names, and the frames of its stack.
struct RealtimeReport {
    std::string function;
    std::vector<CodePlace> frames;
};

// Whether `frame` lies in the plug-in's file.
bool InPlugin(const CodePlace& frame, const Plugin& plugin)
{
    const std::string& path = plugin.Path();
    const size_t slash = path.rfind('/');
    const size_t tail = slash == std::string::npos ? 0 : path.size() - slash;  // "/File.so"
    return frame.file == path
        || (tail > 0 && frame.file.size() > tail
            && frame.file.compare(frame.file.size() - tail, tail, path, slash) == 0);
}

// "called malloc in Answer(UxEvent*) at Filter.cpp:12", or "threw an exception (its
// memory comes from the heap) in ..." when the call was a throw's.
std::string RealtimeText(const RealtimeReport& report, const Plugin& plugin)
{
    std::string deed = "called " + report.function;
    CodeStack stack{};
    size_t depth = 0;
    for (const CodePlace& frame : report.frames) {
        if (InPlugin(frame, plugin)) {
            if (depth < stack.size())
                stack[depth++] = frame.address - 1;
        } else if (depth == 0) {
            const std::string function = NameOf({frame.file, frame.address - 1}).function;
            if (function == "__cxa_allocate_exception" || function == "__cxa_throw")
                deed = "threw an exception (a throw takes its memory from the heap)";
        }
    }
    return deed + WhereText(plugin.Path(), stack);
}

// The function named in the runtime's report, or empty.
RealtimeReport ReportedFunction(int fd)
{
    std::string report;
    char buffer[4096];
    ssize_t got = 0;
    for (off_t at = 0; (got = pread(fd, buffer, sizeof buffer, at)) > 0; at += got)
        report.append(buffer, static_cast<size_t>(got));
    if (ftruncate(fd, 0) != 0)
        return {};
    const std::string marker = "real-time unsafe function `";
    const size_t start = report.rfind(marker);
    if (start == std::string::npos)
        return {};
    const size_t from = start + marker.size();
    return {report.substr(from, report.find('`', from) - from), ReportedFrames(report.substr(from))};
}

void CheckRealtime(Probe& probe, const Plugin& plugin, const CheckSettings& settings)
{
    const CheckId checks[] = {CheckId::kHeap, CheckId::kLock, CheckId::kSleep, CheckId::kSystemCall};
    if (settings.realtimeHelper.empty()) {
        for (const CheckId check : checks)
            Record(probe, check, Verdict::kWarn,
                   "not checked: uxhost-rtcheck, which runs filters under the real-time sanitizer, is not "
                   "installed beside uxhost");
        return;
    }
    const int report = memfd_create("uxhost-rtcheck-report", 0);
    const std::string probeFd = std::to_string(probe.memoryFd);
    const std::string clock = std::to_string(settings.clockSecond);
    const std::string seed = std::to_string(settings.inputs.seed);
    Limits limits = settings.limits;
    limits.restarts = 8;  // each finding ends the helper: go on after it to find the others
    RunIsolated(
        probe, limits,
        [&] {
            dup2(report, STDERR_FILENO);
            execl(settings.realtimeHelper.c_str(), settings.realtimeHelper.c_str(), plugin.Path().c_str(),
                  probeFd.c_str(), clock.c_str(), seed.c_str(), settings.inputs.song.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        },
        [&](const Fault& fault) {
            const RealtimeReport found = ReportedFunction(report);
            if (!fault.inCall)
                return false;
            if (found.function.empty()) {
                // The other checks name the fault; these could not judge the input.
                for (const CheckId check : checks)
                    CouldNotJudge(probe, check, fault, "crash, hang");
                return true;
            }
            Fail(probe, RealtimeCheckOf(found.function),
                 fault.function + " " + RealtimeText(found, plugin) + ", for " + fault.what);
            return true;
        });
    close(report);
}

// ---- faults of the children ----

// Where the plug-in's code lies in this process (and so in the children).
PluginImage ImageOf(const Plugin& plugin)
{
    struct Search {
        uintptr_t entry;
        PluginImage image;
    } search{reinterpret_cast<uintptr_t>(plugin.Entry()), {}};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            auto& search = *static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && (segment.p_flags & PF_X) && search.entry >= start
                    && search.entry < start + segment.p_memsz) {
                    search.image = {info->dlpi_addr, start, start + segment.p_memsz};
                    return 1;
                }
            }
            return 0;
        },
        &search);
    return search.image;
}

std::string FaultText(const Fault& fault, const Limits& limits, const Plugin& plugin)
{
    if (fault.stop == Stop::kGroupTime)
        return "the check did not finish within " + std::to_string(limits.groupMs / 1000) + " s"
            + (fault.inCall ? ", in " + fault.function + " for " + fault.what : std::string());
    const std::string where = WhereText(plugin.Path(), fault.where);
    const std::string input = fault.inCall ? where + ", for " + fault.what : ", outside any call into the filter";
    const std::string call = fault.inCall ? fault.function + " " : std::string("the check ");
    const std::string limit = std::to_string(limits.callMs) + " ms";
    switch (fault.stop) {
    case Stop::kProcessor:
        return call + "kept the processor " + limit + " without returning" + input;
    case Stop::kWaiting:
        return call + "did not return within " + std::to_string(limits.callMs * kBlockedFactor)
            + " ms, most of it without the processor" + input;
    case Stop::kAsleep:
        return call + "waited " + limit + " asleep"
            + (fault.systemCall.empty() ? std::string() : " in " + fault.systemCall) + " without returning" + input;
    case Stop::kNone:
    case Stop::kGroupTime:
        break;
    }
    if (fault.threw)
        return call + "threw an exception" + input;
    if (fault.signal)
        return call + "crashed with " + SignalName(fault.signal) + input;
    return call + "ended the process with exit status " + std::to_string(fault.exitStatus) + input;
}

// The check a call that waited asleep belongs to, by what it waited in.
CheckId AsleepCheckOf(const std::string& systemCall)
{
    if (systemCall == "futex")
        return CheckId::kLock;
    const CheckId check = RealtimeCheckOf(systemCall);
    return check == CheckId::kSystemCall && systemCall.empty() ? CheckId::kSleep : check;
}

// A fault fails the check it is (crash, hang, exception, or the sleep, lock or
// system call a call waited in) and the group's own; each other check the group
// feeds could not judge the input, and says so rather than pass.
void RecordFault(Probe& probe, CheckId owner, std::initializer_list<CheckId> fed, const Fault& fault,
                 const Limits& limits, const Plugin& plugin)
{
    const std::string text = FaultText(fault, limits, plugin);
    const CheckId kind = fault.stop == Stop::kAsleep ? AsleepCheckOf(fault.systemCall)
        : fault.Hang()                               ? CheckId::kHang
        : fault.threw                                ? CheckId::kException
                                                     : CheckId::kCrash;
    Fail(probe, kind, text);
    if (owner != kind && owner != CheckId::kCrash)
        Fail(probe, owner, text);
    for (const CheckId check : fed)
        if (check != kind)
            CouldNotJudge(probe, check, fault, CheckName(kind));
}

std::string PassText(CheckId check, const Probe& probe, const CheckSettings& settings, long pools,
                     const NoteParts& parts)
{
    switch (check) {
    case CheckId::kLoad:
        return "make_nth_filter gives the add-on at index 0 alone; its names, texts, version and 20 by 20 "
               "icon are in order, and it exports make_nth_filter alone";
    case CheckId::kGate:
        return "a null event gives null, events of other kinds pass unchanged, and a filter made with a null "
               "holder passes every note";
    case CheckId::kHead:
        return "HandleEvent answered each of " + std::to_string(parts.grid + parts.random + parts.song)
            + " notes (every pitch at " + std::to_string(parts.velocities) + " velocities and "
            + std::to_string(parts.durations) + " durations, " + std::to_string(parts.random) + " random ones of seed "
            + std::to_string(settings.inputs.seed)
            + (parts.song ? ", " + std::to_string(parts.song) + " of the song" : std::string())
            + ") with a chain headed by that note";
    case CheckId::kBefore:
        return "no chain has an event before its note";
    case CheckId::kOrder:
        return "every chain is in time order";
    case CheckId::kLeak:
        return "every copy ended in its chain or was deleted, by the kernel's count of live events";
    case CheckId::kCrash:
        return "no call crashed";
    case CheckId::kNullCopy:
        return "under event pools of 0 to " + std::to_string(pools - 1)
            + " events every chain ended cleanly when Copy() answered null";
    case CheckId::kHeap:
        return "no heap call inside the event pool's scope";
    case CheckId::kLock:
        return "no lock taken inside the event pool's scope";
    case CheckId::kSleep:
        return "no sleep or yield inside the event pool's scope";
    case CheckId::kSystemCall:
        return "no other blocking system call inside the event pool's scope";
    case CheckId::kHang:
        return "every call returned within " + std::to_string(settings.limits.callMs) + " ms";
    case CheckId::kState:
        return "each note handed twice in the same clock second gave the same chain";
    case CheckId::kThread:
        return "the notes handed on " + std::to_string(kThreads) + " threads at once gave the chains of one thread";
    case CheckId::kException:
        return "nothing escaped HandleEvent";
    case CheckId::kExtremes:
        return std::to_string(ExtremeNotes().size())
            + " notes at the extremes (pitches and velocities 0 to 255, durations -1 to the largest time, "
              "starts near 0 and near the end of time) showed none of the faults above";
    case CheckId::kLongChain:
        return "the longest chain has " + Count(probe.longestChain, "note") + " behind its note"
            + (probe.longestChain > 0 ? std::string(" (") + probe.longestFrom + ")" : "")
            + ", within the live adapter's queue of " + std::to_string(kLive.queuedNotes) + " and event pool of "
            + std::to_string(kLive.eventPool);
    case CheckId::kCount:
        break;
    }
    return {};
}

// The warnings drawn from what the note checks counted.
void RecordCounts(Probe& probe)
{
    std::string carried;
    if (probe.highPitches)
        carried =
            std::to_string(probe.highPitches) + " with pitch above 127 (the first from " + probe.highPitchFrom + ")";
    if (probe.silentNotes)
        carried += (carried.empty() ? "" : "; ") + std::to_string(probe.silentNotes)
            + " with velocity 0 (the first from " + probe.silentFrom + ")";
    if (!carried.empty())
        Record(probe, CheckId::kExtremes, Verdict::kWarn,
               "chain notes MIDI cannot carry, from notes it can: " + carried);
    const long limit = static_cast<long>(std::min(kLive.queuedNotes, kLive.eventPool));
    if (probe.longestChain > limit)
        Record(probe, CheckId::kLongChain, Verdict::kWarn,
               "the chain of " + std::string(probe.longestFrom) + " has " + std::to_string(probe.longestChain)
                   + " notes behind it; the live adapter keeps " + std::to_string(kLive.queuedNotes)
                   + " in its queue and copies " + std::to_string(kLive.eventPool)
                   + " from its event pool, and cuts the chain there");
}

}  // namespace

std::vector<CheckLine> CheckPlugin(const Plugin& plugin, const CheckSettings& settings)
{
    NoteParts parts;
    const std::vector<NoteInput> notes = OrdinaryNotes(settings.inputs, &parts);
    SharedProbe shared;
    Probe& probe = *shared;
    probe.image = ImageOf(plugin);
    constexpr int kGroups = 7;
    int groupsDone = 0;
    const auto done = [&] {
        if (settings.progress)
            settings.progress(++groupsDone, kGroups);
    };
    // Each hang costs the call limit of processor time: past a few, a group ends at
    // its first, so that a filter that hangs on many notes is checked in seconds.
    constexpr int kMostHangs = 4;
    int hangs = 0;
    const auto run = [&](CheckId owner, std::initializer_list<CheckId> fed, const std::function<void()>& body) {
        RunIsolated(probe, settings.limits, body, [&](const Fault& fault) {
            RecordFault(probe, owner, fed, fault, settings.limits, plugin);
            return !fault.Hang() || ++hangs < kMostHangs;
        });
        done();
    };
    // The checks the note groups judge by what comes back.
    const auto noteChecks = {CheckId::kHead, CheckId::kBefore, CheckId::kOrder,
                             CheckId::kLeak, CheckId::kState,  CheckId::kException};
    run(CheckId::kLoad, {}, [&] { CheckLoad(probe, plugin); });
    run(CheckId::kGate, {}, [&] { CheckGate(probe, plugin); });
    run(CheckId::kCrash, noteChecks, [&] { CheckNotes(probe, plugin, notes, false); });
    run(CheckId::kExtremes, noteChecks, [&] { CheckNotes(probe, plugin, ExtremeNotes(), true); });
    const long pools = std::min(probe.longestChain + 2, kMostNullCopyPool);
    run(CheckId::kNullCopy, {}, [&] { CheckNullCopy(probe, plugin, pools); });
    run(CheckId::kThread, {}, [&] { CheckThreads(probe, plugin, notes); });
    CheckRealtime(probe, plugin, settings);
    done();
    RecordCounts(probe);

    std::vector<CheckLine> lines;
    for (int i = 0; i < kCheckCount; ++i) {
        const auto check = static_cast<CheckId>(i);
        const SharedFinding& finding = probe.findings[i];
        lines.push_back(finding.set ? CheckLine{finding.verdict, check, finding.text}
                                    : CheckLine{Verdict::kPass, check, PassText(check, probe, settings, pools, parts)});
    }
    return lines;
}
