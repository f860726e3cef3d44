// Particle systems through the reference host: particle blocks as user-data
// elements, the shaders' instance _init building the record (read back from
// the instance's user pointer), and veko_blobbyparticles called on rays as
// the volume sampler calls it, pushing its samples onto a sample stack. The
// material at a crossing is a surface shader whose colour is the shading
// normal, so each pushed sample tells where and how the surface was shaded.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "../host/src/vdb_module.h"
#include "../src/particles.h"
#include "../src/volume.h"
#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"

namespace {

using vh::json;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
uint32_t swap32(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24); }

// A particle block: words counted from the magic, arrays appended at the end.
struct BlockWords {
    std::vector<uint32_t> w = std::vector<uint32_t>(64, 0);
    BlockWords() { w[0] = veko::kVekoMagic; }
    void array(int pair, const std::vector<float> &values, int stride) {
        w[pair] = uint32_t(w.size());
        w[pair + 1] = uint32_t(stride);
        for (float v : values) w.push_back(bits(v));
    }
    // Spheres (x, y, z, r) with optional per-particle attributes.
    static BlockWords spheres(const std::vector<std::array<float, 4>> &s) {
        BlockWords b;
        b.w[veko::kBlockCount] = uint32_t(s.size());
        std::vector<float> r, c;
        for (auto &p : s) {
            c.insert(c.end(), {p[0], p[1], p[2]});
            r.push_back(p[3]);
        }
        b.array(veko::kBlockRadius, r, 1);
        b.array(veko::kBlockCentre, c, 3);
        return b;
    }
    // The user-data element; `swapped` writes it in the other byte order
    // (the label and words 2 on; word 1 is bytes).
    xrTag create(bool swapped = false) const {
        std::vector<uint32_t> payload(w.begin() + 1, w.end());
        if (swapped)
            for (size_t k = 1; k < payload.size(); ++k) payload[k] = swap32(payload[k]);
        return vh::createUserData(swapped ? swap32(w[0]) : w[0], payload);
    }
};

// A particle shader instance (blobby unless given) over a block, with the
// material "mat": a surface shader showing the shading normal as its colour,
// the particle sampler info's first colour as its glow, and `transparency`.
struct Particles {
    explicit Particles(xrTag data, const std::string &type = "veko_blobbyparticles", float transparency = 0.0f)
        : net(vt::library()) {
        vt::messages();
        shader = &net.add("p", type);
        shader->setLiteral("particleData", data);
        if (type == "veko_blobbyparticles") {
            // The state shader's exit releases the per-thread block pools.
            net.load(json::parse(R"({"nodes": [
                {"name": "st", "type": "veko_state"},
                {"name": "info", "type": "veko_samplerinfo", "params": {"space": 1, "skipMask": 192}},
                {"name": "n2c", "type": "veko_vector_to_color", "params": {"vector": "info.normal"}},
                {"name": "attr", "type": "veko_particlesamplerinfo"},
                {"name": "mat", "type": "veko_surfaceshader",
                 "params": {"outColor": "n2c.outColor", "outGlowColor": "attr.outColor1"}}]})"));
            net.find("mat")->setLiteral("outTransparency", json::array({transparency, transparency, transparency, 1}));
            shader->setLiteral("material", net.find("mat")->tag);
            shader->setLiteral("threshold", 0.25);
        }
        veko::BaseStateRecord r = vt::templateRecord();
        r.filterEnabled = 0;
        xr_shaderstate_set(ss.state(), "vekobase", &r, sizeof r, 2);
        net.init(ss.state());
        initMessages = vt::messages();
    }
    const veko::ParticleRecord *record() const {
        return static_cast<const veko::ParticleRecord *>(shader->userPointer);
    }

    // One ray through the shader: the samples it pushed, nearest first.
    std::vector<veko::VolumeSampleNode> trace(xrVector origin, xrVector dir, double limit = 100.0, int rayKind = 0) {
        xrState *s = ss.state();
        s->rayOrigin = origin;
        s->rayDirection = veko::normalize(dir);
        s->hitDistance = limit;
        s->rayKind = rayKind;
        ss.nextSample();
        veko::VolumeSampleStack stack{};
        stack.pool = xr_mem_int_blkcreate(sizeof(veko::VolumeSampleNode));
        returned = vh::callShader(*shader, s, &stack);
        std::vector<veko::VolumeSampleNode> out;
        veko::VolumeSampleNode n;
        while (veko::popVolumeNode(stack, n)) out.insert(out.begin(), n);
        xr_mem_blkdelete(stack.pool);
        EXPECT_EQ(s->hitDistance, limit) << "the state is restored";
        return out;
    }

    vh::StandaloneState ss;
    vh::Network net;
    vh::Instance *shader = nullptr;
    std::vector<vh::Message> initMessages;
    xrBoolean returned = 0;
};

int countMessages(const std::vector<vh::Message> &m, const std::string &text) {
    int n = 0;
    for (auto &x : m) n += x.text == text;
    return n;
}

xrVector normalOf(const veko::VolumeSampleNode &n) { return {n.sample.outColor.r, n.sample.outColor.g, n.sample.outColor.b}; }

// ---------------------------------------------------------------------------
// The record and its hierarchy.

TEST(ParticleRecord, OneParticleIsTheRootLeaf) {
    Particles p(BlockWords::spheres({{1, 2, 3, 0.5f}}).create());
    const veko::ParticleRecord *r = p.record();
    ASSERT_NE(r, nullptr);
    ASSERT_NE(r->root, nullptr);
    EXPECT_TRUE(r->root->leaf());
    EXPECT_EQ(r->root->link[0], 0u);
    EXPECT_FLOAT_EQ(r->root->centre.x, 1);
    EXPECT_FLOAT_EQ(r->root->centre.z, 3);
    EXPECT_FLOAT_EQ(r->root->radius, 0.5f);
    EXPECT_EQ(r->emissionState, -1);
    EXPECT_FLOAT_EQ(r->boundsMin.y, 1.5f);
    EXPECT_FLOAT_EQ(r->boundsMax.y, 2.5f);
}

