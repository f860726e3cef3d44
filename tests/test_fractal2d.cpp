// The fractal 2D textures (fractal, mountain, noise, ocean, water) called
// through the reference host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/imageio.h>
#include <vekohost/shade.h>

#include "support.h"
#include "vekobase.h"

namespace {

using vh::json;

struct Rgba {
    float r, g, b, a;
};

std::ostream &operator<<(std::ostream &os, const Rgba &c) {
    return os << "(" << c.r << ", " << c.g << ", " << c.b << ", " << c.a << ")";
}

// A texture swatch over an n x n grid of uv sample centres (u = (x + 0.5)/n,
// v = (y + 0.5)/n), with the result word after outAlpha (ocean's foam).
struct Swatch {
    int n = 0;
    std::vector<Rgba> px;
    std::vector<float> extra;
    const Rgba &at(int x, int y) const { return px[size_t(y) * n + x]; }
};

class Fractal2d : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lib = new vh::Library(vh::Library::defaultPath()); }
    static void TearDownTestSuite() {
        delete lib;
        lib = nullptr;
    }
    static vh::Library *lib;

    static json node(const std::string &name, const std::string &type, const json &params) {
        return {{"name", name}, {"type", type}, {"params", params}};
    }

    // Evaluates node "t" of the network over a grid (or, with n = 0, at the
    // single point (u, v)). Checks that every call succeeds and that
    // outColor.a and outAlpha agree.
    static Swatch run(const json &nodes, int n, float u0 = 0.0f, float v0 = 0.0f) {
        vh::Network net(*lib);
        net.load({{"nodes", nodes}});
        vh::StandaloneState ss;
        net.init(ss.state());
        vh::Instance &inst = *net.find("t");
        std::vector<float> out(inst.decl->resultBytes / 4 + 1);
        Swatch s;
        s.n = n;
        const int count = n > 0 ? n * n : 1;
        for (int i = 0; i < count; ++i) {
            const float u = n > 0 ? (float(i % n) + 0.5f) / float(n) : u0;
            const float v = n > 0 ? (float(i / n) + 0.5f) / float(n) : v0;
            ss.setSurfaceSample(u, v);
            ss.nextSample();
            std::fill(out.begin(), out.end(), 777.0f);
            EXPECT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
            Rgba c;
            std::memcpy(&c, out.data(), sizeof c);
            EXPECT_EQ(c.a, out[4]) << "outColor.a and outAlpha differ";
            s.px.push_back(c);
            s.extra.push_back(out[5]);
        }
        net.exit(ss.state());
        return s;
    }

    static Rgba at(const std::string &type, const json &params, float u, float v) {
        return run(json::array({node("t", type, params)}), 0, u, v).px[0];
    }
    static Swatch grid(const std::string &type, const json &params, int n) {
        return run(json::array({node("t", type, params)}), n);
    }

    // The noise core's 2D lattice noise at (u, v), read independently of
    // the textures: the placement node shifts u by noise2(u, v)·noiseUV.u.
    static double noise2(double u, double v) {
        vh::Network net(*lib);
        net.load({{"nodes", json::array({node("p", "veko_place2dtex", {{"noiseUV", {1, 0, 0}}})})}});
        vh::StandaloneState ss;
        net.init(ss.state());
        ss.setSurfaceSample(float(u), float(v));
        float out[28] = {};
        EXPECT_EQ(vh::callShader(*net.find("p"), ss.state(), out), 1);
        return double(out[0]) - double(float(u));
    }
};
vh::Library *Fractal2d::lib = nullptr;

// Filter settings that give the fractal exactly the level count L = `level`.
json fixedLevels(float level, json extra = json::object()) {
    extra["levelMin"] = level;
    extra["levelMax"] = level;
    return extra;
}

// ---------------------------------------------------------------------------
// veko_fractal

