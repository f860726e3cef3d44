// Area and shape lights through the reference host: the rectangle light's
// form factor against the analytic one, its back face, its square shadow
// sampler; the host's shape lights (rectangle, disc, sphere, cylinder,
// object) with their uv mapping of the host's sample points, and the shapes
// seen by camera rays.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>
#include <string>
#include <vector>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"

namespace {

using vh::json;
constexpr double kPi = 3.14159265358979323846;

// Light transform (row vectors): light-space x -> (s, 0, 0), y -> (0, 0, -s),
// z -> (0, s, 0), so the light emits straight down (light-space -z) from
// (x, h, z); `up` flips it to emit upwards.
json downLight(float s, float x, float h, float z, bool up = false) {
    const float k = up ? -s : s;
    return json::array({s, 0, 0, 0, 0, 0, -k, 0, 0, k, 0, 0, x, h, z, 1});
}

// Ground plane at y = 0 seen from above by a 3 x 3 orthographic view of
// 2 units width; pixel (1, 1) sees the origin, (2, 1) sees (2/3, 0, 0).
json groundScene(const json &nodes, const json &lights, const std::string &material, const json &options = {}) {
    json doc = {{"nodes", nodes},
                {"camera",
                 {{"type", "orthographic"},
                  {"resolution", {3, 3}},
                  {"aperture", 2},
                  {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
                {"options", options.is_null() ? json{{"trace", true}} : options},
                {"state", "st"},
                {"objects",
                 {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 20}}}, {"material", material}}}},
                {"lights", lights}};
    doc["nodes"].push_back({{"name", "st"}, {"type", "veko_state"}});
    return doc;
}

xrColor shadePixel(const json &doc, int x, int y) {
    auto scene = vh::loadSceneJson(vt::library(), doc, "area-test.json");
    vh::Renderer r(*scene, 1);
    const auto s = r.shadeSample(0, x + 0.5f, y + 0.5f, 0, 0);
    EXPECT_TRUE(s.hit);
    return s.color;
}

// Form factor from a point to the rectangle [x1, x2] x [z1, z2] in a parallel
// plane at height d, from the closed form for a rectangle with a corner
// above the point (odd in both coordinates, so any rectangle is a signed sum).
double cornerFactor(double a, double b) {
    const double sa = std::sqrt(1 + a * a), sb = std::sqrt(1 + b * b);
    return (a / sa * std::atan(b / sa) + b / sb * std::atan(a / sb)) / (2 * kPi);
}
double parallelFormFactor(double x1, double x2, double z1, double z2, double d) {
    return cornerFactor(x2 / d, z2 / d) - cornerFactor(x1 / d, z2 / d) - cornerFactor(x2 / d, z1 / d) +
           cornerFactor(x1 / d, z1 / d);
}

json lambertNodes(const json &light) {
    return {{{"name", "lam"}, {"type", "veko_lambert"}, {"params", {{"color", {1, 1, 1, 1}}, {"diffuse", 1}}}},
            {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "lam"}}}},
            light};
}

class AreaLight : public vt::MessagesTest {};

