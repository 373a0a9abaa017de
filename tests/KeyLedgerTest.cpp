// The one-note-per-key rule: who keeps a key when notes meet on it.
#include <gtest/gtest.h>

#include <KeyLedger.h>

namespace {

constexpr NoteOrigin P = NoteOrigin::kPlayed;
constexpr NoteOrigin M = NoteOrigin::kMade;

struct Case {
    const char* name;
    // The note holding the key, then the note struck on it.
    int64_t heldStart, heldEnd;
    NoteOrigin heldOrigin;
    int64_t start, end;
    NoteOrigin origin;
    bool sounds;
    bool displaced;
    int64_t displacedAt;
};

const Case kCases[] = {
    {"played cuts played", 0, 100, P, 50, 150, P, true, true, 50},
    {"played cuts made", 0, 100, M, 50, 150, P, true, true, 50},
    {"made gives way to played", 0, 100, P, 50, 150, M, false, false, 0},
    {"made gives way to a held live note", 0, KeyLedger::kOpenEnd, P, 50, 60, M, false, false, 0},
    {"made cuts made", 0, 100, M, 50, 150, M, true, true, 50},
    {"played wins on one tick", 10, 100, M, 10, 20, P, true, true, 10},
    {"made gives way on one tick", 10, 100, P, 10, 200, M, false, false, 0},
    {"second played on one tick gives way", 10, 100, P, 10, 50, P, false, false, 0},
    {"second made on one tick gives way", 10, 100, M, 10, 50, M, false, false, 0},
    {"made after a played note ended", 0, 100, P, 100, 150, M, true, true, 100},
    {"made after a made note ended", 0, 40, M, 100, 150, M, true, true, 40},
};

// A case with its times moved by `base`, in a ledger of `Time`.
template <class Time>
void Judge(const Case& c, Time base)
{
    using Ledger = BasicKeyLedger<Time>;
    const auto time = [base](int64_t tick) {
        return tick == KeyLedger::kOpenEnd ? Ledger::kOpenEnd : static_cast<Time>(base + tick);
    };
    Ledger ledger;
    const int key = Ledger::KeyIndex(9, 60);
    ASSERT_TRUE(ledger.StrikeNote(key, time(c.heldStart), time(c.heldEnd), c.heldOrigin, 1).sounds);
    const typename Ledger::Strike strike = ledger.StrikeNote(key, time(c.start), time(c.end), c.origin, 2);
    EXPECT_EQ(strike.sounds, c.sounds);
    EXPECT_EQ(strike.displaced, c.displaced);
    if (c.displaced) {
        EXPECT_EQ(strike.displacedId, 1u);
        EXPECT_EQ(strike.displacedStart, time(c.heldStart));
        EXPECT_EQ(strike.displacedAt, time(c.displacedAt));
    }
    // Only the note that holds the key at its end is due a note-off, once.
    const uint64_t holder = c.sounds ? 2 : 1;
    EXPECT_FALSE(ledger.Release(key, 3 - holder));
    EXPECT_TRUE(ledger.Release(key, holder));
    EXPECT_FALSE(ledger.Release(key, holder));
}

// Each case in ticks, and in a live host's frames kept by their low 32 bits, read
// round, with the count about to wrap.
TEST(KeyLedger, WhoKeepsTheKey)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.name);
        Judge<int64_t>(c, 0);
        Judge<uint32_t>(c, 0xFFFFFFC0u);
    }
}

TEST(KeyLedger, ReleasesAChannelAndNoOther)
{
    KeyLedger ledger;
    for (const uint8_t channel : {0, 1})
        for (const uint8_t pitch : {60, 64, 127})
            ledger.StrikeNote(KeyLedger::KeyIndex(channel, pitch), 0, KeyLedger::kOpenEnd, P, channel * 1000 + pitch);
    std::vector<uint64_t> released;
    ledger.ReleaseChannel(1, [&](int key, uint64_t id) {
        EXPECT_EQ(KeyLedger::ChannelOf(key), 1);
        released.push_back(id);
    });
    EXPECT_EQ(released, (std::vector<uint64_t>{1060, 1064, 1127}));
    uint64_t id = 0;
    EXPECT_FALSE(ledger.Holder(KeyLedger::KeyIndex(1, 60), &id));
    EXPECT_TRUE(ledger.Holder(KeyLedger::KeyIndex(0, 127), &id));
    EXPECT_EQ(id, 127u);
}

}  // namespace
