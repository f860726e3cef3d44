// The state shader, the per-ray record helpers and the "Veko" user-data
// lookup, driven through the reference host.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "support.h"
#include "vekobase.h"
#include "vekohost/render.h"

// The user-data lookup and the block pools are internal to the library; they
// are compiled into this test and run against the host's database and pools.
#include "../src/userdata.cpp"

namespace {

using veko::BaseStateRecord;
using veko::DepthNode;

constexpr uint32_t kMagic = 0x56656B6Fu;  // "Veko", big-endian
constexpr uint32_t kSwappedMagic = 0x6F6B6556u;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

std::vector<vh::Message> ofSeverity(const std::vector<vh::Message> &all, vh::Severity s) {
    std::vector<vh::Message> out;
    for (const auto &m : all)
        if (m.severity == s) out.push_back(m);
    return out;
}

xrTag instanceRecord(const float toWorld[16], xrTag label = 0, xrTag dataTag = 0) {
    vh::InstanceRecord rec{};
    if (toWorld) std::memcpy(rec.toWorld, toWorld, sizeof rec.toWorld);
    rec.label = label;
    rec.dataTag = dataTag;
    return vh::Database::get().create(xrDB_INSTANCE, &rec, sizeof rec);
}

// A camera "Veko" block: words 10 to 13 (the magic is word 0).
xrTag cameraBlock(uint32_t enable, uint32_t hasThreshold, float threshold, uint32_t zeroThreshold) {
    std::vector<uint32_t> words(13, 0);
    words[9] = enable;
    words[10] = hasThreshold;
    words[11] = bits(threshold);
    words[12] = zeroThreshold;
    return vh::createUserData(kMagic, words);
}

class StateShader : public ::testing::Test {
protected:
    vh::StandaloneState ss;
    std::unique_ptr<vh::Network> net;
    vh::Instance *st = nullptr;

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

    void build(const vh::json &params = vh::json::object()) {
        st = &net->add("st", "veko_state");
        for (auto &[k, v] : params.items()) st->setLiteral(k, v);
        net->init(state());
    }
    xrBoolean op(int opcode, int flag = 0, xrColor *result = nullptr) {
        int32_t arg[2] = {opcode, flag};
        xrColor scratch{};
        return vh::callShader(*st, state(), result ? result : &scratch, arg);
    }
    BaseStateRecord *rec() {
        return static_cast<BaseStateRecord *>(xr_shaderstate_get(state(), "vekobase", nullptr));
    }
    // Creates the record and sets it up for a ray of `kind`.
    void newRay(int kind, xrColor *result = nullptr) {
        ASSERT_EQ(op(0), 1);
        state()->rayKind = kind;
        ASSERT_EQ(op(2, 0, result), 1);
        ASSERT_NE(rec(), nullptr);
    }
    // Pushes depth nodes so that nodes[0] ends on top.
    void pushNodes(const std::vector<std::pair<float, float>> &nodes) {
        veko::DepthStack &s = rec()->depthStack;
        ASSERT_NE(s.pool, nullptr);
        for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
            auto *n = static_cast<DepthNode *>(xr_mem_blkfallocate(s.pool));
            n->next = s.top;
            n->factor = it->first;
            n->depth = it->second;
            s.top = n;
            ++s.count;
        }
    }
};

// ---------------------------------------------------------------------------
// Initialisation and the template.

TEST_F(StateShader, InitReportsBannerAndBuildsTemplate) {
    build();
    auto info = ofSeverity(vt::messages(), vh::Severity::Info);
    const std::string text = "vekobase version 9.5, compiled on Jan 16 2008.";
    ASSERT_EQ(info.size(), 3u);
    EXPECT_EQ(info[0].text, std::string(text.size(), '-'));
    EXPECT_EQ(info[1].text, text);
    EXPECT_EQ(info[2].text, info[0].text);
    EXPECT_NE(st->userPointer, nullptr);
    net->exit(state());
    EXPECT_EQ(st->userPointer, nullptr);
}

