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
    BaseStateRecord *rec() { return veko::stateRecord(state()); }

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

}  // namespace
