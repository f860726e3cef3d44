// The solid (3D) textures, called through the reference host as a renderer
// calls them. Expected values come from the noise core (noise3, noise4,
// gradient, fractal and cell noise), compiled into this suite and covered on
// its own by test_noise; the run-time tables built here match the library's
// because they come from the same host generators.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <vekohost/host.h>

#include "noise.h"
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

::testing::AssertionResult near(const Rgba &got, const Rgba &want, float tol = 1e-5f) {
    if (std::fabs(got.r - want.r) <= tol && std::fabs(got.g - want.g) <= tol &&
        std::fabs(got.b - want.b) <= tol && std::fabs(got.a - want.a) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << ", want " << want;
}

float lum(float r, float g, float b) { return 0.3f * r + 0.59f * g + 0.11f * b; }
Rgba grey(float v) { return {v, v, v, v}; }
Rgba mix(const Rgba &a, const Rgba &b, float t, float alpha) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, alpha};
}

const char *const kAllSolids[] = {"veko_brownian", "veko_cloud",   "veko_crater",       "veko_granite",
                                  "veko_leather",  "veko_marble",  "veko_rock",         "veko_snow",
                                  "veko_solidfractal", "veko_stucco", "veko_volumenoise", "veko_wood",
                                  "veko_woodgrain"};

// A per-ray record with filtering off: the filter size is `size` (times the
// texture's filter controls).
veko::BaseStateRecord fixedFilter(float size) {
    veko::BaseStateRecord rec{};
    rec.filterEnabled = 0;
    rec.baseFilterSize = size;
    return rec;
}

// One solid texture node "t" evaluated at a hit point.
struct Solid {
    std::string type;
    json params = json::object();
    xrVector hit{0.3f, 0.2f, 0.1f};
    xrVector normal{0.0f, 0.0f, 1.0f};
    const veko::BaseStateRecord *record = nullptr;
    const float *worldToCamera = nullptr;
    bool init = true;

    // Results.
    xrBoolean ok = 0;
    Rgba color{};
    float alpha = 0;
    xrVector outNormal{};

    Rgba run(vh::Library &lib) {
        vh::Network net(lib);
        net.load({{"nodes", json::array({{{"name", "t"}, {"type", type}, {"params", params}}})}});
        vh::StandaloneState ss;
        if (init) net.init(ss.state());
        ss.state()->hitPoint = hit;
        ss.state()->shadingNormal = normal;
        ss.ray.worldToCamera = worldToCamera;
        if (record) xr_shaderstate_set(ss.state(), "vekobase", record, sizeof *record, 2);
        vh::Instance &inst = *net.find("t");
        std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
        ok = vh::callShader(inst, ss.state(), out.data());
        std::memcpy(&color, out.data(), sizeof color);
        alpha = out[4];
        if (out.size() >= 8) std::memcpy(&outNormal, out.data() + 5, sizeof outNormal);
        EXPECT_EQ(color.a, alpha) << type << ": outColor.a and outAlpha differ";
        if (init) net.exit(ss.state());
        return color;
    }
};

class Tex3d : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        lib = &vt::library();
        // The run-time tables of this process's copy of the noise core.
        vh::StandaloneState ss;
        veko::initGradientTable(ss.state());
        veko::initCellTable(ss.state());
    }
    static vh::Library *lib;

    Rgba run(Solid &s) { return s.run(*lib); }
};
vh::Library *Tex3d::lib = nullptr;

// ---------------------------------------------------------------------------
// Shared stages through every member: the block layouts put defaultColor,
// wrap, invert and the placement where the stages read them.

TEST_F(Tex3d, EveryMemberGivesTheDefaultOutsideTheCubeAndInvertsInside) {
    for (const char *type : kAllSolids) {
        SCOPED_TRACE(type);
        Solid out{type, {{"wrap", false}, {"defaultColor", {1, 0, 0, 1}}, {"invert", true}}};
        out.hit = {0.2f, 1.5f, 0.0f};
        EXPECT_TRUE(near(run(out), {1, 0, 0, 0.3f}));
        EXPECT_EQ(out.ok, 1);

        // The placement scales the point into the cube.
        out.params["placementMatrix"] = {0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1};
        Rgba plain = run(out);
        EXPECT_FALSE(near(plain, {1, 0, 0, 0.3f}));

        out.params["invert"] = false;
        const Rgba straight = run(out);
        for (float v : {straight.r, straight.g, straight.b, straight.a}) EXPECT_TRUE(std::isfinite(v));
        EXPECT_TRUE(near(plain, {1 - straight.r, 1 - straight.g, 1 - straight.b, 1 - straight.a}));
    }
}

