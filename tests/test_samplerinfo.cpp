// Sample geometry nodes: sampler info and the uv chooser read on real hits
// of rendered scenes (a material of the test calls the node at the hit),
// light info on host instance records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "support.h"
#include "vekobase.h"
#include "vekohost/render.h"

namespace {

using vh::json;

constexpr float kUnset = 777.0f;
constexpr float kR = 0.70710678f;

vh::ScenePtr load(const json &doc) {
    return vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes");
}

// The node named "probe" of the scene being shaded, called by the material
// at each hit; its result words land in g_out.
vh::Scene *g_scene = nullptr;
std::vector<float> g_out;
std::function<void(xrState *)> g_beforeCall;

void registerProbe() {
    vh::registerNativeMaterial("nodeProbe", [](xrColor *c, xrState *s) {
        vh::Instance *node = vh::networkOf(*g_scene).find("probe");
        g_out.assign(size_t(node->decl->resultBytes / 4), kUnset);
        if (g_beforeCall) g_beforeCall(s);
        vh::callShader(*node, s, g_out.data());
        *c = {1, 1, 1, 1};
        return xrBoolean(1);
    });
}

xrVector vec(vh::Instance &node, const char *name) {
    const vh::Field *f = node.decl->resultField(name);
    EXPECT_NE(f, nullptr) << name;
    xrVector v{};
    if (f) std::memcpy(&v, reinterpret_cast<const char *>(g_out.data()) + f->offset, sizeof v);
    return v;
}
float scalar(vh::Instance &node, const char *name) {
    const vh::Field *f = node.decl->resultField(name);
    float v = 0;
    if (f) std::memcpy(&v, reinterpret_cast<const char *>(g_out.data()) + f->offset, 4);
    return v;
}
int32_t integer(vh::Instance &node, const char *name) {
    const vh::Field *f = node.decl->resultField(name);
    int32_t v = 0;
    if (f) std::memcpy(&v, reinterpret_cast<const char *>(g_out.data()) + f->offset, 4);
    return v;
}

void expectVec(const xrVector &got, xrVector want, const std::string &what, float tol = 1e-4f) {
    EXPECT_NEAR(got.x, want.x, tol) << what;
    EXPECT_NEAR(got.y, want.y, tol) << what;
    EXPECT_NEAR(got.z, want.z, tol) << what;
}

// ---------------------------------------------------------------------------
// A ground plane (4 x 4, uv u along +x, v along -z) moved by 0.5 in x, seen
// by a perspective camera from `eye`, aimed at the world origin.
class SamplerInfo : public ::testing::Test {
protected:
    static void SetUpTestSuite() { registerProbe(); }

