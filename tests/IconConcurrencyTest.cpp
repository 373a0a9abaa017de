// The one-time fill of a library's resource set when several threads ask for the
// icon at once. Run under ThreadSanitizer in CI.
#include "IconTestSupport.h"

#include <atomic>
#include <stdexcept>
#include <thread>

namespace {

// The fill hook: tells the test that the fill has begun, then waits until the
// test lets it go on, or fail.
std::atomic<bool> gFillStarted{false};
std::atomic<bool> gFillReleased{false};
std::atomic<bool> gFillFails{false};

void HoldFill()
{
    gFillStarted = true;
    while (!gFillReleased)
        std::this_thread::yield();
    if (gFillFails)
        throw std::runtime_error("fill failed");
}

class IconFill : public testing::Test {
protected:
    void SetUp() override
    {
        gFillStarted = false;
        gFillReleased = false;
        gFillFails = false;
        loaded = std::make_unique<SeamedPlugin>(folder.Add("Dissolve", ReadBytes(SeamedAddOnPath("Dissolve"))));
        loaded->seam->beforeFill = &HoldFill;
    }

    // Starts the filler, then a second first caller, and waits until the second
    // is sleeping on the claimed fill.
    void StartBothCallers(std::thread* filler, std::thread* waiter, std::atomic<bool>* waiterDone,
                          std::unique_ptr<BBitmap>* waiterIcon, std::exception_ptr* fillerError)
    {
        *filler = std::thread([this, fillerError] {
            try {
                fillerIcon = loaded->Image();
            } catch (...) {
                *fillerError = std::current_exception();
            }
        });
        while (!gFillStarted)
            std::this_thread::yield();
        *waiter = std::thread([this, waiterDone, waiterIcon] {
            *waiterIcon = loaded->Image();
            *waiterDone = true;
        });
        while (loaded->seam->sleeps.load() == 0)
            std::this_thread::yield();
    }

    ScratchFolder folder;
    std::unique_ptr<SeamedPlugin> loaded;
    std::unique_ptr<BBitmap> fillerIcon;
};

TEST_F(IconFill, SecondCallerWaitsForTheOneFill)
{
    std::thread filler, waiter;
    std::atomic<bool> waiterDone{false};
    std::unique_ptr<BBitmap> waiterIcon;
    std::exception_ptr fillerError;
    StartBothCallers(&filler, &waiter, &waiterDone, &waiterIcon, &fillerError);

    EXPECT_FALSE(waiterDone) << "returned before the fill was done";
    EXPECT_EQ(loaded->Guard(), 1);
    gFillReleased = true;
    filler.join();
    waiter.join();

    EXPECT_EQ(loaded->seam->fills.load(), 1);
    EXPECT_EQ(loaded->Guard(), 3);
    ASSERT_TRUE(fillerIcon && waiterIcon);
    EXPECT_TRUE(SamePixels(*fillerIcon, *waiterIcon));

    const int32 sleeps = loaded->seam->sleeps.load();
    EXPECT_TRUE(loaded->Image());
    EXPECT_EQ(loaded->seam->sleeps.load(), sleeps) << "a call after the fill slept";
}

// A fill that fails by an exception still lets the waiters go; the failure reaches
// the filler's caller, and the set stays empty.
TEST_F(IconFill, FailedFillReleasesTheWaiters)
{
    gFillFails = true;
    std::thread filler, waiter;
    std::atomic<bool> waiterDone{false};
    std::unique_ptr<BBitmap> waiterIcon;
    std::exception_ptr fillerError;
    StartBothCallers(&filler, &waiter, &waiterDone, &waiterIcon, &fillerError);
    gFillReleased = true;
    filler.join();
    waiter.join();

    EXPECT_TRUE(fillerError);
    EXPECT_FALSE(waiterIcon);
    EXPECT_EQ(loaded->Guard(), 3);
    EXPECT_FALSE(loaded->Image());
    EXPECT_EQ(loaded->seam->fills.load(), 1);
}

// After the fill, threads look the icon up in the shared set at once.
TEST(IconLookups, ManyThreadsEachGetTheirOwnCopy)
{
    ScratchFolder folder;
    SeamedPlugin loaded(folder.Add("Dissolve", ReadBytes(SeamedAddOnPath("Dissolve"))));
    constexpr int kThreads = 4;
    constexpr int kCallsPerThread = 200;
    std::vector<std::thread> threads;
    std::vector<int> bad(kThreads, 0);
    const std::unique_ptr<BBitmap> reference = ReadIconSource(IconSourcePath("Dissolve"));
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kCallsPerThread; ++i) {
                const std::unique_ptr<BBitmap> icon = loaded.Image();
                bad[t] += !icon || !SamePixels(*icon, *reference);
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(bad[t], 0) << "thread " << t;
    EXPECT_EQ(loaded.seam->fills.load(), 1);
    EXPECT_EQ(loaded.Guard(), 3);
}

}  // namespace
