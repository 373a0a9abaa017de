// Dissolve's echo chain, loaded as the host loads it.
#include "TestSupport.h"

namespace {

__extension__ typedef __int128 Int128;  // wide enough for 3 times any duration

// Runs one note through Dissolve and hands back the notes of its chain.
class DissolveTest : public ChainTest {
protected:
    DissolveTest() : ChainTest("Dissolve") {}
};

TEST_F(DissolveTest, EchoDurationsFollowTheIncomingDuration)
{
    struct Case {
        UxTime duration;
        std::vector<UxTime> echoes;
    } const cases[] = {
        {1920, {1440, 1080, 810, 607, 455, 341, 255, 191, 143, 107}},
        {960, {720, 540, 405, 303, 227, 170, 127, 95, 71, 53}},
        {480, {360, 270, 202, 151, 113, 84, 63, 47, 35, 26}},
        {120, {90, 67, 50, 37, 27, 20, 15, 11, 8, 6}},
        {100, {75, 56, 42, 31, 23, 17, 12, 9, 6}},
        {28, {21, 15, 11, 8, 6, 4, 3, 2, 1}},
        {27, {20, 15, 11, 8, 6, 4, 3, 2, 1, 0}},
        {14, {10, 7, 5, 3, 2, 1, 0}},
        {13, {9, 6, 4, 3, 2, 1, 0}},
        {2, {1, 0}},
        {1, {0}},
        {0, {}},
        {-1, {}},
        {-480, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "duration " << c.duration);
        const std::vector<const UxNoteOn*> notes = Run(new UxNoteOn(1000, c.duration, 60, 100, 5));
        ASSERT_EQ(notes.size(), c.echoes.size() + 1);
        EXPECT_EQ(notes[0]->Duration(), c.duration);
        for (size_t k = 1; k < notes.size(); ++k) {
            SCOPED_TRACE(testing::Message() << "echo " << k);
            EXPECT_EQ(notes[k]->Duration(), c.echoes[k - 1]);
            EXPECT_EQ(notes[k]->Note(), 60 - static_cast<int>(k));
            EXPECT_EQ(notes[k]->Channel(), 5);
        }
        ExpectBackToBack(notes);
    }
}

TEST_F(DissolveTest, EchoVelocitiesFadeByFourFifths)
{
    struct Case {
        uchar velocity;
        std::vector<int> echoes;
    } const cases[] = {
        {100, {80, 64, 51, 40, 32, 25, 20, 16, 12, 9}},
        {127, {101, 80, 64, 51, 40, 32, 25, 20, 16, 12}},
        {1, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {0, {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "velocity " << int(c.velocity));
        const std::vector<const UxNoteOn*> notes = Run(new UxNoteOn(0, 480, 60, c.velocity));
        ASSERT_EQ(notes.size(), 11u) << "the velocity never shortens the chain";
        for (size_t k = 1; k < notes.size(); ++k)
            EXPECT_EQ(notes[k]->Velocity(), c.echoes[k - 1]) << "echo " << k;
    }
}

TEST_F(DissolveTest, EveryVelocityFadesToItsFourFifthsRoundedDown)
{
    for (int velocity = 0; velocity < 256; ++velocity) {
        const std::vector<const UxNoteOn*> notes = Run(new UxNoteOn(0, 480, 60, static_cast<uchar>(velocity)));
        ASSERT_EQ(notes.size(), 11u);
        EXPECT_EQ(notes[1]->Velocity(), 4 * velocity / 5) << "velocity " << velocity;
    }
}

TEST_F(DissolveTest, IncomingNoteIsLeftAsItCame)
{
    const std::vector<const UxNoteOn*> notes = Run(new UxNoteOn(77, 480, 60, 100, 3));
    EXPECT_EQ(notes[0]->StartTime(), 77);
    EXPECT_EQ(notes[0]->Duration(), 480);
    EXPECT_EQ(notes[0]->Note(), 60);
    EXPECT_EQ(notes[0]->Velocity(), 100);
    EXPECT_EQ(notes[0]->Channel(), 3);
}

// Echoes stop at the lowest key instead of wrapping round to 255.
TEST_F(DissolveTest, EchoesNeverGoBelowTheLowestKey)
{
    struct Case {
        uchar pitch;
        std::vector<int> echoes;
    } const cases[] = {
        {5, {4, 3, 2, 1, 0}},
        {1, {0}},
        {0, {}},
        {10, {9, 8, 7, 6, 5, 4, 3, 2, 1, 0}},
        {255, {254, 253, 252, 251, 250, 249, 248, 247, 246, 245}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "pitch " << int(c.pitch));
        CopyScript script;
        const std::vector<const UxNoteOn*> notes = Run(new ScriptedNote(&script, 0, 480, c.pitch, 100));
        std::vector<int> echoes;
        for (size_t k = 1; k < notes.size(); ++k)
            echoes.push_back(notes[k]->Note());
        EXPECT_EQ(echoes, c.echoes);
        mChain.reset();
        EXPECT_EQ(script.alive, 0) << "the unused copy was released";
    }
}

// Echoes stop once no later tick exists; nothing overflows on the way.
TEST_F(DissolveTest, EchoesStopAtTheEndOfTime)
{
    struct Case {
        UxTime start, duration;
        size_t echoes;
    } const cases[] = {
        {kUxMaxTime, 480, 0},
        {kUxMaxTime - 479, 480, 0},
        {kUxMaxTime - 480, 480, 1},
        {kUxMaxTime - 1000, 480, 2},
        {kUxMaxTime - (UxTime(1) << 40), kUxMaxTime, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "start " << c.start << " duration " << c.duration);
        CopyScript script;
        const std::vector<const UxNoteOn*> notes = Run(new ScriptedNote(&script, c.start, c.duration, 60, 100));
        EXPECT_EQ(notes.size(), c.echoes + 1);
        ExpectBackToBack(notes);
        mChain.reset();
        EXPECT_EQ(script.alive, 0);
    }
}

// Each echo lasts exactly the integer part of three quarters of the note before it,
// up to the longest duration there is.
TEST_F(DissolveTest, EchoDurationsAreExactForLongNotes)
{
    struct Case {
        UxTime duration;
        size_t echoes;  // very long notes run out of time before ten echoes
    } const cases[] = {
        {UxTime(1) << 40, 10}, {(UxTime(1) << 53) + 1, 10}, {(UxTime(1) << 62) + 3, 10}, {kUxMaxTime - 1, 2},
        {kUxMaxTime, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "duration " << c.duration);
        const std::vector<const UxNoteOn*> notes = Run(new UxNoteOn(INT64_MIN, c.duration, 60, 100));
        ASSERT_EQ(notes.size(), c.echoes + 1);
        for (size_t k = 1; k < notes.size(); ++k) {
            const Int128 expected = Int128(notes[k - 1]->Duration()) * 3 / 4;
            EXPECT_EQ(notes[k]->Duration(), static_cast<UxTime>(expected)) << "echo " << k;
        }
        ExpectBackToBack(notes);
    }
}

// When the host cannot copy, the chain keeps the echoes made so far, and every copy
// that did not become an echo is released.
TEST_F(DissolveTest, CopyFailureEndsTheChainWithWhatItHas)
{
    ExpectCopyFailureKeepsWhatTheChainHas(10, [](size_t, size_t) {});
}

TEST_F(DissolveTest, NoteWithoutDurationComesBackAlone)
{
    for (const UxTime duration : {UxTime(0), UxTime(-1), UxTime(-480), INT64_MIN}) {
        SCOPED_TRACE(duration);
        CopyScript script;
        const std::vector<const UxNoteOn*> notes = Run(new ScriptedNote(&script, 0, duration, 60, 100));
        EXPECT_EQ(notes.size(), 1u);
        EXPECT_EQ(script.copiesMade, 0) << "no copy is made only to be released";
        EXPECT_EQ(script.alive, 1);
        mChain.reset();
    }
}

}  // namespace