// Lambert under the rectangle light: the point-light cosine is replaced by
// five times the rectangle's contour integral, 10 pi times its form factor.
// A point light of the same intensity at the centre gives the cosine, so
// the ratio tends to 10 A cos / d^2 for a small rectangle far away.
TEST_F(AreaLight, FormFactorAgainstTheAnalyticRectangle) {
    struct Case {
        float s, d;  // half side, height
        int px;      // pixel column: 1 the origin, 2 the point (2/3, 0, 0)
    };
    const Case cases[] = {{0.05f, 10, 1}, {0.05f, 10, 2}, {0.5f, 2, 1}, {1, 1, 1}, {1, 1, 2}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "s " << c.s << " d " << c.d << " px " << c.px);
        const json area = {{"name", "light"}, {"type", "veko_arealight"}, {"params", {{"intensity", 0.5}}}};
        const json point = {{"name", "light"}, {"type", "veko_pointlight"}, {"params", {{"intensity", 0.5}}}};
        const json lights = {{{"name", "l"}, {"shader", "light"}, {"transform", downLight(c.s, 0, c.d, 0)}}};
        const xrColor a = shadePixel(groundScene(lambertNodes(area), lights, "sg"), c.px, 1);
        const xrColor p = shadePixel(groundScene(lambertNodes(point), lights, "sg"), 1, 1);
        const double x = (c.px - 1) * 2.0 / 3.0;
        const double f = parallelFormFactor(-c.s - x, c.s - x, -c.s, c.s, c.d);
        ASSERT_GT(p.r, 0.1f);
        // Single-precision angles between nearly parallel corner directions
        // limit the far, small rectangle to about half a percent.
        const double tol = c.d >= 10 ? 1e-2 : 1e-3;
        EXPECT_NEAR(a.r / p.r, 10 * kPi * f, tol * 10 * kPi * f);
        EXPECT_NEAR(a.g, a.r, 1e-6);
        if (c.d == 10 && c.px == 1) {
            const double area4 = 4.0 * c.s * c.s;
            EXPECT_NEAR(a.r / p.r, 10 * area4 / (c.d * c.d), tol * 10 * area4 / (c.d * c.d));
        }
    }
}