TEST(ParticleRecord, CoincidentParticlesMergeIntoTheSameSphere) {
    Particles p(BlockWords::spheres({{1, 2, 3, 0.5f}, {1, 2, 3, 0.5f}}).create());
    const veko::SphereNode *root = p.record()->root;
    ASSERT_FALSE(root->leaf());
    EXPECT_FLOAT_EQ(root->centre.x, 1);
    EXPECT_FLOAT_EQ(root->centre.y, 2);
    EXPECT_FLOAT_EQ(root->radius, 0.5f);
    auto *a = reinterpret_cast<const veko::SphereNode *>(root->link[0]);
    auto *b = reinterpret_cast<const veko::SphereNode *>(root->link[1]);
    EXPECT_TRUE(a->leaf() && b->leaf());
    EXPECT_NE(a->link[0], b->link[0]);
}

// Every node's sphere holds every leaf sphere beneath it (what the walk
// relies on to skip a node) and every particle sits in exactly one leaf,
// however the pairing went. Returns the node's leaves.
std::vector<const veko::SphereNode *> checkTree(const veko::SphereNode *n, std::vector<int> &seen) {
    if (n->leaf()) {
        ++seen.at(size_t(n->link[0]));
        return {n};
    }
    std::vector<const veko::SphereNode *> leaves;
    for (int k = 0; k < 2; ++k) {
        auto below = checkTree(reinterpret_cast<const veko::SphereNode *>(n->link[k]), seen);
        leaves.insert(leaves.end(), below.begin(), below.end());
    }
    for (const veko::SphereNode *l : leaves) {
        const float d = veko::length(veko::vsub(l->centre, n->centre));
        EXPECT_LE(d + l->radius, n->radius * 1.0001f + 1e-5f);
    }
    return leaves;
}

// 500 particles in a slab and one far off it, which pairs only after the
// cells have grown.
std::vector<std::array<float, 4>> slabOfParticles() {
    std::vector<std::array<float, 4>> s;
    unsigned seed = 7;
    auto rnd = [&] { return (seed = seed * 1103515245u + 12345u) / 4294967296.0f; };
    for (int i = 0; i < 500; ++i) s.push_back({rnd() * 10, rnd() * 2, rnd() * 10, 0.05f + rnd() * 0.2f});
    s.push_back({100, 0, 0, 0.1f});
    return s;
}

TEST(ParticleRecord, HierarchyEnclosesEveryParticleOnce) {
    const auto s = slabOfParticles();
    Particles p(BlockWords::spheres(s).create());
    std::vector<int> seen(s.size(), 0);
    checkTree(p.record()->root, seen);
    for (size_t i = 0; i < s.size(); ++i) EXPECT_EQ(seen[i], 1) << "particle " << i;
}

TEST(ParticleRecord, WalkFindsWhatTestingEveryParticleFinds) {
    // Threshold 0 makes each particle a hard sphere and a fully transparent
    // material keeps the search going, so a ray's samples are the entries
    // and exits of the union of the spheres it meets. Tested against every
    // particle, the same union must come out: a particle the walk skips
    // takes its boundaries with it.
    const auto s = slabOfParticles();
    Particles p(BlockWords::spheres(s).create(), "veko_blobbyparticles", 1.0f);
    p.shader->setLiteral("threshold", 0.0);
    unsigned seed = 11;
    auto rnd = [&] { return (seed = seed * 1103515245u + 12345u) / 4294967296.0f; };
    int boundaries = 0;
    for (int ray = 0; ray < 300; ++ray) {
        const xrVector o = {rnd() * 10, 1 + (rnd() - 0.5f) * 3, -3};
        const xrVector d = veko::normalize({(rnd() - 0.5f) * 0.8f, (rnd() - 0.5f) * 0.3f, 1});
        std::vector<std::pair<float, float>> spans;
        for (auto &q : s) {
            const xrVector c = {q[0], q[1], q[2]};
            const float t = veko::dot(veko::vsub(c, o), d);
            const xrVector off = veko::vsub(veko::vadd(o, veko::vscale(d, t)), c);
            const float q2 = veko::dot(off, off);
            if (q2 < q[3] * q[3]) spans.push_back({t - std::sqrt(q[3] * q[3] - q2), t + std::sqrt(q[3] * q[3] - q2)});
        }
        std::sort(spans.begin(), spans.end());
        std::vector<float> want;
        for (size_t i = 0; i < spans.size();) {
            float end = spans[i].second;
            const float start = spans[i].first;
            for (++i; i < spans.size() && spans[i].first <= end; ++i) end = std::fmax(end, spans[i].second);
            want.insert(want.end(), {start, end});
        }
        const auto got = p.trace(o, d);
        ASSERT_EQ(got.size(), want.size()) << "ray " << ray;
        for (size_t k = 0; k < want.size(); ++k) EXPECT_NEAR(got[k].distance, want[k], 1e-3) << "ray " << ray;
        boundaries += int(want.size());
    }
    EXPECT_GT(boundaries, 300) << "the rays meet particles";
}

