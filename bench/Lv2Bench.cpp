// The LV2 adapter's run() at 48 kHz in cycles of 64 frames, loaded through lilv
// from the build's bundle: cycles with no event, and 100 notes a second through
// each example filter (a note of 240 frames struck every 480 frames). One iteration
// is one cycle, which plays 1.333 ms of audio; scripts/bench.sh gives the CPU time
// as a share of that.
#include "Lv2Cycles.h"

namespace {

void EmptyCycle(benchmark::State& state, const char* stem)
{
    Lv2Empty(state, stem);
}

void HundredNotesASecond(benchmark::State& state, const char* stem)
{
    Lv2Cycles(state, stem, true);
}

BENCHMARK_CAPTURE(EmptyCycle, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(HundredNotesASecond, Dissolve, "Dissolve");
BENCHMARK_CAPTURE(HundredNotesASecond, FractalDrift, "FractalDrift");
BENCHMARK_CAPTURE(HundredNotesASecond, BetaFade, "BetaFade");

}  // namespace

int main(int argc, char** argv)
{
    return RunBenchmarks(argc, argv);
}
