// The VST3 adapter's process() beside the LV2 adapter's run(), in one run, on the
// same input: at 48 kHz in cycles of 64 frames, cycles with no event (Dissolve) and
// 100 notes a second through each example filter (a note of 240 frames struck
// every 480 frames), each from the build's bundles. One iteration is one cycle,
// which plays 1.333 ms of audio. Each host's own part (filling its input, emptying
// its output) is in both figures.
#include "Lv2Cycles.h"
#include "Vst3TestHost.h"

namespace {

std::string Bundle(const char* stem)
{
    return std::string(UX_VST3_BUNDLE_DIR) + "/" + stem + ".vst3";
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
    Lv2Cycles(state, stem, true);
}

void Vst3HundredNotesASecond(benchmark::State& state, const char* stem)
{
    Vst3TestHost host(Bundle(stem));
    // Each cycle's notes, at their frames in the cycle.
    std::vector<std::vector<Vst3Event>> inputs(kCyclesInLoop);
    for (int cycle = 0; cycle < kCyclesInLoop; ++cycle)
        NotesOfCycle(cycle, [&](int64_t frame, uint8_t status, uint8_t pitch) {
            inputs[cycle].push_back(
                {frame - cycle * int64_t(kBlock), {status, pitch, uint8_t(status == 0x90 ? 100 : 64)}, 0});
        });
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
    return RunBenchmarks(argc, argv);
}
