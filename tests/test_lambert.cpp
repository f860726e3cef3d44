// veko_lambert and the surface pipeline, called through the reference host
// with parameter blocks laid out from the declarations. The cases here need
// no scene: a standalone state with the library's per-ray record set the way
// the state shader's template leaves it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"

namespace {

using vh::json;
using veko::BaseStateRecord;
using veko::MaterialResult;

using vt::kUnset;
using vt::Surface;
using vt::templateRecord;

void expectColor(const xrColor &c, const std::vector<float> &want, const std::string &what, float tol = 1e-5f) {
    const float *p = &c.r;
    for (size_t i = 0; i < want.size(); ++i) EXPECT_NEAR(p[i], want[i], tol) << what << " channel " << i;
}
void expect3(const float *p, float a, float b, float c, const std::string &what) {
    EXPECT_NEAR(p[0], a, 1e-5f) << what;
    EXPECT_NEAR(p[1], b, 1e-5f) << what;
    EXPECT_NEAR(p[2], c, 1e-5f) << what;
}
bool allUnset(const MaterialResult &r, int fromWord, int toWord) {
    const float *w = reinterpret_cast<const float *>(&r);
    for (int i = fromWord; i < toWord; ++i)
        if (w[i] != kUnset) return false;
    return true;
}
const float *words(const MaterialResult &r) { return reinterpret_cast<const float *>(&r); }


// Rendered surface scenes (shared with the other surface suites).
using Light = vt::DirLight;
using vt::Layer;
using vt::renderLayers;

xrVector unit(xrVector v) {
    const float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / l, v.y / l, v.z / l};
}

// ---------------------------------------------------------------------------
TEST(Lambert, MissingRecordWarnsAndLeavesResult) {
    Surface s("veko_lambert", false);
    MaterialResult r = s.call();
    EXPECT_EQ(s.ok, 0);
    ASSERT_EQ(s.warnings.size(), 1u);
    EXPECT_EQ(s.warnings[0], "veko_lambert(): Internal state error.");
    EXPECT_TRUE(allUnset(r, 0, 64));
}

TEST(Lambert, ShadowRayReturnsOnlyTransparency) {
    struct Case {
        int hide;
        std::vector<float> want;
    } cases[] = {{0, {0.5f, 0.5f, 0.5f, 0.0f}}, {1, {1, 1, 1, 1}}};
    for (const Case &k : cases) {
        Surface s("veko_lambert");
        s.set({{"transparency", {0.5, 0.5, 0.5, 0.0}}, {"hideSource", k.hide}, {"incandescence", {1, 1, 1, 1}}});
        s.ss.state()->rayKind = xrRAY_SHADOW;
        MaterialResult r = s.call();
        EXPECT_EQ(s.ok, 1);
        expectColor(r.outTransparency, k.want, "hide " + std::to_string(k.hide));
        EXPECT_TRUE(allUnset(r, 0, 12)) << "words before outTransparency touched";
        EXPECT_TRUE(allUnset(r, 16, 64)) << "words after outTransparency touched";
        EXPECT_EQ(s.record()->refractionsOn, 0);
    }
}

