// The glossy models veko_blinn, veko_phong, veko_phongE and veko_anisotropic
// through the reference host. Block layout, the reflection step's weights
// and fallbacks need no scene (standalone state with the per-ray record);
// highlights are checked in rendered scenes with real lights.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"
#include "surface_fixture.h"
#include "vekobase.h"

namespace {

using veko::BaseStateRecord;
using veko::MaterialResult;
using vh::json;

const char *const kModels[] = {"veko_blinn", "veko_phong", "veko_phongE", "veko_anisotropic"};
using vt::kUnset;
using vt::templateRecord;

// Surface nodes here run without tracing (no scene to trace into).
class Surface : public vt::Surface {
public:
    explicit Surface(const std::string &type, bool withRecord = true) : vt::Surface(type, withRecord, false) {}
};

void expect3(const float *p, float a, float b, float c, const std::string &what, float tol = 1e-5f) {
    EXPECT_NEAR(p[0], a, tol) << what;
    EXPECT_NEAR(p[1], b, tol) << what;
    EXPECT_NEAR(p[2], c, tol) << what;
}

// A colour source node: veko_blend with blender 1 gives color1.
vh::Instance &colorSource(Surface &s, const std::string &name, const json &color) {
    vh::Instance &src = s.net().add(name, "veko_blend");
    src.setLiteral("blender", 1.0);
    src.setLiteral("color1", color);
    return src;
}

// Rendered surface scenes (shared with the other surface suites).
using Light = vt::DirLight;
using vt::Layer;
using vt::renderLayers;

// ---------------------------------------------------------------------------
TEST(Specular, MissingRecordWarns) {
    for (const char *model : kModels) {
        Surface s(model, false);
        s.call();
        EXPECT_EQ(s.ok, 0) << model;
        ASSERT_EQ(s.warnings.size(), 1u) << model;
        EXPECT_EQ(s.warnings[0], std::string(model) + "(): Internal state error.");
    }
}

// Each model reads the shared words behind its own head: colour, ambient,
// incandescence, glow, transparency and matte land where the declarations
// put them, and a shadow ray sees the transparency.
TEST(Specular, SharedWordsFollowTheHead) {
    for (const char *model : kModels) {
        Surface s(model);
        s.set({{"color", {0.5, 0.25, 1.0, 1.0}}, {"ambientColor", {0.4, 0.4, 0.4, 0.0}},
               {"incandescence", {0.1, 0.0, 0.0, 0.0}}, {"glowIntensity", 0.5},
               {"transparency", {0.5, 0.5, 0.5, 0.0}}, {"matteOpacityMode", 1}, {"matteOpacity", 0.3},
               {"reflectivity", 0.0}});
        MaterialResult r = s.call();
        ASSERT_EQ(s.ok, 1) << model;
        expect3(&r.ambientPass.r, 0.2f, 0.1f, 0.4f, std::string(model) + " ambient");
        expect3(&r.outColor.r, 0.2f, 0.05f, 0.2f, std::string(model) + " colour");
        expect3(r.outGlowColor, 0.1f, 0.025f, 0.1f, std::string(model) + " glow");
        expect3(r.outMatteOpacity, 0.3f, 0.3f, 0.3f, std::string(model) + " matte");
        expect3(&r.outTransparency.r, 0.5f, 0.5f, 0.5f, std::string(model) + " transparency");

        s.ss.state()->rayKind = xrRAY_SHADOW;
        r = s.call();
        expect3(&r.outTransparency.r, 0.5f, 0.5f, 0.5f, std::string(model) + " shadow ray");
        EXPECT_EQ(r.outColor.r, kUnset) << model;
    }
}

// Without tracing, a connected reflectedColor is the reflected colour; it is
// weighted by min(reflectivity, 1) x specularColor, goes to the reflection
// pass, the colour and (times glowIntensity) the glow. A black specular
// colour or a reflectivity of 0 reflects nothing.
TEST(Specular, ConnectedReflectedColorWithoutTracing) {
    struct Case {
        json specularColor;
        float reflectivity;
        std::vector<float> want;
    } cases[] = {
        {{0.5, 1.0, 0.25, 1.0}, 0.8f, {0.8f * 0.5f * 0.2f, 0.8f * 1.0f * 0.4f, 0.8f * 0.25f * 0.6f}},
        {{1.0, 1.0, 1.0, 1.0}, 3.0f, {0.2f, 0.4f, 0.6f}},  // reflectivity clamped to 1
        {{0.0, 0.0, 0.0, 1.0}, 1.0f, {0, 0, 0}},
        {{1.0, 1.0, 1.0, 1.0}, 0.0f, {0, 0, 0}},
    };
    for (const char *model : kModels) {
        int i = 0;
        for (const Case &k : cases) {
            const std::string what = std::string(model) + " case " + std::to_string(i++);
            Surface s(model);
            colorSource(s, "env", {0.2, 0.4, 0.6, 1.0});
            s.net().connect(*s.node, "reflectedColor", "env.outColor");
            s.set({{"color", {0, 0, 0, 1}}, {"specularColor", k.specularColor}, {"reflectivity", k.reflectivity},
                   {"glowIntensity", 2.0}, {"matteOpacityMode", 1}});
            if (std::string(model) == "veko_anisotropic") s.set({{"anisotropicReflectivity", 0}});
            MaterialResult r = s.call();
            ASSERT_EQ(s.ok, 1) << what;
            expect3(&r.reflectionPass.r, k.want[0], k.want[1], k.want[2], what + " pass");
            expect3(&r.outColor.r, k.want[0], k.want[1], k.want[2], what + " colour");
            expect3(r.outGlowColor, 2 * k.want[0], 2 * k.want[1], 2 * k.want[2], what + " glow");
            EXPECT_EQ(r.specularPass.r, 0.0f) << what;
        }
    }
}

// With neither tracing nor a connected colour the environment shader is
// called directly (the host's reflection limit is 0) along the mirror
// direction of the view ray.
TEST(Specular, EnvironmentCalledDirectlyBeyondHostLimits) {
    Surface s("veko_phong");
    colorSource(s, "env", {0.3, 0.6, 0.9, 1.0});
    s.ss.state()->environmentShader = s.net().tagOf("env");
    s.ss.options.maxReflectionDepth = 0;
    s.set({{"specularColor", {1, 1, 1, 1}}, {"reflectivity", 0.5}, {"matteOpacityMode", 1}});
    MaterialResult r = s.call();
    expect3(&r.reflectionPass.r, 0.15f, 0.3f, 0.45f, "reflection");
    EXPECT_EQ(s.ss.state()->rayKind, xrRAY_EYE);
    EXPECT_EQ(s.ss.state()->rayDirection.z, -1.0f);
}

// Blinn's reflection roll-off: r x (rollOff + (1 - rollOff)(1 + cosView)^3).
// Seen head-on (cosView -1) only the roll-off remains.
TEST(Specular, BlinnReflectionRollOff) {
    struct Case {
        int rollOff;
        float cosView;
        float factor;
    } cases[] = {{0, -1.0f, 1.0f}, {1, -1.0f, 0.25f}, {1, -0.5f, 0.25f + 0.75f * 0.125f}};
    for (const Case &k : cases) {
        Surface s("veko_blinn");
        colorSource(s, "env", {1, 1, 1, 1});
        s.net().connect(*s.node, "reflectedColor", "env.outColor");
        s.set({{"specularColor", {1, 1, 1, 1}}, {"reflectivity", 0.8}, {"specularRollOff", 0.25},
               {"reflectionRollOff", k.rollOff}, {"matteOpacityMode", 1}});
        xrState *st = s.ss.state();
        const float sinV = std::sqrt(1 - k.cosView * k.cosView);
        st->rayDirection = {sinV, 0, k.cosView};
        st->cosView = k.cosView;
        MaterialResult r = s.call();
        const float want = 0.8f * k.factor;
        expect3(&r.reflectionPass.r, want, want, want, "rollOff " + std::to_string(k.rollOff));
    }
}

// The anisotropic model weights its reflection by the Fresnel term of the
// view direction and the roughness decay: head-on, with index n,
// g = sqrt(n), F = ((1 - g)/(1 + g))^2 (both terms alike), decay
// e^-(22.847946^2 sigma).
TEST(Specular, AnisotropicFresnelReflectivity) {
    const float n = 4.0f, sigma = 0.001f;
    Surface s("veko_anisotropic");
    colorSource(s, "env", {1, 1, 1, 1});
    s.net().connect(*s.node, "reflectedColor", "env.outColor");
    s.set({{"specularColor", {1, 1, 1, 1}}, {"reflectivity", 1.0}, {"fresnelRefractiveIndex", n},
           {"roughness", sigma}, {"anisotropicReflectivity", 1}, {"matteOpacityMode", 1}});
    MaterialResult r = s.call();
    const float g = std::sqrt(n);
    const float F = 0.5f * (std::pow((1 - g) / (1 + g), 2.0f) + std::pow((n - g) / (n + g), 2.0f));
    const float want = F * std::exp(-22.847946f * 22.847946f * sigma);
    expect3(&r.reflectionPass.r, want, want, want, "fresnel reflection", 1e-4f);
}

// ---------------------------------------------------------------------------
// Rendered highlights: a black glossy plane lit by one directional light and
// seen straight down (V = (0, -1, 0), N = (0, 1, 0)), so the colour is the
// highlight times specularColor times the light intensity.
const float kS2 = std::sqrt(0.5f);

// Blinn at eccentricity 1 uses e = 1e-5: a finite, flat distribution. Light
// at 45 degrees: H halfway, h = n = cos 22.5, geometric term 1/v = 1.
TEST(SpecularLit, BlinnEccentricity) {
    const float h = std::cos(22.5f * 3.14159265f / 180.0f), rollOff = 0.7f;
    const float F = rollOff + (1 - rollOff) * std::pow(1 - h, 3.0f);
    for (float ecc : {1.0f, 0.3f}) {
        float e = ecc * ecc - 1;
        if (std::fabs(e) < 1e-5f) e = 1e-5f;
        const float d = 1 / e, D = std::pow((d + 1) / (h * h + d), 2.0f);
        const json p = {{"color", {0, 0, 0, 1}}, {"specularColor", {1, 1, 1, 1}}, {"reflectivity", 0.0},
                        {"eccentricity", ecc}, {"specularRollOff", rollOff}, {"matteOpacityMode", 1}};
        const xrColor c = renderLayers({{"veko_blinn", p}}, {{{3, 3, 0}, 1.0f}});
        EXPECT_TRUE(std::isfinite(c.r)) << ecc;
        EXPECT_NEAR(c.r, F * D, 1e-3f * F * D) << "eccentricity " << ecc;
    }
}

// Phong: (L . R)^cosinePower, R the mirror direction (0, 1, 0); at 45
// degrees L . R = 0.7071. Values below e^-10 become 4.54e-5.
TEST(SpecularLit, PhongPowerAndFloor) {
    struct Case {
        float power, intensity, want;
    } cases[] = {{2.0f, 1.0f, 0.5f}, {100.0f, 1000.0f, 4.54e-5f * 1000.0f}};
    for (const Case &k : cases) {
        const json p = {{"color", {0, 0, 0, 1}}, {"specularColor", {1, 0.5, 0.25, 1}}, {"reflectivity", 0.0},
                        {"cosinePower", k.power}, {"matteOpacityMode", 1}};
        const xrColor c = renderLayers({{"veko_phong", p}}, {{{3, 3, 0}, k.intensity}});
        EXPECT_NEAR(c.r, k.want, 1e-4f) << "power " << k.power;
        EXPECT_NEAR(c.g, 0.5f * k.want, 1e-4f) << "power " << k.power;
        EXPECT_NEAR(c.b, 0.25f * k.want, 1e-4f) << "power " << k.power;
    }
}

// PhongE: at the mirror direction the highlight is 1, tinted by
// whiteness + (1 - whiteness) x color.
TEST(SpecularLit, PhongEHighlightTint) {
    const json p = {{"color", {1, 0, 0, 1}}, {"diffuse", 0.0}, {"specularColor", {0.5, 0.5, 0.5, 1}},
                    {"reflectivity", 0.0}, {"whiteness", {0.2, 0.4, 0.6, 1}}, {"highlightSize", 0.5},
                    {"matteOpacityMode", 1}};
    const xrColor c = renderLayers({{"veko_phongE", p}}, {{{0, 3, 0}, 1.0f}});
    EXPECT_NEAR(c.r, 0.5f * 1.0f, 1e-4f);
    EXPECT_NEAR(c.g, 0.5f * 0.4f, 1e-4f);
    EXPECT_NEAR(c.b, 0.5f * 0.6f, 1e-4f);
}

// Anisotropic: with different spreads the highlight depends on the light's
// azimuth in the tangent frame; with equal spreads it does not.
TEST(SpecularLit, AnisotropicAzimuth) {
    for (float spreadY : {3.0f, 13.0f}) {
        const json p = {{"color", {0, 0, 0, 1}}, {"specularColor", {1, 1, 1, 1}}, {"reflectivity", 0.0},
                        {"spreadX", 13.0}, {"spreadY", spreadY}, {"roughness", 0.3}, {"matteOpacityMode", 1}};
        const xrColor alongU = renderLayers({{"veko_anisotropic", p}}, {{{1, 4, 0}, 1.0f}});
        const xrColor alongV = renderLayers({{"veko_anisotropic", p}}, {{{0, 4, 1}, 1.0f}});
        ASSERT_TRUE(std::isfinite(alongU.r) && std::isfinite(alongV.r));
        EXPECT_GT(alongU.r, 0.0f) << spreadY;
        if (spreadY == 13.0f) EXPECT_NEAR(alongU.r, alongV.r, 1e-4f * alongU.r);
        else EXPECT_GT(std::fabs(alongU.r - alongV.r), 0.05f * alongU.r) << "no anisotropy";
    }
}

// Seen through a transparent surface (a non-eye ray), the highlight is
// scaled by reflectionSpecularity and vanishes at 0; on the eye ray it is
// not. Overhead light: the Blinn highlight is the roll-off 0.7.
TEST(SpecularLit, HighlightOnSecondaryRays) {
    const json glass = {{"color", {0, 0, 0, 1}}, {"transparency", {1, 1, 1, 0}}, {"matteOpacityMode", 1}};
    struct Case {
        bool throughGlass;
        float reflectionSpecularity, want;
    } cases[] = {{false, 0.0f, 0.7f}, {true, 0.0f, 0.0f}, {true, 0.5f, 0.35f}};
    for (const Case &k : cases) {
        const json p = {{"color", {0, 0, 0, 1}}, {"specularColor", {1, 1, 1, 1}}, {"reflectivity", 0.0},
                        {"specularRollOff", 0.7}, {"reflectionSpecularity", k.reflectionSpecularity},
                        {"matteOpacityMode", 1}};
        std::vector<Layer> layers = {{"veko_blinn", p, 0.0f}};
        if (k.throughGlass) layers.push_back({"veko_lambert", glass, 1.0f});
        const xrColor c = renderLayers(layers, {{{0, 3, 0}, 1.0f}});
        EXPECT_NEAR(c.r, k.want, 1e-4f) << "glass " << k.throughGlass << " rs " << k.reflectionSpecularity;
    }
}

// Traced reflection into the camera's environment: the mirror colour is the
// environment times reflectivity times specularColor, blurred or not (a
// uniform environment averages to itself); a black specular colour reflects
// nothing.
TEST(SpecularLit, TracedReflection) {
    const json env = {{"name", "env"}, {"type", "veko_blend"},
                      {"params", {{"blender", 1.0}, {"color1", {0.2, 0.4, 0.8, 1}}}}};
    struct Case {
        json specularColor;
        float blur;
        std::vector<float> want;
    } cases[] = {
        {{1, 0.5, 0.5, 1}, 0.0f, {0.8f * 0.2f, 0.8f * 0.2f, 0.8f * 0.4f}},
        {{1, 0.5, 0.5, 1}, 0.5f, {0.8f * 0.2f, 0.8f * 0.2f, 0.8f * 0.4f}},
        {{0, 0, 0, 1}, 0.0f, {0, 0, 0}},
    };
    for (const char *model : kModels) {
        for (const Case &k : cases) {
            json p = {{"color", {0, 0, 0, 1}}, {"specularColor", k.specularColor}, {"reflectivity", 0.8},
                      {"reflectionBlur", k.blur}, {"reflectionSamples", 4}, {"matteOpacityMode", 1}};
            if (std::string(model) == "veko_anisotropic") p["anisotropicReflectivity"] = 0;
            const xrColor c = renderLayers({{model, p}}, {}, json::array({env}));
            const std::string what = std::string(model) + " blur " + std::to_string(k.blur);
            EXPECT_NEAR(c.r, k.want[0], 1e-4f) << what;
            EXPECT_NEAR(c.g, k.want[1], 1e-4f) << what;
            EXPECT_NEAR(c.b, k.want[2], 1e-4f) << what;
        }
    }
}

}  // namespace
