// The library's resource set and the add-on's class icon.
//
// The set is filled from the library's own file the first time anyone needs it,
// and only once, however many threads arrive together. No lock guards the fill:
// an atomic OR on the guard word claims it (the caller that finds the word at 0
// fills), a second OR publishes it, and the other first callers sleep in short
// steps until they see the done bit. Once the word holds 3 a call costs one OR
// and one test.
#include <OS.h>
#include <ResourceSet.h>

#include "AddOnKit.h"
#ifdef UX_KIT_TEST_SEAM
#include "KitTestSeam.h"
#endif

namespace {

constexpr int32 kFillClaimed = 1;
constexpr int32 kFillDone = 2;
constexpr bigtime_t kFillPollInterval = 20000;  // microseconds
constexpr const char* kClassIconName = "Class Icon";

// Constructed empty when the library is loaded, destroyed when it is unloaded.
BExperimental::BResourceSet gResources;
// The guard word: 0 from static data, then 1 (claimed), then 3 (done).
int32 gInitResources = 0;

#ifdef UX_KIT_TEST_SEAM
KitTestSeam gTestSeam{&Resources, &gInitResources};

void NoteFillStarting()
{
    gTestSeam.fills.fetch_add(1, std::memory_order_relaxed);
    if (void (*hook)() = gTestSeam.beforeFill.load())
        hook();
}

void NoteSleep()
{
    gTestSeam.sleeps.fetch_add(1, std::memory_order_relaxed);
}
#else
// The libraries that are shipped carry no seam.
void NoteFillStarting()
{
}
void NoteSleep()
{
}
#endif

void FillResources()
{
    NoteFillStarting();
    // The function's own address names the image to read: this library's file.
    gResources.AddResources(reinterpret_cast<const void*>(&Resources), false);
}

}  // namespace

BExperimental::BResourceSet& Resources()
{
    const int32 before = atomic_or(&gInitResources, kFillClaimed);
    if (before == 0) {
        // A fill that fails still sets the done bit, so that no other caller waits
        // forever; the set stays as the fill left it.
        try {
            FillResources();
        } catch (...) {
            atomic_or(&gInitResources, kFillDone);
            throw;
        }
        atomic_or(&gInitResources, kFillDone);
    } else if (!(before & kFillDone)) {
        do {
            NoteSleep();
            snooze(kFillPollInterval);
        } while (!(atomic_get(&gInitResources) & kFillDone));
    }
    return gResources;
}

BBitmap* ClassIcon()
{
    const BBitmap* icon = Resources().FindBitmap(kClassIconName);
    if (!icon)
        return nullptr;
    return new BBitmap(icon, false, false);
}

#ifdef UX_KIT_TEST_SEAM
extern "C" __attribute__((visibility("default"))) KitTestSeam* ux_kit_test_seam()
{
    return &gTestSeam;
}
#endif
