// What both random filters share: the process-wide generator reseeded for each
// note, and chains that end where time ends.
#include "RandomSourceSupport.h"

#include <RandomSequence.h>
#include <UxEventPool.h>

#include <cstdlib>

namespace {

class RandomFilterTest : public testing::TestWithParam<const char*> {
protected:
    LoadedFilter mLoaded{GetParam()};
};

// Notes begun in the same second with the same pitch get the same chain, even when
// something else drew from the generator in between: each note reseeds it.
TEST_P(RandomFilterTest, SameSecondAndPitchGiveTheSameChain)
{
    RandomSourceOverride random(&TestRandom::CountedDraw);
    const std::vector<int> first = AppendedPitches(mLoaded.Handle(new UxNoteOn(0, 480, 100, 100)).get());
    drand48();
    const std::vector<int> second = AppendedPitches(mLoaded.Handle(new UxNoteOn(9000, 240, 100, 50)).get());
    EXPECT_EQ(first, second);
    EXPECT_FALSE(first.empty());
}

// No note is placed after the last tick there is: the chain ends there, and the
// copy made for the next note is released.
TEST_P(RandomFilterTest, ChainStopsAtTheEndOfTime)
{
    struct Case {
        UxTime start, duration;
        size_t notes;
    } const cases[] = {
        {kUxMaxTime, 480, 0},        {kUxMaxTime - 479, 480, 0}, {kUxMaxTime - 480, 480, 1},
        {kUxMaxTime - 1000, 480, 2}, {0, kUxMaxTime, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " duration " << c.duration);
        CopyScript script;
        UxChainPtr chain = mLoaded.Handle(new ScriptedNote(&script, c.start, c.duration, 60, 100));
        const std::vector<const UxNoteOn*> notes = NotesOf(chain.get());
        EXPECT_EQ(notes.size(), c.notes + 1);
        ExpectBackToBack(notes);
        chain.reset();
        EXPECT_EQ(script.alive, 0);
    }
}

// In a live host's audio thread (a pool scope open) a note never waits for the
// sequence: when it is taken, the note draws from its own generator seeded the same
// way, gets the chain it gets uncontended, and leaves the shared generator alone.
TEST_P(RandomFilterTest, ContendedLiveNoteDrawsItsOwnSequence)
{
    RandomSourceOverride random(&TestRandom::CountedDraw);
    UxEventPool pool(64);
    const UxEventPoolScope scope(pool);
    const std::vector<int> alone = AppendedPitches(mLoaded.Handle(new UxNoteOn(0, 480, 70, 100)).get());
    srand48(42);
    const double next = drand48();
    srand48(42);
    RandomSequenceLock().lock();  // as another thread would hold it
    const std::vector<int> contended = AppendedPitches(mLoaded.Handle(new UxNoteOn(0, 480, 70, 100)).get());
    RandomSequenceLock().unlock();
    EXPECT_EQ(contended, alone);
    EXPECT_FALSE(alone.empty());
    EXPECT_EQ(drand48(), next);
}

INSTANTIATE_TEST_SUITE_P(BothRandomFilters, RandomFilterTest, testing::Values("FractalDrift", "BetaFade"),
                         [](const testing::TestParamInfo<const char*>& info) { return info.param; });

}  // namespace
