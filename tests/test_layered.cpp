// The layered texture: every blend mode on known layers, visibility, the
// final clamp and the alpha outputs, called through the reference host.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <vekohost/host.h>

#include "support.h"

namespace {

using vh::json;

struct Out {
    xrBoolean ok = 0;
    float color[4], alpha, transparency[3];
    std::vector<vh::Message> messages;
};

// Node "t" with the given layers; `extraNodes` may feed its fields.
Out layered(const json &layers, bool alphaIsLuminance = false, const json &extraNodes = json::array()) {
    json nodes = extraNodes;
    nodes.push_back({{"name", "t"}, {"type", "veko_layeredtexture"},
                     {"params", {{"inputs", layers}, {"alphaIsLuminance", alphaIsLuminance ? 1 : 0}}}});
    vh::Network net(vt::library());
    net.load({{"nodes", nodes}});
    vh::StandaloneState ss;
    net.init(ss.state());
    vt::messages();
    std::vector<float> r(8, 777.0f);
    Out o;
    o.ok = vh::callShader(*net.find("t"), ss.state(), r.data());
    o.messages = vt::messages();
    for (int i = 0; i < 4; ++i) o.color[i] = r[i];
    o.alpha = r[4];
    for (int i = 0; i < 3; ++i) o.transparency[i] = r[5 + i];
    return o;
}

json layer(const std::vector<float> &rgb, float alpha, int mode, bool visible = true) {
    return {{"color", {rgb[0], rgb[1], rgb[2], 1}}, {"alpha", alpha}, {"blendMode", mode}, {"isVisible", visible ? 1 : 0}};
}

void expectOut(const Out &o, const std::vector<float> &rgb, float A, const std::string &what) {
    EXPECT_EQ(o.ok, 1) << what;
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(o.color[i], rgb[i], 1e-6f) << what << " channel " << i;
    EXPECT_NEAR(o.color[3], A, 1e-6f) << what << " outColor alpha";
    EXPECT_NEAR(o.alpha, A, 1e-6f) << what << " outAlpha";
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(o.transparency[i], 1 - A, 1e-6f) << what << " transparency";
}

TEST(Layered, EveryBlendModeOverAKnownBase) {
    // Base (last in the list, mode none): c = (0.2, 0.5, 0.8), A = 0.6.
    // Top: L = (0.6, 0.25, 1.0) with alpha 0.25. Values worked by hand.
    const json base = layer({0.2f, 0.5f, 0.8f}, 0.6f, 0);
    struct Case {
        int mode;
        std::vector<float> rgb;
        float A;
    } cases[] = {
        {0, {0.6f, 0.25f, 1.0f}, 0.25f},       // none
        {1, {0.3f, 0.4375f, 0.85f}, 0.7f},     // over
        {2, {0.05f, 0.125f, 0.2f}, 0.15f},     // in
        {3, {0.15f, 0.375f, 0.6f}, 0.45f},     // out
        {4, {0.35f, 0.5625f, 1.0f}, 0.6f},     // add (blue 1.05 clamped)
        {5, {0.05f, 0.4375f, 0.55f}, 0.6f},    // subtract
        {6, {0.18f, 0.40625f, 0.8f}, 0.6f},    // multiply
        {7, {0.25f, 0.4375f, 0.65f}, 0.6f},    // difference
        {8, {0.3f, 0.5f, 0.85f}, 0.6f},        // lighten
        {9, {0.2f, 0.4375f, 0.8f}, 0.6f},      // darken
        {10, {0.23f, 0.53125f, 1.0f}, 0.6f},   // saturate
        {11, {0.17f, 0.46875f, 0.6f}, 0.6f},   // desaturate
        {12, {0.21f, 0.4375f, 1.0f}, 0.6f},    // illuminate
        {13, {0.2f, 0.5f, 0.8f}, 0.6f},        // undefined: unchanged
        {-1, {0.2f, 0.5f, 0.8f}, 0.6f},
    };
    for (const Case &k : cases)
        expectOut(layered(json::array({layer({0.6f, 0.25f, 1.0f}, 0.25f, k.mode), base})), k.rgb, k.A,
                  "mode " + std::to_string(k.mode));
}

TEST(Layered, EmptySingleOrderAndClamp) {
    expectOut(layered(json::array()), {0, 0, 0}, 0, "empty");
    expectOut(layered(json::array({layer({0.6f, 0.25f, 1.0f}, 0.25f, 0)})), {0.6f, 0.25f, 1.0f}, 0.25f, "single none");
    expectOut(layered(json::array({layer({0.6f, 0.25f, 1.0f}, 0.25f, 1)})), {0.15f, 0.0625f, 0.25f}, 0.25f,
              "single over");
    // The first layer ends on top.
    expectOut(layered(json::array({layer({1, 0, 0}, 1, 0), layer({0, 0, 1}, 0.5f, 0)})), {1, 0, 0}, 1, "order");
    // Subtract below 0 and illuminate above 1 are clamped.
    expectOut(layered(json::array({layer({1, 1, 1}, 1, 5), layer({0.1f, 0.2f, 0.3f}, 0.5f, 0)})), {0, 0, 0}, 0.5f,
              "subtract");
    expectOut(layered(json::array({layer({1, 1, 1}, 1, 12), layer({0.4f, 0.5f, 0.9f}, 2, 0)})), {0.8f, 1, 1}, 1,
              "illuminate and alpha");
}

TEST(Layered, InvisibleLayerIsSkippedUnevaluated) {
    // A layer's alpha fed by a node that warns when it runs (surface
    // luminance without a per-ray record): hidden, it is never called.
    const json probe = json::array({{{"name", "lum"}, {"type", "veko_surfaceluminance"}}});
    json hidden = layer({1, 1, 1}, 1, 4, false);
    hidden["alpha"] = "lum.outValue";
    Out o = layered(json::array({hidden, layer({0.2f, 0.3f, 0.4f}, 0.5f, 0)}), false, probe);
    expectOut(o, {0.2f, 0.3f, 0.4f}, 0.5f, "hidden");
    EXPECT_FALSE(vt::hasMessage(o.messages, "veko_surfaceluminance(): Internal state error."));
    // Visible, the same feed runs.
    hidden["isVisible"] = 1;
    o = layered(json::array({hidden, layer({0.2f, 0.3f, 0.4f}, 0.5f, 0)}), false, probe);
    EXPECT_TRUE(vt::hasMessage(o.messages, "veko_surfaceluminance(): Internal state error."));
}

TEST(Layered, AlphaIsLuminanceDrivesAlphaAndTransparencyOnly) {
    Out o = layered(json::array({layer({0.5f, 1, 0}, 0.4f, 0)}), true);
    const float l = 0.3f * 0.5f + 0.59f;
    EXPECT_NEAR(o.alpha, l, 1e-6f);
    for (float t : o.transparency) EXPECT_NEAR(t, 1 - l, 1e-6f);
    EXPECT_NEAR(o.color[3], 0.4f, 1e-6f);  // outColor keeps the layer alpha
}

}  // namespace
