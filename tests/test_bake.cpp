// Light-map and vertex baking through the reference host: the host makes
// the vertex calls and the mesh call of the baking shader; the baked texels
// of a Lambert plane under a directional light against the closed form, the
// post-process on a partly covered column of pixels, vertex colours of a
// known mesh, and a baked map used again as a file texture.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include <vekohost/bake.h>
#include <vekohost/host.h>
#include <vekohost/imageio.h>
#include <vekohost/render.h>

#include "support.h"

namespace {

using vh::json;
constexpr double kPi = 3.14159265358979323846;

// A directional light from `deg` degrees off +y (towards +x).
json directional(double deg) {
    const double s = std::sin(deg * kPi / 180), c = std::cos(deg * kPi / 180);
    return {{"lookAt", {{"eye", {5 * s, 5 * c, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}};
}

// A card (plane of 2 x 2, uv 0..1) with a Lambert material under one
// directional light; `bakeParams` go to the baking node "baker".
json cardScene(const std::string &bakerType, const json &bakeParams, const json &mesh = json()) {
    json doc = {{"nodes",
                 {{{"name", "st"}, {"type", "veko_state"}},
                  {{"name", "lam"},
                   {"type", "veko_lambert"},
                   {"params", {{"color", {0.8, 0.6, 0.4, 1}}, {"diffuse", 0.5}}}},
                  {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "lam"}}}},
                  {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"intensity", 1.5}}}},
                  {{"name", "baker"}, {"type", bakerType}, {"params", bakeParams}}}},
                {"camera",
                 {{"type", "orthographic"},
                  {"resolution", {3, 3}},
                  {"aperture", 2},
                  {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
                {"options", {{"trace", true}}},
                {"state", "st"},
                {"objects",
                 {{{"name", "card"},
                   {"mesh", mesh.is_null() ? json{{"type", "plane"}, {"size", {2, 2}}} : mesh},
                   {"material", "sg"}}}},
                {"lights", {{{"name", "l"}, {"shader", "sun"}, {"transform", directional(60)}}}}};
    return doc;
}

vh::BakedMap bake(const json &doc, int w, int h, int threads = 1, const std::string &post = "") {
    auto scene = vh::loadSceneJson(vt::library(), doc, "bake-test.json");
    vh::BakeRequest req;
    req.object = "card";
    req.node = "baker";
    req.post = post;
    req.width = w;
    req.height = h;
    req.threads = threads;
    return vh::bakeLightmap(*scene, req);
}

const float *texel(const vh::BakedMap &m, int x, int y) { return &m.rgba[(size_t(y) * m.width + x) * 4]; }

class Bake : public vt::MessagesTest {};

TEST_F(Bake, LambertPlaneUnderADirectionalLight) {
    // Texel = colour x diffuse x intensity x cos(60 degrees).
    const double k = 0.5 * 1.5 * 0.5;
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        const vh::BakedMap m = bake(cardScene("veko_bakelightmap", {{"uvScale", 1}}), 8, 8, threads);
        ASSERT_EQ(m.width, 8);
        for (int y = 0; y < 8; ++y)
            for (int x = 0; x < 8; ++x) {
                const float *p = texel(m, x, y);
                EXPECT_NEAR(p[0], 0.8 * k, 1e-4) << x << " " << y;
                EXPECT_NEAR(p[1], 0.6 * k, 1e-4);
                EXPECT_NEAR(p[2], 0.4 * k, 1e-4);
                EXPECT_FLOAT_EQ(m.tags[size_t(y) * 8 + x], 1.0f);
            }
    }
    // Progress names the object by its id.
    bool done = false;
    for (const auto &msg : vt::messages())
        done |= msg.text.rfind("veko_bakelightmap(): 0x", 0) == 0 &&
                msg.text.find(" 100.0 percent rendered.") != std::string::npos;
    EXPECT_TRUE(done);
}

TEST_F(Bake, UvScaleZeroBakesNothing) {
    const vh::BakedMap m = bake(cardScene("veko_bakelightmap", {{"uvScale", 0}}), 4, 4);
    for (float t : m.tags) EXPECT_EQ(t, 0.0f);
}

