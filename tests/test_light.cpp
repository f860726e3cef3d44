// Point, spot, directional and ambient lights through the reference host: the
// host lays out the parameter blocks from the declarations and calls the
// light shaders on a light state (light position in rayOrigin, direction
// light -> point, distance in hitDistance) with the per-ray record in place.
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
using veko::BaseStateRecord;

constexpr double kDeg = 3.14159265358979323846 / 180.0;

xrVector normalize(xrVector v) {
    float l = std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z);
    return {v.x / l, v.y / l, v.z / l};
}

class Light : public ::testing::Test {
protected:
    void SetUp() override {
        vh::captureMessages(true);
        vh::takeMessages();
        st = ss.state();
        BaseStateRecord r{};
        // The state shader's template defaults.
        r.userWord1 = 20;
        r.baseFilterSize = 0.005f;
        r.keepCache = 1;
        r.refractionCap = r.reflectionCap = 20;
        r.lightDiffuse = r.lightSpecular = 1;
        r.lightUnshadowed = {1, 1, 1, 1};
        r.auxColor = {1, 1, 1, 1};
        r.rayWeight = {1, 1, 1, 0};
        xr_shaderstate_set(st, "vekobase", &r, sizeof r, 2);
        rec = static_cast<BaseStateRecord *>(xr_shaderstate_get(st, "vekobase", nullptr));
        ASSERT_NE(rec, nullptr);
        ss.setSurfaceSample(0.25f, 0.75f);
        aim({0, 0, 0}, {0, 0, -5});
    }
    void TearDown() override {
        vh::takeMessages();
        vh::captureMessages(false);
    }

    // A light ray from `light` to the point `p` with the normal facing the light.
    void aim(xrVector light, xrVector p, xrVector n = {0, 0, 0}) {
        xrVector d{p.x - light.x, p.y - light.y, p.z - light.z};
        double len = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
        st->rayKind = 4;
        st->rayOrigin = light;
        st->rayDirection = normalize(d);
        st->hitDistance = len;
        st->hitPoint = p;
        if (n.x == 0 && n.y == 0 && n.z == 0) n = {-st->rayDirection.x, -st->rayDirection.y, -st->rayDirection.z};
        st->shadingNormal = n;
        st->cosView = -(st->rayDirection.x * n.x + st->rayDirection.y * n.y + st->rayDirection.z * n.z);
    }
    // A point at `deg` degrees off the spot axis (-z), in the plane of the
    // axis and `side` (a unit vector perpendicular to z).
    void aimAt(double deg, xrVector side = {1, 0, 0}, float dist = 5) {
        float s = float(std::sin(deg * kDeg)) * dist, c = float(std::cos(deg * kDeg)) * dist;
        aim({0, 0, 0}, {side.x * s, side.y * s, -c});
    }

    vh::Instance &light(const std::string &type, const json &params = json::object()) {
        vh::Instance &inst = net.add("light" + std::to_string(++count), type);
        for (auto &[k, v] : params.items()) inst.setLiteral(k, v);
        return inst;
    }
    // Calls the light; returns its boolean and leaves the colour in `out`.
    bool call(vh::Instance &inst) {
        out = {-1, -1, -1, -1};
        return vh::callShader(inst, st, &out) != 0;
    }

    vh::Network net{vt::library()};
    vh::StandaloneState ss;
    xrState *st = nullptr;
    BaseStateRecord *rec = nullptr;
    xrColor out{};
    int count = 0;
};

#define EXPECT_RGBA(c, R, G, B, A)      \
    do {                                \
        EXPECT_NEAR((c).r, (R), 1e-5);  \
        EXPECT_NEAR((c).g, (G), 1e-5);  \
        EXPECT_NEAR((c).b, (B), 1e-5);  \
        EXPECT_NEAR((c).a, (A), 1e-5);  \
    } while (0)

