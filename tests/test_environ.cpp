// Environment shaders (mirror ball, chrome, cube, sphere, colour) and the
// sky, called through the reference host; and rendered rays that leave the
// scene.
//
// Image inputs are connected to a four-corner ramp whose colour is (u, v, 0)
// at texture coordinate (u, v), so the coordinate an environment computed is
// read back from its colour. Cube faces add the face number / 10 in blue.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include <unistd.h>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"
#include "surface_fixture.h"
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

::testing::AssertionResult nearRgb(const Rgba &got, float r, float g, float b, float tol = 1e-4f) {
    if (std::fabs(got.r - r) <= tol && std::fabs(got.g - g) <= tol && std::fabs(got.b - b) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << got << ", want (" << r << ", " << g << ", " << b << ")";
}

float lum(const Rgba &c) { return 0.3f * c.r + 0.59f * c.g + 0.11f * c.b; }

xrVector unit(float x, float y, float z) {
    const float l = std::sqrt(x * x + y * y + z * z);
    return {x / l, y / l, z / l};
}

// Colour (u, v, face / 10) at texture coordinate (u, v).
json uvRamp(const std::string &name, int face = 0) {
    return {{"name", name},
            {"type", "veko_ramp"},
            {"params",
             {{"rampType", 7},
              {"colorOffset", {0, 0, face / 10.0, 0}},
              {"colorEntryList",
               {{{"position", 0.0}, {"color", {0, 0, 0, 1}}},
                {{"position", 0.1}, {"color", {1, 0, 0, 1}}},
                {{"position", 0.2}, {"color", {0, 1, 0, 1}}},
                {{"position", 0.3}, {"color", {1, 1, 0, 1}}}}}}}};
}

// One environment node "e" (with helper nodes) called on a standalone state
// that carries the state shader's template record, a camera instance at
// `cameraAt` (identity rotation) and the matching camera-space transforms.
class Env {
public:
    Env(const std::string &type, const json &params, json extra = json::array(), bool withRecord = true,
        bool init = true, xrVector cameraAt = {0, 0, 0})
        : net_(vt::library()) {
        json nodes = std::move(extra);
        nodes.push_back({{"name", "e"}, {"type", type}, {"params", params}});
        net_.load({{"nodes", nodes}}, "environ test");
        node_ = net_.find("e");
        toWorld_[12] = cameraAt.x, toWorld_[13] = cameraAt.y, toWorld_[14] = cameraAt.z;
        fromWorld_[12] = -cameraAt.x, fromWorld_[13] = -cameraAt.y, fromWorld_[14] = -cameraAt.z;
        vh::InstanceRecord cam{};
        std::memcpy(cam.toWorld, toWorld_, sizeof toWorld_);
        std::memcpy(cam.fromWorld, fromWorld_, sizeof fromWorld_);
        cameraTag_ = vh::Database::get().create(xrDB_INSTANCE, &cam, sizeof cam);
        ss.state()->cameraInstanceTag = cameraTag_;
        ss.ray.cameraToWorld = toWorld_;
        ss.ray.worldToCamera = fromWorld_;
        if (withRecord) {
            veko::BaseStateRecord r = vt::templateRecord();
            r.filterSize = 0.001f;
            xr_shaderstate_set(ss.state(), "vekobase", &r, sizeof r, 2);
        }
        vt::messages();
        if (init) net_.init(ss.state());
        initWarnings = warnings();
    }
    ~Env() { vh::Database::get().remove(cameraTag_); }

    veko::BaseStateRecord *record() { return veko::lookupStateRecord(ss.state()); }

    // Looks straight along `dir` (direct lookup) from `from`.
    Rgba look(xrVector dir, xrVector from = {0, 0, 0}) {
        if (auto *r = record()) r->flags |= veko::kFlagDirectEnvLookup;
        return lookFrom(dir, from);
    }
    // Looks along `dir` from the point `from` as a ray without a surface
    // (zero normal), with the record's lookup bit as it is.
    Rgba lookFrom(xrVector dir, xrVector from) {
        xrState *st = ss.state();
        st->shadingNormal = {0, 0, 0};
        st->cosView = 0;
        st->rayDirection = unit(dir.x, dir.y, dir.z);
        st->hitPoint = from;
        return call();
    }

    // Calls "e" on the state as it is; checks that texture coordinates, hit
    // point and the record's evaluation bit and footprints come back.
    Rgba call() {
        xrState *st = ss.state();
        const xrVector uv0 = st->texCoords[0], hit = st->hitPoint;
        veko::BaseStateRecord before{};
        if (auto *r = record()) before = *r;
        std::vector<float> out(5, vt::kUnset);
        ok = vh::callShader(*node_, st, out.data());
        std::memcpy(&alpha, &out[4], 4);
        EXPECT_EQ(std::memcmp(&st->texCoords[0], &uv0, sizeof uv0), 0) << "texture coordinate not restored";
        EXPECT_EQ(std::memcmp(&st->hitPoint, &hit, sizeof hit), 0) << "hit point not restored";
        if (auto *r = record()) {
            EXPECT_EQ(r->flags, before.flags);
            EXPECT_EQ(std::memcmp(&r->footprintU, &before.footprintU, 24), 0) << "footprints not restored";
        }
        ss.nextSample();
        Rgba c;
        std::memcpy(&c, out.data(), sizeof c);
        return c;
    }

    std::vector<std::string> warnings() {
        std::vector<std::string> w;
        for (auto &m : vt::messages())
            if (m.severity == vh::Severity::Warning) w.push_back(m.text);
        return w;
    }

    vh::StandaloneState ss;
    xrBoolean ok = 0;
    float alpha = 0;
    std::vector<std::string> initWarnings;

private:
    vh::Network net_;
    vh::Instance *node_ = nullptr;
    float toWorld_[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    float fromWorld_[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    xrTag cameraTag_ = 0;
};

json uvNodes() { return json::array({uvRamp("uv")}); }

// ---------------------------------------------------------------------------
// Latitude-longitude sphere.

TEST(EnvSphere, AxesMapToTexelsAndAlphaIsLuminance) {
    Env e("veko_envsphere", {{"image", "uv.outColor"}}, uvNodes());
    struct Case {
        xrVector dir;
        float u, v;
    } cases[] = {
        {{0, 0, 1}, 0.5f, 0.5f},   {{1, 0, 0}, 0.75f, 0.5f},  {{-1, 0, 0}, 0.25f, 0.5f},
        {{0, 0, -1}, 1.0f, 0.5f},  {{0, 1, 1}, 0.5f, 0.75f},  {{0, -1, 1}, 0.5f, 0.25f},
        {{0, 1, 0}, 0.5f, 1.0f},   {{0, -1, 0}, 0.5f, 0.0f},  {{1, 0, 1}, 0.625f, 0.5f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "dir " << c.dir.x << " " << c.dir.y << " " << c.dir.z);
        const Rgba got = e.look(c.dir);
        EXPECT_TRUE(nearRgb(got, c.u, c.v, 0));
        EXPECT_NEAR(got.a, lum(got), 1e-6f);
        EXPECT_EQ(e.alpha, got.a);
        EXPECT_EQ(e.ok, 1);
    }
}

TEST(EnvSphere, ShearFlipAndPlacement) {
    // 45 degrees up and a quarter turn round: phi = 0.25, theta = 0.25.
    const xrVector d{1, std::sqrt(2.0f), 1};
    {
        Env e("veko_envsphere", {{"image", "uv.outColor"}, {"shearUV", {0.4, -0.2, 0}}}, uvNodes());
        EXPECT_TRUE(nearRgb(e.look(d), 0.625f + 0.4f * 0.25f, 0.75f - 0.2f * 0.125f, 0));
    }
    {
        Env e("veko_envsphere", {{"image", "uv.outColor"}, {"flip", 1}}, uvNodes());
        EXPECT_TRUE(nearRgb(e.look(d), 0.75f, 0.625f, 0));
    }
    {
        // A placement turning +x onto +z: looking along +x reads the +z texel.
        Env e("veko_envsphere",
              {{"image", "uv.outColor"}, {"placementMatrix", {0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1}}},
              uvNodes());
        EXPECT_TRUE(nearRgb(e.look({1, 0, 0}), 0.5f, 0.5f, 0));
    }
}

// Without the direct-lookup bit (or without a record) the ray is reflected
// about the normal first; a ray without a surface (zero normal, as the
// renderer passes rays that leave the scene) keeps its direction.
TEST(EnvSphere, ReflectsAboutTheNormalUnlessDirect) {
    for (bool withRecord : {true, false}) {
        SCOPED_TRACE(withRecord ? "with record" : "without record");
        Env e("veko_envsphere", {{"image", "uv.outColor"}}, uvNodes(), withRecord);
        xrState *st = e.ss.state();
        st->rayDirection = unit(1, 0, -1);
        st->shadingNormal = {0, 0, 1};
        st->cosView = -std::sqrt(0.5f);
        EXPECT_TRUE(nearRgb(e.call(), 0.625f, 0.5f, 0));  // reflected to (1, 0, 1)
        st->shadingNormal = {0, 0, 0};
        st->cosView = 0;
        EXPECT_TRUE(nearRgb(e.call(), 0.875f, 0.5f, 0));  // (1, 0, -1) itself
    }
}

// ---------------------------------------------------------------------------
// Cube.

json cubeNodes() {
    json n = json::array();
    for (int f = 0; f < 6; ++f) n.push_back(uvRamp("f" + std::to_string(f), f + 1));
    return n;
}
json cubeParams(bool infinite) {
    const char *names[6] = {"imageNegX", "imagePosX", "imagePosY", "imageNegY", "imagePosZ", "imageNegZ"};
    json p = {{"infiniteSize", infinite ? 1 : 0}};
    for (int f = 0; f < 6; ++f) p[names[f]] = "f" + std::to_string(f) + ".outColor";
    return p;
}
enum Face { NegX = 1, PosX, PosY, NegY, PosZ, NegZ };

TEST(EnvCube, InfiniteFacesTexelsAndTies) {
    Env e("veko_envcube", cubeParams(true), cubeNodes());
    struct Case {
        xrVector dir;
        Face face;
        float u, v;
    } cases[] = {
        {{1, 0, 0}, PosX, 0.5f, 0.5f},
        {{1, 0.5f, 0.25f}, PosX, 0.625f, 0.75f},
        {{-1, 0.5f, 0.25f}, NegX, 0.375f, 0.75f},
        {{0.2f, 1, 0.4f}, PosY, 0.6f, 0.7f},
        {{0.2f, -1, 0.4f}, NegY, 0.6f, 0.3f},
        {{0.2f, 0.4f, 1}, PosZ, 0.4f, 0.7f},
        {{0.2f, 0.4f, -1}, NegZ, 0.6f, 0.7f},
        {{1, 1, 1}, PosZ, 0.0f, 1.0f},       // |x| = |y| = |z|: z face
        {{-1, -1, -1}, NegZ, 0.0f, 0.0f},
        {{1, 1, 0.5f}, PosY, 1.0f, 0.75f},   // |x| = |y| > |z|: y face
        {{0, 0, 0}, PosZ, 0.5f, 0.5f},       // no direction: centre of +z
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "dir " << c.dir.x << " " << c.dir.y << " " << c.dir.z);
        xrState *st = e.ss.state();
        e.record()->flags |= veko::kFlagDirectEnvLookup;
        st->rayDirection = c.dir;  // the shader normalises
        const Rgba got = e.call();
        EXPECT_TRUE(nearRgb(got, c.u, c.v, static_cast<float>(c.face) / 10));
        EXPECT_EQ(e.ok, 1);
    }
}

TEST(EnvCube, FiniteCubeExitFacesAndOutsidePoint) {
    Env e("veko_envcube", cubeParams(false), cubeNodes());
    struct Case {
        xrVector from, dir;
        Face face;
        float u, v;
    } cases[] = {
        {{0, 0, 0}, {1, 0, 0}, PosX, 0.5f, 0.5f},
        {{0.5f, 0, 0}, {0, 0, 1}, PosZ, 0.25f, 0.5f},
        {{0, 0.5f, 0.5f}, {0, -1, 0}, NegY, 0.5f, 0.25f},
        {{0, 0.5f, 0}, {-1, 0, 0}, NegX, 0.5f, 0.75f},
        // Corner-bound: x reaches its wall first.
        {{0.5f, 0, 0}, {1, 0.9f, 0.9f}, PosX, 0.725f, 0.725f},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "from " << c.from.x << " " << c.from.y << " " << c.from.z);
        xrState *st = e.ss.state();
        st->hitPoint = c.from;
        st->rayDirection = unit(c.dir.x, c.dir.y, c.dir.z);
        st->shadingNormal = {0, 0, 0};
        st->cosView = 0;
        EXPECT_TRUE(nearRgb(e.call(), c.u, c.v, static_cast<float>(c.face) / 10));
    }
    // A point outside the cube sees black with alpha 1; the call fails.
    e.ss.state()->hitPoint = {1.5f, 0, 0};
    const Rgba out = e.call();
    EXPECT_EQ(e.ok, 0);
    EXPECT_TRUE(nearRgb(out, 0, 0, 0, 0));
    EXPECT_EQ(out.a, 1.0f);
    EXPECT_EQ(e.alpha, 1.0f);
}

// ---------------------------------------------------------------------------
// Mirror ball.

// Mirror-ball texel of a unit direction: the half vector between it and +z.
void ballUV(xrVector d, float &u, float &v) {
    const xrVector h = unit(d.x, d.y, d.z + 1);
    u = h.x / 2 + 0.5f;
    v = h.y / 2 + 0.5f;
}

TEST(EnvBall, InfiniteLookupAndRotations) {
    const float s = std::sqrt(0.5f) / 2;
    struct Case {
        json params;
        xrVector dir;
        float u, v;
    } cases[] = {
        {json::object(), {0, 0, 1}, 0.5f, 0.5f},
        {json::object(), {1, 0, 0}, 0.5f + s, 0.5f},
        {json::object(), {0, 1, 0}, 0.5f, 0.5f + s},
        {json::object(), {0, 0, -1}, 0.5f, 0.5f},  // the rim point: no division by zero
        // Azimuth turns +z to -x; a negative one the other way.
        {{{"azimuthAngle", kPi / 2}}, {0, 0, 1}, 0.5f - s, 0.5f},
        {{{"azimuthAngle", -kPi / 2}}, {0, 0, 1}, 0.5f + s, 0.5f},
        {{{"elevationAngle", kPi / 2}}, {0, 0, 1}, 0.5f, 0.5f - s},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.params.dump());
        json p = c.params;
        p["image"] = "uv.outColor";
        Env e("veko_envball", p, uvNodes());
        const Rgba got = e.look(c.dir, {3, -2, 7});
        EXPECT_TRUE(nearRgb(got, c.u, c.v, 0));
        EXPECT_EQ(e.ok, 1);
    }
}

