// What tests can observe and steer of a library's one-time resource fill. Only the
// test builds of the plug-ins (compiled with UX_KIT_TEST_SEAM) have it; tests find
// it with dlsym under the symbol below. The plug-ins that are shipped export
// nothing but their entry point.
#pragma once

#include <atomic>

#include <SupportDefs.h>

namespace BExperimental {
class BResourceSet;
}

struct KitTestSeam {
    BExperimental::BResourceSet& (*resources)();  // the library's Resources()
    int32* guardWord;                             // its gInitResources
    std::atomic<int32> fills{0};                  // fills started
    std::atomic<int32> sleeps{0};                 // snoozes made waiting for a fill
    // Called by the filling thread before it reads the library's file: a test
    // can hold the fill up, or make it fail by throwing.
    std::atomic<void (*)()> beforeFill{nullptr};
};

#define UX_KIT_TEST_SEAM_SYMBOL "ux_kit_test_seam"
extern "C" KitTestSeam* ux_kit_test_seam();
