// The volume light through the reference host: a probe material puts the
// shaded point where a case needs it and samples the light as a material
// does (xr_sample_light), so the host lays out the block, runs the light in
// its light space and hands back the colour, direction and cosine.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"
#include "vekobase.h"

namespace {

using vh::json;

// What the probe sets up before sampling and what it saw.
struct Probe {
    xrVector point{0, 0, 0};
    xrVector normal{0, 0, 0};  // zero: light from every side
    bool fog = false;          // light-fog mode: the segment from `from` to `point`
    xrVector from{0, 0, 0};
    // Results of the single light.
    int samples = 0;
    xrColor color{};
    xrVector dir{};
    float cosine = 0;
    float shadowWeight = -1;
};
Probe g_probe;

void registerProbe() {
    vh::registerNativeMaterial("volumeProbe", [](xrColor *c, xrState *s) {
        *c = {0, 0, 0, 1};
        if (s->rayKind == 5) return xrBoolean(1);
        veko::BaseStateRecord *rec = veko::lookupStateRecord(s);
        const xrState saved = *s;
        const int32_t flags = rec ? rec->flags : 0;
        s->hitPoint = g_probe.point;
        s->shadingNormal = s->geometricNormal = g_probe.normal;
        if (g_probe.fog && rec) {
            rec->flags |= 0x04;
            s->rayOrigin = g_probe.from;
        }
        xrInteger n = 0;
        xrTag *lights = nullptr;
        xr_instance_lightlist(&n, &lights, s);
        for (int i = 0; i < n; ++i) {
            xrInteger taken = 0;
            while (xr_sample_light(&g_probe.color, &g_probe.dir, &g_probe.cosine, s, lights[i], &taken)) {
                ++g_probe.samples;
                if (rec) g_probe.shadowWeight = rec->lightShadowWeight;
            }
        }
        if (rec) rec->flags = flags;
        *s = saved;
        return xrBoolean(1);
    });
}

// A linear ramp from black at 0 to white at 1, and a scalar ramp from 0 to 1:
// the colour reads the ramps' position directly.
json rampParams(json params) {
    params["colorRamp"] = {{{"position", 0}, {"value", {0, 0, 0, 1}}, {"interpolation", 1}},
                           {{"position", 1}, {"value", {1, 1, 1, 1}}, {"interpolation", 1}}};
    params["penumbraRamp"] = {{{"position", 0}, {"value", 0}, {"interpolation", 1}},
                              {{"position", 1}, {"value", 1}, {"interpolation", 1}}};
    params["color"] = {1, 0.5, 0.25, 1};
    params["intensity"] = 2;
    return params;
}

// The light (scale 2 unless given: light space = world / 2) above a ground
// far below, seen straight down; the probe replaces the point.
Probe probeLight(const json &params, const Probe &setup, const json &transform = {{"scale", 2}},
                 const json &extraObjects = json::array()) {
    registerProbe();
    json doc = {{"nodes", {{{"name", "st"}, {"type", "veko_state"}},
                           {{"name", "vol"}, {"type", "veko_volumelight"}, {"params", rampParams(params)}}}},
                {"camera",
                 {{"type", "orthographic"},
                  {"resolution", {3, 3}},
                  {"aperture", 2},
                  {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
                {"options", {{"trace", true}}},
                {"state", "st"},
                {"objects",
                 {{{"name", "ground"},
                   {"mesh", {{"type", "plane"}, {"size", 100}}},
                   {"transform", {{"translate", {0, -10, 0}}}},
                   {"material", "native:volumeProbe"}}}},
                {"lights", {{{"name", "l"}, {"shader", "vol"}, {"transform", transform}}}}};
    for (const auto &o : extraObjects) doc["objects"].push_back(o);
    auto scene = vh::loadSceneJson(vt::library(), doc, "volume-test.json");
    g_probe = setup;
    vh::Renderer r(*scene, 1);
    const auto s = r.shadeSample(0, 1.5f, 1.5f, 0, 0);
    EXPECT_TRUE(s.hit);
    return g_probe;
}

Probe at(float x, float y, float z) {
    Probe p;
    p.point = {x, y, z};
    return p;
}

void expectColor(const Probe &got, float v) {
    // colour = ramp value x intensity 2 x colour (1, 0.5, 0.25)
    EXPECT_NEAR(got.color.r, v * 2.0f, 1e-4f);
    EXPECT_NEAR(got.color.g, v * 1.0f, 1e-4f);
    EXPECT_NEAR(got.color.b, v * 0.5f, 1e-4f);
}

void expectDir(const Probe &got, xrVector d) {
    EXPECT_NEAR(got.dir.x, d.x, 1e-4f);
    EXPECT_NEAR(got.dir.y, d.y, 1e-4f);
    EXPECT_NEAR(got.dir.z, d.z, 1e-4f);
}

class VolumeLight : public vt::MessagesTest {};

// Each shape inside, outside, on its boundary and at its ramp ends, in the
// three direction modes. Points are light-space p; the light's scale of 2
// puts them at 2p in the world. `lit` false: the light adds no sample at
// all; a lit sample whose volume sample fails is black.
TEST_F(VolumeLight, ShapesDirectionsAndRamps) {
    const float s2 = 0.70710678f;
    struct Case {
        const char *what;
        json params;
        xrVector p;
        bool lit;
        float value;  // ramp product
        xrVector dir; // towards the light (world), when value > 0
    };
    const json box = {{"lightShape", 0}}, sphere = {{"lightShape", 1}}, cyl = {{"lightShape", 2}};
    const json cone = {{"lightShape", 3}, {"coneEndRadius", 0.5}};
    auto with = [](json j, const char *k, json v) {
        j[k] = v;
        return j;
    };
    const Case cases[] = {
        {"box outward", box, {0.5f, 0, 0}, true, 0.5f, {-1, 0, 0}},
        {"box inward", with(box, "directionMode", 1), {0.5f, 0, 0}, true, 0.5f, {1, 0, 0}},
        {"box along the axis", with(box, "directionMode", 2), {0.5f, 0, 0}, true, 0.5f, {0, 1, 0}},
        {"box two axes", box, {0.5f, 0.5f, 0}, true, 0.25f, {-s2, -s2, 0}},
        {"box centre: the axis", box, {0, 0, 0}, true, 1.0f, {0, 1, 0}},
        {"box face x = 1", box, {1, 0, 0}, false, 0, {}},
        {"box face y = -1", box, {0, -1, 0}, false, 0, {}},
        {"box just inside a face: ramp end", box, {0, 0, 0.9999f}, true, 0.0f, {}},
        {"sphere", sphere, {0, 0.5f, 0}, true, 0.5f, {0, -1, 0}},
        {"sphere centre", sphere, {0, 0, 0}, true, 1.0f, {0, 1, 0}},
        {"sphere corner of the box: black", sphere, {0.8f, 0, 0.8f}, true, 0.0f, {}},
        {"cylinder", cyl, {0.5f, 0.5f, 0}, true, 0.25f, {-s2, -s2, 0}},
        {"cylinder along the axis", with(cyl, "directionMode", 2), {0, -0.5f, 0.6f}, true, 0.2f, {0, 1, 0}},
        {"cylinder beyond its radius: black", cyl, {0.8f, 0, 0.8f}, true, 0.0f, {}},
        // radius at y = -0.5 is 0.75: r = 1/3; h = |p| = 0.559017
        {"cone", cone, {0.25f, -0.5f, 0}, true, (1 - 0.559017f) * (2.0f / 3), {-0.4472136f, 0.8944272f, 0}},
        {"cone along the axis", with(cone, "directionMode", 2), {0.25f, -0.5f, 0}, true, 0.5f * (2.0f / 3), {0, 1, 0}},
        {"cone above y = 0", cone, {0, 0.5f, 0}, false, 0, {}},
        {"cone top y = 0", cone, {0, 0, 0}, false, 0, {}},
        {"cone beyond its radius: black", cone, {0.9f, -0.5f, 0}, true, 0.0f, {}},
        // A negative end radius leaves no cross-section near the top.
        {"cone without cross-section: black", with(cone, "coneEndRadius", -1), {0, -0.1f, 0}, true, 0.0f, {}},
        {"arc 0 lights nothing", with(box, "arc", 0), {0.5f, 0, 0}, true, 0.0f, {}},
        {"arc 180 keeps x > 0", with(box, "arc", 180), {0.5f, 0, 0}, true, 0.5f, {-1, 0, 0}},
        {"arc 180 drops x < 0", with(box, "arc", 180), {-0.5f, 0, 0}, true, 0.0f, {}},
        {"arc 360 keeps everything", with(box, "arc", 360), {-0.5f, 0, 0}, true, 0.5f, {1, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Probe got = probeLight(c.params, at(2 * c.p.x, 2 * c.p.y, 2 * c.p.z));
        ASSERT_EQ(got.samples, c.lit ? 1 : 0);
        if (!c.lit) continue;
        expectColor(got, c.value);
        EXPECT_EQ(got.cosine, 0.0f);  // no normal
        if (c.value > 0) expectDir(got, c.dir);
    }
}

// Along the axis means the light's own +y, turned into the world: a light
// rotated 90 degrees about z shines from world -x.
TEST_F(VolumeLight, AxisModeFollowsTheLightsTransform) {
    const Probe got = probeLight({{"lightShape", 0}, {"directionMode", 2}}, at(0, 0, 1),
                                 {{"rotate", {0, 0, 90}}, {"scale", 2}});
    ASSERT_EQ(got.samples, 1);
    expectColor(got, 0.5f);
    expectDir(got, {-1, 0, 0});
}

// The cosine the light leaves is direction . normal; the host drops a
// sample that arrives from behind the surface.
TEST_F(VolumeLight, CosineAndBackSide) {
    struct Case {
        xrVector normal;
        int samples;
        float cosine;
    };
    const Case cases[] = {{{0, 1, 0}, 1, 1.0f}, {{0.6f, 0.8f, 0}, 1, 0.8f}, {{0, -1, 0}, 0, 0}};
    for (const Case &c : cases) {
        Probe setup = at(1, 0, 0);
        setup.normal = c.normal;
        const Probe got = probeLight({{"lightShape", 0}, {"directionMode", 2}}, setup);
        ASSERT_EQ(got.samples, c.samples) << c.normal.x << " " << c.normal.y;
        if (c.samples) {
            EXPECT_NEAR(got.cosine, c.cosine, 1e-5f);
        }
    }
}

// Ray-traced shadows run only for a sample that lights: a cube between the
// light's centre and the point blocks the box light (shadow weight 1), while
// the sphere's failed sample at the same point skips the shadow stage.
TEST_F(VolumeLight, FailedSampleSkipsTheShadowStage) {
    const json blocker = {{"name", "blocker"},
                          {"mesh", {{"type", "box"}, {"size", 0.4}}},
                          {"transform", {{"translate", {0.8, 0, 0.8}}}}};
    struct Case {
        int shape;
        float weight;
    };
    for (const Case c : {Case{0, 1.0f}, Case{1, 0.0f}}) {
        const json params = {{"lightShape", c.shape}, {"useRayTraceShadows", 1}, {"shadowRays", 1}, {"rayDepthLimit", 4}};
        const Probe got = probeLight(params, at(1.6f, 0, 1.6f), {{"scale", 2}}, json::array({blocker}));
        ASSERT_EQ(got.samples, 1) << c.shape;
        EXPECT_EQ(got.shadowWeight, c.weight) << c.shape;
        expectColor(got, 0.0f);
    }
}

// Light-fog mode: three points along the calling state's segment (a, b):
// (a + m)/2, m, (m + b)/2; each inside adds its colour and direction; the
// sum is weighted by |(m + b)/2 - (a + m)/2| / 6 x fogIntensity.
TEST_F(VolumeLight, FogModeSamplesTheSegment) {
    struct Case {
        const char *what;
        xrVector from, to;  // world; light space is half
        float value;
        xrVector dir;
    };
    const float edge = 0.8535534f;  // box falloff at |x| = 0.25
    const Case cases[] = {
        // light space a = (-2, 0, 0), b = 0: only (-0.5, 0, 0) is inside.
        {"entering", {-4, 0, 0}, {0, 0, 0}, 0.5f * (1.0f / 6) * 2, {1, 0, 0}},
        // a = (-0.5, 0, 0), b = (0.5, 0, 0): all three inside.
        {"inside", {-1, 0, 0}, {1, 0, 0}, (2 * edge + 1) * (0.5f / 6) * 2, {0, 1, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Probe setup;
        setup.fog = true;
        setup.from = c.from;
        setup.point = c.to;
        const Probe got = probeLight({{"lightShape", 0}, {"fogIntensity", 2}}, setup);
        ASSERT_EQ(got.samples, 1);
        expectColor(got, c.value);
        expectDir(got, c.dir);
    }
}

// Without the per-ray record the light warns and adds nothing.
TEST_F(VolumeLight, MissingRecord) {
    vh::Network net(vt::library());
    vh::Instance &light = net.add("vol", "veko_volumelight");
    vh::StandaloneState ss;
    net.init(ss.state());
    xrColor out{};
    EXPECT_EQ(vh::callShader(light, ss.state(), &out), 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_volumelight(): Internal state error."));
}

}  // namespace
