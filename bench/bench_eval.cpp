// Cost of evaluating a placed checker through the host (connected uv,
// xr_phen_eval with result caching) against calling the placement and the
// checker functions directly with the uv copied by hand.
//
// The hand copy goes where the unconnected checker reads its uv: the
// state's first texture coordinate (an unconnected uvCoord literal is not
// read). So in both loops the checker works on the placed uv and has to wait
// for the placement; the filter size, which has no such slot, comes from the
// state in the direct loop.
#include <benchmark/benchmark.h>

#include <cstring>

#include "vekohost/host.h"

namespace {

struct Fixture {
    vh::Library lib{vh::Library::defaultPath()};
    vh::Network connected{lib}, direct{lib};
    vh::StandaloneState st;
    xrVector uv[4]{};
    Fixture() {
        auto doc = vh::json::parse(R"({"nodes": [
            {"name": "place", "type": "veko_place2dtex", "params": {"repeatUV": [4, 4, 0], "rotateUV": 0.3}},
            {"name": "checker", "type": "veko_checker",
             "params": {"uvCoord": "place.outUV", "uvFilterSize": "place.outUvFilterSize",
                        "color1": [0.9, 0.2, 0.1, 1], "color2": [0.1, 0.2, 0.9, 1]}}]})");
        connected.load(doc);
        auto doc2 = doc;
        doc2["nodes"][1]["params"].erase("uvCoord");
        doc2["nodes"][1]["params"].erase("uvFilterSize");
        direct.load(doc2);
        connected.init(st.state());
        direct.init(st.state());
        st.state()->texCoords = uv;
    }
    ~Fixture() {
        connected.exit(st.state());
        direct.exit(st.state());
    }
    void moveSample(int64_t i) {
        float u = float(i % 997) / 997.0f, v = float((i * 7) % 991) / 991.0f;
        uv[0] = {u, v, 0};
        vh::newSample(st.state());
    }
};

void BM_HostConnected(benchmark::State &bs) {
    Fixture f;
    vh::Instance &checker = *f.connected.find("checker");
    float out[8];
    int64_t i = 0;
    for (auto _ : bs) {
        f.moveSample(i++);
        vh::callShader(checker, f.st.state(), out);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_HostConnected);

void BM_DirectCalls(benchmark::State &bs) {
    Fixture f;
    vh::Instance &place = *f.direct.find("place");
    vh::Instance &checker = *f.direct.find("checker");
    const int uvField = place.decl->resultField("outUV")->offset;
    std::vector<uint64_t> placeOut(size_t(place.decl->resultBytes) / 8 + 1);
    float out[8];
    xrState *s = f.st.state();
    int64_t i = 0;
    for (auto _ : bs) {
        f.moveSample(i++);
        s->shaderRecord = &place.record;
        place.fns.main(placeOut.data(), s, place.params(), nullptr);
        std::memcpy(&f.uv[0], reinterpret_cast<char *>(placeOut.data()) + uvField, 12);
        s->shaderRecord = &checker.record;
        checker.fns.main(out, s, checker.params(), nullptr);
        benchmark::DoNotOptimize(out);
    }
    s->shaderRecord = nullptr;
}
BENCHMARK(BM_DirectCalls);

}  // namespace

BENCHMARK_MAIN();