TEST(ParticleRecord, ByteSwappedBlockIsConvertedOnce) {
    const BlockWords b = BlockWords::spheres({{1, 2, 3, 0.5f}, {4, 2, 3, 0.25f}});
    const xrTag tag = b.create(true);
    Particles first(tag), second(tag);
    EXPECT_EQ(countMessages(first.initMessages, "data_swap(): Particle data has been swapped."), 1);
    EXPECT_EQ(countMessages(second.initMessages, "data_swap(): Particle data has been swapped."), 0);
    for (const Particles *p : {&first, &second}) {
        ASSERT_NE(p->record(), nullptr);
        EXPECT_FLOAT_EQ(p->record()->root->radius, 1.875f);  // (0.5 + 3 + 0.25) / 2
        EXPECT_EQ(p->record()->count, 2);
    }
}

TEST(ParticleRecord, TubeWithCoincidentEndsGetsATinyAxisAlongX) {
    BlockWords b;
    b.w[veko::kBlockCount] = 1;
    b.array(veko::kBlockTubeStart, {1, 2, 3}, 3);
    b.array(veko::kBlockTubeEnd, {1, 2, 3}, 3);
    b.array(veko::kBlockTubeR0, {0}, 1);
    b.array(veko::kBlockTubeR1, {0}, 1);
    Particles p(b.create(), "veko_tubeparticles");
    const veko::ParticleRecord *r = p.record();
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->kind, veko::kParticleTube);
    const auto &tube = static_cast<const veko::TubePrim *>(r->primitives)[0];
    EXPECT_FLOAT_EQ(tube.r0, 0.00001f);
    EXPECT_FLOAT_EQ(tube.r1, 0.00001f);
    EXPECT_FLOAT_EQ(r->root->radius, 0.00001f);  // half length, radii too small to count
    EXPECT_FLOAT_EQ(r->root->centre.x, 1.000005f);
    EXPECT_FLOAT_EQ(r->root->centre.y, 2);
}

TEST(ParticleRecord, UnusableDataIsRefusedWithAWarning) {
    BlockWords past = BlockWords::spheres({{0, 0, 0, 1}, {1, 0, 0, 1}});
    past.w[veko::kBlockCentre + 1] = 1000;  // stride runs past the block
    BlockWords noRadius = BlockWords::spheres({{0, 0, 0, 1}});
    noRadius.w[veko::kBlockRadius] = 0;
    const struct {
        const char *name;
        xrTag tag;
    } cases[] = {{"no tag", 0}, {"array past the end", past.create()}, {"missing array", noRadius.create()}};
    for (auto &c : cases) {
        Particles p(c.tag);
        EXPECT_EQ(p.record(), nullptr) << c.name;
        EXPECT_TRUE(vt::hasMessage(p.initMessages, "veko_blobbyparticles(): Particle data access failed.")) << c.name;
        EXPECT_TRUE(p.trace({0, 0, 0}, {0, 0, -1}).empty());
        EXPECT_TRUE(vt::hasMessage(vt::messages(), c.tag ? "veko_blobbyparticles(): Prebuilt data was not found."
                                                         : "veko_blobbyparticles(): Particle data access failed."))
            << c.name;
    }
}

// ---------------------------------------------------------------------------
// The blobby surface.

TEST(Blobby, SingleParticleSurfaceAtThresholdRadius) {
    // Threshold 0.25: (1 - d^2/R^2)^2 = 0.25 at d = R sqrt(0.5). An opaque
    // material ends the search at the front; a half-transparent one shows
    // the back as well.
    const float R = 1.0f, rs = R * std::sqrt(0.5f);
    const xrTag tag = BlockWords::spheres({{0, 0, -5, R}}).create();
    for (float transparency : {0.0f, 0.5f}) {
        Particles p(tag, "veko_blobbyparticles", transparency);
        auto s = p.trace({0, 0, 0}, {0, 0, -1});
        ASSERT_EQ(s.size(), transparency > 0 ? 2u : 1u);
        EXPECT_EQ(p.returned, xrBoolean(s.size()));
        EXPECT_NEAR(s[0].distance, 5 - rs, 2e-4);
        EXPECT_EQ(s[0].kind, veko::kVolPoint);
        EXPECT_NEAR(normalOf(s[0]).z, 1, 1e-4);
        if (s.size() == 2) {
            EXPECT_NEAR(s[1].distance, 5 + rs, 2e-4);
            EXPECT_NEAR(normalOf(s[1]).z, 1, 1e-4);  // the back faces the ray after the flip
            EXPECT_NEAR(s[1].sample.outTransparency.g, 0.5f, 1e-6);
        }
        // Sideways, off the centre line: the hit point lies on the sphere.
        auto side = p.trace({0.3f, 0, 0}, {0, 0, -1});
        ASSERT_FALSE(side.empty());
        const float z = side[0].distance;
        EXPECT_NEAR(std::sqrt(0.09f + (5 - z) * (5 - z)), rs, 2e-4);
    }
}

TEST(Blobby, NeckBetweenTwoParticlesAddsTheirFields) {
    const xrVector c1 = {-0.7f, 0, -5}, c2 = {0.7f, 0, -5};
    Particles p(BlockWords::spheres({{c1.x, c1.y, c1.z, 1}, {c2.x, c2.y, c2.z, 1}}).create());
    for (float x : {0.0f, 0.25f}) {
        auto s = p.trace({x, 0, 0}, {0, 0, -1});
        ASSERT_EQ(s.size(), 1u) << x;
        const xrVector P = {x, 0, -s[0].distance};
        float field = 0;
        xrVector n = {0, 0, 0};
        for (const xrVector &c : {c1, c2}) {
            const xrVector d = veko::vsub(P, c);
            const float f = 1 - veko::dot(d, d);
            if (f > 0) {
                field += f * f;
                n = veko::vadd(n, veko::vscale(d, f));
            }
        }
        EXPECT_NEAR(field, 0.25f, 1e-3) << "both fields add up at the surface";
        n = veko::normalize(n);
        const xrVector got = normalOf(s[0]);
        EXPECT_NEAR(got.x, n.x, 2e-3) << x;
        EXPECT_NEAR(got.z, n.z, 2e-3) << x;
    }
    // Off the axis, where either particle alone stays below the threshold
    // (0.49 + 0.3^2 > 0.5), the pair still makes a surface.
    EXPECT_FALSE(p.trace({0, 0.3f, 0}, {0, 0, -1}).empty());
}

