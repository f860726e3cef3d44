// Surface shaders without lighting of their own (layered shader, surface
// shader, shading map), the shadow shader on the host's shadow rays (plain
// and segment shadows) and the use-background shader catching shadows over
// the environment.
#include <gtest/gtest.h>

#include <cmath>

#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"
#include "vekohost/render.h"

namespace {

using vh::json;
using vt::Surface;

xrColor matte(const veko::MaterialResult &r) { return {r.outMatteOpacity[0], r.outMatteOpacity[1], r.outMatteOpacity[2], 0}; }
xrColor glow(const veko::MaterialResult &r) { return {r.outGlowColor[0], r.outGlowColor[1], r.outGlowColor[2], 0}; }

void expectRGB(const xrColor &c, float r, float g, float b, float tol, const std::string &what) {
    EXPECT_NEAR(c.r, r, tol) << what;
    EXPECT_NEAR(c.g, g, tol) << what;
    EXPECT_NEAR(c.b, b, tol) << what;
}

json layer(json color, json transparency, json glowColor = {0, 0, 0, 0}) {
    return {{"color", color}, {"transparency", transparency}, {"glowColor", glowColor}};
}

vh::RenderOptions quiet() {
    vh::RenderOptions o;
    o.threads = 1;
    o.progress = false;
    return o;
}

const float *centre(const vh::FrameImage &img) { return img.pixel(img.width / 2, img.height / 2); }

vh::FrameImage renderDoc(const json &doc) {
    auto scene = vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes");
    return vh::render(*scene, quiet());
}

// ---------------------------------------------------------------------------
// Layered shader.

TEST(LayeredShader, CompositesDownTheStack) {
    const json red = {1, 0, 0, 1}, blue = {0, 0, 1, 1};
    const json half = {0.5, 0.5, 0.5, 0};
    struct Case {
        const char *what;
        int flag;
        json layers;
        xrColor color, transparency;
        float alpha;
    } cases[] = {
        {"empty stack", 0, json::array(), {0, 0, 0, 0}, {1, 1, 1, 1}, 1},
        // colours already carry their opacity: S = red + 0.5 blue
        {"two half layers, premultiplied", 0, {layer(red, half), layer(blue, half)}, {1, 0, 0.5f, 0}, {0.25f, 0.25f, 0.25f, 1}, 1},
        // weighted by opacity: 0.5 red + 0.25 blue
        {"two half layers, weighted", 1, {layer(red, half), layer(blue, half)}, {0.5f, 0, 0.25f, 0}, {0.25f, 0.25f, 0.25f, 1}, 1},
        // an opaque top layer hides what lies behind and cuts the stack
        {"opaque top", 1, {layer(red, {0, 0, 0, 0}), layer(blue, {0, 0, 0, 0})}, {1, 0, 0, 0}, {0, 0, 0, 0}, 0},
        // red threshold 1e-6, green and blue 1e-7
        {"below every threshold", 0, {layer(red, {0, 0.5e-7, 0.5e-7, 0}), layer(blue, {0, 0, 0, 0})}, {1, 0, 0, 0}, {0, 0, 0, 0}, 0},
        // red 2e-6 goes on: the white layer behind adds its red through it
        {"red above its threshold", 0, {layer({0, 0, 0, 1}, {2e-6, 0, 0, 0}), layer({1, 1, 1, 1}, {0, 0, 0, 0})}, {2e-6f, 0, 0, 0}, {0, 0, 0, 0}, 0},
    };
    for (const Case &k : cases) {
        Surface s("veko_layeredshader");
        s.set({{"compositingFlag", k.flag}, {"layers", k.layers}, {"matteOpacityMode", 2}, {"matteOpacity", 1.0}});
        const veko::MaterialResult r = s.call();
        EXPECT_TRUE(s.ok) << k.what;
        expectRGB(r.outColor, k.color.r, k.color.g, k.color.b, 1e-9f, k.what);
        expectRGB(r.outTransparency, k.transparency.r, k.transparency.g, k.transparency.b, 1e-9f, k.what);
        EXPECT_EQ(r.outTransparency.a, k.alpha) << k.what;
        expectRGB(matte(r), 1 - k.transparency.r, 1 - k.transparency.g, 1 - k.transparency.b, 1e-6f, k.what);
        EXPECT_EQ(r.diffusePass.r, 0.0f) << k.what;  // the passes stay cleared
    }
}

// The glow sums like the colour; the ray weight is restored.
TEST(LayeredShader, GlowAndRayWeightCutOff) {
    Surface s("veko_layeredshader");
    s.set({{"compositingFlag", 1},
           {"layers", {layer({0, 1, 0, 1}, {0.5, 0.5, 0.5, 0}, {1, 1, 0, 0}), layer({1, 0, 0, 1}, {0.5, 0.5, 0.5, 0}, {0, 0, 1, 0})}}});
    veko::MaterialResult r = s.call();
    expectRGB(glow(r), 0.5f, 0.5f, 0.25f, 1e-6f, "glow");
    EXPECT_EQ(s.record()->rayWeight.r, 1.0f);

    // A ray that no longer counts after the first layer stops there.
    s.record()->minRayWeight = 0.6f;
    r = s.call();
    expectRGB(r.outColor, 0, 0.5f, 0, 1e-6f, "cut by the ray weight");
    expectRGB(r.outTransparency, 0, 0, 0, 0, "cut by the ray weight");
    EXPECT_EQ(r.outTransparency.a, 0.0f);
    EXPECT_EQ(s.record()->rayWeight.r, 1.0f);
}

TEST(LayeredShader, ShadowRaysAndBlackHole) {
    const json layers = {layer({1, 0, 0, 1}, {0.5, 0.25, 1, 0}), layer({0, 0, 1, 1}, {0.5, 1, 0.5, 0})};
    {
        Surface s("veko_layeredshader");
        s.set({{"layers", layers}, {"matteOpacityMode", 2}});
        s.ss.state()->rayKind = xrRAY_SHADOW;
        const veko::MaterialResult r = s.call();
        EXPECT_TRUE(s.ok);
        expectRGB(r.outTransparency, 0.25f, 0.25f, 0.5f, 1e-7f, "shadow ray");
        EXPECT_EQ(r.outTransparency.a, 1.0f);
        EXPECT_EQ(r.outColor.r, vt::kUnset);  // nothing else is touched
    }
    {
        Surface s("veko_layeredshader");
        s.set({{"layers", layers}, {"matteOpacityMode", 0}});
        s.ss.state()->rayKind = xrRAY_SHADOW;
        expectRGB(s.call().outTransparency, 0, 0, 0, 0, "black hole on a shadow ray is opaque");
    }
    {
        Surface s("veko_layeredshader");
        s.set({{"layers", layers}, {"matteOpacityMode", 0}});
        const veko::MaterialResult r = s.call();
        expectRGB(matte(r), -1000000.0f, -1000000.0f, -1000000.0f, 0, "black hole");
        expectRGB(r.outColor, 0, 0, 0, 0, "black hole");
    }
    {
        Surface s("veko_layeredshader", false);
        s.set({{"layers", layers}});
        s.call();
        EXPECT_FALSE(s.ok);
        ASSERT_EQ(s.warnings.size(), 1u);
        EXPECT_EQ(s.warnings[0], "veko_layeredshader(): Internal state error.");
    }
}

// Rendered: the layers are other surface shaders' outputs. A half-transparent
// Lambert in front of a Lambert (both lit straight down, colour x 0.8).
TEST(LayeredShader, LayersFromSurfaceShaders) {
    const json extra = json::array(
        {{{"name", "front"}, {"type", "veko_lambert"},
          {"params", {{"color", {1, 0, 0, 1}}, {"transparency", {0.5, 0.5, 0.5, 0}}, {"matteOpacityMode", 1}}}},
         {{"name", "back"}, {"type", "veko_lambert"}, {"params", {{"color", {0, 0, 1, 1}}, {"matteOpacityMode", 1}}}}});
    const json layers = {{{"color", "front.outColor"}, {"transparency", "front.outTransparency"}, {"glowColor", {0, 0, 0, 0}}},
                         {{"color", "back.outColor"}, {"transparency", "back.outTransparency"}, {"glowColor", {0, 0, 0, 0}}}};
    const xrColor c = vt::renderLayers({{"veko_layeredshader", {{"layers", layers}, {"matteOpacityMode", 1}}}},
                                       {{{0, 1, 0}, 1.0f}}, extra);
    // front: 0.8 red x (1 - 0.5); behind it, half of the back's 0.8 blue
    EXPECT_NEAR(c.r, 0.4f, 1e-4f);
    EXPECT_NEAR(c.g, 0.0f, 1e-6f);
    EXPECT_NEAR(c.b, 0.4f, 1e-4f);
}

// ---------------------------------------------------------------------------
// Surface shader and shading map.

TEST(SurfaceShader, CopiesItsFifteenColours) {
    Surface s("veko_surfaceshader");
    const char *names[] = {"outColor", "outGlowColor", "outMatteOpacity", "outTransparency", "ambientPass",
                           "incandescencePass", "irradiancePass", "diffusePass", "diffuseNoShadowPass", "shadowPass",
                           "specularPass", "specularNoShadowPass", "reflectionPass", "refractionPass", "scatterPass"};
    for (int k = 0; k < 15; ++k) s.set({{names[k], {k + 0.1, k + 0.2, k + 0.3, k + 0.4}}});
    const veko::MaterialResult r = s.call();
    EXPECT_TRUE(s.ok);
    const float *w = reinterpret_cast<const float *>(&r);
    for (int k = 0; k < 60; ++k) EXPECT_FLOAT_EQ(w[k], float(k / 4) + 0.1f * float(k % 4 + 1)) << "word " << k;
    for (int k = 60; k < 64; ++k) EXPECT_EQ(w[k], vt::kUnset) << "word " << k;
}

// The lookup sees the colour's coordinates as its uv: a black-to-white ramp
// texture along v shows which coordinate each map function picked.
TEST(ShadingMap, MapFunctionsPickTheLookupCoordinate) {
    const xrColor in{0.8f, 0.4f, 0.2f, 1};  // hue 1/18, saturation 0.75, value 0.8
    struct Case {
        int fn;
        float v;
    } cases[] = {{0, 1.0f / 18.0f}, {1, 0.75f}, {2, 0.8f}, {3, 0.8f}, {4, 0.4f}, {5, 0.2f}, {6, (0.8f + 0.4f + 0.2f) / 3}};
    for (const Case &k : cases) {
        Surface s("veko_shadingmap");
        vh::Instance &ramp = s.net().add("ramp", "veko_ramp");
        ramp.setLiteral("rampType", 0);
        ramp.setLiteral("filter", 0.0);
        ramp.setLiteral("colorEntryList", json::array({{{"position", 0.0}, {"color", {0, 0, 0, 1}}},
                                                       {{"position", 1.0}, {"color", {1, 1, 1, 1}}}}));
        s.net().connect(*s.node, "shadingMapColor", "ramp.outColor");
        s.set({{"color", {in.r, in.g, in.b, 1}}, {"mapFunctionU", 3}, {"mapFunctionV", k.fn}, {"matteOpacityMode", 2},
               {"transparency", {0.25, 0.5, 0, 0}}, {"glowColor", {0.1, 0.2, 0.3, 0.4}}});
        s.ss.state()->texCoords[0] = {0.9f, 0.9f, 0.5f};
        const veko::MaterialResult r = s.call();
        EXPECT_NEAR(r.outColor.r, k.v, 1e-5f) << "function " << k.fn;
        EXPECT_EQ(s.ss.state()->texCoords[0].x, 0.9f);  // restored
        expectRGB(matte(r), 0.75f, 0.5f, 1.0f, 1e-6f, "matte from transparency");
        expectRGB(glow(r), 0.1f, 0.2f, 0.3f, 1e-6f, "glow");
    }
}

TEST(ShadingMap, ShadowRaySeesOnlyTheTransparency) {
    Surface s("veko_shadingmap");
    s.set({{"color", {1, 1, 1, 1}}, {"shadingMapColor", {1, 0, 0, 1}}, {"transparency", {0.25, 0.5, 0.75, 1}},
           {"matteOpacityMode", 1}});
    s.ss.state()->rayKind = xrRAY_SHADOW;
    const veko::MaterialResult r = s.call();
    EXPECT_TRUE(s.ok);
    expectRGB(r.outTransparency, 0.25f, 0.5f, 0.75f, 0, "transparency");
    expectRGB(r.outColor, 0, 0, 0, 0, "no colour");
    expectRGB(matte(r), 0, 0, 0, 0, "no matte");
}

// ---------------------------------------------------------------------------
// Shadow shader on the host's shadow rays. A white Lambert ground lit
// straight down (intensity 1, ray-traced shadows); occluders above it are
// invisible to the camera (fully transparent) and attenuate the light only
// through their shadow shader.
json shadowScene(const std::string &mode, const std::vector<json> &occluders, const json &lightFrom = {0, 1, 0}) {
    json nodes = json::parse(R"([
        {"name": "st", "type": "veko_state"},
        {"name": "white", "type": "veko_lambert", "params": {"color": [1, 1, 1, 1], "diffuse": 1, "matteOpacityMode": 1}},
        {"name": "whiteSG", "type": "veko_shadingengine", "params": {"surfaceShader": "white"}},
        {"name": "clear", "type": "veko_lambert", "params": {"transparency": [1, 1, 1, 1], "matteOpacityMode": 1}},
        {"name": "clearSG", "type": "veko_shadingengine", "params": {"surfaceShader": "clear"}},
        {"name": "sun", "type": "veko_directionallight", "params": {"intensity": 1, "useRayTraceShadows": 1}}
    ])");
    json objects = json::array({{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", "whiteSG"}}});
    for (size_t i = 0; i < occluders.size(); ++i) {
        const std::string n = "shadow" + std::to_string(i);
        nodes.push_back({{"name", n}, {"type", "veko_shadow"}, {"params", occluders[i]}});
        objects.push_back({{"name", "veil" + std::to_string(i)}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}},
                           {"transform", {{"translate", {0, 1.0 + 0.5 * double(i), 0}}}},
                           {"material", "clearSG"}, {"shadow", n}});
    }
    const json up = std::fabs(lightFrom[1].get<double>()) > 0.9 ? json{0, 0, -1} : json{0, 1, 0};
    return {{"nodes", nodes},
            {"camera", {{"type", "orthographic"}, {"resolution", {3, 3}}, {"aperture", 2},
                        {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"options", {{"trace", true}, {"shadows", mode}, {"traceDepth", 8}, {"refractionDepth", 4}}},
            {"state", "st"},
            {"objects", objects},
            {"lights", json::array({{{"name", "sun"}, {"shader", "sun"},
                                     {"transform", {{"lookAt", {{"eye", lightFrom}, {"target", {0, 0, 0}}, {"up", up}}}}}}})}};
}

TEST(ShadowShader, AttenuatesShadowRays) {
    const json tinted = {{"shadowColor", {0.5, 0.25, 1, 1}}, {"shadowTransparency", 0}};
    struct Case {
        const char *what;
        std::string mode;
        std::vector<json> occluders;
        json from;
        xrColor want;
    } cases[] = {
        {"no occluder", "simple", {}, {0, 1, 0}, {1, 1, 1, 0}},
        {"shadow colour head-on", "simple", {tinted}, {0, 1, 0}, {0.5f, 0.25f, 1, 0}},
        {"shadow colour, segments", "segments", {tinted}, {0, 1, 0}, {0.5f, 0.25f, 1, 0}},
        // two occluders: in segment mode the first continues the ray itself
        {"two occluders", "simple", {tinted, tinted}, {0, 1, 0}, {0.25f, 0.0625f, 1, 0}},
        {"two occluders, segments", "segments", {tinted, tinted}, {0, 1, 0}, {0.25f, 0.0625f, 1, 0}},
        // light from (0.8, 0.6, 0): falloff 1 at |cosView| 0.6 gives
        // f = 1 - 0.4 (and the ground itself sees cos 0.6)
        {"facing falloff", "simple", {{{"shadowColor", {1, 1, 1, 1}}, {"shadowTransparency", 1}}}, {0.8, 0.6, 0},
         {0.6f, 0.6f, 0.6f, 0}},
        {"black blocks", "simple", {{{"shadowColor", {0, 0, 0, 1}}, {"shadowTransparency", 0}}}, {0, 1, 0}, {0, 0, 0, 0}},
    };
    for (const Case &k : cases) {
        const vh::FrameImage img = renderDoc(shadowScene(k.mode, k.occluders, k.from));
        const float *p = centre(img);
        const float cosGround = k.from[1].get<float>();
        expectRGB({p[0], p[1], p[2], 0}, k.want.r * cosGround, k.want.g * cosGround, k.want.b * cosGround, 2e-4f, k.what);
    }
}

// Segment mode: a shadow shader entering a surface deepens its shadow with
// the segment's length inside, up to shadowDepth: a = S f r + (1 - r).
TEST(ShadowShader, SegmentDepthFalloff) {
    Surface s("veko_shadow");
    s.ss.options.shadowModeChar = 's';
    s.set({{"shadowColor", {0.2, 0.4, 1, 1}}, {"shadowTransparency", 0}, {"shadowDepth", 4.0}});
    xrState *st = s.ss.state();
    st->rayKind = xrRAY_SHADOW;
    st->hitDistance = 1.0;
    st->cosView = -1.0f;
    // the host continues (fourth argument non-null): only this attenuation
    int continues = 1;
    xrColor col{1, 1, 1, 1};
    s.call();  // initialises the network
    const xrBoolean ok = s.node->fns.main(&col, st, s.node->params(), &continues);
    EXPECT_TRUE(ok);
    expectRGB(col, 0.2f * 0.25f + 0.75f, 0.4f * 0.25f + 0.75f, 1.0f, 1e-6f, "quarter depth");
    // the filtering footprint is back to what it was
    EXPECT_EQ(s.record()->footprintU.x, vt::templateRecord().footprintU.x);
}

// ---------------------------------------------------------------------------
// Use-background: a ground that shows the environment and catches the shadow
// of a box outside the camera's view. Light from (1, 1, 0): the box at
// x in [1.2, 2.2], height 1.5, shadows the ground around x = 0.
json backgroundScene(bool blocked, double shadowMask, bool withLight = true) {
    json nodes = json::parse(R"([
        {"name": "st", "type": "veko_state"},
        {"name": "env", "type": "veko_envcolor", "params": {"color": [0.2, 0.4, 0.6, 1]}},
        {"name": "grey", "type": "veko_lambert", "params": {"matteOpacityMode": 1}},
        {"name": "greySG", "type": "veko_shadingengine", "params": {"surfaceShader": "grey"}},
        {"name": "sun", "type": "veko_directionallight", "params": {"intensity": 1, "useRayTraceShadows": 1}}
    ])");
    nodes.push_back({{"name", "bg"}, {"type", "veko_usebackground"},
                     {"params", {{"shadowMask", shadowMask}, {"reflectivity", 0}, {"matteOpacityMode", 2}}}});
    nodes.push_back({{"name", "bgSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "bg"}}}});
    json objects = json::array({{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", "bgSG"}}});
    if (blocked)
        objects.push_back({{"name", "box"}, {"mesh", {{"type", "box"}, {"size", {1, 0.2, 4}}}},
                           {"transform", {{"translate", {1.7, 1.5, 0}}}}, {"material", "greySG"}});
    json lights = json::array();
    if (withLight)
        lights.push_back({{"name", "sun"}, {"shader", "sun"},
                          {"transform", {{"lookAt", {{"eye", {1, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}}}});
    return {{"nodes", nodes},
            {"camera", {{"type", "orthographic"}, {"resolution", {3, 3}}, {"aperture", 2}, {"environment", "env"},
                        {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"options", {{"trace", true}}},
            {"state", "st"},
            {"objects", objects},
            {"lights", lights}};
}

TEST(UseBackground, ShowsTheEnvironmentAndCatchesShadows) {
    struct Case {
        const char *what;
        bool blocked;
        double mask;
        bool light;
        float x;  // light fraction
    } cases[] = {
        {"unblocked", false, 1.0, true, 1.0f},
        {"no lights", false, 1.0, false, 1.0f},
        {"blocked", true, 1.0, true, 0.0f},
        {"blocked, half mask", true, 0.5, true, 0.5f},
    };
    for (const Case &k : cases) {
        const vh::FrameImage img = renderDoc(backgroundScene(k.blocked, k.mask, k.light));
        const float *p = centre(img);
        expectRGB({p[0], p[1], p[2], 0}, 0.2f * k.x, 0.4f * k.x, 0.6f * k.x, 1e-4f, k.what);
        // the matte carries the shadow (alpha from the matte)
        EXPECT_NEAR(p[3], 1.0f - k.x, 1e-4f) << k.what;
        // the corner pixel (x = -2/3) lies outside the shadow
        const float *q = img.pixel(0, 1);
        EXPECT_NEAR(q[0], 0.2f, 1e-4f) << k.what;
    }
}

// Rays other than eye rays see a black, opaque surface; shadow rays a zero
// result.
TEST(UseBackground, SecondaryRaysSeeBlack) {
    for (int kind : {2, 3, 5}) {
        Surface s("veko_usebackground");
        s.ss.camera.cameraEnvShader = 0;
        s.ss.state()->rayKind = kind;
        const veko::MaterialResult r = s.call();
        EXPECT_TRUE(s.ok);
        expectRGB(r.outColor, 0, 0, 0, 0, "kind " + std::to_string(kind));
        expectRGB(r.outTransparency, 0, 0, 0, 0, "kind " + std::to_string(kind));
        expectRGB(matte(r), 0, 0, 0, 0, "kind " + std::to_string(kind));
    }
}

// ---------------------------------------------------------------------------
// The surface-model row (scenes/materials.json) at a small size against its
// reviewed reference: every model, the layered sphere's tinted shadow through
// segment shadows, and the use-background ground with shadows and
// reflections over the sky.
TEST(MaterialsScene, MatchesItsReference) {
    auto scene = vh::loadScene(vt::library(), vt::sourcePath("scenes/materials.json"));
    vh::RenderOptions ro;
    ro.threads = 2;
    ro.width = 128;
    ro.height = 44;
    ro.samples = 2;
    ro.progress = false;
    vt::checkGoldenImage(vh::render(*scene, ro), "materials_scene.png");
}

}  // namespace
