// The shading engine with a real surface shader (veko_lambert) and the real
// state shader setting up the per-ray record, through the reference host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support.h"
#include "vekobase.h"
#include "vekohost/render.h"

namespace {

using vh::json;
using veko::BaseStateRecord;

constexpr float kUnset = 777.0f;
constexpr uint32_t kMagic = 0x56656B6Fu;

// A lambert that shows only its incandescence (there are no lights): the
// colour is (0.2, 0.4, 0.6) and the matte is `matte` in every channel.
json glowingLambert(float matte, float glow = 0.0f) {
    return {{"color", {0, 0, 0, 1}},
            {"incandescence", {0.2, 0.4, 0.6, 0}},
            {"glowIntensity", glow},
            {"matteOpacityMode", 1},
            {"matteOpacity", matte}};
}

class Engine : public ::testing::Test {
protected:
    vh::StandaloneState ss;
    std::unique_ptr<vh::Network> net;
    vh::Instance *st = nullptr, *surf = nullptr, *sg = nullptr;
    xrBoolean ok = 0;
    std::vector<std::string> warnings;

    void SetUp() override {
        vt::library();
        vt::messages();
        net = std::make_unique<vh::Network>(vt::library());
    }
    void TearDown() override {
        net.reset();
        EXPECT_EQ(vh::Database::get().totalPins(), 0);
        vt::messages();
    }
    xrState *state() { return ss.state(); }

    void build(const json &surface, const json &engine = json::object(), bool connect = true) {
        st = &net->add("st", "veko_state");
        surf = &net->add("surf", "veko_lambert");
        sg = &net->add("sg", "veko_shadingengine");
        for (auto &[k, v] : surface.items()) surf->setLiteral(k, v);
        for (auto &[k, v] : engine.items()) sg->setLiteral(k, v);
        if (connect) net->connect(*sg, "surfaceShader", "surf");
        net->init(state());
    }
    xrBoolean stateOp(int opcode, int flag = 0, xrColor *result = nullptr) {
        int32_t arg[2] = {opcode, flag};
        xrColor scratch{};
        return vh::callShader(*st, state(), result ? result : &scratch, arg);
    }
    // The per-ray record set up by the state shader for an eye ray.
    void newEyeRay() {
        ASSERT_EQ(stateOp(0), 1);
        state()->rayKind = xrRAY_EYE;
        ASSERT_EQ(stateOp(2), 1);
        ss.nextSample();
    }
    BaseStateRecord *rec() { return veko::lookupStateRecord(state()); }