TEST(Blobby, CrossingAtTheRayOriginIsNotShaded) {
    // A ray leaving the surface outwards from the back starts on it.
    const float back = -5 - std::sqrt(0.5f);
    Particles p(BlockWords::spheres({{0, 0, -5, 1}}).create());
    EXPECT_TRUE(p.trace({0, 0, back}, {0, 0, -1}).empty());
    auto inside = p.trace({0, 0, back + 0.001f}, {0, 0, -1});
    ASSERT_EQ(inside.size(), 1u);
    EXPECT_NEAR(inside[0].distance, 0.001f, 2e-4);
}

TEST(Blobby, GrazingRayGivesNoEvents) {
    // Threshold 0: the hard sphere. A ray passing within 0.00001 of the
    // silhouette finds nothing; a little further in it hits.
    const float r = 0.001f;
    Particles p(BlockWords::spheres({{0, 0, -1, r}}).create());
    p.shader->setLiteral("threshold", 0.0);
    for (float w : {0.000005f, 0.00003f}) {
        const float q = std::sqrt(r * r - w * w);
        auto s = p.trace({q, 0, 0}, {0, 0, -1});
        EXPECT_EQ(s.size(), w > 0.00001f ? 1u : 0u) << w;
    }
}

TEST(Blobby, VisibilityInReflectionsAndRefractions) {
    const xrTag tag = BlockWords::spheres({{0, 0, -5, 1}}).create();
    const struct {
        int rayKind;
        bool inReflections, inRefractions;
        size_t samples;
    } cases[] = {{0, false, false, 1}, {2, false, true, 0}, {2, true, false, 1}, {3, true, false, 0}, {3, false, true, 1}};
    for (auto &c : cases) {
        Particles p(tag);
        p.shader->setLiteral("visibleInReflections", c.inReflections);
        p.shader->setLiteral("visibleInRefractions", c.inRefractions);
        EXPECT_EQ(p.trace({0, 0, 0}, {0, 0, -1}, 100, c.rayKind).size(), c.samples) << c.rayKind;
    }
}

TEST(Blobby, AttributesAreBlendedForTheMaterial) {
    // Two particles with their own first colours (array 21/22); the point
    // near one takes mostly its colour, the neck point the mean.
    BlockWords b = BlockWords::spheres({{-0.7f, 0, -5, 1}, {0.7f, 0, -5, 1}});
    b.array(veko::kBlockAttr3, {1, 0, 0, 0, 0, 1}, 3);
    Particles p(b.create());
    auto mid = p.trace({0, 0, 0}, {0, 0, -1});
    ASSERT_EQ(mid.size(), 1u);
    EXPECT_NEAR(mid[0].sample.outGlowColor.r, 0.5f, 1e-3);
    EXPECT_NEAR(mid[0].sample.outGlowColor.b, 0.5f, 1e-3);
    auto left = p.trace({-0.9f, 0, 0}, {0, 0, -1});
    ASSERT_EQ(left.size(), 1u);
    EXPECT_GT(left[0].sample.outGlowColor.r, 0.95f);
}

TEST(Blobby, MissingRecordOrStateAreReported) {
    Particles p(BlockWords::spheres({{0, 0, -5, 1}}).create());
    void *saved = p.shader->userPointer;
    p.shader->userPointer = nullptr;
    EXPECT_TRUE(p.trace({0, 0, 0}, {0, 0, -1}).empty());
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_blobbyparticles(): Prebuilt data was not found."));
    p.shader->userPointer = saved;
    xr_shaderstate_set(p.ss.state(), "vekobase", nullptr, 0, 2);
    EXPECT_TRUE(p.trace({0, 0, 0}, {0, 0, -1}).empty());
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_blobbyparticles(): Internal state error."));
}

// ---------------------------------------------------------------------------
// Particle systems in scene files.

json particleScene(const json &particles) {
    return {{"camera", {{"resolution", {4, 4}}}},
            {"nodes", {{{"name", "b"}, {"type", "veko_blobbyparticles"}, {"params", {{"particleData", "drops.particles"}}}}}},
            {"objects", {{{"name", "drops"}, {"particles", particles}, {"userData", {7}}}}}};
}

TEST(ParticleScene, PointsBecomeABlockAfterTheObjectsUserData) {
    auto scene = vh::loadSceneJson(vt::library(),
                                   particleScene({{"points", {{0, 0, 0, 0.5}, {1, 2, 3, 0.25}}},
                                                  {"colors", {{1, 0, 0}, {0, 1, 0}}},
                                                  {"velocities", {{0, 1, 0}, {0, 0, 0, 0.5}}}}),
                                   "particles-test.json");
    // The object's own block comes first, the particle block after it, and
    // the blobby node's tag names the particle block.
    const xrTag first = vh::objectInfo(*scene, "drops").dataTag;
    auto *w = static_cast<const uint32_t *>(vh::Database::get().data(first));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w[7], 7u);
    const xrTag block = w[1];
    xrTag named = 0;
    std::memcpy(&named, vh::networkOf(*scene).find("b")->params() + 12, 4);
    EXPECT_EQ(named, block);
    auto *b = static_cast<const uint32_t *>(vh::Database::get().data(block)) + 6;  // from the magic
    ASSERT_EQ(b[0], veko::kVekoMagic);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(b)[5], 1) << "motion flag";
    EXPECT_EQ(b[veko::kBlockCount], 2u);
    auto f = [&](int pair, int i, int k) {
        float v;
        std::memcpy(&v, b + b[pair] + b[pair + 1] * uint32_t(i) + uint32_t(k), 4);
        return v;
    };
    EXPECT_FLOAT_EQ(f(veko::kBlockCentre, 1, 2), 3);
    EXPECT_FLOAT_EQ(f(veko::kBlockRadius, 1, 0), 0.25f);
    EXPECT_FLOAT_EQ(f(veko::kBlockAttr3, 1, 1), 1);
    EXPECT_FLOAT_EQ(f(veko::kBlockCentreVel, 0, 1), 1);
    EXPECT_FLOAT_EQ(f(veko::kBlockRadiusVel, 1, 0), 0.5f);
    EXPECT_EQ(b[veko::kBlockAttr4], 0u) << "no opacities given";
}

