// Filters used from several host threads at once. Run under ThreadSanitizer in CI.
#include "RandomSourceSupport.h"

#include <atomic>
#include <cstdlib>
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
            UxFilterHolderI holder;
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
    for (const char* fileStem : fileStems)
        filters.push_back(std::make_unique<LoadedFilter>(fileStem));
    const RandomSourceOverride sameSecond(&TestRandom::LibraryDraw);

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

// Eight host threads share all three plug-ins, loaded into one process, and each
// runs its notes through all of them; every chain must have its filter's shape.
// UX_STRESS_NOTES sets the notes per thread: the stress run takes 100,000.
TEST(Stress, AllFiltersOnEightThreads)
{
    constexpr int kStressThreads = 8;
    const char* const notesSetting = std::getenv("UX_STRESS_NOTES");
    const int notesPerThread = notesSetting ? std::atoi(notesSetting) : 1000;

    struct Shape {
        const char* fileStem;
        size_t minNotes, maxNotes;  // in the chain, the incoming note included
        bool echoesShorten;         // each note lasts three quarters of the one before
    } const shapes[] = {
        {"Dissolve", 11, 11, true},
        {"FractalDrift", 21, 21, false},
        {"BetaFade", 11, 11, false},
    };
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (const Shape& shape : shapes)
        plugins.push_back(Plugin::Load(AddOnPath(shape.fileStem)));

    std::vector<int> wrongChains(kStressThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kStressThreads; ++t) {
        threads.emplace_back([&, t] {
            UxFilterHolderI holder;
            const ux_filter_params params;
            std::vector<FilterPtr> filters;
            for (const auto& plugin : plugins)
                filters.emplace_back(plugin->AddOn()->NewInstance(&holder, nullptr));
            for (int i = 0; i < notesPerThread; ++i) {
                const size_t f = static_cast<size_t>(i + t) % filters.size();
                const UxTime start = UxTime(i) * 10000;
                const UxTime duration = 480 + (i % 7) * 120;
                UxChainPtr chain(
                    filters[f]->HandleEvent(new UxNoteOn(start, duration, uchar(36 + (i + t) % 60), 100), &params));
                const std::vector<const UxNoteOn*> notes = NotesOf(chain.get());
                bool right = notes.size() >= shapes[f].minNotes && notes.size() <= shapes[f].maxNotes;
                for (size_t k = 1; right && k < notes.size(); ++k) {
                    right = notes[k]->StartTime() == notes[k - 1]->EndTime() + 1
                        && notes[k]->Duration()
                            == (shapes[f].echoesShorten ? notes[k - 1]->Duration() * 3 / 4 : duration);
                }
                wrongChains[t] += !right;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kStressThreads; ++t)
        EXPECT_EQ(wrongChains[t], 0) << "thread " << t;
}

}  // namespace
