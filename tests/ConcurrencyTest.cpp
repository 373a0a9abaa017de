// Filters used from several host threads at once. Run under ThreadSanitizer in CI.
#include "TestSupport.h"

#include <thread>

namespace {

constexpr int kThreads = 4;
constexpr int kNotesPerThread = 2000;

// Threads share one add-on; each makes and destroys its own filters, so the
// add-on's reference count is taken and released concurrently.
TEST(Concurrency, DissolveFiltersOnManyThreads)
{
    std::unique_ptr<Plugin> plugin = Plugin::Load(AddOnPath("Dissolve"));
    UxFilterAddOn* addOn = plugin->AddOn();
    const int32 held = addOn->CountReferences();

    std::vector<std::thread> threads;
    std::vector<int> badChains(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([addOn, &badChains, t] {
            TestHolder holder;
            const ux_filter_params params;
            for (int i = 0; i < kNotesPerThread; ++i) {
                FilterPtr filter(addOn->NewInstance(&holder, nullptr));
                UxChainPtr chain(filter->HandleEvent(new UxNoteOn(i, 480, 60, 100), &params));
                int notes = 0;
                for (const UxEvent* event = chain.get(); event; event = event->NextEvent())
                    ++notes;
                badChains[t] += notes != 11;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(badChains[t], 0) << "thread " << t;
    EXPECT_EQ(addOn->CountReferences(), held);
}

}  // namespace