TEST_F(StateShader, RefusesToRunAsAnotherShaderKind) {
    const vh::ShaderFunctions &fns = vt::library().functions("veko_state");
    xrShaderRecord record{};
    record.hostWords[0] = xrSHADER_CALL;
    state()->shaderRecord = &record;
    xrBoolean request = 1;
    fns.init(state(), nullptr, &request);
    EXPECT_EQ(request, 0);
    auto errors = ofSeverity(vt::messages(), vh::Severity::Error);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0].text, "veko_state(): Not invoked as state shader.");
    EXPECT_EQ(errors[1].text, "veko_state(): Could be a version mismatch.");
    EXPECT_EQ(errors[2].text, "veko_state(): Re-export the .xr from Veko.");

    int32_t arg[2] = {0, 0};
    xrColor result{};
    EXPECT_EQ(fns.main(&result, state(), nullptr, arg), 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_state(): Called on an unexpected ray."));
    state()->shaderRecord = nullptr;
}

TEST_F(StateShader, TemplateDefaultsWithoutOptionsBlock) {
    build();
    newRay(xrRAY_EYE);
    const BaseStateRecord *r = rec();
    EXPECT_EQ(r->passMode, 0);
    EXPECT_EQ(r->userWord1, 20);
    EXPECT_EQ(r->filterEnabled, 1);
    EXPECT_FLOAT_EQ(r->baseFilterSize, 0.005f);
    EXPECT_EQ(r->keepCache, 1);
    EXPECT_EQ(r->userWord5, 0);
    EXPECT_EQ(r->minRayWeight, 0.0f);
    EXPECT_EQ(r->fullSampleWeight, 0.0f);
    EXPECT_EQ(r->refractionCap, 20);
    EXPECT_EQ(r->reflectionCap, 20);

    EXPECT_EQ(r->lightAmbient, 0);
    EXPECT_EQ(r->lightDiffuse, 1);
    EXPECT_EQ(r->lightSpecular, 1);
    EXPECT_EQ(r->lightShadowWeight, 0.0f);
    EXPECT_EQ(r->lightUnshadowed.r, 1.0f);
    EXPECT_EQ(r->lightUnshadowed.a, 1.0f);
    EXPECT_EQ(r->lightShapeRef, nullptr);
    EXPECT_EQ(r->backSide, 0);
    EXPECT_EQ(r->inLightLoop, 0);
    EXPECT_EQ(r->refractionsOn, 0);
    EXPECT_EQ(r->auxColor.r, 1.0f);
    EXPECT_EQ(r->auxColor.a, 1.0f);
    EXPECT_EQ(r->rayWeight.r, 1.0f);
    EXPECT_EQ(r->rayWeight.b, 1.0f);
    EXPECT_EQ(r->rayWeight.a, 0.0f);
    EXPECT_EQ(r->depthStackEnabled, 0);
    EXPECT_EQ(r->depthThreshold, 1.0f);
}

// Filter size and the pixel grid follow the camera's projection: the corner
// lies on the ray through the image corner, one pixel step apart.
TEST_F(StateShader, FilterSizeAndPixelGridFromCamera) {
    struct Case {
        int ortho;
        float focal, aperture;
        int xres, yres;
    };
    for (const Case c : {Case{0, 2.0f, 1.5f, 80, 40}, Case{1, 1.0f, 4.0f, 80, 40}}) {
        SCOPED_TRACE(c.ortho ? "orthographic" : "perspective");
        TearDown();
        SetUp();
        ss.camera.isOrthographic = c.ortho;
        ss.camera.focalLength = c.focal;
        ss.camera.apertureWidth = c.aperture;
        ss.camera.imageWidth = c.xres;
        ss.camera.imageHeight = c.yres;
        ss.camera.pixelAspect = 1.0f;
        build();
        const auto *t = static_cast<const BaseStateRecord *>(st->userPointer);
        ASSERT_NE(t, nullptr);
        const xrVector corner = t->viewCorner, step = t->pixelStep;
        if (c.ortho) {
            EXPECT_NEAR(t->filterSize, 1.0f / 40, 1e-7);
            EXPECT_NEAR(corner.x, -0.5f * c.aperture, 1e-4);
            EXPECT_NEAR(corner.y, -0.5f * c.aperture * c.yres / c.xres, 1e-4);
            EXPECT_NEAR(step.x, c.aperture / c.xres, 1e-5);
            EXPECT_NEAR(step.y, c.aperture / c.xres, 1e-5);
        } else {
            const float h = std::atan(0.5f * c.aperture / c.focal);
            EXPECT_NEAR(t->filterSize, 2 * h / 40, 1e-7);
            ASSERT_LT(corner.z, 0.0f);
            const float d = -corner.z;  // distance of the corner's plane
            EXPECT_NEAR(corner.x / d, -0.5f * c.aperture / c.focal, 1e-4);
            EXPECT_NEAR(corner.y / d, -0.5f * c.aperture / c.focal * c.yres / c.xres, 1e-4);
            EXPECT_NEAR(step.x / d, c.aperture / (c.focal * c.xres), 1e-5);
            EXPECT_NEAR(step.y / d, c.aperture / (c.focal * c.xres), 1e-5);
        }
        EXPECT_EQ(step.z, 0.0f);
    }
}

