// Cost of one fog sample: the fog shaders called on a prepared segment as
// the volume sampler calls them (xr_call_shader_x from inside a shaded hit),
// against a trivial node (veko_blend, a constant mix) on the same call path.
// The calls run inside a probe material, so the state carries a real record
// and real lights.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>

#include "vekohost/render.h"

namespace {

using vh::json;

benchmark::State *g_state = nullptr;
xrTag g_node = 0;
double g_sum = 0;

void registerProbe() {
    vh::registerNativeMaterial("fogBench", [](xrColor *c, xrState *s) {
        *c = {0, 0, 0, 1};
        if (s->rayKind != 0 || !g_state) return xrBoolean(1);
        const xrState saved = *s;
        s->rayOrigin = {-0.3f, 0.2f, 0.1f};
        s->hitPoint = {0.3f, 0.25f, -0.1f};
        const xrVector d{0.6f, 0.05f, -0.2f};
        const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        s->rayDirection = {d.x / len, d.y / len, d.z / len};
        s->hitDistance = len;
        s->shadingNormal = s->geometricNormal = s->rayDirection;
        float result[16];
        for (auto _ : *g_state) {
            for (float &f : result) f = 0;
            xr_call_shader_x(result, 12, s, g_node, nullptr);
            g_sum += result[0] + result[12];
        }
        *s = saved;
        return xrBoolean(1);
    });
}

json sceneDoc(const json &fogNode) {
    json fog = fogNode;
    fog["name"] = "fog";
    return {{"nodes", {{{"name", "st"}, {"type", "veko_state"}},
                       {{"name", "sunShader"}, {"type", "veko_directionallight"}, {"params", {{"intensity", 1}}}},
                       fog}},
            {"camera", {{"type", "orthographic"}, {"resolution", {3, 3}}, {"aperture", 2},
                        {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"options", {{"trace", true}}},
            {"state", "st"},
            {"objects", {{{"name", "box"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", "native:fogBench"}}}},
            {"lights", {{{"name", "sun"}, {"shader", "sunShader"},
                         {"transform", {{"lookAt", {{"eye", {0, 2, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}}}};
}

vh::Library &library() {
    static vh::Library lib{vh::Library::defaultPath()};
    return lib;
}

void sampleNode(benchmark::State &state, const json &node) {
    vh::captureMessages(true);
    registerProbe();
    auto scene = vh::loadSceneJson(library(), sceneDoc(node), "fog-bench.json");
    g_node = vh::networkOf(*scene).find("fog")->tag;
    vh::Renderer r(*scene, 1);
    g_state = &state;
    g_sum = 0;
    r.shadeSample(0, 1.5f, 1.5f, 4, 0);
    g_state = nullptr;
    benchmark::DoNotOptimize(g_sum);
    state.SetItemsProcessed(state.iterations());
}

json node(const char *type, const json &params) { return {{"type", type}, {"params", params}}; }

void BM_ConstantBlend(benchmark::State &state) { sampleNode(state, node("veko_blend", json::object())); }
void BM_VolumeFog(benchmark::State &state) {
    sampleNode(state, node("veko_volumefog", {{"densityByLength", 0}, {"dropoffShape", 1}, {"edgeDropoff", 0.3}}));
}
void BM_VolumeFogLit(benchmark::State &state) {
    sampleNode(state, node("veko_volumefog", {{"densityByLength", 0}, {"dropoffShape", 1}, {"edgeDropoff", 0.3}, {"illuminated", 1}, {"lightScatter", 0.5}}));
}
void BM_EnvFogSimple(benchmark::State &state) {
    sampleNode(state, node("veko_envfog", {{"saturationDistance", 5}, {"light", "sun"}}));
}
void BM_EnvFogPhysicalLayered(benchmark::State &state) {
    sampleNode(state, node("veko_envfog", {{"physical", 1}, {"fogType", 1}, {"layerSamples", 16}}));
}
void BM_LightFog(benchmark::State &state) {
    sampleNode(state, node("veko_lightfog", {{"light", "sun"}, {"density", 0.3}}));
}

}  // namespace

BENCHMARK(BM_ConstantBlend);
BENCHMARK(BM_VolumeFog);
BENCHMARK(BM_VolumeFogLit);
BENCHMARK(BM_LightFog);
BENCHMARK(BM_EnvFogSimple);
BENCHMARK(BM_EnvFogPhysicalLayered);

BENCHMARK_MAIN();