TEST_F(Tex3d, EdgeFadeBlendsTowardsTheDefaultColour) {
    // Amplitude 0 gives the constant 0.5 + threshold; at x = 0.9 with blend
    // 0.2 the fade is 0.5.
    Solid s{"veko_solidfractal",
            {{"amplitude", 0}, {"threshold", 0.1}, {"wrap", false}, {"blend", 0.2},
             {"defaultColor", {0, 0.2, 1, 1}}, {"colorGain", {2, 2, 2, 1}}}};
    s.hit = {0.9f, 0.0f, 0.0f};
    EXPECT_TRUE(near(run(s), {0.6f, 0.7f, 1.1f, 0.3f}));
    s.hit = {1.0f, 0.0f, 0.0f};  // fade 1: the default output
    EXPECT_TRUE(near(run(s), {0, 0.2f, 1, lum(0, 0.2f, 1)}));
}

// ---------------------------------------------------------------------------
// solidfractal

TEST_F(Tex3d, SolidFractalWithoutAmplitudeIsHalfPlusThreshold) {
    for (float threshold : {0.0f, 0.2f, 0.8f, -0.7f}) {
        Solid s{"veko_solidfractal", {{"amplitude", 0}, {"threshold", threshold}}};
        const float want = std::clamp(0.5f + threshold, 0.0f, 1.0f);
        EXPECT_TRUE(near(run(s), grey(want))) << threshold;
    }
}

// First octave value at p: offsets (0.1, 0.03, 0.13), frequency ripples/32.
double firstOctave(const xrVector &p, const xrVector &ripples, bool animated = false, float time = 0) {
    const double x = ripples.x / 32.0 * p.x + 0.1, y = ripples.y / 32.0 * p.y + 0.03,
                 z = ripples.z / 32.0 * p.z + 0.13;
    return animated ? veko::noise4(x, y, z, time, 32) : veko::noise3(x, y, z);
}

TEST_F(Tex3d, SolidFractalRatioZeroKeepsOnlyTheShapedFirstOctave) {
    const auto rec = fixedFilter(0.01f);  // several octaves would fit
    const xrVector ripples{3, 2, 5};
    const xrVector pts[] = {{0.3f, 0.2f, 0.1f}, {-0.7f, 0.45f, 0.9f}, {0.05f, -0.6f, -0.35f}};
    struct Case {
        const char *name;
        json extra;
        float (*shape)(double);
    };
    const Case cases[] = {
        {"plain", json::object(), [](double x) { return float(x); }},
        {"bias 1: sign", {{"bias", 1}}, [](double x) { return x < 0 ? -1.0f : 1.0f; }},
        {"bias -1: zero", {{"bias", -1}}, [](double) { return 0.0f; }},
        {"inflection", {{"inflection", true}}, [](double x) { return float(2 * std::fabs(x) - 1); }},
    };
    for (const Case &c : cases)
        for (const xrVector &p : pts) {
            SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(p.x));
            json params = {{"ratio", 0}, {"amplitude", 0.8}, {"ripples", {3, 2, 5}}};
            for (auto &[k, v] : c.extra.items()) params[k] = v;
            Solid s{"veko_solidfractal", params};
            s.hit = p;
            s.record = &rec;
            const float want = std::clamp((c.shape(firstOctave(p, ripples)) * 0.8f + 1) / 2, 0.0f, 1.0f);
            EXPECT_TRUE(near(run(s), grey(want)));
        }
    // Animated: the first octave is noise4 at the time, 32 keys per unit.
    Solid s{"veko_solidfractal", {{"ratio", 0}, {"animated", true}, {"time", 0.37}, {"ripples", {3, 2, 5}}}};
    s.record = &rec;
    s.hit = pts[1];
    EXPECT_TRUE(near(run(s), grey(float((firstOctave(pts[1], ripples, true, 0.37f) + 1) / 2))));
}

