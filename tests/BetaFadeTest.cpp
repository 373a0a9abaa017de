// Beta Fade's note chain, loaded as the host loads it, with its clock and draws fixed
// where a test needs exact pitches.
#include "RandomSourceSupport.h"

#include <cmath>

namespace {

constexpr size_t kChainLength = 10;

class BetaFadeTest : public RandomChainTest {
protected:
    BetaFadeTest() : RandomChainTest("BetaFade") {}
};

// Seeded with the clock reading 1000000000, pitch 60 decays the same way every
// time. Its draws differ from step to step, so this checks which draw goes to
// which step.
TEST_F(BetaFadeTest, WorkedChainFromAKnownSecond)
{
    ExpectWorkedChain({39, 26, 17, 11, 7, 4, 2, 1, 0, 0}, static_cast<int>(kChainLength));
}

// Every chain lies between the chain of draws all 0 and that of draws all just
// below 1. A single-precision decay factor would turn 60 into 38, not 39; and
// arithmetic in single precision would turn 127 with the draw 0.592157 (which
// lifts 0.65 x 127 = 82.55 to just above 83) into 82.
TEST_F(BetaFadeTest, PitchesLieBetweenTheBoundsOfTheirDraws)
{
    const double lowest = 0.0;
    const double highest = std::nextafter(1.0, 0.0);
    struct Case {
        int pitch;
        double draw;
        std::vector<int> pitches;
    } const cases[] = {
        {127, lowest, {82, 53, 34, 22, 14, 9, 5, 3, 1, 0}},
        {127, highest, {83, 54, 35, 23, 15, 10, 7, 5, 4, 3}},
        {60, lowest, {39, 25, 16, 10, 6, 3, 1, 0, 0, 0}},
        {60, highest, {39, 26, 17, 11, 7, 5, 4, 3, 2, 2}},
        {1, lowest, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {1, highest, {1, 1, 1, 1, 1, 1, 1, 1, 1, 1}},
        {0, lowest, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {0, highest, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {255, highest, {166, 108, 70, 46, 30, 20, 13, 9, 6, 4}},
        {127, 0.592157, {83, 54, 35, 23, 15, 10, 6, 4, 3, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pitch " << c.pitch << " draw " << c.draw);
        RandomSourceOverride random(&TestRandom::ScriptedDraw);
        TestRandom::script = {c.draw};
        Run(new UxNoteOn(0, 480, static_cast<uchar>(c.pitch), 100));
        EXPECT_EQ(AppendedPitches(mChain.get()), c.pitches);
        EXPECT_EQ(TestRandom::draws, static_cast<int>(kChainLength));
        EXPECT_EQ(TestRandom::clockReads, 1);
    }
}

// Whatever the generator gives: ten notes back to back, each with the incoming
// note's duration, velocity and channel, pitches that never rise and that fall
// while they are 3 or more, and the incoming note untouched.
TEST_F(BetaFadeTest, ChainHasTenFallingNotesBackToBack)
{
    ExpectFullChains({0, 1, 2, 3, 60, 127, 255}, kChainLength, [](int previous, int pitch) {
        EXPECT_LE(pitch, previous);
        if (previous >= 3) {
            EXPECT_LT(pitch, previous);
        }
    });
}

// A note without duration comes back alone and leaves the generator as it was.
TEST_F(BetaFadeTest, NoteWithoutDurationComesBackAloneWithoutReseeding)
{
    ExpectNoteWithoutDurationAlone(0);
}

// When the host cannot copy after step k, the chain keeps k notes and k values were
// drawn; every copy that is not in the chain was released.
TEST_F(BetaFadeTest, CopyFailureEndsTheChainWithWhatItHas)
{
    ExpectCopyFailureKeepsWhatTheChainHas<CountedDraws>(kChainLength, [](size_t copies, size_t steps) {
        EXPECT_EQ(TestRandom::draws, static_cast<int>(steps));
        EXPECT_EQ(TestRandom::clockReads, copies > 0 ? 1 : 0);
    });
}

}  // namespace
