// What the tests of the random filters share: the plug-ins' random source made to
// read a fixed clock and to draw scripted or counted values.
#pragma once

#include <algorithm>
#include <ctime>
#include <vector>

#include "TestSupport.h"

// The clock and the generator as the plug-ins see them. The test program defines
// `time` and `drand48` itself (RandomSourceSupport.cpp) and every plug-in it loads
// binds to those first. Outside a RandomSourceOverride they are the C library's;
// inside one the clock always reads the same second, and the draws count
// themselves and either come from the generator or follow a script (whose last
// value repeats). The tests that use it run one note at a time, or only read it.
struct TestRandom {
    static inline time_t second = 1000000000;
    static inline int clockReads = 0;
    static inline int draws = 0;
    static inline std::vector<double> script;
    // What `time` and `drand48` answer while an override is in place.
    static inline time_t (*clock)(time_t*) = nullptr;
    static inline double (*draw)() = nullptr;

    // The C library's own functions.
    static time_t LibraryClock(time_t* stored);
    static double LibraryDraw();

    static time_t Clock(time_t*)
    {
        ++clockReads;
        return second;
    }
    static double CountedDraw()
    {
        ++draws;
        return LibraryDraw();
    }
    static double ScriptedDraw()
    {
        const size_t index = static_cast<size_t>(draws++);
        return script.empty() ? 0.0 : script[std::min(index, script.size() - 1)];
    }
    // A draw that becomes the whole number `r` once scaled by 100 and truncated.
    static double ForWhole(int r) { return (r + 0.5) / 100.0; }

    static void Reset()
    {
        second = 1000000000;
        clockReads = 0;
        draws = 0;
        script.clear();
    }
};

// Fixes the clock at TestRandom::second and routes the draws through `draw` for
// the lifetime of the object, for every plug-in in the process.
class RandomSourceOverride {
public:
    explicit RandomSourceOverride(double (*draw)())
    {
        TestRandom::Reset();
        __atomic_store_n(&TestRandom::draw, draw, __ATOMIC_RELEASE);
        __atomic_store_n(&TestRandom::clock, &TestRandom::Clock, __ATOMIC_RELEASE);
    }
    ~RandomSourceOverride()
    {
        __atomic_store_n(&TestRandom::clock, nullptr, __ATOMIC_RELEASE);
        __atomic_store_n(&TestRandom::draw, nullptr, __ATOMIC_RELEASE);
    }

    RandomSourceOverride(const RandomSourceOverride&) = delete;
    RandomSourceOverride& operator=(const RandomSourceOverride&) = delete;
};

// The pitches of a chain's appended notes, in order.
inline std::vector<int> AppendedPitches(const UxEvent* head)
{
    std::vector<int> pitches;
    const std::vector<const UxNoteOn*> notes = NotesOf(head);
    for (size_t i = 1; i < notes.size(); ++i)
        pitches.push_back(notes[i]->Note());
    return pitches;
}

// Counted draws from the generator, with the clock fixed, while it lives.
struct CountedDraws : RandomSourceOverride {
    CountedDraws() : RandomSourceOverride(&TestRandom::CountedDraw) {}
};

// A random filter's chains, with the draws of its notes counted.
class RandomChainTest : public ChainTest {
protected:
    using ChainTest::ChainTest;

    // Seeded with the clock reading 1000000000, a note of pitch 60 comes back the
    // same way every time: with `pitches` appended, after `draws` draws.
    void ExpectWorkedChain(const std::vector<int>& pitches, int draws)
    {
        const CountedDraws random;
        Run(new UxNoteOn(0, 480, 60, 100));
        EXPECT_EQ(AppendedPitches(mChain.get()), pitches);
        EXPECT_EQ(TestRandom::draws, draws);
        EXPECT_EQ(TestRandom::clockReads, 1);
    }

    // A note without duration comes back alone and draws nothing; the filter reads
    // the clock `clockReads` times for it.
    void ExpectNoteWithoutDurationAlone(int clockReads)
    {
        for (const UxTime duration : {UxTime(0), UxTime(-1), INT64_MIN}) {
            SCOPED_TRACE(duration);
            const CountedDraws random;
            CopyScript script;
            Run(new ScriptedNote(&script, 0, duration, 60, 100));
            EXPECT_EQ(mChain->NextEvent(), nullptr);
            EXPECT_EQ(script.copiesMade, 1);
            EXPECT_EQ(script.alive, 1) << "the copy made for it was released";
            EXPECT_EQ(TestRandom::clockReads, clockReads);
            EXPECT_EQ(TestRandom::draws, 0);
            mChain.reset();
        }
    }
};
