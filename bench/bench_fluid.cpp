// Cost per call of a fluid texture sample (veko_fluidtexture3d through the
// host, linear and smooth interpolation, opacity from density through a
// ramp) against a direct trilinear lookup in the grid library
// (GridSampler with BoxSampler, world space) on the same smoke puff
// (scenes/smoke.vdb) and the same stream of points, single thread.
//
// Read the results as ratios: texture per call / direct lookup per call.
// The texture's call also covers the host's parameter handling, the block
// lookup and validation, three ramps and the transparency.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include <openvdb/openvdb.h>
#include <openvdb/tools/Interpolation.h>

#include "vekohost/host.h"
#include "vekohost/render.h"

namespace {

constexpr size_t kPoints = 4096;  // power of two: index with a mask
const std::string kSmoke = std::string(VEKO_SOURCE_DIR) + "/scenes/smoke.vdb";

// Points inside the puff's box (x, z in [-1.2, 1.2], y in [0, 2.4]).
const std::vector<xrVector> &points() {
    static const std::vector<xrVector> pts = [] {
        std::mt19937 rng(5);
        std::uniform_real_distribution<float> d(-1.1f, 1.1f);
        std::vector<xrVector> v(kPoints);
        for (auto &p : v) p = {d(rng), d(rng) + 1.2f, d(rng)};
        return v;
    }();
    return pts;
}

vh::Library &library() {
    static vh::Library *lib = new vh::Library(vh::Library::defaultPath());
    return *lib;
}

void BM_direct_box_sampler(benchmark::State &st) {
    openvdb::initialize();
    openvdb::io::File f(kSmoke);
    f.open();
    auto grid = openvdb::gridPtrCast<openvdb::FloatGrid>(f.readGrid("density"));
    f.close();
    openvdb::tools::GridSampler<openvdb::FloatGrid, openvdb::tools::BoxSampler> sampler(*grid);
    const xrVector *p = points().data();
    size_t i = 0;
    for (auto _ : st) {
        benchmark::DoNotOptimize(sampler.wsSample(openvdb::Vec3d(p[i].x, p[i].y, p[i].z)));
        i = (i + 1) & (kPoints - 1);
    }
}

void BM_fluidtexture3d(benchmark::State &st) {
    const vh::json params = {
        {"fluidData", "smoke"},
        {"interpolation", st.range(0)},
        {"opacityInput", 5},
        {"opacity", vh::json::array({{{"position", 0}, {"value", 0}, {"interpolation", 1}},
                                     {{"position", 1}, {"value", 1}, {"interpolation", 1}}})}};
    const vh::json doc = {
        {"nodes", vh::json::array({{{"name", "ft"}, {"type", "veko_fluidtexture3d"}, {"params", params}}})},
        {"objects", vh::json::array({{{"name", "smoke"},
                                      {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                      {"fluid", {{"file", kSmoke}}}}})}};
    auto scene = vh::loadSceneJson(library(), doc, "bench_fluid.json");
    vh::StandaloneState ss;
    vh::Network &net = vh::networkOf(*scene);
    net.init(ss.state());
    vh::Instance &inst = *net.find("ft");
    std::vector<float> out(inst.decl->resultBytes / 4);
    const xrVector *p = points().data();
    size_t i = 0;
    for (auto _ : st) {
        ss.nextSample();
        ss.state()->hitPoint = p[i];
        vh::callShader(inst, ss.state(), out.data());
        benchmark::DoNotOptimize(out.data());
        i = (i + 1) & (kPoints - 1);
    }
    st.SetLabel(st.range(0) ? "smooth" : "linear");
    net.exit(ss.state());
}

}  // namespace

BENCHMARK(BM_direct_box_sampler);
BENCHMARK(BM_fluidtexture3d)->Arg(0)->Arg(1);
BENCHMARK_MAIN();
