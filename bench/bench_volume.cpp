// Volume sampling cost per eye ray: a homogeneous camera atmosphere marched
// in 16 steps through veko_volumesampler (outer call, inner march, 16 calls
// of veko_volumeshader, 32 events sorted and integrated) against the same
// rays without a volume. Both shade a flat native ground under the state
// shader; the difference is the volume.
#include <benchmark/benchmark.h>

#include "vekohost/render.h"

namespace {

constexpr int kW = 64, kH = 64;

vh::json sceneDoc(bool volume) {
    vh::json nodes = {{{"name", "state"}, {"type", "veko_state"}},
                      {{"name", "haze"},
                       {"type", "veko_volumeshader"},
                       {"params", {{"color", {0.02, 0.03, 0.04, 1}}, {"transparency", {0.97, 0.97, 0.97, 1}}}}},
                      {{"name", "atmosphere"}, {"type", "veko_volumesampler"}, {"params", {{"volumeShader", "haze"}}}}};
    vh::json camera = {{"type", "perspective"},
                       {"resolution", {kW, kH}},
                       {"clip", {0.1, 100}},
                       // Camera "Veko" words 8 and 9: 16 steps, jittered.
                       {"userData", {0, 0, 0, 0, 0, 0, 0, 16, 1}},
                       {"transform", {{"lookAt", {{"eye", {0, 2, 6}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}}}};
    if (volume) camera["volume"] = "atmosphere";
    return {{"nodes", nodes},
            {"camera", camera},
            {"options", {{"autoVolume", true}}},
            {"state", "state"},
            {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {100, 100}}}}, {"material", "native:benchGround"}}}}};
}

vh::Library &library() {
    static vh::Library lib{vh::Library::defaultPath()};
    return lib;
}

void run(benchmark::State &state, bool volume) {
    vh::captureMessages(true);
    vh::registerNativeMaterial("benchGround", [](xrColor *c, xrState *) {
        *c = {0.5f, 0.5f, 0.5f, 1};
        return xrBoolean(1);
    });
    auto scene = vh::loadSceneJson(library(), sceneDoc(volume), "bench_volume");
    vh::Renderer r(*scene, 1);
    int64_t rays = 0;
    float sum = 0;
    for (auto _ : state) {
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) sum += r.shadeSample(0, x + 0.5f, y + 0.5f, uint32_t(y * kW + x), 0).color.r;
        rays += kW * kH;
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(rays);
    state.counters["per_ray"] = benchmark::Counter(double(rays), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_EyeRayMarchedVolume16(benchmark::State &state) { run(state, true); }
void BM_EyeRayNoVolume(benchmark::State &state) { run(state, false); }

BENCHMARK(BM_EyeRayMarchedVolume16)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EyeRayNoVolume)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