    void open(xrVector eye, xrVector up = {0, 1, 0}) {
        const json doc = {
            {"nodes", {{{"name", "probe"}, {"type", "veko_samplerinfo"}}}},
            {"camera",
             {{"type", "perspective"},
              {"resolution", {16, 16}},
              {"transform", {{"lookAt", {{"eye", {eye.x, eye.y, eye.z}}, {"target", {0, 0, 0}}, {"up", {up.x, up.y, up.z}}}}}}}},
            {"objects",
             {{{"name", "ground"},
               {"mesh", {{"type", "plane"}, {"size", 4}}},
               {"transform", {{"translate", {0.5, 0, 0}}}},
               {"material", "native:nodeProbe"}}}}};
        scene = load(doc);
        g_scene = scene.get();
        renderer = std::make_unique<vh::Renderer>(*scene, 1);
        node = vh::networkOf(*scene).find("probe");
    }
    void TearDown() override {
        renderer.reset();
        scene.reset();
        g_scene = nullptr;
    }
    // Shades raster (x, y) with the given parameters.
    void shade(int space, int skipMask, float x = 8, float y = 8) {
        node->setLiteral("space", space);
        node->setLiteral("skipMask", skipMask);
        ASSERT_TRUE(renderer->shadeSample(0, x, y, 0, 0).hit);
    }
    vh::ScenePtr scene;
    std::unique_ptr<vh::Renderer> renderer;
    vh::Instance *node = nullptr;
};

TEST_F(SamplerInfo, ReportsTheHitInEachSpace) {
    open({0, 3, 3});  // 45 degrees above the ground, looking at the origin
    struct Case {
        int space;
        xrVector normal, rayDirection, tangentU, tangentV;
    };
    const Case cases[] = {
        {0, {0, kR, kR}, {0, 0, -1}, {1, 0, 0}, {0, kR, -kR}},     // camera
        {1, {0, 1, 0}, {0, -kR, -kR}, {1, 0, 0}, {0, 0, -1}},      // internal
        {2, {0, 1, 0}, {0, -kR, -kR}, {1, 0, 0}, {0, 0, -1}},      // object (moved, not turned)
    };
    for (const Case &c : cases) {
        const std::string what = "space " + std::to_string(c.space);
        shade(c.space, 0);
        expectVec(vec(*node, "pointCamera"), {0, 0, -3 * std::sqrt(2.0f)}, what);
        expectVec(vec(*node, "pointObj"), {-0.5f, 0, 0}, what);
        expectVec(vec(*node, "pointWorld"), {0, 0, 0}, what);
        expectVec(vec(*node, "normal"), c.normal, what);
        expectVec(vec(*node, "rayDirection"), c.rayDirection, what);
        expectVec(vec(*node, "tangentU"), c.tangentU, what);
        expectVec(vec(*node, "tangentV"), c.tangentV, what);
        expectVec(vec(*node, "uvCoord"), {0.375f, 0.5f, 0}, what);
        expectVec(vec(*node, "pixelCenter"), {8.5f, 8.5f, 0}, what);
        EXPECT_EQ(integer(*node, "flippedNormal"), 0) << what;
        EXPECT_NEAR(scalar(*node, "facingRatio"), kR, 1e-4) << what;
    }
    // The pixel centre of a sample off the centre.
    shade(1, 0, 5.7f, 9.2f);
    expectVec(vec(*node, "pixelCenter"), {5.5f, 9.5f, 0}, "pixel centre");
}

TEST_F(SamplerInfo, FacingRatioAndFlippedNormal) {
    open({0, 3, 0}, {0, 0, -1});  // straight down
    shade(0, 0);
    EXPECT_NEAR(scalar(*node, "facingRatio"), 1.0f, 1e-4);
    EXPECT_EQ(integer(*node, "flippedNormal"), 0);
    TearDown();
    open({0, -3, 3});  // from below: the normal is flipped to face the ray
    shade(1, 0);
    EXPECT_EQ(integer(*node, "flippedNormal"), 1);
    expectVec(vec(*node, "normal"), {0, -1, 0}, "flipped normal");
    EXPECT_NEAR(scalar(*node, "facingRatio"), kR, 1e-4);
    TearDown();
    open({0, 0.01f, 3});  // grazing
    shade(0, 0);
    EXPECT_NEAR(scalar(*node, "facingRatio"), 0.0f, 0.01);
}

TEST_F(SamplerInfo, SkipMaskAndUnknownSpaceLeaveOutputsUnwritten) {
    open({0, 3, 3});
    struct Output {
        const char *name;
        int32_t bits;
        bool spaceDependent;
    };
    const Output outputs[] = {
        {"pointCamera", 0x01, false}, {"pointObj", 0x02, false},      {"pointWorld", 0x04, false},
        {"normal", 0x08, true},       {"uvCoord", 0x10, false},       {"rayDirection", 0x20, true},
        {"tangentU", 0xC0, true},     {"tangentV", 0xC0, true},       {"pixelCenter", 0x100, false},
        {"flippedNormal", 0x200, false}, {"facingRatio", 0x400, false},
    };
    struct Case {
        int space;
        int32_t mask;
    };
    const Case cases[] = {{1, 0x7FF}, {1, 0x40}, {1, 0x80}, {1, 0xC0}, {0, 0x08 | 0x20 | 0x400}, {2, 0x1 | 0x100}, {7, 0}};
    for (const Case &c : cases) {
        shade(c.space, c.mask);
        for (const Output &o : outputs) {
            const bool skipped = (c.mask & o.bits) == o.bits || (o.spaceDependent && c.space > 2);
            const vh::Field *f = node->decl->resultField(o.name);
            ASSERT_NE(f, nullptr) << o.name;
            const float first = g_out[size_t(f->offset / 4)];
            EXPECT_EQ(first == kUnset, skipped) << o.name << " with mask " << c.mask << ", space " << c.space;
        }
    }
}

// ---------------------------------------------------------------------------
// Two quads with two texture spaces side by side, seen from above.
class UvChooser : public ::testing::Test {
protected:
    static void SetUpTestSuite() { registerProbe(); }
    void SetUp() override {
        // Space 1 is space 0 shrunk to the middle half.
        const json quad = {{"positions", {-2, 0, 2, 2, 0, 2, 2, 0, -2, -2, 0, -2}},
                           {"uvs", {{0, 0, 1, 0, 1, 1, 0, 1}, {0.25, 0.25, 0.75, 0.25, 0.75, 0.75, 0.25, 0.75}}},
                           {"triangles", {0, 1, 2, 0, 2, 3}}};
        const json pairs = {{{"instance", "a"}, {"uvSetIndex", 5}},   // no such space: skipped
                            {{"instance", "b"}, {"uvSetIndex", -1}},  // no such space: skipped
                            {{"instance", "a"}, {"uvSetIndex", 1}}};
        const json doc = {
            {"nodes",
             {{{"name", "state"}, {"type", "veko_state"}},
              {{"name", "probe"}, {"type", "veko_uvchooser"}, {"params", {{"uvSets", pairs}}}}}},
            {"state", "state"},
            {"camera",
             {{"type", "orthographic"},
              {"resolution", {16, 16}},
              {"aperture", 12},
              {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"objects",
             {{{"name", "a"}, {"mesh", quad}, {"transform", {{"translate", {-2.5, 0, 0}}}}, {"material", "native:nodeProbe"}},
              {{"name", "b"}, {"mesh", quad}, {"transform", {{"translate", {2.5, 0, 0}}}}, {"material", "native:nodeProbe"}}}}};
        scene = load(doc);
        g_scene = scene.get();
        renderer = std::make_unique<vh::Renderer>(*scene, 1);
        node = vh::networkOf(*scene).find("probe");
    }
    void TearDown() override {
        g_beforeCall = nullptr;
        renderer.reset();
        scene.reset();
        g_scene = nullptr;
    }
    // Shades the point (1, 0, 0.5) of quad a or b (local): uv (0.75, 0.375)
    // in space 0, (0.625, 0.4375) in space 1, on the triangle (0, 1, 2).
    void shadeQuad(bool a) {
        const float x = ((a ? -1.5f : 3.5f) / 6 + 1) * 8, y = (-0.5f / 6 + 1) * 8;
        ASSERT_TRUE(renderer->shadeSample(0, x, y, 0, 0).hit);
    }
    vh::ScenePtr scene;
    std::unique_ptr<vh::Renderer> renderer;
    vh::Instance *node = nullptr;
};

TEST_F(UvChooser, ChoosesTheSpaceAssignedToTheInstance) {
    shadeQuad(true);
    expectVec(vec(*node, "outUV"), {0.625f, 0.4375f, 0}, "a: space 1");
    expectVec(vec(*node, "vertexUV1"), {0.25f, 0.25f, 0}, "a: vertex 1");
    expectVec(vec(*node, "vertexUV2"), {0.75f, 0.25f, 0}, "a: vertex 2");
    expectVec(vec(*node, "vertexUV3"), {0.75f, 0.75f, 0}, "a: vertex 3");
    shadeQuad(false);
    expectVec(vec(*node, "outUV"), {0.75f, 0.375f, 0}, "b: unassigned, space 0");
    expectVec(vec(*node, "vertexUV1"), {0, 0, 0}, "b: vertex 1");
    expectVec(vec(*node, "vertexUV2"), {1, 0, 0}, "b: vertex 2");
    expectVec(vec(*node, "vertexUV3"), {1, 1, 0}, "b: vertex 3");
}

TEST_F(UvChooser, CarriesTheBumpOffsetOfSpaceZeroOver) {
    // A 2D bump evaluation moved space 0 by (0.1, -0.05).
    auto bumping = [](bool noTransfer) {
        return [noTransfer](xrState *s) {
            veko::BaseStateRecord *rec = veko::lookupStateRecord(s);
            ASSERT_NE(rec, nullptr);
            rec->flags |= 0x01;
            s->texCoords[0].x += 0.1f;
            s->texCoords[0].y -= 0.05f;
            vh::networkOf(*g_scene).find("probe")->setLiteral("noOffsetTransfer", noTransfer);
        };
    };
    g_beforeCall = bumping(false);
    shadeQuad(true);
    expectVec(vec(*node, "outUV"), {0.725f, 0.3875f, 0}, "offset carried over");
    // Unless the transfer is switched off (space 1 has its own derivatives).
    g_beforeCall = bumping(true);
    shadeQuad(true);
    expectVec(vec(*node, "outUV"), {0.625f, 0.4375f, 0}, "no transfer");
    // Space 0 itself is returned as the bump left it.
    g_beforeCall = bumping(false);
    shadeQuad(false);
    expectVec(vec(*node, "outUV"), {0.85f, 0.325f, 0}, "space 0");
}

TEST(UvChooserStandalone, WithoutTextureSpacesTheOutputIsZero) {
    vh::Network net(vt::library());
    net.load({{"nodes", {{{"name", "c"}, {"type", "veko_uvchooser"}}}}});
    vh::StandaloneState ss;  // no scene: the texture-space count query fails
    net.init(ss.state());
    std::vector<float> out(12, kUnset);
    ASSERT_EQ(vh::callShader(*net.find("c"), ss.state(), out.data()), 1);
    for (float v : out) EXPECT_EQ(v, 0.0f);
}

// ---------------------------------------------------------------------------
TEST(LightInfo, PositionDirectionAndDistance) {
    // Light instance: scaled by 2, turned 90 degrees about x (its -z axis
    // points up), moved to (1, 2, 3).
    vh::InstanceRecord rec{};
    const float toWorld[16] = {2, 0, 0, 0, 0, 0, 2, 0, 0, -2, 0, 0, 1, 2, 3, 1};
    std::memcpy(rec.toWorld, toWorld, sizeof toWorld);
    const xrTag light = vh::Database::get().create(xrDB_INSTANCE, &rec, sizeof rec);

    struct Case {
        const char *what;
        xrTag light;
        bool alongAxis;
        xrVector position, direction;
        float distance;
    };
    const Case cases[] = {
        {"light", light, false, {1, 2, 3}, {0, 1, 0}, 5.0f},
        {"light, along its axis", light, true, {1, 2, 3}, {0, 1, 0}, 3.0f},
        {"no light", 0, false, {0, 0, 0}, {0, 0, -1}, std::sqrt(1.0f + 25 + 49)},
        {"no light, along -z", 0, true, {0, 0, 0}, {0, 0, -1}, -7.0f},
    };
    for (const Case &c : cases) {
        vh::Network net(vt::library());
        net.load({{"nodes",
                   {{{"name", "li"},
                     {"type", "veko_lightinfo"},
                     {"params", {{"light", c.light}, {"sampleDistanceAlongAxis", c.alongAxis}}}}}}});
        vh::StandaloneState ss;
        ss.state()->hitPoint = {1, 5, 7};
        net.init(ss.state());
        vh::Instance &node = *net.find("li");
        g_out.assign(size_t(node.decl->resultBytes / 4), kUnset);
        ASSERT_EQ(vh::callShader(node, ss.state(), g_out.data()), 1);
        expectVec(vec(node, "lightPosition"), c.position, c.what, 1e-5f);
        expectVec(vec(node, "lightDirection"), c.direction, c.what, 1e-5f);
        EXPECT_NEAR(scalar(node, "sampleDistance"), c.distance, 1e-5) << c.what;
    }
    vh::Database::get().remove(light);
}

}  // namespace
