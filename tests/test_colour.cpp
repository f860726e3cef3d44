// Colour conversion and remapping nodes, the shared ramp evaluator (through
// the remap nodes), surface luminance and vertex colours, called through the
// reference host.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <unistd.h>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"

namespace {

using vh::json;

constexpr float kUnset = 777.0f;  // prefilled result words: "not written"
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

struct Call {
    xrBoolean ok = 0;
    std::vector<float> out;
    std::vector<std::string> warnings;
    int32_t word(size_t i) const {
        int32_t v;
        std::memcpy(&v, &out[i], 4);
        return v;
    }
};

// One node "n" with literal parameters, called once on a standalone state
// with a prefilled result. `extra` may write the block directly (NaN).
Call run(const std::string &type, const json &params, const std::function<void(vh::Instance &)> &extra = {}) {
    vh::Network net(vt::library());
    vh::Instance &n = net.add("n", type);
    for (auto &[k, v] : params.items()) n.setLiteral(k, v);
    if (extra) extra(n);
    vh::StandaloneState ss;
    net.init(ss.state());
    vt::messages();
    Call c;
    c.out.assign(std::max(8, n.decl->resultBytes / 4), kUnset);
    c.ok = vh::callShader(n, ss.state(), c.out.data());
    for (auto &m : vt::messages())
        if (m.severity == vh::Severity::Warning) c.warnings.push_back(m.text);
    return c;
}

void expectWords(const Call &c, const std::vector<float> &want, const std::string &what, float tol = 1e-5f) {
    EXPECT_EQ(c.ok, 1) << what;
    for (size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(c.out[i])) << what << " word " << i;
        else if (std::isinf(want[i]))
            EXPECT_EQ(c.out[i], want[i]) << what << " word " << i;
        else
            EXPECT_NEAR(c.out[i], want[i], tol) << what << " word " << i;
    }
}

// ---------------------------------------------------------------------------
TEST(Colour, ComponentMoversKeepEveryWordInPlace) {
    struct Case {
        const char *node;
        json params;
        std::vector<float> want;
    } cases[] = {
        {"veko_color_to_rgb", {{"input", {0.1, 0.2, 0.3, 0.4}}}, {0.1f, 0.2f, 0.3f, 0.4f}},
        {"veko_color_to_hsv", {{"input", {0.9, 0.2, 0.3, 0.4}}}, {0.9f, 0.2f, 0.3f, 0.4f}},  // no conversion
        {"veko_vector_to_xyz", {{"input", {1, -2, 3}}}, {1, -2, 3, kUnset}},
        {"veko_vector_to_uvw", {{"input", {4, 5, -6}}}, {4, 5, -6, kUnset}},
        {"veko_rgb_to_color", {{"r", 0.1}, {"g", 0.2}, {"b", 0.3}, {"a", 0.4}}, {0.1f, 0.2f, 0.3f, 0.4f}},
        {"veko_hsv_to_color", {{"h", 200}, {"s", 0.5}, {"v", 0.3}, {"a", 0}}, {200, 0.5f, 0.3f, 0}},
        {"veko_vector_to_color", {{"vector", {1, 2, 3}}, {"alpha", 0.5}}, {1, 2, 3, 0.5f}},
        {"veko_xyz_to_vector", {{"x", 7}, {"y", 8}, {"z", 9}}, {7, 8, 9, kUnset}},
        {"veko_uvw_to_vector", {{"u", -1}, {"v", 0.5}, {"w", 2}}, {-1, 0.5f, 2, kUnset}},
        {"veko_color_to_vector", {{"input", {0.1, 0.2, 0.3, 0.4}}}, {0.1f, 0.2f, 0.3f, 0.4f}},
        {"veko_int_to_float", {{"input", -7}}, {-7, kUnset}},
        {"veko_unitconversion", {{"input", 2.5}, {"conversionFactor", 2.54}}, {6.35f, kUnset}},
        {"veko_luminance", {{"value", {0.2, 0.4, 0.6, 0.9}}}, {0.362f, kUnset}},
    };
    for (const Case &k : cases) expectWords(run(k.node, k.params), k.want, k.node);
}

