// The 2D textures (checker, grid, bulge, cloth, stencil, ramp) and the
// shared texture input and output stages, called through the reference host.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
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

constexpr float kPi = 3.14159265358979f;

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

class Tex2d : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lib = new vh::Library(vh::Library::defaultPath()); }
    static void TearDownTestSuite() {
        delete lib;
        lib = nullptr;
    }
    static vh::Library *lib;

    // Evaluates node `node` of the network at surface uv (u, v), optionally
    // with a per-ray record. Checks that outColor.a and outAlpha agree.
    static Rgba eval(const json &nodes, const std::string &node, float u, float v,
                     const veko::BaseStateRecord *record = nullptr) {
        vh::Network net(*lib);
        net.load({{"nodes", nodes}});
        vh::StandaloneState ss;
        net.init(ss.state());
        ss.setSurfaceSample(u, v);
        if (record) xr_shaderstate_set(ss.state(), "vekobase", record, sizeof *record, 2);
        vh::Instance &inst = *net.find(node);
        std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
        EXPECT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
        const vh::Field *c = inst.decl->resultField("outColor");
        const vh::Field *a = inst.decl->resultField("outAlpha");
        EXPECT_TRUE(c && a);
        if (!c || !a) return {};
        Rgba col;
        float alpha;
        std::memcpy(&col, reinterpret_cast<const char *>(out.data()) + c->offset, sizeof col);
        std::memcpy(&alpha, reinterpret_cast<const char *>(out.data()) + a->offset, 4);
        EXPECT_EQ(col.a, alpha) << "outColor.a and outAlpha differ";
        return col;
    }

    // One texture node "t" of `type` read straight from the surface uv.
    static Rgba tex(const std::string &type, const json &params, float u, float v,
                    const veko::BaseStateRecord *record = nullptr) {
        return eval(json::array({{{"name", "t"}, {"type", type}, {"params", params}}}), "t", u, v,
                    record);
    }

    // Texture "t" fed by placement "p".
    static Rgba placed(const std::string &type, json params, const json &placement, float u,
                       float v) {
        params["uvCoord"] = "p.outUV";
        params["uvFilterSize"] = "p.outUvFilterSize";
        return eval(json::array({{{"name", "p"}, {"type", "veko_place2dtex"}, {"params", placement}},
                                 {{"name", "t"}, {"type", type}, {"params", params}}}),
                    "t", u, v);
    }
};
vh::Library *Tex2d::lib = nullptr;

// ---------------------------------------------------------------------------
// Shared input and output stages (exercised through the checker, whose
// crisp squares give exact pattern colours).

const json kCrisp = {{"filter", 0}, {"filterOffset", 0}};

json crispChecker(json extra = json::object()) {
    json p = kCrisp;
    p["color1"] = {0.2, 0.4, 0.6, 0.9};
    p["color2"] = {0.8, 0.1, 0.3, 0.7};
    for (auto &[k, val] : extra.items()) p[k] = val;
    return p;
}

TEST_F(Tex2d, OutsidePointGivesDefaultColourWithLuminanceAlpha) {
    // Coverage 0 marks every point outside; the output parameters do not
    // touch the default colour, and its own alpha is replaced.
    const json params = crispChecker({{"defaultColor", {1, 0, 0, 1}},
                                      {"colorGain", {2, 2, 2, 2}},
                                      {"colorOffset", {0.5, 0.5, 0.5, 0.5}},
                                      {"alphaGain", 3},
                                      {"invert", true}});
    EXPECT_TRUE(near(placed("veko_checker", params, {{"coverage", {0, 1, 0}}}, 0.25f, 0.25f),
                     {1, 0, 0, 0.3f}));
    // Every 2D texture shares the stage.
    for (const char *type :
         {"veko_grid", "veko_bulge", "veko_cloth", "veko_stencil", "veko_ramp"}) {
        const json p = {{"defaultColor", {0.2, 0.5, 1.0, 0.0}}, {"invert", true}};
        EXPECT_TRUE(near(placed(type, p, {{"coverage", {1, 0, 0}}}, 0.3f, 0.3f),
                         {0.2f, 0.5f, 1.0f, lum(0.2f, 0.5f, 1.0f)}))
            << type;
    }
}