TEST(ParticleScene, BadParticleInputIsRefusedWithItsPlace) {
    const struct {
        json particles;
        const char *message;
    } cases[] = {
        {{{"points", json::array()}}, "\"points\" must not be empty"},
        {{{"points", {{0, 0, 0}}}}, "\"points\"[0] must be a list of 4 numbers"},
        {{{"points", {{0, 0, 0, 0}}}}, "radii must be positive"},
        {{{"points", {{0, 0, 0, 1}}}, {"colors", {{1, 0, 0}, {0, 1, 0}}}}, "\"colors\" must have one entry per point (1)"},
        {{{"points", {{0, 0, 0, 1}}}, {"size", 3}}, "unknown key \"size\""},
    };
    for (auto &c : cases) {
        try {
            vh::loadSceneJson(vt::library(), particleScene(c.particles), "particles-test.json");
            ADD_FAILURE() << c.message;
        } catch (const vh::Error &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("particles-test.json: objects[0] (\"drops\"): particles: "), std::string::npos) << what;
            EXPECT_NE(what.find(c.message), std::string::npos) << what;
        }
    }
}

// The particle block a scene built for object "drops": words from the magic.
const uint32_t *particleBlockOf(const vh::Scene &scene) {
    auto *w = static_cast<const uint32_t *>(vh::Database::get().data(vh::objectInfo(scene, "drops").dataTag));
    return static_cast<const uint32_t *>(vh::Database::get().data(w[1])) + 6;
}

float blockFloat(const uint32_t *b, int pair, size_t i, int k) {
    float v;
    std::memcpy(&v, b + b[pair] + b[pair + 1] * uint32_t(i) + uint32_t(k), 4);
    return v;
}

// Point files written through the host's volume-file module into a
// temporary file, read back by a scene's "particles": {"file": ...}.
class ParticleFile : public ::testing::Test {
protected:
    void TearDown() override {
        for (auto &p : paths_) std::filesystem::remove(p);
    }
    std::string path(const std::string &name) {
        paths_.push_back(::testing::TempDir() + "vekobase_points_" + std::to_string(::getpid()) + "_" + name + ".vdb");
        return paths_.back();
    }
    std::string write(const std::string &name, const std::vector<float> &positions,
                      const std::vector<VhVdbPointColumn> &columns) {
        const std::string p = path(name);
        char err[256] = {0};
        EXPECT_EQ(vh::vdbModule().writePoints(p.c_str(), "drops", 0.25, (long long)(positions.size() / 3),
                                              positions.data(), columns.data(), int(columns.size()), err, sizeof err),
                  kVhVdbOk)
            << err;
        return p;
    }
    std::vector<std::string> paths_;
};

TEST_F(ParticleFile, RoundTripPositionsRadiiVelocitiesColoursAndValues) {
    // 40 points spread over several voxels and leaves, negative and
    // positive coordinates, each with its own values.
    const size_t n = 40;
    std::vector<float> pos, pscale, v, cd, opacity, age, life;
    for (size_t i = 0; i < n; ++i) {
        const float f = float(i);
        pos.insert(pos.end(), {-3.0f + 0.37f * f, 0.1f * f - 1.0f, 5.0f - 0.23f * f});
        pscale.push_back(0.05f + 0.01f * f);
        v.insert(v.end(), {f, -2.0f * f, 0.5f});
        cd.insert(cd.end(), {f / n, 1.0f - f / n, 0.25f});
        opacity.push_back(0.5f + f / (2 * n));
        age.push_back(0.1f * f);
        life.push_back(10.0f + f);
    }
    const std::string file = write("roundtrip", pos,
                                   {{"pscale", 1, pscale.data()}, {"v", 3, v.data()}, {"Cd", 3, cd.data()},
                                    {"opacity", 1, opacity.data()}, {"age", 1, age.data()}, {"life", 1, life.data()}});
    auto scene = vh::loadSceneJson(
        vt::library(),
        particleScene({{"file", file}, {"velocityScale", 0.5}, {"attributes", {{"valueB", "life"}}}}),
        "particles-test.json");
    const uint32_t *b = particleBlockOf(*scene);
    ASSERT_EQ(b[0], veko::kVekoMagic);
    ASSERT_EQ(b[veko::kBlockCount], n);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(b)[5], 1) << "motion flag";
    // The file keeps its own point order: match each particle read back to
    // the point written at its position.
    std::vector<bool> seen(n, false);
    for (size_t k = 0; k < n; ++k) {
        const xrVector c{blockFloat(b, veko::kBlockCentre, k, 0), blockFloat(b, veko::kBlockCentre, k, 1),
                         blockFloat(b, veko::kBlockCentre, k, 2)};
        size_t i = 0;
        while (i < n && !(std::fabs(c.x - pos[3 * i]) < 1e-5f && std::fabs(c.y - pos[3 * i + 1]) < 1e-5f &&
                          std::fabs(c.z - pos[3 * i + 2]) < 1e-5f))
            ++i;
        ASSERT_LT(i, n) << "particle " << k << " at " << c.x << " " << c.y << " " << c.z << " was not written";
        EXPECT_FALSE(seen[i]) << i;
        seen[i] = true;
        EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockRadius, k, 0), pscale[i]);
        for (int a = 0; a < 3; ++a) {
            EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockCentreVel, k, a), 0.5f * v[3 * i + a]) << i;
            EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockAttr3, k, a), cd[3 * i + a]) << i;
            EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockAttr4, k, a), opacity[i]) << "scalar opacity on all three";
        }
        EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockAttr1, k, 0), age[i]);
        EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockAttr2, k, 0), life[i]);
    }
    EXPECT_EQ(b[veko::kBlockAttr5], 0u) << "no incandescence in the file";
    EXPECT_EQ(b[veko::kBlockRadiusVel], 0u);
}

