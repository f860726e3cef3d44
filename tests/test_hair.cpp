// Hair strands in the reference host (Embree curves with their tangent,
// derivatives, strand parameter and colour) and the hair shader on them,
// lit from in front and behind, with indirect light gathered at a strand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"

namespace {

using vh::json;

// A strand along x from (-1, 0, 0) to (1, 0, 0), seen from +z by a 3 x 3
// orthographic view of 2 units: pixel column 2 looks at x = 2/3.
json strandScene(const json &nodes, const json &hair, const std::string &material, const json &lights = json::array(),
                 const json &options = {{"trace", true}}) {
    json doc = {{"nodes", nodes},
                {"camera",
                 {{"type", "orthographic"},
                  {"resolution", {3, 3}},
                  {"aperture", 2},
                  {"transform", {{"lookAt", {{"eye", {0, 0, 5}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}}}}},
                {"options", options},
                {"state", "st"},
                {"objects", {{{"name", "strand"}, {"hair", hair}, {"material", material}}}},
                {"lights", lights}};
    doc["nodes"].push_back({{"name", "st"}, {"type", "veko_state"}});
    return doc;
}

const json kStraight = {{"strands", {{-1, 0, 0, 0, 0, 0, 1, 0, 0}}},
                        {"width", 0.2},
                        {"rootColor", {1, 0, 0}},
                        {"tipColor", {0, 0, 1}}};

// What the probe material saw on a strand.
struct Hit {
    xrVector point, normal, color;
    float t = -1;
    float hair[6] = {};
    bool hasHairData = false;
    int32_t spaces = -1, derivSets = -1, hairDerivs = -1;
    xrBoolean triangle = 1;
};
Hit g_hit;

void registerProbe() {
    vh::registerNativeMaterial("hairProbe", [](xrColor *c, xrState *s) {
        *c = {0, 0, 0, 1};
        g_hit.point = s->hitPoint;
        g_hit.normal = s->shadingNormal;
        g_hit.color = s->texCoords[0];
        g_hit.t = s->baryWeights[1];
        g_hit.hasHairData = s->hairData != nullptr;
        if (s->hairData) std::memcpy(g_hit.hair, s->hairData, sizeof g_hit.hair);
        xr_query(82, s, 0, &g_hit.spaces);
        xr_query(137, s, 0, &g_hit.derivSets);
        xr_query(138, s, 0, &g_hit.hairDerivs);
        xrVector *a, *b, *e;
        g_hit.triangle = xr_tri_vectors(s, 112, 0, &a, &b, &e);
        return xrBoolean(1);
    });
}

// A loaded scene with a render session, for single eye samples.
struct Session {
    vh::ScenePtr scene;
    std::unique_ptr<vh::Renderer> renderer;
    explicit Session(const json &doc)
        : scene(vh::loadSceneJson(vt::library(), doc, "hair-test.json")),
          renderer(std::make_unique<vh::Renderer>(*scene, 1)) {}
    vh::Renderer::Sample at(float x, float y) { return renderer->shadeSample(0, x, y, 0, 0); }
};

vh::Renderer::Sample shade(const json &doc, float x, float y) { return Session(doc).at(x, y); }

void expectVec(const float *got, xrVector want, float tol, const char *what) {
    EXPECT_NEAR(got[0], want.x, tol) << what;
    EXPECT_NEAR(got[1], want.y, tol) << what;
    EXPECT_NEAR(got[2], want.z, tol) << what;
}

// A ray that meets a strand: the hit lies on the strand, the normal faces the
// ray, the strand parameter runs root to tip, the colour goes from the
// root's to the tip's, dP/dt follows the strand (its length: 2) and the
// second derivative spans its width across it; the host reports hair
// derivatives (138), one texture space and no surface derivatives or
// triangle.
TEST(HairStrand, HitRecord) {
    registerProbe();
    struct Case {
        const char *what;
        json transform;
        float px, py;  // raster position
        float t;       // strand parameter there
        xrVector point, tangent, across;
    };
    const Case cases[] = {
        {"along x", json(), 2.5f, 1.5f, 5.0f / 6, {2.0f / 3, 0, 0}, {2, 0, 0}, {0, 0.2f, 0}},
        {"turned to y", {{"rotate", {0, 0, 90}}}, 1.5f, 2.5f, 5.0f / 6, {0, 2.0f / 3, 0}, {0, 2, 0}, {-0.2f, 0, 0}},
        {"scaled by 2", {{"scale", 2}}, 1.5f, 1.5f, 0.5f, {0, 0, 0}, {4, 0, 0}, {0, 0.4f, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json doc = strandScene(json::array(), kStraight, "native:hairProbe");
        if (!c.transform.is_null()) doc["objects"][0]["transform"] = c.transform;
        g_hit = Hit{};
        ASSERT_TRUE(shade(doc, c.px, c.py).hit);
        const float t = c.t;
        expectVec(&g_hit.point.x, c.point, 1e-4f, "point");
        expectVec(&g_hit.normal.x, {0, 0, 1}, 1e-5f, "normal");
        EXPECT_NEAR(g_hit.t, t, 1e-4f);
        expectVec(&g_hit.color.x, {1 - t, 0, t}, 1e-4f, "colour");
        ASSERT_TRUE(g_hit.hasHairData);
        expectVec(g_hit.hair, c.tangent, 1e-4f, "dP/dt");
        // Across the strand: either side will do.
        const float sign = g_hit.hair[3] * c.across.x + g_hit.hair[4] * c.across.y < 0 ? -1.0f : 1.0f;
        const float across[3] = {sign * g_hit.hair[3], sign * g_hit.hair[4], sign * g_hit.hair[5]};
        expectVec(across, c.across, 1e-4f, "across");
        EXPECT_EQ(g_hit.hairDerivs, 1);
        EXPECT_EQ(g_hit.spaces, 1);
        EXPECT_EQ(g_hit.derivSets, 0);
        EXPECT_EQ(g_hit.triangle, 0);
    }
    // Beside the strand the ray meets nothing.
    EXPECT_FALSE(shade(strandScene(json::array(), kStraight, "native:hairProbe"), 1.5f, 0.5f).hit);
}

// A bent strand: the tangent follows the curve through its control points.
// Through (-1, 0, 0), (0, 1, 0), (1, 0, 0) the top is reached at x = 0 with
// a horizontal tangent; halfway down the flanks it points down-right.
TEST(HairStrand, TangentFollowsTheCurve) {
    registerProbe();
    const json arch = {{"strands", {{-1, 0, 0, 0, 1, 0, 1, 0, 0}}}, {"width", 0.1}};
    json doc = strandScene(json::array(), arch, "native:hairProbe");
    doc["camera"]["aperture"] = 4;  // pixel centres at x, y in {-4/3, 0, 4/3}
    doc["camera"]["resolution"] = {3, 3};
    Session session(doc);
    g_hit = Hit{};
    ASSERT_TRUE(session.at(1.5f, 1.5f + 0.75f).hit);  // the ray at y = 1
    EXPECT_NEAR(g_hit.point.y, 1.0f, 1e-3f);
    EXPECT_NEAR(g_hit.hair[1] / g_hit.hair[0], 0.0f, 1e-3f);
    EXPECT_NEAR(g_hit.t, 0.5f, 1e-3f);
    // The flanks: the tangent's slope equals the curve's slope between
    // neighbouring hits.
    std::vector<xrVector> pts;
    std::vector<float> slopes;
    for (float x : {0.55f, 0.56f}) {
        g_hit = Hit{};
        // Column through x, scanning rows for the strand.
        bool found = false;
        for (float y = 0; y <= 3 && !found; y += 0.0025f) {
            auto s = session.at(1.5f + x * 0.75f, y);
            found = s.hit;
        }
        ASSERT_TRUE(found) << x;
        pts.push_back(g_hit.point);
        slopes.push_back(g_hit.hair[1] / g_hit.hair[0]);
    }
    const float secant = (pts[1].y - pts[0].y) / (pts[1].x - pts[0].x);
    EXPECT_LT(slopes[0], -0.3f);
    EXPECT_NEAR(0.5f * (slopes[0] + slopes[1]), secant, 0.1f);
}

// Scene errors name the object and what is wrong.
TEST(HairStrand, SceneErrors) {
    struct Case {
        json hair;
        const char *message;
    };
    const Case cases[] = {
        {{{"strands", {{0, 0, 0, 1}}}}, "hair-test.json: objects[0] (\"strand\").hair.strands[0]: \"strands\" needs at least 6 numbers"},
        {{{"strands", {{0, 0, 0, 1, 0, 0, 2}}}}, "hair-test.json: objects[0] (\"strand\").hair.strands[0]: a strand needs x, y, z for each of its points"},
        {{{"width", 0.1}}, "hair-test.json: objects[0] (\"strand\").hair: needs either \"strands\" or \"surface\""},
        {{{"surface", {{"type", "sphere"}}}, {"count", 0}}, "hair-test.json: objects[0] (\"strand\").hair: \"count\" must be 1 to 10000000"},
        {{{"strands", {{0, 0, 0, 1, 0, 0}}}, {"width", 0}}, "hair-test.json: objects[0] (\"strand\").hair: \"width\" must be positive and \"tipWidth\" not negative"},
        {{{"strands", {{0, 0, 0, 1, 0, 0}}}, {"curl", 1}}, "hair-test.json: objects[0] (\"strand\").hair: unknown key \"curl\""},
        {{{"surface", {{"type", "sphere"}}}, {"length", 0.17}, {"width", 1.0}},
         "hair-test.json: objects[0] (\"strand\").hair: \"width\" and \"tipWidth\" must not exceed \"length\" (0.170000)"},
    };
    for (const Case &c : cases) {
        try {
            vh::loadSceneJson(vt::library(), strandScene(json::array(), c.hair, ""), "hair-test.json");
            ADD_FAILURE() << "no error for " << c.hair.dump();
        } catch (const vh::Error &e) {
            EXPECT_EQ(std::string(e.what()), c.message);
        }
    }
    json both = strandScene(json::array(), kStraight, "");
    both["objects"][0]["mesh"] = {{"type", "sphere"}};
    EXPECT_THROW(vh::loadSceneJson(vt::library(), both, "hair-test.json"), vh::Error);
}

// ---------------------------------------------------------------------------
// The hair shader on the strand along x (tangent +-x), eye rays along -z.
const xrColor kStrandColor{0.5f, 0.4f, 0.3f, 1};
const xrColor kSpecular{0.1f, 0.2f, 0.3f, 1};

json hairNodes(json params) {
    params["specularColor"] = {kSpecular.r, kSpecular.g, kSpecular.b, 1};
    return {{{"name", "hair"}, {"type", "veko_hairshader"}, {"params", params}},
            {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "hair"}}}},
            {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"useRayTraceShadows", 0}}}}};
}