TEST(Colour, FloatToIntTruncatesTowardZeroAndSaturates) {
    struct Case {
        float in;
        int32_t want;
    } cases[] = {
        {2.7f, 2}, {-2.7f, -2}, {0.999f, 0}, {-0.5f, 0}, {1e6f, 1000000}, {3e9f, INT_MAX}, {-3e9f, INT_MIN},
        {kInf, INT_MAX}, {-kInf, INT_MIN}, {kNaN, 0},
    };
    for (const Case &k : cases) {
        Call c = run("veko_float_to_int", json::object(),
                     [&](vh::Instance &n) { std::memcpy(n.paramAddress("input"), &k.in, 4); });
        EXPECT_EQ(c.ok, 1);
        EXPECT_EQ(c.word(0), k.want) << k.in;
    }
}

TEST(Colour, HsvToRgbAtKnownColoursWithHueWrap) {
    struct Case {
        std::vector<float> hsv;  // hue in degrees, s, v, a
        std::vector<float> want;
    } cases[] = {
        {{0, 1, 1, 0.3f}, {1, 0, 0, 0.3f}},
        {{60, 1, 1, 1}, {1, 1, 0, 1}},
        {{120, 1, 1, 1}, {0, 1, 0, 1}},
        {{240, 1, 1, 1}, {0, 0, 1, 1}},
        {{30, 1, 1, 1}, {1, 0.5f, 0, 1}},
        {{180, 0.5f, 0.8f, 1}, {0.4f, 0.8f, 0.8f, 1}},
        {{360, 1, 1, 1}, {1, 0, 0, 1}},        // a full turn is red again
        {{780, 1, 1, 1}, {1, 1, 0, 1}},        // 2 turns + 60 degrees
        {{-120, 1, 1, 1}, {0, 0, 1, 1}},       // negative hue wraps as well
        {{0, 0, 0.4f, 1}, {0.4f, 0.4f, 0.4f, 1}},   // saturation 0: grey of the value
        {{200, 0, 0.7f, 0.5f}, {0.7f, 0.7f, 0.7f, 0.5f}},
    };
    for (const Case &k : cases)
        expectWords(run("veko_hsvtorgb", {{"inHsv", k.hsv}}), k.want, "hue " + std::to_string(k.hsv[0]));
}

TEST(Colour, RgbToHsvAtKnownColoursAndRoundTrip) {
    struct Case {
        std::vector<float> rgb;
        std::vector<float> want;  // hue in degrees
    } cases[] = {
        {{1, 0, 0, 0.25f}, {0, 1, 1, 0.25f}},
        {{0, 1, 0, 1}, {120, 1, 1, 1}},
        {{0, 0, 1, 1}, {240, 1, 1, 1}},
        {{1, 0, 1, 1}, {300, 1, 1, 1}},  // negative raw hue lifted by a turn
        {{0.4f, 0.8f, 0.8f, 1}, {180, 0.5f, 0.8f, 1}},
        {{0.5f, 0.5f, 0.5f, 1}, {0, 0, 0.5f, 1}},  // grey
        {{0, 0, 0, 0}, {0, 0, 0, 0}},              // black
    };
    for (const Case &k : cases) expectWords(run("veko_rgbtohsv", {{"inRgb", k.rgb}}), k.want, "rgbtohsv");

    const std::vector<std::vector<float>> colours = {
        {0.9f, 0.1f, 0.3f, 1}, {0.2f, 0.7f, 0.4f, 1}, {0.05f, 0.3f, 0.95f, 1}, {0.6f, 0.6f, 0.1f, 1}};
    for (const auto &rgb : colours) {
        Call h = run("veko_rgbtohsv", {{"inRgb", rgb}});
        Call back = run("veko_hsvtorgb", {{"inHsv", {h.out[0], h.out[1], h.out[2], h.out[3]}}});
        expectWords(back, rgb, "round trip", 1e-5f);
    }
}