// The card's uv spans u in [0, 0.625] of a 4 x 4 map: columns 0 and 1 are
// covered, column 2 half, column 3 not at all. The material's red is the
// map column of u (0.25 in column 1, 0.5 in column 2).
TEST_F(Bake, PostProcessDropsPartlyCoveredPixelsAndGrows) {
    vh::registerNativeMaterial("uvColour", [](xrColor *c, xrState *s) {
        *c = {std::floor(s->texCoords[0].x * 4) / 4, s->texCoords[0].y, 0, 1};
        return xrBoolean(1);
    });
    const json mesh = {{"type", "mesh"},
                       {"positions", {-1, 0, 1, 1, 0, 1, 1, 0, -1, -1, 0, -1}},
                       {"normals", {0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0}},
                       {"uvs", {{0, 0, 0.625, 0, 0.625, 1, 0, 1}}},
                       {"triangles", {0, 1, 2, 0, 2, 3}}};
    struct Case {
        double overbake;
        bool fillEmpty;
        float column3Tag;
    };
    for (const Case &c : {Case{0.25, false, 0.0f}, Case{0.25, true, 3.0f}}) {
        SCOPED_TRACE(c.fillEmpty);
        json doc = cardScene("veko_bakelightmap", {{"uvScale", 1}, {"pixelSamples", 16}}, mesh);
        doc["objects"][0]["material"] = "native:uvColour";
        doc["nodes"].push_back(
            {{"name", "post"}, {"type", "veko_postlightmap"}, {"params", {{"overbake", c.overbake}, {"fillEmpty", c.fillEmpty}}}});
        // Without the post-process: column 2 is baked with about half coverage.
        const vh::BakedMap raw = bake(doc, 4, 4);
        for (int y = 0; y < 4; ++y) {
            EXPECT_FLOAT_EQ(texel(raw, 1, y)[0], 0.25f);
            EXPECT_FLOAT_EQ(texel(raw, 2, y)[0], 0.5f);
            EXPECT_FLOAT_EQ(raw.tags[size_t(y) * 4 + 1], 1.0f);
            EXPECT_FLOAT_EQ(raw.coverage[size_t(y) * 4 + 1], 1.0f);
            EXPECT_FLOAT_EQ(raw.tags[size_t(y) * 4 + 2], 1.0f);
            EXPECT_GT(raw.coverage[size_t(y) * 4 + 2], 0.25f);
            EXPECT_LT(raw.coverage[size_t(y) * 4 + 2], 0.75f);
            EXPECT_FLOAT_EQ(raw.tags[size_t(y) * 4 + 3], 0.0f);
        }
        const vh::BakedMap m = bake(doc, 4, 4, 1, "post");
        for (int y = 0; y < 4; ++y) {
            // Column 2 refilled in the first ring from column 1 alone.
            EXPECT_FLOAT_EQ(m.tags[size_t(y) * 4 + 2], 2.0f) << y;
            EXPECT_FLOAT_EQ(texel(m, 2, y)[0], 0.25f) << y;
            EXPECT_FLOAT_EQ(m.tags[size_t(y) * 4 + 1], 1.0f);
            EXPECT_FLOAT_EQ(texel(m, 1, y)[0], 0.25f);
            // Column 3 only by the fill, in the next ring.
            EXPECT_FLOAT_EQ(m.tags[size_t(y) * 4 + 3], c.column3Tag);
            if (c.fillEmpty) {
                EXPECT_FLOAT_EQ(texel(m, 3, y)[0], 0.25f);
            }
        }
        EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_postlightmap(): Done!"));
    }
}

