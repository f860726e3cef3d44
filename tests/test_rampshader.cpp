// The ramp shader on the shared surface pipeline: colour from the ramp by
// light angle, facing ratio and lit brightness (a one-entry ramp and the
// ramp's ends), the forward-scattering diffuse term, the Blinn-shaped
// highlight, the ramp reflection and the transparency ramp on shadow rays.
#include <gtest/gtest.h>

#include <cmath>

#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"

namespace {

using vh::json;

json entry(double pos, json value) { return {{"position", pos}, {"value", value}, {"interpolation", 1}}; }
json colorRamp(std::initializer_list<std::pair<double, json>> list) {
    json a = json::array();
    for (auto &[p, v] : list) a.push_back(entry(p, v));
    return a;
}

const json kRed = {1, 0, 0, 1}, kBlue = {0, 0, 1, 1};

// Rendered plane facing up, seen straight down (facing ratio 1), lit by
// directional lights; diffuse 0.8.
TEST(RampShader, ColourFromTheRamp) {
    const json redToBlue = colorRamp({{0.0, kRed}, {1.0, kBlue}});
    const json innerRedBlue = colorRamp({{0.2, kRed}, {0.8, kBlue}});
    struct Case {
        const char *what;
        json params;
        std::vector<vt::DirLight> lights;
        xrColor want;
    } cases[] = {
        {"one entry, light angle", {{"colorRamp", colorRamp({{0.5, {0.2, 0.4, 0.6, 1}}})}, {"colorInput", 0}},
         {{{0, 1, 0}, 1.0f}}, {0.8f * 0.2f, 0.8f * 0.4f, 0.8f * 0.6f, 0}},
        // light straight above: (c + 1)/2 = 1, above the last entry
        {"light angle, top end", {{"colorRamp", innerRedBlue}, {"colorInput", 0}}, {{{0, 1, 0}, 1.0f}}, {0, 0, 0.8f, 0}},
        // light straight below reaches only through translucence (full
        // value, focus 0) at (c + 1)/2 = 0, below the first entry
        {"light angle, bottom end",
         {{"colorRamp", innerRedBlue}, {"colorInput", 0}, {"translucence", 0.5}, {"translucenceFocus", 0.0}},
         {{{0, -1, 0}, 1.0f}}, {0.5f, 0, 0, 0}},
        {"facing ratio 1: top end", {{"colorRamp", innerRedBlue}, {"colorInput", 1}}, {{{0, 1, 0}, 2.0f}}, {0, 0, 1.6f, 0}},
        // no light: brightness 0, the ramp's first entry
        {"brightness without lights", {{"colorRamp", redToBlue}, {"colorInput", 2}}, {}, {1, 0, 0, 0}},
        // brightness (3 x 0.5) x 0.8 / 3 = 0.4
        {"brightness", {{"colorRamp", redToBlue}, {"colorInput", 2}}, {{{0, 1, 0}, 0.5f}}, {0.6f, 0, 0.4f, 0}},
        // normalised: weighted brightness / brightness = 0.8 at any intensity
        {"normalised brightness", {{"colorRamp", redToBlue}, {"colorInput", 3}}, {{{0, 1, 0}, 0.5f}}, {0.2f, 0, 0.8f, 0}},
        // forward scatter 1 is taken as 0.9999: light from straight above
        // shines away from the viewer, D = -g c diffuse with g = -0.0001
        {"forward scatter 1", {{"colorRamp", colorRamp({{0.5, {1, 1, 1, 1}}})}, {"forwardScatter", 1.0}},
         {{{0, 1, 0}, 1.0f}}, {0.8e-4f, 0.8e-4f, 0.8e-4f, 0}},
    };
    for (const Case &k : cases) {
        json params = k.params;
        params["matteOpacityMode"] = 1;
        params["specularity"] = 0.0;
        const xrColor c = vt::renderLayers({{"veko_rampshader", params}}, k.lights);
        EXPECT_NEAR(c.r, k.want.r, 1e-4f) << k.what;
        EXPECT_NEAR(c.g, k.want.g, 1e-4f) << k.what;
        EXPECT_NEAR(c.b, k.want.b, 1e-4f) << k.what;
        EXPECT_TRUE(std::isfinite(c.r)) << k.what;
    }
}

// The highlight has Blinn's shape: with roll-off 1, a white highlight ramp
// and specularity 1 it equals a Blinn highlight of the same eccentricity;
// eyeSpecularity scales it on eye rays.
TEST(RampShader, HighlightMatchesBlinn) {
    const std::vector<vt::DirLight> light = {{{1, 2, 0}, 1.0f}};
    const json blinn = {{"color", {0, 0, 0, 1}}, {"eccentricity", 0.3}, {"specularRollOff", 1.0},
                        {"specularColor", {1, 1, 1, 1}}, {"reflectivity", 0.0}, {"matteOpacityMode", 1}};
    const xrColor b = vt::renderLayers({{"veko_blinn", blinn}}, light);
    ASSERT_GT(b.r, 0.01f);
    for (float eye : {1.0f, 0.5f}) {
        const json ramp = {{"colorRamp", colorRamp({{0.5, {0, 0, 0, 1}}})},
                           {"specularColorRamp", colorRamp({{0.5, {1, 1, 1, 1}}})},
                           {"specularRollOffRamp", json::array({{{"position", 0.5}, {"value", 1.0}, {"interpolation", 1}}})},
                           {"eccentricity", 0.3}, {"specularity", 1.0}, {"eyeSpecularity", eye}, {"matteOpacityMode", 1}};
        const xrColor r = vt::renderLayers({{"veko_rampshader", ramp}}, light);
        EXPECT_NEAR(r.r, eye * b.r, 1e-4f * b.r) << "eye specularity " << eye;
        EXPECT_NEAR(r.b, eye * b.b, 1e-4f * b.b) << "eye specularity " << eye;
    }
}

// Reflection without tracing: the environment ramp at the mirror
// direction's height ((1 + 1)/2: straight up) plus the (black) environment,
// times the reflectivity ramp.
TEST(RampShader, RampReflection) {
    const json ramp = {{"colorRamp", colorRamp({{0.5, {0, 0, 0, 1}}})},
                       {"reflectivityRamp", json::array({{{"position", 0.5}, {"value", 0.5}, {"interpolation", 1}}})},
                       {"environmentRamp", colorRamp({{0.0, {1, 1, 1, 1}}, {1.0, {0.2, 0.4, 0.6, 1}}})},
                       {"reflectionLimit", 0}, {"specularity", 0.0}, {"matteOpacityMode", 1}};
    const xrColor c = vt::renderLayers({{"veko_rampshader", ramp}}, {});
    EXPECT_NEAR(c.r, 0.1f, 1e-5f);
    EXPECT_NEAR(c.g, 0.2f, 1e-5f);
    EXPECT_NEAR(c.b, 0.3f, 1e-5f);
}

// A shadow ray sees the transparency ramp at the facing ratio; nothing else
// of the result is touched.
TEST(RampShader, ShadowRaySeesTheTransparencyRamp) {
    vt::Surface s("veko_rampshader");
    s.set({{"transparencyRamp", colorRamp({{0.0, {0, 0, 0, 0}}, {1.0, {0.5, 0.25, 1, 1}}})}});
    xrState *st = s.ss.state();
    st->rayKind = xrRAY_SHADOW;
    st->cosView = -0.5f;
    const veko::MaterialResult r = s.call();
    EXPECT_TRUE(s.ok);
    EXPECT_NEAR(r.outTransparency.r, 0.25f, 1e-6f);
    EXPECT_NEAR(r.outTransparency.g, 0.125f, 1e-6f);
    EXPECT_NEAR(r.outTransparency.b, 0.5f, 1e-6f);
    EXPECT_EQ(r.outColor.r, vt::kUnset);

    vt::Surface bare("veko_rampshader", false);
    bare.call();
    EXPECT_FALSE(bare.ok);
    ASSERT_EQ(bare.warnings.size(), 1u);
    EXPECT_EQ(bare.warnings[0], "veko_rampshader(): Internal state error.");
}

}  // namespace