// ---------------------------------------------------------------------------
// Spot cone and penumbra: a hard edge at penumbra 0, a negative penumbra
// shrinks the fully lit core inside the cone, a positive one widens the lit
// area beyond it.
TEST_F(Light, SpotConeAndPenumbra) {
    const double c20 = std::cos(20 * kDeg), c25 = std::cos(25 * kDeg), c30 = std::cos(30 * kDeg),
                 c35 = std::cos(35 * kDeg), c40 = std::cos(40 * kDeg);
    struct Case {
        double penumbra, angle;
        bool lit;
        double factor;
    } cases[] = {
        {0, 0, true, 1},        {0, 29.5, true, 1},    {0, 30.5, false, 0},
        {-10, 15, true, 1},     {-10, 25, true, (c25 - c30) / (c20 - c30)},
        {-10, 30.5, false, 0},  {10, 25, true, 1},     {10, 35, true, (c35 - c40) / (c30 - c40)},
        {10, 39.5, true, (std::cos(39.5 * kDeg) - c40) / (c30 - c40)}, {10, 40.5, false, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("penumbra " + std::to_string(c.penumbra) + " angle " + std::to_string(c.angle));
        vh::Instance &spot = light("veko_spotlight", {{"coneAngle", 60 * kDeg},
                                                       {"penumbraAngle", c.penumbra * kDeg},
                                                       {"color", {0.5, 1, 2, 0.25}},
                                                       {"intensity", 2}});
        aimAt(c.angle);
        bool lit = call(spot);
        EXPECT_EQ(lit, c.lit);
        if (c.lit) {
            EXPECT_RGBA(out, c.factor, 2 * c.factor, 4 * c.factor, 0.25);
        }
    }
}

TEST_F(Light, SpotDropoffAndDecay) {
    vh::Instance &spot = light("veko_spotlight", {{"coneAngle", 60 * kDeg}, {"dropoff", 2}, {"decayRate", 1}});
    aimAt(20, {0, 1, 0}, 4);
    ASSERT_TRUE(call(spot));
    double expect = std::pow(std::cos(20 * kDeg), 2) / 4;
    EXPECT_NEAR(out.r, expect, 1e-5);
    EXPECT_NEAR(rec->lightUnshadowed.r, expect, 1e-5);
}

// Decay divides by the distance only beyond 1: a light never brightens near
// its origin.
TEST_F(Light, PointDecayNeverBrightens) {
    for (int rate = 0; rate <= 4; ++rate) {
        for (double d : {0.25, 1.0, 2.0}) {
            SCOPED_TRACE("decay " + std::to_string(rate) + " distance " + std::to_string(d));
            vh::Instance &point = light("veko_pointlight", {{"decayRate", rate}, {"intensity", 3}});
            aim({1, 2, 3}, {1, 2, float(3 - d)});
            ASSERT_TRUE(call(point));
            double expect = 3;
            if (d > 1 && rate >= 1 && rate <= 3) expect /= std::pow(d, rate);
            EXPECT_NEAR(out.r, expect, 1e-5);
            EXPECT_NEAR(out.a, 1, 1e-6);
        }
    }
}

// Barn doors cut the cone by angle on each side, measured along the light's
// own x and y axes (here the light is turned 90 degrees about z, so its x axis
// is world y).
TEST_F(Light, SpotBarnDoors) {
    static const float toWorld[16] = {0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    static const float fromWorld[16] = {0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    ss.ray.lightToWorld = toWorld;
    ss.ray.worldToLight = fromWorld;
    json doors = {{"coneAngle", 90 * kDeg},   {"barnDoors", 1},
                  {"rightBarnDoor", 10 * kDeg}, {"leftBarnDoor", 30 * kDeg},
                  {"topBarnDoor", 45 * kDeg},   {"bottomBarnDoor", 20 * kDeg}};
    struct Case {
        xrVector side;  // world direction of the tilt
        double angle;
        bool lit;
    } cases[] = {
        {{0, 1, 0}, 9, true},    {{0, 1, 0}, 11, false},  // light +x: right door
        {{0, -1, 0}, 29, true},  {{0, -1, 0}, 31, false}, // light -x: left door
        {{1, 0, 0}, 19, true},   {{1, 0, 0}, 21, false},  // light -y: bottom door
        {{-1, 0, 0}, 40, true},  {{-1, 0, 0}, 46, false}, // light +y: top, cone edge
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.side.x) + "," + std::to_string(c.side.y) + " at " + std::to_string(c.angle));
        vh::Instance &spot = light("veko_spotlight", doors);
        aimAt(c.angle, c.side);
        EXPECT_EQ(call(spot), c.lit);
        if (c.lit) {
            EXPECT_NEAR(out.r, 1, 1e-5);
        }
    }

    // A negative penumbra softens the doors inside: the right door fades from
    // 5 degrees (door + penumbra) to 10 degrees.
    json soft = doors;
    soft["penumbraAngle"] = -5 * kDeg;
    vh::Instance &spot = light("veko_spotlight", soft);
    aimAt(7.5, {0, 1, 0});
    ASSERT_TRUE(call(spot));
    double x = std::sin(7.5 * kDeg), xMax = std::sin(10 * kDeg), xIn = std::sin(5 * kDeg);
    EXPECT_NEAR(out.r, (x - xMax) / (xIn - xMax), 1e-4);
    aimAt(4, {0, 1, 0});
    ASSERT_TRUE(call(spot));
    EXPECT_NEAR(out.r, 1, 1e-5);
}

// Decay regions: the light reaches only the distance bands it names.
TEST_F(Light, SpotDecayRegions) {
    vh::Instance &spot = light("veko_spotlight", {{"useDecayRegions", 1},
                                                   {"startDistance1", 1}, {"endDistance1", 2},
                                                   {"startDistance2", 3}, {"endDistance2", 6},
                                                   {"startDistance3", 8}, {"endDistance3", 10}});
    struct Case {
        float d;
        bool lit;
    } cases[] = {{0.5f, false}, {1.5f, true}, {2.5f, false}, {4, true}, {7, false}, {9, true}, {11, false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.d);
        aim({0, 0, 0}, {0, 0, -c.d});
        EXPECT_EQ(call(spot), c.lit);
    }
}

// ---------------------------------------------------------------------------
// The shadow stage is skipped without shadow rays, below the minimum ray
// weight, inside a material's unshadowed light loop and under a shadow ray;
// the light is then unshadowed with weight 0. The host's shadow trace is not
// reached: with no scene behind it, a trace would report the light blocked.
TEST_F(Light, NoShadowsWhenStageSkipped) {
    xrState spawner{};
    struct Case {
        const char *what;
        int rays;
        float minWeight;
        int inLoop;
        int spawnKind;
        bool depthMap;
    } cases[] = {
        {"shadowRays 0", 0, 0, 0, 0, false},
        {"weight at minimum, traced", 4, 1.0f, 0, 0, false},
        {"weight at minimum, depth map", 4, 1.0f, 0, 0, true},
        {"unshadowed light loop", 4, 0, 1, 0, true},
        {"under a shadow ray", 4, 0, 0, 5, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vh::Instance &point = light("veko_pointlight", {{"useRayTraceShadows", 1},
                                                         {"useDepthMapShadows", c.depthMap ? 1 : 0},
                                                         {"shadowRays", c.rays},
                                                         {"rayDepthLimit", 5},
                                                         {"color", {0.2, 0.4, 0.6, 1}},
                                                         {"shadowColor", {0.9, 0.8, 0.7, 0.5}}});
        ss.options.shadowMapsOn = c.depthMap ? 1 : 0;
        rec->minRayWeight = c.minWeight;
        rec->inLightLoop = c.inLoop;
        spawner.rayKind = c.spawnKind;
        st->spawningState = &spawner;
        rec->lightShadowWeight = 0.5f;
        ASSERT_TRUE(call(point));
        EXPECT_RGBA(out, 0.2, 0.4, 0.6, 1);
        EXPECT_EQ(rec->lightShadowWeight, 0.0f);
        EXPECT_RGBA(rec->lightUnshadowed, 0.2, 0.4, 0.6, 1);
    }
    st->spawningState = nullptr;
}

// Record side information: emit flags, the light-running bit restored, the
// first texture coordinate restored, the shape reference cleared.
TEST_F(Light, RecordSideInformation) {
    vh::Instance &point = light("veko_pointlight", {{"emitDiffuse", 0}, {"emitSpecular", 1}});
    rec->lightShapeRef = rec;
    rec->lightAmbient = 1;
    for (int32_t flags : {0, 0x20 | 0x02}) {
        rec->flags = flags;
        ASSERT_TRUE(call(point));
        EXPECT_EQ(rec->flags, flags);
        EXPECT_EQ(st->texCoords[0].x, 0.25f);
        EXPECT_EQ(st->texCoords[0].y, 0.75f);
        EXPECT_EQ(rec->lightAmbient, 0);
        EXPECT_EQ(rec->lightDiffuse, 0);
        EXPECT_EQ(rec->lightSpecular, 1);
        EXPECT_EQ(rec->lightShapeRef, nullptr);
    }
}

// A point or spot light seen by a ray other than a light ray shows its colour
// with alpha 1 and sets the record's colours for the frame buffer and matte.
TEST_F(Light, PointSeenDirectly) {
    vh::Instance &point = light("veko_pointlight", {{"color", {0.5, 0.5, 0.5, 0.2}}, {"intensity", 2}});
    st->rayKind = 0;
    rec->lightShadowWeight = 0.75f;
    ASSERT_TRUE(call(point));
    EXPECT_RGBA(out, 1, 1, 1, 1);
    EXPECT_RGBA(rec->fbColor, 0, 0, 0, 0);
    EXPECT_RGBA(rec->matteColor, 1, 1, 1, 1);
    EXPECT_RGBA(rec->auxColor, 0, 0, 0, 0);
    EXPECT_EQ(rec->lightShadowWeight, 0.75f);  // no shadow stage
}

// Light-fog mode of the point light: the fog shader's segment length sets
// the falloff inside the fog radius.
TEST_F(Light, PointLightFog) {
    xrState fog{};
    st->spawningState = &fog;
    rec->flags = 0x04;
    // R = 2, segment length 2 (h = 1): base factor 1 / (4 + 2 - 1) = 0.2.
    struct Case {
        int fogType, decay;
        double segment, factor;
    } cases[] = {
        {0, 1, 2, 0.2},  {0, 2, 2, 0.04}, {0, 3, 2, 0.008},
        {1, 2, 2, 0.0111456}, {1, 0, 2, 0.04}, {2, 0, 2, 0.0111456},
        {0, 2, 6, 1},  // beyond the fog radius
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.fogType) + " decay " + std::to_string(c.decay));
        vh::Instance &point = light("veko_pointlight", {{"fogRadius", 2}, {"fogType", c.fogType},
                                                         {"decayRate", c.decay}, {"fogIntensity", 3},
                                                         {"intensity", 0.5}});
        fog.hitDistance = c.segment;
        ASSERT_TRUE(call(point));
        EXPECT_NEAR(out.r, 1.5 * c.factor, 1e-5);
    }
    EXPECT_EQ(rec->flags, 0x04);
    st->spawningState = nullptr;
}

