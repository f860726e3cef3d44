// 3D placement (veko_place3dtex) and projection (veko_projection), called
// through the reference host. The projected image is a four-corner ramp
// whose red and green channels are the u and v it was evaluated at, so each
// result shows the uv that the projection produced.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"
#include "vekohost/render.h"

namespace {

using vh::json;

constexpr float kPi = 3.14159265358979f;
const json kGrey = {0.2, 0.4, 0.6, 1};  // defaultColor of the cases below
constexpr float kGreyLuminance = 0.3f * 0.2f + 0.59f * 0.4f + 0.11f * 0.6f;

// red = u, green = v of the lookup.
json uvImage() {
    return {{"name", "uv"},
            {"type", "veko_ramp"},
            {"params",
             {{"rampType", 7},
              {"colorEntryList",
               {{{"position", 0}, {"color", {0, 0, 0, 1}}},
                {{"position", 0}, {"color", {1, 0, 0, 1}}},
                {{"position", 0}, {"color", {0, 1, 0, 1}}},
                {{"position", 0}, {"color", {1, 1, 0, 1}}}}}}}};
}

struct Projected {
    xrColor color{};
    float alpha = 0;
    std::vector<std::string> warnings;
};

std::vector<std::string> warningsOf(const std::vector<vh::Message> &m) {
    std::vector<std::string> w;
    for (auto &x : m)
        if (x.severity == vh::Severity::Warning) w.push_back(x.text);
    return w;
}

// One projection call in a standalone state at internal-space point `p` with
// shading normal `n`; the record is attached when given.
struct ProjectionCall {
    json params = json::object();
    xrVector point{0, 0, 0};
    xrVector normal{0, 0, 1};
    const veko::BaseStateRecord *record = nullptr;
    bool init = true;
};

Projected project(const ProjectionCall &c, vh::StandaloneState *keep = nullptr) {
    json params = c.params;
    if (!params.contains("image")) params["image"] = "uv.outColor";
    if (!params.contains("defaultColor")) params["defaultColor"] = kGrey;
    vh::Network net(vt::library());
    net.load({{"nodes", {uvImage(), {{"name", "proj"}, {"type", "veko_projection"}, {"params", params}}}}});
    vh::StandaloneState local;
    vh::StandaloneState &ss = keep ? *keep : local;
    ss.state()->hitPoint = c.point;
    ss.state()->shadingNormal = c.normal;
    if (c.record) xr_shaderstate_set(ss.state(), "vekobase", c.record, sizeof *c.record, 2);
    vt::messages();
    Projected r;
    if (c.init) net.init(ss.state());
    vh::Instance &inst = *net.find("proj");
    std::vector<float> out(size_t(inst.decl->resultBytes / 4), 777.0f);
    EXPECT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
    const vh::Field *col = inst.decl->resultField("outColor");
    const vh::Field *alpha = inst.decl->resultField("outAlpha");
    std::memcpy(&r.color, reinterpret_cast<const char *>(out.data()) + col->offset, sizeof r.color);
    std::memcpy(&r.alpha, reinterpret_cast<const char *>(out.data()) + alpha->offset, sizeof r.alpha);
    net.exit(ss.state());
    r.warnings = warningsOf(vt::messages());
    return r;
}

bool isDefault(const Projected &r) {
    return std::fabs(r.color.r - 0.2f) < 1e-6f && std::fabs(r.color.g - 0.4f) < 1e-6f &&
           std::fabs(r.color.b - 0.6f) < 1e-6f && std::fabs(r.color.a - kGreyLuminance) < 1e-6f &&
           std::fabs(r.alpha - kGreyLuminance) < 1e-6f;
}

json matrixJson(const float *m) { return json(std::vector<float>(m, m + 16)); }

// ---------------------------------------------------------------------------
TEST(Projection, MapsEachTypeAtKnownPoints) {
    struct Case {
        const char *what;
        int type;
        xrVector p;
        float u, v;  // NaN: not checked
        xrVector normal{0, 0, 1};
    };
    const float nan = std::nanf("");
    const float ball = 0.5f * (0.5f / std::sqrt(0.5f)) + 0.5f;  // h = (0.5, 0, 0.5) normalized
    const Case cases[] = {
        {"planar", 1, {0.5f, -0.2f, 0.3f}, 0.75f, 0.4f},
        {"spherical on +x", 2, {1, 0, 0}, 0.75f, 0.5f},
        {"spherical at 45 degrees up", 2, {0, 0.5f, 0.5f}, 0.5f, 0.75f},
        {"spherical on the axis", 2, {0, 0.7f, 0}, 0.5f, 1.0f},
        {"cylindrical", 3, {0.5f, 0.2f, 0.5f}, 0.75f, 0.6f},
        {"cylindrical on the axis", 3, {0, -0.4f, 0}, 0.5f, 0.3f},
        {"ball", 4, {0.6f, 0, 0}, ball, 0.5f},
        {"ball at the pole", 4, {0, 0, 0.5f}, 0.5f, 0.5f},
        {"cubic, z face", 5, {0.2f, 0.4f, 0.8f}, 0.625f, 0.75f},
        {"cubic, x face takes z as u", 5, {0.8f, 0.2f, -0.4f}, 0.25f, 0.625f},
        {"cubic, y face takes z as v", 5, {0.2f, -0.8f, 0.4f}, 0.625f, 0.75f},
        {"triplanar, facing z", 6, {0.2f, -0.4f, 0.6f}, 0.6f, 0.3f},
        {"triplanar, facing y", 6, {0.2f, -0.4f, 0.6f}, 0.6f, 0.8f, {0, 1, 0}},
        {"triplanar, facing x", 6, {0.2f, -0.4f, 0.6f}, 0.8f, 0.3f, {-1, 0.1f, 0}},
        {"concentric rings", 7, {0.25f, 0.25f, 0.25f}, nan, 0.75f * 0.75f * 0.75f + 0.5f},
        {"perspective", 8, {0.2f, -0.4f, -1}, 0.6f, 0.3f},
    };
    for (const Case &c : cases) {
        ProjectionCall call;
        call.params = {{"projType", c.type}};
        call.point = c.p;
        call.normal = c.normal;
        const Projected r = project(call);
        if (!std::isnan(c.u)) {
            EXPECT_NEAR(r.color.r, c.u, 1e-5) << c.what;
        }
        EXPECT_NEAR(r.color.g, c.v, 1e-5) << c.what;
        // Alpha is the image's luminance.
        EXPECT_NEAR(r.alpha, 0.3f * r.color.r + 0.59f * r.color.g, 1e-5) << c.what;
        EXPECT_TRUE(r.warnings.empty()) << c.what;
    }
}

TEST(Projection, AnglesScaleTheSphericalMapping) {
    ProjectionCall call;
    call.params = {{"projType", 2}, {"uAngle", kPi / 2}, {"vAngle", kPi / 4}};
    call.point = {0.5f, 0.5f * std::sqrt(2.0f) * std::tan(kPi / 8), 0.5f};  // 45 degrees round, 22.5 up
    const Projected r = project(call);
    EXPECT_NEAR(r.color.r, 0.75f, 1e-5);
    EXPECT_NEAR(r.color.g, 0.75f, 1e-5);
}

TEST(Projection, PointsOutsideGiveTheDefaultColour) {
    struct Case {
        const char *what;
        json params;
        xrVector p;
        bool outside;
    };
    const Case cases[] = {
        {"planar beyond x = 1", {{"projType", 1}, {"wrap", false}}, {2, 0, 0}, true},
        {"planar inside", {{"projType", 1}, {"wrap", false}}, {0.9f, -0.9f, 0.9f}, false},
        {"planar beyond x = 1, wrapped", {{"projType", 1}, {"wrap", true}}, {2, 0, 0}, false},
        {"spherical beyond the unit sphere", {{"projType", 2}, {"wrap", false}}, {0.8f, 0.8f, 0}, true},
        {"ball inside the unit sphere", {{"projType", 4}, {"wrap", false}}, {0.6f, 0.6f, 0}, false},
        {"cylindrical beyond the radius", {{"projType", 3}, {"wrap", false}}, {0.8f, 0, 0.8f}, true},
        {"cylindrical above the top", {{"projType", 3}, {"wrap", false}}, {0, 1.2f, 0}, true},
        {"cubic beyond a face", {{"projType", 5}, {"wrap", false}}, {0, 0, -1.5f}, true},
        {"perspective beyond the far plane", {{"projType", 8}, {"wrap", false}}, {0, 0, -1.5f}, true},
        {"perspective outside the frustum", {{"projType", 8}, {"wrap", false}}, {0.6f, 0, -0.5f}, true},
        {"perspective behind, wrapped", {{"projType", 8}, {"wrap", true}}, {0, 0, 0.5f}, true},
        {"perspective at the eye, wrapped", {{"projType", 8}, {"wrap", true}}, {0, 0, 0}, true},
        {"unknown type 0", {{"projType", 0}}, {0, 0, 0}, true},
        {"unknown type 9", {{"projType", 9}}, {0, 0, 0}, true},
    };
    for (const Case &c : cases) {
        ProjectionCall call;
        call.params = c.params;
        call.point = c.p;
        const Projected r = project(call);
        EXPECT_EQ(isDefault(r), c.outside) << c.what << ": " << r.color.r << ", " << r.color.g;
    }
}

TEST(Projection, EdgeBlendTowardsTheDefaultColour) {
    // Blend weight s(a) = cos((min(a, 1) + 1) pi) / 2 + 1/2.
    auto s = [](float a) { return std::cos((std::fmin(a, 1.0f) + 1.0f) * kPi) * 0.5f + 0.5f; };
    struct Case {
        const char *what;
        int type;
        float blend;
        xrVector p;
        float e;  // expected blend
    };
    const Case cases[] = {
        {"planar centre is not blended", 1, 0.2f, {0, 0, 0}, 0.0f},
        {"planar near the x edge", 1, 0.2f, {0.95f, 0, 0}, 1.0f - s(0.05f / 0.2f)},
        {"planar near two edges", 1, 0.2f, {0.95f, -0.9f, 0}, 1.0f - s(0.05f / 0.2f) * s(0.1f / 0.2f)},
        {"no blend with blend 0", 1, 0.0f, {0.99f, 0.99f, 0.99f}, 0.0f},
        {"cubic face centre", 5, 0.3f, {0, 0, 1}, 0.0f},
        {"spherical near the surface", 2, 0.2f, {0.9f, 0, 0}, 1.0f - s(0.1f / 0.2f)},
        {"cylindrical part way up is not blended", 3, 0.2f, {0, 0.45f, 0}, 0.0f},
        {"cylindrical near the side", 3, 0.2f, {0, 0, 0.9f}, 1.0f - s(0.1f / 0.2f)},
        {"perspective off axis", 8, 0.5f, {0.3f, 0, -0.4f}, (1.0f - 0.16f / 0.25f) * 0.5f},
    };
    for (const Case &c : cases) {
        // The plain image at this point, then the blended one.
        ProjectionCall call;
        call.params = {{"projType", c.type}, {"wrap", false}};
        call.point = c.p;
        const Projected plain = project(call);
        call.params["blend"] = c.blend;
        const Projected r = project(call);
        const float e = c.e;
        EXPECT_NEAR(r.color.r, plain.color.r + (0.2f - plain.color.r) * e, 1e-5) << c.what;
        EXPECT_NEAR(r.color.g, plain.color.g + (0.4f - plain.color.g) * e, 1e-5) << c.what;
        EXPECT_NEAR(r.color.b, plain.color.b + (0.6f - plain.color.b) * e, 1e-5) << c.what;
        EXPECT_NEAR(r.alpha, plain.alpha * (1.0f - e), 1e-5) << c.what;
    }
    // A blend that reaches 1 gives the default output; so does a wrapped
    // sphere beyond its edge.
    ProjectionCall call;
    call.params = {{"projType", 1}, {"blend", 0.5f}};
    call.point = {1, 0, 0};
    EXPECT_TRUE(isDefault(project(call)));
    for (const float x : {1.05f, 1.3f, 1.5f, 2.2f}) {
        call.params = {{"projType", 2}, {"blend", 0.2f}, {"wrap", true}};
        call.point = {x, 0, 0};
        EXPECT_TRUE(isDefault(project(call))) << "wrapped sphere at " << x;
    }
}

TEST(Projection, TriplanarNormalIsTheInternalSpaceShadingNormal) {
    // A camera that turns camera z into world x: the normal (0, 0, 1) must
    // still select the z-facing plane.
    const float camToWorld[16] = {0, 0, -1, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 1};
    const float worldToCam[16] = {0, 0, 1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 0, 1};
    vh::StandaloneState ss;
    ss.ray.cameraToWorld = camToWorld;
    ss.ray.worldToCamera = worldToCam;
    ProjectionCall call;
    call.params = {{"projType", 6}};
    call.point = {0.2f, -0.4f, 0.6f};
    call.normal = {0, 0, 1};
    const Projected r = project(call, &ss);
    EXPECT_NEAR(r.color.r, 0.6f, 1e-5);
    EXPECT_NEAR(r.color.g, 0.3f, 1e-5);
}

TEST(Projection, ColourBalance) {
    ProjectionCall call;
    call.point = {0.5f, -0.2f, 0};  // u 0.75, v 0.4
    call.params = {{"projType", 1},
                   {"invert", true},
                   {"colorGain", {2, 1, 0.5, 1}},
                   {"colorOffset", {0.1, 0.2, 0.3, 0}},
                   {"alphaGain", 0.5},
                   {"alphaOffset", 0.25}};
    const Projected r = project(call);
    EXPECT_NEAR(r.color.r, 2 * (1 - 0.75f) + 0.1f, 1e-5);
    EXPECT_NEAR(r.color.g, 1 * (1 - 0.4f) + 0.2f, 1e-5);
    EXPECT_NEAR(r.color.b, 0.5f * (1 - 0.0f) + 0.3f, 1e-5);
    const float alpha = 0.5f * (1 - (0.3f * 0.75f + 0.59f * 0.4f)) + 0.25f;
    EXPECT_NEAR(r.alpha, alpha, 1e-5);
    EXPECT_NEAR(r.color.a, alpha, 1e-5);
}

TEST(Projection, PlacementMatrixAndLocalSpace) {
    // q = P * M: scale by 0.5 and move by (0.25, 0, 0).
    const float m[16] = {0.5f, 0, 0, 0, 0, 0.5f, 0, 0, 0, 0, 0.5f, 0, 0.25f, 0, 0, 1};
    ProjectionCall call;
    call.params = {{"projType", 1}, {"placementMatrix", matrixJson(m)}};
    call.point = {1, 0.4f, 0};  // q = (0.75, 0.2, 0)
    Projected r = project(call);
    EXPECT_NEAR(r.color.r, 0.875f, 1e-5);
    EXPECT_NEAR(r.color.g, 0.6f, 1e-5);

    // local: the point goes through object space first (object x = world x - 1).
    vh::StandaloneState ss;
    const float toWorld[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1};
    const float fromWorld[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -1, 0, 0, 1};
    ss.ray.objectToWorld = toWorld;
    ss.ray.worldToObject = fromWorld;
    call.params["local"] = true;
    r = project(call, &ss);  // object (0, 0.4, 0) -> q = (0.25, 0.2, 0)
    EXPECT_NEAR(r.color.r, 0.625f, 1e-5);
    EXPECT_NEAR(r.color.g, 0.6f, 1e-5);

    // With motion, the local point is taken back along the motion vector.
    vh::StandaloneState moving;
    moving.ray.objectToWorld = toWorld;
    moving.ray.worldToObject = fromWorld;
    moving.state()->sampleTime = 0.5f;
    moving.state()->motionVector = {0.4f, 0, 0};
    r = project(call, &moving);  // world (0.8, 0.4, 0) -> object (-0.2, ...) -> q.x = 0.15
    EXPECT_NEAR(r.color.r, 0.575f, 1e-5);
}

TEST(Projection, SingularPlacementWarnsOnceAndStillProjects) {
    const float singular[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    ProjectionCall call;
    call.params = {{"projType", 1}, {"placementMatrix", matrixJson(singular)}};
    call.point = {0.5f, 0.5f, 0.5f};
    const Projected r = project(call);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0], "veko_projection(): Cannot invert placement matrix.");
    EXPECT_NEAR(r.color.r, 0.75f, 1e-5);
    EXPECT_NEAR(r.color.g, 0.75f, 1e-5);
}

