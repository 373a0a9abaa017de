// What a live host's audio thread relies on: events from a fixed pool, and filters
// that then make no heap call and take no mutex.
#include <UxEventPool.h>

#include <functional>
#include <mutex>
#include <thread>

#include "CallCounter.h"
#include "TestSupport.h"

namespace {

// A kind of event too large for a pool slot.
class LargeEvent : public UxEvent {
public:
    LargeEvent() : UxEvent(0, 0, 0) {}
    int32 Type() const override { return kUxMidiMessageType + 1; }
    UxEvent* Copy() const override { return new (std::nothrow) LargeEvent(*this); }

private:
    unsigned char mPayload[256] = {};
};

TEST(EventPool, MakesEveryKernelKindUntilItIsEmpty)
{
    const UxNoteOn note(0, 480, 60, 100);
    const UxControlChange controller(0, 7, 100);
    const UxProgramChange program(0, 5);
    const UxPitchBend bend(0, -8192);
    const UxMidiMessage message(0, {0xF0, 0x7E, 0xF7});
    struct Case {
        const char* what;
        size_t capacity;
        std::function<UxEvent*()> make;
        bool made;
    } const cases[] = {
        {"copy of a note", 1, [&] { return note.Copy(); }, true},
        {"copy of a controller", 1, [&] { return controller.Copy(); }, true},
        {"copy of a program change", 1, [&] { return program.Copy(); }, true},
        {"copy of a pitch bend", 1, [&] { return bend.Copy(); }, true},
        {"new (nothrow) note", 1, [] { return new (std::nothrow) UxNoteOn(0, 1, 60, 1); }, true},
        {"copy of a note, pool empty", 0, [&] { return note.Copy(); }, false},
        {"new (nothrow) note, pool empty", 0, [] { return new (std::nothrow) UxNoteOn(0, 1, 60, 1); }, false},
        {"copy of a MIDI message, whose bytes need the heap", 1, [&] { return message.Copy(); }, false},
        {"new (nothrow) of a kind larger than a slot", 1, [] { return new (std::nothrow) LargeEvent; }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        UxEventPool pool(c.capacity);
        UxChainPtr event;
        {
            const UxEventPoolScope scope(pool);
            event.reset(c.make());
            if (c.capacity == 0) {
                EXPECT_THROW(UxChainPtr(new UxNoteOn(0, 1, 60, 1)), std::bad_alloc);
            }
        }
        EXPECT_EQ(event != nullptr, c.made);
        EXPECT_EQ(pool.Available(), c.capacity - (c.made ? 1 : 0));
        event.reset();  // outside the scope: back to the pool all the same
        EXPECT_EQ(pool.Available(), c.capacity);
    }
    // Without a scope the heap serves: the message's copy is made.
    EXPECT_NE(UxChainPtr(message.Copy()), nullptr);
}

TEST(EventPool, InnermostScopeServesAndClosingRestoresTheOuter)
{
    UxEventPool outer(4), inner(4);
    UxChainPtr fromHeap(new UxNoteOn(0, 1, 60, 1));
    {
        const UxEventPoolScope outerScope(outer);
        UxChainPtr first(new UxNoteOn(0, 1, 60, 1));
        {
            const UxEventPoolScope innerScope(inner);
            first->AppendEvent(first->Copy());
            fromHeap.reset();  // a heap event released inside a scope goes back to the heap
        }
        first->AppendEvent(first->Copy());
        EXPECT_EQ(outer.Available(), 2u);
        EXPECT_EQ(inner.Available(), 3u);
    }
    EXPECT_EQ(outer.Available(), 4u);
    EXPECT_EQ(inner.Available(), 4u);
}

TEST(EventPool, EventsOutlivingTheirPoolStaySound)
{
    UxEvent* survivor = nullptr;
    {
        UxEventPool pool(2);
        const UxEventPoolScope scope(pool);
        survivor = new UxNoteOn(0, 1, 60, 1);
    }
    survivor->Delete();  // frees the pool's memory: the leak checkers see to it
}

// Every example filter, handed many notes at once from a pool on a thread that never
// used one before: no heap call, no mutex, every chain whole. A pool too small ends
// each chain early, cleanly: the chain keeps its head and all it holds goes back.
TEST(Realtime, FiltersInAPoolScopeNeitherAllocateNorLock)
{
    constexpr int kRounds = 20;
    struct Case {
        const char* fileStem;
        size_t poolSlots;
        int notesAtOnce;
        size_t chainLength;  // the incoming note included
    } const cases[] = {
        {"Dissolve", 2000, 150, 11}, {"FractalDrift", 4000, 150, 21}, {"BetaFade", 2000, 150, 11},
        {"Dissolve", 1, 1, 1},       {"FractalDrift", 7, 1, 7},       {"BetaFade", 4, 1, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.fileStem << ", " << c.poolSlots << " slots");
        LoadedFilter loaded(c.fileStem);
        UxEventPool pool(c.poolSlots);
        std::vector<UxEvent*> notes(c.notesAtOnce), chains(c.notesAtOnce);
        CallCounts counts;
        int wrongChains = 0;
        std::thread audio([&] {
            const CallCounter counter;
            {
                const UxEventPoolScope scope(pool);
                for (int round = 0; round < kRounds; ++round) {
                    for (int i = 0; i < c.notesAtOnce; ++i) {
                        const auto pitch = static_cast<uchar>(40 + (round + i) % 60);
                        notes[i] = new (std::nothrow) UxNoteOn(i * 10, 480, pitch, 100);
                        chains[i] = loaded.filter->HandleEvent(notes[i], &loaded.params);
                    }
                    for (int i = 0; i < c.notesAtOnce; ++i) {
                        size_t length = 0;
                        for (const UxEvent* event = chains[i]; event; event = event->NextEvent())
                            ++length;
                        wrongChains += !notes[i] || chains[i] != notes[i] || length != c.chainLength;
                        UxEvent::DeleteChain(chains[i]);
                    }
                }
            }
            counts = counter.Counts();
        });
        audio.join();
        if (CallCounter::SeesHeapCalls()) {
            EXPECT_EQ(counts.HeapCalls(), 0) << counts;
        }
        EXPECT_EQ(counts.mutexLocks, 0) << counts;
        EXPECT_EQ(wrongChains, 0);
        EXPECT_EQ(pool.Available(), c.poolSlots);
    }
}

// The counter sees what it must, or its zeros above would prove nothing.
TEST(Realtime, CallCounterCountsHeapCallsAndLocks)
{
    if (!CallCounter::SeesHeapCalls())
        GTEST_SKIP() << "the heap functions are replaced ahead of the counter (valgrind)";
    const CallCounter counter;
    void* volatile block = std::malloc(16);
    std::free(block);
    std::make_unique<std::vector<int>>(100);
    std::mutex mutex;
    mutex.lock();
    mutex.unlock();
    const CallCounts counts = counter.Counts();
    EXPECT_GE(counts.mallocs, 1) << counts;
    EXPECT_GE(counts.frees, 1) << counts;
    EXPECT_GE(counts.news, 2) << counts;
    EXPECT_GE(counts.deletes, 2) << counts;
    EXPECT_EQ(counts.mutexLocks, 1) << counts;
}

}  // namespace