TEST(Colour, GammaPerComponentWithZeroGammaUnguarded) {
    expectWords(run("veko_gamma", {{"value", {0.25, 0.5, 4}}, {"gamma", {2, 1, 0.5}}}), {0.5f, 0.5f, 16}, "gamma");
    // 1/0 is +inf: below 1 goes to 0, 1 stays, above 1 goes to infinity.
    expectWords(run("veko_gamma", {{"value", {0.5, 1, 2}}, {"gamma", {0, 0, 0}}}), {0, 1, kInf}, "gamma 0");
}

TEST(Colour, ContrastAroundBiasWithGuards) {
    // Bias 0.5 and contrast 1 give the value back.
    expectWords(run("veko_contrast", {{"value", {0.2, 0.5, 0.9}}, {"contrast", {1, 1, 1}}, {"bias", {0.5, 0.5, 0.5}}}),
                {0.2f, 0.5f, 0.9f}, "identity");
    // Contrast 2 about 0.5: 0.25 -> 0.5^2/2, 0.75 -> 1 - 0.5^2/2; 0 and below give 0.
    expectWords(run("veko_contrast", {{"value", {0.25, 0.75, 0}}, {"contrast", {2, 2, 2}}, {"bias", {0.5, 0.5, 0.5}}}),
                {0.125f, 0.875f, 0}, "contrast 2");
    expectWords(run("veko_contrast", {{"value", {-0.3, -1, 0}}, {"contrast", {3, 3, 3}}, {"bias", {0.2, 0.2, 0.2}}}),
                {0, 0, 0}, "non-positive");
    // A bias of 0 or 1 would divide by ln 1 = 0 or take ln 0; it is held
    // inside (1e-5, 0.99999) and gives the same as the held value.
    Call edge = run("veko_contrast", {{"value", {0.5, 0.5, 0.5}}, {"contrast", {1, 1, 1}}, {"bias", {0, 1, 0.5}}});
    Call held = run("veko_contrast", {{"value", {0.5, 0.5, 0.5}}, {"contrast", {1, 1, 1}}, {"bias", {1e-5, 0.99999, 0.5}}});
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(std::isfinite(edge.out[i])) << i;
        EXPECT_FLOAT_EQ(edge.out[i], held.out[i]) << i;
    }
}

// ---------------------------------------------------------------------------
// Ramps, evaluated through veko_remapvalue over the unit range.

json scalarEntries(const std::vector<std::vector<float>> &e) {
    json a = json::array();
    for (auto &x : e) a.push_back({{"position", x[0]}, {"value", x[1]}, {"interpolation", int(x[2])}});
    return a;
}

float scalarRampAt(const json &entries, float x) {
    Call c = run("veko_remapvalue", {{"inputValue", x}, {"valueRamp", entries}});
    EXPECT_EQ(c.ok, 1);
    return c.out[4];
}

TEST(Colour, ScalarRampAtAndBetweenEntries) {
    const json linear = scalarEntries({{0, 0, 1}, {1, 1, 1}});
    const json steps = scalarEntries({{0, 0.2f, 0}, {0.5f, 0.8f, 0}});
    const json smooth = scalarEntries({{0, 0, 2}, {1, 1, 2}});
    // Spline through 0, 1, 0: slopes from the neighbours (1 at the first
    // entry, -1 at the last), worked by hand: 0.5625 at 0.25 and 0.75.
    const json spline = scalarEntries({{0, 0, 3}, {0.5f, 1, 3}, {1, 0, 3}});
    const json single = scalarEntries({{0.3f, 0.7f, 1}});
    const json unsorted = scalarEntries({{1, 1, 1}, {0, 0, 1}});
    const json ties = scalarEntries({{0.5f, 0.2f, 1}, {0.5f, 0.9f, 1}});
    const json undefinedCode = scalarEntries({{0, 0.3f, 7}, {1, 1, 1}});
    struct Case {
        const char *what;
        const json &ramp;
        float x, want;
    } cases[] = {
        {"linear at first", linear, 0, 0},          {"linear between", linear, 0.25f, 0.25f},
        {"linear at last", linear, 1, 1},           {"linear below all", linear, -0.5f, 0},
        {"linear above all", linear, 1.5f, 1},      {"steps between", steps, 0.4f, 0.2f},
        {"steps at upper entry", steps, 0.5f, 0.2f},  // the lower entry holds up to the position
        {"steps past upper", steps, 0.6f, 0.8f},    {"steps below all", steps, -1, 0.2f},
        {"smooth quarter", smooth, 0.25f, 0.14644661f}, {"smooth half", smooth, 0.5f, 0.5f},
        {"spline at entry", spline, 0.5f, 1},       {"spline rising", spline, 0.25f, 0.5625f},
        {"spline falling", spline, 0.75f, 0.5625f}, {"spline below", spline, -0.2f, 0},
        {"single low", single, 0, 0.7f},            {"single high", single, 0.9f, 0.7f},
        {"unsorted", unsorted, 0.25f, 0.25f},       {"ties keep the earlier", ties, 0.7f, 0.2f},
        {"undefined code holds", undefinedCode, 0.5f, 0.3f},
    };
    for (const Case &k : cases) EXPECT_NEAR(scalarRampAt(k.ramp, k.x), k.want, 1e-5f) << k.what;
}