TEST_F(ParticleFile, ConstantRadiusWithoutPscale) {
    const std::vector<float> pos = {0, 0, 0, 1, 2, 3};
    const std::string file = write("noscale", pos, {});
    auto scene = vh::loadSceneJson(vt::library(), particleScene({{"file", file}, {"radius", 0.3}}), "particles-test.json");
    const uint32_t *b = particleBlockOf(*scene);
    ASSERT_EQ(b[veko::kBlockCount], 2u);
    EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockRadius, 0, 0), 0.3f);
    EXPECT_FLOAT_EQ(blockFloat(b, veko::kBlockRadius, 1, 0), 0.3f);
    EXPECT_EQ(reinterpret_cast<const uint8_t *>(b)[5], 0) << "no motion without velocities";
}

TEST_F(ParticleFile, ErrorsNameTheFileObjectGridAndAttribute) {
    const std::vector<float> pos = {0, 0, 0, 1, 1, 1, 2, 0, 0};
    const std::vector<float> one = {0.1f, 0.2f, 0.3f}, three = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    const std::vector<float> negative = {0.1f, -0.2f, 0.3f};
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> offsets = {0, 0, 0, nan, 0, 0, 0, 0, 0};  // damaged in-voxel position of one point
    const std::string good = write("good", pos, {{"pscale", 1, one.data()}});
    const std::string vecScale = write("vecscale", pos, {{"pscale", 3, three.data()}});
    const std::string floatCd = write("floatcd", pos, {{"pscale", 1, one.data()}, {"Cd", 1, one.data()}});
    const std::string negScale = write("negscale", pos, {{"pscale", 1, negative.data()}});
    const std::string noScale = write("noscale", pos, {});
    const std::string badP = write("badp", pos, {{"pscale", 1, one.data()}, {"P", 3, offsets.data()}});
    // A file of dense grids only.
    const std::string dense = path("dense");
    {
        float values[8] = {1, 1, 1, 1, 1, 1, 1, 1};
        VhVdbDense d{};
        d.name = "density";
        d.components = 1;
        for (int a = 0; a < 3; ++a) d.res[a] = 2, d.voxelSize[a] = 1;
        d.values = values;
        char err[256] = {0};
        ASSERT_EQ(vh::vdbModule().write(dense.c_str(), &d, 1, err, sizeof err), kVhVdbOk) << err;
    }
    const struct {
        json particles;
        std::string want;
    } cases[] = {
        {{{"file", path("missing")}}, "\"" + paths_.back() + "\" does not exist"},
        {{{"file", dense}}, "particle file \"" + dense + "\" holds no point grid"},
        {{{"file", dense}, {"grid", "density"}}, "grid \"density\" holds float values, not points"},
        {{{"file", good}, {"grid", "splash"}}, "no grid named \"splash\""},
        {{{"file", vecScale}}, "grid \"drops\", attribute \"pscale\" (radius) holds vec3s values, not scalars"},
        {{{"file", floatCd}}, "attribute \"Cd\" (color) holds float values, not vectors"},
        {{{"file", negScale}}, "attribute \"pscale\" (radius): point "},
        {{{"file", noScale}}, "has no radius attribute; give \"radius\""},
        {{{"file", good}, {"attributes", {{"color", "colour"}}}}, "has no attribute \"colour\" (color)"},
        {{{"file", badP}}, "attribute \"P\" (positions): point "},
        {{{"file", good}, {"points", {{0, 0, 0, 1}}}}, "\"points\" is for inline points"},
        {{{"file", good}, {"attributes", {{"size", "pscale"}}}}, "\"attributes\": unknown key \"size\""},
        {{{"points", {{0, 0, 0, 1}}}, {"radius", 1}}, "\"radius\" needs a \"file\""},
    };
    for (auto &c : cases) {
        try {
            vh::loadSceneJson(vt::library(), particleScene(c.particles), "particles-test.json");
            ADD_FAILURE() << c.want;
        } catch (const vh::Error &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("particles-test.json: objects[0] (\"drops\"): particles: "), std::string::npos) << what;
            EXPECT_NE(what.find(c.want), std::string::npos) << what;
        }
    }
    // A damaged position is reported as not finite, and a negative radius
    // as negative (the point index varies with the file's point order).
    for (auto &[file, want] : {std::pair{badP, "is not finite"}, std::pair{negScale, "is negative"}}) {
        try {
            vh::loadSceneJson(vt::library(), particleScene({{"file", file}}), "particles-test.json");
            ADD_FAILURE() << want;
        } catch (const vh::Error &e) {
            EXPECT_NE(std::string(e.what()).find(want), std::string::npos) << e.what();
        }
    }
}