TEST(Projection, WithoutInitItWarnsAndGivesTheDefault) {
    ProjectionCall call;
    call.init = false;
    const Projected r = project(call);
    EXPECT_TRUE(isDefault(r));
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0], "veko_projection(): Cannot access placement matrix.");
}

TEST(Projection, RestoresTheStateAroundTheImage) {
    veko::BaseStateRecord rec = vt::templateRecord();
    rec.footprintU = {0.01f, 0.02f, 0.03f};
    rec.flags = 0x40;
    vh::StandaloneState ss;
    ss.setSurfaceSample(0.3f, 0.6f);
    const xrVector uvBefore = ss.state()->texCoords[0];
    ProjectionCall call;
    call.params = {{"projType", 2}};
    call.point = {0.5f, 0.1f, 0.2f};
    call.record = &rec;
    const Projected r = project(call, &ss);
    EXPECT_GT(r.color.r, 0.0f);
    const veko::BaseStateRecord *after = veko::lookupStateRecord(ss.state());
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->flags, 0x40);
    EXPECT_EQ(after->footprintU.x, 0.01f);
    EXPECT_EQ(after->footprintU.y, 0.02f);
    EXPECT_EQ(after->footprintU.z, 0.03f);
    EXPECT_EQ(ss.state()->texCoords[0].x, uvBefore.x);
    EXPECT_EQ(ss.state()->texCoords[0].y, uvBefore.y);
    EXPECT_EQ(ss.state()->hitPoint.x, 0.5f);
    EXPECT_EQ(ss.state()->hitPoint.y, 0.1f);
    EXPECT_EQ(ss.state()->hitPoint.z, 0.2f);
}

