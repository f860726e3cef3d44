// Blobby particles: one ray through veko_blobbyparticles (the walk through
// the sphere hierarchy, the surface search and the shading of the first,
// opaque crossing), as the volume sampler calls it, for 100 to 100 000
// particles in the same box. Radii shrink as 1/sqrt(n), so a ray meets about
// as many particles at every size (about 0.85) and the cost that grows is
// the walk's. Beside it, the same rays tested against every particle in a
// plain loop (the work the hierarchy saves; counter: particles met per ray),
// and the walk isolated: rays through a fixed cluster among more and more
// particles they miss.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

#include "vekohost/host.h"
#include "vekohost/render.h"
#include "particles.h"
#include "volume.h"

namespace {

using vh::json;

constexpr float kBox = 10.0f;  // particles fill [-5, 5]^3
constexpr int kRays = 4096;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

struct Ray {
    xrVector o, d;
};

float rnd(unsigned &seed) { return (seed = seed * 1103515245u + 12345u) / 4294967296.0f; }

struct Particles {
    std::vector<float> xyzr;
    explicit Particles(int n) {
        unsigned seed = 17;
        const float r = 0.5f * std::sqrt(100.0f / float(n));
        for (int i = 0; i < n; ++i)
            xyzr.insert(xyzr.end(), {(rnd(seed) - 0.5f) * kBox, (rnd(seed) - 0.5f) * kBox, (rnd(seed) - 0.5f) * kBox, r});
    }
    int count() const { return int(xyzr.size() / 4); }
    xrTag block() const {
        const int n = count();
        std::vector<uint32_t> w(64, 0);  // from the word after the magic: index k is block word k + 1
        auto array = [&](int pair, int comps, int offset) {
            w[size_t(pair - 1)] = uint32_t(w.size() + 1);
            w[size_t(pair)] = uint32_t(comps);
            for (int i = 0; i < n; ++i)
                for (int c = 0; c < comps; ++c) w.push_back(bits(xyzr[size_t(i) * 4 + size_t(offset + c)]));
        };
        w[3] = uint32_t(n);
        array(5, 1, 3);  // radii
        array(7, 3, 0);  // centres
        return vh::createUserData(0x56656B6Fu, w);
    }
};

std::vector<Ray> rays() {
    std::vector<Ray> out;
    unsigned seed = 5;
    for (int i = 0; i < kRays; ++i) {
        const xrVector a = {(rnd(seed) - 0.5f) * kBox, (rnd(seed) - 0.5f) * kBox, 8};
        const xrVector b = {(rnd(seed) - 0.5f) * kBox, (rnd(seed) - 0.5f) * kBox, -8};
        xrVector d = {b.x - a.x, b.y - a.y, b.z - a.z};
        const float l = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        out.push_back({a, {d.x / l, d.y / l, d.z / l}});
    }
    return out;
}

// Hierarchy nodes whose sphere the ray enters (as the walk tests them),
// summed over `rays`: how much of the tree one ray visits.
double nodesEntered(const vh::Instance &blobby, const std::vector<Ray> &rays) {
    const auto *rec = static_cast<const veko::ParticleRecord *>(blobby.userPointer);
    double total = 0;
    for (const Ray &r : rays) {
        std::vector<const veko::SphereNode *> stack{rec->root};
        while (!stack.empty()) {
            const veko::SphereNode *n = stack.back();
            stack.pop_back();
            const xrVector c = {n->centre.x - r.o.x, n->centre.y - r.o.y, n->centre.z - r.o.z};
            const float t = c.x * r.d.x + c.y * r.d.y + c.z * r.d.z;
            if (c.x * c.x + c.y * c.y + c.z * c.z - t * t >= n->radius * n->radius) continue;
            ++total;
            if (!n->leaf())
                for (int k = 0; k < 2; ++k) stack.push_back(reinterpret_cast<const veko::SphereNode *>(n->link[k]));
        }
    }
    return total / double(rays.size());
}

vh::Library &library() {
    static vh::Library lib{vh::Library::defaultPath()};
    return lib;
}

struct Setup {
    std::unique_ptr<vh::StandaloneState> ss;
    std::unique_ptr<vh::Network> net;
    vh::Instance *blobby = nullptr;
    explicit Setup(const Particles &p) {
        vh::captureMessages(true);
        ss = std::make_unique<vh::StandaloneState>();
        net = std::make_unique<vh::Network>(library());
        net->load(json::parse(R"({"nodes": [
            {"name": "st", "type": "veko_state"},
            {"name": "mat", "type": "veko_surfaceshader",
             "params": {"outColor": [1, 0.5, 0.2, 1], "outTransparency": [0, 0, 0, 1]}},
            {"name": "b", "type": "veko_blobbyparticles", "params": {"threshold": 0.25}}]})"));
        blobby = net->find("b");
        blobby->setLiteral("material", net->find("mat")->tag);
        blobby->setLiteral("particleData", p.block());
        std::vector<uint32_t> rec(92, 0);  // the per-ray record, filtering off
        xr_shaderstate_set(ss->state(), "vekobase", rec.data(), 368, 2);
        net->init(ss->state());
    }
};