json coloredStrand() {
    json h = kStraight;
    h["rootColor"] = h["tipColor"] = {kStrandColor.r, kStrandColor.g, kStrandColor.b};
    return h;
}

// A directional light shining from `from`.
json sunFrom(xrVector from) {
    const json up = std::fabs(from.y) > 0.9f ? json{0, 0, -1} : json{0, 1, 0};
    const json look = {{"eye", {from.x, from.y, from.z}}, {"target", {0, 0, 0}}, {"up", up}};
    return json::array({{{"name", "l"}, {"shader", "sun"}, {"transform", {{"lookAt", look}}}}});
}

// Lit from in front of the strand (the light behind the viewer) the diffuse
// weight is 1, from straight behind it the translucence; the highlight is 1
// when the tangent makes the same angle with light and view, here in both.
// From 45 degrees aside, T.L = 0.7071 and T.V = 0: x = 0.35355, highlight
// (2x^3 - 3x^2 + 1)^p = 0.713388^3; a power of 1 counts as 3.
TEST(HairShader, LitFromInFrontAndBehind) {
    struct Case {
        const char *what;
        xrVector from;
        float power;
        float diffuse, highlight;
    };
    const float k = 0.75f, tr = 0.25f;
    const float oblique = 0.713388f * 0.713388f * 0.713388f;
    const Case cases[] = {
        {"in front", {0, 0, 5}, 10, 1.0f, 1.0f},
        {"behind", {0, 0, -5}, 10, tr, 1.0f},
        {"aside, power 3", {5, 0, 5}, 3, (1 - (1 - 0.70710678f) / 2) * k + tr, oblique},
        {"aside, power 1", {5, 0, 5}, 1, (1 - (1 - 0.70710678f) / 2) * k + tr, oblique},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const json doc = strandScene(hairNodes({{"translucence", tr}, {"specularPower", c.power}}), coloredStrand(),
                                     "sg", sunFrom(c.from));
        const auto s = shade(doc, 1.5f, 1.5f);
        ASSERT_TRUE(s.hit);
        EXPECT_NEAR(s.color.r, kStrandColor.r * c.diffuse + kSpecular.r * c.highlight, 1e-4f);
        EXPECT_NEAR(s.color.g, kStrandColor.g * c.diffuse + kSpecular.g * c.highlight, 1e-4f);
        EXPECT_NEAR(s.color.b, kStrandColor.b * c.diffuse + kSpecular.b * c.highlight, 1e-4f);
    }
}