TEST(Colour, RampUsesAtMostFiftyEntries) {
    // 50 entries of 0 over [0, 0.5], then ten of 5 above: the ten are cut.
    std::vector<std::vector<float>> e;
    for (int k = 0; k < 50; ++k) e.push_back({0.01f * k, 0, 1});
    for (int k = 0; k < 10; ++k) e.push_back({0.6f + 0.01f * k, 5, 1});
    EXPECT_EQ(scalarRampAt(scalarEntries(e), 0.9f), 0);
    // The fiftieth entry still counts.
    std::vector<std::vector<float>> fifty(e.begin(), e.begin() + 49);
    fifty.push_back(e[50]);
    EXPECT_EQ(scalarRampAt(scalarEntries(fifty), 0.9f), 5);
}

TEST(Colour, RemapValueMapsColourAndValueIntoOutputRange) {
    const json colorRamp = json::array({{{"position", 0}, {"value", {1, 0, 0, 1}}, {"interpolation", 1}},
                                        {{"position", 1}, {"value", {0, 0, 1, 0.5}}, {"interpolation", 1}}});
    const json valueRamp = scalarEntries({{0, 0.4f, 1}, {1, 0.9f, 1}});
    // Input 3 of [2, 6] is position 0.25; output range [2, 4] maps v -> 2v + 2
    // for r, g, b and the value; the ramp's alpha is kept.
    Call c = run("veko_remapvalue", {{"inputValue", 3}, {"inputMin", 2}, {"inputMax", 6}, {"outputMin", 2},
                                     {"outputMax", 4}, {"colorRamp", colorRamp}, {"valueRamp", valueRamp}});
    expectWords(c, {2 + 2 * 0.75f, 2, 2 + 2 * 0.25f, 0.875f, 2 + 2 * 0.525f}, "mapped");
    // An empty input range evaluates both ramps at 0.
    c = run("veko_remapvalue",
            {{"inputValue", 100}, {"inputMin", 3}, {"inputMax", 3}, {"colorRamp", colorRamp}, {"valueRamp", valueRamp}});
    expectWords(c, {1, 0, 0, 1, 0.4f}, "empty range");
    // Empty ramps give 0, then the output mapping.
    c = run("veko_remapvalue", {{"inputValue", 0.5}, {"outputMin", 1}, {"outputMax", 3}});
    expectWords(c, {1, 1, 1, 0, 1}, "empty ramps");
}