// ---------------------------------------------------------------------------
// Shadows of a blobby heap through the volume sampler, rendered by the host.

// A grey ground seen from straight above (orthographic, 4 units wide, 32
// pixels: pixel x = (world x + 2) * 8, row 16 is z = 0), a directional
// light falling at 45 degrees towards -x, and a heap of three drops round
// (0, 0.35, 0) whose blobby shader takes `shadowShader` on shadow rays.
json shadowScene(const std::string &shadowShader) {
    json nodes = json::parse(R"([
        {"name": "state", "type": "veko_state"},
        {"name": "grey", "type": "veko_lambert", "params": {"color": [0.5, 0.5, 0.5, 1], "diffuse": 0.8}},
        {"name": "greySG", "type": "veko_shadingengine", "params": {"surfaceShader": "grey"}},
        {"name": "sun", "type": "veko_directionallight", "params": {"useRayTraceShadows": 1}},
        {"name": "dropsVolume", "type": "veko_volumesampler", "params": {"volumeShader": "blob"}}
    ])");
    nodes.push_back({{"name", "blob"},
                     {"type", "veko_blobbyparticles"},
                     {"params",
                      {{"material", "grey"}, {"shadowShader", shadowShader}, {"threshold", 0.3},
                       {"particleData", "drops.particles"}}}});
    return {{"nodes", nodes},
            {"state", "state"},
            {"options", {{"trace", true}, {"autoVolume", true}, {"shadows", "segments"}}},
            {"camera",
             {{"type", "orthographic"},
              {"resolution", {32, 32}},
              {"aperture", 4},
              {"samples", 1},
              {"clip", {0.1, 100}},
              {"transform", {{"lookAt", {{"eye", {0, 3, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"lights",
             {{{"name", "sun"}, {"shader", "sun"}, {"transform", {{"lookAt", {{"eye", {4, 4, 0}}, {"target", {0, 0, 0}}}}}}}}},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {8, 8}}}}, {"material", "greySG"}},
              {{"name", "drops"},
               {"particles", {{"points", {{0, 0.35, 0, 0.35}, {0.15, 0.3, 0.1, 0.3}, {-0.1, 0.3, -0.1, 0.3}}}}},
               {"volume", "dropsVolume"}}}}};
}

TEST(BlobbyShadow, HeapDarkensTheGroundBehindIt) {
    // The shadow shader may be a shading engine (a shadow shader proper) or
    // a bare surface shader wired in its place, which answers with its
    // result record's transparency.
    for (const char *shadowShader : {"greySG", "grey"}) {
        auto scene = vh::loadSceneJson(vt::library(), shadowScene(shadowShader), "blobby-shadow.json");
        vh::RenderOptions o;
        o.threads = 1;
        o.progress = false;
        const vh::FrameImage img = vh::render(*scene, o);
        const float lit = img.pixel(24, 16)[0];      // ground at x = 1: in the light
        const float behind = img.pixel(11, 16)[0];   // ground at x = -0.6: behind the heap from the light
        EXPECT_GT(lit, 0.1f) << shadowShader;
        EXPECT_LT(behind, 0.2f * lit) << shadowShader;
    }
}

// ---------------------------------------------------------------------------
// The particle object's own motion.

// One blobby particle (radius 0.4, threshold 0.25: a white disc of radius
// 0.4 sqrt(0.5) seen from above) against black, in an orthographic view
// 4 units wide from x = -1 to 3 (32 x 2 pixels, pixel x at world
// -1 + (x + 0.5) / 8), 64 samples per pixel over the shutter [0, 1].
// `object` adds to the particle object.
vh::FrameImage renderMovingParticle(const json &particles, const json &object, bool motionBlur = true) {
    json obj = {{"name", "p"}, {"particles", particles}, {"volume", "vol"}};
    for (auto it = object.begin(); it != object.end(); ++it) obj[it.key()] = it.value();
    const json scene = {
        {"nodes", json::parse(R"([
            {"name": "state", "type": "veko_state"},
            {"name": "white", "type": "veko_surfaceshader",
             "params": {"outColor": [1, 1, 1, 1], "outTransparency": [0, 0, 0, 1]}},
            {"name": "blob", "type": "veko_blobbyparticles",
             "params": {"material": "white", "threshold": 0.25, "particleData": "p.particles"}},
            {"name": "vol", "type": "veko_volumesampler", "params": {"volumeShader": "blob"}}])")},
        {"state", "state"},
        {"options", {{"trace", true}, {"autoVolume", true}, {"motionBlur", motionBlur}, {"shutter", {0, 1}}}},
        {"camera",
         {{"type", "orthographic"},
          {"resolution", {32, 2}},
          {"aperture", 4},
          {"samples", 64},
          {"alpha", false},
          {"clip", {0.1, 100}},
          {"transform", {{"lookAt", {{"eye", {1, 0, 5}}, {"target", {1, 0, 0}}}}}}}},
        {"objects", {obj}}};
    auto sc = vh::loadSceneJson(vt::library(), scene, "moving-particle.json");
    vh::RenderOptions o;
    o.threads = 1;
    o.progress = false;
    return vh::render(*sc, o);
}

float maxDifference(const vh::FrameImage &a, const vh::FrameImage &b) {
    float d = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) d = std::fmax(d, std::fabs(a.rgba[i] - b.rgba[i]));
    return d;
}