TEST_F(Tex3d, SolidFractalOctaveCountFollowsTheFilterSize) {
    // ratio 0.5, frequency ratio 2: L = -log2(size). Octave k sits at
    // frequency ripples/32 * 2^k with offsets (0.1, 0.03, 0.13) * (k + 1).
    const xrVector p{0.4f, -0.3f, 0.6f};
    auto octave = [&](int k) {
        const double f = std::ldexp(1.0 / 32.0, k);
        return veko::noise3(f * p.x + 0.1 * (k + 1), f * p.y + 0.03 * (k + 1), f * p.z + 0.13 * (k + 1));
    };
    struct Case {
        float size;
        double sum;
    };
    const Case cases[] = {
        {1.0f, 0.0},                                                // L = 0: nothing
        {0.5f, octave(0)},                                          // L = 1
        {std::pow(2.0f, -1.5f), octave(0) + 0.5 * 0.5 * octave(1)},  // L = 1.5
        {0.125f, octave(0) + 0.5 * octave(1) + 0.25 * octave(2)},   // L = 3
        {4.0f, 0.0},                                                // L < 0: clamped to levelMin 0
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        const auto rec = fixedFilter(c.size);
        Solid s{"veko_solidfractal", {{"ratio", 0.5}, {"levelMax", 20}}};
        s.hit = p;
        s.record = &rec;
        EXPECT_TRUE(near(run(s), grey(float((c.sum + 1) / 2)), 2e-5f));
    }
    // levelMax caps L: 3 octaves fit, 1 is allowed.
    const auto rec = fixedFilter(0.125f);
    Solid s{"veko_solidfractal", {{"ratio", 0.5}, {"levelMax", 1}}};
    s.hit = p;
    s.record = &rec;
    EXPECT_TRUE(near(run(s), grey(float((octave(0) + 1) / 2))));
}

