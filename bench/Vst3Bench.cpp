// The VST3 adapter's process() beside the LV2 adapter's run(), in one run, on the
// same input: at 48 kHz in cycles of 64 frames, cycles with no event (Dissolve) and
// 100 notes a second through each example filter (a note of 240 frames struck
// every 480 frames), each from the build's bundles. One iteration is one cycle,
// which plays 1.333 ms of audio. Each host's own part (filling its input, emptying
// its output) is in both figures.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "Lv2TestHost.h"
#include "Vst3TestHost.h"

namespace {

constexpr uint32_t kBlock = 64;
constexpr int64_t kNoteEvery = 480;  // 100 notes a second
constexpr int64_t kNoteLength = 240;
constexpr int kCyclesInLoop = 7500;  // ten seconds, then the notes start over

std::string Bundle(const char* stem)
{
    return std::string(UX_VST3_BUNDLE_DIR) + "/" + stem + ".vst3";
}

// Each cycle's notes, at their frames in the cycle.
std::vector<std::vector<LiveEvent>> Cycles()
{
    std::vector<std::vector<LiveEvent>> cycles(kCyclesInLoop);
    for (int cycle = 0; cycle < kCyclesInLoop; ++cycle) {
        const int64_t start = cycle * int64_t(kBlock);
        for (int64_t frame = start; frame < start + kBlock; ++frame) {
            const uint8_t pitch = static_cast<uint8_t>(48 + (frame / kNoteEvery) % 24);
            if (frame % kNoteEvery == 0)
                cycles[cycle].push_back({frame - start, {0x90, pitch, 100}, 0});
            else if (frame % kNoteEvery == kNoteLength)
                cycles[cycle].push_back({frame - start, {0x80, pitch, 64}, 0});
        }
    }
    return cycles;
}

void Lv2Empty(benchmark::State& state, const char* stem)
{
    Lv2TestHost host(std::string("urn:ux-filter-kit:") + stem);
    for (auto _ : state) {
        host.ResetOutput();
        host.Run(kBlock);
    }
}

void Vst3Empty(benchmark::State& state, const char* stem)
{
    Vst3TestHost host(Bundle(stem));
    for (auto _ : state) {
        host.StartCycle();
        host.Run(kBlock);
    }
}

void Lv2HundredNotesASecond(benchmark::State& state, const char* stem)
{
    Lv2TestHost host(std::string("urn:ux-filter-kit:") + stem);
    const auto cycles = Cycles();
    std::vector<std::vector<uint64_t>> inputs(kCyclesInLoop);
    for (int cycle = 0; cycle < kCyclesInLoop; ++cycle)
        host.Sequence(cycles[cycle].data(), cycles[cycle].size(), 0, &inputs[cycle]);
    int cycle = 0;
    for (auto _ : state) {
        host.ConnectInput(inputs[cycle]);
        host.ResetOutput();
        host.Run(kBlock);
        cycle = (cycle + 1) % kCyclesInLoop;
    }
}

void Vst3HundredNotesASecond(benchmark::State& state, const char* stem)
{
    Vst3TestHost host(Bundle(stem));
    std::vector<std::vector<Vst3Event>> inputs(kCyclesInLoop);
    const auto cycles = Cycles();
    for (int cycle = 0; cycle < kCyclesInLoop; ++cycle)
        for (const LiveEvent& event : cycles[cycle])
            inputs[cycle].push_back({event.frame, event.bytes, 0});
    int cycle = 0;
    for (auto _ : state) {
        host.StartCycle();
        for (const Vst3Event& event : inputs[cycle])
            host.Queue(static_cast<int32_t>(event.frame), event);
        host.Run(kBlock);
        cycle = (cycle + 1) % kCyclesInLoop;
    }
}

BENCHMARK_CAPTURE(Lv2Empty, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(Vst3Empty, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(Lv2HundredNotesASecond, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(Vst3HundredNotesASecond, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(Lv2HundredNotesASecond, FractalDrift, "FractalDrift");
BENCHMARK_CAPTURE(Vst3HundredNotesASecond, FractalDrift, "FractalDrift");
BENCHMARK_CAPTURE(Lv2HundredNotesASecond, BetaFade, "BetaFade");
BENCHMARK_CAPTURE(Vst3HundredNotesASecond, BetaFade, "BetaFade");

}  // namespace

int main(int argc, char** argv)
{
    setenv("LV2_PATH", UX_LV2_PATH, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