TEST_F(Fractal2d, FractalSumsSwappedLevelsWithAPartialLevel) {
    // L = 2.5: levels 0 and 1 in full, level 2 at half weight. Each level
    // swaps and scales the coordinates: u' = 2v - 0.1, v' = 2u + 0.043.
    const float A = 0.8f, r = 0.6f, thr = 0.05f;
    for (auto [u, v] : {std::pair{0.31f, 0.72f}, {0.05f, 0.5f}, {0.93f, 0.17f}}) {
        const double u1 = 2.0 * v - 0.1, v1 = 2.0 * u + 0.043;
        const double u2 = 2.0 * v1 - 0.1, v2 = 2.0 * u1 + 0.043;
        const double x0 = noise2(u, v), x1 = noise2(u1, v1), x2 = noise2(u2, v2);
        const double sum = A * x0 + A * r * x1 + 0.5 * A * r * r * x2;
        const double want = std::min((sum + 1.0) / 2.0 + thr, 1.0);
        const Rgba c = at("veko_fractal",
                          fixedLevels(2.5f, {{"amplitude", A}, {"ratio", r}, {"threshold", thr}}), u, v);
        EXPECT_NEAR(c.r, want, 2e-5) << u << ", " << v;
        EXPECT_EQ(c.r, c.g);
        EXPECT_EQ(c.r, c.b);
        EXPECT_EQ(c.a, c.r);  // the pattern alpha is the value
    }
}

TEST_F(Fractal2d, FractalRatioZeroKeepsOnlyTheFirstLevel) {
    // With ratio 0 the amplitude vanishes after level 0: no further level
    // and no partial level, however many levels the filter allows.
    for (auto [u, v] : {std::pair{0.2f, 0.3f}, {0.77f, 0.41f}}) {
        const double x0 = noise2(u, v);
        for (float levelMax : {1.0f, 4.5f, 9.0f}) {
            const Rgba c = at("veko_fractal", {{"ratio", 0}, {"amplitude", 1.5}, {"levelMax", levelMax}},
                              u, v);
            EXPECT_NEAR(c.r, std::min((1.5 * x0 + 1.0) / 2.0, 1.0), 2e-5) << levelMax;
        }
    }
}

TEST_F(Fractal2d, FractalFrequencyRatioOneClampsToLevelMax) {
    // A frequency ratio of 1 divides by 0.00995: L is in the hundreds and
    // clamps to levelMax (here 2); the coordinates still swap and shift.
    const float u = 0.37f, v = 0.58f;
    const double x0 = noise2(u, v), x1 = noise2(v - 0.1, u + 0.043);
    const double want = (0.9 * x0 + 0.9 * 0.5 * x1 + 1.0) / 2.0;
    const json p = {{"frequencyRatio", 1.0}, {"amplitude", 0.9}, {"ratio", 0.5}, {"levelMax", 2}};
    EXPECT_NEAR(at("veko_fractal", p, u, v).r, want, 2e-5);
    // Same as forcing L = 2 directly.
    EXPECT_FLOAT_EQ(at("veko_fractal", p, u, v).r,
                    at("veko_fractal", fixedLevels(2, p), u, v).r);
}

TEST_F(Fractal2d, FractalIsCappedAtOneButNotClampedBelow) {
    // amplitude 10, one level: (10·x + 1)/2 - 2 spans well below 0 and
    // above 1; above 1 it is capped, below 0 it stays.
    const json p = {{"amplitude", 10}, {"ratio", 0}, {"threshold", -2}};
    const Swatch s = grid("veko_fractal", p, 12);
    int capped = 0, negative = 0;
    for (int y = 0; y < s.n; ++y)
        for (int x = 0; x < s.n; ++x) {
            const float u = (x + 0.5f) / s.n, v = (y + 0.5f) / s.n;
            const double raw = (10.0 * noise2(u, v) + 1.0) / 2.0 - 2.0;
            EXPECT_NEAR(s.at(x, y).r, std::min(raw, 1.0), 2e-4);
            capped += s.at(x, y).r == 1.0f;
            negative += s.at(x, y).r < 0.0f;
        }
    EXPECT_GT(capped, 0);
    EXPECT_GT(negative, 0);
}

TEST_F(Fractal2d, FractalBiasAndInflectionShapeEachLevel) {
    const float u = 0.63f, v = 0.29f;
    const double x = noise2(u, v);
    struct Case {
        json params;
        double shaped;
    };
    const Case cases[] = {
        {{{"bias", 1.0}}, x < 0 ? -1.0 : 1.0},  // a sign
        {{{"bias", -1.0}}, 0.0},                 // flat
        {{{"inflection", true}}, 2.0 * std::fabs(x) - 1.0},
        {{{"bias", 1.0}, {"inflection", true}}, 1.0},
    };
    for (const Case &c : cases) {
        json p = c.params;
        p["ratio"] = 0;
        EXPECT_NEAR(at("veko_fractal", p, u, v).r, (c.shaped + 1.0) / 2.0, 2e-5) << p.dump();
    }
    // An intermediate bias pushes values away from 0 without passing ±1.
    const double shaped = 2.0 * at("veko_fractal", {{"ratio", 0}, {"bias", 0.5}}, u, v).r - 1.0;
    EXPECT_GT(std::fabs(shaped), std::fabs(x));
    EXPECT_LE(std::fabs(shaped), 1.0);
    // Biases beyond ±1 act as ±1 instead of dividing by zero.
    EXPECT_FLOAT_EQ(at("veko_fractal", {{"ratio", 0}, {"bias", 3.0}}, u, v).r,
                    at("veko_fractal", {{"ratio", 0}, {"bias", 1.0}}, u, v).r);
}