// The light lights the side it faces; a point in its plane still counts.
TEST_F(AreaLight, BackFaceRule) {
    static std::vector<xrColor> seen;
    static std::vector<int> okays;
    vh::registerNativeMaterial("areaProbe", [](xrColor *c, xrState *s) {
        xrInteger n = 0;
        xrTag *lights = nullptr;
        xr_instance_lightlist(&n, &lights, s);
        for (int i = 0; i < n; ++i) {
            xrInteger samples = 0;
            xrColor q{};
            xrVector dir;
            float cs;
            okays.push_back(xr_sample_light(&q, &dir, &cs, s, lights[i], &samples));
            seen.push_back(q);
        }
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    // Light-space -z towards: down (-y), up (+y), along +x with the light
    // 2 above the point (the point lies in the light's plane).
    const json side = json::array({0, 0, -1, 0, 0, 1, 0, 0, -1, 0, 0, 0, 0, 2, 0, 1});
    struct Case {
        json transform;
        bool lit;
    };
    const Case cases[] = {{downLight(0.5f, 0, 2, 0), true}, {downLight(0.5f, 0, 2, 0, true), false}, {side, true}};
    for (const Case &c : cases) {
        seen.clear();
        okays.clear();
        const json light = {{"name", "light"}, {"type", "veko_arealight"}, {"params", {{"color", {0.2, 0.4, 0.6, 1}}}}};
        shadePixel(groundScene(json::array({light}), {{{"name", "l"}, {"shader", "light"}, {"transform", c.transform}}},
                               "native:areaProbe"),
                   1, 1);
        ASSERT_EQ(okays.size(), 1u);
        EXPECT_EQ(okays[0] != 0, c.lit) << c.transform.dump();
        if (c.lit) {
            EXPECT_NEAR(seen[0].b, 0.6f, 1e-6);
        }
    }
}

// Soft shadows of the rectangle light: every shadow ray starts on the light's
// square, and the square sampler's x is (2 s0 - 1) y, so |x| <= |y| in light
// space for every sample, and some samples come close to the diagonal.
TEST_F(AreaLight, SquareSamplerCrowdsTowardsTheCentreLine) {
    static std::vector<xrVector> origins;
    vh::registerNativeMaterial("occluder", [](xrColor *c, xrState *s) {
        if (s->rayKind == 5) {
            origins.push_back(s->rayOrigin);
            return xrBoolean(0);  // opaque
        }
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    origins.clear();
    const json light = {{"name", "light"},
                        {"type", "veko_arealight"},
                        {"params", {{"useRayTraceShadows", 1}, {"shadowRays", 16}, {"rayDepthLimit", 4}}}};
    json doc = groundScene(lambertNodes(light), {{{"name", "l"}, {"shader", "light"}, {"transform", downLight(1, 0, 4, 0)}}},
                           "sg");
    doc["objects"].push_back({{"name", "plate"},
                              {"mesh", {{"type", "plane"}, {"size", 3}}},
                              {"transform", {{"translate", {0, 2, 0}}}},
                              {"material", "native:occluder"}});
    doc["camera"]["clip"] = {3.5, 100};  // the camera looks past the plate
    const xrColor c = shadePixel(doc, 1, 1);
    EXPECT_NEAR(c.r, 0, 1e-6);
    ASSERT_EQ(origins.size(), 16u);  // all blocked: one pass
    float diag = 0;
    for (const xrVector &o : origins) {
        // Light space: x = world x, y = -world z, on the plane y = 4.
        EXPECT_NEAR(o.y, 4, 1e-4);
        const float lx = o.x, ly = -o.z;
        EXPECT_LE(std::fabs(lx), std::fabs(ly) + 1e-5f);
        EXPECT_LE(std::fabs(ly), 1 + 1e-5f);
        diag = std::max(diag, std::fabs(lx) / std::max(std::fabs(ly), 1e-6f));
    }
    EXPECT_GT(diag, 0.8f);
}

// Called outside a shader instance: without the per-ray record the state
// error, with it (inside a render) no shape record to read.
TEST_F(AreaLight, MissingRecordsAreReported) {
    using Fn = xrBoolean (*)(void *, xrState *, void *);
    static Fn fn = reinterpret_cast<Fn>(vt::library().symbol("veko_arealight"));
    static xrBoolean inRender = 1;
    vh::registerNativeMaterial("directCall", [](xrColor *c, xrState *s) {
        std::vector<uint32_t> params(16, 0);
        xrColor out{};
        xrShaderRecord *saved = s->shaderRecord;
        s->shaderRecord = nullptr;
        inRender = fn(&out, s, params.data());
        s->shaderRecord = saved;
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    vh::StandaloneState ss;
    std::vector<uint32_t> params(16, 0);
    xrColor out{};
    EXPECT_FALSE(fn(&out, ss.state(), params.data()));
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_arealight(): Internal state error."));
    shadePixel(groundScene(json::array(), json::array(), "native:directCall"), 1, 1);
    EXPECT_FALSE(inRender);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_arealight(): Cannot access shape data!"));
}

// --------------------------------------------------------------------------
// Shape lights sampled by the host.

struct ShapeCase {
    const char *name;
    json area;
    // Light-space point of texture coordinate (u, v).
    xrVector (*point)(float u, float v);
};

// Light placed 3 above the origin, emitting down: light-space x = world x,
// y = -world z, z = world y - 3.
xrVector toWorld(xrVector p) { return {p.x, p.z + 3, -p.y}; }

const ShapeCase kShapes[] = {
    {"rectangle", {{"shape", "rectangle"}, {"size", 2}, {"samples", 6}},
     [](float u, float v) { return xrVector{2 * u - 1, 2 * v - 1, 0}; }},
    {"disc", {{"shape", "disc"}, {"radius", 0.8}, {"samples", 6}},
     [](float u, float v) {
         const float a = float(2 * kPi) * (v - 0.5f);
         return xrVector{u * std::cos(a), u * std::sin(a), 0};
     }},
    {"sphere", {{"shape", "sphere"}, {"radius", 0.8}, {"samples", 6}},
     [](float u, float v) {
         const float a = float(2 * kPi) * (u - 0.5f), b = float(kPi) * (v - 0.5f);
         return xrVector{0.8f * std::sin(a) * std::cos(b), 0.8f * std::sin(b), 0.8f * std::cos(a) * std::cos(b)};
     }},
    {"cylinder", {{"shape", "cylinder"}, {"radius", 0.8}, {"samples", 6}},
     [](float u, float v) {
         const float a = float(2 * kPi) * (v - 0.5f);
         return xrVector{2 * u - 1, 0.8f * std::sin(a), 0.8f * std::cos(a)};
     }},
};

struct LightSample {
    xrColor color;
    xrVector dir;  // towards the light
};
std::vector<LightSample> g_samples;

void registerSampleProbe() {
    vh::registerNativeMaterial("shapeProbe", [](xrColor *c, xrState *s) {
        xrInteger n = 0;
        xrTag *lights = nullptr;
        xr_instance_lightlist(&n, &lights, s);
        for (int i = 0; i < n; ++i) {
            xrInteger samples = 0;
            LightSample ls{};
            float cs;
            while (xr_sample_light(&ls.color, &ls.dir, &cs, s, lights[i], &samples)) g_samples.push_back(ls);
        }
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
}

// The light's intensity is the u (or v) of the sample's texture coordinate,
// so the colour returned per sample names the uv that the light mapped the
// host's sample point to; the inverse mapping must lead back to the
// direction the host sampled.
std::vector<std::pair<float, float>> sampleUvs(const json &area, xrVector (*)(float, float),
                                               std::vector<xrVector> *dirs, const json &extraObjects = json::array(),
                                               const json &lightTransform = json()) {
    std::vector<float> comp[2];
    for (int k = 0; k < 2; ++k) {
        const json nodes = {{{"name", "place"}, {"type", "veko_place2dtex"}},
                            {{"name", "light"},
                             {"type", "veko_shapelight"},
                             {"params", {{"intensity", k == 0 ? "place.outUV.x" : "place.outUV.y"}}}}};
        json l = {{"name", "l"}, {"shader", "light"}, {"area", area}};
        l["transform"] = lightTransform.is_null() ? downLight(1, 0, 3, 0) : lightTransform;
        json doc = groundScene(nodes, json::array({l}), "native:shapeProbe");
        for (const auto &o : extraObjects) doc["objects"].push_back(o);
        registerSampleProbe();
        g_samples.clear();
        shadePixel(doc, 1, 1);
        if (dirs && k == 0) dirs->clear();
        for (const auto &s : g_samples) {
            comp[k].push_back(s.color.r);
            if (dirs && k == 0) dirs->push_back(s.dir);
        }
    }
    std::vector<std::pair<float, float>> uv;
    EXPECT_EQ(comp[0].size(), comp[1].size());
    for (size_t i = 0; i < std::min(comp[0].size(), comp[1].size()); ++i) uv.push_back({comp[0][i], comp[1][i]});
    return uv;
}

TEST_F(AreaLight, ShapeLightMapsTheHostSamplePointToUv) {
    for (const ShapeCase &sc : kShapes) {
        SCOPED_TRACE(sc.name);
        std::vector<xrVector> dirs;
        const auto uv = sampleUvs(sc.area, sc.point, &dirs);
        ASSERT_EQ(uv.size(), 6u);
        for (size_t i = 0; i < uv.size(); ++i) {
            const xrVector w = toWorld(sc.point(uv[i].first, uv[i].second));
            const float len = std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
            EXPECT_NEAR(dirs[i].x, w.x / len, 2e-3) << i;
            EXPECT_NEAR(dirs[i].y, w.y / len, 2e-3) << i;
            EXPECT_NEAR(dirs[i].z, w.z / len, 2e-3) << i;
        }
    }
}

// An object light keeps the mesh's own uv: a quad above the ground, outside
// the view, whose uv is its world (x - 1.5, z + 0.5).
TEST_F(AreaLight, ObjectLightKeepsTheMeshUv) {
    const json quad = {{"name", "panel"},
                       {"mesh",
                        {{"type", "mesh"},
                         {"positions", {1.5, 3, -0.5, 2.5, 3, -0.5, 2.5, 3, 0.5, 1.5, 3, 0.5}},
                         {"uvs", {{0, 0, 1, 0, 1, 1, 0, 1}}},
                         {"triangles", {0, 2, 1, 0, 3, 2}}}}};
    std::vector<xrVector> dirs;
    const auto uv = sampleUvs({{"shape", "object"}, {"object", "panel"}, {"samples", 6}}, nullptr, &dirs,
                              json::array({quad}), json());
    ASSERT_EQ(uv.size(), 6u);
    for (size_t i = 0; i < uv.size(); ++i) {
        const xrVector w{uv[i].first + 1.5f, 3, uv[i].second - 0.5f};
        const float len = std::sqrt(w.x * w.x + w.y * w.y + w.z * w.z);
        EXPECT_NEAR(dirs[i].x, w.x / len, 2e-3) << i;
        EXPECT_NEAR(dirs[i].y, w.y / len, 2e-3) << i;
        EXPECT_NEAR(dirs[i].z, w.z / len, 2e-3) << i;
    }
}

// Camera rays see a visible shape: the light's colour times intensity and
// shape intensity, alpha 1; a rectangle seen from behind is black with
// alpha 1; an invisible shape is not seen.
TEST_F(AreaLight, ShapesSeenByCameraRays) {
    struct Case {
        json area;
        bool up;      // emitting upwards (the camera is above)
        xrColor want;
        bool hit;
    };
    const json rect = {{"shape", "rectangle"}, {"size", 4}, {"visible", true}};
    const json sphere = {{"shape", "sphere"}, {"radius", 1}, {"visible", true}};
    const json hidden = {{"shape", "rectangle"}, {"size", 4}};
    const Case cases[] = {
        {rect, true, {0.2f * 3 * 2, 0.4f * 3 * 2, 0.6f * 3 * 2, 1}, true},
        {rect, false, {0, 0, 0, 1}, true},
        {sphere, false, {0.2f * 3 * 2, 0.4f * 3 * 2, 0.6f * 3 * 2, 1}, true},
        {hidden, true, {0, 0, 0, 0}, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.area.dump() + (c.up ? " up" : " down"));
        const json nodes = {{{"name", "light"},
                             {"type", "veko_shapelight"},
                             {"params", {{"color", {0.2, 0.4, 0.6, 1}}, {"intensity", 3}, {"shapeIntensity", 2}}}}};
        json doc = groundScene(nodes, {{{"name", "l"}, {"shader", "light"}, {"area", c.area},
                                        {"transform", downLight(1, 0, 2, 0, c.up)}}},
                               "native:shapeProbe");
        doc["objects"] = json::array();  // nothing but the light
        auto scene = vh::loadSceneJson(vt::library(), doc, "area-test.json");
        vh::Renderer r(*scene, 1);
        const auto s = r.shadeSample(0, 1.5f, 1.5f, 0, 0);
        EXPECT_EQ(s.hit, c.hit);
        EXPECT_NEAR(s.color.r, c.want.r, 1e-5);
        EXPECT_NEAR(s.color.g, c.want.g, 1e-5);
        EXPECT_NEAR(s.color.b, c.want.b, 1e-5);
        EXPECT_NEAR(s.color.a, c.want.a, 1e-5);
    }
}

}  // namespace

namespace {

// The example scene (a visible rectangle light, an object light, a rectangle
// fill light with soft shadows and a box unlinked from the rectangle) at a
// small size against its reviewed reference. The tolerance covers compiler
// and optimisation differences: mean difference below 1/255 and no pixel
// further than 8/255 in any channel. VEKO_UPDATE_GOLDEN=1 rewrites it.
TEST(AreaLightRender, ExampleSceneMatchesItsReference) {
    auto scene = vh::loadScene(vt::library(), vt::sourcePath("scenes/lights.json"));
    vh::RenderOptions ro;
    ro.threads = 2;
    ro.width = 64;
    ro.height = 40;
    ro.samples = 2;
    ro.progress = false;
    vt::checkGoldenImage(vh::render(*scene, ro), "lights_scene.png");
}

}  // namespace
