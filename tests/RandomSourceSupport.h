// What the tests of the random filters share: a plug-in's random source made to
// read a fixed clock and to draw scripted or counted values.
#pragma once

#include <dlfcn.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include <RandomSource.h>

#include "TestSupport.h"

// A clock that always reads the same second, and draws that count themselves and
// either come from the generator or follow a script (whose last value repeats).
// The tests that use it run one note at a time, or only read it.
struct TestRandom {
    static inline time_t second = 1000000000;
    static inline int clockReads = 0;
    static inline int draws = 0;
    static inline std::vector<double> script;

    static time_t Clock(time_t*)
    {
        ++clockReads;
        return second;
    }
    static double CountedDraw()
    {
        ++draws;
        return drand48();
    }
    static double ScriptedDraw()
    {
        const size_t index = static_cast<size_t>(draws++);
        return script.empty() ? 0.0 : script[std::min(index, script.size() - 1)];
    }
    // A draw that becomes the whole number `r` once scaled by 100 and truncated.
    static double ForWhole(int r) { return (r + 0.5) / 100.0; }

    static void Reset()
    {
        second = 1000000000;
        clockReads = 0;
        draws = 0;
        script.clear();
    }
};

// Points a loaded plug-in's random source at TestRandom for its lifetime, and puts
// the plug-in's own clock and generator back afterwards.
class RandomSourceOverride {
public:
    // The plug-in `fileStem` must already be loaded.
    RandomSourceOverride(const std::string& fileStem, double (*draw)())
        : mHandle(dlopen(AddOnPath(fileStem).c_str(), RTLD_NOW | RTLD_NOLOAD)),
          mHooks(mHandle ? static_cast<RandomSourceHooks*>(dlsym(mHandle, kRandomSourceTestHooksSymbol))
                         : nullptr)
    {
        TestRandom::Reset();
        if (!mHooks) {
            ADD_FAILURE() << fileStem << " has no random source hooks";
            return;
        }
        mSaved = *mHooks;
        *mHooks = {&TestRandom::Clock, draw};
    }
    ~RandomSourceOverride()
    {
        if (mHooks)
            *mHooks = mSaved;
        if (mHandle)
            dlclose(mHandle);
    }

    RandomSourceOverride(const RandomSourceOverride&) = delete;
    RandomSourceOverride& operator=(const RandomSourceOverride&) = delete;

private:
    void* mHandle;
    RandomSourceHooks* mHooks;
    RandomSourceHooks mSaved{};
};

// The pitches of a chain's appended notes, in order.
inline std::vector<int> AppendedPitches(const UxEvent* head)
{
    std::vector<int> pitches;
    const std::vector<const UxNoteOn*> notes = NotesOf(head);
    for (size_t i = 1; i < notes.size(); ++i)
        pitches.push_back(notes[i]->Note());
    return pitches;
}
