// Fog shaders through the reference host. A probe material stands in for the
// volume sampler: on the eye ray's hit it turns the state into a fog segment
// (rayOrigin, hitPoint, rayDirection, hitDistance, the object-space length
// in the record's footprintV, normals along the ray as the sampler leaves
// them) and calls the fog node with xr_call_shader_x, so the host lays out
// the block from the declarations and samples real lights.
//
// World: the ground plane y = 0 (object space = world space) seen straight
// down by an orthographic camera at y = 20, so camera depth is 20 - y.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"
#include "vekobase.h"

namespace {

using vh::json;

constexpr float kUnset = -1000000.0f;

struct Sample {
    xrColor color, glow, matte, transparency;
};

// One call of a fog node on a prepared segment.
struct Call {
    xrVector from{0, 0, 0}, to{0, 0, 0};
    int rayKind = 0;
    float objectLength = -1;  // footprintV.z; < 0: the segment's length
    int parentKind = -1;      // >= 0: spawned by a ray of this kind that was itself spawned
};

struct Outcome {
    xrBoolean ok = 0;
    Sample s{};
    int32_t flagsBefore = 0, flagsAfter = 0;
};

Call g_call;
xrTag g_node = 0;
Outcome g_out;

void registerProbe() {
    vh::registerNativeMaterial("fogProbe", [](xrColor *c, xrState *s) {
        *c = {0, 0, 0, 1};
        if (s->rayKind != 0) return xrBoolean(1);
        veko::BaseStateRecord *rec = veko::lookupStateRecord(s);
        const xrState saved = *s;
        xrState grand{}, parent{};
        parent.spawningState = &grand;
        if (g_call.parentKind >= 0) {
            parent.rayKind = g_call.parentKind;
            s->spawningState = &parent;
        }
        const xrVector d{g_call.to.x - g_call.from.x, g_call.to.y - g_call.from.y, g_call.to.z - g_call.from.z};
        const float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        s->rayOrigin = g_call.from;
        s->hitPoint = g_call.to;
        s->rayDirection = {d.x / len, d.y / len, d.z / len};
        s->hitDistance = len;
        s->shadingNormal = s->geometricNormal = s->rayDirection;
        s->rayKind = g_call.rayKind;
        const xrVector footprint = rec ? rec->footprintV : xrVector{};
        if (rec) rec->footprintV.z = g_call.objectLength >= 0 ? g_call.objectLength : len;
        g_out = Outcome{};
        g_out.flagsBefore = rec ? rec->flags : 0;
        g_out.ok = xr_call_shader_x(&g_out.s, 12, s, g_node, nullptr);
        g_out.flagsAfter = rec ? rec->flags : 0;
        if (rec) rec->footprintV = footprint;
        *s = saved;
        return xrBoolean(1);
    });
}

// A scene with the fog node "fog" (and any further nodes), lights and
// extra objects; `options` merges into the scene's options.
struct FogScene {
    json doc;
    explicit FogScene(const json &fog, const json &lights = json::array(), const json &extra = json::array()) {
        doc = {{"nodes", {{{"name", "st"}, {"type", "veko_state"}}}},
               {"camera",
                {{"type", "orthographic"},
                 {"resolution", {3, 3}},
                 {"aperture", 2},
                 {"clip", {0.1, 1000}},
                 {"transform", {{"lookAt", {{"eye", {0, 20, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
               {"options", {{"trace", true}}},
               {"state", "st"},
               {"objects",
                {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 100}}}, {"material", "native:fogProbe"}}}},
               {"lights", lights}};
        json node = fog;
        node["name"] = "fog";
        doc["nodes"].push_back(node);
        for (const auto &o : extra) doc["objects"].push_back(o);
    }
    Outcome run(const Call &call) const {
        registerProbe();
        auto scene = vh::loadSceneJson(vt::library(), doc, "fog-test.json");
        g_node = vh::networkOf(*scene).find("fog")->tag;
        g_call = call;
        vh::Renderer r(*scene, 1);
        const auto hit = r.shadeSample(0, 1.5f, 1.5f, 0, 0);
        EXPECT_TRUE(hit.hit);
        return g_out;
    }
};

json node(const std::string &type, const json &params) { return {{"type", type}, {"params", params}}; }

// A directional light of intensity i and colour (1, 0.5, 0.25) travelling
// along `towards` (from the side the fog segments do not face).
json sun(xrVector towards, float i, json extra = json::object()) {
    json l = {{"name", "sun"},
              {"shader", "sunShader"},
              {"transform", {{"lookAt", {{"eye", {0, 0, 0}}, {"target", {towards.x, towards.y, towards.z}}, {"up", {0, 1, 0.001}}}}}}};
    extra["color"] = {1, 0.5, 0.25, 1};
    extra["intensity"] = i;
    return json{{"light", l}, {"node", node("veko_directionallight", extra)}};
}

FogScene withSun(const json &fog, const json &sunDef, const json &extra = json::array()) {
    FogScene f(fog, json::array({sunDef["light"]}), extra);
    json n = sunDef["node"];
    n["name"] = "sunShader";
    f.doc["nodes"].push_back(n);
    return f;
}

void expectRGB(const xrColor &c, float r, float g, float b, float tol = 1e-5f) {
    EXPECT_NEAR(c.r, r, tol);
    EXPECT_NEAR(c.g, g, tol);
    EXPECT_NEAR(c.b, b, tol);
}

class Fog : public ::testing::Test {
protected:
    void SetUp() override {
        vh::captureMessages(true);
        vh::takeMessages();
    }
    void TearDown() override {
        for (const vh::Message &m : vh::takeMessages())
            if (m.severity != vh::Severity::Info) ADD_FAILURE() << "message: " << m.text;
        vh::captureMessages(false);
    }
};

// ---------------------------------------------------------------------------
// veko_lightfog

// The light: intensity 2 of colour (1, 0.5, 0.25) travelling +x; the
// segments run along +x, so the light comes from behind the ray's normal
// and counts only because fog takes light from every side.
TEST_F(Fog, LightFogOpacityColourMatteAndGates) {
    const float e1 = 1.0f - std::exp(-1.0f);
    struct Case {
        const char *what;
        json params;
        Call call;
        bool ok;
        float d;          // opacity; colour = (2, 1, 0.5) x (0.5, 1, 1) x d
        float matte;      // r of outMatteOpacity
        bool colourBased;
    };
    Call plain;
    plain.from = {-1, 1, 0};
    plain.to = {1, 1, 0};
    Call byLength = plain;
    byLength.objectLength = 2;
    Call saturating = plain;
    saturating.objectLength = 3;  // 5 x 3 = 15
    Call shadow = plain;
    shadow.rayKind = 5;
    Call reflected = plain;
    reflected.parentKind = 2;
    Call refracted = plain;
    refracted.parentKind = 3;
    const Case cases[] = {
        {"density as opacity, matte constant", {{"density", 0.25}, {"matteOpacityMode", 1}, {"matteOpacity", 0.7}}, plain, true, 0.25f, 0.7f, false},
        {"density by length", {{"density", 0.5}, {"densityByLength", 1}}, byLength, true, e1, e1, false},
        {"optical depth 15 is exactly opaque", {{"density", 5}, {"densityByLength", 1}}, saturating, true, 1.0f, 1.0f, false},
        {"colour-based transparency", {{"density", 0.25}, {"colorBasedTransparency", 1}}, plain, true, 0.25f, -1, true},
        {"no sample on shadow rays", {{"density", 0.25}}, shadow, false, 0, 0, false},
        {"reflection ray refused", {{"density", 0.25}, {"allowRayKind2", 0}}, reflected, false, 0, 0, false},
        {"reflection ray allowed", {{"density", 0.25}, {"matteOpacityMode", 1}, {"matteOpacity", 0.7}}, reflected, true, 0.25f, 0.7f, false},
        {"refraction ray refused", {{"density", 0.25}, {"allowRayKind3", 0}}, refracted, false, 0, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json params = c.params;
        params["light"] = "sun";
        params["color"] = {0.5, 1, 1, 1};
        const Outcome o = withSun(node("veko_lightfog", params), sun({1, 0, 0}, 2)).run(c.call);
        ASSERT_EQ(o.ok, c.ok ? 1 : 0);
        EXPECT_EQ(o.flagsAfter, o.flagsBefore);
        if (!c.ok) continue;
        expectRGB(o.s.color, 1.0f * c.d, 1.0f * c.d, 0.5f * c.d);
        if (c.colourBased) {
            expectRGB(o.s.transparency, 1 - c.d, 1 - c.d, 1 - 0.5f * c.d);
        } else {
            expectRGB(o.s.transparency, 1 - c.d, 1 - c.d, 1 - c.d, c.d == 1.0f ? 0.0f : 1e-5f);
            if (c.matte >= 0) {
                EXPECT_NEAR(o.s.matte.r, c.matte, 1e-5f);
            }
        }
    }
}

// Matte mode 0 is a black hole: opaque and black, the matte left unset.
TEST_F(Fog, LightFogBlackHole) {
    Call call;
    call.from = {-1, 1, 0};
    call.to = {1, 1, 0};
    const Outcome o = withSun(node("veko_lightfog", {{"light", "sun"}, {"matteOpacityMode", 0}}), sun({1, 0, 0}, 2)).run(call);
    ASSERT_TRUE(o.ok);
    expectRGB(o.s.color, 0, 0, 0, 0);
    expectRGB(o.s.transparency, 0, 0, 0, 0);
    EXPECT_EQ(o.s.transparency.a, 0.0f);
    expectRGB(o.s.matte, kUnset, kUnset, kUnset, 0);
}

// ---------------------------------------------------------------------------
// veko_envfog, simple model

Outcome envfog(json params, const Call &call, const json &extraOptions = json::object()) {
    params["light"] = "sun";
    FogScene f = withSun(node("veko_envfog", params), sun({0, -1, 0}, 1));
    for (auto it = extraOptions.begin(); it != extraOptions.end(); ++it) f.doc["options"][it.key()] = it.value();
    return f.run(call);
}

Call segment(xrVector a, xrVector b) {
    Call c;
    c.from = a;
    c.to = b;
    return c;
}

// Opacity from the object-space distance over the saturation distance.
TEST_F(Fog, EnvFogOpacity) {
    struct Case {
        const char *what;
        json params;
        Call call;
        float d;
    };
    const Case cases[] = {
        {"saturation distance 0: opaque", {{"saturationDistance", 0}}, segment({0, 1, 0}, {0.01f, 1, 0}), 1.0f},
        {"distance / saturation", {{"saturationDistance", 10}}, segment({0, 1, 0}, {3, 5, 0}), 1 - std::exp(-0.5f)},
        {"density scale", {{"saturationDistance", 10}, {"useDensityScale", 1}, {"densityScale", 2}}, segment({0, 1, 0}, {3, 5, 0}), 1 - std::exp(-1.0f)},
        {"scale ignored when off", {{"saturationDistance", 10}, {"densityScale", 2}}, segment({0, 1, 0}, {3, 5, 0}), 1 - std::exp(-0.5f)},
        {"optical depth 15: exactly opaque", {{"saturationDistance", 10}}, segment({0, 1, 0}, {150, 1, 0}), 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json p = c.params;
        p["color"] = {1, 1, 2, 1};
        const Outcome o = envfog(p, c.call);
        ASSERT_TRUE(o.ok);
        EXPECT_EQ(o.flagsAfter, o.flagsBefore);
        expectRGB(o.s.transparency, 1 - c.d, 1 - c.d, 1 - c.d, c.d == 1.0f ? 0.0f : 1e-5f);
        EXPECT_EQ(o.s.transparency.a, 1.0f);
        expectRGB(o.s.color, c.d, 0.5f * c.d, 0.5f * c.d);  // light (1, .5, .25) x colour (1, 1, 2)
        EXPECT_NEAR(o.s.matte.r, c.d, 1e-5f);                // mode 2: 1 - transparency
    }
    Call shadow = segment({0, 1, 0}, {1, 1, 0});
    shadow.rayKind = 5;
    EXPECT_FALSE(envfog({{"saturationDistance", 10}}, shadow).ok);
}

// Camera-depth clipping (depth = 20 - y here): the length kept shows in
// the transparency e^-(length / 10).
TEST_F(Fog, EnvFogCameraDepthClipping) {
    struct Case {
        const char *what;
        float depth0, depth1;  // segment along the view axis (x = 0), or ...
        bool sideways;         // ... across it at depth0, from x = 0 to x = 4
        float nearD, farD;
        float kept;            // length inside the band; 0: no fog
    };
    const Case cases[] = {
        {"inside both", 5, 10, false, 2, 20, 5},
        {"crosses near", 1, 6, false, 3, 20, 3},
        {"crosses far", 5, 15, false, 2, 12, 7},
        {"crosses both", 1, 30, false, 3, 12, 9},
        {"towards the camera", 15, 5, false, 2, 12, 7},
        {"before near", 1, 2, false, 3, 12, 0},
        {"beyond far", 13, 18, false, 3, 12, 0},
        {"no far limit", 1, 30, false, 3, 0, 27},
        {"no far limit, towards the camera", 10, 2, false, 3, 0, 7},
        {"no far limit, before near", 1, 2, false, 3, 0, 0},
        {"sideways inside", 5, 5, true, 3, 12, 4},
        {"sideways before near", 2, 2, true, 3, 12, 0},
        {"sideways beyond far", 13, 13, true, 3, 12, 0},
        {"sideways, no far limit", 50, 50, true, 3, 0, 4},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Call call = c.sideways ? segment({0, 20 - c.depth0, 0}, {4, 20 - c.depth0, 0})
                                     : segment({0, 20 - c.depth0, 0}, {0, 20 - c.depth1, 0});
        const Outcome o = envfog({{"saturationDistance", 10}, {"clipMode", 1}, {"clipNear", c.nearD}, {"clipFar", c.farD}}, call);
        ASSERT_TRUE(o.ok);
        const float t = std::exp(-c.kept / 10);
        expectRGB(o.s.transparency, t, t, t);
        EXPECT_NEAR(o.s.color.r, 1 - t, 1e-5f);
    }
}

// Height band [minHeight, maxHeight] (no upper limit when max <= min) and
// the blend near its edges for the ray's own origin height.
TEST_F(Fog, EnvFogHeightBand) {
    struct Case {
        const char *what;
        xrVector a, b;
        float lo, hi, blend;
        float x;  // optical depth: kept length / 10 x blend factor
    };
    const Case cases[] = {
        {"down through the band", {0, 5, 0}, {0, -2, 0}, 0, 3, 0, 0.3f},
        {"up inside the band", {0, 1, 0}, {0, 2, 0}, 0, 3, 0, 0.1f},
        {"diagonal: the middle half", {0, -1, 0}, {4, 3, 0}, 0, 2, 0, std::sqrt(32.0f) / 2 / 10},
        {"horizontal inside", {0, 1, 0}, {4, 1, 0}, 0, 3, 0, 0.4f},
        {"horizontal below", {0, -1, 0}, {4, -1, 0}, 0, 3, 0, 0},
        {"horizontal above", {0, 5, 0}, {4, 5, 0}, 0, 3, 0, 0},
        {"horizontal above, no upper limit", {0, 5, 0}, {4, 5, 0}, 0, 0, 0, 0.4f},
        {"no upper limit", {0, 5, 0}, {0, -2, 0}, 0, -1, 0, 0.5f},
        {"outside, never entering", {0, 4, 0}, {1, 6, 0}, 0, 3, 0, 0},
        {"blend near the floor", {0, 0.5f, 0}, {4, 0.5f, 0}, 0, 3, 1, 0.4f * 0.5f},
        {"blend near the ceiling", {0, 2.5f, 0}, {4, 2.5f, 0}, 0, 3, 1, 0.4f * 0.5f},
        {"blend range over both edges", {0, 0.5f, 0}, {4, 0.5f, 0}, 0, 3, 4, 0.4f * 0.078125f},
        {"away from the edges: no blend", {0, 1.5f, 0}, {4, 1.5f, 0}, 0, 3, 1, 0.4f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Outcome o = envfog({{"saturationDistance", 10}, {"useHeight", 1}, {"minHeight", c.lo}, {"maxHeight", c.hi}, {"blendRange", c.blend}},
                                 segment(c.a, c.b));
        ASSERT_TRUE(o.ok);
        const float t = std::exp(-c.x);
        expectRGB(o.s.transparency, t, t, t);
    }
}

// ---------------------------------------------------------------------------
// veko_envfog, physical model

// Bias shaping of the phase: ((x - 1)g + 1)(g + 1)^2 x / ((2x - 1)g + 1)^2.
float bias(float x, float g) { return ((x - 1) * g + 1) * (g + 1) * (g + 1) * x / (((2 * x - 1) * g + 1) * ((2 * x - 1) * g + 1)); }

json physical(json p) {
    p["physical"] = 1;
    p["sunElevation"] = 90;  // straight up
    p["sunIntensity"] = 2;
    p["sunColor"] = {1, 1, 0.5, 1};
    return p;
}

// Homogeneous fog and air against the closed form of single scattering.
TEST_F(Fog, PhysicalHomogeneousClosedForm) {
    const json p = physical({{"fogType", 0},
                             {"fogDensity", 0.5},
                             {"fogOpacity", {0.1, 0.2, 0.3, 0}},
                             {"fogColor", {1, 0.8, 0.6, 1}},
                             {"fogScatter", 0.75},
                             {"airDensity", 2},
                             {"airOpacity", {0.01, 0.02, 0.03, 0}},
                             {"airColor", {0.2, 0.4, 1, 1}},
                             {"airScatter", 1}});
    // Direction (0.6, -0.8, 0): d.s = -0.8, x = 0.1; fog g = 0.5.
    const Outcome o = envfog(p, segment({0, 5, 0}, {3, 1, 0}));
    ASSERT_TRUE(o.ok);
    const float pf = bias(0.1f, 0.5f), L = 5;
    const float fo[3] = {0.1f, 0.2f, 0.3f}, ao[3] = {0.01f, 0.02f, 0.03f};
    const float fc[3] = {1, 0.8f, 0.6f}, ac[3] = {0.2f, 0.4f, 1}, sunc[3] = {2, 2, 1};
    const float *got = &o.s.color.r, *gotT = &o.s.transparency.r;
    for (int k = 0; k < 3; ++k) {
        const float sf = -std::log(1 - fo[k]) * 0.5f, sa = -std::log(1 - ao[k]) * 2, s = sf + sa;
        EXPECT_NEAR(gotT[k], std::exp(-s * L), 1e-5f) << k;
        EXPECT_NEAR(got[k], (sf * fc[k] * pf + sa * ac[k]) * sunc[k] / s * (1 - std::exp(-s * L)), 1e-5f) << k;
    }
    // No density anywhere: no fog.
    const Outcome none = envfog(physical({{"fogDensity", 0}, {"airDensity", 0}}), segment({0, 5, 0}, {3, 1, 0}));
    ASSERT_TRUE(none.ok);
    expectRGB(none.s.transparency, 1, 1, 1, 0);
    expectRGB(none.s.color, 0, 0, 0, 0);
}

// Layered fog (type 1): density e^-(h - base)/H above the base and full
// below it; a horizontal ray sees constant density, and the sun from
// straight up is dimmed by the fog above the point (optical depth
// sigma x (max(base - h, 0) + H e^-(max(h, base) - base)/H)). Curved layers
// (type 2) rise away under a horizontal ray far from the origin.
TEST_F(Fog, PhysicalLayeredFog) {
    const float sigma = -std::log(1 - 0.2f);  // opacity 0.2, density 1
    auto layered = [](int type, float planet) {
        return physical({{"fogType", type},
                         {"fogDensity", 1},
                         {"fogOpacity", {0.2, 0.2, 0.2, 0}},
                         {"fogColor", {1, 1, 1, 1}},
                         {"fogHeight", 2},
                         {"fogBase", 0},
                         {"airDensity", 0},
                         {"planetRadius", planet}});
    };
    struct Case {
        float h;
        float rho, sunDepth;  // relative density, sun optical depth / sigma
    };
    for (const Case c : {Case{3, std::exp(-1.5f), 2 * std::exp(-1.5f)}, Case{-1, 1, 1 + 2}}) {
        SCOPED_TRACE(c.h);
        const Outcome o = envfog(layered(1, 0), segment({-2, c.h, 0.5f}, {2, c.h, 0.5f}));
        ASSERT_TRUE(o.ok);
        const float t = std::exp(-sigma * c.rho * 4);
        EXPECT_NEAR(o.s.transparency.r, t, 1e-5f);
        // Perpendicular to the sun: x = 0.5, fog scatter 1 (isotropic).
        EXPECT_NEAR(o.s.color.r, 2 * std::exp(-sigma * c.sunDepth) * (1 - t), 1e-4f);
        EXPECT_NEAR(o.s.color.b, 1 * std::exp(-sigma * c.sunDepth) * (1 - t), 1e-4f);
    }
    const Call far = segment({30, 0.5f, 0}, {40, 0.5f, 0});
    const Outcome flat = envfog(layered(1, 0), far), curved = envfog(layered(2, 100), far);
    ASSERT_TRUE(flat.ok && curved.ok);
    EXPECT_NEAR(flat.s.transparency.r, std::exp(-sigma * std::exp(-0.25f) * 10), 1e-5f);
    EXPECT_GT(curved.s.transparency.r, flat.s.transparency.r + 0.1f);
    // A huge planet is flat.
    const Outcome huge = envfog(layered(2, 1e7f), far);
    EXPECT_NEAR(huge.s.transparency.r, flat.s.transparency.r, 1e-3f);
}

// Water below waterLevel: type 3 has nothing but the water; type 4 adds the
// homogeneous fog beyond the water surface, joined front to back.
TEST_F(Fog, PhysicalWater) {
    const float sw = -std::log(1 - 0.5f) * 0.5f, sf = -std::log(1 - 0.1f);
    auto water = [](int type) {
        return physical({{"fogType", type},
                         {"fogDensity", 1},
                         {"fogOpacity", {0.1, 0.1, 0.1, 0}},
                         {"airDensity", 0},
                         {"waterDensity", 0.5},
                         {"waterOpacity", {0.5, 0.5, 0.5, 0}},
                         {"waterColor", {0, 0, 1, 1}},
                         {"waterLevel", 0}});
    };
    const Outcome above = envfog(water(3), segment({0, 4, 0}, {0, 1, 0}));
    ASSERT_TRUE(above.ok);
    expectRGB(above.s.transparency, 1, 1, 1, 0);
    const Outcome under = envfog(water(3), segment({0, -1, 0}, {0, -4, 0}));
    ASSERT_TRUE(under.ok);
    EXPECT_NEAR(under.s.transparency.b, std::exp(-sw * 3), 1e-5f);
    EXPECT_EQ(under.s.color.r, 0.0f);  // the water's colour has no red
    EXPECT_GT(under.s.color.b, 0.0f);
    // Down from 2 above the surface to 3 below it: air 2, water 3.
    const Outcome through = envfog(water(4), segment({0, 2, 0}, {0, -3, 0}));
    ASSERT_TRUE(through.ok);
    EXPECT_NEAR(through.s.transparency.g, std::exp(-sf * 2) * std::exp(-sw * 3), 1e-5f);
}

// ---------------------------------------------------------------------------
// veko_volumefog

Outcome volumefog(json params, const Call &call, const json &lights = json()) {
    if (lights.is_null()) return FogScene(node("veko_volumefog", params)).run(call);
    return withSun(node("veko_volumefog", params), lights).run(call);
}

// Extinction -ln(T) D per channel, D x ln(100000) at T <= 0.00001; the
// segment length is hitDistance, or the object-space length with
// densityByLength; shadow rays get the transparency alone.
TEST_F(Fog, VolumeFogExtinction) {
    const json base = {{"transparency", {0.5, 0.00001, 1, 0}}, {"density", 2}, {"densityByLength", 0},
                       {"color", {0.5, 0.5, 0.5, 1}}, {"incandescence", {0.1, 0.2, 0.3, 0}}};
    Call call = segment({0, 1, 0}, {0.5f, 1, 0});  // length 0.5: D L = 1
    const Outcome o = volumefog(base, call);
    ASSERT_TRUE(o.ok);
    const float t0 = 0.5f, t1 = std::exp(-11.512925f);
    expectRGB(o.s.transparency, t0, t1, 1);
    EXPECT_EQ(o.s.transparency.a, 1.0f);
    expectRGB(o.s.color, 0.1f + 0.5f * (1 - t0), 0.2f + 0.5f * (1 - t1), 0.3f);
    EXPECT_EQ(o.flagsAfter, o.flagsBefore);

    json byLength = base;
    byLength["densityByLength"] = 1;
    call.objectLength = 1;  // D L = 2
    const Outcome l = volumefog(byLength, call);
    expectRGB(l.s.transparency, 0.25f, t1 * t1, 1);

    call.rayKind = 5;
    const Outcome s = volumefog(byLength, call);
    ASSERT_TRUE(s.ok);
    expectRGB(s.s.transparency, 0.25f, t1 * t1, 1);
    expectRGB(s.s.color, 0, 0, 0, 0);

    // No density: transparent, the incandescence alone.
    json none = base;
    none["density"] = 0;
    const Outcome n = volumefog(none, segment({0, 1, 0}, {0.5f, 1, 0}));
    expectRGB(n.s.transparency, 1, 1, 1, 0);
    expectRGB(n.s.color, 0.1f, 0.2f, 0.3f);
}

// The fall-off shapes at the segment's object-space midpoint m, seen
// through method 0 with T = 0 and D L = 1 (transparency 1 - x) and through
// the incandescence (x).
TEST_F(Fog, VolumeFogDropoffShapes) {
    struct Case {
        const char *what;
        int shape;
        float edge, axial;
        xrVector m;
        float x;
    };
    const Case cases[] = {
        {"sphere outside the unit sphere", 1, 0.5f, 0, {1.2f, 0, 0}, 0},
        {"sphere in the fall-off band", 1, 0.5f, 0, {0, 0.75f, 0}, 0.5f},
        {"sphere core", 1, 0.5f, 0, {0, 0.2f, 0}, 1},
        {"sphere without edge fall-off", 1, 0, 0, {0, 0.99f, 0}, 1},
        {"cube one face", 2, 0.5f, 0, {0.75f, 0, 0}, 0.5f},
        {"cube edge", 2, 0.5f, 0, {0.75f, -0.75f, 0}, 0.25f},
        {"cube outside", 2, 0.5f, 0, {0.2f, 0, 1.1f}, 0},
        {"cone edge band", 3, 0.5f, 0, {0.125f, 0, 0.5f}, 0.5f},
        {"cone outside", 3, 0.5f, 0, {0.5f, 0, 0.5f}, 0},
        {"double cone inside", 4, 0.5f, 0, {0.125f, 0, 0.5f}, 1},
        {"double cone edge band", 4, 0.5f, 0, {0, 0.1875f, -0.5f}, 0.5f},
        {"double cone apex", 4, 0.5f, 0, {0, 0, 0}, 0},
        {"cone axial, unshaped", 3, 0, 0.5f, {0, 0, 0.5f}, 0.5f},
        {"cone axial full", 3, 0, 1, {0, 0, 0.5f}, 0},
        {"cone axial beyond the tip is 0, not negative", 3, 0, 0.5f, {0, 0, 1.5f}, 0},
        {"no shape", 0, 0.5f, 0.5f, {5, 5, 5}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const json p = {{"dropoffShape", c.shape}, {"edgeDropoff", c.edge}, {"axialDropoff", c.axial},
                        {"transparency", {0, 0, 0, 0}}, {"density", 1}, {"densityByLength", 0},
                        {"color", {0, 0, 0, 1}}, {"incandescence", {1, 1, 1, 0}}};
        const xrVector d{0.5f, 0, 0};  // length 1
        const Outcome o = volumefog(p, segment({c.m.x - d.x, c.m.y, c.m.z}, {c.m.x + d.x, c.m.y, c.m.z}));
        ASSERT_TRUE(o.ok);
        const float t = c.x >= 1 ? 1e-5f : 1 - c.x;
        EXPECT_NEAR(o.s.transparency.r, t, 1e-5f);
        EXPECT_NEAR(o.s.color.r, c.x, 1e-5f);
    }
    // Method 1 thins the density instead: D = 1 - (1 - x) densitySubtract.
    const json sub = {{"dropoffShape", 1}, {"edgeDropoff", 0.5}, {"dropoffMethod", 1}, {"densitySubtract", 1},
                      {"transparency", {0.25, 0.25, 0.25, 0}}, {"density", 1}, {"densityByLength", 0}};
    const Outcome m1 = volumefog(sub, segment({-0.5f, 0.75f, 0}, {0.5f, 0.75f, 0}));
    EXPECT_NEAR(m1.s.transparency.r, 0.5f, 1e-5f);  // 0.25^0.5
}

// Lit fog: the instance's lights split into an isotropic part (s) and a
// directional part ((1 - s) phi); colour ramp by transparency; glow and
// matte follow the colour.
TEST_F(Fog, VolumeFogLightScatterRampGlow) {
    // Ray direction at 60 degrees to the way towards the light: phi0 =
    // 0.5 x 0.5 + 0.5 = 0.75, kept as it is by s = 0.5 (g = 0).
    const float c60 = 0.8660254f;
    const Call call = segment({0, 1, 0}, {-0.5f, 1, c60});  // length 1
    const json lit = {{"illuminated", 1}, {"transparency", {0.5, 0.5, 0.5, 0}}, {"density", 1},
                      {"densityByLength", 0}, {"color", {1, 1, 1, 1}}};
    struct Case {
        float s;
        float factor;  // of the light colour
    };
    for (const Case c : {Case{1, 1}, Case{0.5f, 0.5f + 0.5f * 0.75f}, Case{0, 0}}) {
        SCOPED_TRACE(c.s);
        json p = lit;
        p["lightScatter"] = c.s;
        // Light travels +x: towards it is -x.
        const Outcome o = volumefog(p, call, sun({1, 0, 0}, 2));
        ASSERT_TRUE(o.ok);
        expectRGB(o.s.color, 2 * c.factor * 0.5f, 1 * c.factor * 0.5f, 0.5f * c.factor * 0.5f);
    }
    json ramp = {{"transparency", {0.5, 0.5, 0.5, 0}}, {"density", 1}, {"densityByLength", 0},
                 {"color", {1, 1, 1, 1}}, {"colorRampInput", 1}, {"glowIntensity", 2}, {"matteOpacityMode", 2}, {"matteOpacity", 0.5}};
    ramp["colorRamp"] = {{{"position", 0}, {"value", {0, 0, 0, 1}}, {"interpolation", 1}},
                         {{"position", 1}, {"value", {1, 1, 1, 1}}, {"interpolation", 1}}};
    const Outcome r = volumefog(ramp, segment({0, 1, 0}, {2, 1, 0}));  // t = 0.25
    ASSERT_TRUE(r.ok);
    expectRGB(r.s.color, 0.75f * 0.25f, 0.75f * 0.25f, 0.75f * 0.25f);
    expectRGB(r.s.glow, 0.375f, 0.375f, 0.375f);
    expectRGB(r.s.matte, 0.375f, 0.375f, 0.375f);
    ramp["matteOpacityMode"] = 0;
    expectRGB(volumefog(ramp, segment({0, 1, 0}, {2, 1, 0})).s.matte, kUnset, kUnset, kUnset, 0);
}

// ---------------------------------------------------------------------------
// Volume irradiance: with "volumeIrradiance" set, envfog adds the light of
// every lamp of the scene at its point, shadowed as the lamp casts shadows.
TEST_F(Fog, VolumeIrradianceAndShadows) {
    const json blocker = {{"name", "roof"}, {"mesh", {{"type", "box"}, {"size", {2, 0.2, 2}}}},
                          {"transform", {{"translate", {0, 6, 0}}}}, {"material", "native:fogProbe"}};
    struct Case {
        const char *what;
        bool option;
        bool shadows;
        bool roof;
        float lit;  // irradiance factor of the sun (1, 0.5, 0.25) x 1.5
    };
    const Case cases[] = {
        {"option off", false, true, false, 0},
        {"open sky", true, true, false, 1},
        {"under the roof, shadows on", true, true, true, 0},
        {"under the roof, shadows off", true, false, true, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json sunParams = {{"useRayTraceShadows", c.shadows ? 1 : 0}, {"shadowRays", 1}, {"rayDepthLimit", 4}};
        FogScene f = withSun(node("veko_envfog", {{"saturationDistance", 0}}), sun({0, -1, 0}, 1.5f, sunParams),
                             c.roof ? json::array({blocker}) : json::array());
        f.doc["options"]["volumeIrradiance"] = c.option;
        const Outcome o = f.run(segment({0, 2, 0}, {0.5f, 2, 0}));
        ASSERT_TRUE(o.ok);
        expectRGB(o.s.color, 1.5f * c.lit, 0.75f * c.lit, 0.375f * c.lit);
    }
}

}  // namespace

// The fog scene (scenes/fog.json: a spot light's beam as a light-fog cone in
// an environment haze, a box shadowing the beam, a lit volume-fog sphere)
// at a small size against its reviewed reference.
TEST(FogScene, MatchesItsReference) {
    auto scene = vh::loadScene(vt::library(), vt::sourcePath("scenes/fog.json"));
    vh::RenderOptions ro;
    ro.threads = 2;
    ro.width = 96;
    ro.height = 64;
    ro.samples = 2;
    ro.progress = false;
    vt::checkGoldenImage(vh::render(*scene, ro), "fog_scene.png");
}