// A ramp with entries tints the strand colour by its value at the strand
// parameter: white at the root to black at the tip leaves 1/6 at t = 5/6.
TEST(HairShader, RampTintsAlongTheStrand) {
    json params = {{"translucence", 0.0}};
    params["hairColorRamp"] = {{{"position", 0}, {"value", {1, 1, 1, 1}}, {"interpolation", 1}},
                               {{"position", 1}, {"value", {0, 0, 0, 1}}, {"interpolation", 1}}};
    const auto s = shade(strandScene(hairNodes(params), coloredStrand(), "sg", sunFrom({0, 0, 5})), 2.5f, 1.5f);
    ASSERT_TRUE(s.hit);
    EXPECT_NEAR(s.color.r, kStrandColor.r / 6 + kSpecular.r, 1e-4f);
    EXPECT_NEAR(s.color.b, kStrandColor.b / 6 + kSpecular.b, 1e-4f);
}

// Opacity scales the colour, and the strand shows what lies behind it
// through 1 - opacity; shadow rays pass the strand untouched.
TEST(HairShader, OpacityAndShadows) {
    registerProbe();
    const json doc = strandScene(hairNodes({{"translucence", 0.0}, {"opacity", 0.25}}), coloredStrand(), "sg",
                                 sunFrom({0, 0, 5}));
    const auto s = shade(doc, 1.5f, 1.5f);
    ASSERT_TRUE(s.hit);
    EXPECT_NEAR(s.color.r, 0.25f * (kStrandColor.r + kSpecular.r), 1e-4f);

    // A ground lit through a dense curtain of strands under the hair shader.
    json lit = strandScene(hairNodes({{"translucence", 0.0}}), coloredStrand(), "sg", sunFrom({0, 0, 5}));
    json curtain = json::array();
    for (int i = 0; i < 40; ++i) {
        const float y = -1 + i * 0.05f;
        curtain.push_back({-1, y, 1, 1, y, 1});
    }
    lit["objects"][0]["hair"]["strands"] = curtain;
    lit["objects"][0]["hair"]["width"] = 0.06;
    lit["objects"].push_back({{"name", "back"},
                              {"mesh", {{"type", "plane"}, {"size", 10}}},
                              {"transform", {{"rotate", {90, 0, 0}}, {"translate", {0, 0, -1}}}},
                              {"material", "lam"}});
    lit["nodes"].push_back({{"name", "lamb"}, {"type", "veko_lambert"}, {"params", {{"color", {1, 1, 1, 1}}, {"diffuse", 1}}}});
    lit["nodes"].push_back({{"name", "lam"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "lamb"}}}});
    lit["nodes"][2]["params"]["useRayTraceShadows"] = 1;
    lit["nodes"][2]["params"]["shadowRays"] = 1;
    lit["nodes"][2]["params"]["rayDepthLimit"] = 4;
    lit["camera"]["clip"] = {4.5, 100};  // the camera looks past the curtain
    const auto g = shade(lit, 1.5f, 1.5f);
    ASSERT_TRUE(g.hit);
    EXPECT_NEAR(g.color.r, 1.0f, 1e-4f);
}