TEST(Projection, RipplesMoveTheLookupOnlyWithAmplitudeAndOctaves) {
    ProjectionCall call;
    call.point = {0.3f, -0.2f, 0.1f};
    call.params = {{"projType", 1}, {"ripples", {4, 4, 4}}};
    const Projected plain = project(call);
    // No amplitude, or no octaves: no noise.
    call.params["depth"] = {{"min", 0}, {"max", 0}};
    call.params["amplitudeX"] = 0.5;
    call.params["amplitudeY"] = 0.5;
    const Projected noOctaves = project(call);
    EXPECT_EQ(noOctaves.color.r, plain.color.r);
    EXPECT_EQ(noOctaves.color.g, plain.color.g);
    call.params["depth"] = {{"min", 2}, {"max", 4}};
    const Projected rippled = project(call);
    EXPECT_GT(std::fabs(rippled.color.r - plain.color.r) + std::fabs(rippled.color.g - plain.color.g), 1e-4f);
    // Amplitude only in x moves u only.
    call.params["amplitudeY"] = 0;
    const Projected xOnly = project(call);
    EXPECT_NEAR(xOnly.color.r, rippled.color.r, 1e-6);
    EXPECT_NEAR(xOnly.color.g, plain.color.g, 1e-6);
}

// The image sees the pixel footprint carried through the projection: a
// checker right at a cell edge, whose filtered contrast depends on it, gives
// what it gives when called directly with the expected footprint.
TEST(Projection, ImageFilterFootprintFollowsTheProjection) {
    const json checker = {{"name", "chk"}, {"type", "veko_checker"}};
    // Camera looking down -y: the fallback tangents (camera x and z) are
    // world x and y, so the footprint moves the point in the projection plane.
    const float camToWorld[16] = {1, 0, 0, 0, 0, 0, -1, 0, 0, 1, 0, 0, 0, 0, 0, 1};
    const float worldToCam[16] = {1, 0, 0, 0, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 0, 1};
    auto checkerAt = [&](float u, float v, xrVector footprint) {
        vh::Network net(vt::library());
        net.load({{"nodes", {checker}}});
        vh::StandaloneState ss;
        ss.setSurfaceSample(u, v);
        veko::BaseStateRecord rec = vt::templateRecord();
        rec.footprintU = footprint;
        xr_shaderstate_set(ss.state(), "vekobase", &rec, sizeof rec, 2);
        net.init(ss.state());
        float out[5];
        EXPECT_EQ(vh::callShader(*net.find("chk"), ss.state(), out), 1);
        return out[0];
    };
    // Planar projection scaled by 4: uv = 2 P + 0.5. Footprint (0.004, 0.0001)
    // spans (0.016, 0.0004) in uv: half extents (0.008, 0.0002), then the
    // aspect limit of 10 gives (0.002, 0.0002).
    const float m[16] = {4, 0, 0, 0, 0, 4, 0, 0, 0, 0, 4, 0, 0, 0, 0, 1};
    veko::BaseStateRecord rec = vt::templateRecord();
    rec.footprintU = {0.004f, 0.0001f, 0};
    vh::Network net(vt::library());
    net.load({{"nodes",
               {checker,
                {{"name", "proj"},
                 {"type", "veko_projection"},
                 {"params", {{"image", "chk.outColor"}, {"placementMatrix", matrixJson(m)}}}}}}});
    vh::StandaloneState ss;
    ss.ray.cameraToWorld = camToWorld;
    ss.ray.worldToCamera = worldToCam;
    ss.state()->hitPoint = {0.0005f, -0.1f, 0};  // uv (0.501, 0.3)
    xr_shaderstate_set(ss.state(), "vekobase", &rec, sizeof rec, 2);
    net.init(ss.state());
    float out[5];
    ASSERT_EQ(vh::callShader(*net.find("proj"), ss.state(), out), 1);
    const float expected = checkerAt(0.501f, 0.3f, {0.002f, 0.0002f, 0});
    EXPECT_NEAR(out[0], expected, 1e-5);
    // The case tells the footprints apart.
    EXPECT_GT(std::fabs(checkerAt(0.501f, 0.3f, {0.004f, 0.0001f, 0}) - expected), 0.01f);
    EXPECT_GT(std::fabs(checkerAt(0.501f, 0.3f, {0.008f, 0.0002f, 0}) - expected), 0.01f);
    net.exit(ss.state());
}

