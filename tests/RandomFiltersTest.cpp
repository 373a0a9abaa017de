// What both random filters share: the process-wide generator reseeded for each
// note, and chains that end where time ends.
#include "RandomSourceSupport.h"

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
        {kUxMaxTime, 480, 0},
        {kUxMaxTime - 479, 480, 0},
        {kUxMaxTime - 480, 480, 1},
        {kUxMaxTime - 1000, 480, 2},
        {0, kUxMaxTime, 1},
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

INSTANTIATE_TEST_SUITE_P(BothRandomFilters, RandomFilterTest, testing::Values("FractalDrift", "BetaFade"),
                         [](const testing::TestParamInfo<const char*>& info) { return info.param; });

}  // namespace