TEST_F(Fractal2d, FractalLevelCountFollowsTheFilterWidth) {
    // A wide filter leaves fewer levels: values move towards the first
    // level alone. filterOffset 0.5 gives x = 0.5, L = 1.
    const float u = 0.44f, v = 0.81f;
    const double x0 = noise2(u, v);
    // (L is 1.00006 with the divisor 0.6931: a trace of the next level.)
    EXPECT_NEAR(at("veko_fractal", {{"filter", 0}, {"filterOffset", 0.5}}, u, v).r,
                (x0 + 1.0) / 2.0, 5e-5);
    // Without a filter the level count reaches levelMax.
    EXPECT_FLOAT_EQ(at("veko_fractal", {{"filter", 0}, {"filterOffset", 0}}, u, v).r,
                    at("veko_fractal", fixedLevels(9), u, v).r);
}

TEST_F(Fractal2d, FractalAnimatedUsesTimeAsAThirdAxis) {
    const float u = 0.52f, v = 0.13f;
    const json t0 = {{"ratio", 0}, {"animated", true}, {"time", 0.0}};
    const json t1 = {{"ratio", 0}, {"animated", true}, {"time", 0.3}};
    EXPECT_NE(at("veko_fractal", t0, u, v).r, at("veko_fractal", t1, u, v).r);
    // Time runs with period 1 on the lattice.
    EXPECT_NEAR(at("veko_fractal", t1, u, v).r,
                at("veko_fractal", {{"ratio", 0}, {"animated", true}, {"time", 1.3}}, u, v).r, 1e-5);
}

// ---------------------------------------------------------------------------
// Shared stages

TEST_F(Fractal2d, OutsidePointsGiveTheDefaultColour) {
    // Coverage 0 marks every point outside; each texture returns the default
    // colour with its alpha replaced by the luminance, untouched by gain,
    // offset or invert.
    const json common = {{"uvCoord", "p.outUV"},        {"uvFilterSize", "p.outUvFilterSize"},
                         {"defaultColor", {1, 0, 0, 1}}, {"colorGain", {2, 2, 2, 2}},
                         {"colorOffset", {0.5, 0.5, 0.5, 0}}, {"invert", true}};
    for (const char *type : {"veko_fractal", "veko_mountain", "veko_noise", "veko_ocean", "veko_water"}) {
        const Swatch s = run(json::array({node("p", "veko_place2dtex", {{"coverage", {0, 1, 0}}}),
                                          node("t", type, common)}),
                             0, 0.4f, 0.6f);
        const Rgba c = s.px[0];
        EXPECT_FLOAT_EQ(c.r, 1.0f) << type;
        EXPECT_FLOAT_EQ(c.g, 0.0f) << type;
        EXPECT_FLOAT_EQ(c.b, 0.0f) << type;
        EXPECT_FLOAT_EQ(c.a, 0.3f) << type;
        if (std::string(type) == "veko_ocean") {
            EXPECT_EQ(s.extra[0], 0.0f);  // no foam
        }
    }
}

TEST_F(Fractal2d, OutputStageAppliesAfterThePattern) {
    // invert, then gain and offset on r, g, b; the pattern alpha inverted
    // and put through alpha gain and offset.
    const float u = 0.3f, v = 0.7f;
    for (const char *type : {"veko_fractal", "veko_noise", "veko_water"}) {
        const Rgba plain = at(type, json::object(), u, v);
        const Rgba out = at(type,
                            {{"invert", true},
                             {"colorGain", {2, 3, 4, 1}},
                             {"colorOffset", {0.1, 0.2, 0.3, 0}},
                             {"alphaGain", 0.5},
                             {"alphaOffset", 0.25}},
                            u, v);
        EXPECT_NEAR(out.r, (1 - plain.r) * 2 + 0.1f, 1e-5) << type;
        EXPECT_NEAR(out.g, (1 - plain.g) * 3 + 0.2f, 1e-5) << type;
        EXPECT_NEAR(out.b, (1 - plain.b) * 4 + 0.3f, 1e-5) << type;
        EXPECT_NEAR(out.a, (1 - plain.a) * 0.5f + 0.25f, 1e-5) << type;
    }
}