// ---------------------------------------------------------------------------
// Perspective projection through a camera: fitted from its user data.
class CameraFit : public ::testing::Test {
protected:
    void SetUp() override {
        // Camera at (0, 0, 5) looking down -z, focal length 35.
        vh::InstanceRecord inst{};
        const float toWorld[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 5, 1};
        const float fromWorld[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, -5, 1};
        std::memcpy(inst.toWorld, toWorld, sizeof toWorld);
        std::memcpy(inst.fromWorld, fromWorld, sizeof fromWorld);
        auto bits = [](float f) {
            uint32_t b;
            std::memcpy(&b, &f, 4);
            return b;
        };
        // w1..w7: w2 36 (horizontal), w3 24 (vertical), w6 1 (scale), w7 8 (orthographic width).
        data = vh::createUserData(veko::kVekoMagic, {0, bits(36), bits(24), 0, 0, bits(1), bits(8)});
        xrCamera cam{};
        cam.focalLength = 35;
        cam.cameraDataTag = data;
        camera = vh::Database::get().create(5, &cam, sizeof cam);
        inst.objectTag = camera;
        instance = vh::Database::get().create(xrDB_INSTANCE, &inst, sizeof inst);
    }
    void TearDown() override {
        vh::Database::get().remove(instance);
        vh::Database::get().remove(camera);
        vh::Database::get().remove(data);
        EXPECT_EQ(vh::Database::get().totalPins(), 0);
    }
    void setOrthographic() {
        auto *cam = static_cast<xrCamera *>(vh::Database::get().data(camera));
        cam->isOrthographic = 1;
    }
    void dropUserData() {
        auto *cam = static_cast<xrCamera *>(vh::Database::get().data(camera));
        cam->cameraDataTag = 0;
    }
    Projected at(xrVector p, json extra = json::object()) {
        ProjectionCall call;
        // Without wrap only depths up to 1 lie inside; the camera is 5 away.
        call.params = {{"projType", 8}, {"linkedCamera", instance}, {"wrap", true}};
        for (auto &[k, v] : extra.items()) call.params[k] = v;
        call.point = p;
        return project(call);
    }
    xrTag data = 0, camera = 0, instance = 0;
};

