// What the adapter benchmarks share: 48 kHz in cycles of 64 frames, 100 notes a
// second (a note of 240 frames struck every 480 frames) over ten seconds that then
// start over, and the LV2 adapter's run() played that way from the build's bundle.
// One iteration is one cycle, which plays 1.333 ms of audio.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "Lv2TestHost.h"

constexpr uint32_t kBlock = 64;
constexpr int64_t kNoteEvery = 480;  // 100 notes a second
constexpr int64_t kNoteLength = 240;
constexpr int kCyclesInLoop = 7500;  // ten seconds, then the notes start over

// The notes of one cycle as (frame, status, pitch).
template <typename Add>
void NotesOfCycle(int cycle, Add add)
{
    const int64_t start = cycle * int64_t(kBlock);
    for (int64_t frame = start; frame < start + kBlock; ++frame) {
        const uint8_t pitch = static_cast<uint8_t>(48 + (frame / kNoteEvery) % 24);
        if (frame % kNoteEvery == 0)
            add(frame, uint8_t{0x90}, pitch);
        else if (frame % kNoteEvery == kNoteLength)
            add(frame, uint8_t{0x80}, pitch);
    }
}

inline std::string Lv2Uri(const char* stem)
{
    return std::string("urn:ux-filter-kit:") + stem;
}

// Cycles with no event: the input stays as the host connected it.
inline void Lv2Empty(benchmark::State& state, const char* stem)
{
    Lv2TestHost host(Lv2Uri(stem));
    for (auto _ : state) {
        host.ResetOutput();
        host.Run(kBlock);
    }
}

// Every cycle's input, with its notes or none, is made beforehand; the loop
// connects it and runs.
inline void Lv2Cycles(benchmark::State& state, const char* stem, bool notes)
{
    Lv2TestHost host(Lv2Uri(stem));
    std::vector<std::vector<uint64_t>> inputs(kCyclesInLoop);
    for (int cycle = 0; cycle < kCyclesInLoop; ++cycle) {
        std::vector<LiveEvent> events;
        if (notes)
            NotesOfCycle(cycle, [&](int64_t frame, uint8_t status, uint8_t pitch) {
                events.push_back({frame, {status, pitch, uint8_t(status == 0x90 ? 100 : 64)}, 0});
            });
        host.Sequence(events.data(), events.size(), cycle * int64_t(kBlock), &inputs[cycle]);
    }
    int cycle = 0;
    for (auto _ : state) {
        host.ConnectInput(inputs[cycle]);
        host.ResetOutput();
        host.Run(kBlock);
        cycle = (cycle + 1) % kCyclesInLoop;
    }
}

// Runs the benchmarks asked for, with the build's bundle unless LV2_PATH names
// another.
inline int RunBenchmarks(int argc, char** argv)
{
    setenv("LV2_PATH", UX_LV2_PATH, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
