// The CLAP adapter's process() beside the LV2 adapter's run(), in one run: each
// example filter from the build's CLAP file through the suite's CLAP host and from
// the build's LV2 bundle through lilv, at 48 kHz in cycles of 64 frames, with no
// event and with 100 notes a second (a note of 240 frames struck every 480 frames),
// as lv2_bench plays them. One iteration is one cycle, which plays 1.333 ms of
// audio; the figure to read is the ratio of the two adapters on the same row.
#include <benchmark/benchmark.h>

#include <cstdlib>

#include "ClapTestHost.h"
#include "Lv2TestHost.h"

namespace {

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

void Lv2Cycles(benchmark::State& state, const char* stem, bool notes)
{
    Lv2TestHost host(std::string("urn:ux-filter-kit:") + stem);
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

BENCHMARK_CAPTURE(ClapCycles, Empty / Dissolve, "Dissolve", false);
BENCHMARK_CAPTURE(Lv2Cycles, Empty / Dissolve, "Dissolve", false);
BENCHMARK_CAPTURE(ClapCycles, HundredNotesASecond / Dissolve, "Dissolve", true);
BENCHMARK_CAPTURE(Lv2Cycles, HundredNotesASecond / Dissolve, "Dissolve", true);
BENCHMARK_CAPTURE(ClapCycles, HundredNotesASecond / FractalDrift, "FractalDrift", true);
BENCHMARK_CAPTURE(Lv2Cycles, HundredNotesASecond / FractalDrift, "FractalDrift", true);
BENCHMARK_CAPTURE(ClapCycles, HundredNotesASecond / BetaFade, "BetaFade", true);
BENCHMARK_CAPTURE(Lv2Cycles, HundredNotesASecond / BetaFade, "BetaFade", true);

}  // namespace

// The build's bundle, unless LV2_PATH names another.
int main(int argc, char** argv)
{
    setenv("LV2_PATH", UX_LV2_PATH, 0);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