// The benchmark loop: the blobby shader on the rays in turn, its events
// dropped after each. Returns the surface hits; sets the items processed.
size_t traceRays(benchmark::State &st, Setup &s, const std::vector<Ray> &rs) {
    xrState *state = s.ss->state();
    veko::VolumeSampleStack stack{};
    stack.pool = xr_mem_int_blkcreate(sizeof(veko::VolumeSampleNode));
    size_t i = 0, hits = 0;
    for (auto _ : st) {
        const Ray &r = rs[i++ % rs.size()];
        state->rayOrigin = r.o;
        state->rayDirection = r.d;
        state->hitDistance = 30;
        hits += size_t(vh::callShader(*s.blobby, state, &stack));
        veko::VolumeSampleNode n;
        while (veko::popVolumeNode(stack, n)) {
        }
    }
    xr_mem_blkdelete(stack.pool);
    st.SetItemsProcessed(int64_t(st.iterations()));
    return hits;
}

void BM_BlobbyRay(benchmark::State &st) {
    const Particles p(int(st.range(0)));
    Setup s(p);
    const std::vector<Ray> rs = rays();
    const size_t hits = traceRays(st, s, rs);
    st.counters["surfaceHits"] = double(hits) / double(st.iterations());
    st.counters["nodesPerRay"] = nodesEntered(*s.blobby, rs);
}
BENCHMARK(BM_BlobbyRay)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000);

// The walk alone as the particle count grows: every ray passes through the
// same cluster of 27 particles (a 3 x 3 x 3 lattice round the origin) and
// misses all the others, which fill the box outside a column round the rays.
// The threshold is never reached, so nothing is shaded: the time is the walk
// through the hierarchy plus sorting and sweeping a fixed set of events.
// Counters: events per ray (three per particle met, the same at every n).
struct Cluster : Particles {
    explicit Cluster(int n) : Particles(0) {
        for (int i = 0; i < 27; ++i)
            xyzr.insert(xyzr.end(), {0.2f * float(i % 3 - 1), 0.2f * float(i / 3 % 3 - 1), 0.2f * float(i / 9 - 1), 0.15f});
        unsigned seed = 23;
        const float r = 0.5f * std::sqrt(100.0f / float(n));
        while (count() < n) {
            const float x = (rnd(seed) - 0.5f) * kBox, y = (rnd(seed) - 0.5f) * kBox, z = (rnd(seed) - 0.5f) * kBox;
            if (std::fmax(std::fabs(x), std::fabs(y)) < 1.0f) continue;  // the rays' column stays clear
            xyzr.insert(xyzr.end(), {x, y, z, r});
        }
    }
    // Rays down the z axis through the cluster.
    static std::vector<Ray> rays() {
        std::vector<Ray> out;
        unsigned seed = 9;
        for (int i = 0; i < kRays; ++i) out.push_back({{(rnd(seed) - 0.5f) * 0.6f, (rnd(seed) - 0.5f) * 0.6f, 8}, {0, 0, -1}});
        return out;
    }
    // Events the walk must find on ray r: three per sphere it meets.
    int events(const Ray &r) const {
        int met = 0;
        for (size_t k = 0; k < xyzr.size(); k += 4) {
            const float cx = xyzr[k] - r.o.x, cy = xyzr[k + 1] - r.o.y, cz = xyzr[k + 2] - r.o.z;
            const float t = cx * r.d.x + cy * r.d.y + cz * r.d.z;
            met += cx * cx + cy * cy + cz * cz - t * t < xyzr[k + 3] * xyzr[k + 3];
        }
        return 3 * met;
    }
};

void BM_WalkCluster(benchmark::State &st) {
    const Cluster p(int(st.range(0)));
    Setup s(p);
    s.blobby->setLiteral("threshold", 100.0);
    const std::vector<Ray> rs = Cluster::rays();
    double events = 0;
    for (const Ray &r : rs) events += p.events(r);
    if (traceRays(st, s, rs)) st.SkipWithError("the threshold was reached");
    st.counters["eventsPerRay"] = events / double(rs.size());
    st.counters["nodesPerRay"] = nodesEntered(*s.blobby, rs);
}
BENCHMARK(BM_WalkCluster)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000);

// Every particle tested against the ray: the spheres a ray meets.
void BM_AllParticlesRay(benchmark::State &st) {
    const Particles p(int(st.range(0)));
    const std::vector<Ray> rs = rays();
    size_t i = 0, met = 0, rays = 0;
    for (auto _ : st) {
        const Ray &r = rs[i++ % rs.size()];
        for (size_t k = 0; k < p.xyzr.size(); k += 4) {
            const float cx = p.xyzr[k] - r.o.x, cy = p.xyzr[k + 1] - r.o.y, cz = p.xyzr[k + 2] - r.o.z;
            const float t = cx * r.d.x + cy * r.d.y + cz * r.d.z;
            const float q2 = cx * cx + cy * cy + cz * cz - t * t, r2 = p.xyzr[k + 3] * p.xyzr[k + 3];
            met += q2 < r2;
        }
        ++rays;
    }
    benchmark::DoNotOptimize(met);
    st.SetItemsProcessed(int64_t(rays));
    st.counters["particlesMet"] = double(met) / double(rays);
}
BENCHMARK(BM_AllParticlesRay)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000);

}  // namespace

BENCHMARK_MAIN();