// Ambient, incandescence and opacity follow the pass mask of passMode; the
// beauty colour is (ambient) x (1 - transparency) + incandescence.
TEST(Lambert, PassModeSelectsComponents) {
    const json color = {0.5, 0.4, 0.2, 1.0}, ambient = {0.2, 0.5, 1.0, 0.0}, inc = {0.1, 0.2, 0.3, 0.0},
               transp = {0.25, 0.5, 0.0, 0.0};
    const float amb[3] = {0.1f, 0.2f, 0.2f};  // color x ambientColor
    const float incv[3] = {0.1f, 0.2f, 0.3f};
    struct Case {
        int mode;
        bool ambient, incandescence;
    } cases[] = {{0, true, true}, {1, true, true}, {3, true, false}, {4, true, true},
                 {5, false, false}, {6, false, false}, {7, false, false}, {-1, false, false}};
    for (const Case &k : cases) {
        const std::string what = "passMode " + std::to_string(k.mode);
        Surface s("veko_lambert");
        s.set({{"color", color}, {"ambientColor", ambient}, {"incandescence", inc}, {"transparency", transp},
               {"matteOpacityMode", 1}, {"matteOpacity", 0.75}});
        s.record()->passMode = k.mode;
        MaterialResult r = s.call();
        ASSERT_EQ(s.ok, 1) << what;
        const float opaque[3] = {0.75f, 0.5f, 1.0f};
        float want[3];
        for (int c = 0; c < 3; ++c)
            want[c] = (k.ambient ? amb[c] : 0.0f) * opaque[c] + (k.incandescence ? incv[c] : 0.0f);
        expect3(&r.outColor.r, want[0], want[1], want[2], what + " outColor");
        if (k.ambient) expect3(&r.ambientPass.r, amb[0], amb[1], amb[2], what + " ambientPass");
        else expect3(&r.ambientPass.r, 0, 0, 0, what + " ambientPass");
        if (k.incandescence) expect3(&r.incandescencePass.r, 0.1f, 0.2f, 0.3f, what + " incandescencePass");
        else expect3(&r.incandescencePass.r, 0, 0, 0, what + " incandescencePass");
        expect3(&words(r)[60], 0.75f, 0.5f, 1.0f, what + " outOpacity");
        expect3(r.outMatteOpacity, 0.75f, 0.75f, 0.75f, what + " matte");
        expectColor(r.outTransparency, {0.25f, 0.5f, 0.0f}, what + " outTransparency");
        // Nothing is lit without lights; the unused words stay cleared.
        expectColor(r.diffusePass, {0, 0, 0, 0}, what + " diffusePass");
        EXPECT_EQ(words(r)[7], 0.0f) << what;
        EXPECT_EQ(words(r)[63], 0.0f) << what;
    }
}

// Matte mode 0 cuts a black hole in every pass mode but the shadow pass,
// which reports only the shadow fraction.
TEST(Lambert, MatteModes) {
    struct Case {
        int passMode, matteMode;
        float matte[3];
        bool colored;
    } cases[] = {
        {0, 0, {-1000000.0f, -1000000.0f, -1000000.0f}, false},
        {4, 0, {-1000000.0f, -1000000.0f, -1000000.0f}, false},
        {2, 0, {0, 0, 0}, false},
        {0, 1, {0.6f, 0.6f, 0.6f}, true},
        {0, 2, {0.3f, 0.15f, 0.6f}, true},  // (1 - transparency) x matteOpacity
    };
    for (const Case &k : cases) {
        const std::string what = "pass " + std::to_string(k.passMode) + " matte " + std::to_string(k.matteMode);
        Surface s("veko_lambert");
        s.set({{"color", {1, 1, 1, 1}}, {"ambientColor", {1, 1, 1, 0}}, {"glowIntensity", 1.0},
               {"transparency", {0.5, 0.75, 0.0, 0.0}}, {"matteOpacityMode", k.matteMode}, {"matteOpacity", 0.6}});
        s.record()->passMode = k.passMode;
        MaterialResult r = s.call();
        ASSERT_EQ(s.ok, 1) << what;
        expect3(r.outMatteOpacity, k.matte[0], k.matte[1], k.matte[2], what);
        if (k.colored) {
            expect3(&r.outColor.r, 0.5f, 0.25f, 1.0f, what + " colour");
            expect3(r.outGlowColor, 0.5f, 0.25f, 1.0f, what + " glow");
        } else {
            expectColor(r.outColor, {0, 0, 0, 0}, what + " colour");
            expect3(r.outGlowColor, 0, 0, 0, what + " glow");
            expect3(&words(r)[60], 0, 0, 0, what + " opacity not composed");
        }
    }
}