TEST(ParticleMotion, ObjectMotionMovesParticlesLikeTheirVelocities) {
    // The object's motion T adds (T - I) p to each particle's velocity, so
    // a moving object renders as its particles given that velocity would.
    // With the object placed at x = -1, a motion scaling its space by 2
    // about its origin moves the particle at object x = 1 (world 0) to
    // object x = 2 (world 1): T = fromWorld * motion * toWorld.
    const json at0 = {{"points", {{0, 0, 0, 0.4}}}};
    const struct {
        const char *what;
        json particles, object;
        float velocity;  // the same particle at world 0 with this x velocity
    } cases[] = {
        {"translated by 2", at0, {{"motion", {{"translate", {2, 0, 0}}}}}, 2.0f},
        {"scaled by 2 about its origin", {{"points", {{1, 0, 0, 0.4}}}},
         {{"transform", {{"translate", {-1, 0, 0}}}}, {"motion", {{"scale", 2}}}}, 1.0f},
        {"the identity", at0, {{"motion", {{"translate", {0, 0, 0}}}}}, 0.0f},
    };
    for (const auto &c : cases) {
        const vh::FrameImage moved = renderMovingParticle(c.particles, c.object);
        const vh::FrameImage reference = renderMovingParticle(
            c.velocity != 0 ? json{{"points", {{0, 0, 0, 0.4}}}, {"velocities", {{c.velocity, 0, 0}}}} : at0, json::object());
        EXPECT_LT(maxDifference(moved, reference), 1e-5f) << c.what;
    }
    // Only particle objects move this way.
    try {
        vh::loadSceneJson(vt::library(),
                          {{"objects", {{{"name", "box"}, {"mesh", {{"type", "box"}}}, {"motion", {{"scale", 2}}}}}}},
                          "motion-test.json");
        ADD_FAILURE() << "a moving mesh was accepted";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find("(\"box\"): \"motion\" is for particle objects"), std::string::npos)
            << e.what();
    }
}

TEST(ParticleMotion, MovingObjectIsBlurredAlongItsPath) {
    // Translated by 2 over the shutter, the disc of radius rs covers a pixel
    // centre at 0.3 <= x <= 1.7 (y = +-1/16) for a time h = sqrt(rs^2 - y^2)
    // of the unit shutter; beyond x = 2 + rs it never comes. Without motion
    // blur it stands at x = 0.
    const json at0 = {{"points", {{0, 0, 0, 0.4}}}};
    const json moving = {{"motion", {{"translate", {2, 0, 0}}}}};
    const float rs = 0.4f * std::sqrt(0.5f), h = std::sqrt(rs * rs - 1.0f / 256);
    const vh::FrameImage blurred = renderMovingParticle(at0, moving);
    const vh::FrameImage still = renderMovingParticle(at0, moving, false);
    for (int y = 0; y < 2; ++y) {
        for (int x : {11, 13, 16, 18, 21}) EXPECT_NEAR(blurred.pixel(x, y)[0], h, 0.05f) << "pixel " << x;
        EXPECT_EQ(blurred.pixel(29, y)[0], 0.0f);
        EXPECT_NEAR(still.pixel(8, y)[0], 1.0f, 1e-5f);
        EXPECT_EQ(still.pixel(16, y)[0], 0.0f);
    }
}

// ---------------------------------------------------------------------------
// veko_particlesamplerinfo

TEST(ParticleSamplerInfo, UvFromTheBlendedValues) {
    const struct {
        int type;
        float a, b, timeScale;
        bool clampUv, invertUv;
        float uv;
        bool warns;
    } cases[] = {
        {0, 1.0f, 0.0f, 1, false, false, 100000.0f, false},  // b raised to 0.00001
        {0, 1.0f, 4.0f, 1, false, true, 0.75f, false},
        {1, 5.0f, 0.0f, 2, false, false, 0.5f, false},  // a = 2.5 timeScale: 2.5 mod 2
        {1, 5.0f, 0.0f, 2, true, false, 1.0f, false},
        {1, 0.5f, 0.0f, 1, true, false, 0.5f, false},
        {2, 5.0f, 1.0f, 1, false, false, 0.0f, true},
        {2, 5.0f, 1.0f, 1, false, true, 1.0f, true},
    };
    for (auto &c : cases) {
        vt::Surface s("veko_particlesamplerinfo");
        s.set({{"outUvType", c.type}, {"timeScale", c.timeScale}, {"clampUv", c.clampUv}, {"invertUv", c.invertUv}});
        veko::BaseStateRecord *r = s.record();
        const float words[16] = {0, c.a, c.b, 0, 0.1f, 0.2f, 0.3f, 0, 0.4f, 0.5f, 0.6f, 0, 0.7f, 0.8f, 0.9f, 0};
        std::memcpy(r->particleBlock, words, sizeof words);
        r->particleBlock[0] = 42;
        veko::MaterialResult m = s.call();
        const float *out = &m.outColor.r;
        EXPECT_TRUE(s.ok);
        EXPECT_FLOAT_EQ(out[0], c.uv) << c.type << " " << c.a;
        EXPECT_FLOAT_EQ(out[1], c.uv);
        EXPECT_FLOAT_EQ(out[2], 0);
        EXPECT_FLOAT_EQ(out[3], 0.1f);   // first colour
        EXPECT_FLOAT_EQ(out[8], 0.5f);   // second
        EXPECT_FLOAT_EQ(out[12], 0.8f);  // third
        EXPECT_FLOAT_EQ(out[15], 42.0f);
        EXPECT_FLOAT_EQ(out[16], c.a);
        EXPECT_EQ(!s.warnings.empty() && s.warnings[0] == "veko_particlesamplerinfo(): Given outUvType unsupported.",
                  c.warns);
    }
    vt::Surface none("veko_particlesamplerinfo", false);
    none.call();
    EXPECT_FALSE(none.ok);
    EXPECT_EQ(none.warnings, std::vector<std::string>{"veko_particlesamplerinfo(): Internal state error."});
}

}  // namespace
