// Animation curves: cost of one curve value through the host (the time
// driver calling the curve by tag) for Hermite, weighted Bezier and stepped
// segments, and a plain C++ Hermite evaluation of the same keys as the
// baseline. Run side by side; compare the ratios, not the absolute times.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "vekohost/host.h"

namespace {

constexpr int kKeys = 16;

struct Key {
    float time, value, inX, inY, outX, outY;
};

std::vector<Key> makeKeys(bool stepped) {
    std::vector<Key> k;
    for (int i = 0; i < kKeys; ++i) {
        const float v = float((i * 37) % 11) * 0.1f;
        const float slope = float((i * 13) % 7 - 3) * 0.2f;
        k.push_back({float(i), v, 0.8f, 0.8f * slope, stepped ? 0.0f : 0.7f, stepped ? 0.0f : 0.7f * slope});
    }
    return k;
}

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    vh::Network net{lib};
    vh::StandaloneState st;
    vh::Instance *driver = nullptr;
    Fixture(bool weighted, bool stepped) {
        vh::json keys = vh::json::array();
        for (const Key &k : makeKeys(stepped))
            keys.push_back({{"time", k.time}, {"value", k.value}, {"inTangentX", k.inX}, {"inTangentY", k.inY},
                            {"outTangentX", k.outX}, {"outTangentY", k.outY}});
        net.load({{"nodes",
                   {{{"name", "c"},
                     {"type", "veko_curve"},
                     {"params", {{"keys", keys}, {"weighted", weighted ? 1 : 0}, {"postInfinity", 3}}}},
                    {{"name", "t"}, {"type", "veko_time_curve"}, {"params", {{"curve", "c"}}}}}}});
        driver = net.find("t");
        net.init(st.state());
    }
    ~Fixture() { net.exit(st.state()); }
};

// Sample times spread over the keys and one cycle past them.
float timeOf(int64_t i) { return float(i % 1999) * (2.0f * kKeys / 1999.0f); }

void run(benchmark::State &bs, bool weighted, bool stepped) {
    Fixture f(weighted, stepped);
    f.st.camera.frameValue = 0;
    int64_t i = 0;
    float out = 0;
    for (auto _ : bs) {
        f.st.state()->sampleTime = timeOf(i++);
        vh::callShader(*f.driver, f.st.state(), &out);
        benchmark::DoNotOptimize(out);
    }
}

void BM_HostHermite(benchmark::State &bs) { run(bs, false, false); }
void BM_HostWeighted(benchmark::State &bs) { run(bs, true, false); }
void BM_HostStepped(benchmark::State &bs) { run(bs, false, true); }

// Baseline: the same Hermite curve with cycle after the last key, written
// directly over a key vector.
void BM_PlainHermite(benchmark::State &bs) {
    const std::vector<Key> keys = makeKeys(false);
    const float first = keys.front().time, range = keys.back().time - first;
    int64_t i = 0;
    for (auto _ : bs) {
        float x = timeOf(i++);
        if (x > keys.back().time) x = first + std::fmod(x - first, range);
        auto hi = std::upper_bound(keys.begin(), keys.end(), x, [](float v, const Key &k) { return v < k.time; });
        float v;
        if (hi == keys.end()) {
            v = keys.back().value;
        } else {
            const Key &a = *(hi - 1), &b = *hi;
            const float d = b.time - a.time, s = (x - a.time) / d;
            const float m0 = a.outY / a.outX * d, m1 = b.inY / b.inX * d;
            const float s2 = s * s, s3 = s2 * s;
            v = (2 * s3 - 3 * s2 + 1) * a.value + (s3 - 2 * s2 + s) * m0 + (-2 * s3 + 3 * s2) * b.value + (s3 - s2) * m1;
        }
        benchmark::DoNotOptimize(v);
    }
}

BENCHMARK(BM_PlainHermite);
BENCHMARK(BM_HostHermite);
BENCHMARK(BM_HostWeighted);
BENCHMARK(BM_HostStepped);

}  // namespace

BENCHMARK_MAIN();
