// The cost of a plug-in's resources once they are filled: Resources() (one atomic
// OR and one test of the guard word) and Image() (the icon looked up by name and
// copied into a new bitmap, which the caller deletes).
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <Bitmap.h>
#include <KitTestSeam.h>
#include <PluginFinder.h>
#include <PluginLoader.h>

namespace {

// The library's own Resources(), reached through the seam of its test build.
KitTestSeam* SeamOf(const Plugin& plugin)
{
    void* handle = dlopen(plugin.Path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle)
        return nullptr;
    auto find = reinterpret_cast<KitTestSeam* (*)()>(dlsym(handle, UX_KIT_TEST_SEAM_SYMBOL));
    dlclose(handle);
    return find ? find() : nullptr;
}

void ResourcesAfterFill(benchmark::State& state, KitTestSeam* seam)
{
    seam->resources();  // the fill, outside the measured loop
    for (auto _ : state)
        benchmark::DoNotOptimize(&seam->resources());
}

void Image(benchmark::State& state, const Plugin* plugin)
{
    const UxFilterAddOn* addOn = plugin->AddOn();
    std::unique_ptr<BBitmap>(addOn->Image(BPoint())).reset();
    for (auto _ : state) {
        std::unique_ptr<BBitmap> icon(addOn->Image(BPoint()));
        benchmark::DoNotOptimize(icon.get());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    std::vector<std::unique_ptr<Plugin>> plugins;
    std::vector<std::unique_ptr<Plugin>> seamed;
    for (const std::string& file : FindPluginFiles())
        plugins.push_back(Plugin::Load(file));

    for (const auto& plugin : plugins) {
        const std::string stem = std::filesystem::path(plugin->Path()).stem().string();
        const std::string seamedFile = std::string(UX_SEAMED_ADDON_DIR) + "/" + stem + ".so";
        if (std::filesystem::exists(seamedFile)) {
            seamed.push_back(Plugin::Load(seamedFile));
            if (KitTestSeam* seam = SeamOf(*seamed.back()))
                benchmark::RegisterBenchmark(("Resources/" + stem).c_str(), ResourcesAfterFill, seam);
        }
        benchmark::RegisterBenchmark(("Image/" + stem).c_str(), Image, plugin.get());
    }

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