TEST(Colour, RemapColorRunsEachChannelThroughItsRamp) {
    const json identity = scalarEntries({{0, 0, 1}, {1, 1, 1}});
    const json constant = scalarEntries({{0, 0.3f, 1}});
    const json reversed = scalarEntries({{0, 1, 1}, {1, 0, 1}});
    // (0.5, 1, 1.5) over [0, 2] is (0.25, 0.5, 0.75); output [1, 3].
    Call c = run("veko_remapcolor", {{"color", {0.5, 1, 1.5, 0.6}}, {"inputMin", 0}, {"inputMax", 2}, {"outputMin", 1},
                                     {"outputMax", 3}, {"red", identity}, {"green", constant}, {"blue", reversed}});
    expectWords(c, {1.5f, 1.6f, 1.5f, 0.6f}, "remapcolor");
    // An empty input range puts every channel at position 0.
    c = run("veko_remapcolor", {{"color", {0.5, 1, 1.5, 0.6}}, {"inputMin", 1}, {"inputMax", 1},
                                {"red", reversed}, {"green", constant}, {"blue", identity}});
    expectWords(c, {1, 0.3f, 0, 0}, "empty range");
}

TEST(Colour, RemapHsvTurnsHueThroughItsRamp) {
    const json identity = scalarEntries({{0, 0, 1}, {1, 1, 1}});
    const json third = scalarEntries({{0, 1.0f / 3.0f, 1}});
    const json half = scalarEntries({{0, 0.5f, 1}});
    // Red with the hue ramp at a third of a turn becomes green.
    Call c = run("veko_remaphsv", {{"color", {1, 0, 0, 0.4}}, {"hue", third}, {"saturation", identity}, {"value", identity}});
    expectWords(c, {0, 1, 0, 0.4f}, "hue");
    // Saturation held at 0.5 on red at value 0.8 over output [0, 2].
    c = run("veko_remaphsv", {{"color", {0.8, 0, 0, 1}}, {"outputMax", 2}, {"hue", identity}, {"saturation", half},
                              {"value", identity}});
    expectWords(c, {1.6f, 0.8f, 0.8f, 1}, "saturation");
}

// ---------------------------------------------------------------------------
// Nodes that read the scene.

TEST(Colour, SurfaceLuminanceWithoutRecordWarns) {
    Call c = run("veko_surfaceluminance", json::object());
    EXPECT_EQ(c.ok, 0);
    ASSERT_EQ(c.warnings.size(), 1u);
    EXPECT_EQ(c.warnings[0], "veko_surfaceluminance(): Internal state error.");
    EXPECT_EQ(c.out[0], kUnset);
}

TEST(Colour, SurfaceLuminanceSumsTheLightsCosineWeighted) {
    // The luminance of the arriving light, shown as the incandescence of a
    // black lambert: a white light straight above at 0.5 plus one at 45
    // degrees at 1.
    const json extra = json::parse(R"([
        {"name": "lum", "type": "veko_surfaceluminance"},
        {"name": "toColor", "type": "veko_rgb_to_color",
         "params": {"r": "lum.outValue", "g": "lum.outValue", "b": "lum.outValue"}}
    ])");
    const json surface = {{"color", {0, 0, 0, 1}}, {"diffuse", 0}, {"incandescence", "toColor.outColor"}};
    xrColor c = vt::renderLayers({{"veko_lambert", surface}}, {{{0, 1, 0}, 0.5f}, {{1, 1, 0}, 1.0f}}, extra);
    const float want = 0.5f + std::sqrt(0.5f);
    EXPECT_NEAR(c.r, want, 1e-4f);
    EXPECT_NEAR(c.g, want, 1e-4f);
    EXPECT_NEAR(c.b, want, 1e-4f);
}

// Vertex colours at a hit: a native material calls the scene's node "vc" and
// keeps its result.
struct VertexProbe {
    std::vector<float> out;
    xrState st{};
};
VertexProbe g_probe;
vh::Scene *g_scene = nullptr;

void registerProbe() {
    vh::registerNativeMaterial("vcprobe", [](xrColor *color, xrState *s) {
        vh::Instance *vc = vh::networkOf(*g_scene).find("vc");
        g_probe.st = *s;
        g_probe.out.assign(8, kUnset);
        xrBoolean ok = vh::callShader(*vc, s, g_probe.out.data());
        *color = {g_probe.out[0], g_probe.out[1], g_probe.out[2], 1};
        return ok;
    });
}