// ---------------------------------------------------------------------------
// veko_mountain

TEST_F(Fractal2d, MountainPicksRockOnSteepSlopesAndSnowElsewhere) {
    const json snow = {0.9, 0.95, 1.0, 1}, rock = {0.4, 0.3, 0.2, 1};
    auto count = [&](float slopeFactor) {
        const Swatch s = grid("veko_mountain",
                              {{"snowColor", snow}, {"rockColor", rock}, {"slopeFactor", slopeFactor}}, 16);
        int rocks = 0;
        for (const Rgba &c : s.px) {
            const bool isRock = std::fabs(c.r - 0.4f) < 1e-6f;
            const bool isSnow = std::fabs(c.r - 0.9f) < 1e-6f;
            EXPECT_TRUE(isRock || isSnow) << c;
            EXPECT_GE(c.a, -0.5f);  // height/2 + 0.5 for a bounded sum
            EXPECT_LE(c.a, 1.5f);
            rocks += isRock;
        }
        return rocks;
    };
    // The limit on the slope grows with slopeFactor: fewer rock points.
    const int steep = count(0.2f), medium = count(1.5f), flat = count(100.0f);
    EXPECT_GT(steep, medium);
    EXPECT_GT(medium, 0);
    EXPECT_EQ(flat, 0);
    // A negative bias below any slope makes everything rock.
    const Swatch all = grid("veko_mountain", {{"rockColor", rock}, {"slopeFactor", 0}, {"slopeBias", -1}}, 6);
    for (const Rgba &c : all.px) EXPECT_FLOAT_EQ(c.r, 0.4f);
}

TEST_F(Fractal2d, MountainHeightIsTheRoughnessWeightedOctaveSum) {
    // One level (filterOffset 0.5 gives L = 1): alpha = noise2(u, v)·amp/2
    // + 0.5. With L = 1.5 the second octave (f = 2, offset (0.1, 0.03))
    // adds at half weight with amp·roughness.
    const float u = 0.21f, v = 0.67f;
    const json base = {{"filter", 0}, {"filterOffset", 0.5}, {"amplitude", 0.8},
                       {"snowRoughness", 0.5}, {"rockRoughness", 0.5}};
    const double h0 = 0.8 * noise2(u, v);
    EXPECT_NEAR(at("veko_mountain", base, u, v).a, h0 / 2 + 0.5, 2e-5);
    json half = base;
    half["filterOffset"] = std::pow(2.0, -1.5) / 32.0;  // x = 2^-1.5
    const double h1 = h0 + 0.5 * 0.8 * 0.5 * noise2(2.0 * u + 0.1, 2.0 * v + 0.03);
    EXPECT_NEAR(at("veko_mountain", half, u, v).a, h1 / 2 + 0.5, 1e-4);
    // depthMax caps the level count.
    json capped = half;
    capped["depthMax"] = 1;
    EXPECT_NEAR(at("veko_mountain", capped, u, v).a, h0 / 2 + 0.5, 2e-5);
}

// ---------------------------------------------------------------------------
// veko_noise and the noise family

TEST_F(Fractal2d, NoiseFamilyMembersStayInTheirRanges) {
    // Signed members: sum/2 + 0.5 of octaves in [-1, 1] with weights
    // 1, 0.707, 0.5 (capped at 1). Billow: a weighted average of
    // non-negative spot sums (capped at 1).
    const double wsum = 1.0 + 0.707 + 0.707 * 0.707;
    struct Case {
        int type;
        double lo;
    };
    for (const Case c : {Case{0, 0.5 - 0.5 * wsum}, Case{1, 0.0}, Case{2, 0.5 - 0.5 * wsum},
                         Case{3, 0.5 - 0.5 * wsum}, Case{4, 0.5 - 0.5 * wsum}}) {
        const Swatch s = grid("veko_noise", {{"noiseType", c.type}, {"time", 0.7}}, 20);
        double mean = 0, sq = 0;
        for (const Rgba &p : s.px) {
            ASSERT_TRUE(std::isfinite(p.r)) << c.type;
            EXPECT_GE(p.r, c.lo - 1e-6) << c.type;
            EXPECT_LE(p.r, 1.0f) << c.type;
            EXPECT_EQ(p.r, p.a);
            mean += p.r;
            sq += double(p.r) * p.r;
        }
        mean /= s.px.size();
        const double sd = std::sqrt(std::max(sq / s.px.size() - mean * mean, 0.0));
        EXPECT_GT(sd, 0.05) << "type " << c.type << " is flat";
    }
    // With inflection the octaves fold to |o|: the sum is non-negative.
    for (int type : {0, 2, 3}) {
        const Swatch s = grid("veko_noise", {{"noiseType", type}, {"inflection", true}}, 12);
        for (const Rgba &p : s.px) EXPECT_GE(p.r, 0.0f) << type;
    }
    // Unknown types are a flat 0.
    for (const Rgba &p : grid("veko_noise", {{"noiseType", 7}}, 4).px) EXPECT_EQ(p.r, 0.0f);
}