TEST_F(Tex3d, SolidFractalFilterFromThePixelAngleAndPlacement) {
    // Without a fixed filter size: |c| * max|ripples| * pixel angle * |det|,
    // then times filter plus filterOffset. |c| = 50, pixel angle 0.01,
    // ripples (1, -2, 0.5): size 1, L = 0, so the value is 0.5 + threshold;
    // with filter 0.25 the size is 0.25: two octaves.
    veko::BaseStateRecord rec{};
    rec.filterEnabled = 1;
    rec.filterSize = 0.01f;
    const json base = {{"ratio", 0.5}, {"threshold", 0.1}, {"ripples", {1, -2, 0.5}}, {"levelMax", 20}};
    struct Case {
        const char *name;
        json extra;
        bool flat;
    };
    const Case cases[] = {
        {"size 1", json::object(), true},
        {"mirrored placement", {{"placementMatrix", {-1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}}}, true},
        {"offset", {{"filter", 0.5}, {"filterOffset", 0.5}}, true},
        {"filter 0.25", {{"filter", 0.25}}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        json params = base;
        for (auto &[k, v] : c.extra.items()) params[k] = v;
        Solid s{"veko_solidfractal", params};
        s.hit = {30.0f, 0.0f, -40.0f};
        s.record = &rec;
        const Rgba got = run(s);
        if (c.flat)
            EXPECT_TRUE(near(got, grey(0.6f)));
        else
            EXPECT_FALSE(near(got, grey(0.6f), 1e-3f));
    }
}

// ---------------------------------------------------------------------------
// Surface filter (marble, brownian, cloud): the pixel projected onto the
// surface, D c.z^2 r a / |n . c| with c the point in camera space and n the
// unit normal there (cloud: half of it). Each texture is evaluated once with
// the filter from the camera and once with that size given directly.

TEST_F(Tex3d, SurfaceFilterFollowsDistanceAndSlope) {
    veko::BaseStateRecord rec{};
    rec.filterEnabled = 1;
    rec.filterSize = 0.004f;  // pixel angle
    const xrVector hit{0.37f, -0.21f, -25.0f};
    struct Case {
        const char *type;
        json params;
        float ripple, factor;
    };
    const Case cases[] = {
        {"veko_brownian", {{"octaves", 9}}, 1.0f, 1.0f},
        {"veko_marble", {{"ripples", {1, -3, 2}}, {"fillerColor", {1, 1, 1, 1}}, {"veinColor", {0, 0, 0, 1}}}, 3.0f, 1.0f},
        {"veko_cloud", {{"ripples", {2, 1, 1}}}, 2.0f, 0.5f},
    };
    const xrVector normals[] = {{0, 0, 1}, {0, 0.6f, 0.8f}, {0.5f, -0.5f, 0.7071068f}};
    for (const Case &c : cases)
        for (const xrVector &n : normals) {
            SCOPED_TRACE(std::string(c.type) + " normal y " + std::to_string(n.y));
            const float q = std::fabs(n.x * hit.x + n.y * hit.y + n.z * hit.z);
            const float size = hit.z * hit.z * c.ripple * 0.004f / q * c.factor;
            Solid fromCamera{c.type, c.params};
            fromCamera.hit = hit;
            fromCamera.normal = n;
            fromCamera.record = &rec;
            const auto fixed = fixedFilter(size);
            Solid given = fromCamera;
            given.record = &fixed;
            const Rgba want = run(given);
            EXPECT_TRUE(near(run(fromCamera), want, 2e-5f));
            // The size matters: a four times larger pixel drops two octaves.
            const auto coarse = fixedFilter(size * 4);
            given.record = &coarse;
            EXPECT_FALSE(near(run(given), want, 1e-4f));
        }
    // Seen edge-on (normal perpendicular to the point) nothing is resolved:
    // brownian sums no octave.
    Solid edge{"veko_brownian", {{"octaves", 9}}};
    edge.hit = {0.0f, 0.3f, -25.0f};
    edge.normal = {1, 0, 0};
    edge.record = &rec;
    EXPECT_TRUE(near(run(edge), {0.5f, 0.5f, 0.5f, 0.0f}));
}

// ---------------------------------------------------------------------------
// marble

TEST_F(Tex3d, MarbleWithoutAmplitudeGivesPureBands) {
    const Rgba filler{0.9f, 0.8f, 0.7f, 1}, vein{0.1f, 0.2f, 0.3f, 1};
    const json params = {{"amplitude", 0}, {"fillerColor", {0.9, 0.8, 0.7, 1}}, {"veinColor", {0.1, 0.2, 0.3, 1}},
                         {"veinWidth", 0.1}, {"diffusion", 0.5}, {"contrast", 0.25}, {"alphaIsLuminance", false}};
    for (float y : {0.02f, -0.97f, 0.25f, 0.5f, 0.8f, -0.3f}) {
        SCOPED_TRACE(y);
        Solid s{"veko_marble", params};
        s.hit = {0.3f, y, -0.2f};
        const float d = std::fabs(y - std::round(y));  // distance to the nearest integer
        const float v = 2 * d;
        const float t = v < 0.1f ? 1.0f : std::exp((0.1f - v) / 0.5f) * 0.75f;
        Rgba want = mix(filler, vein, t, 0);
        want.a = lum(want.r, want.g, want.b);  // always the luminance
        EXPECT_TRUE(near(run(s), want));
    }
}

TEST_F(Tex3d, MarbleDisplacesTheBandsByItsOctaveSum) {
    // Two octaves (size 1/4): s = (n0 + ratio * n1) (1 - ratio^2) amplitude,
    // with n_k = noise3(2^k ripples/32 p + 0.5).
    const auto rec = fixedFilter(0.25f);
    const xrVector p{0.35f, 0.1f, -0.55f};
    auto n = [&](int k) {
        const double f = std::ldexp(2.0 / 32.0, k);
        return veko::noise3(f * p.x + 0.5, f * p.y + 0.5, f * p.z + 0.5);
    };
    const double s = (n(0) + 0.6 * n(1)) * (1 - 0.36) * 1.5;
    double v = (s + p.y) - std::floor(s + p.y);
    if (v >= 0.5) v = 1 - v;
    v *= 2;
    const float t = v < 0.05 ? 1.0f : std::exp((0.05f - float(v)) / 0.2f);
    Solid m{"veko_marble", {{"amplitude", 1.5}, {"ratio", 0.6}, {"ripples", {2, 2, 2}}, {"veinWidth", 0.05},
                            {"diffusion", 0.2}, {"contrast", 0}, {"fillerColor", {1, 1, 1, 1}},
                            {"veinColor", {0, 0, 0, 1}}}};
    m.hit = p;
    m.record = &rec;
    const float g = 1 - t;
    // The vein falls off as exp(-v / 0.2): float rounding of v shows fivefold.
    EXPECT_TRUE(near(run(m), {g, g, g, g}, 1e-4f));
}

// ---------------------------------------------------------------------------
// brownian

TEST_F(Tex3d, BrownianSumsGradientNoiseOctaves) {
    const xrVector p{0.37f, -0.61f, 0.23f};
    const xrVector w{1.5f, 2.0f, 0.5f};
    auto g = [&](float f) { return double(veko::gradientNoise3(p.x * w.x * f, p.y * w.y * f, p.z * w.z * f)); };
    struct Case {
        float size, octaves, lacunarity, increment;
        double sum;
    };
    const double r3 = std::pow(3.0, -0.5);
    const Case cases[] = {
        {0.25f, 8, 3, 0.5f, g(1) + g(3) * r3},         // L = 2: two whole octaves
        {0.25f, 1.5f, 3, 0.5f, g(1) + 0.5 * g(3) * r3},  // capped at 1.5 octaves
        {1.0f, 8, 3, 0.5f, 0.0},                         // L = 0
        {0.001f, 3, 2, 1.0f, g(1) + g(2) / 2 + g(4) / 4},  // capped at 3
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(i);
        const auto rec = fixedFilter(c.size);
        Solid s{"veko_brownian",
                {{"octaves", c.octaves}, {"lacunarity", c.lacunarity}, {"increment", c.increment},
                 {"weight3d", {w.x, w.y, w.z}}}};
        s.hit = p;
        s.record = &rec;
        // r, g, b = s/2 + 1/2; the pattern alpha is s itself (may be negative).
        const float h = float(c.sum / 2 + 0.5);
        EXPECT_TRUE(near(run(s), {h, h, h, float(c.sum)}, 2e-5f));
    }
    EXPECT_GT(std::fabs(g(1)), 1e-3);  // the point is not on the lattice
}

TEST_F(Tex3d, BrownianWithDegenerateLacunarityStaysFinite) {
    // Lacunarity 0 sends the later octaves to the lattice origin (noise 0)
    // with an infinite weight m^-increment; they add nothing.
    const auto rec = fixedFilter(0.01f);
    for (float lac : {0.0f, -2.0f}) {
        Solid s{"veko_brownian", {{"lacunarity", lac}, {"octaves", 5}}};
        s.record = &rec;
        const Rgba c = run(s);
        EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.a)) << lac << ": " << c;
    }
}

