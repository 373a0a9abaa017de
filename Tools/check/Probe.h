// What a check's child process shares with uxhost while it runs, and the running
// of children with time limits.
//
// Each group of checks runs in a child process, so that a crash or a hang in a
// filter is a finding and never the end of the run. The child marks every call it
// makes into the filter in a CallSlot of the shared Probe (which input, which
// function, since when) and writes its findings there as it goes. The parent
// watches the slots: a call that does not return within the bound is a hang, a
// child that dies of a signal is a crash, and either way the input in progress is
// known. Then a new child resumes the group after that input.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "Where.h"

enum class CheckId : int {
    kLoad,
    kGate,
    kHead,
    kBefore,
    kOrder,
    kLeak,
    kCrash,
    kNullCopy,
    kHeap,
    kLock,
    kSleep,
    kSystemCall,
    kHang,
    kState,
    kThread,
    kException,
    kExtremes,
    kLongChain,
    kCount
};
constexpr int kCheckCount = static_cast<int>(CheckId::kCount);

// The word that names a check in the report.
const char* CheckName(CheckId check);

enum class Verdict : int { kPass, kWarn, kFail };

constexpr int kMaxCallers = 8;  // threads calling at once, in the thread check
constexpr size_t kTextRoom = 512;

// One thread's call into the filter, as the parent sees it.
struct CallSlot {
    std::atomic<int64_t> startNs;  // monotonic start of the call in progress; 0: none
    int64_t startCpuNs;            // the thread's processor time then
    int thread;                    // the calling thread's id
    int input;                     // its index in the group's inputs
    char function[40];             // what was called
    char what[kTextRoom];          // the input, in words
    // Where in the plug-in the calling thread was when it crashed, threw or was
    // stopped: addresses relative to the plug-in's load address, innermost first
    // (CodeStack); where[0] is written last, and 0 while unknown.
    std::atomic<uint64_t> where[kStackDepth];
};

// What `slot` has noted of where its thread was.
inline CodeStack PlacesOf(const CallSlot& slot)
{
    CodeStack stack{};
    for (size_t i = 0; i < stack.size(); ++i)
        stack[i] = slot.where[i].load(std::memory_order_acquire);
    return stack;
}

// Where the plug-in's code lies in the checking process (and in its children, made
// by fork), so that a child can tell the plug-in's frames of its stack from others.
struct PluginImage {
    uintptr_t base = 0;  // the load address that the plug-in file's addresses are relative to
    uintptr_t start = 0;
    uintptr_t end = 0;  // the executable code's addresses, end excluded
    bool Holds(uintptr_t address) const { return address >= start && address < end; }
};

struct SharedFinding {
    Verdict verdict;
    bool set;
    char text[kTextRoom];
};

struct Probe {
    PluginImage image;
    CallSlot callers[kMaxCallers];
    std::atomic<int> resumeAt;  // the input a new child of the group starts with
    SharedFinding findings[kCheckCount];
    // What the note checks saw, for the long chain and extremes lines.
    long longestChain;  // notes appended behind one incoming note
    char longestFrom[kTextRoom];
    long highPitches;  // appended notes MIDI cannot carry
    char highPitchFrom[kTextRoom];
    long silentNotes;  // appended notes of velocity 0
    char silentFrom[kTextRoom];
    int memoryFd;  // the Probe's memory, for a helper executable to map
};

// A Probe in memory shared with child processes (and, through memoryFd, with a
// helper they execute); unmapped when destroyed.
class SharedProbe {
public:
    SharedProbe();
    ~SharedProbe();
    SharedProbe(const SharedProbe&) = delete;
    SharedProbe& operator=(const SharedProbe&) = delete;

    Probe& operator*() const { return *mProbe; }

    // Maps the Probe of another process's SharedProbe from its memoryFd.
    static Probe* Map(int fd);

private:
    Probe* mProbe;
};

// Records a finding: the first FAIL of a check stands; WARNs add up until one comes.
void Record(Probe& probe, CheckId check, Verdict verdict, const std::string& text);

// Marks one call into the filter in `slot` for as long as it lives.
class CallMark {
public:
    CallMark(CallSlot& slot, int input, const char* function, const std::string& what);
    ~CallMark();
    CallMark(const CallMark&) = delete;
    CallMark& operator=(const CallMark&) = delete;

    // The call goes on in another function (releasing the chain, say).
    void Now(const char* function);

private:
    CallSlot& mSlot;
};

// A call hangs when it has kept the processor for callMs, or has gone without it
// for kBlockedFactor times as long: on a busy machine a call may wait for the
// processor far longer than it runs. A call that has waited callMs asleep (in a
// sleep, a lock or another blocking system call) is stopped then, and named for
// the system call it waits in.
constexpr int64_t kBlockedFactor = 10;

struct Limits {
    int64_t callMs = 100;     // one call into the filter
    int64_t groupMs = 30000;  // a whole group, restarts included
    int restarts = 4;         // new children after a crash or hang
};

// Why the parent stopped a child.
enum class Stop {
    kNone,       // it ended by itself
    kProcessor,  // a call kept the processor for callMs
    kWaiting,    // a call went without the processor kBlockedFactor times as long
    kAsleep,     // a call waited callMs asleep, in `systemCall`
    kGroupTime,  // the group ran out of time
};

// How a child ended, when it did not finish its group.
struct Fault {
    Stop stop;   // kNone: a crash, an escaped exception or an exit
    bool threw;  // an exception escaped the call
    int signal;  // the crash's signal, or 0 for an exit status
    int exitStatus;
    bool inCall;  // a call was in progress: `function` and `what` name it
    std::string function;
    std::string what;
    CodeStack where{};       // where in the plug-in the call was (CallSlot::where)
    std::string systemCall;  // what a sleeping call waited in ("nanosleep")
    bool Hang() const { return stop != Stop::kNone; }
};

// "SIGSEGV (segmentation fault)".
std::string SignalName(int signal);

// Runs `body` in a child process until it finishes its group, within `limits`.
// `body` starts from probe.resumeAt. For each crash or hang, `onFault` is told, and
// when it answers true a new child resumes after the input in progress; without
// an input in progress, the group ends.
// `body` returns normally when done (its child exits with 0).
void RunIsolated(Probe& probe, const Limits& limits, const std::function<void()>& body,
                 const std::function<bool(const Fault&)>& onFault);
