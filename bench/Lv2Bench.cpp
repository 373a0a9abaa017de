// The LV2 adapter's run() at 48 kHz in cycles of 64 frames, loaded through lilv
// from the build's bundle: cycles with no event, and 100 notes a second through
// each example filter (a note of 240 frames struck every 480 frames). One iteration
// is one cycle, which plays 1.333 ms of audio; scripts/bench.sh gives the CPU time
// as a share of that.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "Lv2TestHost.h"

namespace {

constexpr uint32_t kBlock = 64;
constexpr int64_t kNoteEvery = 480;  // 100 notes a second
constexpr int64_t kNoteLength = 240;
constexpr int kCyclesInLoop = 7500;  // ten seconds, then the notes start over

void EmptyCycle(benchmark::State& state, const char* stem)
{
    Lv2TestHost host(std::string("urn:ux-filter-kit:") + stem);
    for (auto _ : state) {
        host.ResetOutput();
        host.Run(kBlock);
    }
}

// Every cycle's input is made beforehand; the loop connects it and runs.
void HundredNotesASecond(benchmark::State& state, const char* stem)
{
    Lv2TestHost host(std::string("urn:ux-filter-kit:") + stem);
    std::vector<std::vector<uint64_t>> inputs(kCyclesInLoop);
    for (int cycle = 0; cycle < kCyclesInLoop; ++cycle) {
        const int64_t start = cycle * int64_t(kBlock);
        std::vector<LiveEvent> events;
        for (int64_t frame = start; frame < start + kBlock; ++frame) {
            const uint8_t pitch = static_cast<uint8_t>(48 + (frame / kNoteEvery) % 24);
            if (frame % kNoteEvery == 0)
                events.push_back({frame, {0x90, pitch, 100}, 0});
            else if (frame % kNoteEvery == kNoteLength)
                events.push_back({frame, {0x80, pitch, 64}, 0});
        }
        host.Sequence(events.data(), events.size(), start, &inputs[cycle]);
    }
    int cycle = 0;
    for (auto _ : state) {
        host.ConnectInput(inputs[cycle]);
        host.ResetOutput();
        host.Run(kBlock);
        cycle = (cycle + 1) % kCyclesInLoop;
    }
}

BENCHMARK_CAPTURE(EmptyCycle, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(HundredNotesASecond, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(HundredNotesASecond, FractalDrift, "FractalDrift");
BENCHMARK_CAPTURE(HundredNotesASecond, BetaFade, "BetaFade");

}  // namespace

// The bundle of the build, unless LV2_PATH names another.
int main(int argc, char** argv)
{
    setenv("LV2_PATH", UX_LV2_PATH, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