TEST_F(Tex2d, OnlyBothComponentsAtTheSentinelAreOutside) {
    // A v ramp from red to blue: u = -2e7 with v = 0.25 is a real point.
    const json params = {{"defaultColor", {1, 0, 0, 1}},
                         {"colorEntryList",
                          {{{"position", 0}, {"color", {1, 0, 0, 1}}},
                           {{"position", 1}, {"color", {0, 0, 1, 1}}}}}};
    EXPECT_TRUE(near(tex("veko_ramp", params, -2e7f, 0.25f),
                     {0.75f, 0, 0.25f, lum(0.75f, 0, 0.25f)}));
    EXPECT_TRUE(near(tex("veko_ramp", params, -1e7f, -1e7f), {1, 0, 0, 0.3f}));
    EXPECT_TRUE(near(tex("veko_ramp", params, -3e7f, -1e9f), {1, 0, 0, 0.3f}));
}

TEST_F(Tex2d, SurfaceWithoutTextureSpaceGivesDefault) {
    vh::Network net(*lib);
    net.load({{"nodes", {{{"name", "t"}, {"type", "veko_checker"},
                          {"params", {{"defaultColor", {0, 1, 0, 1}}}}}}}});
    vh::StandaloneState ss;
    net.init(ss.state());
    ss.state()->texCoords = nullptr;
    vh::Instance &inst = *net.find("t");
    std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
    ASSERT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
    EXPECT_FLOAT_EQ(out[0], 0.0f);
    EXPECT_FLOAT_EQ(out[1], 1.0f);
    EXPECT_FLOAT_EQ(out[3], 0.59f);
}

TEST_F(Tex2d, UnconnectedUvLiteralIsIgnored) {
    const json params = crispChecker({{"uvCoord", {0.75, 0.25, 0}}});
    EXPECT_TRUE(near(tex("veko_checker", params, 0.25f, 0.25f), {0.2f, 0.4f, 0.6f, 1.0f}));
}