TEST_F(CameraFit, FitsThePerspectiveCamera) {
    // sx = 36 / 70, s1 = 24 / 70; camera space (1, 0.5, -5).
    const float sx = 36.0f / 70.0f, s1 = 24.0f / 70.0f;
    Projected r = at({1, 0.5f, 0});
    EXPECT_TRUE(r.warnings.empty());
    EXPECT_NEAR(r.color.r, (1 + 1 / sx / 5) * 0.5f, 1e-5);
    EXPECT_NEAR(r.color.g, (1 + 0.5f / s1 / 5) * 0.5f, 1e-5);
    // fitType 0 leaves y unscaled.
    r = at({1, 0.5f, 0}, {{"fitType", 0}});
    EXPECT_NEAR(r.color.g, (1 + 0.5f / 5) * 0.5f, 1e-5);
    // Behind the camera: the default.
    EXPECT_TRUE(isDefault(at({0, 0, 6})));
    // Unwrapped, only depths up to 1 from the camera lie inside.
    EXPECT_TRUE(isDefault(at({0, 0, 0}, {{"wrap", false}})));
    EXPECT_FALSE(isDefault(at({0.1f, 0, 4.5f}, {{"wrap", false}})));
}

TEST_F(CameraFit, FitsTheOrthographicCamera) {
    setOrthographic();
    // sx = sy = w7 / 2 = 4; q = (1/4, 0.5/4, -5): the perspective mapping on it.
    const Projected r = at({1, 0.5f, 0});
    EXPECT_NEAR(r.color.r, (1 + 0.25f / 5) * 0.5f, 1e-5);
    EXPECT_NEAR(r.color.g, (1 + 0.125f / 5) * 0.5f, 1e-5);
}

