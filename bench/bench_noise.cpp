// Cost per call of the noise core against a general-purpose coherent-noise
// library's Perlin module (one and six octaves), single thread, on the same
// stream of pseudo-random points in [-10, 10]^3.
#include <dlfcn.h>

#include <benchmark/benchmark.h>
#include <libnoise/noise.h>

#include <algorithm>
#include <random>
#include <vector>

#include "noise.h"
#include "vekohost/host.h"

extern "C" void xrSetModuleHandle(void *handle);

namespace {

constexpr size_t kPoints = 4096;  // power of two: index with a mask

struct Point {
    float x, y, z;
};

const std::vector<Point> &points() {
    static const std::vector<Point> pts = [] {
        std::mt19937 rng(7);
        std::uniform_real_distribution<float> d(-10.0f, 10.0f);
        std::vector<Point> v(kPoints);
        for (auto &p : v) p = {d(rng), d(rng), d(rng)};
        return v;
    }();
    return pts;
}

template <class F>
void run(benchmark::State &st, F f) {
    const Point *p = points().data();
    size_t i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(f(p[i]));
        i = (i + 1) & (kPoints - 1);
    }
}

void BM_noise3(benchmark::State &st) {
    run(st, [](const Point &p) { return veko::noise3(p.x, p.y, p.z); });
}
void BM_noise2(benchmark::State &st) {
    run(st, [](const Point &p) { return veko::noise2(p.x, p.y); });
}
void BM_fractalNoise10(benchmark::State &st) {
    run(st, [](const Point &p) {
        const float q[3] = {p.x, p.y, p.z};
        return veko::fractalNoise(0.001f, 1.0f, q);  // 10 octaves
    });
}
void BM_cellNoise(benchmark::State &st) {
    run(st, [](const Point &p) {
        const float q[3] = {p.x, p.y, p.z};
        return veko::cellNoise(0.05f, 1.0f, 0.5f, 1.0f, 0.0f, 0, q, nullptr);
    });
}
void perlin(benchmark::State &st, int octaves) {
    noise::module::Perlin m;
    m.SetOctaveCount(octaves);
    run(st, [&m](const Point &p) { return m.GetValue(p.x, p.y, p.z); });
}
void BM_libnoisePerlin1(benchmark::State &st) { perlin(st, 1); }
void BM_libnoisePerlin6(benchmark::State &st) { perlin(st, 6); }

// With --benchmark_repetitions=N the "min" row is the least disturbed run
// on a shared machine.
double minimum(const std::vector<double> &v) { return *std::min_element(v.begin(), v.end()); }

BENCHMARK(BM_noise3)->ComputeStatistics("min", minimum);
BENCHMARK(BM_noise2)->ComputeStatistics("min", minimum);
BENCHMARK(BM_fractalNoise10)->ComputeStatistics("min", minimum);
BENCHMARK(BM_cellNoise)->ComputeStatistics("min", minimum);
BENCHMARK(BM_libnoisePerlin1)->ComputeStatistics("min", minimum);
BENCHMARK(BM_libnoisePerlin6)->ComputeStatistics("min", minimum);

}  // namespace

int main(int argc, char **argv) {
    // The cell table comes from the host's generator and memory.
    xrSetModuleHandle(dlopen(nullptr, RTLD_NOW));
    vh::StandaloneState standalone;
    veko::initCellTable(standalone.state());
    if (!veko::cellTable()) return 1;
    points();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