TEST_F(Fractal2d, NoiseClassicOctaveMatchesTheLattice) {
    // One classic octave at time 0: noise2 at p·frequency/16 + (0.02, 0.3),
    // shifted by 0 along the octave direction (k·0.5 + time/16 = 0).
    const float u = 0.37f, v = 0.81f;
    const json p = {{"noiseType", 0}, {"depthMax", 1}, {"frequency", 4}, {"amplitude", 0.6},
                    {"threshold", 0.1}};
    const double o = noise2(u * 0.25 + 0.02, v * 0.25 + 0.3);
    EXPECT_NEAR(at("veko_noise", p, u, v).r, 0.6 * o / 2 + 0.5 + 0.1, 2e-5);
}

TEST_F(Fractal2d, BillowDensityAndRandomnessEdges) {
    // randomness 2 leaves D = min(density, 0) < 0.0001: every octave is 0
    // and the value is the threshold.
    for (const Rgba &p : grid("veko_noise", {{"noiseType", 1}, {"randomness", 2}, {"threshold", 0.25}}, 5).px)
        EXPECT_FLOAT_EQ(p.r, 0.25f);
    // Every falloff, with size and brightness variation, stays finite and
    // in range; sizeRand above 1 shrinks some spots to nothing instead of
    // producing NaN.
    for (int falloff = 0; falloff <= 4; ++falloff)
        for (float sizeRand : {0.0f, 0.7f, 3.0f}) {
            const Swatch s = grid("veko_noise",
                                  {{"noiseType", 1}, {"falloff", falloff}, {"sizeRand", sizeRand},
                                   {"spottyness", 0.5}, {"density", 0.5}},
                                  10);
            for (const Rgba &p : s.px) {
                ASSERT_TRUE(std::isfinite(p.r)) << falloff << " " << sizeRand;
                EXPECT_GE(p.r, 0.0f);
                EXPECT_LE(p.r, 1.0f);
            }
            if (falloff == 4) {  // not a falloff: no spots
                for (const Rgba &p : s.px) EXPECT_EQ(p.r, 0.0f);
            }
        }
}

TEST_F(Fractal2d, NoiseImplode) {
    // implode 0 leaves the point alone (same as a tiny implode below the
    // 1e-5 threshold); implode 1 maps every point to the unit circle about
    // the centre, so the value depends on the direction only.
    const json centre = {0.5, 0.5, 0};
    for (int type : {0, 1, 2}) {
        const json p0 = {{"noiseType", type}, {"implode", 0}, {"implodeCenter", centre}};
        const json pt = {{"noiseType", type}, {"implode", 5e-6}, {"implodeCenter", centre}};
        EXPECT_EQ(at("veko_noise", p0, 0.2f, 0.9f).r, at("veko_noise", pt, 0.2f, 0.9f).r);
        // (amplitude 0.4 keeps billow below its cap of 1)
        const json p1 = {{"noiseType", type}, {"implode", 1}, {"implodeCenter", centre}, {"amplitude", 0.4}};
        const float ref = at("veko_noise", p1, 0.5f + 0.3f * 0.6f, 0.5f + 0.3f * 0.8f).r;
        for (float r : {0.05f, 0.15f, 0.45f})
            EXPECT_NEAR(at("veko_noise", p1, 0.5f + r * 0.6f, 0.5f + r * 0.8f).r, ref, 1e-4) << type;
        EXPECT_NE(at("veko_noise", p1, 0.5f + 0.3f * 0.8f, 0.5f + 0.3f * 0.6f).r, ref);
    }
}