TEST_F(StateShader, OptionsBlockFoundAlongTheChain) {
    const std::vector<uint32_t> words = {3, 7, 0, bits(0.02f), 0, 9, bits(0.1f), bits(0.25f), 4, 6};
    const xrTag block = vh::createUserData(kMagic, words);
    ss.options.optionsDataTag = vh::createUserData(0x4F746872u, {1, 2, 3}, block);  // another label first
    build();
    newRay(xrRAY_EYE);
    const BaseStateRecord *r = rec();
    const int32_t *w = reinterpret_cast<const int32_t *>(r);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(static_cast<uint32_t>(w[i]), words[i]) << "word " << i;
    // Filtering off: every size is the base size.
    EXPECT_FLOAT_EQ(r->filterSize, 0.02f);
    for (const xrVector &v : {r->footprintU, r->footprintV}) {
        EXPECT_FLOAT_EQ(v.x, 0.02f);
        EXPECT_FLOAT_EQ(v.y, 0.02f);
        EXPECT_FLOAT_EQ(v.z, 0.02f);
    }
}

TEST_F(StateShader, DepthStackSettingsFromCameraBlock) {
    const float matrix[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    struct Case {
        uint32_t enable, hasThreshold;
        float threshold;
        uint32_t zero;
        int ignore, modeCode;
        int enabled;
        float expectThreshold;
    };
    const Case cases[] = {
        {1, 0, 0.4f, 0, 0, 0, 1, 1.0f},   // no threshold given
        {1, 1, 0.4f, 0, 0, 0, 1, 0.4f},   // threshold from word 12
        {1, 1, 0.4f, 1, 0, 0, 1, 0.0f},   // word 13 = 1: threshold 0
        {0, 1, 0.4f, 0, 0, 0, 0, 1.0f},   // not enabled
        {1, 1, 0.4f, 0, 1, 0, 0, 1.0f},   // ignoreCameraData
        {1, 1, 0.4f, 0, 0, 114, 0, 1.0f}, // mode 114
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "enable " << c.enable << " ignore " << c.ignore << " mode " << c.modeCode);
        TearDown();
        SetUp();
        state()->cameraInstanceTag = instanceRecord(matrix);
        ss.camera.cameraDataTag = cameraBlock(c.enable, c.hasThreshold, c.threshold, c.zero);
        ss.options.modeCode = c.modeCode;
        build({{"ignoreCameraData", c.ignore}});
        const auto *t = static_cast<const BaseStateRecord *>(st->userPointer);
        ASSERT_NE(t, nullptr);
        EXPECT_EQ(t->depthStackEnabled, c.enabled);
        EXPECT_FLOAT_EQ(t->depthThreshold, c.expectThreshold);
        if (c.enabled) {
            EXPECT_EQ(t->cameraAxis[0], 1.0f);
            EXPECT_EQ(t->cameraAxis[1], 5.0f);
            EXPECT_EQ(t->cameraAxis[2], 9.0f);
            EXPECT_EQ(t->cameraAxis[3], 13.0f);
        }
    }
}

// ---------------------------------------------------------------------------
// Opcodes.

