// The line on standard error that shows how far a long piece of work has come:
//     uxhost: writing out.mid [########            ]  40%
// It appears once the work has taken a second, changes in place only when the
// share shown changes, and is wiped when the work ends. It is shown only on a
// terminal, never on a pipe or a file, and not when quiet.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

class ProgressLine {
public:
    // `what` says what is being done ("writing out.mid"). The line becomes the
    // process's current one until it is destroyed.
    explicit ProgressLine(std::string what);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    // `done` of `total` units of the work are done.
    void Update(uint64_t done, uint64_t total);

    // Updates the current line, if there is one: for code deep inside a piece of
    // work (a pipeline reading its input) that knows how far it is, but not what
    // the work is called. Cheap enough to call for every event.
    static void UpdateCurrent(uint64_t done, uint64_t total)
    {
        if (ProgressLine* line = sCurrent.load(std::memory_order_relaxed))
            line->Update(done, total);
    }

private:
    static std::atomic<ProgressLine*> sCurrent;

    std::string mWhat;
    bool mEnabled;
    bool mShown = false;
    int mShownPercent = -1;
    // Where the share next changes, in units of the work: the clock is read only
    // as it does, a thousand times at most.
    uint64_t mNextChange = 0;
    std::chrono::steady_clock::time_point mStart;
    ProgressLine* mPrevious;
};