TEST_F(Fractal2d, NoiseWaveAndTime) {
    // One plane wave per octave, one octave: value = cos(...)/2 + 0.5 in
    // [0, 1]; a time of 2 shifts the phase by 2π and changes nothing.
    const json p = {{"noiseType", 2}, {"numWaves", 1}, {"depthMax", 1}, {"time", 0.4}};
    json p2 = p;
    p2["time"] = 2.4;
    for (auto [u, v] : {std::pair{0.1f, 0.2f}, {0.6f, 0.9f}}) {
        const float a = at("veko_noise", p, u, v).r;
        EXPECT_GE(a, 0.0f);
        EXPECT_LE(a, 1.0f);
        EXPECT_NEAR(at("veko_noise", p2, u, v).r, a, 2e-5);
    }
    // numWaves below 1 counts as one wave.
    json p0 = p;
    p0["numWaves"] = 0;
    EXPECT_FLOAT_EQ(at("veko_noise", p0, 0.3f, 0.3f).r, at("veko_noise", p, 0.3f, 0.3f).r);
    // Time animates the classic, billow and wispy members.
    for (int type : {0, 1, 3, 4}) {
        EXPECT_NE(at("veko_noise", {{"noiseType", type}, {"time", 0}}, 0.3f, 0.4f).r,
                  at("veko_noise", {{"noiseType", type}, {"time", 3}}, 0.3f, 0.4f).r)
            << type;
    }
}

// ---------------------------------------------------------------------------
// veko_ocean

TEST_F(Fractal2d, OceanIsDeterministicAndInRange) {
    const json p = {{"displayMode", 0}, {"time", 1.5}, {"foamThreshold", 0.55}};
    const Swatch a = grid("veko_ocean", p, 24), b = grid("veko_ocean", p, 24);
    int foamy = 0;
    double lo = 1, hi = 0;
    for (size_t i = 0; i < a.px.size(); ++i) {
        EXPECT_EQ(std::memcmp(&a.px[i], &b.px[i], sizeof(Rgba)), 0);
        EXPECT_EQ(a.extra[i], b.extra[i]);
        const float h = a.px[i].r;
        ASSERT_TRUE(std::isfinite(h) && std::isfinite(a.px[i].a));
        EXPECT_GE(h, 0.0f);
        EXPECT_LE(h, 1.0f);
        EXPECT_GE(a.extra[i], 0.0f);
        EXPECT_LE(a.extra[i], 1.0f);
        foamy += a.extra[i] > 0.0f;
        lo = std::min(lo, double(h));
        hi = std::max(hi, double(h));
        // The wave value (alpha) and the height agree in sign about 0.5.
        if (std::fabs(h - 0.5f) > 0.01f) {
            EXPECT_EQ(h > 0.5f, a.px[i].a > 0.0f);
        }
    }
    EXPECT_GT(foamy, 0);
    EXPECT_LT(foamy, int(a.px.size()) / 2);
    EXPECT_GT(hi - lo, 0.4);  // waves, not a flat sea
}

TEST_F(Fractal2d, OceanDisplayModes) {
    const float u = 0.31f, v = 0.64f;
    // Pick a point with foam: lower the threshold until this one foams.
    json p = {{"foamThreshold", 0.2}, {"foamEmission", 0.5}, {"time", 0.7}};
    const Swatch s0 = run(json::array({node("t", "veko_ocean", p)}), 0, u, v);
    p["displayMode"] = 1;
    const Swatch s1 = run(json::array({node("t", "veko_ocean", p)}), 0, u, v);
    p["displayMode"] = 2;
    const Swatch s2 = run(json::array({node("t", "veko_ocean", p)}), 0, u, v);
    const float h = s0.px[0].r, foam = s0.extra[0];
    EXPECT_EQ(s0.px[0].g, h);
    EXPECT_EQ(s1.px[0].r, foam);
    EXPECT_EQ(s1.px[0].b, foam);
    EXPECT_NEAR(s2.px[0].r, foam, 1e-6);
    EXPECT_NEAR(s2.px[0].g, foam + 0.5f * h * (1 - foam), 1e-6);
    EXPECT_NEAR(s2.px[0].b, foam + 0.6f * h * (1 - foam), 1e-6);
    // The alpha is the wave value and the foam word follows in every mode.
    EXPECT_EQ(s0.px[0].a, s1.px[0].a);
    EXPECT_EQ(s0.px[0].a, s2.px[0].a);
    EXPECT_EQ(s1.extra[0], foam);
    EXPECT_EQ(s2.extra[0], foam);
}

