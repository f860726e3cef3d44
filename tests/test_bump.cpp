// Bump mapping through a render: the bump node is called by a native
// material on the render's own state (texture spaces, object-space surface
// derivatives, object transforms), with the height taken from the placed uv
// so that its slope is known exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <vekohost/render.h>

#include "support.h"
#include "vekobase.h"

namespace {

using vh::json;

struct Seen {
    xrVector n{};
    xrVector uvBefore{}, uvAfter{};
    xrVector pointBefore{}, pointAfter{};
    int32_t flagsBefore = -1, flagsAfter = -1;
};
Seen g_seen;
vh::Instance *g_node = nullptr;

void installProbe() {
    vh::registerNativeMaterial("bumpprobe", [](xrColor *c, xrState *s) {
        g_seen.uvBefore = s->texCoords[0];
        g_seen.pointBefore = s->hitPoint;
        auto *rec = static_cast<veko::BaseStateRecord *>(xr_shaderstate_get(s, "vekobase", nullptr));
        g_seen.flagsBefore = rec ? rec->flags : -1;
        std::vector<float> out(4, 777.0f);
        vh::callShader(*g_node, s, out.data());
        std::memcpy(&g_seen.n, out.data(), sizeof(xrVector));
        g_seen.uvAfter = s->texCoords[0];
        g_seen.pointAfter = s->hitPoint;
        g_seen.flagsAfter = rec ? rec->flags : -1;
        *c = {1, 1, 1, 1};
        return xrBoolean(1);
    });
}

// A 4 x 4 plane (u along object +x, v along object -z) under `transform`,
// seen straight down; the bump node "b" with `params`, a placement "p" on
// texture space 0, a second placement "q" shifted by half a repeat, and
// "tu" giving the vector (0, 0, -1).
xrVector bumpNormal(const std::string &type, const json &params, const json &transform = json::object(),
                    const json &userData = nullptr, bool stateShader = false) {
    installProbe();
    json nodes = {{{"name", "p"}, {"type", "veko_place2dtex"}},
                  {{"name", "q"}, {"type", "veko_place2dtex"}, {"params", {{"offset", {-0.5, 0, 0}}}}},
                  {{"name", "tu"}, {"type", "veko_vectorproduct"}, {"params", {{"operation", 0}, {"input1", {0, 0, -1}}}}},
                  {{"name", "b"}, {"type", type}, {"params", params}}};
    json object = {{"name", "plane"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"transform", transform},
                   {"material", "native:bumpprobe"}};
    if (!userData.is_null()) object["userData"] = userData;
    json doc = {{"camera", {{"type", "orthographic"}, {"resolution", {4, 4}}, {"aperture", 4}, {"clip", {0.1, 100}},
                            {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
                {"nodes", nodes},
                {"objects", {object}}};
    if (stateShader) {
        doc["nodes"].push_back({{"name", "st"}, {"type", "veko_state"}});
        doc["state"] = "st";
    }
    auto scene = vh::loadSceneJson(vt::library(), doc, "bump.json", ".");
    g_node = vh::networkOf(*scene).find("b");
    vh::Renderer r(*scene, 1);
    // The centre of the image: the plane's centre, uv (0.5, 0.5).
    EXPECT_TRUE(r.shadeSample(0, 2, 2, 0, 0).hit);
    EXPECT_NEAR(g_seen.uvBefore.x, 0.5f, 1e-5);
    return g_seen.n;
}

::testing::AssertionResult sameDirection(const xrVector &got, xrVector want, float tol = 1e-5f) {
    const float l = std::sqrt(want.x * want.x + want.y * want.y + want.z * want.z);
    want = {want.x / l, want.y / l, want.z / l};
    if (std::fabs(got.x - want.x) < tol && std::fabs(got.y - want.y) < tol && std::fabs(got.z - want.z) < tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got (" << got.x << ", " << got.y << ", " << got.z << "), want ("
                                         << want.x << ", " << want.y << ", " << want.z << ")";
}

// Height u (or v) over a step of du = 2 * 0.005: b1 - b2 = -2 du, so the
// slope term is -2 du * 0.02 / du = -0.04 whatever the step.
TEST(Bump2d, TiltsTheNormalByTheHeightSlope) {
    const json turned = {{"rotate", {0, 90, 0}}};  // object +x becomes world -z, object -z world -x
    struct Case {
        const char *what;
        json params;
        json transform;
        xrVector want;
    } cases[] = {
        {"constant height", {{"bumpValue", 0.3}}, json::object(), {0, 1, 0}},
        {"slope along u", {{"bumpValue", "p.outUV.x"}}, json::object(), {-0.04f, 1, 0}},
        {"slope along v", {{"bumpValue", "p.outUV.y"}}, json::object(), {0, 1, 0.04f}},
        {"deeper", {{"bumpValue", "p.outUV.x"}, {"bumpDepth", 2.5}}, json::object(), {-0.1f, 1, 0}},
        {"negative depth", {{"bumpValue", "p.outUV.x"}, {"bumpDepth", -1.0}}, json::object(), {0.04f, 1, 0}},
        {"depth 0", {{"bumpValue", "p.outUV.x"}, {"bumpDepth", 0.0}}, json::object(), {0, 1, 0}},
        {"turned object: tangents in world space", {{"bumpValue", "p.outUV.x"}}, turned, {0, 1, 0.04f}},
        {"turned object, along v", {{"bumpValue", "p.outUV.y"}}, turned, {0.04f, 1, 0}},
        {"uv set beyond the surface's: set 0", {{"bumpValue", "p.outUV.x"}, {"uvSet", 5}}, json::object(),
         {-0.04f, 1, 0}},
        {"connected tangent replaces the basis",
         {{"bumpValue", "p.outUV.x"}, {"tangentU", "tu.output"}}, json::object(), {0, 1, 0.04f}},
        // uv from q is 0 at the centre: the minus sample is taken at u = 0
        // (height 0 instead of -0.01) and the u scale halves to 0.01.
        {"adjusted edge", {{"bumpValue", "p.outUV.x"}, {"uvCoord", "q.outUV"}, {"adjustEdges", 1}}, json::object(),
         {-0.01f, 1, 0}},
        {"edge not adjusted", {{"bumpValue", "p.outUV.x"}, {"uvCoord", "q.outUV"}}, json::object(), {-0.04f, 1, 0}},
    };
    for (const Case &c : cases) {
        const xrVector n = bumpNormal("veko_bump2d", c.params, c.transform);
        EXPECT_TRUE(sameDirection(n, c.want)) << c.what;
        // The moved texture coordinate is put back.
        EXPECT_EQ(g_seen.uvAfter.x, g_seen.uvBefore.x) << c.what;
        EXPECT_EQ(g_seen.uvAfter.y, g_seen.uvBefore.y) << c.what;
    }
}

TEST(Bump2d, RestoresTheRecordFlagAndUsesTheFootprint) {
    // With the state shader the step comes from the record's footprint; a
    // linear height gives the same slope (the smaller step costs precision).
    const xrVector n = bumpNormal("veko_bump2d", {{"bumpValue", "p.outUV.x"}}, json::object(), nullptr, true);
    EXPECT_TRUE(sameDirection(n, {-0.04f, 1, 0}, 2e-4f));
    EXPECT_GE(g_seen.flagsBefore, 0);
    EXPECT_EQ(g_seen.flagsAfter, g_seen.flagsBefore);
}

TEST(Bump3d, TiltsByTheSlopeAlongTheMovedPoint) {
    // Constant height: unchanged, and the hit point is put back.
    xrVector n = bumpNormal("veko_bump3d", {{"bumpValue", 0.7}});
    EXPECT_TRUE(sameDirection(n, {0, 1, 0}));
    EXPECT_EQ(g_seen.pointAfter.x, g_seen.pointBefore.x);
    // The object's user data names texture space 0 as its reference point:
    // the point moves there by +-o along the tangents, so a height that reads
    // u changes by 2 o along u: gU = -2 o * 0.1 / o = -0.2.
    n = bumpNormal("veko_bump3d", {{"bumpValue", "p.outUV.x"}}, json::object(), json::array({0}));
    EXPECT_TRUE(sameDirection(n, {-0.2f, 1, 0}));
    EXPECT_EQ(g_seen.uvAfter.x, g_seen.uvBefore.x);
    n = bumpNormal("veko_bump3d", {{"bumpValue", "p.outUV.x"}, {"bumpDepth", 0.0}}, json::object(), json::array({0}));
    EXPECT_TRUE(sameDirection(n, {0, 1, 0}));
    // With the state shader the record's bit 0x20 is set during the lookups
    // and restored after.
    n = bumpNormal("veko_bump3d", {{"bumpValue", "p.outUV.x"}}, json::object(), json::array({0}), true);
    EXPECT_TRUE(sameDirection(n, {-0.2f, 1, 0}));
    EXPECT_EQ(g_seen.flagsAfter, g_seen.flagsBefore);
}

}  // namespace