TEST_F(StateShader, NewRayByKind) {
    struct Case {
        int kind;
        int modeCode;
        bool eye;        // eye set-up: result and instance cleared (unless mode 114)
        bool resetsIor;
        bool unexpected;
    };
    const Case cases[] = {
        {0, 0, true, true, false},     {1, 114, true, true, false},  {1, 0, false, false, true},
        {5, 0, false, false, false},   {7, 0, false, false, false},  {9, 0, false, true, false},
        {16, 0, false, false, false},  {17, 0, false, false, false}, {22, 0, false, false, false},
        {23, 0, false, true, false},   {24, 0, false, true, false},  {27, 0, false, true, false},
        {3, 0, false, false, true},    {2, 0, false, false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "kind " << c.kind << " mode " << c.modeCode);
        TearDown();
        SetUp();
        ss.options.modeCode = c.modeCode;
        build();
        ASSERT_EQ(op(0), 1);
        state()->rayKind = c.kind;
        state()->currentIor = 1.5f;
        state()->instanceTag = 42;
        xrColor result{0.5f, 0.5f, 0.5f, 0.5f};
        EXPECT_EQ(op(2, 0, &result), 1);
        auto msgs = vt::messages();
        EXPECT_EQ(vt::hasMessage(msgs, "veko_state(): Called on an unexpected ray."), c.unexpected);
        EXPECT_EQ(state()->currentIor, c.resetsIor ? 1.0f : 1.5f);
        const bool clears = c.eye && c.modeCode != 114;
        EXPECT_EQ(result.r, clears ? 0.0f : 0.5f);
        EXPECT_EQ(result.a, clears ? 0.0f : 0.5f);
        EXPECT_EQ(state()->instanceTag, clears ? 0u : 42u);
        const BaseStateRecord *r = rec();
        if (c.eye || c.unexpected) {
            EXPECT_EQ(r->filterEnabled, 1);  // the template as it is
        } else {
            // Shadow and other secondary rays: filtering off, every size the base size.
            EXPECT_EQ(r->filterEnabled, 0);
            EXPECT_FLOAT_EQ(r->filterSize, 0.005f);
            for (const xrVector &v : {r->footprintU, r->footprintV}) {
                EXPECT_FLOAT_EQ(v.x, 0.005f);
                EXPECT_FLOAT_EQ(v.y, 0.005f);
                EXPECT_FLOAT_EQ(v.z, 0.005f);
            }
            EXPECT_EQ(r->userWord1, 20);
            EXPECT_EQ(r->auxColor.g, 1.0f);
        }
    }
}

TEST_F(StateShader, NewRayOverwritesLeftoversExceptOnKind21) {
    build();
    newRay(xrRAY_EYE);
    rec()->matteColor = {0.3f, 0.3f, 0.3f, 0.3f};
    rec()->passMode = 5;
    state()->rayKind = 21;
    ASSERT_EQ(op(2), 1);
    EXPECT_EQ(rec()->passMode, 5);
    EXPECT_EQ(rec()->matteColor.r, 0.3f);
    state()->rayKind = xrRAY_SHADOW;
    ASSERT_EQ(op(2), 1);
    EXPECT_EQ(rec()->passMode, 0);
    EXPECT_EQ(rec()->matteColor.r, 0.0f);
}