TEST(EnvBall, FiniteSphereAndBoxProjectFromThePoint) {
    // Sphere of radius 2 seen from (1, 0, 0) along +z: the point (1, 0, sqrt 3).
    {
        Env e("veko_envball", {{"image", "uv.outColor"}, {"skyRadius", 2}}, uvNodes());
        float u, v;
        ballUV(unit(1, 0, std::sqrt(3.0f)), u, v);
        EXPECT_TRUE(nearRgb(e.look({0, 0, 1}, {1, 0, 0}), u, v, 0));
        // From outside the sphere, looking past it: the error colour.
        const Rgba err = e.look({0, 1, 0}, {3, 0, 0});
        EXPECT_TRUE(nearRgb(err, 1, 0, 0, 0));
        EXPECT_EQ(err.a, 0.3f);
        EXPECT_EQ(e.alpha, 0.3f);
        EXPECT_EQ(e.ok, 1);
    }
    // Floor 1 below the origin, seen from (0, 0.5, 0) along (0, -1, 1): the
    // floor point (0, -1, 1.5).
    {
        Env e("veko_envball", {{"image", "uv.outColor"}, {"bottom", 1}}, uvNodes());
        float u, v;
        ballUV(unit(0, -1, 1.5f), u, v);
        EXPECT_TRUE(nearRgb(e.look({0, -1, 1}, {0, 0.5f, 0}), u, v, 0));
        // Below the floor, looking down: the error colour.
        EXPECT_TRUE(nearRgb(e.look({0, -1, 0}, {0, -2, 0}), 1, 0, 0, 0));
        // Looking up: the floor is not tested, the direction is unchanged.
        ballUV(unit(0, 1, 1), u, v);
        EXPECT_TRUE(nearRgb(e.look({0, 1, 1}, {0, 0.5f, 0}), u, v, 0));
    }
    {
        Env e("veko_envball", {{"image", "uv.outColor"}, {"bottom", 1}, {"front", 1}}, uvNodes());
        float u, v;
        ballUV(unit(0, -0.5f, 1), u, v);  // the front wall z = 1 is nearer than the floor
        EXPECT_TRUE(nearRgb(e.look({0, -1, 1}, {0, 0.5f, 0}), u, v, 0));
        ballUV(unit(1, 0.5f, 0.5f), u, v);  // x plane only: (1, 0.5, 0.5)
        Env x("veko_envball", {{"image", "uv.outColor"}, {"right", 1}}, uvNodes());
        EXPECT_TRUE(nearRgb(x.look({1, 0, 0}, {0, 0.5f, 0.5f}), u, v, 0));
    }
}

