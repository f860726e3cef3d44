// Image-based light and baking:
//  - the example scene (scenes/ibl.json) lit by veko_ibllight (24 + 8
//    selected samples, one shadow ray each) against a brute-force
//    integration of the same environment image over the hemisphere
//    (cosine-weighted directions, one probe ray each) with 32, 64 and 128
//    rays. Each frame's error is measured against a brute-force reference
//    of 1024 rays per point: relative RMS of the luminance over the pixels
//    that see an object, after the least-squares gain of each image (the
//    light's average over its samples has its own scale), reported as the
//    counters relError and gain;
//  - light-map baking of the example ball (scenes/bake.json) in texels per
//    second on 1 and 2 threads.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <memory>
#include <vector>

#include "vekohost/bake.h"
#include "vekohost/imageio.h"
#include "vekohost/render.h"

namespace {

constexpr int kW = 80, kH = 50;
constexpr double kPi = 3.14159265358979323846;

// The environment image for the brute-force material.
struct Environment {
    int w = 0, h = 0, ch = 0;
    std::vector<float> px;
    xrColor lookup(xrVector d) const {
        double u = std::atan2(d.x, d.z) / (2 * kPi);
        if (u < 0) u += 1;
        const double v = std::asin(std::clamp(double(d.y), -1.0, 1.0)) / kPi + 0.5;
        const int x = std::min(int(u * w), w - 1), row = std::min(int((1 - v) * h), h - 1);
        const float *p = &px[(size_t(row) * w + x) * ch];
        return {p[0], p[1], p[2], 1};
    }
};

Environment g_env;
int g_bruteRays = 32;
float g_gain = 2.0f;  // the light's colorGain

// Cosine-weighted hemisphere rays; an unblocked ray sees the environment.
// Albedo 0.81 (colour 0.9 x diffuse 0.9 of the scene's white).
xrBoolean bruteEnvironment(xrColor *out, xrState *s) {
    const xrVector n = s->shadingNormal;
    const xrVector t = std::fabs(n.x) < 0.9f ? xrVector{1, 0, 0} : xrVector{0, 1, 0};
    xrVector a{n.y * t.z - n.z * t.y, n.z * t.x - n.x * t.z, n.x * t.y - n.y * t.x};
    const float la = std::sqrt(a.x * a.x + a.y * a.y + a.z * a.z);
    a = {a.x / la, a.y / la, a.z / la};
    const xrVector b{n.y * a.z - n.z * a.y, n.z * a.x - n.x * a.z, n.x * a.y - n.y * a.x};
    xrInteger inst = 0, cnt = g_bruteRays;
    float pair[2];
    xrColor sum{0, 0, 0, 0};
    while (xr_sample(pair, &inst, s, 2, &cnt)) {
        const float r = std::sqrt(pair[0]), phi = float(2 * kPi) * pair[1], z = std::sqrt(1 - pair[0]);
        const xrVector d{a.x * r * std::cos(phi) + b.x * r * std::sin(phi) + n.x * z,
                         a.y * r * std::cos(phi) + b.y * r * std::sin(phi) + n.y * z,
                         a.z * r * std::cos(phi) + b.z * r * std::sin(phi) + n.z * z};
        double dist = 0;
        if (xr_trace_probe(s, &s->hitPoint, &d, &dist)) continue;
        const xrColor l = g_env.lookup(d);
        sum.r += l.r, sum.g += l.g, sum.b += l.b;
    }
    const float k = 0.81f * g_gain / float(g_bruteRays);
    *out = {sum.r * k, sum.g * k, sum.b * k, 1};
    return 1;
}

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    vh::json doc;
    std::vector<float> reference;  // luminance, 0 where no object is seen
    Fixture() {
        vh::captureMessages(true);
        std::ifstream f(VEKO_SOURCE_DIR "/scenes/ibl.json");
        doc = vh::json::parse(f);
        int c = 0;
        g_env.px = vh::readImage(VEKO_SOURCE_DIR "/scenes/textures/sky_latlong.exr", g_env.w, g_env.h, c);
        g_env.ch = c;
        vh::registerNativeMaterial("bruteEnvironment", bruteEnvironment);
        g_bruteRays = 1024;
        reference = luminance(renderBrute());
    }
    vh::FrameImage render(const vh::json &d) {
        auto scene = vh::loadSceneJson(lib, d, "ibl.json", VEKO_SOURCE_DIR "/scenes");
        vh::RenderOptions o;
        o.threads = 1;
        o.width = kW;
        o.height = kH;
        o.samples = 1;
        o.progress = false;
        return vh::render(*scene, o);
    }
    // Every object white (albedo 0.81) in both renders.
    vh::FrameImage renderIbl() {
        vh::json d = doc;
        for (auto &o : d["objects"]) o["material"] = "whiteSG";
        return render(d);
    }
    vh::FrameImage renderBrute() {
        vh::json d = doc;
        for (auto &o : d["objects"]) o["material"] = "native:bruteEnvironment";
        d["lights"] = vh::json::array();
        return render(d);
    }
    static std::vector<float> luminance(const vh::FrameImage &img) {
        std::vector<float> l(size_t(img.width) * img.height, 0.0f);
        for (size_t i = 0; i < l.size(); ++i)
            if (img.depth[i] > 0) l[i] = 0.3f * img.rgba[4 * i] + 0.59f * img.rgba[4 * i + 1] + 0.11f * img.rgba[4 * i + 2];
        return l;
    }
    // Relative RMS error after the least-squares gain; the gain in *gain.
    double error(const vh::FrameImage &img, double *gain) const {
        const std::vector<float> l = luminance(img);
        double xr = 0, xx = 0;
        for (size_t i = 0; i < l.size(); ++i) xr += double(l[i]) * reference[i], xx += double(l[i]) * l[i];
        const double g = xx > 0 ? xr / xx : 1;
        double e = 0, rr = 0;
        for (size_t i = 0; i < l.size(); ++i) {
            const double d = g * l[i] - reference[i];
            e += d * d;
            rr += double(reference[i]) * reference[i];
        }
        *gain = g;
        return rr > 0 ? std::sqrt(e / rr) : 0;
    }
};

Fixture &fixture() {
    static Fixture f;
    return f;
}

void BM_IblLightFrame(benchmark::State &state) {
    Fixture &f = fixture();
    vh::FrameImage img;
    for (auto _ : state) img = f.renderIbl();
    double gain = 0;
    state.counters["relError"] = f.error(img, &gain);
    state.counters["gain"] = gain;
    state.counters["shadowRaysPerPoint"] = 32;
}

void BM_BruteForceFrame(benchmark::State &state) {
    Fixture &f = fixture();
    g_bruteRays = int(state.range(0));
    vh::FrameImage img;
    for (auto _ : state) img = f.renderBrute();
    double gain = 0;
    state.counters["relError"] = f.error(img, &gain);
    state.counters["gain"] = gain;
    state.counters["shadowRaysPerPoint"] = double(g_bruteRays);
}

void BM_BakeTexels(benchmark::State &state) {
    Fixture &f = fixture();
    const int size = 64;
    for (auto _ : state) {
        auto scene = vh::loadScene(f.lib, VEKO_SOURCE_DIR "/scenes/bake.json");
        vh::BakeRequest req;
        req.object = "ball";
        req.node = "baker";
        req.width = req.height = size;
        req.threads = int(state.range(0));
        benchmark::DoNotOptimize(vh::bakeLightmap(*scene, req));
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * size * size);
}

}  // namespace

BENCHMARK(BM_IblLightFrame)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BruteForceFrame)->Arg(32)->Arg(64)->Arg(128)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BakeTexels)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