// ---------------------------------------------------------------------------
// cloud

TEST_F(Tex3d, CloudTransparencyFollowsTheEdgeThreshold) {
    // Without amplitude v = 0.5 and k = 1 - contrast/2. The normal faces the
    // view (edge factor 0: centerThresh); with edgeFromPoint and the point
    // perpendicular to the normal, the edge factor is 1 (edgeThresh).
    struct Case {
        float center, edge, range;
        bool fromPoint;
        float alpha;
    };
    const Case cases[] = {
        {0.5f, 3.0f, 0.5f, false, std::exp(-1.0f)},  // x = -1
        {0.0f, 0.5f, 0.5f, true, std::exp(-1.0f)},
        {2.0f, 0.0f, 0.5f, false, 1.0f},  // x = 2 > 1
        {0.0f, 2.0f, 0.5f, true, 1.0f},
        {0.9f, 0.0f, 0.8f, false, std::exp(-0.5f)},  // x = -0.5
        {-5.0f, 0.0f, 0.5f, false, 0.0f},  // x = -12 < -10
        {0.75f, 0.0f, 0.0f, false, 1.0f},  // range held at 0.0001
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(i);
        Solid s{"veko_cloud",
                {{"amplitude", 0}, {"contrast", 0.6}, {"color1", {0, 0, 0, 1}}, {"color2", {1, 0.5, 0.25, 1}},
                 {"centerThresh", c.center}, {"edgeThresh", c.edge}, {"transparentRange", c.range},
                 {"edgeFromPoint", c.fromPoint}}};
        s.hit = {0.5f, 0.0f, 0.0f};
        const float k = 1 - 0.3f;
        const float alpha = c.alpha;
        EXPECT_TRUE(near(run(s), {k, 0.5f * k, 0.25f * k, alpha}));
        // darkenByAlpha multiplies the colour by 1 - alpha.
        s.params["darkenByAlpha"] = true;
        const float d = 1 - alpha;
        EXPECT_TRUE(near(run(s), {k * d, 0.5f * k * d, 0.25f * k * d, alpha}));
    }
}

// ---------------------------------------------------------------------------
// snow