// hideSource: the surface colour vanishes and the surface is fully
// transparent, but its glow stays; the glow is colour x glowIntensity.
TEST(Lambert, HideSourceKeepsGlow) {
    for (int hide : {0, 1}) {
        Surface s("veko_lambert");
        s.set({{"color", {0.5, 0.5, 0.5, 1}}, {"incandescence", {0.2, 0.4, 0.6, 0}}, {"glowIntensity", 2.0},
               {"hideSource", hide}, {"matteOpacityMode", 1}});
        MaterialResult r = s.call();
        const std::string what = "hide " + std::to_string(hide);
        expect3(r.outGlowColor, 0.4f, 0.8f, 1.2f, what + " glow");
        if (hide) {
            expectColor(r.outColor, {0, 0, 0, 0}, what);
            expectColor(r.outTransparency, {1, 1, 1, 1}, what);
        } else {
            expect3(&r.outColor.r, 0.2f, 0.4f, 0.6f, what);
            expectColor(r.outTransparency, {0, 0, 0, 0}, what);
        }
    }
}

// A connected irradiance replaces the computed indirect light and is scaled
// by irradianceColor x diffuse x color; a black factor skips it.
TEST(Lambert, ConnectedIrradiance) {
    struct Case {
        json irradianceColor;
        std::vector<float> want;
    } cases[] = {
        {{1.0, 0.5, 1.0, 1.0}, {0.5f * 1.0f * 0.8f * 0.5f, 0.25f * 0.5f * 0.8f * 0.5f, 1.0f * 1.0f * 0.8f * 0.25f}},
        {{0.0, 0.0, 0.0, 1.0}, {0, 0, 0}},
    };
    for (const Case &k : cases) {
        Surface s("veko_lambert");
        vh::Instance &src = s.net().add("irr", "veko_blend");
        src.setLiteral("blender", 1.0);
        src.setLiteral("color1", {0.5, 0.25, 1.0, 1.0});
        s.net().connect(*s.node, "irradiance", "irr.outColor");
        s.set({{"color", {0.5, 0.5, 0.25, 1.0}}, {"diffuse", 0.8}, {"irradianceColor", k.irradianceColor},
               {"matteOpacityMode", 1}});
        s.record()->passMode = 0;
        MaterialResult r = s.call();
        expect3(&r.irradiancePass.r, k.want[0], k.want[1], k.want[2], "irradiancePass");
        expect3(&r.outColor.r, k.want[0], k.want[1], k.want[2], "outColor");
    }
}

// Without traced refraction the transparency passes through; a surface
// whose transparency is black, or whose refracted ray would weigh too
// little, is opaque.
TEST(Lambert, TransparencyWithoutTracing) {
    struct Case {
        int trace, refractions;
        json transparency;
        float minRayWeight;
        std::vector<float> want;
    } cases[] = {
        {0, 1, {0.4, 0.5, 0.6, 0.0}, 0.0f, {0.4f, 0.5f, 0.6f, 0.0f}},   // tracing off
        {1, 0, {0.4, 0.5, 0.6, 0.0}, 0.0f, {0.4f, 0.5f, 0.6f, 0.0f}},   // refractions off
        {1, 1, {0.0, 0.0, 0.0, 0.5}, 0.0f, {0, 0, 0, 0}},               // black transparency
        {1, 1, {0.4, 0.5, 0.6, 0.0}, 0.6f, {0, 0, 0, 0}},               // weight 0.6 not above 0.6
    };
    int i = 0;
    for (const Case &k : cases) {
        const std::string what = "case " + std::to_string(i++);
        Surface s("veko_lambert");
        s.ss.options.traceEnabled = k.trace;
        s.set({{"refractions", k.refractions}, {"transparency", k.transparency}, {"matteOpacityMode", 1}});
        s.record()->minRayWeight = k.minRayWeight;
        MaterialResult r = s.call();
        expectColor(r.outTransparency, k.want, what);
        expectColor(r.refractionPass, {0, 0, 0, 0}, what + " refraction");
        EXPECT_EQ(s.record()->refractionsOn, k.refractions) << what;
        expectColor(s.record()->rayWeight, {1, 1, 1, 0}, what + " rayWeight restored");
    }
}

