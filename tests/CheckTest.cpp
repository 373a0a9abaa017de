// uxhost check names the fault of each faulty filter with the word of its check,
// passes the kit's filters, and refuses what is no plug-in.
#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <sstream>
#include <string>

#include "RunCommand.h"

namespace {

Output Check(const std::string& plugin)
{
    return RunCommand(std::string(UXHOST_PATH) + " check '" + plugin + "' 2>&1");
}

std::string Faulty(const char* name)
{
    return std::string(UX_FAULTY_DIR) + "/" + name + ".so";
}

TEST(Check, NamesTheFaultOfEachFaultyFilter)
{
    const struct {
        std::string plugin;
        const char* line;  // a line of the report starts with it
        const char* says;  // and goes on to say this, or one of the texts between '|'
        int exitCode;
    } cases[] = {
        {Faulty("BadNames"), "FAIL load ", "ClassName()", 1},
        {Faulty("GateLeaks"), "FAIL gate ", "appended events behind the control change", 1},
        {Faulty("ReturnsCopy"), "FAIL head ", "another event, not the note", 1},
        {std::string(UX_TEST_BINARY_DIR) + "/EarlyEcho.so", "FAIL before ", "before the note", 1},
        {Faulty("Backwards"), "FAIL order ", "event 3 of the chain", 1},
        {Faulty("LeaksCopy"), "FAIL leak ", "left 1 event neither in its chain nor deleted", 1},
        {Faulty("DeletesAppended"), "FAIL crash ", "crashed with SIGSEGV", 1},
        {Faulty("UncheckedCopy"), "FAIL null copy ", "with 0 events free in the pool", 1},
        {Faulty("Allocates"), "FAIL heap ", "HandleEvent called malloc in Answer at Allocates.cpp:", 1},
        {Faulty("TakesLock"), "FAIL lock ", "HandleEvent called pthread_mutex_lock in Answer at TakesLock.cpp:", 1},
        {Faulty("Sleeps"), "FAIL sleep ", "HandleEvent called usleep in", 1},
        {Faulty("WritesLog"), "FAIL system call ", "HandleEvent called write in", 1},
        // The spin calls into the kernel for the event's type: where it is caught
        // depends on the build's inlining, but it is the filter's own code.
        {Faulty("HangsOnLong"), "FAIL hang ", "kept the processor 100 ms without returning in ", 1},
        {Faulty("HangsOnLong"), "FAIL hang ", " at HangsOnLong.cpp:| at Faulty.h:", 1},
        // Faults on one pitch class and one range of velocity or duration.
        {Faulty("ThrowsOnSoftFSharp"), "FAIL exception ",
         "threw \"too soft\" in (anonymous namespace)::FaultyFilter::HandleEvent(UxEvent*, ux_filter_params "
         "const*) at ThrowsOnSoftFSharp.cpp:",
         1},
        {Faulty("ThrowsOnSoftFSharp"), "FAIL heap ", "threw an exception (a throw", 1},
        // A crash, or under the sanitizers a hang while they report it.
        {Faulty("ReadsNullOnLongE"), "FAIL thread ", "for the note of pitch 4, velocity 1, duration 960", 1},
        {Faulty("ReadsNullOnLongE"), "WARN head ", "could not judge the note of pitch 4,", 1},
        {Faulty("SleepsOnAFlat"), "FAIL sleep ",
         "waited 100 ms asleep in clock_nanosleep without returning in (anonymous namespace)::FaultyFilter::"
         "HandleEvent(UxEvent*, ux_filter_params const*) at SleepsOnAFlat.cpp:",
         1},
        {Faulty("SpinsOnLoudB"), "FAIL hang ", "at SpinsOnLoudB.cpp:", 1},
        {Faulty("SpinsOnLoudB"), "WARN state ", "could not judge the note of pitch 11, velocity 100", 1},
        {Faulty("Counts"), "FAIL state ", "gave another chain: event 1 has pitch", 1},
        {Faulty("SharedScratch"), "FAIL thread ", "than on one thread", 1},
        {Faulty("Throws"), "FAIL exception ", "threw \"no echo today\"", 1},
        {Faulty("WrapsTime"), "FAIL extremes ", "before: ", 1},
        {Faulty("WrapsTime"), "FAIL before ", "at the extremes, ", 1},
        {Faulty("LongChain"), "WARN long chain ", "has 4200 notes behind it", 0},
        {"Dissolve", "PASS long chain ", "the longest chain has 10 notes", 0},
        {"Fractal Drift", "PASS thread ", "the chains of one thread", 0},
        {"Beta Fade", "PASS heap ", "no heap call", 0},
        {std::string(UX_TEST_BINARY_DIR) + "/NotAFilter.so", "uxhost: ", "not a filter plug-in", 2},
    };
    std::map<std::string, Output> runs;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        // Sanitizer builds have no real-time helper: those checks warn instead.
        const bool realtime = std::string(c.line).find("heap") != std::string::npos
            || std::string(c.line).find("lock") != std::string::npos
            || std::string(c.line).find("sleep") != std::string::npos
            || std::string(c.line).find("system call") != std::string::npos;
        if (realtime && !UX_HAS_REALTIME_HELPER)
            continue;
        // A plug-in of several rows is checked once.
        if (runs.count(c.plugin) == 0)
            runs[c.plugin] = Check(c.plugin);
        const Output& run = runs[c.plugin];
        EXPECT_EQ(run.status, c.exitCode) << run.text;
        const std::string text = "\n" + run.text;
        const size_t at = text.find(std::string("\n") + c.line);
        ASSERT_NE(at, std::string::npos) << run.text;
        const std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
        bool says = false;
        std::istringstream texts(c.says);
        for (std::string alternative; std::getline(texts, alternative, '|');)
            says = says || line.find(alternative) != std::string::npos;
        EXPECT_TRUE(says) << c.says << "\n" << line;
        // The sound filters pass every check.
        if (c.exitCode == 0 && c.plugin.find('/') == std::string::npos) {
            EXPECT_EQ(run.text.find("\nFAIL"), std::string::npos) << run.text;
        }
    }
}

}  // namespace