// Light-fog mode of the spot light with decay regions: the light's share of
// the fog segment that lies in the regions scales it; a segment of no length
// outside every region is unlit.
TEST_F(Light, SpotLightFogDecayRegions) {
    xrState fog{};
    fog.rayOrigin = {0, 0, -1};
    fog.hitPoint = {0, 0, -3};
    fog.rayDirection = {0, 0, -1};
    st->spawningState = &fog;
    rec->flags = 0x04;
    vh::Instance &spot = light("veko_spotlight", {{"coneAngle", 60 * kDeg}, {"useDecayRegions", 1},
                                                   {"startDistance1", 1}, {"endDistance1", 2},
                                                   {"startDistance2", 3}, {"endDistance2", 6},
                                                   {"startDistance3", 8}, {"endDistance3", 10},
                                                   {"fogIntensity", 2}, {"intensity", 1.5}});
    ASSERT_TRUE(call(spot));
    // Both ends on the axis: no spread term; the axis term g with
    // k = cos(30)/2 + 0.2; decay 0 divides by 2 + 1; half the segment
    // (1..2 of 1..3) lies in the regions.
    double k = std::cos(30 * kDeg) * 0.5 + 0.2;
    double g = (1 - k) * 2 * (1 - k);
    EXPECT_NEAR(out.r, g * 2 * 1.5 / 3 * 0.5, 1e-5);

    fog.rayOrigin = fog.hitPoint = {0, 0, -7};
    EXPECT_FALSE(call(spot));
    st->spawningState = nullptr;
}