TEST_F(StateShader, OpcodeErrors) {
    build();
    // No record yet.
    state()->rayKind = xrRAY_EYE;
    EXPECT_EQ(op(2), 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_state(): Internal state error."));
    EXPECT_EQ(op(3, 1), 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_state(): Internal state error."));

    // Record but no template.
    ASSERT_EQ(op(0), 1);
    void *tmpl = st->userPointer;
    st->userPointer = nullptr;
    EXPECT_EQ(op(2), 0);
    st->userPointer = tmpl;
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_state(): vekobase state setup failed."));

    EXPECT_EQ(op(4), 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_state(): Invoked with invalid opcode."));

    // Opcode 1 removes the record.
    EXPECT_EQ(op(1), 1);
    EXPECT_EQ(rec(), nullptr);
}

TEST_F(StateShader, SampleDoneSetsAlphaAndLabel) {
    const xrTag object = instanceRecord(nullptr, 77);
    struct Case {
        int keepAlpha, keepLabel, modeCode, kind, flag;
        bool alpha, label;
    };
    const Case cases[] = {
        {0, 0, 0, 0, 1, true, true},     {1, 0, 0, 0, 1, false, true},   {0, 1, 0, 0, 1, true, false},
        {0, 0, 114, 0, 1, false, false}, {0, 0, 0, 0, 0, false, false},  {0, 0, 0, 5, 1, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "keep " << c.keepAlpha << c.keepLabel << " mode " << c.modeCode
                                        << " kind " << c.kind << " flag " << c.flag);
        TearDown();
        SetUp();
        ss.options.modeCode = c.modeCode;
        build({{"keepAlpha", c.keepAlpha}, {"keepLabel", c.keepLabel}});
        newRay(xrRAY_EYE);
        rec()->matteColor = {0.5f, 0.2f, 1.0f, 0.0f};
        state()->instanceTag = object;
        state()->objectLabel = 5;
        state()->rayKind = c.kind;
        xrColor result{0.1f, 0.2f, 0.3f, 0.9f};
        EXPECT_EQ(op(3, c.flag, &result), 1);
        EXPECT_FLOAT_EQ(result.a, c.alpha ? 0.3f * 0.5f + 0.59f * 0.2f + 0.11f : 0.9f);
        EXPECT_EQ(result.r, 0.1f);
        EXPECT_EQ(state()->objectLabel, c.label ? 77u : 5u);
    }
}

// The eye sample's depth is that of the first surface at which the product
// of transparencies falls to the threshold; the stack is emptied after.
TEST_F(StateShader, DepthStackWalk) {
    struct Case {
        const char *what;
        uint32_t hasThreshold;
        float threshold;
        uint32_t zero;
        std::vector<std::pair<float, float>> nodes;  // (factor, key), top first
        double depth;
    };
    const Case cases[] = {
        {"threshold 1: the front surface", 0, 0.0f, 0, {{0.9f, 4.0f}, {0.0f, 8.0f}}, 0.25},
        {"product falls below 0.3 at the third", 1, 0.3f, 0, {{0.8f, 2.0f}, {0.5f, 4.0f}, {0.5f, 5.0f}, {0.0f, 10.0f}}, 0.2},
        {"threshold 0: the first opaque surface", 0, 0.0f, 1, {{0.5f, 2.0f}, {0.0f, 8.0f}, {0.0f, 10.0f}}, 0.125},
        {"nothing reaches the threshold", 0, 0.0f, 1, {{0.5f, 2.0f}, {0.5f, 8.0f}}, 0.0},
        {"zero key gives no depth", 0, 0.0f, 0, {{0.0f, 0.0f}, {0.0f, 8.0f}}, 0.0},
        {"empty stack", 0, 0.0f, 0, {}, 0.0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        state()->cameraInstanceTag = instanceRecord(nullptr);
        ss.camera.cameraDataTag = cameraBlock(1, c.hasThreshold, c.threshold, c.zero);
        build();
        newRay(xrRAY_EYE);
        BaseStateRecord *r = rec();
        ASSERT_EQ(r->depthStackEnabled, 1);
        EXPECT_EQ(r->depthStack.top, nullptr);
        EXPECT_EQ(r->depthStack.count, 0);
        pushNodes(c.nodes);
        state()->hitDistance = 99.0;
        ASSERT_EQ(op(3, 1), 1);
        EXPECT_DOUBLE_EQ(state()->hitDistance, c.depth);
        EXPECT_EQ(rec()->depthStack.top, nullptr);
        EXPECT_EQ(rec()->depthStack.count, 0);
    }
}

TEST_F(StateShader, DepthStackOffLeavesHitDistance) {
    build();
    newRay(xrRAY_EYE);
    EXPECT_EQ(rec()->depthStack.pool, nullptr);
    state()->hitDistance = 3.5;
    ASSERT_EQ(op(3, 1), 1);
    EXPECT_EQ(state()->hitDistance, 3.5);
}

// Each render thread gets its own pool per block size, reused on later rays.
TEST_F(StateShader, BlockPoolsPerThreadAndSize) {
    xrState *s = state();
    s->threadIndex = 1;
    xrBlockPool a16 = veko::threadBlockPool(s, 16);
    xrBlockPool a32 = veko::threadBlockPool(s, 32);
    s->threadIndex = 2;
    xrBlockPool b16 = veko::threadBlockPool(s, 16);
    ASSERT_NE(a16, nullptr);
    EXPECT_NE(a16, a32);
    EXPECT_NE(a16, b16);
    s->threadIndex = 1;
    EXPECT_EQ(veko::threadBlockPool(s, 16), a16);
    EXPECT_EQ(veko::threadBlockPool(s, 32), a32);
    veko::deleteBlockPools(s);
    s->threadIndex = 0;
}

// ---------------------------------------------------------------------------
// The extra frame buffer, in a rendered scene: a material leaves a colour in
// the record's fbColor; after the eye sample the state shader normalises it
// by its count (alpha) and writes it to buffer frameBuffer - 1.

xrColor g_fbColor;

TEST(StateRender, ExtraFrameBuffer) {
    vh::registerNativeMaterial("fbcolor", [](xrColor *c, xrState *s) {
        if (BaseStateRecord *r = veko::lookupStateRecord(s)) r->fbColor = g_fbColor;
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    struct Case {
        int frameBuffer;
        xrColor fb;
        bool written;
        xrColor expect;
    };
    const Case cases[] = {
        {3, {0.2f, 0.6f, 0.4f, 0.5f}, true, {0.4f, 1.0f, 0.8f, 1.0f}},
        {8, {2.0f, 0.5f, 1.0f, 1.0f}, true, {1.0f, 0.5f, 1.0f, 1.0f}},  // a channel not below the count is 1
        {1, {0.3f, 0.3f, 0.3f, 0.0f}, false, {}},                      // nothing collected
        {0, {0.2f, 0.6f, 0.4f, 0.5f}, false, {}},
        {9, {0.2f, 0.6f, 0.4f, 0.5f}, false, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "frameBuffer " << c.frameBuffer);
        g_fbColor = c.fb;
        vh::json doc = {
            {"nodes", {{{"name", "state"}, {"type", "veko_state"}, {"params", {{"frameBuffer", c.frameBuffer}}}}}},
            {"state", "state"},
            {"camera", {{"type", "orthographic"}, {"resolution", {4, 4}}, {"aperture", 4}, {"clip", {0.1, 100}},
                        {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"material", "native:fbcolor"}}}}};
        auto scene = vh::loadSceneJson(vt::library(), doc, "test.json");
        vh::Renderer r(*scene, 1);
        const auto s = r.shadeSample(0, 2, 2, 0, 0);
        ASSERT_TRUE(s.hit);
        if (!c.written) {
            EXPECT_EQ(s.fbMask, 0);
            continue;
        }
        const int k = c.frameBuffer - 1;
        EXPECT_EQ(s.fbMask, 1 << k);
        EXPECT_FLOAT_EQ(s.fb[k].r, c.expect.r);
        EXPECT_FLOAT_EQ(s.fb[k].g, c.expect.g);
        EXPECT_FLOAT_EQ(s.fb[k].b, c.expect.b);
        EXPECT_FLOAT_EQ(s.fb[k].a, c.expect.a);
    }
}

// ---------------------------------------------------------------------------
// Exported helpers.

using StateItemGet = xrBoolean (*)(xrState *, ...);

TEST_F(StateShader, StateItemAddresses) {
    auto get = reinterpret_cast<StateItemGet>(vt::library().symbol("vekobase_stateitem_get"));
    ASSERT_NE(get, nullptr);
    void *p = reinterpret_cast<void *>(1);
    EXPECT_EQ(get(state(), 7, &p, 0), 0);  // no record
    EXPECT_EQ(p, reinterpret_cast<void *>(1));

    build();
    newRay(xrRAY_EYE);
    char *base = reinterpret_cast<char *>(rec());
    // Record word of each code 1..32 (-1: always null).
    const int word[33] = {0,  0,  1,  -1, 2,  3,  4,  10, 24, 25, 26, 27, 28, 34, 36, 37, 38,
                          39, 40, 44, 48, 52, 56, 59, 62, 63, 67, 71, 75, 78, 8,  9,  35};
    for (int code = 1; code <= 32; ++code) {
        void *addr = reinterpret_cast<void *>(1);
        EXPECT_EQ(get(state(), code, &addr, 0), 1) << "code " << code;
        EXPECT_EQ(addr, word[code] < 0 ? nullptr : base + 4 * word[code]) << "code " << code;
    }

    // Pairs are served in order; an unknown code ends the list with 0.
    void *a = nullptr, *b = nullptr, *q = reinterpret_cast<void *>(1);
    EXPECT_EQ(get(state(), 25, &a, 1, &b, 0), 1);
    EXPECT_EQ(a, base + 4 * 63);
    EXPECT_EQ(b, base);
    a = nullptr;
    EXPECT_EQ(get(state(), 7, &a, 33, &q, 0), 0);
    EXPECT_EQ(a, base + 40);
    EXPECT_EQ(q, reinterpret_cast<void *>(1));
}

TEST(StateHelpers, TexcoordsCheck) {
    using Fn = xrBoolean (*)(const xrVector *, xrInteger, xrBoolean);
    auto check = reinterpret_cast<Fn>(vt::library().symbol("vekobase_texcoords_check"));
    ASSERT_NE(check, nullptr);
    struct Case {
        xrVector c;
        int dim, unitCube;
        xrBoolean expect;
    };
    const Case cases[] = {
        {{0.5f, 0.5f, 0}, 2, 0, 1},         {{-1e7f, -1e7f, 0}, 2, 0, 0},   {{-2e7f, 0.0f, 0}, 2, 0, 1},
        {{0.0f, -1e8f, 0}, 2, 1, 1},        {{-1e8f, -1e8f, 0}, 2, 1, 0},   {{0.5f, -0.5f, 0.9f}, 3, 0, 1},
        {{0.5f, -1.0f, 0.9f}, 3, 0, 0},     {{0.5f, 0.5f, 1.5f}, 3, 0, 0},  {{5.0f, 5.0f, 5.0f}, 3, 1, 1},
        {{-1e8f, -1e8f, -1e8f}, 1, 0, 1},
    };
    for (const Case &c : cases)
        EXPECT_EQ(check(&c.c, c.dim, c.unitCube), c.expect)
            << c.c.x << "," << c.c.y << "," << c.c.z << " dim " << c.dim << " cube " << c.unitCube;
}

TEST(StateHelpers, ParmConnection) {
    using Fn = xrBoolean (*)(xrState *, const void *);
    auto connected = reinterpret_cast<Fn>(vt::library().symbol("vekobase_parm_connection"));
    ASSERT_NE(connected, nullptr);
    vh::Network net(vt::library());
    vh::Instance &source = net.add("source", "veko_blend");
    vh::Instance &target = net.add("target", "veko_blend");
    net.connect(target, "color1", "source.outColor");
    (void)source;
    vh::StandaloneState ss;
    net.init(ss.state());
    ss.state()->shaderRecord = &target.record;
    EXPECT_EQ(connected(ss.state(), target.paramAddress("color1")), 1);
    EXPECT_EQ(connected(ss.state(), target.paramAddress("color2")), 0);
    xrShaderRecord none{};
    ss.state()->shaderRecord = &none;
    EXPECT_EQ(connected(ss.state(), target.paramAddress("color1")), 0);
    ss.state()->shaderRecord = nullptr;
}

// ---------------------------------------------------------------------------
// User-data lookup.

TEST(UserData, FindsBlockOnElementObjectAndInstance) {
    vh::Database &db = vh::Database::get();
    const xrTag veko = vh::createUserData(kMagic, {11, 12});
    const xrTag head = vh::createUserData(0x12345678u, {1}, veko);

    std::vector<uint32_t> object(16, 0);
    object[12] = head;
    const xrTag objectTag = db.create(xrDB_OBJECT, object.data(), object.size() * 4);
    const xrTag instanceTag = instanceRecord(nullptr, 0, head);

    struct Case {
        int type;
        xrTag tag;
    };
    // Surface shaders ask for object data with the instance tag they hold.
    for (const Case c : {Case{xrDB_USERDATA, head}, Case{xrDB_OBJECT, objectTag}, Case{xrDB_INSTANCE, instanceTag},
                         Case{xrDB_OBJECT, instanceTag}}) {
        SCOPED_TRACE(c.type);
        xrTag found = 0;
        xrBoolean swapped = 7;
        const uint32_t *block = veko::findUserData(kMagic, c.type, c.tag, &found, &swapped);
        ASSERT_NE(block, nullptr);
        EXPECT_EQ(block[0], kMagic);
        EXPECT_EQ(block[1], 11u);
        EXPECT_EQ(block[2], 12u);
        EXPECT_EQ(found, veko);
        EXPECT_EQ(swapped, 0);
        // Only the element found stays pinned.
        EXPECT_EQ(db.pins(veko), 1);
        EXPECT_EQ(db.totalPins(), 1);
        db.unpin(found);
    }
    // Wrong element type for the tag.
    EXPECT_EQ(veko::findUserData(kMagic, xrDB_INSTANCE, objectTag, nullptr, nullptr), nullptr);
    EXPECT_EQ(db.totalPins(), 0);
}

TEST(UserData, ByteSwappedLabel) {
    vh::Database &db = vh::Database::get();
    const xrTag swappedBlock = vh::createUserData(kSwappedMagic, {1});
    // Without the swapped flag only the native label matches.
    EXPECT_EQ(veko::findUserData(kMagic, xrDB_USERDATA, swappedBlock, nullptr, nullptr), nullptr);
    xrBoolean swapped = 0;
    xrTag found = 0;
    const uint32_t *block = veko::findUserData(kMagic, xrDB_USERDATA, swappedBlock, &found, &swapped);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(swapped, 1);
    EXPECT_EQ(found, swappedBlock);
    db.unpin(found);
    EXPECT_EQ(db.totalPins(), 0);
}

TEST(UserData, ChainEndsAtOtherElementsAndLoops) {
    vh::Database &db = vh::Database::get();
    // A non-user-data element ends the walk even if a block follows it.
    const xrTag after = vh::createUserData(kMagic, {1});
    std::vector<uint32_t> words(8, 0);
    words[1] = after;
    const xrTag image = db.create(xrDB_IMAGE, words.data(), words.size() * 4);
    const xrTag head = vh::createUserData(0x1u, {}, image);
    EXPECT_EQ(veko::findUserData(kMagic, xrDB_USERDATA, head, nullptr, nullptr), nullptr);
    EXPECT_EQ(db.totalPins(), 0);

    // A chain that loops back on itself ends instead of hanging.
    const xrTag a = vh::createUserData(0x1u, {});
    const xrTag b = vh::createUserData(0x2u, {}, a);
    static_cast<uint32_t *>(db.data(a))[1] = b;
    EXPECT_EQ(veko::findUserData(kMagic, xrDB_USERDATA, a, nullptr, nullptr), nullptr);
    EXPECT_EQ(db.totalPins(), 0);
}

}  // namespace

// Pins are counted per thread; a pin taken on one thread may be released on
// another, a thread that ends keeps its pins counted, and releasing what no
// thread pinned is an error that leaves the count alone.
class Pins : public vt::MessagesTest {};

TEST_F(Pins, CountedAcrossThreads) {
    vh::Database &db = vh::Database::get();
    const xrTag tag = vh::createUserData(kMagic, {1});

    // Pinned on a thread that ends, released here.
    std::thread([&] { EXPECT_NE(db.access(tag, nullptr), nullptr); }).join();
    EXPECT_EQ(db.pins(tag), 1);
    db.unpin(tag);
    EXPECT_EQ(db.pins(tag), 0);

    // Pinned here, released on another thread while this one still lives.
    db.access(tag, nullptr);
    db.access(tag, nullptr);
    std::thread([&] { db.unpin(tag); }).join();
    EXPECT_EQ(db.pins(tag), 1);
    db.unpin(tag);
    EXPECT_TRUE(vt::messages().empty());

    // Nothing left to release: an error, and the count stays at zero.
    db.unpin(tag);
    auto msgs = vt::messages();
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_NE(msgs[0].text.find("is not pinned"), std::string::npos);
    EXPECT_EQ(db.pins(tag), 0);
    db.access(tag, nullptr);
    EXPECT_EQ(db.pins(tag), 1);
    db.unpin(tag);

    // Many threads pinning and releasing at once balance out.
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < 10000; ++i) {
                db.access(tag, nullptr);
                db.unpin(tag);
            }
            db.access(tag, nullptr);  // one left pinned as the thread ends
        });
    for (auto &w : workers) w.join();
    EXPECT_EQ(db.pins(tag), 4);
    EXPECT_EQ(db.totalPins(), 4);
    for (int t = 0; t < 4; ++t) db.unpin(tag);
    EXPECT_EQ(db.totalPins(), 0);
    EXPECT_TRUE(vt::messages().empty());
}
