// Light-map baking with and without the final-gather prebake: the ground of
// a small scene (a ball on a plane under a constant sky and a sun) baked as
// irradiance (bake mode 2, 64 gather rays, one sample per texel) into a
// 96 x 96 map. Without the prebake every texel gathers; with it the texels
// interpolate the prebaked points that cover them. Counters: the number of
// prebaked points and the mean absolute difference from the brute-force map
// relative to its mean (relError).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "vekohost/bake.h"
#include "vekohost/host.h"
#include "vekohost/render.h"

namespace {

using vh::json;
constexpr int kSize = 96;

json sceneJson(double density) {
    return {{"nodes",
             {{{"name", "st"}, {"type", "veko_state"}},
              {{"name", "sky"}, {"type", "veko_envcolor"}, {"params", {{"color", {0.5, 0.6, 0.8, 1}}}}},
              {{"name", "grey"}, {"type", "veko_lambert"}, {"params", {{"color", {0.7, 0.7, 0.7, 1}}, {"diffuse", 0.8}}}},
              {{"name", "greySG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "grey"}}}},
              {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"intensity", 1.0}}}},
              {{"name", "baker"},
               {"type", "veko_bakelightmap"},
               {"params", {{"bakeMode", 2}, {"fgPrebakeDensity", density}}}}}},
            {"camera", {{"type", "perspective"}, {"resolution", {8, 8}}, {"environment", "sky"}}},
            {"options", {{"trace", true}, {"finalGather", true}, {"finalGatherRays", 64}}},
            {"state", "st"},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {6, 6}}}}, {"material", "greySG"}},
              {{"name", "ball"},
               {"mesh", {{"type", "sphere"}, {"radius", 0.8}, {"segments", 32}, {"rings", 16}}},
               {"transform", {{"translate", {0, 0.8, 0}}}},
               {"material", "greySG"}}}},
            {"lights",
             {{{"name", "l"},
               {"shader", "sun"},
               {"transform", {{"lookAt", {{"eye", {3, 5, 2}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}}}}}}};
}

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    Fixture() { vh::captureMessages(true); }
    vh::BakedMap bake(double density, int threads) {
        auto scene = vh::loadSceneJson(lib, sceneJson(density), "bench-bake.json");
        vh::BakeRequest req;
        req.object = "ground";
        req.node = "baker";
        req.width = req.height = kSize;
        req.threads = threads;
        return vh::bakeLightmap(*scene, req);
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

// density 0: brute force; else the prebake at that density.
void BM_BakeFinalGather(benchmark::State &state) {
    Fixture &f = fixture();
    const double density = double(state.range(0)) / 4.0;
    const int threads = int(state.range(1));
    vh::BakedMap map;
    for (auto _ : state) {
        map = f.bake(density, threads);
        vh::takeMessages();
    }
    static const vh::BakedMap reference = f.bake(0, 2);
    double diff = 0, sum = 0;
    for (size_t i = 0; i < map.tags.size(); ++i) {
        if (!map.tags[i]) continue;
        diff += std::fabs(map.rgba[i * 4] - reference.rgba[i * 4]);
        sum += reference.rgba[i * 4];
    }
    state.counters["relError"] = sum > 0 ? diff / sum : 0;
    state.counters["points"] = double(map.gatherPoints);
    state.SetItemsProcessed(int64_t(state.iterations()) * kSize * kSize);
}

}  // namespace

BENCHMARK(BM_BakeFinalGather)
    ->ArgNames({"density4", "threads"})
    ->Args({0, 1})
    ->Args({4, 1})
    ->Args({2, 1})
    ->Args({0, 2})
    ->Args({4, 2})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
