// What one more instance of a plug-in costs: resident memory and the time to
// instantiate and activate it, in a lilv host that has made a first instance (so
// that the libraries are loaded) and then makes 200 more, reading /proc/self/statm
// before and after. Each measurement runs in a process of its own, so that no
// plug-in inherits another's freed memory; the plug-ins take turns, five rounds,
// and the median is shown. Peers: x42's nTapDelay and pass-through, beside the
// example filters of the build's bundle (or of the bundles in the folder that the
// one argument names).
#include <lilv/lilv.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

constexpr int kInstances = 200;
constexpr int kRounds = 5;
constexpr double kSampleRate = 48000;

const char* const kPlugins[] = {
    "urn:ux-filter-kit:Dissolve",
    "urn:ux-filter-kit:FractalDrift",
    "http://gareus.org/oss/lv2/midifilter#ntapdelay",
    "http://gareus.org/oss/lv2/midifilter#passthru",
};

struct Cost {
    double kilobytes;     // resident, per instance
    double microseconds;  // to instantiate and activate, per instance
};

std::vector<std::string> gUris;

LV2_URID Map(LV2_URID_Map_Handle, const char* uri)
{
    for (size_t i = 0; i < gUris.size(); ++i)
        if (gUris[i] == uri)
            return static_cast<LV2_URID>(i + 1);
    gUris.emplace_back(uri);
    return static_cast<LV2_URID>(gUris.size());
}

int Printf(LV2_Log_Handle, LV2_URID, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    const int written = std::vfprintf(stderr, format, args);
    va_end(args);
    return written;
}

int VPrintf(LV2_Log_Handle, LV2_URID, const char* format, va_list args)
{
    return std::vfprintf(stderr, format, args);
}

LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle, uint32_t, const void*)
{
    return LV2_WORKER_SUCCESS;
}

long ResidentPages()
{
    long size = 0, resident = 0;
    FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm || std::fscanf(statm, "%ld %ld", &size, &resident) != 2)
        std::abort();
    std::fclose(statm);
    return resident;
}

// In a child process: a first instance, then kInstances more, all kept.
Cost Measure(const LilvPlugin* plugin)
{
    LV2_URID_Map map{nullptr, Map};
    LV2_Log_Log log{nullptr, Printf, VPrintf};
    LV2_Worker_Schedule worker{nullptr, Schedule};
    const LV2_Feature mapFeature{LV2_URID__map, &map}, logFeature{LV2_LOG__log, &log},
        workerFeature{LV2_WORKER__schedule, &worker};
    const LV2_Feature* features[] = {&mapFeature, &logFeature, &workerFeature, nullptr};
    std::vector<LilvInstance*> instances;
    instances.reserve(kInstances + 1);
    const auto make = [&] {
        LilvInstance* instance = lilv_plugin_instantiate(plugin, kSampleRate, features);
        if (!instance)
            std::abort();
        lilv_instance_activate(instance);
        instances.push_back(instance);
    };
    make();
    const long before = ResidentPages();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kInstances; ++i)
        make();
    const auto end = std::chrono::steady_clock::now();
    const long after = ResidentPages();
    Cost cost;
    cost.kilobytes = double(after - before) * double(sysconf(_SC_PAGESIZE)) / 1024 / kInstances;
    cost.microseconds = std::chrono::duration<double, std::micro>(end - start).count() / kInstances;
    return cost;
}

bool MeasureApart(const LilvPlugin* plugin, Cost* cost)
{
    int pipeEnds[2];
    if (pipe(pipeEnds) != 0)
        return false;
    const pid_t child = fork();
    if (child == 0) {
        const Cost measured = Measure(plugin);
        _exit(write(pipeEnds[1], &measured, sizeof measured) == sizeof measured ? 0 : 1);
    }
    close(pipeEnds[1]);
    const bool read_ = child > 0 && read(pipeEnds[0], cost, sizeof *cost) == sizeof *cost;
    close(pipeEnds[0]);
    int status = 0;
    if (child > 0)
        waitpid(child, &status, 0);
    return read_ && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string bundles = argc > 1 ? argv[1] : UX_LV2_PATH;
    setenv("LV2_PATH", (bundles + ":/usr/lib/lv2").c_str(), 1);
    LilvWorld* world = lilv_world_new();
    lilv_world_load_all(world);
    const LilvPlugins* all = lilv_world_get_all_plugins(world);
    std::vector<const LilvPlugin*> plugins;
    for (const char* uri : kPlugins) {
        LilvNode* node = lilv_new_uri(world, uri);
        plugins.push_back(lilv_plugins_get_by_uri(all, node));
        lilv_node_free(node);
        if (!plugins.back()) {
            std::fprintf(stderr, "%s: not installed\n", uri);
            return 1;
        }
    }
    std::vector<std::vector<double>> kilobytes(plugins.size()), microseconds(plugins.size());
    for (int round = 0; round < kRounds; ++round)
        for (size_t p = 0; p < plugins.size(); ++p) {
            Cost cost{};
            if (!MeasureApart(plugins[p], &cost)) {
                std::fprintf(stderr, "%s: the measurement failed\n", kPlugins[p]);
                return 1;
            }
            kilobytes[p].push_back(cost.kilobytes);
            microseconds[p].push_back(cost.microseconds);
        }
    const double peer = Median(microseconds[2]);
    std::printf("| plug-in | resident kB per instance | µs to instantiate and activate | time / nTapDelay's |\n"
                "|---|---|---|---|\n");
    for (size_t p = 0; p < plugins.size(); ++p)
        std::printf("| %s | %.1f | %.1f | %.2f |\n", kPlugins[p], Median(kilobytes[p]), Median(microseconds[p]),
                    Median(microseconds[p]) / peer);
    lilv_world_free(world);
    return 0;
}
