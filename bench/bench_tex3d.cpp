// Cost per call of the solid textures built on noise3 (marble, solid fractal)
// against noise3 itself, single thread, on the same stream of points. The
// textures are called through the reference host as a renderer calls them
// (input stage, pattern, output stage); the octave count is fixed by a
// per-ray record with filtering off (filter size 2^-L gives L octaves).
//
// Read the results as ratios: texture per call / noise3 per call, and that
// divided by the octave count (the cost of one octave including its share
// of the fixed stages).
#include <benchmark/benchmark.h>

#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "noise.h"
#include "vekobase.h"
#include "vekohost/host.h"

namespace {

constexpr size_t kPoints = 4096;  // power of two: index with a mask

const std::vector<xrVector> &points() {
    static const std::vector<xrVector> pts = [] {
        std::mt19937 rng(11);
        std::uniform_real_distribution<float> d(-1.0f, 1.0f);
        std::vector<xrVector> v(kPoints);
        for (auto &p : v) p = {d(rng), d(rng), d(rng)};
        return v;
    }();
    return pts;
}

vh::Library &library() {
    static vh::Library *lib = new vh::Library(vh::Library::defaultPath());
    return *lib;
}

void BM_noise3(benchmark::State &st) {
    const xrVector *p = points().data();
    size_t i = 0;
    for (auto _ : st) {
        // The texture's coordinates: ripples/32 per axis plus an offset.
        benchmark::DoNotOptimize(veko::noise3(p[i].x / 32.0 + 0.1, p[i].y / 32.0 + 0.03, p[i].z / 32.0 + 0.13));
        i = (i + 1) & (kPoints - 1);
    }
}

// One texture node through the host, `octaves` whole octaves per call.
void runTexture(benchmark::State &st, const std::string &type, const vh::json &params) {
    const int octaves = static_cast<int>(st.range(0));
    vh::Network net(library());
    net.load({{"nodes", vh::json::array({{{"name", "t"}, {"type", type}, {"params", params}}})}});
    vh::StandaloneState ss;
    net.init(ss.state());
    veko::BaseStateRecord rec{};
    rec.filterEnabled = 0;
    rec.baseFilterSize = std::ldexp(1.0f, -octaves);
    xr_shaderstate_set(ss.state(), "vekobase", &rec, sizeof rec, 2);
    vh::Instance &inst = *net.find("t");
    std::vector<float> out(inst.decl->resultBytes / 4);
    const xrVector *p = points().data();
    size_t i = 0;
    for (auto _ : st) {
        ss.state()->hitPoint = p[i];
        vh::callShader(inst, ss.state(), out.data());
        benchmark::DoNotOptimize(out.data());
        i = (i + 1) & (kPoints - 1);
    }
    st.counters["octaves"] = octaves;
    net.exit(ss.state());
}

void BM_solidfractal(benchmark::State &st) {
    runTexture(st, "veko_solidfractal", {{"ratio", 0.707}, {"levelMax", 20}});
}
void BM_marble(benchmark::State &st) {
    runTexture(st, "veko_marble", {{"ratio", 0.707}, {"depthMax", 20}});
}

}  // namespace

BENCHMARK(BM_noise3);
BENCHMARK(BM_solidfractal)->Arg(1)->Arg(6);
BENCHMARK(BM_marble)->Arg(1)->Arg(6);

BENCHMARK_MAIN();
