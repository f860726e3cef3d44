// Environment cost, one thread, compared side by side in one run:
//  - one veko_envsky call (scattered sky, sun and halo) against one
//    veko_envsphere call whose image is a placed procedural texture
//    (veko_place2dtex feeding veko_checker: two connected node evaluations
//    per lookup, like a file texture behind its placement);
//  - a frame of the showcase with the sky as its environment against the
//    same frame with a constant environment (veko_envcolor).
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "vekobase.h"
#include "vekohost/render.h"
#include "vekohost/shade.h"

namespace {

using vh::json;

vh::Library &library() {
    static vh::Library *lib = [] {
        vh::captureMessages(true);
        return new vh::Library(vh::Library::defaultPath());
    }();
    return *lib;
}

// Directions spread over the sphere (a Fibonacci lattice).
std::vector<xrVector> directions(int n) {
    std::vector<xrVector> d;
    for (int i = 0; i < n; ++i) {
        const float y = 1.0f - 2.0f * (float(i) + 0.5f) / float(n);
        const float r = std::sqrt(std::max(0.0f, 1.0f - y * y));
        const float a = 2.39996323f * float(i);
        d.push_back({r * std::cos(a), y, r * std::sin(a)});
    }
    return d;
}

// Calls node "env" of `nodes` along a cycle of directions, each call on a
// fresh sample as a renderer would make it.
void lookups(benchmark::State &state, const json &nodes) {
    vh::Network net(library());
    net.load({{"nodes", nodes}}, "bench");
    vh::StandaloneState ss;
    veko::BaseStateRecord rec{};
    rec.filterEnabled = 1;
    rec.keepCache = 1;
    rec.filterSize = 0.001f;
    rec.flags = veko::kFlagDirectEnvLookup;
    xr_shaderstate_set(ss.state(), "vekobase", &rec, sizeof rec, 2);
    net.init(ss.state());
    vh::Instance &env = *net.find("env");
    const std::vector<xrVector> dirs = directions(4096);
    float out[5];
    size_t i = 0;
    float sum = 0;
    for (auto _ : state) {
        ss.state()->rayDirection = dirs[i++ & 4095];
        vh::callShader(env, ss.state(), out);
        ss.nextSample();
        sum += out[0];
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(state.iterations());
}

// The sky at its default sample counts (6 above the cloud layer, 2 below).
void BM_EnvSky(benchmark::State &state) {
    lookups(state, json::parse(R"([{"name": "env", "type": "veko_envsky", "params": {}}])"));
}

// The sky with 8 and 4 samples, for comparison.
void BM_EnvSkyMoreSamples(benchmark::State &state) {
    lookups(state, json::parse(
                       R"([{"name": "env", "type": "veko_envsky", "params": {"skySamples": 8, "cloudSamples": 4}}])"));
}

void BM_EnvSpherePlacedTexture(benchmark::State &state) {
    lookups(state, json::parse(R"([
        {"name": "place", "type": "veko_place2dtex", "params": {"repeatUV": [16, 8, 0]}},
        {"name": "image", "type": "veko_checker",
         "params": {"uvCoord": "place.outUV", "uvFilterSize": "place.outUvFilterSize"}},
        {"name": "env", "type": "veko_envsphere", "params": {"image": "image.outColor"}}])"));
}

// The showcase at 320x200, one sample per pixel, one thread, with the
// environment named by the argument (0: constant colour, 1: the sky).
void BM_ShowcaseFrame(benchmark::State &state) {
    json doc = vh::loadJsonFile(VEKO_SOURCE_DIR "/scenes/showcase.json");
    doc["nodes"].push_back({{"name", "flatEnvironment"}, {"type", "veko_envcolor"},
                            {"params", {{"color", {0.5, 0.6, 0.8, 1}}}}});
    if (state.range(0) == 0) doc["camera"]["environment"] = "flatEnvironment";
    else if (!doc["camera"].contains("environment")) state.SkipWithError("the showcase has no sky");
    auto scene = vh::loadSceneJson(library(), doc, "showcase", VEKO_SOURCE_DIR "/scenes");
    vh::RenderOptions o;
    o.threads = 1;
    o.samples = 1;
    o.width = 320;
    o.height = 200;
    o.progress = false;
    for (auto _ : state) {
        auto img = vh::render(*scene, o);
        benchmark::DoNotOptimize(img.rgba.data());
    }
    state.SetItemsProcessed(state.iterations() * o.width * o.height);
}

}  // namespace

BENCHMARK(BM_EnvSky);
BENCHMARK(BM_EnvSkyMoreSamples);
BENCHMARK(BM_EnvSpherePlacedTexture);
BENCHMARK(BM_ShowcaseFrame)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

BENCHMARK_MAIN();
