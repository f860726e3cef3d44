// Renderer throughput on the showcase scene:
//  - primary rays through the host alone (eye state set up, Embree
//    intersection, the hit's distance, instance and label; no shader is
//    called, so the hit fields shaders read are not filled) against
//    Embree's raw rtcIntersect1 on the same rays;
//  - full showcase samples per second with 1 and 2 render threads (a frame
//    includes starting the session: thread states and records).
#include <benchmark/benchmark.h>

#include <embree3/rtcore.h>

#include <chrono>
#include <memory>
#include <vector>

#include "vekohost/render.h"

namespace {

constexpr int kW = 160, kH = 100;

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    vh::ScenePtr scene;
    std::vector<xrVector> org, dir;
    Fixture() {
        vh::captureMessages(true);
        scene = vh::loadScene(lib, VEKO_SOURCE_DIR "/scenes/showcase.json");
        vh::settingsOf(*scene).width = kW;
        vh::settingsOf(*scene).height = kH;
        vh::cameraOf(*scene).imageWidth = kW;
        vh::cameraOf(*scene).imageHeight = kH;
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                xrVector o, d;
                vh::eyeRay(*scene, x + 0.5f, y + 0.5f, o, d);
                org.push_back(o);
                dir.push_back(d);
            }
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void BM_HostPrimaryRays(benchmark::State &state) {
    Fixture &f = fixture();
    vh::Renderer r(*f.scene, 1);
    int64_t rays = 0, hits = 0;
    for (auto _ : state) {
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                auto s = r.shadeSample(0, x + 0.5f, y + 0.5f, uint32_t(y * kW + x), 0, false);
                hits += s.hit;
            }
        rays += kW * kH;
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(rays);
}

void BM_EmbreeRawIntersect1(benchmark::State &state) {
    Fixture &f = fixture();
    auto *rtc = static_cast<RTCScene>(vh::embreeScene(*f.scene));
    int64_t rays = 0, hits = 0;
    const float tnear = vh::cameraOf(*f.scene).nearClip;
    for (auto _ : state) {
        for (size_t i = 0; i < f.org.size(); ++i) {
            RTCIntersectContext ctx;
            rtcInitIntersectContext(&ctx);
            RTCRayHit h;
            h.ray.org_x = f.org[i].x, h.ray.org_y = f.org[i].y, h.ray.org_z = f.org[i].z;
            h.ray.dir_x = f.dir[i].x, h.ray.dir_y = f.dir[i].y, h.ray.dir_z = f.dir[i].z;
            h.ray.tnear = tnear;
            h.ray.tfar = 1e30f;
            h.ray.time = 0;
            h.ray.mask = 0xFFFFFFFFu;
            h.ray.id = 0;
            h.ray.flags = 0;
            h.hit.geomID = RTC_INVALID_GEOMETRY_ID;
            rtcIntersect1(rtc, &ctx, &h);
            hits += h.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        }
        rays += int64_t(f.org.size());
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(rays);
}

// Whole frames of the showcase at 320x200 and 2 samples per pixel; items
// are pixel samples.
void BM_ShowcaseSamples(benchmark::State &state) {
    Fixture &f = fixture();
    auto scene = vh::loadScene(f.lib, VEKO_SOURCE_DIR "/scenes/showcase.json");
    vh::RenderOptions o;
    o.threads = int(state.range(0));
    o.samples = 2;
    o.width = 2 * kW;
    o.height = 2 * kH;
    o.progress = false;
    int64_t samples = 0;
    for (auto _ : state) {
        auto img = vh::render(*scene, o);
        benchmark::DoNotOptimize(img.rgba.data());
        samples += int64_t(o.width) * o.height * o.samples;
    }
    state.SetItemsProcessed(samples);
}

}  // namespace

BENCHMARK(BM_HostPrimaryRays)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbreeRawIntersect1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShowcaseSamples)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();

BENCHMARK_MAIN();