TEST_F(Bake, VertexColoursOfAKnownMesh) {
    // Four vertices with their own normals; the light comes from 60 degrees
    // towards +x: each vertex gets colour x diffuse x intensity x max(0, n.L).
    const double s = std::sin(kPi / 3), c = std::cos(kPi / 3);
    const std::vector<xrVector> normals = {{0, 1, 0}, {1, 0, 0}, {-1, 0, 0}, {0.6f, 0.8f, 0}};
    json n = json::array();
    for (auto &v : normals) n.insert(n.end(), {v.x, v.y, v.z});
    const json mesh = {{"type", "mesh"},
                       {"positions", {-1, 0, 1, 1, 0, 1, 1, 0, -1, -1, 0, -1}},
                       {"normals", n},
                       {"uvs", {{0, 0, 1, 0, 1, 1, 0, 1}}},
                       {"triangles", {0, 1, 2, 0, 2, 3}}};
    auto scene = vh::loadSceneJson(vt::library(), cardScene("veko_bakevertices", json::object(), mesh), "bake-test.json");
    vh::BakeRequest req;
    req.object = "card";
    req.node = "baker";
    const std::vector<xrColor> got = vh::bakeVertices(*scene, req);
    ASSERT_EQ(got.size(), 4u);
    const double L[3] = {s, c, 0};
    for (size_t i = 0; i < 4; ++i) {
        const double cosine = std::max(0.0, normals[i].x * L[0] + normals[i].y * L[1] + normals[i].z * L[2]);
        const double k = 0.5 * 1.5 * cosine;
        EXPECT_NEAR(got[i].r, 0.8 * k, 1e-4) << i;
        EXPECT_NEAR(got[i].g, 0.6 * k, 1e-4) << i;
        EXPECT_NEAR(got[i].b, 0.4 * k, 1e-4) << i;
        EXPECT_EQ(got[i].a, 1.0f);
    }
    // Saved as OBJ vertex colours, read back.
    const std::string path = ::testing::TempDir() + "vekobase_bake_" + std::to_string(::getpid()) + ".obj";
    vh::writeColoredObj(*scene, "card", got, path);
    std::ifstream f(path);
    std::string line;
    size_t v = 0;
    while (std::getline(f, line)) {
        if (line.rfind("v ", 0) != 0) continue;
        std::istringstream in(line.substr(2));
        float x, y, z, r, g, b;
        ASSERT_TRUE(in >> x >> y >> z >> r >> g >> b) << line;
        ASSERT_LT(v, got.size());
        EXPECT_NEAR(r, got[v].r, 1e-5);
        EXPECT_NEAR(b, got[v].b, 1e-5);
        ++v;
    }
    EXPECT_EQ(v, 4u);
    std::remove(path.c_str());
}

