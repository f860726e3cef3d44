// Light bookkeeping of an area light: one surface point (a Lambert ground
// seen straight down) shaded under a 1 x 1 rectangle light sampled 16 times
// by the host, against the same point under 16 point lights on a 4 x 4 grid
// over the rectangle (intensity 1/16 each). Shadows are off in both, so the
// difference is the area light's own work per sample: the host's shape
// sampling and the light shader's shape handling.
#include <benchmark/benchmark.h>

#include <string>

#include "vekohost/render.h"

namespace {

using vh::json;

json sceneDoc(bool area) {
    json nodes = json::parse(R"([
        {"name": "st", "type": "veko_state"},
        {"name": "grey", "type": "veko_lambert", "params": {"color": [0.5, 0.5, 0.5, 1], "matteOpacityMode": 1}},
        {"name": "sg", "type": "veko_shadingengine", "params": {"surfaceShader": "grey"}}
    ])");
    json lights = json::array();
    const json down = {{"lookAt", {{"eye", {0, 2, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}};
    if (area) {
        nodes.push_back({{"name", "rect"}, {"type", "veko_shapelight"}, {"params", {{"intensity", 1.0}}}});
        lights.push_back({{"name", "rect"}, {"shader", "rect"}, {"transform", down},
                          {"area", {{"shape", "rectangle"}, {"size", {1, 1}}, {"samples", 16}}}});
    } else {
        for (int i = 0; i < 16; ++i) {
            std::string n = "p";
            n += std::to_string(i);
            nodes.push_back({{"name", n}, {"type", "veko_pointlight"}, {"params", {{"intensity", 1.0 / 16}}}});
            const double x = -0.375 + 0.25 * (i % 4), z = -0.375 + 0.25 * (i / 4);
            lights.push_back({{"name", n}, {"shader", n}, {"transform", {{"translate", {x, 2, z}}}}});
        }
    }
    return {{"nodes", nodes},
            {"camera", {{"type", "orthographic"}, {"resolution", {3, 3}}, {"aperture", 2},
                        {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"options", {{"trace", true}}},
            {"state", "st"},
            {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", "sg"}}}},
            {"lights", lights}};
}

vh::Library &library() {
    static vh::Library lib{vh::Library::defaultPath()};
    return lib;
}

void shadePoint(benchmark::State &state, bool area) {
    vh::captureMessages(true);
    auto scene = vh::loadSceneJson(library(), sceneDoc(area), area ? "area.json" : "points.json");
    vh::Renderer r(*scene, 1);
    double sum = 0;
    uint32_t k = 0;
    for (auto _ : state) {
        auto s = r.shadeSample(0, 1.5f, 1.5f, 4, int(k++ & 63));
        sum += s.color.r;
    }
    benchmark::DoNotOptimize(sum);
    state.counters["red"] = sum / double(k);
    state.SetItemsProcessed(int64_t(k));
}

void BM_RectangleLight16Samples(benchmark::State &state) { shadePoint(state, true); }
void BM_SixteenPointLights(benchmark::State &state) { shadePoint(state, false); }

}  // namespace

BENCHMARK(BM_RectangleLight16Samples)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SixteenPointLights)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