TEST_F(Tex2d, OutputStage) {
    struct Case {
        const char *what;
        json extra;
        Rgba want;  // at (0.25, 0.25): pattern colour1 (0.2, 0.4, 0.6), pattern alpha 1
    };
    const float l = lum(0.2f, 0.4f, 0.6f);
    const std::vector<Case> cases = {
        {"plain", json::object(), {0.2f, 0.4f, 0.6f, 1.0f}},
        {"gain and offset act on r, g, b only",
         {{"colorGain", {2, 2, 0.5, 9}}, {"colorOffset", {0.1, -0.1, 0, 9}}},
         {0.5f, 0.7f, 0.3f, 1.0f}},
        {"alpha gain and offset", {{"alphaGain", 0.5}, {"alphaOffset", 0.1}}, {0.2f, 0.4f, 0.6f, 0.6f}},
        {"alpha is luminance", {{"alphaIsLuminance", true}}, {0.2f, 0.4f, 0.6f, l}},
        {"invert", {{"invert", true}}, {0.8f, 0.6f, 0.4f, 0.0f}},
        {"invert with luminance alpha: luminance first, then inverted",
         {{"invert", true}, {"alphaIsLuminance", true}}, {0.8f, 0.6f, 0.4f, 1.0f - l}},
        {"invert before gain and offset",
         {{"invert", true}, {"colorGain", {2, 2, 2, 1}}, {"colorOffset", {0.1, 0.1, 0.1, 0}},
          {"alphaGain", 2}, {"alphaOffset", 0.25}},
         {1.7f, 1.3f, 0.9f, 0.25f}},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(near(tex("veko_checker", crispChecker(c.extra), 0.25f, 0.25f), c.want)) << c.what;
}

// ---------------------------------------------------------------------------
// Checker

TEST_F(Tex2d, CheckerCrispSquares) {
    const json params = crispChecker();
    const Rgba c1{0.2f, 0.4f, 0.6f, 1.0f}, c2{0.8f, 0.1f, 0.3f, 0.0f};
    EXPECT_TRUE(near(tex("veko_checker", params, 0.25f, 0.25f), c1));
    EXPECT_TRUE(near(tex("veko_checker", params, 0.75f, 0.75f), c1));
    EXPECT_TRUE(near(tex("veko_checker", params, 0.75f, 0.25f), c2));
    EXPECT_TRUE(near(tex("veko_checker", params, 0.25f, 0.75f), c2));
    // One period per uv unit, negative coordinates included.
    EXPECT_TRUE(near(tex("veko_checker", params, -0.75f, 3.25f), c1));
    EXPECT_TRUE(near(tex("veko_checker", params, 0.499f, 0.25f), c1));
    EXPECT_TRUE(near(tex("veko_checker", params, 0.501f, 0.25f), c2));
    // Exactly on an edge the distance to it is 0, so the contrast vanishes.
    EXPECT_TRUE(near(tex("veko_checker", params, 0.5f, 0.25f), {0.5f, 0.25f, 0.45f, 0.5f}));
    // Contrast scales the difference.
    EXPECT_TRUE(near(tex("veko_checker", crispChecker({{"contrast", 0.5}}), 0.25f, 0.25f),
                     {0.35f, 0.325f, 0.525f, 0.75f}));
}

TEST_F(Tex2d, CheckerFiltering) {
    // Widths in squares: w = 2 |fu * filter + filterOffset|; the checker at
    // (0.125, 0.125) is a quarter square from the nearest edge.
    const json bw = {{"color1", {1, 1, 1, 1}}, {"color2", {0, 0, 0, 1}}, {"filter", 0}};
    struct Case {
        float filterOffset;
        float t;  // expected mix weight of color1
    };
    for (const Case &c : std::vector<Case>{
             {0.1f, 1.0f},                                          // w 0.2 < 0.25: crisp
             {0.25f, 0.75f},                                        // w 0.5: c = 0.25 / 0.5
             {0.75f, 0.5f + 0.5f * (0.25f / 1.5f) * (2.0f - 1.5f)},  // w 1.5: also (2 - w)
             {1.0f, 0.5f},                                          // w 2: fully filtered
             {-3.0f, 0.5f},                                         // |.|: w 6
         }) {
        json p = bw;
        p["filterOffset"] = c.filterOffset;
        EXPECT_TRUE(near(tex("veko_checker", p, 0.125f, 0.125f), {c.t, c.t, c.t, c.t}, 1e-5f))
            << "filterOffset " << c.filterOffset;
    }

    // The filter size comes from the per-ray record's footprintU when the
    // uvFilterSize is not connected, else from the placement.
    veko::BaseStateRecord rec{};
    rec.footprintU = {1.0f, 1.0f, 1.0f};
    json p = bw;
    p["filter"] = 1.0f;
    p["filterOffset"] = 0.0f;
    EXPECT_TRUE(near(tex("veko_checker", p, 0.125f, 0.125f, &rec), {0.5f, 0.5f, 0.5f, 0.5f}));
    EXPECT_TRUE(near(tex("veko_checker", p, 0.125f, 0.125f), {1, 1, 1, 1}));  // 0.005: crisp
    // Repeat 20 through the placement: filter 0.1 per axis, w 0.2 squares of
    // the placed uv; the point (0.00625, 0.00625) lands at (0.125, 0.125).
    p["filter"] = 1.25f;  // w = 2 * 0.1 * 1.25 = 0.25: the distance itself
    EXPECT_TRUE(near(placed("veko_checker", p, {{"repeatUV", {20, 20, 0}}}, 0.00625f, 0.00625f),
                     {1, 1, 1, 1}, 1e-4f));
    p["filter"] = 2.5f;  // w = 0.5
    EXPECT_TRUE(near(placed("veko_checker", p, {{"repeatUV", {20, 20, 0}}}, 0.00625f, 0.00625f),
                     {0.75f, 0.75f, 0.75f, 0.75f}, 1e-4f));
}

// ---------------------------------------------------------------------------
// Grid

TEST_F(Tex2d, GridLinesAndBoundaries) {
    const json base = {{"fillerColor", {0.1, 0.2, 0.3, 1}}, {"lineColor", {0.9, 0.8, 0.7, 1}},
                       {"uWidth", 0.1}, {"vWidth", 0.1}, {"filter", 0}, {"filterOffset", 0}};
    const Rgba filler{0.1f, 0.2f, 0.3f, 0.0f}, line{0.9f, 0.8f, 0.7f, 1.0f};
    EXPECT_TRUE(near(tex("veko_grid", base, 0.5f, 0.5f), filler));
    EXPECT_TRUE(near(tex("veko_grid", base, 0.02f, 0.5f), line));
    EXPECT_TRUE(near(tex("veko_grid", base, 0.5f, 0.97f), line));
    // u = 1 is kept (on the line), u = 1.5 wraps to the cell centre.
    EXPECT_TRUE(near(tex("veko_grid", base, 1.0f, 0.5f), line));
    EXPECT_TRUE(near(tex("veko_grid", base, 1.5f, -0.5f), filler));

    // A filter box of width 0.1 centred on the line edge u = 0.05 covers
    // half filler: t = 0.5 - (filler - 0.5) with the 1e-5 pads.
    json p = base;
    p["filterOffset"] = 0.05f;
    const float cover = (0.05f + 1e-5f) * (0.1f + 1e-5f) / (0.1f * 0.1f);
    const float t = 0.5f - (cover - 0.5f);
    EXPECT_TRUE(near(tex("veko_grid", p, 0.05f, 0.5f),
                     {0.1f + 0.8f * t, 0.2f + 0.6f * t, 0.3f + 0.4f * t, t}, 1e-4f));

    // Zero line widths: filler everywhere, alpha 0.
    p = base;
    p["uWidth"] = 0;
    p["vWidth"] = 0;
    for (float u : {0.0f, 0.3f, 0.999f})
        EXPECT_TRUE(near(tex("veko_grid", p, u, 0.4f), filler)) << u;

    // Colours below zero are raised to 0; alpha at most 1 (contrast 3 on a
    // line gives t = 2).
    p = base;
    p["contrast"] = 3;
    p["fillerColor"] = {1, 1, 1, 1};
    p["lineColor"] = {0, 0.2, 1, 1};
    EXPECT_TRUE(near(tex("veko_grid", p, 0.02f, 0.5f), {0.0f, 0.0f, 1.0f, 1.0f}));
}

// ---------------------------------------------------------------------------
// Bulge

TEST_F(Tex2d, BulgeProfileAndBoundary) {
    const json zero = {{"uWidth", 0}, {"vWidth", 0}};
    // Along u at v = 0.5 (v factor 1): (2 - 2u) 2u.
    for (float u : {0.1f, 0.25f, 0.5f, 0.8f}) {
        const float want = (2 - 2 * u) * 2 * u;
        EXPECT_TRUE(near(tex("veko_bulge", zero, u, 0.5f), {want, want, want, want})) << u;
    }
    // The border of the central rectangle is 0 (strict), inside it is not;
    // u outside [0, 1] wraps.
    const json w = {{"uWidth", 0.2}, {"vWidth", 0.4}};
    EXPECT_TRUE(near(tex("veko_bulge", w, 0.1f, 0.5f), {0, 0, 0, 0}));
    EXPECT_TRUE(near(tex("veko_bulge", w, 0.9f, 0.5f), {0, 0, 0, 0}));
    EXPECT_TRUE(near(tex("veko_bulge", w, 0.5f, 0.2f), {0, 0, 0, 0}));
    const float a = (0.5f - 0.2f) / 0.8f, b = (1.0f - 0.4f) / 0.6f;
    const float want = (2 - a) * a * b * (2 - b);
    EXPECT_TRUE(near(tex("veko_bulge", w, 0.25f, 0.5f), {want, want, want, want}));
    EXPECT_TRUE(near(tex("veko_bulge", w, -0.75f, 1.5f), {want, want, want, want}));
}

// ---------------------------------------------------------------------------
// Cloth

TEST_F(Tex2d, ClothRegularWeave) {
    // No spread, wave or randomness: the thread colour swaps between the
    // checker quadrants, the thread profile is the same.
    const json p = {{"gapColor", {0, 0, 1, 1}}, {"uColor", {1, 0, 0, 1}}, {"vColor", {0, 1, 0, 1}},
                    {"uWidth", 0.75}, {"vWidth", 0.75}};
    // At (0.1, 0.1): fu = fv = 0.2 after doubling; d = 0.75 ((2 fv/wv - 1)^2 + (fu - wu/2)^2).
    const float d = 0.75f * ((0.4f / 0.75f - 1) * (0.4f / 0.75f - 1) + (0.2f - 0.375f) * (0.2f - 0.375f));
    const float k = 1 - d;
    const Rgba vThread{0, k, 1 - k, lum(0, k, 1 - k)}, uThread{k, 0, 1 - k, lum(k, 0, 1 - k)};
    EXPECT_TRUE(near(tex("veko_cloth", p, 0.1f, 0.1f), vThread));
    EXPECT_TRUE(near(tex("veko_cloth", p, 0.6f, 0.6f), vThread));
    EXPECT_TRUE(near(tex("veko_cloth", p, 0.6f, 0.1f), uThread));
    EXPECT_TRUE(near(tex("veko_cloth", p, 0.1f, 0.6f), uThread));
    EXPECT_TRUE(near(tex("veko_cloth", p, 2.1f, -0.9f), vThread));

    // Narrow threads leave a gap; alphaIsLuminance is not read (the alpha
    // is always the luminance).
    json narrow = p;
    narrow["uWidth"] = 0.3;
    narrow["vWidth"] = 0.3;
    narrow["alphaIsLuminance"] = false;
    EXPECT_TRUE(near(tex("veko_cloth", narrow, 0.2f, 0.2f), {0, 0, 1, 0.11f}));

    // Where the v thread's extent (wv >= fv) is left, the u thread crossing
    // takes over: at (0.2, 0.45) fu = 0.4 <= wu, fv = 0.9 > wv.
    const float d2 = 0.75f * ((0.8f / 0.75f - 1) * (0.8f / 0.75f - 1) +
                              (0.9f - 0.375f - 1) * (0.9f - 0.375f - 1));
    const float k2 = 1 - d2;
    EXPECT_TRUE(near(tex("veko_cloth", p, 0.2f, 0.45f), {k2, 0, 1 - k2, lum(k2, 0, 1 - k2)}, 1e-4f));
}

TEST_F(Tex2d, ClothFarFromTheOrigin) {
    // Thread indices of huge coordinates are reduced, not overflowed.
    const json p = {{"gapColor", {0, 0, 0, 1}}, {"uColor", {1, 1, 1, 1}}, {"vColor", {1, 1, 1, 1}},
                    {"widthSpread", 0.5}, {"brightSpread", 0.5}};
    for (float u : {3e9f, -7e12f, 1e30f}) {
        const Rgba c = tex("veko_cloth", p, u, -u);
        EXPECT_TRUE(std::isfinite(c.r)) << u;
        EXPECT_GE(c.r, 0.0f) << u;
        EXPECT_LE(c.r, 1.0f) << u;
    }
}

TEST_F(Tex2d, ClothSpreadsStayBounded) {
    // Width and brightness spread vary the threads per row and column, but
    // the colour stays a blend of gap and thread colour.
    const json p = {{"gapColor", {0, 0, 0, 1}}, {"uColor", {1, 1, 1, 1}}, {"vColor", {1, 1, 1, 1}},
                    {"uWidth", 0.75}, {"vWidth", 0.75}, {"widthSpread", 0.5},
                    {"brightSpread", 0.5}, {"randomness", 0.2}, {"uWave", 0.05}};
    json plain = p;
    plain["widthSpread"] = 0;
    plain["brightSpread"] = 0;
    plain["randomness"] = 0;
    plain["uWave"] = 0;
    int differs = 0;
    for (float u = 0.05f; u < 2.0f; u += 0.37f)
        for (float v = 0.05f; v < 2.0f; v += 0.41f) {
            const Rgba c = tex("veko_cloth", p, u, v);
            EXPECT_GE(c.r, 0.0f);
            EXPECT_LE(c.r, 1.0f);
            EXPECT_EQ(c.r, c.g);
            if (std::fabs(c.r - tex("veko_cloth", plain, u, v).r) > 1e-3f) ++differs;
        }
    EXPECT_GT(differs, 5);
}

// ---------------------------------------------------------------------------
// Stencil

TEST_F(Tex2d, StencilMaskAndKey) {
    const json base = {{"image", {0.2, 0.6, 0.4, 0.9}}, {"defaultColor", {1, 0.5, 0, 1}}};
    struct Case {
        const char *what;
        json extra;
        Rgba want;
    };
    const std::vector<Case> cases = {
        {"mask 0: the image with alpha 0", {{"mask", 0}}, {0.2f, 0.6f, 0.4f, 0.0f}},
        {"mask 1: the default colour, output stage skipped",
         {{"mask", 1}, {"invert", true}, {"colorGain", {2, 2, 2, 2}}}, {1, 0.5f, 0, 1}},
        {"mask between: blend, alpha (1 - m) m0 + m",
         {{"mask", 0.25}}, {0.4f, 0.575f, 0.3f, 0.75f * 0.25f + 0.25f}},
        {"mask between then invert", {{"mask", 0.25}, {"invert", true}},
         {0.6f, 0.425f, 0.7f, 1 - (0.75f * 0.25f + 0.25f)}},
        {"negative mask: the image with alpha m0", {{"mask", -0.5}}, {0.2f, 0.6f, 0.4f, -0.5f}},
        {"key equal to the image cuts it out",
         {{"mask", 0}, {"keyMasking", true}, {"colorKey", {0.2, 0.6, 0.4, 0}}}, {1, 0.5f, 0, 1}},
        {"positive key keeps the matching colour",
         {{"mask", 0}, {"keyMasking", true}, {"positiveKey", true}, {"colorKey", {0.2, 0.6, 0.4, 0}}},
         {0.2f, 0.6f, 0.4f, 0.0f}},
        {"key far in hue leaves the image",
         {{"mask", 0}, {"keyMasking", true}, {"colorKey", {0.8, 0.2, 0.6, 0}}, {"hueRange", 0.1}},
         {0.2f, 0.6f, 0.4f, 0.0f}},
    };
    for (const Case &c : cases) {
        json p = base;
        for (auto &[k, v] : c.extra.items()) p[k] = v;
        EXPECT_TRUE(near(tex("veko_stencil", p, 0.5f, 0.5f), c.want, 1e-5f)) << c.what;
    }

    // Partial key: image hsv (0.4167, 0.667, 0.6), key differs only in value
    // by 0.1 with valRange 0.4: k = 0.75, threshold 1 -> m = 0.75.
    json p = base;
    p["keyMasking"] = true;
    p["threshold"] = 1.0;
    p["valRange"] = 0.4;
    p["colorKey"] = {0.2f * 0.5f / 0.6f, 0.5f, 0.4f * 0.5f / 0.6f, 0};
    const float m = 0.75f;
    EXPECT_TRUE(near(tex("veko_stencil", p, 0.5f, 0.5f),
                     {0.2f + 0.8f * m, 0.6f - 0.1f * m, 0.4f - 0.4f * m, m}, 1e-4f));
}

TEST_F(Tex2d, StencilEdgeBlend) {
    const json p = {{"image", {0.2, 0.6, 0.4, 1}}, {"defaultColor", {1, 1, 1, 1}}, {"edgeBlend", 0.2}};
    // Centre: untouched; edge: the default colour; half-way into the blend
    // band on u: e = 0.5, m = 0.5.
    EXPECT_TRUE(near(tex("veko_stencil", p, 0.5f, 0.5f), {0.2f, 0.6f, 0.4f, 0.0f}));
    EXPECT_TRUE(near(tex("veko_stencil", p, 0.0f, 0.5f), {1, 1, 1, 1}));
    EXPECT_TRUE(near(tex("veko_stencil", p, 0.05f, 0.5f), {0.6f, 0.8f, 0.7f, 0.5f}, 1e-5f));
}

// ---------------------------------------------------------------------------
// Ramp

json entries(const std::vector<std::pair<float, Rgba>> &list) {
    json a = json::array();
    for (auto &[pos, c] : list) a.push_back({{"position", pos}, {"color", {c.r, c.g, c.b, c.a}}});
    return a;
}
const Rgba kRed{1, 0, 0, 1}, kGreen{0, 1, 0, 1}, kBlue{0, 0, 1, 1}, kWhite{1, 1, 1, 1},
    kBlack{0, 0, 0, 1};

Rgba withLum(float r, float g, float b) { return {r, g, b, lum(r, g, b)}; }

TEST_F(Tex2d, RampLookup) {
    struct Case {
        const char *what;
        json params;
        float u, v;
        Rgba want;
    };
    const json redBlue = entries({{0.0f, kRed}, {1.0f, kBlue}});
    const json ties = entries({{0.0f, kBlack}, {0.5f, kGreen}, {0.5f, kRed}, {1.0f, kWhite}});
    const float spike = std::sin((0.25f - 1) * kPi / 2) + 1;  // r + g + b equal: d = 0
    const std::vector<Case> cases = {
        {"linear", {{"colorEntryList", redBlue}}, 0.9f, 0.25f, withLum(0.75f, 0, 0.25f)},
        {"u ramp", {{"rampType", 1}, {"colorEntryList", redBlue}}, 0.25f, 0.9f,
         withLum(0.75f, 0, 0.25f)},
        {"unsorted entries", {{"colorEntryList", entries({{1.0f, kBlue}, {0.0f, kRed}})}}, 0.9f,
         0.25f, withLum(0.75f, 0, 0.25f)},
        {"equal positions: the first in storage order", {{"colorEntryList", ties}}, 0.0f, 0.5f,
         withLum(0, 1, 0)},
        {"just above a tie: the first again as lower entry", {{"colorEntryList", ties}}, 0.0f, 0.6f,
         withLum(0.2f, 1, 0.2f)},
        {"single entry anywhere", {{"colorEntryList", entries({{0.8f, {0.3f, 0.6f, 0.9f, 0.0f}}})}},
         0.1f, 0.1f, withLum(0.3f, 0.6f, 0.9f)},
        {"no entries: black", {{"colorEntryList", json::array()}}, 0.1f, 0.1f, {0, 0, 0, 0}},
        {"below every entry: the lowest, unblended",
         {{"colorEntryList", entries({{0.7f, kBlue}, {0.3f, kRed}})}}, 0.0f, 0.1f, withLum(1, 0, 0)},
        {"above every entry: the highest",
         {{"colorEntryList", entries({{0.7f, kBlue}, {0.3f, kRed}})}}, 0.0f, 0.9f, withLum(0, 0, 1)},
        {"positions clamped to [0, 1]",
         {{"colorEntryList", entries({{-3.0f, kRed}, {4.0f, kBlue}})}}, 0.0f, 0.25f,
         withLum(0.75f, 0, 0.25f)},
        {"none: steps", {{"interpolation", 0}, {"colorEntryList", redBlue}}, 0.0f, 0.9f,
         withLum(1, 0, 0)},
        {"s squared", {{"interpolation", 2}, {"colorEntryList", redBlue}}, 0.0f, 0.5f,
         withLum(0.75f, 0, 0.25f)},
        {"1 - (1 - s) squared", {{"interpolation", 3}, {"colorEntryList", redBlue}}, 0.0f, 0.5f,
         withLum(0.25f, 0, 0.75f)},
        {"smooth", {{"interpolation", 4}, {"colorEntryList", redBlue}}, 0.0f, 0.25f,
         withLum(1 - (std::cos(1.25f * kPi) + 1) / 2, 0, (std::cos(1.25f * kPi) + 1) / 2)},
        {"bump, rising", {{"interpolation", 5}, {"colorEntryList", entries({{0.0f, kBlack}, {1.0f, kWhite}})}},
         0.0f, 0.25f, withLum(std::sin(0.25f * kPi / 2), std::sin(0.25f * kPi / 2), std::sin(0.25f * kPi / 2))},
        {"spike, rising", {{"interpolation", 6}, {"colorEntryList", entries({{0.0f, kBlack}, {1.0f, kWhite}})}},
         0.0f, 0.25f, withLum(spike, spike, spike)},
        {"interpolation -1 is the spike", {{"interpolation", -1}, {"colorEntryList", redBlue}}, 0.0f,
         0.25f, withLum(1 - spike, 0, spike)},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(near(tex("veko_ramp", c.params, c.u, c.v), c.want, 1e-5f)) << c.what;
}

TEST_F(Tex2d, RampArrayWordsOutOfRangeGiveNoEntries) {
    // A negative count or start describes no storage: the ramp is empty
    // (black) instead of reading outside the block.
    for (auto [start, count] : {std::pair{0, -3}, std::pair{-2, 2}}) {
        vh::Network net(*lib);
        net.load({{"nodes", {{{"name", "t"}, {"type", "veko_ramp"},
                              {"params", {{"colorEntryList", entries({{0.0f, kRed}, {1.0f, kBlue}})}}}}}}});
        vh::StandaloneState ss;
        net.init(ss.state());
        vh::Instance &inst = *net.find("t");
        auto *words = static_cast<int32_t *>(inst.paramAddress("colorEntryList"));
        words[0] = start;
        words[1] = count;
        std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
        ASSERT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
        EXPECT_TRUE(near({out[0], out[1], out[2], out[3]}, {0, 0, 0, 0})) << start << ", " << count;
    }
}

TEST_F(Tex2d, RampShapes) {
    const json redBlue = entries({{0.0f, kRed}, {1.0f, kBlue}});
    auto at = [](float t) { return withLum(1 - t, 0, t); };
    struct Case {
        const char *what;
        int type;
        float u, v;
        Rgba want;
    };
    const float r = std::atan2(0.25f - 0.5f, 0.9f - 0.5f) / 6.2831855f + 0.5f;
    const std::vector<Case> cases = {
        {"diagonal", 2, 0.2f, 0.4f, at(0.3f)},
        {"radial", 3, 0.25f, 0.9f, at(r)},
        {"radial at the centre", 3, 0.5f, 0.5f, at(0)},
        {"circular at the centre", 4, 0.5f, 0.5f, at(0)},
        {"circular at a corner", 4, 0.0f, 0.0f, at(1.414f * std::sqrt(0.5f))},
        {"box", 5, 0.3f, 0.85f, at(0.7f)},
        {"tartan for type 9", 9, 0.5f, 0.0f, withLum(0.5f, 0, 0.5f)},
        {"uv: product per channel", 6, 0.25f, 0.5f, withLum(0.5f, 0, 0)},
        {"uv wraps u outside [0, 1]", 6, 1.25f, 0.5f, withLum(0.5f, 0, 0)},
    };
    for (const Case &c : cases)
        EXPECT_TRUE(near(tex("veko_ramp", {{"rampType", c.type}, {"colorEntryList", redBlue}}, c.u, c.v),
                         c.want, 1e-5f))
            << c.what;

    // Four corner: the first four entries in storage order, positions unused.
    const json four = entries({{0.9f, kRed}, {0.1f, kGreen}, {0.5f, kBlue}, {0.5f, kWhite}, {0.0f, kBlack}});
    const float u = 0.25f, v = 0.6f;
    const float w0 = (1 - u) * (1 - v), w1 = u * (1 - v), w2 = (1 - u) * v, w3 = u * v;
    EXPECT_TRUE(near(tex("veko_ramp", {{"rampType", 7}, {"colorEntryList", four}}, u, v),
                     withLum(w0 + w3, w1 + w3, w2 + w3), 1e-5f));
    // Fewer than four: the missing corners add nothing.
    EXPECT_TRUE(near(tex("veko_ramp", {{"rampType", 7}, {"colorEntryList", entries({{0.0f, kRed}})}}, u, v),
                     withLum(w0, 0, 0), 1e-5f));
}

TEST_F(Tex2d, RampHsvJitterKeepsSaturationAndValue) {
    // Pure red with a hue offset only: still fully saturated at value 1.
    const json p = {{"colorEntryList", entries({{0.0f, kRed}})}, {"hueNoise", 0.5},
                    {"hueNoiseFreq", 3.0}};
    int moved = 0;
    for (float u : {0.13f, 0.41f, 0.77f}) {
        const Rgba c = tex("veko_ramp", p, u, 0.3f);
        EXPECT_NEAR(std::max({c.r, c.g, c.b}), 1.0f, 1e-5f);
        EXPECT_NEAR(std::min({c.r, c.g, c.b}), 0.0f, 1e-5f);
        if (c.g > 1e-3f || c.b > 1e-3f) ++moved;
    }
    EXPECT_GT(moved, 0);
    // A value offset alone on grey keeps it grey.
    const json grey = {{"colorEntryList", entries({{0.0f, {0.5f, 0.5f, 0.5f, 1}}})},
                       {"valNoise", 0.3}, {"valNoiseFreq", 2.0}};
    const Rgba g = tex("veko_ramp", grey, 0.37f, 0.61f);
    EXPECT_FLOAT_EQ(g.r, g.g);
    EXPECT_FLOAT_EQ(g.g, g.b);
    EXPECT_LE(std::fabs(g.r - 0.5f), 0.3f);
}

// ---------------------------------------------------------------------------
// Golden swatches (reviewed references in tests/golden/, see support.h).
TEST_F(Tex2d, GoldenSwatches) {
    for (const char *name : {"checker", "grid", "bulge", "cloth", "stencil", "ramp"}) vt::checkGoldenSwatch(*lib, name);
}

}  // namespace