// With reflect off and no finite geometry the ball is looked up along the
// camera's view of the point, in camera space.
TEST(EnvBall, ReflectOffLooksFromTheCamera) {
    Env e("veko_envball", {{"image", "uv.outColor"}, {"reflect", 0}}, uvNodes(), true, true, {0, 0, 5});
    xrState *st = e.ss.state();
    st->hitPoint = {1, 2, 1};
    st->rayDirection = {0, 0, -1};
    float u, v;
    ballUV(unit(1, 2, -4), u, v);
    EXPECT_TRUE(nearRgb(e.call(), u, v, 0));
}

// ---------------------------------------------------------------------------
// Chrome studio.

TEST(EnvChrome, SkyLightsFloorAndGrid) {
    const json base = {{"skyColor", {0.2, 0.2, 0.2, 1}},   {"zenithColor", {0.2, 0.4, 1.2, 1}},
                       {"lightColor", {1, 1, 0.5, 1}},     {"lightWidth", 0.5},
                       {"lightWidthGain", 1},              {"lightWidthOffset", 0},
                       {"lightDepth", 0.5},                {"lightDepthGain", 1},
                       {"lightDepthOffset", 0},            {"realFloor", 0},
                       {"floorColor", {0.6, 0.6, 0.0, 1}}, {"horizonColor", {0.2, 0.2, 0.2, 1}},
                       {"gridColor", {0, 0, 1, 1}},        {"gridWidth", 0.1},
                       {"gridWidthGain", 1},               {"gridWidthOffset", 0.5},
                       {"gridDepth", 0.1},                 {"gridDepthGain", 1},
                       {"gridDepthOffset", 0.5}};
    Env e("veko_envchrome", base);
    // Gradients at the direction's height y: sky (0.2, 0.2 + 0.2 y, 0.2 + y)
    // with blue clamped to 1; floor (0.2 - 0.4 y, 0.2 - 0.4 y, 0.2 + 0.2 y).
    struct Case {
        const char *what;
        xrVector dir;
        bool gradient;
        float r, g, b;
    } cases[] = {
        {"low sky, no lights below 0.1", {0.1f, 0.05f, 0.9f}, true, 0, 0, 0},
        {"on a light", {0.3f, 1, 0.2f}, false, 1, 1, 0.5f},
        {"between lights", {0.7f, 1, 0.2f}, true, 0, 0, 0},
        {"horizon is floor", {0, 0, 1}, false, 0.2f, 0.2f, 0.2f},
        {"no grid above -0.05", {0.03f, -0.04f, 1}, true, 0, 0, 0},
        {"floor between lines", {0.3f, -1, 0.3f}, true, 0, 0, 0},
        {"grid line", {0.45f, -1, 0.3f}, false, 0, 0, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        float r = c.r, g = c.g, b = c.b;
        if (c.gradient) {
            const float y = unit(c.dir.x, c.dir.y, c.dir.z).y;
            if (y > 0) {
                r = 0.2f, g = 0.2f + 0.2f * y, b = std::min(0.2f + y, 1.0f);
            } else {
                r = g = 0.2f - 0.4f * y, b = 0.2f + 0.2f * y;
            }
        }
        const Rgba got = e.look(c.dir);
        EXPECT_TRUE(nearRgb(got, r, g, b));
        EXPECT_NEAR(got.a, lum(got), 1e-6f);
        EXPECT_EQ(e.alpha, got.a);
    }
}

TEST(EnvChrome, RealFloorSeenFromBelowIsBlack) {
    const json p = {{"realFloor", 1}, {"floorAltitude", -1}, {"gridWidth", 0}, {"gridDepth", 0},
                    {"floorColor", {0.5, 0.5, 0.5, 1}}, {"horizonColor", {0.5, 0.5, 0.5, 1}}};
    Env e("veko_envchrome", p);
    e.record()->flags &= ~veko::kFlagDirectEnvLookup;
    const Rgba above = e.lookFrom({0, -1, 0.2f}, {0, 0, 0});
    EXPECT_TRUE(nearRgb(above, 0.5f, 0.5f, 0.5f));
    for (float y : {-1.0f, -1.5f}) {
        const Rgba below = e.lookFrom({0, -1, 0.2f}, {0, y, 0});
        EXPECT_TRUE(nearRgb(below, 0, 0, 0, 0));
        EXPECT_EQ(below.a, 0.0f);
        EXPECT_EQ(e.alpha, 0.0f);
    }
}

// ---------------------------------------------------------------------------
// Constant colour.

TEST(EnvColor, ColourWithoutAlphaAndClearedRecordColours) {
    Env e("veko_envcolor", {{"color", {0.2, 0.4, 0.6, 1}}});
    auto *r = e.record();
    r->fbColor = r->matteColor = {0.5f, 0.5f, 0.5f, 0.5f};
    r->auxColor = {0, 0, 0, 0};
    const Rgba c = e.look({0, 1, 0});
    EXPECT_EQ(e.ok, 1);
    EXPECT_TRUE(nearRgb(c, 0.2f, 0.4f, 0.6f, 0));
    EXPECT_EQ(c.a, 0.0f);
    EXPECT_EQ(e.alpha, vt::kUnset);  // outAlpha is not written
    for (const xrColor &z : {r->fbColor, r->matteColor}) EXPECT_TRUE(z.r == 0 && z.g == 0 && z.b == 0 && z.a == 0);
    EXPECT_TRUE(r->auxColor.r == 1 && r->auxColor.g == 1 && r->auxColor.b == 1 && r->auxColor.a == 1);
}

// ---------------------------------------------------------------------------
// Sky.

// The sky's attenuation uses a polynomial exponential: close to std::exp
// over the whole range it is used on, 0 below it.
TEST(EnvSky, FastExponentialMatchesExp) {
    float worst = 0;
    for (float x = 0; x >= -87; x -= 0.0137f)
        worst = std::max(worst, std::fabs(veko::expNonPositive(x) - std::exp(x)) / std::exp(x));
    EXPECT_LT(worst, 1e-5f);
    EXPECT_EQ(veko::expNonPositive(0), 1.0f);
    EXPECT_EQ(veko::expNonPositive(-100), 0.0f);
    EXPECT_EQ(veko::expNonPositive(-INFINITY), 0.0f);
}

// A sky without scattering (densities 0): only the sun disk and halo.
json clearSky() {
    return {{"totalBrightness", 2},  {"sunColor", {1, 0.8, 0.6, 1}}, {"haloColor", {1, 0.5, 0.25, 1}},
            {"sunElevation", 0.5},   {"sunAzimuth", 0.3},            {"sunSize", 1},
            {"sunBlur", 2},          {"scatterDensity1", 0},         {"scatterDensity2", 0},
            {"skySamples", 0},       {"cloudSamples", 0}};
}

xrVector sunDirection(float elevation, float azimuth) {
    return unit(std::sin(azimuth), std::sin(elevation), -std::cos(azimuth) * std::cos(elevation));
}

// A direction at angle asin(sinTheta) from `sun`.
xrVector offSun(xrVector sun, float sinTheta) {
    const xrVector p = unit(sun.z, 0, -sun.x);  // horizontal, perpendicular to the sun
    const float c = std::sqrt(1 - sinTheta * sinTheta);
    return {c * sun.x + sinTheta * p.x, c * sun.y + sinTheta * p.y, c * sun.z + sinTheta * p.z};
}

TEST(EnvSky, SunDiskHaloAndBlurFloor) {
    const xrVector sun = sunDirection(0.5f, 0.3f);
    const float a = kPi / 180, b = 2 * kPi / 180, w = 0.005f;  // record filterSize 0.001 x 5
    Env e("veko_envsky", clearSky());
    // Inside the disk: the sun colour times the brightness.
    EXPECT_TRUE(nearRgb(e.look(sun), 2, 1.6f, 1.2f));
    EXPECT_TRUE(nearRgb(e.look(offSun(sun, 0.5f * a)), 2, 1.6f, 1.2f));
    // In the halo: sun x halo x brightness x the Gaussian profile.
    const float g = std::exp(-2.0f);
    EXPECT_TRUE(nearRgb(e.look(offSun(sun, a + 2 * b)), 2 * 2 * g, 1.6f * 1 * g, 1.2f * 0.5f * g, 1e-4f));
    // Far from the sun the profile stays at its floor of 4.5e-05.
    EXPECT_TRUE(nearRgb(e.look({-sun.x, sun.y, -sun.z}), 4 * 4.5e-05f, 1.6f * 4.5e-05f, 0.6f * 4.5e-05f, 1e-7f));
    // In the band just outside the disk, the disk fades into the halo.
    {
        const float f = 0.4f, x = f * w / b;
        const float g2 = std::exp(-0.5f * x * x) * f;
        EXPECT_TRUE(nearRgb(e.look(offSun(sun, a + f * w)), 2 * (g2 * 2 + 1 - f), 1.6f * (g2 * 1 + 1 - f),
                            1.2f * (g2 * 0.5f + 1 - f), 3e-3f));
    }
    // A blur of 0 is taken as 0.0001 rad.
    auto halo = [&](float blurDegrees) {
        json p = clearSky();
        p["sunBlur"] = blurDegrees;
        Env s("veko_envsky", p);
        return s.look(offSun(sun, a + 0.00015f));
    };
    const Rgba zero = halo(0), tiny = halo(0.0001f * 180 / kPi), wider = halo(0.01f);
    EXPECT_TRUE(nearRgb(zero, tiny.r, tiny.g, tiny.b, 1e-6f));
    EXPECT_FALSE(nearRgb(zero, wider.r, wider.g, wider.b, 1e-4f));
}

TEST(EnvSky, ScatteredSkyIsBlueAboveBrightAtTheHorizonAndMirroredBelow) {
    const json p = {{"sunElevation", 0.6}, {"sunAzimuth", 2.5}};
    Env e("veko_envsky", p);
    const Rgba zenith = e.look({0, 1, 0}), horizon = e.look({0, 0.02f, 1});
    EXPECT_GT(zenith.b, 1.5f * zenith.r);
    EXPECT_GT(lum(horizon), lum(zenith));
    EXPECT_LT(horizon.b / horizon.r, zenith.b / zenith.r);  // whiter towards the horizon
    for (xrVector d : {xrVector{0.3f, 0.5f, 0.8f}, xrVector{-0.7f, 0.1f, 0.2f}, xrVector{0, 1, 0}}) {
        const Rgba up = e.look(d), down = e.look({d.x, -d.y, d.z});
        EXPECT_TRUE(nearRgb(down, up.r, up.g, up.b, 0)) << "no floor: the sky is mirrored below";
    }
    // A thickness of 0 is taken as 0.0001; an overwhelming density stays
    // finite and non-negative (no light is gained by extinction).
    json thin = p, thinner = p, dense = p;
    thin["atmosphereThickness"] = 0;
    thinner["atmosphereThickness"] = 0.0001;
    dense["scatterDensity2"] = 5000;
    const Rgba t0 = Env("veko_envsky", thin).look({0.2f, 0.4f, 1}),
               t1 = Env("veko_envsky", thinner).look({0.2f, 0.4f, 1});
    EXPECT_TRUE(nearRgb(t0, t1.r, t1.g, t1.b, 0));
    Env d("veko_envsky", dense);
    for (xrVector dir : {xrVector{0, 1, 0}, xrVector{0, 0.01f, 1}, sunDirection(0.6f, 2.5f)}) {
        const Rgba c = d.look(dir);
        EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b)) << c;
        EXPECT_TRUE(c.r >= 0 && c.g >= 0 && c.b >= 0) << c;
    }
}