// The options that choose the inputs and where the results go: each row one run.
TEST(Check, TakesItsInputsAndWritesJunit)
{
    const std::string dir = testing::TempDir() + "check-options";
    RunCommand("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
    // One note: pitch 60, velocity 100, from tick 20 to 30.
    RunCommand(
        "printf "
        "'MThd\\0\\0\\0\\6\\0\\0\\0\\1\\1\\340MTrk\\0\\0\\0\\14\\24\\220\\74\\144\\12\\200\\74\\100\\0\\377\\57\\0' >'"
        + dir + "/song.mid' && printf 'MThd' >'" + dir + "/bad.mid'");
    const std::string throws = Faulty("Throws");
    const struct {
        std::string options;
        int exitCode;
        const char* says;  // in standard output and error
        const char* file;  // the JUnit file, when it must hold this; null: none written
    } cases[] = {
        {"'" + throws + "' --seed 7", 1, "random ones of seed 7)", nullptr},
        {"Dissolve --song '" + dir + "/song.mid'", 0, " random ones of seed 1, 1 of the song)", nullptr},
        {"Dissolve --song '" + dir + "/bad.mid'", 2, "bad.mid: ", nullptr},
        {"'" + throws + "' --junit '" + dir + "/out.xml'", 1, "FAIL exception",
         "<testcase classname=\"Throws\" name=\"exception\">\n      <failure message=\"HandleEvent threw "
         "&quot;no echo today&quot;"},
        {"'" + throws + "' --junit '" + throws + "'", 2, "cannot write: it is the same file as", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        RunCommand("rm -f '" + dir + "/out.xml'");
        const Output run = RunCommand(std::string(UXHOST_PATH) + " check " + c.options + " 2>&1");
        EXPECT_EQ(run.status, c.exitCode) << run.text;
        EXPECT_NE(run.text.find(c.says), std::string::npos) << run.text;
        const Output file = RunCommand("cat '" + dir + "/out.xml' 2>/dev/null");
        if (c.file)
            EXPECT_NE(file.text.find(c.file), std::string::npos) << file.text;
        else
            EXPECT_TRUE(file.text.empty()) << file.text;
    }
}

// A child of uxhost check ends when uxhost is killed, by any signal, mid-check.
TEST(Check, ChildrenEndWithUxhost)
{
    const Output run = RunCommand(
        "sh -c '" + std::string(UXHOST_PATH) + " check " + Faulty("SpinsOnLoudB")
        + " >/dev/null 2>&1 & p=$!; sleep 1; c=$(cat /proc/$p/task/*/children); kill -KILL $p; sleep 0.5;"
          " echo children: $c; for x in $c; do grep -qs \"^$x ([^)]*) [RSD]\" /proc/$x/stat && echo alive $x; done'");
    EXPECT_TRUE(run.text.size() > 10 && std::isdigit(static_cast<unsigned char>(run.text[10]))) << run.text;
    EXPECT_EQ(run.text.find("alive"), std::string::npos) << run.text;
}
