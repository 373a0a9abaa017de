// The cost of a filter's HandleEvent on a note-on, against the floor: what the host
// itself spends making, placing and appending the same number of copies with no
// arithmetic, which is the least any filter of this kind can cost here. Each is
// measured twice: with events from the heap, as `uxhost apply` makes them, and from
// an event pool, as a live host's audio thread makes them.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <PluginFinder.h>
#include <PluginLoader.h>
#include <UxEventPool.h>

namespace {

int ChainLength(const UxEvent* head)
{
    int length = 0;
    for (; head; head = head->NextEvent())
        ++length;
    return length;
}

// Where the events of a benchmark come from.
enum class Memory { kHeap, kPool };

// Enough slots for the longest chain; the scope is open only with Memory::kPool.
constexpr size_t kPoolSlots = 64;
struct EventSource {
    explicit EventSource(Memory memory) : pool(kPoolSlots)
    {
        if (memory == Memory::kPool)
            scope.emplace(pool);
    }
    UxEventPool pool;
    std::optional<UxEventPoolScope> scope;
};

// One note-on through the filter, chain released: per call and per appended note.
void HandleNoteOn(benchmark::State& state, const Plugin* plugin, Memory memory)
{
    UxFilterHolderI holder;
    FilterPtr filter(plugin->AddOn()->NewInstance(&holder, nullptr));
    const ux_filter_params params;
    const EventSource source(memory);
    int64_t appended = 0;
    for (auto _ : state) {
        UxEvent* chain = filter->HandleEvent(new (std::nothrow) UxNoteOn(0, 480, 60, 100), &params);
        appended += ChainLength(chain) - 1;
        UxEvent::DeleteChain(chain);
    }
    state.SetItemsProcessed(appended);
    state.counters["notes_per_call"] = double(appended) / double(state.iterations());
}

// The same work without a filter: the note, `copies` copies each placed after the
// one before it and appended, and the chain released.
void HostFloor(benchmark::State& state, Memory memory)
{
    const int copies = static_cast<int>(state.range(0));
    const EventSource source(memory);
    for (auto _ : state) {
        auto* head = new (std::nothrow) UxNoteOn(0, 480, 60, 100);
        UxEvent* previous = head;
        for (int i = 0; i < copies; ++i) {
            UxEvent* next = previous->Copy();
            next->SetStartTime(previous->EndTime() + 1);
            previous->AppendEvent(next);
            previous = next;
        }
        // Walked as HandleNoteOn walks each chain to count it, so that the walk
        // weighs on both sides of the ratio alike.
        benchmark::DoNotOptimize(ChainLength(head));
        UxEvent::DeleteChain(head);
    }
    state.SetItemsProcessed(state.iterations() * copies);
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::vector<std::unique_ptr<Plugin>> plugins;
    for (const std::string& file : FindPluginFiles())
        plugins.push_back(Plugin::Load(file));

    // One floor for every chain length a plug-in makes for the benchmark's note.
    std::set<int> lengths;
    for (const auto& plugin : plugins) {
        const std::string stem = std::filesystem::path(plugin->Path()).stem().string();
        benchmark::RegisterBenchmark(("HandleNoteOn/" + stem).c_str(), HandleNoteOn, plugin.get(), Memory::kHeap);
        benchmark::RegisterBenchmark(("PooledNoteOn/" + stem).c_str(), HandleNoteOn, plugin.get(), Memory::kPool);
        UxFilterHolderI holder;
        FilterPtr filter(plugin->AddOn()->NewInstance(&holder, nullptr));
        const ux_filter_params params;
        UxChainPtr chain(filter->HandleEvent(new UxNoteOn(0, 480, 60, 100), &params));
        lengths.insert(ChainLength(chain.get()) - 1);
    }
    for (const int length : lengths) {
        benchmark::RegisterBenchmark("HostFloor", HostFloor, Memory::kHeap)->Arg(length);
        benchmark::RegisterBenchmark("PooledFloor", HostFloor, Memory::kPool)->Arg(length);
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
