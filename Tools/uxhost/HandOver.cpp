#include "HandOver.h"

#include <signal.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include "OutputFile.h"

namespace {

// What is being handed over; `plugin` is null between calls. Written by the thread
// that runs the filters, read by the handler on that same thread: the handler runs
// in place of the filter's next instruction, so plain stores are seen.
struct HandedOver {
    const char* plugin = nullptr;
    uint32_t track = 0;
    int64_t tick = 0;
    int note = -1;  // none: the event is no note
};
HandedOver gHandedOver;

// A line of at most kSize bytes, built without allocating: what a signal handler
// may do.
class FixedLine {
public:
    static constexpr size_t kSize = 1024;

    FixedLine& operator<<(const char* text)
    {
        while (*text && mLength < kSize)
            mText[mLength++] = *text++;
        return *this;
    }
    FixedLine& operator<<(int64_t number)
    {
        char digits[24];
        int count = 0;
        const bool negative = number < 0;
        uint64_t rest = negative ? 0 - static_cast<uint64_t>(number) : static_cast<uint64_t>(number);
        do {
            digits[count++] = static_cast<char>('0' + rest % 10);
            rest /= 10;
        } while (rest);
        if (negative)
            digits[count++] = '-';
        while (count > 0 && mLength < kSize)
            mText[mLength++] = digits[--count];
        return *this;
    }
    const char* Text() const { return mText; }
    size_t Length() const { return mLength; }

private:
    char mText[kSize];
    size_t mLength = 0;
};

void AppendPlace(FixedLine& line, const HandedOver& record)
{
    line << "on track " << static_cast<int64_t>(record.track) + 1 << ", tick " << record.tick;
    if (record.note >= 0)
        line << ", note " << static_cast<int64_t>(record.note);
    else
        line << ", an event other than a note";
}

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

const char* CrashWords(int signal)
{
    switch (signal) {
    case SIGSEGV:
        return "a bad memory access or a stack overflow";
    case SIGBUS:
        return "a bus error";
    case SIGFPE:
        return "an arithmetic fault";
    case SIGILL:
        return "an illegal instruction";
    case SIGABRT:
        return "it aborted";
    default:
        return "a signal";
    }
}

// Room for the handler when the stack it would run on has overflowed.
constexpr size_t kHandlerStackSize = 64 * 1024;
alignas(16) char gHandlerStack[kHandlerStackSize];

// Says what crashed, removes the temporary files and lets the signal end the
// process: its action is back to the default (SA_RESETHAND), so a fault strikes
// again when the instruction runs again, and a raised signal, blocked while this
// runs, once it returns.
extern "C" void SayCrashAndEnd(int signal)
{
    FixedLine line;
    if (isatty(STDERR_FILENO))
        line << "\r\033[K";  // over a progress line
    const HandedOver record = gHandedOver;
    if (record.plugin) {
        line << "uxhost: " << record.plugin << ": the filter crashed (" << CrashWords(signal) << ") ";
        AppendPlace(line, record);
    } else {
        line << "uxhost: internal failure: crashed (" << CrashWords(signal) << ")";
    }
    line << "\n";
    if (write(STDERR_FILENO, line.Text(), line.Length()) < 0) {
        // Nowhere else to say it.
    }
    RemoveTemporaryFiles();
    raise(signal);
}

}  // namespace

HandingOver::HandingOver(const char* plugin, uint32_t track, const UxEvent& event)
{
    gHandedOver.track = track;
    gHandedOver.tick = event.StartTime();
    gHandedOver.note = event.Type() == kUxNoteOnType ? static_cast<const UxNoteOn&>(event).Note() : -1;
    gHandedOver.plugin = plugin;
}

HandingOver::~HandingOver()
{
    gHandedOver.plugin = nullptr;
}

std::string HandingOver::Place() const
{
    FixedLine line;
    AppendPlace(line, gHandedOver);
    return std::string(line.Text(), line.Length());
}

void CatchFilterCrashes()
{
    static std::once_flag installed;
    std::call_once(installed, [] {
        stack_t stack{};
        stack.ss_sp = gHandlerStack;
        stack.ss_size = sizeof gHandlerStack;
        sigaltstack(&stack, nullptr);
        struct sigaction action {};
        action.sa_handler = SayCrashAndEnd;
        action.sa_flags = SA_ONSTACK | SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (const int signal : kCrashSignals)
            sigaction(signal, &action, nullptr);
    });
}