// The call restores the normal it replaced, picks the camera's environment
// when the state has none, and leaves the light words of the record clear.
TEST(Lambert, StateRestoredAfterCall) {
    Surface s("veko_lambert");
    vh::Instance &bump = s.net().add("bump", "veko_multdiv");
    bump.setLiteral("operation", 1);
    bump.setLiteral("input1", {0.6, 0.0, -0.8});
    bump.setLiteral("input2", {1.0, 1.0, 1.0});
    s.net().connect(*s.node, "normalCamera", "bump.output");
    s.ss.camera.cameraEnvShader = 4321;
    int dummy = 0;
    s.ss.state()->hitRef = &dummy;
    s.call();
    const xrState *st = s.ss.state();
    EXPECT_EQ(st->shadingNormal.z, 1.0f);
    EXPECT_EQ(st->geometricNormal.z, 1.0f);
    EXPECT_EQ(st->cosView, -1.0f);
    EXPECT_EQ(st->environmentShader, 4321u);
    EXPECT_EQ(s.record()->inLightLoop, 0);
    EXPECT_EQ(s.record()->backSide, 0);
}

// ---------------------------------------------------------------------------
// Rendered: the light loop with real lights. Every hit carries a host
// reference, so each point is lit in two passes; a light in front counts
// once (diffuse), a light behind only through translucence.
TEST(LambertLit, LightsInFrontAndBehind) {
    const float s2 = std::sqrt(0.5f);
    struct Case {
        const char *what;
        std::vector<Light> lights;
        float translucence;
        float factor;  // of color x intensity
    } cases[] = {
        {"overhead", {{{0, 3, 0}, 1.0f}}, 0.0f, 0.8f},
        {"45 degrees", {{{3, 3, 0}, 2.0f}}, 0.0f, 0.8f * s2 * 2.0f},
        {"two lights", {{{0, 3, 0}, 1.0f}, {{0, 2, 3}, 1.0f}}, 0.0f, 0.8f * (1.0f + 2.0f / std::sqrt(13.0f))},
        {"behind", {{{0, -3, 0}, 1.0f}}, 0.0f, 0.0f},
        {"behind, translucent", {{{0, -3, 0}, 1.0f}}, 0.5f, 0.5f},
        // in front, translucence adds its full value on top of the diffuse
        {"overhead, translucent", {{{0, 3, 0}, 1.0f}}, 0.5f, 0.8f + 0.5f},
    };
    for (const Case &k : cases) {
        const json surf = {{"color", {0.5, 0.25, 1.0, 1.0}}, {"diffuse", 0.8}, {"translucence", k.translucence},
                           {"translucenceFocus", 0.0}, {"matteOpacityMode", 1}};
        const xrColor c = renderLayers({{"veko_lambert", surf}}, k.lights);
        EXPECT_NEAR(c.r, 0.5f * k.factor, 1e-4f) << k.what;
        EXPECT_NEAR(c.g, 0.25f * k.factor, 1e-4f) << k.what;
        EXPECT_NEAR(c.b, 1.0f * k.factor, 1e-4f) << k.what;
    }
}