// Indirect light at a strand: xr_compute_irradiance gathers over the whole
// sphere (a strand has no side), and the shader adds irradiance / pi to the
// strand colour before the lights' diffuse weight. Under a uniform
// environment E every gather ray sees E; a wall close behind the strand
// blocks about half of them.
TEST(HairShader, IrradianceOverTheSphere) {
    const xrColor E{0.5f, 0.25f, 1.0f, 1};
    struct Case {
        const char *what;
        bool gather, wall;
        float seen, tol;  // fraction of E
    };
    const Case cases[] = {{"no final gather", false, false, 0, 1e-4f},
                          {"open", true, false, 1, 1e-4f},
                          {"wall behind", true, true, 0.5f, 0.08f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json nodes = hairNodes({{"translucence", 0.0}});
        nodes[0]["params"]["specularColor"] = {0, 0, 0, 1};
        nodes.push_back({{"name", "env"}, {"type", "veko_blend"}, {"params", {{"blender", 1.0}, {"color1", {E.r, E.g, E.b, 1}}}}});
        json doc = strandScene(nodes, coloredStrand(), "sg", sunFrom({0, 0, 5}),
                               {{"trace", true}, {"finalGather", c.gather}, {"finalGatherRays", 256}});
        doc["camera"]["environment"] = "env";
        if (c.wall)
            doc["objects"].push_back({{"name", "wall"},
                                      {"mesh", {{"type", "plane"}, {"size", 400}}},
                                      {"transform", {{"rotate", {90, 0, 0}}, {"translate", {0, 0, -0.5}}}},
                                      {"material", "native:black"}});
        vh::registerNativeMaterial("black", [](xrColor *col, xrState *) {
            *col = {0, 0, 0, 1};
            return xrBoolean(1);
        });
        const auto s = shade(doc, 1.5f, 1.5f);
        ASSERT_TRUE(s.hit);
        EXPECT_NEAR(s.color.r, kStrandColor.r + c.seen * E.r, c.tol);
        EXPECT_NEAR(s.color.g, kStrandColor.g + c.seen * E.g, c.tol);
        EXPECT_NEAR(s.color.b, kStrandColor.b + c.seen * E.b, c.tol);
    }
}

// Called directly: a shadow ray passes the strand untouched (transparency 1,
// nothing else written); without the per-ray record the shader warns.
TEST(HairShader, ShadowRayAndMissingRecord) {
    vt::Surface shadow("veko_hairshader");
    shadow.ss.state()->rayKind = 5;
    const veko::MaterialResult r = shadow.call();
    EXPECT_EQ(shadow.ok, 1);
    EXPECT_EQ(r.outTransparency.r, 1.0f);
    EXPECT_EQ(r.outTransparency.a, 1.0f);
    EXPECT_EQ(r.outColor.r, vt::kUnset);

    vt::Surface bare("veko_hairshader", false);
    bare.call();
    EXPECT_EQ(bare.ok, 0);
    ASSERT_EQ(bare.warnings.size(), 1u);
    EXPECT_EQ(bare.warnings[0], "veko_hairshader(): Internal state error.");
}

// Layer rays (kind 1) turn the hair opaque once their chain is deeper than
// min(maxRefractionDepth, maxTraceDepth): the count starts there at this
// state and drops by one per spawning state.
TEST(HairShader, LayerCutOff) {
    struct Case {
        const char *what;
        int kind, refraction, trace, parentKind;
        bool opaque;
    };
    const Case cases[] = {
        {"not a layer ray", 0, 0, 0, 1, false},
        {"depth left", 1, 2, 4, 0, false},
        {"no depth left", 1, 0, 4, 0, true},
        {"trace depth the lower", 1, 4, 0, 0, true},
        {"layer parent past the depth", 1, 1, 4, 1, true},
        {"other parent", 1, 1, 4, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vt::Surface s("veko_hairshader");
        s.set({{"opacity", 0.5}});
        xrState parent{};
        parent.rayKind = c.parentKind;
        s.ss.state()->rayKind = c.kind;
        s.ss.state()->spawningState = &parent;
        s.ss.options.maxRefractionDepth = c.refraction;
        s.ss.options.maxTraceDepth = c.trace;
        const veko::MaterialResult r = s.call();
        s.ss.state()->spawningState = nullptr;
        EXPECT_EQ(r.outTransparency.r, c.opaque ? 0.0f : 0.5f);
        EXPECT_EQ(r.outMatteOpacity[0], c.opaque ? 1.0f : 0.5f);
    }
}

// Grown fur is the same for the same seed and differs for another.
TEST(HairStrand, FurIsDeterministic) {
    auto renderFur = [](int seed) {
        const json fur = {{"surface", {{"type", "sphere"}, {"radius", 0.5}}}, {"count", 3000}, {"length", 0.3},
                          {"width", 0.01}, {"randomness", 0.5}, {"seed", seed}};
        json doc = strandScene(json::array(), fur, "");
        doc["camera"]["resolution"] = {24, 24};
        auto scene = vh::loadSceneJson(vt::library(), doc, "hair-test.json");
        vh::RenderOptions ro;
        ro.threads = 2;
        ro.progress = false;
        return vh::render(*scene, ro).rgba;
    };
    const auto a = renderFur(7), b = renderFur(7), c = renderFur(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

}  // namespace