TEST(EnvSky, FloorTextureAndViewerBelowTheGround) {
    json p = clearSky();
    p["hasFloor"] = 1;
    p["floorColor"] = "uv.outColor";
    p["floorSamples"] = 0;
    const float light = (sunDirection(0.5f, 0.3f).y + 0.2f) * 2 * 0.8f;
    {
        Env e("veko_envsky", p, uvNodes(), true, true, {0, 1, 0});
        // Straight down onto the ground point below the viewer: uv (0.5, 0.5).
        EXPECT_TRUE(nearRgb(e.look({0, -1, 0}), 0.5f * light, 0.5f * light, 0));
        // 45 degrees down along +x: the point 1 unit along x, u = 0.6.
        EXPECT_TRUE(nearRgb(e.look({1, -1, 0}), 0.6f * light, 0.5f * light, 0, 2e-4f));
        // Upwards the floor is not involved.
        EXPECT_TRUE(nearRgb(e.look(sunDirection(0.5f, 0.3f)), 2, 1.6f, 1.2f));
    }
    {
        Env e("veko_envsky", p, uvNodes(), true, true, {0, -0.5f, 0});
        const Rgba red = e.look({0.2f, -1, 0});
        EXPECT_TRUE(nearRgb(red, 1, 0, 0, 0));
        EXPECT_FLOAT_EQ(red.a, 0.3f);
        EXPECT_TRUE(nearRgb(e.look(sunDirection(0.5f, 0.3f)), 2, 1.6f, 1.2f));
    }
}

