// Fractal Drift's note chain, loaded as the host loads it, with its clock and draws
// fixed where a test needs exact pitches.
#include "RandomSourceSupport.h"

namespace {

constexpr size_t kSteps = 20;

class FractalDriftTest : public testing::Test {
protected:
    std::vector<const UxNoteOn*> Run(UxNoteOn* note)
    {
        mChain = mLoaded.Handle(note);
        EXPECT_EQ(mChain.get(), note) << "the incoming note heads the chain";
        return NotesOf(mChain.get());
    }

    LoadedFilter mLoaded{"FractalDrift"};
    UxChainPtr mChain;
};

// Seeded with the clock reading 1000000000, pitch 60 drifts the same way every time;
// four of its steps need one retry each.
TEST_F(FractalDriftTest, WorkedChainFromAKnownSecond)
{
    RandomSourceOverride random(&TestRandom::CountedDraw);
    Run(new UxNoteOn(0, 480, 60, 100));
    EXPECT_EQ(AppendedPitches(mChain.get()),
              (std::vector<int>{102, 86, 63, 64, 56, 64, 57, 69, 52, 88, 56, 79, 57, 86, 114, 66, 61, 95, 79, 117}));
    EXPECT_EQ(TestRandom::draws, 24);
    EXPECT_EQ(TestRandom::clockReads, 1);
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
    for (const int pitch : {0, 1, 60, 127, 128, 214}) {
        SCOPED_TRACE(testing::Message() << "pitch " << pitch);
        CopyScript script;
        const std::vector<const UxNoteOn*> notes =
            Run(new ScriptedNote(&script, 77, 480, static_cast<uchar>(pitch), 99));
        ASSERT_EQ(notes.size(), kSteps + 1);
        EXPECT_EQ(script.copiesMade, static_cast<int>(kSteps));
        EXPECT_EQ(script.alive, static_cast<int>(kSteps) + 1) << "no copy was deleted";
        EXPECT_EQ(notes[0]->StartTime(), 77);
        EXPECT_EQ(notes[0]->Duration(), 480);
        EXPECT_EQ(notes[0]->Note(), pitch);
        EXPECT_EQ(notes[0]->Velocity(), 99);
        for (size_t k = 1; k < notes.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "note " << k);
            EXPECT_EQ(notes[k]->Duration(), 480);
            EXPECT_EQ(notes[k]->Velocity(), 99);
            EXPECT_GE(notes[k]->Note(), 1);
            EXPECT_LE(notes[k]->Note(), 128);
        }
        ExpectBackToBack(notes);
        mChain.reset();
        EXPECT_EQ(script.alive, 0);
    }
}

// A note without duration comes back alone, but still reseeds the generator.
TEST_F(FractalDriftTest, NoteWithoutDurationComesBackAloneAndReseeds)
{
    for (const UxTime duration : {UxTime(0), UxTime(-1), INT64_MIN}) {
        SCOPED_TRACE(duration);
        RandomSourceOverride random(&TestRandom::CountedDraw);
        CopyScript script;
        Run(new ScriptedNote(&script, 0, duration, 60, 100));
        EXPECT_EQ(mChain->NextEvent(), nullptr);
        EXPECT_EQ(script.copiesMade, 1);
        EXPECT_EQ(script.alive, 1) << "the copy made for it was released";
        EXPECT_EQ(TestRandom::clockReads, 1);
        EXPECT_EQ(TestRandom::draws, 0);
        mChain.reset();
    }
}

// When the host cannot copy after step k, the chain keeps k notes, the generator
// was still reseeded, and every copy that is not in the chain was released.
TEST_F(FractalDriftTest, CopyFailureEndsTheChainWithWhatItHas)
{
    for (const auto failure : {CopyScript::Failure::kNull, CopyScript::Failure::kNonNote}) {
        for (int copies = 0; copies <= 21; ++copies) {
            SCOPED_TRACE(testing::Message() << "copies before failing " << copies << " non-note "
                                            << (failure == CopyScript::Failure::kNonNote));
            RandomSourceOverride random(&TestRandom::CountedDraw);
            CopyScript script;
            script.copiesLeft = copies;
            script.failure = failure;
            const std::vector<const UxNoteOn*> notes = Run(new ScriptedNote(&script, 0, 480, 60, 100));
            const size_t steps = std::min(static_cast<size_t>(copies), kSteps);
            EXPECT_EQ(notes.size(), steps + 1);
            EXPECT_EQ(script.alive, static_cast<int>(notes.size()));
            EXPECT_EQ(TestRandom::clockReads, 1);
            mChain.reset();
            EXPECT_EQ(script.alive, 0);
        }
    }
}

}  // namespace
