// Hair against triangles: primary rays per second on a furry ball of
// 100,000 strands (Embree curves) and on the same ball with one thin
// triangle in place of each strand (the strand's silhouette: its root
// width tapering to a point at the tip), measured side by side:
//  - through the host (eye state set up, intersection, hit fields filled;
//    no shader called),
//  - with Embree's raw rtcIntersect1 on the same rays.
#include <benchmark/benchmark.h>

#include <embree3/rtcore.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "vekohost/render.h"

namespace {

constexpr int kW = 160, kH = 100;
constexpr int kStrands = 100000;
constexpr float kRadius = 0.5f, kLength = 0.15f, kWidth = 0.004f;

struct Strand {
    float root[3], tip[3], side[3];  // side: unit, across the strand
};

// Straight strands leaving a sphere along its normal, roots spread
// uniformly (a fixed sequence, so both scenes hold the same strands).
std::vector<Strand> strands() {
    std::vector<Strand> out;
    uint64_t s = 12345;
    auto rnd = [&] {
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return float(s >> 40) / 16777216.0f;
    };
    for (int i = 0; i < kStrands; ++i) {
        const float z = 1 - 2 * rnd(), phi = 6.2831853f * rnd(), r = std::sqrt(std::max(0.0f, 1 - z * z));
        const float n[3] = {r * std::cos(phi), r * std::sin(phi), z};
        // Any unit vector across the normal.
        float a[3] = {std::fabs(n[0]) < 0.6f ? 1.0f : 0.0f, std::fabs(n[0]) < 0.6f ? 0.0f : 1.0f, 0};
        float c[3] = {n[1] * a[2] - n[2] * a[1], n[2] * a[0] - n[0] * a[2], n[0] * a[1] - n[1] * a[0]};
        const float l = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
        Strand st;
        for (int k = 0; k < 3; ++k) {
            st.root[k] = n[k] * kRadius;
            st.tip[k] = n[k] * (kRadius + kLength);
            st.side[k] = c[k] / l;
        }
        out.push_back(st);
    }
    return out;
}

vh::json baseScene() {
    return {{"nodes", vh::json::array()},
            {"camera",
             {{"type", "perspective"},
              {"resolution", {kW, kH}},
              {"focalLength", 35},
              {"aperture", 36},
              {"transform", {{"lookAt", {{"eye", {0, 0, 2.2}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}}}}},
            {"objects", {{{"name", "ball"}, {"mesh", {{"type", "sphere"}, {"radius", kRadius}}}}}}};
}

vh::json hairScene(const std::vector<Strand> &ss) {
    vh::json list = vh::json::array();
    for (const Strand &s : ss)
        list.push_back({s.root[0], s.root[1], s.root[2], s.tip[0], s.tip[1], s.tip[2]});
    vh::json doc = baseScene();
    doc["objects"].push_back({{"name", "fur"}, {"hair", {{"strands", list}, {"width", kWidth}, {"tipWidth", 0}}}});
    return doc;
}

vh::json triangleScene(const std::vector<Strand> &ss) {
    vh::json pos = vh::json::array(), tri = vh::json::array();
    uint32_t v = 0;
    for (const Strand &s : ss) {
        for (int side : {-1, 1})
            for (int k = 0; k < 3; ++k) pos.push_back(s.root[k] + side * 0.5f * kWidth * s.side[k]);
        for (int k = 0; k < 3; ++k) pos.push_back(s.tip[k]);
        tri.push_back(v);
        tri.push_back(v + 1);
        tri.push_back(v + 2);
        v += 3;
    }
    vh::json doc = baseScene();
    doc["objects"].push_back({{"name", "fur"}, {"mesh", {{"type", "mesh"}, {"positions", pos}, {"triangles", tri}}}});
    return doc;
}

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    vh::ScenePtr hair, triangles;
    std::vector<xrVector> org, dir;
    Fixture() {
        vh::captureMessages(true);
        const std::vector<Strand> ss = strands();
        hair = vh::loadSceneJson(lib, hairScene(ss), "bench-hair.json");
        triangles = vh::loadSceneJson(lib, triangleScene(ss), "bench-triangles.json");
        for (vh::Scene *s : {hair.get(), triangles.get()}) {
            vh::cameraOf(*s).imageWidth = kW;
            vh::cameraOf(*s).imageHeight = kH;
        }
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                xrVector o, d;
                vh::eyeRay(*hair, x + 0.5f, y + 0.5f, o, d);
                org.push_back(o);
                dir.push_back(d);
            }
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

vh::Scene &sceneOf(int which) { return which ? *fixture().triangles : *fixture().hair; }

// Arg 0: hair, 1: triangles.
void BM_HostPrimaryRays(benchmark::State &state) {
    vh::Scene &scene = sceneOf(int(state.range(0)));
    vh::Renderer r(scene, 1);
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
    state.SetLabel(state.range(0) ? "triangles" : "hair");
}

void BM_EmbreeRawIntersect1(benchmark::State &state) {
    Fixture &f = fixture();
    auto *rtc = static_cast<RTCScene>(vh::embreeScene(sceneOf(int(state.range(0)))));
    int64_t rays = 0, hits = 0;
    for (auto _ : state) {
        for (size_t i = 0; i < f.org.size(); ++i) {
            RTCIntersectContext ctx;
            rtcInitIntersectContext(&ctx);
            RTCRayHit h;
            h.ray.org_x = f.org[i].x, h.ray.org_y = f.org[i].y, h.ray.org_z = f.org[i].z;
            h.ray.dir_x = f.dir[i].x, h.ray.dir_y = f.dir[i].y, h.ray.dir_z = f.dir[i].z;
            h.ray.tnear = 0;
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
    state.SetLabel(state.range(0) ? "triangles" : "hair");
}

}  // namespace

BENCHMARK(BM_HostPrimaryRays)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EmbreeRawIntersect1)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