TEST(EnvSky, OvercastShowsTheCloudColour) {
    json p = clearSky();
    p["hasClouds"] = 1;
    p["cloudTexture"] = 0;
    p["cloudDensity"] = 10;
    p["cloudColor"] = {0.7, 0.7, 0.75, 1};
    Env e("veko_envsky", p);
    EXPECT_TRUE(nearRgb(e.look({0, 1, 0}), 1.4f, 1.4f, 1.5f, 1e-4f));
    // Thin cover (density 0.5, power 1: coverage 0.5) lets half the sky
    // through; away from the sun (and its glow in the clouds) that leaves
    // half the cloud colour.
    p["cloudDensity"] = 0.5;
    p["cloudHaloSize"] = 1;
    Env thin("veko_envsky", p);
    EXPECT_TRUE(nearRgb(thin.look({0, 1, 0}), 0.7f, 0.7f, 0.75f, 1e-3f));
}

TEST(EnvSky, SingularPlacementWarnsAndUsesTheIdentity) {
    json p = clearSky();
    p["placementMatrix"] = json::array({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    {
        Env e("veko_envsky", p);
        EXPECT_EQ(e.initWarnings, std::vector<std::string>{"veko_envsky_init(): Texture placement matrix is singular."});
        const Rgba c = e.look({0, 1, 0});
        EXPECT_TRUE(std::isfinite(c.r) && std::isfinite(c.g) && std::isfinite(c.b));
        EXPECT_TRUE(e.warnings().empty());
    }
    {
        // Without the instance's stored inverse, the call inverts and warns.
        Env e("veko_envsky", p, json::array(), true, false);
        e.look({0, 1, 0});
        EXPECT_EQ(e.warnings(), std::vector<std::string>{"veko_envsky(): Texture placement matrix is singular."});
    }
    EXPECT_EQ(vh::liveAllocations().text.find("environ.cpp"), std::string::npos) << "inverse not released";
}

// ---------------------------------------------------------------------------
// Rendered: rays that leave the scene see the camera's environment.

vh::FrameImage renderScene(const json &objects, const json &camera) {
    json nodes = json::parse(R"([
        {"name": "state", "type": "veko_state"},
        {"name": "env", "type": "veko_envsphere", "params": {"image": "uv.outColor"}},
        {"name": "mirror", "type": "veko_phong",
         "params": {"color": [0, 0, 0, 1], "diffuse": 0, "specularColor": [1, 1, 1, 1], "reflectivity": 1}},
        {"name": "mirrorSG", "type": "veko_shadingengine", "params": {"surfaceShader": "mirror"}}])");
    nodes.push_back(uvRamp("uv"));
    json cam = camera;
    cam["environment"] = "env";
    cam["type"] = "orthographic";
    cam["resolution"] = {3, 3};
    cam["aperture"] = 1;
    const json doc = {{"nodes", nodes}, {"camera", cam}, {"options", {{"trace", true}}},
                      {"state", "state"}, {"objects", objects}};
    auto scene = vh::loadSceneJson(vt::library(), doc, "environ render", ".");
    vh::RenderOptions o;
    o.threads = 1;
    o.progress = false;
    return vh::render(*scene, o);
}

TEST(EnvRender, EyeAndReflectedRaysThatMissSeeTheEnvironment) {
    // Looking along +x past a plane far behind the camera: (0.75, 0.5).
    const json away = json::array({{{"name", "behind"}, {"mesh", {{"type", "plane"}, {"size", {1, 1}}}},
                                    {"transform", {{"translate", {-50, 0, 0}}}}, {"material", "mirrorSG"}}});
    const json side = {{"transform", {{"lookAt", {{"eye", {0, 0, 0}}, {"target", {1, 0, 0}}, {"up", {0, 1, 0}}}}}}};
    const vh::FrameImage eye = renderScene(away, side);
    const float *px = eye.pixel(1, 1);
    EXPECT_TRUE(nearRgb({px[0], px[1], px[2], px[3]}, 0.75f, 0.5f, 0, 1e-4f));

    // A mirror tilted 20 degrees about z under a camera looking down: the
    // reflected ray (-sin 40, cos 40, 0) reads u = 0.25, v = 50/180 + 0.5.
    const json mirror = json::array({{{"name", "m"}, {"mesh", {{"type", "plane"}, {"size", {10, 10}}}},
                                      {"transform", {{"rotate", {0, 0, 20}}}}, {"material", "mirrorSG"}}});
    const json down = {{"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
    const vh::FrameImage refl = renderScene(mirror, down);
    px = refl.pixel(1, 1);
    EXPECT_TRUE(nearRgb({px[0], px[1], px[2], px[3]}, 0.25f, 50.0f / 180.0f + 0.5f, 0, 2e-3f));
}

// The environment leaves a sample's alpha at 0; a camera with "alpha": false
// writes its outputs opaque, colour unchanged.
TEST(EnvRender, CameraAlphaOffWritesOpaqueOutputs) {
    for (bool alpha : {true, false}) {
        SCOPED_TRACE(alpha ? "alpha on" : "alpha off");
        const std::string base = ::testing::TempDir() + "vekobase_environ_" + std::to_string(::getpid()) +
                                 (alpha ? "_a" : "_b");
        const json doc = {
            {"nodes", json::array({{{"name", "state"}, {"type", "veko_state"}},
                                   {{"name", "env"}, {"type", "veko_envcolor"}, {"params", {{"color", {0.2, 0.4, 0.6, 1}}}}}})},
            {"camera", {{"type", "orthographic"}, {"resolution", {2, 2}}, {"environment", "env"}, {"alpha", alpha},
                        {"outputs", {base + ".exr"}}}},
            {"state", "state"},
            {"objects", json::array({{{"name", "far"}, {"mesh", {{"type", "plane"}, {"size", {1, 1}}}},
                                      {"transform", {{"translate", {0, 0, 50}}}}}})}};
        {
            std::ofstream f(base + ".json");
            f << doc.dump();
        }
        vh::RenderOptions o;
        o.threads = 1;
        o.progress = false;
        vh::setVerbosity(1);
        EXPECT_EQ(vh::renderScene(base + ".json", o), 0);
        vh::setVerbosity(2);
        const vh::FrameImage img = vh::readImage(base + ".exr");
        std::remove((base + ".json").c_str());
        std::remove((base + ".exr").c_str());
        ASSERT_EQ(img.width, 2);
        const float *px = img.pixel(0, 0);
        EXPECT_TRUE(nearRgb({px[0], px[1], px[2], px[3]}, 0.2f, 0.4f, 0.6f, 1e-6f));
        EXPECT_EQ(px[3], alpha ? 0.0f : 1.0f);
    }
}

// A surface that may not trace any more calls its environment directly
// along the mirror direction; the environment must not reflect it again.
TEST(EnvRender, DirectEnvironmentCallLooksAlongTheMirrorDirection) {
    vt::Surface s("veko_phong", true, false);
    s.net().load({{"nodes", {uvRamp("uv"), {{"name", "env"}, {"type", "veko_envsphere"},
                                            {"params", {{"image", "uv.outColor"}}}}}}});
    s.ss.options.maxReflectionDepth = 0;
    s.set({{"color", {0, 0, 0, 1}}, {"diffuse", 0}, {"specularColor", {1, 1, 1, 1}}, {"reflectivity", 1},
           {"matteOpacityMode", 1}});
    xrState *st = s.ss.state();
    st->environmentShader = s.net().tagOf("env");
    st->rayDirection = unit(1, 0, -1);
    st->cosView = -std::sqrt(0.5f);
    const veko::MaterialResult r = s.call();
    // Mirror direction (1, 0, 1): u = 0.625, v = 0.5.
    EXPECT_TRUE(nearRgb({r.reflectionPass.r, r.reflectionPass.g, r.reflectionPass.b, 0}, 0.625f, 0.5f, 0));
}

}  // namespace
