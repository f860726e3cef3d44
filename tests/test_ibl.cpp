// Image-based light through the reference host: an environment image in the
// scene, the light's per-point selection of samples as a material's light
// loop sees it (colour, direction, weight), finite against infinite
// environments, its shadow test, and a small render.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include <vekohost/host.h>
#include <vekohost/imageio.h>
#include <vekohost/render.h>

#include "support.h"
#include "vekobase.h"

namespace {

using vh::json;
constexpr double kPi = 3.14159265358979323846;

struct Seen {
    xrColor color;
    xrVector dir;
    float cosine;
    float shadowWeight;
};
std::vector<Seen> g_seen;
xrInteger g_counted = 0;

// A material that samples every light of its instance and records what it got.
void registerProbe() {
    vh::registerNativeMaterial("iblProbe", [](xrColor *c, xrState *s) {
        xrInteger n = 0;
        xrTag *lights = nullptr;
        xr_instance_lightlist(&n, &lights, s);
        auto *rec = static_cast<veko::BaseStateRecord *>(xr_shaderstate_get(s, "vekobase", nullptr));
        for (int i = 0; i < n; ++i) {
            xrInteger samples = 0;
            xrColor q{};
            xrVector dir{};
            float cs = 0;
            while (xr_sample_light(&q, &dir, &cs, s, lights[i], &samples))
                g_seen.push_back({q, dir, cs, rec ? rec->lightShadowWeight : -1.0f});
            g_counted = samples;
        }
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    vh::registerNativeMaterial("iblOccluder", [](xrColor *c, xrState *s) {
        *c = {0, 0, 0, 1};
        return xrBoolean(s->rayKind == 5 ? 0 : 1);  // opaque to shadow rays
    });
}

// An image of w x h texels of `base` with the given texels (x, y from the
// lower left) set to other values, written as OpenEXR.
struct Texel {
    int x, y;
    float value;
};
std::string writeEnvironment(const std::string &name, int w, int h, float base, const std::vector<Texel> &texels) {
    std::vector<float> px(size_t(w) * h * 3, base);
    for (const Texel &t : texels)
        for (int k = 0; k < 3; ++k) px[(size_t(h - 1 - t.y) * w + t.x) * 3 + k] = t.value;
    const auto dir = std::filesystem::temp_directory_path() / ("veko_ibl_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / (name + ".exr")).string();
    vh::writeImage(path, w, h, 3, px.data());
    return path;
}

// Ground plane at y = 0 seen from above; pixel (1, 1) sees the origin. The
// ground's material is the probe; the light is node "ibl".
json probeScene(const json &iblParams, const std::string &imagePath) {
    json doc = {{"nodes",
                 {{{"name", "st"}, {"type", "veko_state"}},
                  {{"name", "ibl"}, {"type", "veko_ibllight"}, {"params", iblParams}}}},
                {"camera",
                 {{"type", "orthographic"},
                  {"resolution", {3, 3}},
                  {"aperture", 2},
                  {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
                {"options", {{"trace", true}}},
                {"state", "st"},
                {"objects",
                 {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 20}}}, {"material", "native:iblProbe"}}}},
                {"lights", {{{"name", "env"}, {"shader", "ibl"}}}}};
    if (!imagePath.empty()) doc["images"] = {{{"name", "sky"}, {"file", imagePath}}};
    return doc;
}

void probe(const json &doc) {
    g_seen.clear();
    g_counted = -1;
    auto scene = vh::loadSceneJson(vt::library(), doc, "ibl-test.json");
    vh::Renderer r(*scene, 1);
    const auto s = r.shadeSample(0, 1.5f, 1.5f, 0, 0);
    EXPECT_TRUE(s.hit);
}

// Direction of the spherical map's cell centre (u, v).
xrVector sphericalDirection(double u, double v) {
    const double phi = 2 * kPi * u, theta = kPi * (v - 0.5);
    return {float(std::sin(phi) * std::cos(theta)), float(std::sin(theta)), float(std::cos(phi) * std::cos(theta))};
}

class Ibl : public ::testing::Test {
protected:
    void SetUp() override {
        registerProbe();
        vh::captureMessages(true);
        vh::takeMessages();
        // 8 x 4 cells of 0.125 with one bright texel in the upper hemisphere.
        image = writeEnvironment("bright", 8, 4, 0.125f, {{6, 3, 3.0f}});
    }
    void TearDown() override {
        vh::takeMessages();
        vh::captureMessages(false);
    }
    std::string image;
};

TEST_F(Ibl, BrightTexelIsTheSelectedSample) {
    probe(probeScene({{"image", "sky"}, {"resolution", {{"u", 8}, {"v", 4}}}, {"samples", {{"u", 1}, {"v", 0}}},
                      {"shadows", false}},
                     image));
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_EQ(g_counted, 1);
    const xrVector d = sphericalDirection(6.5 / 8, 3.5 / 4);
    const Seen &s = g_seen[0];
    EXPECT_NEAR(s.dir.x, d.x, 1e-5);
    EXPECT_NEAR(s.dir.y, d.y, 1e-5);
    EXPECT_NEAR(s.dir.z, d.z, 1e-5);
    EXPECT_NEAR(s.cosine, d.y, 1e-5);  // normal (0, 1, 0)
    EXPECT_FLOAT_EQ(s.color.r, 3.0f);
    EXPECT_FLOAT_EQ(s.color.b, 3.0f);
    // Weight: the cosine times the cell's mean channel value.
    EXPECT_NEAR(s.color.a, d.y * 3.0f, 1e-5);
    EXPECT_FLOAT_EQ(s.shadowWeight, 0.0f);
}

TEST_F(Ibl, SelectionCounts) {
    struct Case {
        int K, M;
        bool frontOnly;
        size_t expected;
    };
    // 32 cells: (1, 0) the brightest; (1, 3) it and three others; K >= n all
    // cells, frontOnly only the upper half; (0, 4) four random ones.
    const Case cases[] = {{1, 0, false, 1}, {1, 3, false, 4}, {40, 5, false, 32}, {40, 0, true, 16}, {0, 4, false, 4}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "K " << c.K << " M " << c.M << " frontOnly " << c.frontOnly);
        probe(probeScene({{"image", "sky"},
                          {"resolution", {{"u", 8}, {"v", 4}}},
                          {"samples", {{"u", c.K}, {"v", c.M}}},
                          {"frontOnly", c.frontOnly},
                          {"shadows", false}},
                         image));
        ASSERT_EQ(g_seen.size(), c.expected);
        EXPECT_EQ(size_t(g_counted), c.expected);
        int bright = 0;
        for (size_t i = 0; i < g_seen.size(); ++i) {
            const Seen &s = g_seen[i];
            const bool isBright = s.color.r == 3.0f;
            bright += isBright;
            EXPECT_TRUE(isBright || s.color.r == 0.125f) << s.color.r;
            if (c.K == 0) {
                // Drawn without the cosine: the table weight.
                EXPECT_FLOAT_EQ(s.color.a, s.color.r);
            } else {
                EXPECT_NEAR(s.color.a, std::fabs(s.dir.y) * s.color.r, 1e-5);
                if (c.frontOnly) {
                    EXPECT_GT(s.dir.y, 0);
                }
            }
        }
        if (c.K > 0) {
            EXPECT_EQ(bright, 1);
        }
        if (c.K == 1) {
            EXPECT_EQ(g_seen[0].color.r, 3.0f);  // the heap comes first
            // The random extras are distinct cells.
            for (size_t i = 1; i < g_seen.size(); ++i)
                for (size_t j = i + 1; j < g_seen.size(); ++j)
                    EXPECT_FALSE(g_seen[i].dir.x == g_seen[j].dir.x && g_seen[i].dir.y == g_seen[j].dir.y &&
                                 g_seen[i].dir.z == g_seen[j].dir.z);
        }
    }
}

TEST_F(Ibl, FiniteEnvironmentAgainstInfinite) {
    const xrVector d = sphericalDirection(6.5 / 8, 3.5 / 4);
    // Sphere of radius 10 centred at c: placement = translate(-c), scale 0.1.
    struct Case {
        xrVector centre;
    };
    for (const Case &c : {Case{{0, 0, 0}}, Case{{0, -5, 0}}, Case{{3, 1, -2}}}) {
        SCOPED_TRACE(testing::Message() << "centre " << c.centre.x << " " << c.centre.y << " " << c.centre.z);
        const json placement = {0.1, 0, 0, 0, 0, 0.1, 0, 0, 0, 0, 0.1, 0,
                                -0.1 * c.centre.x, -0.1 * c.centre.y, -0.1 * c.centre.z, 1};
        probe(probeScene({{"image", "sky"},
                          {"infinite", false},
                          {"placementMatrix", placement},
                          {"resolution", {{"u", 8}, {"v", 4}}},
                          {"samples", {{"u", 1}, {"v", 0}}},
                          {"shadows", false}},
                         image));
        ASSERT_EQ(g_seen.size(), 1u);
        const xrVector S{c.centre.x + 10 * d.x, c.centre.y + 10 * d.y, c.centre.z + 10 * d.z};
        const double dist = std::sqrt(double(S.x) * S.x + double(S.y) * S.y + double(S.z) * S.z);
        const Seen &s = g_seen[0];
        EXPECT_NEAR(s.dir.x, S.x / dist, 1e-5);
        EXPECT_NEAR(s.dir.y, S.y / dist, 1e-5);
        EXPECT_NEAR(s.dir.z, S.z / dist, 1e-5);
        // At the centre the colour is unscaled; elsewhere by (radius/distance)^2.
        EXPECT_NEAR(s.color.r, 3.0 * (10 / dist) * (10 / dist), 1e-4);
        EXPECT_NEAR(s.color.a, 3.0 * S.y / dist, 1e-5);
    }
}

TEST_F(Ibl, ShadowTest) {
    json doc = probeScene({{"image", "sky"},
                           {"resolution", {{"u", 8}, {"v", 4}}},
                           {"samples", {{"u", 1}, {"v", 0}}},
                           {"shadowColor", {0.25, 0.5, 0, 1}}},
                          image);
    probe(doc);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_FLOAT_EQ(g_seen[0].color.r, 3.0f);
    EXPECT_FLOAT_EQ(g_seen[0].shadowWeight, 0.0f);

    // A plate above the point blocks the bright direction (67.5 degrees up).
    doc["objects"].push_back({{"name", "plate"},
                              {"mesh", {{"type", "plane"}, {"size", 3}}},
                              {"transform", {{"translate", {0, 2, 0}}}},
                              {"material", "native:iblOccluder"}});
    doc["camera"]["clip"] = {3.5, 100};  // the camera looks past the plate
    probe(doc);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_FLOAT_EQ(g_seen[0].color.r, 0.25f);
    EXPECT_FLOAT_EQ(g_seen[0].color.g, 0.5f);
    EXPECT_FLOAT_EQ(g_seen[0].color.b, 0.0f);
    EXPECT_FLOAT_EQ(g_seen[0].shadowWeight, 1.0f);

    // The plate moved aside: lit again.
    doc["objects"][1]["transform"] = {{"translate", {0, 2, 6}}};
    probe(doc);
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_FLOAT_EQ(g_seen[0].color.r, 3.0f);
}

TEST_F(Ibl, CellsThatGiveNoSamples) {
    const std::string square = writeEnvironment("square", 4, 4, 0.5f, {});
    struct Case {
        const char *what;
        json params;
        size_t expected;
    };
    const Case cases[] = {
        // The angular map's four corner cells lie outside its disc.
        {"angular corners", {{"mapping", 1}, {"resolution", {{"u", 4}, {"v", 4}}}}, 12},
        {"spherical", {{"mapping", 0}, {"resolution", {{"u", 4}, {"v", 4}}}}, 16},
        // An odd grid has a cell at the angular map's centre.
        {"angular centre", {{"mapping", 1}, {"resolution", {{"u", 3}, {"v", 3}}}}, 9},
        {"negative", {{"colorOffset", {-1, -1, -1, 0}}, {"resolution", {{"u", 4}, {"v", 4}}}}, 0},
        {"black", {{"colorGain", {0, 0, 0, 1}}, {"resolution", {{"u", 4}, {"v", 4}}}}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        json params = c.params;
        params["image"] = "sky";
        params["samples"] = {{"u", 100}, {"v", 0}};
        params["shadows"] = false;
        probe(probeScene(params, square));
        EXPECT_EQ(g_seen.size(), c.expected);
        EXPECT_EQ(size_t(g_counted), c.expected);
        for (const Seen &s : g_seen) {
            EXPECT_TRUE(std::isfinite(s.dir.x) && std::isfinite(s.dir.y) && std::isfinite(s.dir.z));
            EXPECT_NEAR(s.dir.x * s.dir.x + s.dir.y * s.dir.y + s.dir.z * s.dir.z, 1.0, 1e-5);
        }
    }
    // The angular map's centre cell looks down -z.
    probe(probeScene({{"image", "sky"}, {"mapping", 1}, {"resolution", {{"u", 1}, {"v", 1}}},
                      {"samples", {{"u", 5}, {"v", 0}}}, {"shadows", false}, {"frontOnly", false}},
                     square));
    ASSERT_EQ(g_seen.size(), 1u);
    EXPECT_NEAR(g_seen[0].dir.z, -1.0, 1e-6);
}

TEST_F(Ibl, TextureCellsWithoutAnImage) {
    // The colour evaluated per cell, inverted, times the gain, plus the offset.
    probe(probeScene({{"color", {0.25, 0.25, 0.25, 1}},
                      {"invert", true},
                      {"colorGain", {2, 2, 2, 1}},
                      {"colorOffset", {0.5, 0, 0, 0}},
                      {"resolution", {{"u", 4}, {"v", 2}}},
                      {"samples", {{"u", 0}, {"v", 3}}},
                      {"shadows", false}},
                     ""));
    ASSERT_EQ(g_seen.size(), 3u);
    for (const Seen &s : g_seen) {
        EXPECT_FLOAT_EQ(s.color.r, 2.0f);
        EXPECT_FLOAT_EQ(s.color.g, 1.5f);
        EXPECT_FLOAT_EQ(s.color.a, 5.0f / 3.0f);
    }
    // A grid of no cells has no samples.
    probe(probeScene({{"color", {1, 1, 1, 1}}, {"resolution", {{"u", 0}, {"v", 2}}}, {"shadows", false}}, ""));
    EXPECT_TRUE(g_seen.empty());
}

TEST_F(Ibl, ImageTagMustNameAnImage) {
    probe(probeScene({{"image", "ground"}, {"shadows", false}}, image));
    EXPECT_TRUE(g_seen.empty());
    EXPECT_EQ(g_counted, 0);
    const auto m = vt::messages();
    EXPECT_TRUE(vt::hasMessage(m, "veko_ibllight(): Texture is not an image tag."));
    EXPECT_TRUE(vt::hasMessage(m, "veko_ibllight(): Unable to access frame data."));
}

TEST_F(Ibl, BuffersReleasedAtExit) {
    const size_t before = vh::liveAllocations().blocks;
    {
        json doc = probeScene({{"image", "sky"}, {"resolution", {{"u", 8}, {"v", 4}}}, {"shadows", false}}, image);
        auto scene = vh::loadSceneJson(vt::library(), doc, "ibl-test.json");
        vh::RenderOptions o;
        o.threads = 2;
        o.progress = false;
        (void)vh::render(*scene, o);
    }
    EXPECT_EQ(vh::liveAllocations().blocks, before) << vh::liveAllocations().text;
}

// The example scene (a sphere and a box lit only by the sky's image) at a
// small size against its reviewed reference: mean difference below 1/255,
// no pixel further than 8/255. VEKO_UPDATE_GOLDEN=1 rewrites it.
TEST(IblRender, ExampleSceneMatchesItsReference) {
    auto scene = vh::loadScene(vt::library(), vt::sourcePath("scenes/ibl.json"));
    vh::RenderOptions ro;
    ro.threads = 2;
    ro.width = 64;
    ro.height = 40;
    ro.samples = 2;
    ro.progress = false;
    vt::checkGoldenImage(vh::render(*scene, ro), "ibl_scene.png");
}

}  // namespace