// Lights behind the surface, shadowed, through the real light shaders: a
// plane facing +y seen from above, a point light (ray-traced shadows) and an
// ambient light placed above or below it, and an opaque occluder that can
// hide the point light below. A one-sided light behind reaches the plane
// only through the translucence, and then shadowed; an ambient light behind
// gives its whole colour; neither diffuse nor highlight takes light from
// behind. Both light orders: the back pass is left out only for a last light
// that lit the front.
TEST(LambertLit, BackSideThroughTranslucenceAndAmbientOnly) {
    struct Light {
        const char *type;
        float y;  // above (> 0) or below the plane
        float intensity;
    };
    struct Case {
        const char *what;
        const char *model;
        float translucence;
        std::vector<Light> lights;
        bool occluder;
        float factor;  // of the surface colour
    } cases[] = {
        {"point behind", "veko_lambert", 0.0f, {{"veko_pointlight", -3, 1.0f}}, false, 0.0f},
        {"point behind, translucent", "veko_lambert", 0.5f, {{"veko_pointlight", -3, 1.0f}}, false, 0.5f},
        {"point behind, translucent, shadowed", "veko_lambert", 0.5f, {{"veko_pointlight", -3, 1.0f}}, true, 0.0f},
        {"point behind, glossy", "veko_phong", 0.0f, {{"veko_pointlight", -3, 1.0f}}, false, 0.0f},
        {"ambient behind", "veko_lambert", 0.0f, {{"veko_ambientlight", -3, 0.5f}}, false, 0.5f},
        {"ambient behind, glossy", "veko_phong", 0.0f, {{"veko_ambientlight", -3, 0.5f}}, false, 0.5f},
        {"point in front, then ambient behind", "veko_lambert", 0.0f,
         {{"veko_pointlight", 3, 1.0f}, {"veko_ambientlight", -3, 0.5f}}, false, 0.8f + 0.5f},
        {"ambient behind, then point in front", "veko_lambert", 0.0f,
         {{"veko_ambientlight", -3, 0.5f}, {"veko_pointlight", 3, 1.0f}}, false, 0.8f + 0.5f},
        {"point in front and behind, translucent", "veko_lambert", 0.25f,
         {{"veko_pointlight", 3, 1.0f}, {"veko_pointlight", -3, 2.0f}}, false, 0.8f + 0.25f + 0.25f * 2.0f},
    };
    for (const Case &k : cases) {
        json surf = {{"color", {0.5, 0.25, 1.0, 1.0}}, {"diffuse", 0.8}, {"translucence", k.translucence},
                     {"translucenceFocus", 0.0}, {"matteOpacityMode", 1}};
        if (std::string(k.model) == "veko_phong") surf["specularColor"] = {1, 1, 1, 1};
        json nodes = {{{"name", "st"}, {"type", "veko_state"}},
                      {{"name", "surf"}, {"type", k.model}, {"params", surf}},
                      {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "surf"}}}},
                      {{"name", "black"}, {"type", "veko_lambert"}, {"params", {{"color", {0, 0, 0, 1}}}}},
                      {{"name", "blackSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "black"}}}}};
        json lights = json::array();
        for (size_t i = 0; i < k.lights.size(); ++i) {
            const Light &l = k.lights[i];
            const std::string name = "light" + std::to_string(i);
            json params = {{"intensity", l.intensity}, {"useRayTraceShadows", 1}};
            if (std::string(l.type) == "veko_ambientlight") params["ambientShade"] = 0.0;
            nodes.push_back({{"name", name}, {"type", l.type}, {"params", params}});
            lights.push_back({{"name", "l" + name}, {"shader", name}, {"transform", {{"translate", {0, l.y, 0}}}}});
        }
        json objects = {{{"name", "plane"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", "sg"}}};
        if (k.occluder)
            objects.push_back({{"name", "occluder"}, {"mesh", {{"type", "plane"}, {"size", {4, 4}}}},
                               {"transform", {{"translate", {0, -1.5, 0}}}}, {"material", "blackSG"}});
        const json camera = {{"type", "orthographic"}, {"resolution", {3, 3}}, {"aperture", 2},
                             {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
        const json doc = {{"nodes", nodes}, {"camera", camera}, {"options", {{"trace", true}}}, {"state", "st"},
                          {"objects", objects}, {"lights", lights}};
        auto scene = vh::loadSceneJson(vt::library(), doc, "backside.json");
        vh::RenderOptions ro;
        ro.threads = 1;
        ro.progress = false;
        const vh::FrameImage img = vh::render(*scene, ro);
        const float *px = img.pixel(1, 1);
        EXPECT_NEAR(px[0], 0.5f * k.factor, 1e-4f) << k.what;
        EXPECT_NEAR(px[1], 0.25f * k.factor, 1e-4f) << k.what;
        EXPECT_NEAR(px[2], 1.0f * k.factor, 1e-4f) << k.what;
    }
}

// A bumped normal pointing below the geometric surface is pulled back to
// 0.0015 above it: lit from (3, 3, 0) the pulled normal (0.7071, 0.0015, 0)
// still sees the light, where the raw normal (0.7071, -0.7071, 0) would be
// at 90 degrees to it and unlit.
TEST(LambertLit, NormalBelowSurfaceIsPulledAbove) {
    const float s2 = std::sqrt(0.5f);
    json bump = {{"name", "bump"}, {"type", "veko_multdiv"},
                 {"params", {{"operation", 1}, {"input1", {s2, -s2, 0.0}}, {"input2", {1, 1, 1}}}}};
    const json surf = {{"color", {1, 1, 1, 1}}, {"diffuse", 1.0}, {"normalCamera", "bump.output"}, {"matteOpacityMode", 1}};
    const xrColor c = renderLayers({{"veko_lambert", surf}}, {{{3, 3, 0}, 1.0f}}, json::array({bump}));
    const xrVector n = unit({s2, 0.0015f, 0});
    const float want = n.x * s2 + n.y * s2;
    EXPECT_NEAR(c.r, want, 1e-4f);
    EXPECT_GT(c.r, 0.7f);
}

// Traced refraction through a transparent plane at y = 1 onto an
// incandescent plane at y = 0 (index 1: straight through, path length 1):
// transparency x attenuation x what lies behind. Absorbance gives
// e^(-d absorbance/100), a fade distance F gives ((F - d)/F)^2 and nothing
// beyond it; chromatic aberration feeds each channel once.
TEST(LambertLit, RefractionAttenuation) {
    struct Case {
        const char *what;
        json extra;
        float a;
    } cases[] = {
        {"clear", json::object(), 1.0f},
        {"absorbance", {{"lightAbsorbance", 50.0}}, std::exp(-0.5f)},
        {"fade", {{"fadeDistance", 2.0}}, 0.25f},
        {"beyond fade", {{"fadeDistance", 0.5}}, 0.0f},
        {"chromatic", {{"chromaticAberration", 1}}, 1.0f},
    };
    const json back = {{"color", {0, 0, 0, 1}}, {"incandescence", {0.2, 0.4, 0.6, 0}}, {"matteOpacityMode", 1}};
    for (const Case &k : cases) {
        json front = {{"color", {0, 0, 0, 1}}, {"transparency", {0.5, 0.5, 0.5, 0}}, {"refractions", 1},
                      {"refractiveIndex", 1.0}, {"matteOpacityMode", 1}};
        for (auto &[key, v] : k.extra.items()) front[key] = v;
        const xrColor c = renderLayers({{"veko_lambert", front, 1.0f}, {"veko_lambert", back, 0.0f}}, {});
        EXPECT_NEAR(c.r, 0.5f * k.a * 0.2f, 1e-4f) << k.what;
        EXPECT_NEAR(c.g, 0.5f * k.a * 0.4f, 1e-4f) << k.what;
        EXPECT_NEAR(c.b, 0.5f * k.a * 0.6f, 1e-4f) << k.what;
    }
}

// Indirect light by final gathering under a uniform environment E: every
// gather ray sees E, so the irradiance is E x irradianceColor x diffuse x
// color; with final gathering off the host gives nothing.
TEST(LambertLit, IrradianceFromFinalGather) {
    const json env = {{"name", "env"}, {"type", "veko_blend"},
                      {"params", {{"blender", 1.0}, {"color1", {0.5, 0.25, 1.0, 1}}}}};
    const json p = {{"color", {0.5, 1.0, 0.25, 1}}, {"diffuse", 0.8}, {"irradianceColor", {1, 0.5, 1, 1}},
                    {"matteOpacityMode", 1}};
    for (bool on : {true, false}) {
        const xrColor c = renderLayers({{"veko_lambert", p}}, {}, json::array({env}),
                                       {{"finalGather", on}, {"finalGatherRays", 8}});
        const float f = on ? 0.8f : 0.0f;
        EXPECT_NEAR(c.r, f * 0.5f * 1.0f * 0.5f, 1e-4f) << on;
        EXPECT_NEAR(c.g, f * 0.25f * 0.5f * 1.0f, 1e-4f) << on;
        EXPECT_NEAR(c.b, f * 1.0f * 1.0f * 0.25f, 1e-4f) << on;
    }
}

}  // namespace