TEST_F(Fractal2d, OceanCrestsRunAcrossTheWind) {
    // Without spread and turbulence every train runs along the wind, so the
    // height is constant along the crests, across the wind.
    const json flatCurve = json::array({{{"position", 0}, {"floatValue", 0}, {"interp", 1}}});
    for (auto [wu, wv] : {std::pair{1.0f, 0.0f}, {0.0f, 1.0f}}) {
        const json p = {{"windU", wu}, {"windV", wv}, {"waveDirSpread", 0}, {"waveTurbulence", flatCurve}};
        const Swatch s = grid("veko_ocean", p, 12);
        // Grid x runs along u, y along v.
        const bool alongU = wu > 0;
        double along = 0;  // variation along the wind
        for (int y = 0; y < s.n; ++y)
            for (int x = 0; x < s.n; ++x) {
                const Rgba &first = alongU ? s.at(x, 0) : s.at(0, y);  // same crest
                EXPECT_NEAR(s.at(x, y).r, first.r, 1e-4) << x << ", " << y;
                if (alongU && x > 0) along += std::fabs(s.at(x, y).r - s.at(x - 1, y).r);
                if (!alongU && y > 0) along += std::fabs(s.at(x, y).r - s.at(x, y - 1).r);
            }
        EXPECT_GT(along, 1.0);
    }
}

TEST_F(Fractal2d, OceanWavesMoveAndFilterOut) {
    const Swatch t0 = grid("veko_ocean", {{"time", 0}}, 8), t1 = grid("veko_ocean", {{"time", 2}}, 8);
    int moved = 0;
    for (size_t i = 0; i < t0.px.size(); ++i) moved += std::fabs(t0.px[i].r - t1.px[i].r) > 1e-3f;
    EXPECT_GT(moved, int(t0.px.size()) / 2);
    // A filter wider than the longest wave removes every train: still
    // water at h = 0.5, wave value 0, no foam.
    for (const Rgba &c : grid("veko_ocean", {{"filter", 0}, {"filterOffset", 2.0}}, 4).px) {
        EXPECT_FLOAT_EQ(c.r, 0.5f);
        EXPECT_FLOAT_EQ(c.a, 0.0f);
    }
    // A zero height curve is a still sea as well.
    const json zero = json::array({{{"position", 0}, {"floatValue", 0}, {"interp", 1}}});
    for (const Rgba &c : grid("veko_ocean", {{"waveHeight", zero}}, 4).px) EXPECT_FLOAT_EQ(c.r, 0.5f);
}

TEST_F(Fractal2d, OceanHeightCurveSelectsWavelengths) {
    // Height only at the long end versus only at the short end: the short
    // sea changes faster from pixel to pixel.
    auto roughness = [&](float atShort, float atLong) {
        const json curve = json::array({{{"position", 0}, {"floatValue", atShort}, {"interp", 1}},
                                        {{"position", 1}, {"floatValue", atLong}, {"interp", 1}}});
        const Swatch s = grid("veko_ocean", {{"waveHeight", curve}, {"filter", 0}}, 32);
        double d = 0;
        for (int y = 0; y < s.n; ++y)
            for (int x = 1; x < s.n; ++x) d += std::fabs(s.at(x, y).r - s.at(x - 1, y).r);
        return d;
    };
    EXPECT_GT(roughness(1, 0), 1.5 * roughness(0, 1));
}

// ---------------------------------------------------------------------------
// veko_water

TEST_F(Fractal2d, WaterIsDeterministicInRangeAndSeeded) {
    const json p = {{"numberOfDrops", 5}, {"rippleAmplitude", 1.5}, {"waveAmplitude", 0.8}};
    const Swatch a = grid("veko_water", p, 24), b = grid("veko_water", p, 24);
    json other = p;
    other["seed"] = 12345;
    const Swatch c = grid("veko_water", other, 24);
    int differ = 0, clipped = 0;
    for (size_t i = 0; i < a.px.size(); ++i) {
        EXPECT_EQ(a.px[i].r, b.px[i].r);
        EXPECT_GE(a.px[i].r, 0.0f);
        EXPECT_LE(a.px[i].r, 1.0f);
        differ += a.px[i].r != c.px[i].r;
        clipped += a.px[i].r == 0.0f || a.px[i].r == 1.0f;
    }
    EXPECT_GT(differ, int(a.px.size()) / 2);
    EXPECT_LT(clipped, int(a.px.size()) / 4);
}

