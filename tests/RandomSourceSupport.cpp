// The test program's own `time` and `drand48`. A plug-in calls both by name, and
// the dynamic loader binds those names to the program's definitions before any
// library's (the link exports them), so a RandomSourceOverride reaches every
// plug-in's random source without the plug-ins exporting anything for it.
#include "RandomSourceSupport.h"

#include <dlfcn.h>

#include <cstdlib>

namespace {

template <class Function>
Function LibraryFunction(const char* name)
{
    Function function = reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
    if (!function)
        std::abort();
    return function;
}

}  // namespace

time_t TestRandom::LibraryClock(time_t* stored)
{
    static const auto library = LibraryFunction<time_t (*)(time_t*)>("time");
    return library(stored);
}

double TestRandom::LibraryDraw()
{
    static const auto library = LibraryFunction<double (*)()>("drand48");
    return library();
}

extern "C" time_t time(time_t* stored) noexcept
{
    if (time_t(*clock)(time_t*) = __atomic_load_n(&TestRandom::clock, __ATOMIC_ACQUIRE)) {
        const time_t now = clock(stored);
        if (stored)
            *stored = now;
        return now;
    }
    return TestRandom::LibraryClock(stored);
}

extern "C" double drand48() noexcept
{
    if (double (*draw)() = __atomic_load_n(&TestRandom::draw, __ATOMIC_ACQUIRE))
        return draw();
    return TestRandom::LibraryDraw();
}
