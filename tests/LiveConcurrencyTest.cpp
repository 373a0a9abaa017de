// A live adapter's reporting thread reads what the live core lost while the audio
// thread plays; ThreadSanitizer, which CI runs this under, names any data race.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include <LiveFilter.h>
#include <PluginLoader.h>

namespace {

class TakesAll : public MidiSink {
public:
    bool Write(uint32_t, const uint8_t*, uint32_t) override { return true; }
};

// Every note's chain throws: 1,000 faults, each counted, and what the filter said
// reaches the other thread once at least, whole.
TEST(Concurrency, LiveFaultsAndDropsAreReadFromAnotherThread)
{
    const std::unique_ptr<Plugin> plugin = Plugin::Load(UX_THROWING_PATH);
    UxFilterHolderI holder;
    LiveFilter live(std::unique_ptr<UxFilterI>(plugin->AddOn()->NewInstance(&holder, nullptr)));
    std::atomic<bool> done{false};
    int faultsTaken = 0;
    std::string said;
    std::thread reporter([&] {
        char text[160];
        uint64_t chains = 0;
        for (bool last = false; !last;) {
            last = done.load();  // one more look once the cycles are over
            if (live.TakeFault(text, sizeof text)) {
                ++faultsTaken;
                said = text;
            }
            const uint64_t now = live.DroppedSoFar().chains;
            EXPECT_GE(now, chains);
            chains = now;
            std::this_thread::yield();
        }
    });
    TakesAll sink;
    for (int cycle = 0; cycle < 2000; ++cycle) {
        live.BeginCycle(64, &sink);
        const uint8_t note[] = {static_cast<uint8_t>(cycle % 2 ? 0x80 : 0x90), 60, 100};
        live.Input(0, note, sizeof note);
        live.EndCycle();
    }
    done = true;
    reporter.join();
    EXPECT_GT(faultsTaken, 0);
    EXPECT_EQ(said, "no chain for this note");
    EXPECT_EQ(live.DroppedSoFar().chains, 1000u);
}

}  // namespace