TEST_F(Fractal2d, WaterStillWithoutWavesOrFallenDrops) {
    // No waves and no drops, or drops that have not fallen yet (negative
    // ripple time), or zero amplitudes: flat water at 0.5.
    const json cases[] = {
        {{"numberOfWaves", 0}, {"numberOfDrops", 0}},
        {{"numberOfWaves", 0}, {"rippleTime", -0.1}},
        {{"waveAmplitude", 0}, {"rippleAmplitude", 0}},
        {{"numberOfWaves", -3}, {"numberOfDrops", -1}},
    };
    for (const json &p : cases)
        for (const Rgba &c : grid("veko_water", p, 6).px) EXPECT_FLOAT_EQ(c.r, 0.5f) << p.dump();
}

TEST_F(Fractal2d, WaterRipplesTravelOutwardAtTheGroupVelocity) {
    // One drop: the ripple energy sits on a ring about the drop whose
    // radius grows as groupVelocity × age.
    constexpr int n = 96;
    auto ring = [&](float time, float &cu, float &cv) {
        const json p = {{"numberOfWaves", 0}, {"numberOfDrops", 1}, {"spreadStart", 0},
                        {"rippleTime", time}, {"groupVelocity", 0.5}, {"dropSize", 0.03},
                        {"spreadRate", 0}, {"rippleFrequency", 20}, {"filter", 0}};
        const Swatch s = grid("veko_water", p, n);
        // Energy-weighted centre on the periodic uv square.
        double su = 0, cu0 = 0, sv = 0, cv0 = 0, total = 0;
        std::vector<double> w(s.px.size());
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                const double e = std::pow(s.at(x, y).r - 0.5, 2);
                w[size_t(y) * n + x] = e;
                const double a = 2 * M_PI * (x + 0.5) / n, b = 2 * M_PI * (y + 0.5) / n;
                su += e * std::sin(a), cu0 += e * std::cos(a);
                sv += e * std::sin(b), cv0 += e * std::cos(b);
                total += e;
            }
        EXPECT_GT(total, 0.0);
        if (time == 0.0f) {
            cu = float(std::atan2(su, cu0) / (2 * M_PI));
            cv = float(std::atan2(sv, cv0) / (2 * M_PI));
        }
        double radius = 0;
        for (int y = 0; y < n; ++y)
            for (int x = 0; x < n; ++x) {
                double du = (x + 0.5) / n - cu, dv = (y + 0.5) / n - cv;
                du -= std::floor(du + 0.5);
                dv -= std::floor(dv + 0.5);
                radius += w[size_t(y) * n + x] * std::sqrt(du * du + dv * dv);
            }
        return radius / total;
    };
    float cu = 0, cv = 0;
    const double r0 = ring(0.0f, cu, cv);
    EXPECT_LT(r0, 0.05);
    for (float t : {0.2f, 0.5f, 0.8f}) EXPECT_NEAR(ring(t, cu, cv), 0.5 * t, 0.03) << t;
}

TEST_F(Fractal2d, WaterExitReleasesTheInstanceTables) {
    auto ours = [] {
        const vh::LeakReport r = vh::liveAllocations();
        size_t n = 0;
        for (size_t pos = r.text.find("fractal2d.cpp"); pos != std::string::npos;
             pos = r.text.find("fractal2d.cpp", pos + 1))
            ++n;
        return std::pair{r.blocks, n};
    };
    const auto before = ours();
    EXPECT_EQ(before.second, 0u);
    {
        vh::Network net(*lib);
        net.load({{"nodes", json::array({node("a", "veko_water", {{"seed", 1}}),
                                         node("b", "veko_water", {{"seed", 2}}),
                                         node("c", "veko_fractal", json::object())})}});
        vh::StandaloneState ss;
        net.init(ss.state());
        EXPECT_EQ(ours().first, before.first + 2);  // one table per water instance
        // Each instance keeps its own table.
        ss.setSurfaceSample(0.3f, 0.6f);
        float ra[5], rb[5];
        vh::callShader(*net.find("a"), ss.state(), ra);
        vh::callShader(*net.find("b"), ss.state(), rb);
        EXPECT_NE(ra[0], rb[0]);
        net.exit(ss.state());
        EXPECT_EQ(ours().first, before.first);
        EXPECT_EQ(ours().second, 0u);
        // Initialised again after an exit: new tables, released by the
        // network's own shutdown.
        net.init(ss.state());
        EXPECT_EQ(ours().first, before.first + 2);
    }
    EXPECT_EQ(ours().first, before.first);
}

// ---------------------------------------------------------------------------
// Golden swatches (reviewed references in tests/golden/, see support.h).
TEST_F(Fractal2d, GoldenSwatches) {
    for (const char *name : {"fractal", "mountain", "noise_billow", "noise_wispy", "ocean", "water"}) vt::checkGoldenSwatch(*lib, name);
}

}  // namespace