    xrColor shade() {
        vt::messages();
        xrColor c{kUnset, kUnset, kUnset, kUnset};
        ok = vh::callShader(*sg, state(), &c);
        warnings.clear();
        for (auto &m : vt::messages())
            if (m.severity == vh::Severity::Warning) warnings.push_back(m.text);
        return c;
    }
};

TEST_F(Engine, RefusesWithoutRecordOrSurfaceShader) {
    struct Case {
        const char *what;
        bool record, connect;
        int32_t connectionWord;  // written over the connection word when nonzero
        const char *warning;
    };
    const Case cases[] = {
        {"no record", false, true, 0, "veko_shadingengine(): Internal state error."},
        {"not connected", true, false, 0, "veko_shadingengine(): Cannot evaluate surface shader."},
        {"connection word -1", true, true, -1, "veko_shadingengine(): Cannot evaluate surface shader."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        build(glowingLambert(1.0f), json::object(), c.connect);
        if (c.record) newEyeRay();
        if (c.connectionWord) {
            char *word = static_cast<char *>(sg->paramAddress("surfaceShader")) + sg->record.connectionOffset;
            std::memcpy(word, &c.connectionWord, 4);
        }
        const xrColor out = shade();
        EXPECT_EQ(ok, 0);
        ASSERT_EQ(warnings.size(), 1u);
        EXPECT_EQ(warnings[0], c.warning);
        EXPECT_EQ(out.r, kUnset);
        EXPECT_EQ(out.a, kUnset);
    }
}

// While the material runs, the shaders it calls on its ray reach the record
// without a host lookup; once it returns (also after refusing) the record is
// looked up again, so a record removed afterwards is seen as gone.
TEST_F(Engine, RecordNotServedAfterTheCall) {
    using StateItemGet = xrBoolean (*)(xrState *, ...);
    auto get = reinterpret_cast<StateItemGet>(vt::library().symbol("vekobase_stateitem_get"));
    ASSERT_NE(get, nullptr);
    for (const bool connect : {true, false}) {
        SCOPED_TRACE(connect ? "shaded" : "refused");
        TearDown();
        SetUp();
        build(glowingLambert(1.0f), json::object(), connect);
        newEyeRay();
        shade();
        EXPECT_EQ(ok, connect ? 1 : 0);
        void *p = nullptr;
        ASSERT_EQ(get(state(), 1, &p, 0), 1);
        EXPECT_EQ(p, rec());
        // The item goes away in the host, past the state shader.
        ASSERT_EQ(xr_shaderstate_set(state(), "vekobase", nullptr, 0, 2), 1);
        p = reinterpret_cast<void *>(1);
        EXPECT_EQ(get(state(), 1, &p, 0), 0);
        EXPECT_EQ(p, reinterpret_cast<void *>(1));
    }
}

// An opaque surface: its colour, alpha by alphaMode, matte and transparency
// left in the record, glow into the frame-buffer colour.
TEST_F(Engine, OpaqueSurface) {
    struct Case {
        int alphaMode;
        float glow;
    };
    for (const Case c : {Case{0, 0.0f}, Case{1, 0.0f}, Case{2, 2.0f}, Case{7, 0.001f}}) {
        SCOPED_TRACE(testing::Message() << "alphaMode " << c.alphaMode << " glow " << c.glow);
        TearDown();
        SetUp();
        build(glowingLambert(0.6f, c.glow), {{"alphaMode", c.alphaMode}});
        newEyeRay();
        const xrColor out = shade();
        ASSERT_EQ(ok, 1);
        EXPECT_TRUE(warnings.empty());
        EXPECT_FLOAT_EQ(out.r, 0.2f);
        EXPECT_FLOAT_EQ(out.g, 0.4f);
        EXPECT_FLOAT_EQ(out.b, 0.6f);
        const BaseStateRecord *r = rec();
        if (c.alphaMode == 0) {
            EXPECT_FLOAT_EQ(out.a, 0.6f);
            EXPECT_FLOAT_EQ(r->matteColor.g, 0.6f);
        } else if (c.alphaMode == 1) {
            // Alpha from the surface colour, which also becomes the matte.
            EXPECT_NE(out.a, kUnset);
            EXPECT_EQ(r->matteColor.r, out.a);
            EXPECT_EQ(r->matteColor.g, out.a);
            EXPECT_EQ(r->matteColor.b, out.a);
        } else {
            EXPECT_EQ(out.a, 1.0f);
            EXPECT_FLOAT_EQ(r->matteColor.b, 0.6f);
        }
        EXPECT_EQ(r->auxColor.r, 0.0f);
        EXPECT_EQ(r->auxColor.b, 0.0f);
        // Glow (colour x intensity) above 0.004 in some channel.
        if (c.glow > 1.0f) {
            EXPECT_FLOAT_EQ(r->fbColor.r, 0.4f);
            EXPECT_FLOAT_EQ(r->fbColor.g, 0.8f);
            EXPECT_FLOAT_EQ(r->fbColor.b, 1.2f);
            EXPECT_EQ(r->fbColor.a, 1.0f);
        } else {
            EXPECT_EQ(r->fbColor.r, 0.0f);
            EXPECT_EQ(r->fbColor.a, 0.0f);
        }
    }
}

// A black hole cuts the alpha and leaves zero matte for the surfaces in
// front.
TEST_F(Engine, BlackHole) {
    build({{"matteOpacityMode", 0}, {"incandescence", {0.5, 0.5, 0.5, 0}}});
    newEyeRay();
    rec()->matteColor = {0.7f, 0.7f, 0.7f, 0.7f};
    const xrColor out = shade();
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(out.r, 0.0f);
    EXPECT_EQ(out.a, 0.0f);
    const BaseStateRecord *r = rec();
    EXPECT_EQ(r->matteColor.r, 0.0f);
    EXPECT_EQ(r->matteColor.g, 0.0f);
    EXPECT_EQ(r->matteColor.b, 0.0f);
    EXPECT_EQ(r->matteColor.a, 0.0f);
}

// With the camera's depth stack on, a surface that stops the ray pushes a
// node (transparency luminance, cameraAxis . (hitPoint, 1)); the state
// shader turns it into the sample depth. Only while the mode flag is set.
TEST_F(Engine, DepthNodeForOpaqueSurface) {
    float matrix[16] = {};
    matrix[0] = 0.5f;   // cameraAxis = (0.5, 0, 0, 2)
    matrix[12] = 2.0f;
    matrix[15] = 1.0f;
    for (int flag : {1, 0}) {
        SCOPED_TRACE(flag);
        TearDown();
        SetUp();
        vh::InstanceRecord cam{};
        std::memcpy(cam.toWorld, matrix, sizeof matrix);
        state()->cameraInstanceTag = vh::Database::get().create(xrDB_INSTANCE, &cam, sizeof cam);
        std::vector<uint32_t> block(13, 0);
        block[9] = 1;  // depth stack on, threshold 1
        ss.camera.cameraDataTag = vh::createUserData(kMagic, block);
        build(glowingLambert(1.0f));
        newEyeRay();
        state()->modeFlag = static_cast<uint8_t>(flag);
        ss.setSurfaceSample(0.5f, 0.25f);
        shade();
        ASSERT_EQ(ok, 1);
        const veko::DepthStack &stack = rec()->depthStack;
        if (!flag) {
            EXPECT_EQ(stack.count, 0);
            EXPECT_EQ(stack.top, nullptr);
            continue;
        }
        ASSERT_EQ(stack.count, 1);
        ASSERT_NE(stack.top, nullptr);
        EXPECT_EQ(stack.top->factor, 0.0f);
        EXPECT_FLOAT_EQ(stack.top->depth, 0.5f * 0.5f + 2.0f);
        ASSERT_EQ(stateOp(3, 1), 1);
        EXPECT_DOUBLE_EQ(state()->hitDistance, 1.0 / 2.25);
    }
}

// Everything the engine changes for the call is put back: the normal and
// cosine of a grazing hit, the texture coordinates and the footprints.
TEST_F(Engine, StateRestoredAfterGrazingHit) {
    build(glowingLambert(1.0f));
    newEyeRay();
    xrState *s = state();
    s->shadingNormal = {0.0f, 1.0f, 0.0f};
    s->rayDirection = {0.0f, 0.0f, -1.0f};
    s->cosView = 0.0f;
    xrVector *coords = s->texCoords;
    rec()->footprintU = {1.0f, 2.0f, 3.0f};
    rec()->footprintV = {4.0f, 5.0f, 6.0f};
    shade();
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(s->shadingNormal.y, 1.0f);
    EXPECT_EQ(s->shadingNormal.z, 0.0f);
    EXPECT_EQ(s->cosView, 0.0f);
    EXPECT_EQ(s->texCoords, coords);
    EXPECT_EQ(rec()->footprintU.y, 2.0f);
    EXPECT_EQ(rec()->footprintV.z, 6.0f);
    EXPECT_EQ(rec()->rayWeight.r, 1.0f);
}


// ---------------------------------------------------------------------------
// In a rendered scene: an orthographic camera at y = 1 looking down at
// horizontal planes, traced by the reference renderer.

vh::ScenePtr loadScene(const json &doc) { return vh::loadSceneJson(vt::library(), doc, "test.json"); }

json topCamera(const json &userData = json()) {
    json cam = {{"type", "orthographic"},
                {"resolution", {16, 16}},
                {"aperture", 4},
                {"clip", {0.1, 100}},
                {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
    if (!userData.is_null()) cam["userData"] = userData;
    return cam;
}

json plane(const std::string &name, float y, const std::string &material) {
    return {{"name", name},
            {"mesh", {{"type", "plane"}, {"size", 4}}},
            {"transform", {{"translate", {0, y, 0}}}},
            {"material", material}};
}

// Options block words 1 to 10 (the template's first ten words) with the
// given minimum ray weight and userWord5.
json optionsWords(double minRayWeight, int userWord5) {
    return {0, 20, 1, 0.005, 1, userWord5, minRayWeight, 0.0, 20, 20};
}

// Camera block: the depth stack on with threshold 1.
const json kDepthStackOn = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// A front plane over an opaque green back plane. The front shows red
// incandescence (0.1, 0, 0) with the given transparency and matte; the back
// adds (0, 0.5, 0) x transparency when the ray goes on through the front.
TEST(EngineRender, TransparentSurfaces) {
    struct Case {
        const char *what;
        float transparency, threshold, matte;
        double minRayWeight;
        int userWord5;
        bool continued;
        bool frontDepth;  // the sample depth is the front plane's
    };
    const Case cases[] = {
        {"see-through: continued, no depth node", 1.0f, 0.1f, 0.0f, 0.0, 0, true, false},
        {"transparent: traced on, depth node pushed", 0.5f, 0.1f, 0.0f, 0.0, 0, true, true},
        {"weight above the cut-off", 0.3f, 0.0f, 1.0f, 0.2, 1, true, true},
        {"weight at the cut-off: finished as opaque", 0.3f, 0.0f, 1.0f, 0.5, 1, false, true},
        {"userWord5 off: weight stays 1", 0.3f, 0.0f, 1.0f, 0.5, 0, true, true},
    };
    // Looking down at 45 degrees: the centre ray meets the front plane at
    // (0.5, 0.5, 0) and the back plane at the origin.
    json tiltedCamera = topCamera(kDepthStackOn);
    tiltedCamera["transform"] = {{"lookAt", {{"eye", {1, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const float T = c.transparency;
        json nodes = {
            {{"name", "state"}, {"type", "veko_state"}},
            {{"name", "front"}, {"type", "veko_lambert"},
             {"params", {{"color", {0, 0, 0, 1}}, {"incandescence", {0.1, 0, 0, 0}}, {"transparency", {T, T, T, 0}},
                         {"matteOpacityMode", 1}, {"matteOpacity", c.matte}}}},
            {{"name", "frontSG"}, {"type", "veko_shadingengine"},
             {"params", {{"surfaceShader", "front"}, {"continueThreshold", c.threshold}}}},
            {{"name", "back"}, {"type", "veko_lambert"},
             {"params", {{"color", {0, 0, 0, 1}}, {"incandescence", {0, 0.5, 0, 0}}, {"matteOpacityMode", 1}}}},
            {{"name", "backSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "back"}}}},
        };
        json doc = {{"nodes", nodes},
                    {"state", "state"},
                    {"camera", tiltedCamera},
                    {"options", {{"userData", optionsWords(c.minRayWeight, c.userWord5)}}},
                    {"objects", {plane("front", 0.5f, "frontSG"), plane("back", 0.0f, "backSG")}}};
        auto scene = loadScene(doc);
        vh::Renderer r(*scene, 1);
        const auto s = r.shadeSample(0, 8, 8, 0, 0);
        ASSERT_TRUE(s.hit);
        EXPECT_NEAR(s.color.r, 0.1f, 1e-6);
        EXPECT_NEAR(s.color.g, c.continued ? 0.5f * T : 0.0f, 1e-6);
        EXPECT_NEAR(s.color.b, 0.0f, 1e-6);
        // Alpha: the state shader's luminance of the accumulated matte.
        EXPECT_NEAR(s.color.a, c.continued ? 1.0f : c.matte, 1e-6);

        // Depth = 1 / (cameraAxis . (hit, 1)) of the surface the stack walk
        // stops at; cameraAxis is the first column of the camera transform.
        const auto *cam = static_cast<const vh::InstanceRecord *>(
            vh::Database::get().data(r.eyeState(0)->cameraInstanceTag));
        ASSERT_NE(cam, nullptr);
        const float *m = cam->toWorld;
        auto key = [m](float x, float y, float z) { return m[0] * x + m[4] * y + m[8] * z + m[12]; };
        const float front = key(0.5f, 0.5f, 0.0f), back = key(0.0f, 0.0f, 0.0f);
        ASSERT_GT(std::fabs(front - back), 0.1f);
        EXPECT_NEAR(s.depth, 1.0 / (c.frontDepth ? front : back), 1e-4);
    }
}

// A ray that is no longer the eye's own (mode flag clear: here a refraction
// ray) is not carried on through transparent surfaces once 256 spawning
// states lie behind it; the eye's own continuation has no such limit. Each
// stacked plane is fully transparent and black; the green plane at the
// bottom shows only if the chain reaches it.
TEST(EngineRender, ContinuationChainLimit) {
    struct Case {
        const char *what;
        bool refractingTop;  // the eye ray meets a refracting plane first
        int planes;          // transparent planes in the stack
        bool reached;
    };
    const Case cases[] = {
        {"255 planes behind a refraction", true, 255, true},
        {"256 planes behind a refraction", true, 256, false},
        {"260 planes seen by the eye", false, 260, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json nodes = {
            {{"name", "state"}, {"type", "veko_state"}},
            {{"name", "glass"}, {"type", "veko_lambert"},
             {"params", {{"color", {0, 0, 0, 1}}, {"transparency", {1, 1, 1, 0}}, {"refractions", 1}}}},
            {{"name", "glassSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "glass"}}}},
            {{"name", "clear"}, {"type", "veko_lambert"},
             {"params", {{"color", {0, 0, 0, 1}}, {"transparency", {1, 1, 1, 0}}}}},
            {{"name", "clearSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "clear"}}}},
            {{"name", "back"}, {"type", "veko_lambert"},
             {"params", {{"color", {0, 0, 0, 1}}, {"incandescence", {0, 0.5, 0, 0}}}}},
            {{"name", "backSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "back"}}}},
        };
        json objects = json::array();
        if (c.refractingTop) objects.push_back(plane("glass", 0.5f, "glassSG"));
        for (int k = 0; k < c.planes; ++k)
            objects.push_back(plane("clear" + std::to_string(k), 0.4f - 0.001f * k, "clearSG"));
        objects.push_back(plane("back", 0.4f - 0.001f * c.planes - 0.01f, "backSG"));
        json doc = {{"nodes", nodes},
                    {"state", "state"},
                    {"camera", topCamera()},
                    {"options", {{"refractionDepth", 2}, {"traceDepth", 4}}},
                    {"objects", objects}};
        auto scene = loadScene(doc);
        vh::Renderer r(*scene, 1);
        const auto s = r.shadeSample(0, 8.5f, 8.5f, 0, 0);
        ASSERT_TRUE(s.hit);
        if (c.reached)
            EXPECT_GT(s.color.g, 0.1f);
        else
            EXPECT_EQ(s.color.g, 0.0f);
    }
}

// The filter footprint the engine prepares for the surface shader, seen by
// a 2D placement (its uv filter size is the footprint's first vector) that
// feeds the lambert's matte, and so the sample's alpha. The plane's uv span
// 4 units; one pixel is 4/16 units wide in the orthographic view.
TEST(EngineRender, FootprintSeenByTextures) {
    struct Case {
        const char *what;
        json camera;
        double minRayWeight;
        float expect;
    };
    json persp = {{"type", "perspective"},
                  {"resolution", {16, 16}},
                  {"focalLength", 35},
                  {"aperture", 36},
                  {"clip", {0.1, 100}},
                  {"transform", {{"lookAt", {{"eye", {0, 2, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
    const float filterOrtho = 1.0f / 16;  // max(1/xres, 1/yres)
    const Case cases[] = {
        {"orthographic eye ray: one pixel in uv", topCamera(), 0.0, 0.25f / 4},
        {"perspective eye ray: one pixel at distance 2", persp, 0.0, 2.0f * 36 / (35 * 16) / 4},
        // Below the ray-weight cut-off: 1.5e-5 x filterSize x 0.45 x distance / |cos|.
        {"low ray weight", topCamera(), 2.0, 1.5e-5f * filterOrtho * 0.45f * 1.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json nodes = {
            {{"name", "state"}, {"type", "veko_state"}},
            {{"name", "p2d"}, {"type", "veko_place2dtex"}},
            {{"name", "surf"}, {"type", "veko_lambert"},
             {"params", {{"color", {0, 0, 0, 1}}, {"matteOpacityMode", 1}, {"matteOpacity", "p2d.outUvFilterSize.x"}}}},
            {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "surf"}}}},
        };
        json doc = {{"nodes", nodes},
                    {"state", "state"},
                    {"camera", c.camera},
                    {"options", {{"userData", optionsWords(c.minRayWeight, 0)}}},
                    {"objects", {plane("ground", 0.0f, "sg")}}};
        auto scene = loadScene(doc);
        vh::Renderer r(*scene, 1);
        const auto s = r.shadeSample(0, 8, 8, 0, 0);
        ASSERT_TRUE(s.hit);
        EXPECT_NEAR(s.color.a, c.expect, c.expect * 1e-3);
    }
}

}  // namespace

// A light whose intensity is fed by a placement reads the filter footprint
// that the material set up for the eye hit: the light's ray shares the
// material's record.
TEST(EngineRender, FootprintSeenByLightTextures) {
    json nodes = {
        {{"name", "state"}, {"type", "veko_state"}},
        {{"name", "p2d"}, {"type", "veko_place2dtex"}},
        {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"intensity", "p2d.outUvFilterSize.x"}}}},
        {{"name", "surf"}, {"type", "veko_lambert"},
         {"params", {{"color", {1, 1, 1, 1}}, {"diffuse", 1}, {"matteOpacityMode", 1}, {"matteOpacity", 1}}}},
        {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "surf"}}}},
    };
    json doc = {{"nodes", nodes},
                {"state", "state"},
                {"camera", topCamera()},
                {"options", {{"userData", optionsWords(0.0, 0)}}},
                {"objects", {plane("ground", 0.0f, "sg")}},
                {"lights",
                 {{{"name", "l"},
                   {"shader", "sun"},
                   {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}}}};
    auto scene = loadScene(doc);
    vh::Renderer r(*scene, 1);
    const auto s = r.shadeSample(0, 8, 8, 0, 0);
    ASSERT_TRUE(s.hit);
    // One pixel in uv (as for the material's own texture), lit head-on.
    const float expect = 0.25f / 4;
    EXPECT_NEAR(s.color.r, expect, expect * 1e-3);
    EXPECT_NEAR(s.color.g, expect, expect * 1e-3);
}