TEST_F(Bake, BakedMapWorksAsAFileTexture) {
    // Bake the lit card, then show the map on an unlit card (incandescence
    // from a file texture): the camera sees the lit colour again.
    const vh::BakedMap m = bake(cardScene("veko_bakelightmap", {{"uvScale", 1}}), 8, 8);
    std::vector<float> px(m.rgba.size());
    for (int y = 0; y < m.height; ++y)
        std::memcpy(&px[size_t(m.height - 1 - y) * m.width * 4], &m.rgba[size_t(y) * m.width * 4],
                    size_t(m.width) * 4 * sizeof(float));
    const std::string path = ::testing::TempDir() + "vekobase_bake_" + std::to_string(::getpid()) + ".exr";
    vh::writeImage(path, m.width, m.height, 4, px.data());
    json doc = cardScene("veko_bakelightmap", {{"uvScale", 1}});
    doc["images"] = {{{"name", "baked"}, {"file", path}}};
    doc["nodes"].push_back({{"name", "map"}, {"type", "veko_file"}, {"params", {{"fileTextureName", "baked"}}}});
    doc["nodes"].push_back({{"name", "unlit"},
                            {"type", "veko_lambert"},
                            {"params", {{"color", {0, 0, 0, 1}}, {"diffuse", 0}, {"incandescence", "map.outColor"}}}});
    doc["nodes"].push_back({{"name", "unlitSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "unlit"}}}});
    doc["objects"][0]["material"] = "unlitSG";
    auto scene = vh::loadSceneJson(vt::library(), doc, "bake-test.json");
    vh::Renderer r(*scene, 1);
    const auto s = r.shadeSample(0, 1.5f, 1.5f, 0, 0);
    std::remove(path.c_str());
    ASSERT_TRUE(s.hit);
    const double k = 0.5 * 1.5 * 0.5;
    EXPECT_NEAR(s.color.r, 0.8 * k, 2e-3);  // half-float texels
    EXPECT_NEAR(s.color.g, 0.6 * k, 2e-3);
    EXPECT_NEAR(s.color.b, 0.4 * k, 2e-3);
}

// A card whose uv layout is the triangle (0, 0), (0.9, 0), (0, 0.9), and the
// material "native:uvShow", which shows the uv it is given.
json uvTriangleCard() {
    vh::registerNativeMaterial("uvShow", [](xrColor *c, xrState *s) {
        *c = {s->texCoords[0].x, s->texCoords[0].y, 0, 1};
        return xrBoolean(1);
    });
    return {{"type", "mesh"},
            {"positions", {-1, 0, 1, 1, 0, 1, -1, 0, -1}},
            {"normals", {0, 1, 0, 0, 1, 0, 0, 1, 0}},
            {"uvs", {{0, 0, 0.9, 0, 0, 0.9}}},
            {"triangles", {0, 1, 2}}};
}

// On a 4 x 4 map the centres of the pixels with x + y <= 2 lie inside the
// card's uv triangle; the pixels with x + y = 3 are only touched.
TEST_F(Bake, EdgePassFillsTouchedPixels) {
    const json mesh = uvTriangleCard();
    for (int sampling : {1, 2}) {
        SCOPED_TRACE(sampling);
        json doc = cardScene("veko_bakelightmap", {{"uvScale", 1}, {"pixelSampling", sampling}}, mesh);
        doc["objects"][0]["material"] = "native:uvShow";
        const vh::BakedMap m = bake(doc, 4, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x) {
                const float tag = m.tags[size_t(y) * 4 + x];
                if (x + y <= 2) {
                    EXPECT_EQ(tag, 1.0f) << x << " " << y;
                    EXPECT_NEAR(texel(m, x, y)[0], (x + 0.5) / 4, 1e-5);  // the pixel centre
                } else if (x + y == 3 && sampling == 2) {
                    EXPECT_EQ(tag, 1.0f) << x << " " << y;
                } else {
                    EXPECT_EQ(tag, 0.0f) << x << " " << y;
                }
            }
        if (sampling == 2) {
            // Pixel (3, 0): the nearest point of the triangle to its centre
            // (3.5, 0.5) is (3.3, 0.3) on the long edge; 3 of its 16
            // sub-positions are inside.
            EXPECT_NEAR(texel(m, 3, 0)[0], 3.3 / 4, 1e-5);
            EXPECT_NEAR(texel(m, 3, 0)[1], 0.3 / 4, 1e-5);
            EXPECT_NEAR(texel(m, 3, 0)[3], 3.0 / 16, 1e-6);
            EXPECT_NEAR(texel(m, 1, 2)[0], 1.3 / 4, 1e-5);
            EXPECT_NEAR(texel(m, 1, 2)[1], 2.3 / 4, 1e-5);
        }
    }
    // The same map for any number of threads (each fills only its tiles).
    json doc = cardScene("veko_bakelightmap", {{"uvScale", 1}, {"pixelSampling", 2}, {"pixelSamples", 4}}, mesh);
    doc["objects"][0]["material"] = "native:uvShow";
    const vh::BakedMap one = bake(doc, 40, 40, 1), two = bake(doc, 40, 40, 2);
    EXPECT_EQ(one.rgba, two.rgba);
    EXPECT_EQ(one.tags, two.tags);
}

// Columns 0 and 1 of a 4 x 4 map are covered (u in [0, 0.5]) with red 0 and
// 0.25; the tent filter of radius 1 (weights 1 at the pixel, 1/2 at its four
// neighbours) averages covered pixels only.
TEST_F(Bake, PostFilterAveragesCoveredPixelsOnly) {
    vh::registerNativeMaterial("uvColour", [](xrColor *c, xrState *s) {
        *c = {std::floor(s->texCoords[0].x * 4) / 4, s->texCoords[0].y, 0, 1};
        return xrBoolean(1);
    });
    const json mesh = {{"type", "mesh"},
                       {"positions", {-1, 0, 1, 1, 0, 1, 1, 0, -1, -1, 0, -1}},
                       {"normals", {0, 1, 0, 0, 1, 0, 0, 1, 0, 0, 1, 0}},
                       {"uvs", {{0, 0, 0.5, 0, 0.5, 1, 0, 1}}},
                       {"triangles", {0, 1, 2, 0, 2, 3}}};
    json doc = cardScene("veko_bakelightmap", {{"uvScale", 1}, {"filterRadius", 1}}, mesh);
    doc["objects"][0]["material"] = "native:uvColour";
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        const vh::BakedMap m = bake(doc, 4, 4, threads);
        for (int y : {1, 2}) {
            EXPECT_NEAR(texel(m, 0, y)[0], 0.125 / 2.5, 1e-6) << y;  // (0 + 0.25/2) / 2.5
            EXPECT_NEAR(texel(m, 1, y)[0], 0.5 / 2.5, 1e-6) << y;    // (0.25 + 2 x 0.25/2) / 2.5
        }
        EXPECT_NEAR(texel(m, 0, 0)[0], 0.125 / 2.0, 1e-6);
        EXPECT_NEAR(texel(m, 1, 0)[0], 0.375 / 2.0, 1e-6);
        EXPECT_FLOAT_EQ(texel(m, 1, 1)[3], 1.0f);  // alpha kept
        for (int y = 0; y < 4; ++y) {
            EXPECT_EQ(m.tags[size_t(y) * 4 + 2], 0.0f);
            EXPECT_EQ(texel(m, 2, y)[0], 0.0f);
        }
    }
}

// The card rendered through the light-map lens: the camera's raster is the
// card's uv square, a pixel the shaded card point at its uv.
json lensScene(const json &lensParams, int size, const json &mesh = json()) {
    json doc = cardScene("veko_bakelightmap", {{"uvScale", 1}}, mesh);
    doc["nodes"].push_back({{"name", "lensmap"}, {"type", "veko_lenslightmap"}, {"params", lensParams}});
    doc["camera"]["resolution"] = {size, size};
    doc["camera"]["samples"] = 4;
    doc["camera"]["lens"] = {"lensmap"};
    return doc;
}

vh::FrameImage renderLens(const json &doc) {
    auto scene = vh::loadSceneJson(vt::library(), doc, "lens-test.json");
    vh::RenderOptions o;
    o.threads = 2;
    o.progress = false;
    o.outputs = {};
    return vh::render(*scene, o);
}

TEST_F(Bake, LensShaderBakesTheLambertPlane) {
    const double k = 0.5 * 1.5 * 0.5;
    const vh::FrameImage img = renderLens(lensScene({{"object", "card"}}, 8));
    ASSERT_EQ(img.width, 8);
    const vh::BakedMap map = bake(cardScene("veko_bakelightmap", {{"uvScale", 1}}), 8, 8);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) {
            const float *p = img.pixel(x, y), *q = texel(map, x, 7 - y);  // frames run top down
            EXPECT_NEAR(p[0], 0.8 * k, 1e-4) << x << " " << y;
            EXPECT_NEAR(p[1], 0.6 * k, 1e-4);
            EXPECT_NEAR(p[2], 0.4 * k, 1e-4);
            EXPECT_NEAR(p[3], 1.0, 1e-6);
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(p[c], q[c], 1e-4);
        }
    // Statistics at exit: the card's two triangles.
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_lenslightmap():       2  triangles"));
}

// Raster points off the uv layout (the triangle (0, 0), (0.9, 0), (0, 0.9))
// stay black and transparent; the material sees the card's uv. (A native
// material reports no matte, so alpha is only checked where nothing is.)
TEST_F(Bake, LensShaderLeavesEmptyUvTransparent) {
    const json mesh = uvTriangleCard();
    json doc = lensScene({{"object", "card"}}, 4, mesh);
    doc["objects"][0]["material"] = "native:uvShow";
    const vh::FrameImage img = renderLens(doc);
    // Raster (x, y) from the lower left is frame row 3 - y.
    const float *inside = img.pixel(0, 3), *outside = img.pixel(3, 0);
    EXPECT_NEAR(inside[0], 0.125, 0.05);  // u around the pixel centre 0.5 / 4
    EXPECT_NEAR(inside[1], 0.125, 0.05);
    EXPECT_EQ(outside[3], 0.0f);
    EXPECT_EQ(outside[0], 0.0f);
}

TEST_F(Bake, LensShaderReportsWhatItCannotBake) {
    struct Case {
        json params;
        const char *message;
    };
    const Case cases[] = {
        {json::object(), "veko_lenslightmap(): Nothing to bake."},
        {{{"object", "card"}, {"uvSet", 3}}, "veko_lenslightmap(): Improper UV set."},
        {{{"object", "card"}, {"useShader", true}}, "veko_lenslightmap(): No shader given."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        vh::takeMessages();
        const vh::FrameImage img = renderLens(lensScene(c.params, 2));
        EXPECT_TRUE(vt::hasMessage(vt::messages(), c.message));
        for (size_t i = 0; i < img.rgba.size(); ++i) EXPECT_EQ(img.rgba[i], 0.0f);
    }
}

}  // namespace