// Shades the ray straight down through world (x, z) of a 4 x 4 unit view.
void probeAt(vh::Scene &scene, float x, float z) {
    g_scene = &scene;
    vh::Renderer r(scene, 1);
    // Raster of 16 over 4 units, y up: column 4x + 8, row 8 - 4z.
    auto s = r.shadeSample(0, 4 * x + 8, 8 - 4 * z, 0, 0);
    ASSERT_TRUE(s.hit);
}

json topCamera() {
    return {{"type", "orthographic"}, {"resolution", {16, 16}}, {"aperture", 4}, {"clip", {0.1, 100}},
            {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
}

// One triangle in the ground plane, corners (0,0,0), (1,0,0), (0,0,-1).
json triangle(const json &colors) {
    json m = {{"type", "mesh"}, {"positions", {0, 0, 0, 1, 0, 0, 0, 0, -1}}, {"triangles", {0, 1, 2}}};
    if (!colors.is_null()) m["colors"] = colors;
    return m;
}

TEST(Colour, VertexColoursInterpolatedAtTheHit) {
    registerProbe();
    // Set 0 and set 1; the hit at (0.25, 0, -0.25) has weights (0.5, 0.25, 0.25).
    const json sets = {{1, 0, 0, 0, 1, 0, 0, 0, 1}, {0.2, 0.2, 0.2, -1, -1, -1, 1, 1, 1}};
    struct Case {
        const char *what;
        json params;
        std::vector<float> want;
    } cases[] = {
        {"set 0", {{"vertexData", {{{"instance", "tri"}, {"index", 0}}}}},
         {0.5f, 0.25f, 0.25f, std::sqrt(0.375f), std::sqrt(0.375f)}},
        // (-1, -1, -1) stands for the default colour.
        {"set 1 with default",
         {{"vertexData", {{{"instance", "tri"}, {"index", 1}}}}, {"defaultColor", {0, 0.4, 0.8, 1}}, {"alphaIsLuminance", 1}},
         {0.35f, 0.45f, 0.55f, 0.3f * 0.35f + 0.59f * 0.45f + 0.11f * 0.55f, 0.3f * 0.35f + 0.59f * 0.45f + 0.11f * 0.55f}},
        {"invert, gain and offset",
         {{"vertexData", {{{"instance", "tri"}, {"index", 0}}}}, {"invert", 1}, {"alphaIsLuminance", 1},
          {"colorGain", {2, 2, 2, 1}}, {"colorOffset", {0.1, 0.2, 0.3, 0}}, {"alphaGain", 2}, {"alphaOffset", -0.5}},
         {1.1f, 1.7f, 1.8f, (1 - (0.15f + 0.1475f + 0.0275f)) * 2 - 0.5f, (1 - (0.15f + 0.1475f + 0.0275f)) * 2 - 0.5f}},
        // No pair for this instance, or a set the mesh does not have: the
        // default colour with its luminance as alpha, untouched by gain.
        {"no pair", {{"vertexData", {{{"instance", 0}, {"index", 0}}}}, {"defaultColor", {1, 0, 0, 1}}, {"colorGain", {2, 2, 2, 2}}},
         {1, 0, 0, 0.3f, 0.3f}},
        {"missing set", {{"vertexData", {{{"instance", "tri"}, {"index", 2}}}}, {"defaultColor", {0, 1, 0, 1}}},
         {0, 1, 0, 0.59f, 0.59f}},
    };
    for (const Case &k : cases) {
        json nodes = json::array({{{"name", "vc"}, {"type", "veko_vertexcolors"}, {"params", k.params}}});
        json doc = {{"nodes", nodes}, {"camera", topCamera()},
                    {"objects", {{{"name", "tri"}, {"mesh", triangle(sets)}, {"material", "native:vcprobe"}}}}};
        auto scene = vh::loadSceneJson(vt::library(), doc, "test.json");
        probeAt(*scene, 0.25f, -0.25f);
        EXPECT_NEAR(g_probe.st.baryWeights[0], 0.5f, 1e-5f) << k.what;
        for (size_t i = 0; i < k.want.size(); ++i) EXPECT_NEAR(g_probe.out[i], k.want[i], 1e-5f) << k.what << " word " << i;
    }
}

TEST(Colour, VertexColoursKeyOnTheParentInstance) {
    registerProbe();
    // "child" derives from "base" and takes the pair of "base"; "plain"
    // derives from nothing and stands for itself.
    const json nodes = json::parse(R"([{"name": "vc", "type": "veko_vertexcolors",
        "params": {"vertexData": [{"instance": "base", "index": 1}, {"instance": "plain", "index": 0}]}}])");
    const json sets = {{1, 0, 0, 1, 0, 0, 1, 0, 0}, {0, 0, 1, 0, 0, 1, 0, 0, 1}};
    auto place = [&](float dx) { return json{{"translate", {dx, 0, 0}}}; };
    json doc = {{"nodes", nodes}, {"camera", topCamera()},
                {"objects", {{{"name", "base"}, {"mesh", triangle(sets)}, {"transform", place(-1.5)}, {"material", "native:vcprobe"}},
                             {{"name", "child"}, {"mesh", triangle(sets)}, {"parent", "base"}, {"material", "native:vcprobe"}},
                             {{"name", "plain"}, {"mesh", triangle(sets)}, {"transform", place(1)}, {"material", "native:vcprobe"}}}}};
    auto scene = vh::loadSceneJson(vt::library(), doc, "test.json");
    probeAt(*scene, 0.25f, -0.25f);  // child: set 1
    EXPECT_NEAR(g_probe.out[2], 1, 1e-5f);
    EXPECT_NEAR(g_probe.out[0], 0, 1e-5f);
    probeAt(*scene, 1.25f, -0.25f);  // plain: set 0
    EXPECT_NEAR(g_probe.out[0], 1, 1e-5f);
    EXPECT_NEAR(g_probe.out[2], 0, 1e-5f);

    doc["objects"][1]["parent"] = "nobody";
    try {
        vh::loadSceneJson(vt::library(), doc, "test.json");
        ADD_FAILURE() << "no error";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find("\"parent\" must name an earlier object"), std::string::npos) << e.what();
    }
}