TEST_F(Tex3d, SnowCoversSurfacesFacingUpInPlacedSpace) {
    const Rgba snow{1, 1, 1, 1}, surface{0.4f, 0.2f, 0.1f, 1};
    // y and z swapped: the swatch normal (0, 0, 1) points up once placed.
    const json swap = {1, 0, 0, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    struct Case {
        xrVector normal;
        json placement;
        float t;
    };
    const float h = 1.0f - 0.5f;
    const Case cases[] = {
        {{0, -1, 0}, nullptr, 0},                                 // straight down
        {{0, 0, 1}, nullptr, 0},                                  // sideways: h = -0.5
        {{0, 0, 1}, swap, (1 - std::exp(-h * 4)) * 0.8f},         // up once placed
        {{0, 3, 0}, nullptr, (1 - std::exp(-h * 4)) * 0.8f},      // normalised first
        {{0, 1, 1}, nullptr, (1 - std::exp(-(0.70710678f - 0.5f) * 4)) * 0.8f},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case &c = cases[i];
        SCOPED_TRACE(i);
        json params = {{"snowColor", {1, 1, 1, 1}}, {"surfaceColor", {0.4, 0.2, 0.1, 1}}, {"threshold", 0.5},
                       {"depthDecay", 4}, {"thickness", 0.8}};
        if (!c.placement.is_null()) params["placementMatrix"] = c.placement;
        Solid s{"veko_snow", params};
        s.normal = c.normal;
        EXPECT_TRUE(near(run(s), mix(surface, snow, c.t, c.t)));
    }
}

// ---------------------------------------------------------------------------
// stucco and crater

TEST_F(Tex3d, StuccoMixesByTheSquaredFractalNoise) {
    // Filter width from the record's pixel footprint (words 78, 79) times
    // filter plus offset.
    veko::BaseStateRecord rec{};
    rec.filterEnabled = 1;
    rec.footprintV = {0.01f, 0.03f, 0.0f};
    const xrVector p{0.31f, -0.42f, 0.17f};
    const float q[3] = {p.x, p.y, p.z};
    const float w = 0.03f * 2 + 0.001f;
    float v = veko::fractalNoise(w, 12.0f, q) * 0.25f + 0.5f;
    v = std::min(v * v, 1.0f);
    Solid s{"veko_stucco", {{"shaker", 12}, {"filter", 2}, {"filterOffset", 0.001}, {"color1", {1, 0.5, 0, 1}},
                            {"color2", {0, 0, 1, 1}}, {"normalMelt", 0}}};
    s.hit = p;
    s.record = &rec;
    EXPECT_TRUE(near(run(s), {v, 0.5f * v, 1 - v, v}));
    // Without normal amplitude the normal stays the shading normal.
    EXPECT_NEAR(s.outNormal.z, 1.0f, 1e-6f);

    // The bumped normal: shading normal plus the noise vector, normalised.
    float d[3];
    veko::fractalNoiseVector(d, std::max(w, 0.4f * 0.2f), 3.0f, q);
    s.params["normalMelt"] = 3;
    s.params["normalDepth"] = 0.4;
    run(s);
    const float len = std::sqrt(d[0] * d[0] + d[1] * d[1] + (1 + d[2]) * (1 + d[2]));
    EXPECT_NEAR(s.outNormal.x, d[0] / len, 1e-5f);
    EXPECT_NEAR(s.outNormal.y, d[1] / len, 1e-5f);
    EXPECT_NEAR(s.outNormal.z, (1 + d[2]) / len, 1e-5f);
    EXPECT_GT(std::fabs(d[0]) + std::fabs(d[1]), 1e-3f);  // a real bump
}

TEST_F(Tex3d, StuccoWithASingularPlacementFails) {
    vt::messages();
    Solid s{"veko_stucco", {{"placementMatrix", {1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1}}}};
    run(s);
    EXPECT_EQ(s.ok, 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_stucco(): Texture placement matrix is singular."));
    // A regular placement succeeds.
    s.params["placementMatrix"] = {1, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    run(s);
    EXPECT_EQ(s.ok, 1);
}

TEST_F(Tex3d, CraterShapesTheNoiseIntoThreeChannels) {
    const xrVector p{-0.23f, 0.51f, 0.08f};
    const float q[3] = {p.x, p.y, p.z};
    const float v = veko::fractalNoise(0.2f, 2.5f, q);  // width max(2 melt, 0.005)
    struct Case {
        float frequency, balance;
    };
    for (const Case &c : {Case{2, 0}, Case{5, 1.5f}, Case{3, -0.5f}}) {
        SCOPED_TRACE(c.frequency);
        const double sn = std::sin(c.frequency * v);
        const double t = ((1 - std::pow(sn * sn - 1, 4)) + c.balance * std::pow(sn, 8)) / (1 + c.balance);
        auto fold = [](double x) {
            if (x < 0) x = -x;
            if (x > 1) x = 2 - x;
            return float(std::clamp(x, 0.0, 1.0));
        };
        // Channels red, green, blue: the quadratic Bezier weights of t.
        const Rgba want{fold((1 - t) * (1 - t)), fold(2 * t * (1 - t)), fold(t * t), v};
        Solid s{"veko_crater", {{"shaker", 2.5}, {"melt", 0.1}, {"frequency", c.frequency}, {"balance", c.balance}}};
        s.hit = p;
        EXPECT_TRUE(near(run(s), want, 2e-5f));
    }
    // A balance of -1 (a zero denominator) gives a defined colour.
    Solid s{"veko_crater", {{"balance", -1}, {"normBalance", -1}}};
    s.hit = p;
    const Rgba c = run(s);
    for (float x : {c.r, c.g, c.b, s.outNormal.x, s.outNormal.y, s.outNormal.z}) {
        EXPECT_TRUE(std::isfinite(x));
        EXPECT_LE(std::fabs(x), 1.0f);
    }
}

// ---------------------------------------------------------------------------
// granite and leather

TEST_F(Tex3d, LeatherBlendsCellAndCreaseColoursByTheCellNoise) {
    const Rgba cell{0.6f, 0.4f, 0.2f, 1}, crease{0.1f, 0.05f, 0.0f, 1};
    int creased = 0, inside = 0;
    for (bool creases : {true, false})
        for (int i = 0; i < 40; ++i) {
            const xrVector p{-0.9f + 0.047f * i, 0.3f - 0.011f * i, 0.2f + 0.019f * i};
            const float q[3] = {p.x, p.y, p.z};
            const float width = 1 - 0.8f;
            const float S = veko::cellNoise(0.2f, 1.0f, 0.1f, 0.5f, width, creases, q, nullptr);
            float t = creases && S >= 20 ? std::clamp(S - 20, 0.0f, 1.0f) : S < width ? S / width : 1.0f;
            creased += S >= 20;
            inside += t == 1.0f;
            Solid s{"veko_leather", {{"cellColor", {0.6, 0.4, 0.2, 1}}, {"creaseColor", {0.1, 0.05, 0, 1}},
                                     {"cellSize", 0.2}, {"density", 1}, {"spottyness", 0.1}, {"randomness", 0.5},
                                     {"threshold", 0.8}, {"creases", creases}}};
            s.hit = p;
            EXPECT_TRUE(near(run(s), mix(crease, cell, t, t))) << i << (creases ? " creases" : "");
        }
    EXPECT_GT(creased, 0);  // the sample points meet creases and cell interiors
    EXPECT_GT(inside, 0);
}

TEST_F(Tex3d, GraniteColoursTheLargestChannel) {
    const Rgba col[3] = {{1, 0, 0, 1}, {0, 1, 0, 1}, {0, 0, 1, 1}};
    const Rgba filler{0.5f, 0.5f, 0.5f, 1};
    const json params = {{"color1", {1, 0, 0, 1}}, {"color2", {0, 1, 0, 1}}, {"color3", {0, 0, 1, 1}},
                         {"fillerColor", {0.5, 0.5, 0.5, 1}}, {"cellSize", 0.1}, {"density", 1.5},
                         {"mixRatio", 0.4}, {"spottyness", 0.2}, {"randomness", 1}, {"threshold", 0.6}};
    const float width = 0.4f, e = 0.4f / 0.6f;
    int seen[3] = {0, 0, 0};
    for (bool creases : {true, false})
        for (int i = 0; i < 40; ++i) {
            const xrVector p{-0.8f + 0.041f * i, -0.2f + 0.013f * i, 0.6f - 0.029f * i};
            const float q[3] = {p.x, p.y, p.z};
            float ch[3] = {std::pow(0.333f, e), std::pow(0.666f, e), 0};
            const float S = veko::cellNoise(0.1f, 1.5f, 0.2f, 1.0f, width, creases, q, ch);
            Rgba want;
            if (creases) {
                const float t = S > 20 ? std::clamp(S - 20, 0.0f, 1.0f) : S < width ? S / width : 1.0f;
                const int k = ch[2] >= std::max(ch[0], ch[1]) ? 2 : ch[1] >= ch[0] ? 1 : 0;
                ++seen[k];
                want = mix(filler, col[k], t, t);
            } else {
                // Each colour weighted by its channel; the filler fills the rest.
                float c[3], cover = 0;
                for (int k = 0; k < 3; ++k) cover += c[k] = ch[k] < width ? ch[k] / width : 1.0f;
                const float f = std::max(0.0f, 1 - cover);
                want = {c[0] + 0.5f * f, c[1] + 0.5f * f, c[2] + 0.5f * f, std::min(cover, 1.0f)};
            }
            json ps = params;
            ps["creases"] = creases;
            Solid s{"veko_granite", ps};
            s.hit = p;
            EXPECT_TRUE(near(run(s), want)) << i << (creases ? " creases" : "");
        }
    EXPECT_GT(seen[0] * seen[1] * seen[2], 0) << seen[0] << " " << seen[1] << " " << seen[2];
}

// ---------------------------------------------------------------------------
// volumenoise, rock, wood, woodgrain

TEST_F(Tex3d, VolumeNoiseDispatchesOnTheNoiseType) {
    std::vector<float> values;
    for (int type : {0, 1, 2, 3, 4}) {
        Solid s{"veko_volumenoise", {{"noiseType", type}, {"time", 0.3}}};
        s.hit = {0.41f, -0.27f, 0.66f};
        const Rgba c = run(s);
        EXPECT_EQ(c.r, c.g);
        EXPECT_EQ(c.r, c.a);
        EXPECT_LE(c.r, 1.0f);
        values.push_back(c.r);
    }
    for (size_t i = 0; i < values.size(); ++i)
        for (size_t j = i + 1; j < values.size(); ++j) EXPECT_NE(values[i], values[j]) << i << " " << j;
    Solid unknown{"veko_volumenoise", {{"noiseType", 9}}};
    EXPECT_TRUE(near(run(unknown), grey(0)));
}

TEST_F(Tex3d, RockGivesWayToItsAverageMixBelowAPixel) {
    // Grains far below the pixel: the colour is the mix of the two colours by
    // mixRatio; with large grains both colours appear.
    const auto fine = fixedFilter(0.5f);
    Solid s{"veko_rock", {{"grainSize", 0.01}, {"mixRatio", 0.3}, {"color1", {1, 1, 0, 1}}, {"color2", {0, 0, 1, 1}}}};
    s.record = &fine;
    EXPECT_TRUE(near(run(s), {0.7f, 0.7f, 0.3f, 0.3f}));

    const auto sharp = fixedFilter(1e-5f);
    s.params["grainSize"] = 0.1;
    s.params["diffusion"] = 0.02;
    s.record = &sharp;
    int pure1 = 0, pure2 = 0;
    for (int i = 0; i < 128; ++i) {
        s.hit = {-0.9f + 0.0145f * i, 0.1f + 0.0035f * i, -0.3f + 0.0085f * i};
        const Rgba c = run(s);
        pure1 += c.a == 0.0f;
        pure2 += c.a == 1.0f;
    }
    EXPECT_GT(pure1, 5);
    EXPECT_GT(pure2, 5);
}

TEST_F(Tex3d, WoodRingsFromItsTables) {
    // Equal rings (randomness 0) of layerSize 0.1 around the y axis through
    // (centerU, centerV) = (0, 0), no distortion and no grain: the vein rises
    // over the last veinSpread of each ring.
    const auto rec = fixedFilter(1e-4f);
    const Rgba filler{1, 1, 1, 1}, vein{0, 0.5f, 0, 1};
    const json params = {{"randomness", 0}, {"layerSize", 0.1}, {"age", 5}, {"centerU", 0}, {"centerV", 0},
                         {"amplitudeX", 0}, {"amplitudeY", 0}, {"grainContrast", 0}, {"veinSpread", 0.25},
                         {"fillerColor", {1, 1, 1, 1}}, {"veinColor", {0, 0.5, 0, 1}}};
    auto smooth = [](float x) {
        x = std::clamp(x, 0.0f, 1.0f);
        return x * x * (3 - 2 * x);
    };
    for (float r : {0.03f, 0.09f, 0.18f, 0.295f, 0.42f, 0.58f}) {  // 0.58: rings repeat after 5
        SCOPED_TRACE(r);
        const float u = r / 0.1f - std::floor(r / 0.1f);
        const float t = smooth((u - 0.75f) / 0.25f);
        Solid s{"veko_wood", params};
        s.hit = {r * 0.6f, 0.37f, r * 0.8f};
        s.record = &rec;
        EXPECT_TRUE(near(run(s), mix(filler, vein, t, t), 2e-5f));
    }
    // Rings below a pixel: the average vein weight, spread / 2.
    const auto coarse = fixedFilter(0.5f);
    Solid s{"veko_wood", params};
    s.record = &coarse;
    EXPECT_TRUE(near(run(s), mix(filler, vein, 0.125f, 0.125f)));
}

TEST_F(Tex3d, WoodWithoutItsTablesFails) {
    vt::messages();
    Solid s{"veko_wood"};
    s.init = false;
    run(s);
    EXPECT_EQ(s.ok, 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_wood(): Unable to access lookup tables."));
}

TEST_F(Tex3d, WoodgrainStaysBetweenItsColours) {
    const auto rec = fixedFilter(1e-4f);
    for (int i = 0; i < 32; ++i) {
        Solid s{"veko_woodgrain", {{"color1", {1, 1, 1, 1}}, {"color2", {0, 0, 0, 1}}, {"grainAmount", 0.5}}};
        s.hit = {-0.8f + 0.05f * i, 0.3f * std::sin(float(i)), 0.02f * i};
        s.record = &rec;
        const Rgba c = run(s);
        EXPECT_GE(c.a, 0.0f);
        EXPECT_LE(c.a, 1.0f);
        EXPECT_NEAR(c.r, 1 - c.a, 1e-6f);
    }
}

// ---------------------------------------------------------------------------
// Golden swatches (32 x 32 over the unit square of the z = 0 plane).

TEST_F(Tex3d, GoldenSwatches) {
    for (const char *name : {"solidfractal", "granite", "leather", "stucco", "crater", "rock", "wood", "woodgrain"})
        vt::checkGoldenSwatch(*lib, std::string("solid_") + name);
}

}  // namespace
