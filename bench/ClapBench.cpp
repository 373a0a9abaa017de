// The CLAP adapter's process() beside the LV2 adapter's run(), in one run: each
// example filter from the build's CLAP file through the suite's CLAP host and from
// the build's LV2 bundle through lilv, at 48 kHz in cycles of 64 frames, with no
// event and with 100 notes a second (a note of 240 frames struck every 480 frames),
// as lv2_bench plays them. One iteration is one cycle, which plays 1.333 ms of
// audio; the figure to read is the ratio of the two adapters on the same row.
#include "ClapTestHost.h"
#include "Lv2Cycles.h"

namespace {

void ClapCycles(benchmark::State& state, const char* stem, bool notes)
{
    ClapTestHost host(UX_CLAP_FILE, std::string("ux-filter-kit.") + stem);
    std::vector<std::vector<ClapIn>> inputs(kCyclesInLoop);
    for (int cycle = 0; notes && cycle < kCyclesInLoop; ++cycle)
        NotesOfCycle(cycle, [&](int64_t frame, uint8_t status, uint8_t pitch) {
            inputs[cycle].push_back(ClapMidi(frame, status, pitch, status == 0x90 ? 100 : 64));
        });
    int cycle = 0;
    for (auto _ : state) {
        const std::vector<ClapIn>& in = inputs[cycle];
        host.Prepare(in.data(), in.size(), cycle * int64_t(kBlock));
        host.Run(kBlock);
        cycle = (cycle + 1) % kCyclesInLoop;
    }
}

BENCHMARK_CAPTURE(ClapCycles, Empty / Dissolve, "Dissolve", false);
BENCHMARK_CAPTURE(Lv2Cycles, Empty / Dissolve, "Dissolve", false);
BENCHMARK_CAPTURE(ClapCycles, HundredNotesASecond / Dissolve, "Dissolve", true);
BENCHMARK_CAPTURE(Lv2Cycles, HundredNotesASecond / Dissolve, "Dissolve", true);
BENCHMARK_CAPTURE(ClapCycles, HundredNotesASecond / FractalDrift, "FractalDrift", true);
BENCHMARK_CAPTURE(Lv2Cycles, HundredNotesASecond / FractalDrift, "FractalDrift", true);
BENCHMARK_CAPTURE(ClapCycles, HundredNotesASecond / BetaFade, "BetaFade", true);
BENCHMARK_CAPTURE(Lv2Cycles, HundredNotesASecond / BetaFade, "BetaFade", true);

}  // namespace

int main(int argc, char** argv)
{
    return RunBenchmarks(argc, argv);
}
