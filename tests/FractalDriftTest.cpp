// Fractal Drift's note chain, loaded as the host loads it, with its clock and draws
// fixed where a test needs exact pitches.
#include "RandomSourceSupport.h"

namespace {

constexpr size_t kSteps = 20;

class FractalDriftTest : public RandomChainTest {
protected:
    FractalDriftTest() : RandomChainTest("FractalDrift") {}
};

// Seeded with the clock reading 1000000000, pitch 60 drifts the same way every time;
// four of its steps need one retry each.
TEST_F(FractalDriftTest, WorkedChainFromAKnownSecond)
{
    ExpectWorkedChain({102, 86, 63, 64, 56, 64, 57, 69, 52, 88, 56, 79, 57, 86, 114, 66, 61, 95, 79, 117}, 24);
}

// One step from an incoming pitch s: a draw r is accepted when the integer part of
// 0.6 s + 0.8 r lies in 1..128. A rejected attempt is retried from the seed note,
// here with r = 50.
TEST_F(FractalDriftTest, AttemptsAreAcceptedExactlyWithin1To128)
{
    struct Case {
        int s, r;
        int pitch;
        int draws;
    } const cases[] = {
        {60, 50, 76, 1},  {95, 89, 128, 1},  {95, 90, 97, 2},    // 129.0 rejected
        {95, 88, 127, 1}, {127, 65, 128, 1}, {127, 66, 116, 2},  // 129.0 rejected
        {0, 1, 40, 2},                                           // 0.8 rejected: pitch 0 needs r of 2 or more
        {0, 2, 1, 1},     {1, 0, 40, 2},                         // 0.6 rejected
        {12, 1, 7, 1},                                           // 8 comes out just below 8 in double precision
        {128, 0, 76, 1},  {214, 0, 128, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "s " << c.s << " r " << c.r);
        RandomSourceOverride random(&TestRandom::ScriptedDraw);
        TestRandom::script = {TestRandom::ForWhole(c.r), TestRandom::ForWhole(50)};
        CopyScript script;
        script.copiesLeft = 1;  // one step only
        Run(new ScriptedNote(&script, 0, 480, static_cast<uchar>(c.s), 100));
        EXPECT_EQ(AppendedPitches(mChain.get()), std::vector<int>{c.pitch});
        EXPECT_EQ(TestRandom::draws, c.draws);
        mChain.reset();  // its notes count themselves in this round's script
    }
}

// A step gives up after 1000 rejected attempts: the chain keeps the notes it has and
// the copy for that step is released. Seed notes of 215 and above accept no draw.
TEST_F(FractalDriftTest, StepWithoutAcceptedAttemptEndsTheChain)
{
    struct Case {
        const char* what;
        int pitch;
        std::vector<double> draws;
        std::vector<int> pitches;
        int drawsTaken;
    } const cases[] = {
        {"seed note 215", 215, {0.0}, {}, 1000},
        {"seed note 255", 255, {0.0}, {}, 1000},
        {"seed note 127, only high draws", 127, {0.999}, {}, 1000},
        {"second step rejected throughout", 127, {0.5, 0.999}, {116}, 1001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        RandomSourceOverride random(&TestRandom::ScriptedDraw);
        TestRandom::script = c.draws;
        CopyScript script;
        Run(new ScriptedNote(&script, 0, 480, static_cast<uchar>(c.pitch), 100));
        EXPECT_EQ(AppendedPitches(mChain.get()), c.pitches);
        EXPECT_EQ(TestRandom::draws, c.drawsTaken);
        EXPECT_EQ(script.alive, static_cast<int>(c.pitches.size()) + 1) << "the unused copy was released";
        mChain.reset();
    }
}

// Whatever the generator gives: twenty notes back to back, each with the incoming
// note's duration, velocity and channel and a pitch in 1..128, and the incoming
// note untouched.
TEST_F(FractalDriftTest, ChainHasTwentyNotesBackToBack)
{
    ExpectFullChains({0, 1, 60, 127, 128, 214}, kSteps, [](int, int pitch) {
        EXPECT_GE(pitch, 1);
        EXPECT_LE(pitch, 128);
    });
}

// A note without duration comes back alone, but still reseeds the generator.
TEST_F(FractalDriftTest, NoteWithoutDurationComesBackAloneAndReseeds)
{
    ExpectNoteWithoutDurationAlone(1);
}

// When the host cannot copy after step k, the chain keeps k notes, the generator
// was still reseeded, and every copy that is not in the chain was released.
TEST_F(FractalDriftTest, CopyFailureEndsTheChainWithWhatItHas)
{
    ExpectCopyFailureKeepsWhatTheChainHas<CountedDraws>(kSteps,
                                                        [](size_t, size_t) { EXPECT_EQ(TestRandom::clockReads, 1); });
}

}  // namespace