TEST(Colour, VertexColoursFromObjFile) {
    registerProbe();
    const std::string dir = ::testing::TempDir();
    const std::string obj = dir + "vekobase_vc_" + std::to_string(::getpid()) + ".obj";
    {
        std::ofstream f(obj);
        f << "v 0 0 0 1 0 0\nv 1 0 0 0 1 0\nv 0 0 -1 0 0 1\nf 1 2 3\n";
    }
    const json nodes = json::parse(R"([{"name": "vc", "type": "veko_vertexcolors",
        "params": {"vertexData": [{"instance": "o", "index": 0}], "defaultColor": [0, 0, 0, 1]}}])");
    json doc = {{"nodes", nodes}, {"camera", topCamera()},
                {"objects", {{{"name", "o"}, {"mesh", {{"type", "obj"}, {"file", obj}}}, {"material", "native:vcprobe"}}}}};
    auto scene = vh::loadSceneJson(vt::library(), doc, "test.json");
    probeAt(*scene, 0.5f, -0.25f);  // weights (0.25, 0.5, 0.25)
    EXPECT_NEAR(g_probe.out[0], 0.25f, 1e-5f);
    EXPECT_NEAR(g_probe.out[1], 0.5f, 1e-5f);
    EXPECT_NEAR(g_probe.out[2], 0.25f, 1e-5f);

    // Without colours on every vertex the file has no colour set.
    {
        std::ofstream f(obj);
        f << "v 0 0 0 1 0 0\nv 1 0 0\nv 0 0 -1\nf 1 2 3\n";
    }
    auto plain = vh::loadSceneJson(vt::library(), doc, "test.json");
    probeAt(*plain, 0.5f, -0.25f);
    EXPECT_NEAR(g_probe.out[0], 0, 1e-5f);
    EXPECT_NEAR(g_probe.out[3], 0, 1e-5f);
    std::filesystem::remove(obj);
}

}  // namespace
