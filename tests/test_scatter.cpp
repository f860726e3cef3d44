// Subsurface scattering through the host: the surface shaders' scatter term
// reads a point cloud over the shaded instance, lit once per sample. A plane
// seen from straight above, lit at 45 degrees by a directional light, with a
// wall casting a shadow band across it.
#include <gtest/gtest.h>

#include <cmath>

#include "support.h"
#include "vekohost/render.h"

namespace {

using vh::json;

constexpr int kSize = 64;
constexpr float kHalfWidth = 5.0f * 18.0f / 35.0f;  // half the view at the plane (height 5, 36 mm back, 35 mm lens)

json scatterScene(const json &scatter, int size = kSize) {
    json plane = {{"color", {0.5, 0.5, 0.5, 1}}, {"diffuse", 0.5}};
    for (auto &[k, v] : scatter.items()) plane[k] = v;
    json nodes = {{{"name", "state"}, {"type", "veko_state"}},
                  {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"useRayTraceShadows", 1}}}},
                  {{"name", "plane"}, {"type", "veko_lambert"}, {"params", plane}},
                  {{"name", "planeSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "plane"}}}},
                  {{"name", "wall"}, {"type", "veko_lambert"}, {"params", {{"color", {0, 0, 1, 1}}}}},
                  {{"name", "wallSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "wall"}}}}};
    return {{"nodes", nodes},
            {"state", "state"},
            {"camera",
             {{"resolution", {size, size}},
              {"samples", 1},
              {"filter", {{"type", "box"}, {"width", 1}}},
              {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"options", {{"trace", true}}},
            // From +x and above: the wall at x = 0.5, one unit high, shades
            // the plane from x = 0.45 to x = -0.5.
            {"lights", {{{"name", "sun"}, {"shader", "sun"},
                         {"transform", {{"lookAt", {{"eye", {1, 1, 0}}, {"target", {0, 0, 0}}}}}}}}},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {4, 4}}, {"divisions", 8}}}, {"material", "planeSG"}},
              {{"name", "wall"}, {"mesh", {{"type", "box"}, {"size", {0.1, 1, 4}}}},
               {"transform", {{"translate", {0.5, 0.5, 0}}}}, {"material", "wallSG"}}}}};
}

vh::FrameImage renderScene(const json &doc, int threads = 1) {
    auto scene = vh::loadSceneJson(vt::library(), doc, "scatter.json", VEKO_SOURCE_DIR "/scenes");
    vh::RenderOptions o;
    o.threads = threads;
    o.progress = false;
    return vh::render(*scene, o);
}

// The pixel of the middle row over world x.
const float *at(const vh::FrameImage &img, float x) {
    const int px = int((x / kHalfWidth + 1.0f) * 0.5f * float(img.width));
    return img.pixel(px, img.height / 2);
}

const json kWax = {{"scatterColor", {1, 0, 0, 1}}, {"scatterRadius", 0.2}, {"scatterSamples", 16}, {"scatterFalloff", 2}};

TEST(Scatter, EvenlyLitSamplesGiveTheLitColourTintedByTheScatterColour) {
    const auto img = renderScene(scatterScene(kWax));
    // Direct light: cos 45 x diffuse 0.5 x colour 0.5. Every sample in reach
    // carries cos 45 x diffuse 0.5, so the scatter term adds that times the
    // red tint and the colour.
    const float direct = std::sqrt(0.5f) * 0.5f * 0.5f;
    for (float x : {-1.5f, 1.4f}) {
        const float *p = at(img, x);
        EXPECT_NEAR(p[1], direct, 2e-3f) << x;
        EXPECT_NEAR(p[2], direct, 2e-3f) << x;
        EXPECT_NEAR(p[0], 2.0f * direct, 4e-3f) << x;
    }
}

TEST(Scatter, LightBleedsIntoTheShadowOnlyWithinTheRadius) {
    const auto img = renderScene(scatterScene(kWax));
    const float *edge = at(img, -0.46f);  // in the shadow, 0.04 from its lit edge
    EXPECT_NEAR(edge[1], 0.0f, 1e-6f);
    EXPECT_GT(edge[0], 0.005f);
    const float *deep = at(img, -0.05f);  // farther than the radius from every lit sample
    EXPECT_EQ(deep[0], 0.0f);
    EXPECT_EQ(deep[1], 0.0f);
}

TEST(Scatter, NoTermWithoutRadiusOrSamples) {
    const auto plain = renderScene(scatterScene(json::object()));
    for (const json &off : {json{{"scatterRadius", 0}}, json{{"scatterSamples", 0}}}) {
        json s = kWax;
        for (auto &[k, v] : off.items()) s[k] = v;
        EXPECT_EQ(renderScene(scatterScene(s)).rgba, plain.rgba) << off.dump();
    }
}

TEST(Scatter, SameCloudForAnyThreadCountAndWithACacheOfOneCell) {
    // A soft light: the samples' shadow rays draw from the host's sequences,
    // which must not depend on which pixel or thread lights a cell.
    json doc = scatterScene(kWax, 24);
    doc["nodes"][1]["params"]["lightAngle"] = 6;
    doc["nodes"][1]["params"]["shadowRays"] = 4;
    const auto one = renderScene(doc, 1);
    EXPECT_EQ(renderScene(doc, 2).rgba, one.rgba);
    json cached = doc;
    cached["nodes"][2]["params"]["scatterCache"] = 1;
    EXPECT_EQ(renderScene(cached, 2).rgba, one.rgba);
}

}  // namespace