// ---------------------------------------------------------------------------
// Ambient light: the shade term bends the light by the cosine; the material
// gets the ambient flags and a fixed direction.
TEST_F(Light, AmbientShade) {
    struct Case {
        float shade, cosine;
        int backSide;
        double factor;  // of color x intensity; -1: black with alpha 0
    } cases[] = {
        {1, -1, 0, -1},      // (s = -2): black before any shadow
        {0, -1, 0, 1},       // no shade: the cosine has no effect
        {0.5f, 0, 0, 0.5},
        {1, 1, 0, 1},
        {1, 1, 1, -1},       // flipped side: cosine -1
        {0.25f, -0.5f, 1, 1 + 0.25 * (0.5 - 1)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("shade " + std::to_string(c.shade) + " cosine " + std::to_string(c.cosine));
        vh::Instance &amb = light("veko_ambientlight", {{"ambientShade", c.shade}, {"intensity", 2},
                                                         {"color", {0.5, 0.25, 1, 0.5}}});
        aim({0, 0, 0}, {0, 0, -5}, {0.6f, 0, 0.8f});
        st->cosView = c.cosine;
        rec->backSide = c.backSide;
        ASSERT_TRUE(call(amb));
        if (c.factor < 0) {
            EXPECT_RGBA(out, 0, 0, 0, 0);
        } else {
            EXPECT_RGBA(out, 1 * c.factor, 0.5 * c.factor, 2 * c.factor, 0.5);
        }
        EXPECT_EQ(rec->lightAmbient, 1);
        EXPECT_EQ(rec->lightDiffuse, 0);
        EXPECT_EQ(rec->lightSpecular, 0);
        EXPECT_EQ(st->rayDirection.z, -1.0f);
        EXPECT_NEAR(st->cosView, -0.8f, 1e-6);
    }
}

// The directional light with useLightPosition lights only the side of its
// origin that its direction points to.
TEST_F(Light, DirectionalLightPosition) {
    vh::Instance &dir = light("veko_directionallight", {{"useLightPosition", 1}, {"intensity", 0.5}});
    aim({0, 0, 0}, {0, 0, -5});
    ASSERT_TRUE(call(dir));
    EXPECT_RGBA(out, 0.5, 0.5, 0.5, 1);
    st->hitPoint = {0, 0, 5};  // behind the origin, same direction
    EXPECT_FALSE(call(dir));
    vh::Instance &anywhere = light("veko_directionallight", {{"intensity", 0.5}});
    EXPECT_TRUE(call(anywhere));
}

// Without the per-ray record every light warns with its own name and
// contributes nothing.
TEST_F(Light, MissingRecord) {
    xr_shaderstate_set(st, "vekobase", nullptr, 0, 0);
    for (const char *type : {"veko_ambientlight", "veko_directionallight", "veko_pointlight", "veko_spotlight"}) {
        vh::Instance &l = light(type);
        EXPECT_FALSE(call(l));
        auto msgs = vh::takeMessages();
        ASSERT_EQ(msgs.size(), 1u) << type;
        EXPECT_EQ(msgs[0].text, std::string(type) + "(): Internal state error.");
    }
}

// ---------------------------------------------------------------------------
// Shadows through the renderer: a ground plane whose material samples its
// lights, an occluding plate above it whose material records every shadow
// ray that reaches it and lets through a share of the light chosen by the
// test.
struct ShadowProbe {
    std::vector<xrColor> colors;  // per successful light sample
    float shadowWeight = -1;
    xrColor unshadowed{};
    struct Hit {
        xrVector origin, direction;
        float transmit;
    };
    std::vector<Hit> hits;                    // shadow rays at the plate, in order
    float (*transmit)(const xrVector &origin) = nullptr;  // 0: opaque
};
ShadowProbe g_probe;

void registerShadowMaterials() {
    vh::registerNativeMaterial("lightProbe", [](xrColor *c, xrState *s) {
        BaseStateRecord *rec = static_cast<BaseStateRecord *>(xr_shaderstate_get(s, "vekobase", nullptr));
        xrInteger n = 0;
        xrTag *lights = nullptr;
        xr_instance_lightlist(&n, &lights, s);
        for (int i = 0; i < n; ++i) {
            xrInteger samples = 0;
            xrColor q;
            xrVector dir;
            float cs;
            while (xr_sample_light(&q, &dir, &cs, s, lights[i], &samples)) {
                g_probe.colors.push_back(q);
                if (rec) {
                    g_probe.shadowWeight = rec->lightShadowWeight;
                    g_probe.unshadowed = rec->lightUnshadowed;
                }
            }
        }
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    vh::registerNativeMaterial("plate", [](xrColor *c, xrState *s) {
        if (s->rayKind != 5) {
            *c = {0, 0, 0, 1};
            return xrBoolean(1);
        }
        float t = g_probe.transmit ? g_probe.transmit(s->rayOrigin) : 0.0f;
        g_probe.hits.push_back({s->rayOrigin, s->rayDirection, t});
        if (t <= 0) return xrBoolean(0);
        c->r *= t;
        c->g *= t;
        c->b *= t;
        return xrBoolean(1);
    });
}

// Top-down orthographic camera on the ground; the centre pixel sees the
// origin. The plate at height 3 (behind the camera) covers the whole sky.
json shadowScene(const json &lightNode, const json &lightEntry, bool plate = true, bool shadowMaps = false) {
    json nodes = {{{"name", "state"}, {"type", "veko_state"}}, lightNode};
    json objects = {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"material", "native:lightProbe"}}};
    if (plate)
        objects.push_back({{"name", "plate"},
                           {"mesh", {{"type", "plane"}, {"size", 40}}},
                           {"transform", {{"translate", {0, 3, 0}}}},
                           {"material", "native:plate"}});
    return {{"nodes", nodes},
            {"state", "state"},
            {"options", {{"shadowMaps", shadowMaps}}},
            {"camera",
             {{"type", "orthographic"},
              {"resolution", {16, 16}},
              {"aperture", 4},
              {"clip", {0.1, 100}},
              {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"objects", objects},
            {"lights", {lightEntry}}};
}

class LightShadow : public ::testing::Test {
protected:
    void SetUp() override {
        vh::captureMessages(true);
        vh::takeMessages();
    }
    void TearDown() override {
        vh::takeMessages();
        vh::captureMessages(false);
    }
};

const json kOverhead = {{"name", "l"}, {"shader", "light"}, {"transform", {{"translate", {0, 5, 0}}}}};

// Shades the centre of the ground once.
void shadeCentre(const json &scene) {
    registerShadowMaterials();
    auto sc = vh::loadSceneJson(vt::library(), scene, "light-test.json");
    vh::Renderer r(*sc, 1);
    g_probe.colors.clear();
    g_probe.hits.clear();
    g_probe.shadowWeight = -1;
    ASSERT_TRUE(r.shadeSample(0, 8, 8, 0, 0).hit);
}

json softPointLight() {
    return {{"name", "light"},
            {"type", "veko_pointlight"},
            {"params",
             {{"lightRadius", 0.5},
              {"useRayTraceShadows", 1},
              {"shadowRays", 8},
              {"rayDepthLimit", 4},
              {"color", {1, 0.5, 0.25, 1}},
              {"intensity", 2},
              {"shadowColor", {0.1, 0.2, 0.3, 0.5}}}}};
}

// Every sample blocked: one pass of shadowRays samples, the result is the
// shadow colour with weight 1. The samples lie on the light's disk,
// perpendicular to the direction towards the point. The light sits on the
// y axis straight above the point, where the disk's first axis (from the
// light to the plane's crossing with a coordinate axis) has no length; the
// disk must still be a disk.
TEST_F(LightShadow, FullyBlockedSoftShadowEndsAfterOnePass) {
    g_probe.transmit = nullptr;
    shadeCentre(shadowScene(softPointLight(), kOverhead));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    EXPECT_RGBA(g_probe.colors[0], 0.1, 0.2, 0.3, 0.5);
    EXPECT_EQ(g_probe.shadowWeight, 1.0f);
    EXPECT_RGBA(g_probe.unshadowed, 2, 1, 0.5, 1);
    ASSERT_EQ(g_probe.hits.size(), 8u);
    float spread = 0;
    for (const auto &h : g_probe.hits) {
        EXPECT_NEAR(h.origin.y, 5, 1e-4);
        float r = std::hypot(h.origin.x, h.origin.z);
        EXPECT_LE(r, 0.5f + 1e-5f);
        spread = std::max(spread, r);
    }
    EXPECT_GT(spread, 0.25f);  // a disk, not a point
}

// Uniformly half-transparent cover: every sample is partial, so one pass
// settles it; the light blends towards the shadow colour by the loss.
TEST_F(LightShadow, UniformPartialShadowOnePass) {
    g_probe.transmit = [](const xrVector &) { return 0.5f; };
    shadeCentre(shadowScene(softPointLight(), kOverhead));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    EXPECT_EQ(g_probe.hits.size(), 8u);
    EXPECT_RGBA(g_probe.colors[0], 0.5 * 2 + 0.5 * 0.1, 0.5 * 1 + 0.5 * 0.2, 0.5 * 0.5 + 0.5 * 0.3, 1);
    EXPECT_NEAR(g_probe.shadowWeight, 0.5, 1e-6);
}

// Half of the light's disk behind a half-transparent cover: some but not all
// samples partial, so a second pass of four times the samples runs and the
// attenuation blends the passes 0.8 / 0.2.
TEST_F(LightShadow, MixedShadowRunsSecondPass) {
    g_probe.transmit = [](const xrVector &o) { return o.x < 0 ? 0.25f + std::fabs(o.z) : 1.0f; };
    shadeCentre(shadowScene(softPointLight(), kOverhead));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    ASSERT_EQ(g_probe.hits.size(), 8u + 32u);
    double first = 0, second = 0;
    for (size_t i = 0; i < 8; ++i) first += g_probe.hits[i].transmit;
    for (size_t i = 8; i < 40; ++i) second += g_probe.hits[i].transmit;
    double att = 0.8 * second / 32 + 0.2 * first / 8;
    ASSERT_GT(std::fabs(second / 32 - first / 8), 1e-3);  // the blend shows
    EXPECT_GT(att, 0.5);
    EXPECT_LT(att, 1.0);
    EXPECT_NEAR(g_probe.shadowWeight, 1 - att, 1e-5);
    EXPECT_RGBA(g_probe.colors[0], att * 2 + (1 - att) * 0.1, att * 1 + (1 - att) * 0.2,
                att * 0.5 + (1 - att) * 0.3, 1);
}

// The ray-traced branch runs only below both depth limits (the light's
// rayDepthLimit and the record's userWord1, from the options block), and
// the ray count falls towards 1 when the ray weight is below
// fullSampleWeight: n' = trunc((8 * 1 + 1.5) / 2.5) = 3 at weight 1 with
// fullSampleWeight 2.5.
TEST_F(LightShadow, DepthLimitsAndRayCountRamp) {
    struct Case {
        int rayDepthLimit, userWord1;
        double fullSampleWeight;
        size_t hits;
    } cases[] = {
        {4, 20, 0.0, 8}, {0, 20, 0.0, 0}, {4, 0, 0.0, 0}, {4, 20, 2.5, 3},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.rayDepthLimit) + " userWord1 " + std::to_string(c.userWord1) +
                     " full weight " + std::to_string(c.fullSampleWeight));
        json light = softPointLight();
        light["params"]["rayDepthLimit"] = c.rayDepthLimit;
        json scene = shadowScene(light, kOverhead);
        // Template words 0-9: passMode, userWord1, filterEnabled, baseFilterSize,
        // keepCache, userWord5, minRayWeight, fullSampleWeight, caps.
        scene["options"]["userData"] = {0, c.userWord1, 0, 0.005, 1, 0, 0, c.fullSampleWeight, 20, 20};
        g_probe.transmit = nullptr;
        shadeCentre(scene);
        ASSERT_EQ(g_probe.colors.size(), 1u);
        EXPECT_EQ(g_probe.hits.size(), c.hits);
        if (c.hits == 0) {
            EXPECT_RGBA(g_probe.colors[0], 2, 1, 0.5, 1);
            EXPECT_EQ(g_probe.shadowWeight, 0.0f);
        } else {
            EXPECT_RGBA(g_probe.colors[0], 0.1, 0.2, 0.3, 0.5);
        }
    }
}

// The directional light's soft shadow samples directions within its cone.
TEST_F(LightShadow, DirectionalConeSampler) {
    json dir = {{"name", "light"},
                {"type", "veko_directionallight"},
                {"params", {{"lightAngle", 10}, {"useRayTraceShadows", 1}, {"shadowRays", 16}, {"rayDepthLimit", 4},
                            {"shadowColor", {0.25, 0.25, 0.25, 1}}}}};
    json entry = {{"name", "l"}, {"shader", "light"},
                  {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
    g_probe.transmit = nullptr;
    shadeCentre(shadowScene(dir, entry));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    EXPECT_RGBA(g_probe.colors[0], 0.25, 0.25, 0.25, 1);
    EXPECT_EQ(g_probe.shadowWeight, 1.0f);
    ASSERT_EQ(g_probe.hits.size(), 16u);
    double widest = 0;
    for (const auto &h : g_probe.hits) {
        double c = -h.direction.y / std::sqrt(double(h.direction.x) * h.direction.x +
                                              double(h.direction.y) * h.direction.y +
                                              double(h.direction.z) * h.direction.z);
        double deg = std::acos(std::min(1.0, c)) / kDeg;
        EXPECT_LE(deg, 10.01);
        widest = std::max(widest, deg);
    }
    EXPECT_GT(widest, 5.0);
}

// Depth-map shadows: the shadow colour is scaled by the light's intensity
// (here after quadratic decay over distance 5).
TEST_F(LightShadow, DepthMapBranchScalesShadowColour) {
    json point = {{"name", "light"},
                  {"type", "veko_pointlight"},
                  {"params", {{"useDepthMapShadows", 1}, {"decayRate", 2}, {"intensity", 50},
                              {"color", {1, 1, 1, 1}}, {"shadowColor", {0.2, 0.4, 0.6, 0.5}}}}};
    g_probe.transmit = [](const xrVector &) { return 0.5f; };
    shadeCentre(shadowScene(point, kOverhead, true, true));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    EXPECT_EQ(g_probe.hits.size(), 1u);
    EXPECT_RGBA(g_probe.colors[0], 0.5 * 2 + 0.5 * 0.4, 0.5 * 2 + 0.5 * 0.8, 0.5 * 2 + 0.5 * 1.2, 1);
    EXPECT_NEAR(g_probe.shadowWeight, 0.5, 1e-6);

    g_probe.transmit = nullptr;
    shadeCentre(shadowScene(point, kOverhead, true, true));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    EXPECT_RGBA(g_probe.colors[0], 0.4, 0.8, 1.2, 0.5);
    EXPECT_EQ(g_probe.shadowWeight, 1.0f);

    // Without shadow maps in the options, the ray-traced branch decides: off.
    shadeCentre(shadowScene(point, kOverhead, true, false));
    ASSERT_EQ(g_probe.colors.size(), 1u);
    EXPECT_RGBA(g_probe.colors[0], 2, 2, 2, 1);
    EXPECT_TRUE(g_probe.hits.empty());
}

// An area shape on a point or spot light lights only the side it faces.
TEST_F(LightShadow, AreaLightBackFace) {
    struct Case {
        const char *type;
        json area;
        bool facingGround;
    } cases[] = {
        {"veko_pointlight", {{"shape", "rectangle"}, {"size", {1, 1}}, {"samples", 4}}, true},
        {"veko_pointlight", {{"shape", "rectangle"}, {"size", {1, 1}}, {"samples", 4}}, false},
        {"veko_pointlight", {{"shape", "disc"}, {"radius", 0.5}, {"samples", 4}}, true},
        {"veko_spotlight", {{"shape", "disc"}, {"radius", 0.5}, {"samples", 4}}, false},
        {"veko_spotlight", {{"shape", "rectangle"}, {"size", {1, 1}}, {"samples", 4}}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.type) + " " + c.area.dump() + (c.facingGround ? " facing" : " away"));
        json node = {{"name", "light"}, {"type", c.type}, {"params", json::object()}};
        if (std::string(c.type) == "veko_spotlight") node["params"]["coneAngle"] = 3.0;  // wide open
        json target = c.facingGround ? json{0, 0, 0} : json{0, 10, 0};
        json entry = {{"name", "l"}, {"shader", "light"}, {"area", c.area},
                      {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", target}, {"up", {0, 0, -1}}}}}}};
        shadeCentre(shadowScene(node, entry, false));
        EXPECT_EQ(g_probe.colors.size(), c.facingGround ? 4u : 0u);
    }
}

}  // namespace

namespace {

// A shader connected to a light parameter is evaluated after the light has
// put its own light-space mapping into the first texture coordinate; the
// surface's coordinate is back in place afterwards. The light space here is
// world space.
TEST_F(Light, ConnectedParameterSeesLightMapping) {
    struct Case {
        const char *type;
        xrVector p;
        double u;
    } cases[] = {
        // atan2(x, z) / 2pi + 0.5
        {"veko_pointlight", {1, 0, 2}, 0.5737918},
        {"veko_pointlight", {-1, 3, -2}, 0.0737918},
        // ((x / tan(30 deg)) / z + 1) / 2 with the point on the far side (-z)
        {"veko_spotlight", {1, 0.5f, -4}, (1 / std::tan(30 * kDeg) / -4 + 1) / 2},
        // atan(y / x) / pi + 0.5
        {"veko_ambientlight", {2, 1, -3}, std::atan(0.5) / (4 * std::atan(1.0)) + 0.5},
        // light-space x
        {"veko_directionallight", {0.375f, 0, -3}, 0.375},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        // place2dtex passes the first texture coordinate on; distancebetween
        // with a matrix that keeps x alone turns it into |u|.
        vh::Instance &uv = net.add("uv" + std::to_string(++count), "veko_place2dtex");
        vh::Instance &u = net.add("u" + std::to_string(count), "veko_distancebetween");
        u.setLiteral("inMatrix1", {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
        net.connect(u, "point1", uv.name + ".outUV");
        bool spot = std::string(c.type) == "veko_spotlight";
        vh::Instance &l = light(c.type, spot ? json{{"coneAngle", 60 * kDeg}} : json::object());
        net.connect(l, "intensity", u.name + ".outValue");
        aim({0, 0, 0}, c.p);
        st->cosView = 1;
        ss.nextSample();
        ASSERT_TRUE(call(l));
        EXPECT_NEAR(out.r, c.u, 1e-5);
        EXPECT_EQ(st->texCoords[0].x, 0.25f);
    }
}

}  // namespace

// A point light with a light profile is scaled by the profile's normalised
// intensity in the direction of the point (angle from the light's -z axis).
TEST_F(Light, PointLightProfile) {
    xrTag profile = vh::createLightProfile({{0, 4}, {45, 2}, {90, 0}});
    vh::Instance &point = light("veko_pointlight", {{"intensity", 2}, {"lightProfile", profile}});
    struct Case {
        double deg, factor;
    } cases[] = {{0, 1.0}, {45, 0.5}, {67.5, 0.25}, {120, 0.0}};
    for (auto c : cases) {
        SCOPED_TRACE(c.deg);
        float s = float(std::sin(c.deg * kDeg)), co = float(std::cos(c.deg * kDeg));
        aim({0, 0, 0}, {s * 0.5f, 0, -co * 0.5f});  // within distance 1: no decay
        ASSERT_TRUE(call(point));
        EXPECT_NEAR(out.r, 2 * c.factor, 1e-4);
    }
    vh::Database::get().remove(profile);
}
