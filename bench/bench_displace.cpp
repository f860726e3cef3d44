// Displacement: a ground plane displaced by a noise texture, tessellated to
// about a million triangles at load. Side by side in one run:
//  - loading the scene: tessellation, one displacement call per vertex (all
//    cores), normals and the Embree build;
//  - rendering one frame of it (320 x 200, 1 sample per pixel, all cores).
// The load's info message splits tessellation from displacement.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <thread>

#include "vekohost/objects.h"
#include "vekohost/render.h"

namespace {

using vh::json;

json groundScene() {
    return json::parse(R"({
      "nodes": [
        {"name": "place", "type": "veko_place2dtex", "params": {"repeatUV": [2, 2, 0]}},
        {"name": "height", "type": "veko_noise",
         "params": {"frequency": 4.0, "depthMax": 4, "alphaGain": 0.6, "alphaOffset": -0.3, "uvCoord": "place.outUV"}},
        {"name": "disp", "type": "veko_displace", "params": {"displacement": "height.outAlpha"}},
        {"name": "grey", "type": "veko_lambert", "params": {"color": [0.6, 0.6, 0.6, 1]}},
        {"name": "greySG", "type": "veko_shadingengine", "params": {"surfaceShader": "grey"}},
        {"name": "sun", "type": "veko_directionallight", "params": {"intensity": 1.0, "useRayTraceShadows": 1}}
      ],
      "camera": {"resolution": [320, 200], "focalLength": 30,
                 "transform": {"lookAt": {"eye": [0, 3.2, 8.0], "target": [0, 0.6, 0]}}},
      "objects": [
        {"name": "ground", "mesh": {"type": "plane", "size": [16, 16], "divisions": 8}, "material": "greySG",
         "displacement": {"shader": "disp", "maxDisplace": 0.4, "length": 0.035, "pixels": 0}}
      ],
      "lights": [{"name": "sunLight", "shader": "sun", "transform": {"lookAt": {"eye": [3, 6, 4], "target": [0, 0, 0]}}}]
    })");
}

vh::Library &library() {
    static vh::Library lib{vh::Library::defaultPath()};
    return lib;
}

void BM_LoadDisplacedGround(benchmark::State &state) {
    vh::captureMessages(true);
    size_t triangles = 0;
    for (auto _ : state) {
        auto scene = vh::loadSceneJson(library(), groundScene(), "bench", ".");
        vh::ObjectMesh m;
        vh::objectMesh(*scene, "ground", m);
        triangles = m.tri.size() / 3;
        state.PauseTiming();
        scene.reset();
        state.ResumeTiming();
    }
    state.counters["triangles"] = double(triangles);
    for (auto &msg : vh::takeMessages())
        if (msg.text.find("tessellat") != std::string::npos) std::fprintf(stderr, "%s\n", msg.text.c_str());
}
BENCHMARK(BM_LoadDisplacedGround)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

void BM_RenderDisplacedGround(benchmark::State &state) {
    vh::captureMessages(true);
    auto scene = vh::loadSceneJson(library(), groundScene(), "bench", ".");
    vh::RenderOptions ro;
    ro.progress = false;
    ro.samples = 1;
    for (auto _ : state) {
        auto img = vh::render(*scene, ro);
        benchmark::DoNotOptimize(img.rgba.data());
    }
    vh::takeMessages();
}
BENCHMARK(BM_RenderDisplacedGround)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