TEST_F(CameraFit, MissingUserDataFallsBackToThePlacementMatrix) {
    dropUserData();
    const Projected r = at({0.2f, -0.4f, -1});  // identity placement
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0], "veko_projection: Missing camera user data.");
    EXPECT_NEAR(r.color.r, 0.6f, 1e-5);
    EXPECT_NEAR(r.color.g, 0.3f, 1e-5);
}

TEST_F(CameraFit, ATagThatIsNoCameraIsReported) {
    ProjectionCall call;
    call.params = {{"projType", 8}, {"linkedCamera", data}};
    call.point = {0.2f, -0.4f, -1};
    const Projected r = project(call);
    ASSERT_EQ(r.warnings.size(), 1u);
    EXPECT_EQ(r.warnings[0], "veko_projection(): linkedCamera is not a camera instance.");
    EXPECT_NEAR(r.color.r, 0.6f, 1e-5);
}

// A rendered scene: a projector camera of the scene file projects the image
// onto the ground; the material reads the projection at the hit.
TEST(ProjectionRender, ProjectorCameraOfTheSceneFile) {
    static vh::Scene *g_scene = nullptr;
    static xrColor g_seen{};
    vh::registerNativeMaterial("projectionProbe", [](xrColor *c, xrState *s) {
        vh::Instance *proj = vh::networkOf(*g_scene).find("proj");
        float out[5] = {};
        vh::callShader(*proj, s, out);
        g_seen = {out[0], out[1], out[2], out[3]};
        *c = g_seen;
        return xrBoolean(1);
    });
    auto bits = [](float f) { return json(f); };
    const json doc = {
        {"nodes",
         {uvImage(),
          {{"name", "proj"},
           {"type", "veko_projection"},
           {"params", {{"image", "uv.outColor"}, {"projType", 8}, {"linkedCamera", "projector"}}}}}},
        {"camera",
         {{"type", "orthographic"},
          {"resolution", {16, 16}},
          {"aperture", 4},
          {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
        // Projector 2 above the ground looking down; w2 = 36, w3 = 36, w6 = 1.
        {"cameras",
         {{{"name", "projector"},
           {"focalLength", 36},
           {"transform", {{"lookAt", {{"eye", {0, 2, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}},
           {"userData", {0, bits(36.0f), bits(36.0f), 0, 0, bits(1.0f), bits(1.0f)}}}}},
        {"objects",
         {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"material", "native:projectionProbe"}}}}};
    auto scene = vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes");
    g_scene = scene.get();
    vh::Renderer r(*scene, 1);
    // Raster (12, 8): world (1, 0, 0); projector space (1, 0, -2) / (sx = 0.5).
    ASSERT_TRUE(r.shadeSample(0, 12, 8, 0, 0).hit);
    EXPECT_NEAR(g_seen.r, (1 + 2.0f / 2) * 0.5f, 1e-4);
    EXPECT_NEAR(g_seen.g, 0.5f, 1e-4);
    // Raster (8, 12): world (0, 0, -1), up in the projector's view.
    ASSERT_TRUE(r.shadeSample(0, 8, 12, 0, 0).hit);
    EXPECT_NEAR(g_seen.r, 0.5f, 1e-4);
    EXPECT_NEAR(g_seen.g, 1.0f, 1e-4);
    g_scene = nullptr;
}

// ---------------------------------------------------------------------------
TEST(Place3d, PlacementMatrixBlendsTowardsTheMotionMatrixOverTheShutter) {
    float m[16], mm[16];
    for (int i = 0; i < 16; ++i) m[i] = float(i), mm[i] = float(2 * i + 1);
    struct Case {
        const char *what;
        bool motionBlur;
        float shutterClose, sampleTime, motion15;
        bool blended;
    };
    const Case cases[] = {
        {"motion blur on", true, 1.0f, 0.25f, 31.0f, true},
        {"motion blur off", false, 1.0f, 0.25f, 31.0f, false},
        {"closed shutter", true, 0.0f, 0.25f, 31.0f, false},
        {"sample at time 0", true, 1.0f, 0.0f, 31.0f, false},
        {"motion matrix without a last element", true, 1.0f, 0.25f, 0.0f, false},
    };
    for (const Case &c : cases) {
        mm[15] = c.motion15;
        vh::Network net(vt::library());
        net.load({{"nodes",
                   {{{"name", "p"},
                     {"type", "veko_place3dtex"},
                     {"params", {{"placementMatrix", matrixJson(m)}, {"motionMatrix", matrixJson(mm)}}}}}}});
        vh::StandaloneState ss;
        ss.options.motionBlurOn = c.motionBlur;
        ss.options.shutterClose = c.shutterClose;
        ss.state()->sampleTime = c.sampleTime;
        net.init(ss.state());
        float out[16];
        ASSERT_EQ(vh::callShader(*net.find("p"), ss.state(), out), 1);
        for (int i = 0; i < 16; ++i) {
            const float expect = c.blended ? m[i] + (mm[i] - m[i]) * c.sampleTime : m[i];
            EXPECT_FLOAT_EQ(out[i], expect) << c.what << " element " << i;
        }
    }
}

TEST(Place3d, ConnectedPlacementDrivesTheProjection) {
    // place3dtex moves the projection's frame by (0.5, 0, 0).
    const float m[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0.5f, 0, 0, 1};
    vh::Network net(vt::library());
    net.load({{"nodes",
               {uvImage(),
                {{"name", "place"}, {"type", "veko_place3dtex"}, {"params", {{"placementMatrix", matrixJson(m)}}}},
                {{"name", "proj"},
                 {"type", "veko_projection"},
                 {"params", {{"image", "uv.outColor"}, {"placementMatrix", "place.outMatrix"}}}}}}});
    vh::StandaloneState ss;
    ss.state()->hitPoint = {0, 0, 0};
    net.init(ss.state());
    float out[5];
    ASSERT_EQ(vh::callShader(*net.find("proj"), ss.state(), out), 1);
    EXPECT_NEAR(out[0], 0.75f, 1e-5);  // q.x = 0.5
    EXPECT_NEAR(out[1], 0.5f, 1e-5);
    net.exit(ss.state());
}

}  // namespace
