// Filters used from several host threads at once. Run under ThreadSanitizer in CI.
#include "RandomSourceSupport.h"

#include <atomic>
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

// Both random filters draw from the one generator of the process. Notes handled on
// many threads at once, by both plug-ins, each get exactly the chain they get alone
// in the same second: no seeding or draw of another note comes between theirs.
TEST(Concurrency, RandomFiltersGiveEveryNoteItsOwnSequence)
{
    constexpr int kPitches = 128;
    constexpr int kRandomNotesPerThread = 3000;
    const char* const fileStems[] = {"FractalDrift", "BetaFade"};
    std::vector<std::unique_ptr<LoadedFilter>> filters;
    std::vector<std::unique_ptr<RandomSourceOverride>> sameSecond;
    for (const char* fileStem : fileStems) {
        filters.push_back(std::make_unique<LoadedFilter>(fileStem));
        sameSecond.push_back(std::make_unique<RandomSourceOverride>(fileStem, &drand48));
    }

    // What each pitch gets alone, from each filter.
    std::vector<std::vector<int>> alone[2];
    for (size_t f = 0; f < filters.size(); ++f)
        for (int pitch = 0; pitch < kPitches; ++pitch)
            alone[f].push_back(AppendedPitches(filters[f]->Handle(new UxNoteOn(0, 480, uchar(pitch), 100)).get()));

    // The threads start together, so that their notes overlap.
    std::atomic<int> waiting{kThreads};
    std::vector<std::thread> threads;
    std::vector<int> wrongChains(kThreads, 0);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&filters, &alone, &wrongChains, &waiting, t] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0)
                std::this_thread::yield();
            for (int i = 0; i < kRandomNotesPerThread; ++i) {
                const size_t f = static_cast<size_t>(i + t) % 2;
                const int pitch = (t * 37 + i * 11) % kPitches;
                UxChainPtr chain = filters[f]->Handle(new UxNoteOn(i, 480, uchar(pitch), 100));
                wrongChains[t] += AppendedPitches(chain.get()) != alone[f][pitch];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(wrongChains[t], 0) << "thread " << t;
}

}  // namespace
