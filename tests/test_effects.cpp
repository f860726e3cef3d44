// Output effects and camera shaders through the renderer: the glow output
// shader on hand-made frames and on a rendered one, aborts between its
// phases, the depth-of-field lens shader's rays, and the image plane's
// texture, transparency and invisibility.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include <unistd.h>

#include "support.h"
#include "vekobase.h"
#include "vekohost/imageio.h"
#include "vekohost/render.h"

namespace {

using vh::json;

vh::ScenePtr load(const json &doc) { return vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes"); }

std::filesystem::path tempPath(const std::string &name) {
    return std::filesystem::temp_directory_path() / ("vekoeffects_" + std::to_string(getpid()) + "_" + name);
}

vh::RenderOptions quiet(int threads = 0) {
    vh::RenderOptions o;
    o.threads = threads;
    o.progress = false;
    return o;
}

// ---------------------------------------------------------------------------
// Glow on a hand-made frame: a black image (alpha 1) of kSize x kSize whose
// glow buffer (frame buffer 0) holds the given pixels.
constexpr int kSize = 64;

struct GlowSource {
    int x, y;  // frame rows top down
    float value;
};

vh::FrameImage glowFrame(const std::vector<GlowSource> &sources, xrColor background = {0, 0, 0, 1}) {
    vh::FrameImage img;
    img.width = img.height = kSize;
    img.rgba.resize(size_t(kSize) * kSize * 4);
    for (size_t i = 0; i < img.rgba.size(); i += 4)
        std::memcpy(&img.rgba[i], &background, sizeof background);
    img.depth.assign(size_t(kSize) * kSize, 0.0f);
    img.label.assign(size_t(kSize) * kSize, 0);
    img.coverage.assign(size_t(kSize) * kSize, 0.0f);
    img.fb[0].assign(size_t(kSize) * kSize * 4, 0.0f);
    for (auto &s : sources) {
        float *p = &img.fb[0][(size_t(s.y) * kSize + size_t(s.x)) * 4];
        p[0] = p[1] = p[2] = s.value;
        p[3] = 1;
    }
    return img;
}

// Glow only (no halo), no auto exposure, spread 0.2 at full quality:
// grid scale 0.38 cells per pixel and a computed width of 4, made 5.
json glowParams(const json &over = json::object()) {
    json p = {{"glowType", 1},      {"haloType", 0},        {"glowIntensity", 0.1}, {"glowSpread", 0.2},
              {"glowEccentricity", 0.5}, {"quality", 1.0}, {"autoExposure", false}, {"frameBufferIndex", 0}};
    for (auto &[k, v] : over.items()) p[k] = v;
    return p;
}

vh::ScenePtr glowScene(const json &params) {
    json doc = {{"nodes", {{{"name", "glow"}, {"type", "veko_shaderglow"}, {"params", params}}}},
                {"camera", {{"resolution", {kSize, kSize}}, {"outputShaders", {"glow"}}}}};
    return load(doc);
}

vh::FrameImage runGlow(const json &params, vh::FrameImage img) {
    auto scene = glowScene(params);
    vh::runOutputShaders(*scene, img);
    return img;
}

float red(const vh::FrameImage &img, int x, int y) { return img.pixel(x, y)[0]; }

TEST(Glow, SinglePixelFallsOffStopsAtItsReachAndScalesWithIntensity) {
    const auto source = glowFrame({{32, 32, 1.0f}});
    vt::messages();
    const auto once = runGlow(glowParams(), source);
    const auto msgs = vt::messages();
    // The computed width 4 is made odd; grid scale (0.04)^(1/4) * 0.1699 / 0.2.
    EXPECT_TRUE(vt::hasMessage(msgs, "veko_shaderglow(): Glow: Filter Width .... 5"));
    EXPECT_TRUE(vt::hasMessage(msgs, "veko_shaderglow():       Resolution ...... 0.379908"));
    EXPECT_TRUE(vt::hasMessage(msgs, "veko_shaderglow(): Done!"));
    const auto twice = runGlow(glowParams({{"glowIntensity", 0.2}}), source);

    const float dither = 1.0f / 255;
    EXPECT_GT(red(once, 32, 32), 20 * dither);
    // Falls off along a row and a column away from the source.
    for (int d = 1; d <= 4; ++d) {
        EXPECT_LE(red(once, 32 + d, 32), red(once, 32 + d - 1, 32) + 2 * dither) << d;
        EXPECT_LE(red(once, 32, 32 - d), red(once, 32, 32 - d + 1) + 2 * dither) << d;
    }
    EXPECT_LT(red(once, 38, 32), 0.5f * red(once, 32, 32));
    // Reach: the kernel spans 2 cells either side of the source's cells (one
    // or two per axis), and bilinear upsampling one cell more: beyond
    // (2 + 3) / 0.38 = 13.2 pixels along either axis the image is untouched,
    // exactly.
    int touched = 0;
    for (int y = 0; y < kSize; ++y)
        for (int x = 0; x < kSize; ++x) {
            const int dist = std::max(std::abs(x - 32), std::abs(y - 32));
            const bool changed = std::memcmp(once.pixel(x, y), source.pixel(x, y), 4 * sizeof(float)) != 0;
            if (dist > 13) {
                EXPECT_FALSE(changed) << x << "," << y;
            }
            touched += changed;
        }
    EXPECT_GT(touched, 100);
    // Without auto exposure the added glow is proportional to the intensity.
    for (int d : {0, 1, 2, 3}) {
        const float a = red(once, 32 + d, 32), b = red(twice, 32 + d, 32);
        if (a < 8 * dither) continue;
        EXPECT_NEAR(b, 2 * a, 3 * dither) << d;
    }
}

TEST(Glow, NothingToAddLeavesTheImageUntouched) {
    struct Case {
        const char *what;
        json params;
        std::vector<GlowSource> sources;
    };
    const Case cases[] = {
        {"black glow buffer", glowParams(), {}},
        {"glow and halo off", glowParams({{"glowType", 0}}), {{32, 32, 1.0f}}},
        {"zero intensity", glowParams({{"glowIntensity", 0.0}}), {{32, 32, 1.0f}}},
        {"negative type counts as off", glowParams({{"glowType", -3}}), {{32, 32, 1.0f}}},
        // The source cell holds 51 * 0.38^2 units, far below 0.5 * 255.
        {"below the threshold", glowParams({{"threshold", 0.5}}), {{32, 32, 0.2f}}},
        {"other frame buffer", glowParams({{"frameBufferIndex", 3}}), {{32, 32, 1.0f}}},
    };
    for (const Case &c : cases) {
        const auto source = glowFrame(c.sources, {0.2f, 0.3f, 0.4f, 0.5f});
        const auto out = runGlow(c.params, source);
        EXPECT_EQ(out.rgba, source.rgba) << c.what;
    }
}

TEST(Glow, FullOpacityWhiteGlowReplacesThePixel) {
    // A bright block saturates the glow grid near its centre (255 in every
    // channel): opacity 1 shows the glow alone, opacity 0 adds it.
    std::vector<GlowSource> block;
    for (int y = 28; y < 36; ++y)
        for (int x = 28; x < 36; ++x) block.push_back({x, y, 1.0f});
    const auto source = glowFrame(block, {0.2f, 0.4f, 0.6f, 0.5f});
    const auto opaque = runGlow(glowParams({{"glowIntensity", 50.0}, {"glowOpacity", 1.0}}), source);
    const auto added = runGlow(glowParams({{"glowIntensity", 50.0}}), source);
    const float *o = opaque.pixel(32, 32), *a = added.pixel(32, 32);
    for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(o[c], 1.0f, 1.0f / 255) << c;
        EXPECT_NEAR(a[c], 1.0f + source.pixel(32, 32)[c], 1.0f / 255) << c;
    }
    EXPECT_EQ(o[3], 1.0f);  // alpha is clamped
}

TEST(Glow, TypeFourTintsAndTypesAboveFiveActAsFive) {
    const auto source = glowFrame({{32, 32, 1.0f}});
    const auto five = runGlow(glowParams({{"glowType", 5}}), source);
    const auto nine = runGlow(glowParams({{"glowType", 9}}), source);
    const auto one = runGlow(glowParams({{"glowType", 1}}), source);
    const auto four = runGlow(glowParams({{"glowType", 4}}), source);
    const float dither = 1.0f / 255;
    for (int d = 0; d < 8; ++d)
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(nine.pixel(32 + d, 32)[c], five.pixel(32 + d, 32)[c], 2 * dither);
    // Types 1-3 are grey; type 4 colours the glow (a blue core).
    const float *g = one.pixel(32, 32), *t = four.pixel(32, 32);
    EXPECT_NEAR(g[0], g[2], 2 * dither);
    EXPECT_GT(t[2], t[0] + 4 * dither);
}

TEST(Glow, HaloOnACoarserGridReachesFartherThanTheGlow) {
    const auto source = glowFrame({{32, 32, 1.0f}});
    // Halo spread 0.6 gives a coarser grid than the glow's: the halo grid is
    // resampled from the glow's working grid.
    json both = glowParams({{"haloType", 1}, {"haloIntensity", 0.5}, {"haloSpread", 0.6}, {"haloEccentricity", 0.5}});
    vt::messages();
    const auto withHalo = runGlow(both, source);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_shaderglow(): Halo: Filter Width .... 9"));
    const auto glowOnly = runGlow(glowParams(), source);
    EXPECT_EQ(std::memcmp(glowOnly.pixel(46, 32), source.pixel(46, 32), 16), 0);
    EXPECT_GT(red(withHalo, 46, 32), 2.0f / 255);
}

TEST(Glow, AbortBetweenPhasesStopsCleanly) {
    const auto source = glowFrame({{32, 32, 1.0f}});
    // Abort as soon as the given message appears: before the grid exists,
    // and after the convolution (grids and kernels allocated).
    for (const std::string trigger : {"veko_shaderglow(): Computing glow...", "veko_shaderglow(): Glow: Filter Width .... 5"}) {
        auto scene = glowScene(glowParams());
        const size_t liveBefore = vh::liveAllocations().blocks;
        vh::setMessageHook([trigger](const vh::Message &m) {
            if (m.text == trigger) vh::requestAbort();
        });
        vt::messages();
        auto img = source;
        vh::runOutputShaders(*scene, img);
        vh::setMessageHook(nullptr);
        const bool aborted = vh::abortRequested();
        vh::clearAbort();
        EXPECT_TRUE(aborted) << trigger;
        EXPECT_EQ(img.rgba, source.rgba) << trigger;
        EXPECT_FALSE(vt::hasMessage(vt::messages(), "veko_shaderglow(): Done!")) << trigger;
        EXPECT_EQ(vh::liveAllocations().blocks, liveBefore) << trigger << ": " << vh::liveAllocations().text;
    }
}

// A rendered frame: an incandescent square with glow writes the glow buffer
// through the shading engine and the state shader (frame buffer 1 = output
// image 11); the glow pass brightens its surroundings.
json glowingSquareScene(bool withGlow) {
    json nodes = {
        {{"name", "state"}, {"type", "veko_state"}, {"params", {{"frameBuffer", 1}}}},
        {{"name", "lamp"}, {"type", "veko_lambert"},
         {"params", {{"color", {0, 0, 0, 1}}, {"incandescence", {1, 0.8, 0.5, 1}}, {"glowIntensity", 1.0}}}},
        {{"name", "lampSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "lamp"}}}},
        {{"name", "glow"}, {"type", "veko_shaderglow"}, {"params", glowParams({{"glowIntensity", 0.5}})}}};
    json cam = {{"type", "orthographic"}, {"resolution", {48, 48}}, {"aperture", 4}};
    if (withGlow) cam["outputShaders"] = {"glow"};
    return {{"nodes", nodes},
            {"camera", cam},
            {"state", "state"},
            {"objects",
             {{{"name", "lamp"}, {"mesh", {{"type", "plane"}, {"size", 0.5}}}, {"material", "lampSG"},
               {"transform", {{"rotate", {90, 0, 0}}, {"translate", {0, 0, -3}}}}}}}};
}

TEST(Glow, RenderedGlowBufferBrightensTheSurroundings) {
    auto plain = load(glowingSquareScene(false));
    auto glowing = load(glowingSquareScene(true));
    const auto a = vh::render(*plain, quiet());
    const auto b = vh::render(*glowing, quiet());
    ASSERT_FALSE(a.fb[0].empty());
    EXPECT_NEAR(a.fb[0][(size_t(24) * 48 + 24) * 4], 1.0f, 1e-4);  // the lamp's glow colour, red
    EXPECT_GE(b.pixel(24, 24)[0], a.pixel(24, 24)[0]);
    // Just outside the square (3 pixels wide each side of the centre) the
    // glow lights the black background, most in red, nothing far away.
    const float *near = b.pixel(24 + 5, 24), *nearPlain = a.pixel(24 + 5, 24);
    EXPECT_EQ(nearPlain[0], 0.0f);
    EXPECT_GT(near[0], 0.02f);
    EXPECT_GT(near[0], near[2]);
    EXPECT_EQ(b.pixel(2, 2)[0], a.pixel(2, 2)[0]);
}

// ---------------------------------------------------------------------------
// Depth of field: a probe material records the eye rays that reach a plane
// facing the camera at z = -depth (camera at the origin looking down -z).
struct EyeRay {
    xrVector origin, hit;
};
std::mutex g_raysMutex;
std::vector<EyeRay> g_rays;

void registerProbe() {
    static std::once_flag once;
    std::call_once(once, [] {
        vh::registerNativeMaterial("eyeprobe", [](xrColor *c, xrState *s) {
            if (s->rayKind == 0) {
                std::lock_guard<std::mutex> lock(g_raysMutex);
                g_rays.push_back({s->rayOrigin, s->hitPoint});
            }
            *c = {0.25f, 0.5f, 1.0f, 1.0f};
            return xrBoolean(1);
        });
    });
}

json dofScene(float planeDepth, const json &dof, bool withPlane = true) {
    json doc = {{"nodes", {{{"name", "dof"}, {"type", "veko_dof"}, {"params", dof}}}},
                {"camera", {{"resolution", {32, 32}}, {"lens", {"dof"}}}}};
    if (withPlane)
        doc["objects"] = {{{"name", "wall"}, {"mesh", {{"type", "plane"}, {"size", 200}}}, {"material", "native:eyeprobe"},
                           {"label", 3}, {"transform", {{"rotate", {90, 0, 0}}, {"translate", {0, 0, -planeDepth}}}}}};
    return doc;
}

float dist(xrVector a, xrVector b) { return std::hypot(a.x - b.x, a.y - b.y, a.z - b.z); }

TEST(DepthOfField, RaysMeetOnTheFocalPlaneAndSpreadByTheCircleOfConfusionElsewhere) {
    registerProbe();
    // Lens radius = focal length / (f-stop * focus region scale) = 35 / 70.
    const float R = 0.5f, zf = 5.0f;
    struct Case {
        float depth, focus;
        int samples, rays;
    };
    // A count no render needs is cut to 1024 by the lens, and the
    // average is over the rays traced.
    const Case cases[] = {{5, 5, 32, 32},   {5, -5, 32, 32}, {10, 5, 32, 32},
                          {2.5f, 5, 32, 32}, {10, 5, 0, 1},   {10, 5, 24000000, 1024}};
    for (const Case &c : cases) {
        SCOPED_TRACE("plane at " + std::to_string(c.depth) + ", focus " + std::to_string(c.focus));
        auto scene = load(dofScene(c.depth, {{"focusDistance", c.focus}, {"fStop", 2}, {"focusRegionScale", 35},
                                             {"samples", c.samples}}));
        vh::Renderer r(*scene, 1);
        g_rays.clear();
        const float px = 24.5f, py = 9.5f;  // off the axis
        auto s = r.shadeSample(0, px, py, 7, 0);
        ASSERT_EQ(int(g_rays.size()), c.rays);
        // The sample averages what the rays saw; depth and label come from
        // the first ray.
        EXPECT_NEAR(s.color.g, 0.5f, 1e-6);
        EXPECT_TRUE(s.hit);
        EXPECT_EQ(s.label, 3u);
        xrVector org, dir;
        vh::eyeRay(*scene, px, py, org, dir);
        const float t = c.depth / -dir.z;
        const xrVector pinhole{dir.x * t, dir.y * t, -c.depth};
        // A ray from lens point L through the focal point lands |L| |d - zf| / zf
        // away from the pinhole ray's hit on the plane at depth d.
        const float coc = std::fabs(c.depth - zf) / zf;
        float widest = 0;
        for (const EyeRay &e : g_rays) {
            const float l = std::hypot(e.origin.x, e.origin.y);
            EXPECT_NEAR(e.origin.z, 0, 1e-6);
            EXPECT_LE(l, R + 1e-5f);
            EXPECT_NEAR(dist(e.hit, pinhole), l * coc, 2e-4f);
            widest = std::max(widest, l);
        }
        if (c.rays > 1) {
            EXPECT_GT(widest, 0.8f * R);  // the bundle fills the lens
        }
    }
}

TEST(DepthOfField, RaysThatSeeNothingGiveZero) {
    auto scene = load(dofScene(5, {{"focusDistance", 5}, {"fStop", 2}, {"focusRegionScale", 35}, {"samples", 8}}, false));
    vh::Renderer r(*scene, 1);
    auto s = r.shadeSample(0, 16, 16, 0, 0);
    EXPECT_EQ(s.color.r, 0.0f);
    EXPECT_EQ(s.color.a, 0.0f);
    EXPECT_FALSE(s.hit);
}

// ---------------------------------------------------------------------------
// Image planes. The texture is 8 x 8 with texel (x, row) = (x / 8, row / 8,
// 0.5, alpha), rows from the top; exact in half floats.
std::string planeTexture(float alpha) {
    const auto path = tempPath("plane" + std::to_string(int(alpha * 100)) + ".exr");
    std::vector<float> px;
    for (int row = 0; row < 8; ++row)
        for (int x = 0; x < 8; ++x) px.insert(px.end(), {x / 8.0f, row / 8.0f, 0.5f, alpha});
    vh::writeImage(path.string(), 8, 8, 4, px.data(), {"R", "G", "B", "A"});
    return path.string();
}

// An 8 x 8 camera with the plane at `depth`; behind it, optionally, a
// probe-shaded wall at depth 5.
json planeScene(const std::string &texture, const json &plane, float depth, bool wall) {
    json nodes = {{{"name", "state"}, {"type", "veko_state"}},
                  {{"name", "plane"}, {"type", "veko_imageplane"}, {"params", plane}}};
    json doc = {{"nodes", nodes},
                {"state", "state"},
                {"camera", {{"resolution", {8, 8}}}},
                {"images", {{{"name", "tex"}, {"file", texture}}}},
                {"imagePlanes", {{{"name", "backdrop"}, {"shader", "plane"}, {"depth", depth}}}}};
    doc["nodes"][1]["params"]["texture"] = "tex";
    if (wall)
        doc["objects"] = {{{"name", "wall"}, {"mesh", {{"type", "plane"}, {"size", 200}}}, {"material", "native:eyeprobe"},
                           {"transform", {{"rotate", {90, 0, 0}}, {"translate", {0, 0, -5}}}}}};
    return doc;
}

TEST(ImagePlane, ShowsItsTextureAcrossTheViewWithDisplayModes) {
    const std::string tex = planeTexture(1.0f);
    {
        auto scene = load(planeScene(tex, json::object(), 20, false));
        const auto img = vh::render(*scene, quiet(1));
        for (int row = 0; row < 8; ++row)
            for (int x = 0; x < 8; ++x) {
                const float *p = img.pixel(x, row);
                EXPECT_NEAR(p[0], x / 8.0f, 1e-4) << x << "," << row;
                EXPECT_NEAR(p[1], row / 8.0f, 1e-4) << x << "," << row;
                EXPECT_NEAR(p[2], 0.5f, 1e-4);
                EXPECT_NEAR(p[3], 1.0f, 1e-6);  // opaque: the matte is white
            }
    }
    // Texel (4, 2) = (0.5, 0.25, 0.5, 1) through each display mode, gain
    // (1, 2, 0.5) and offset 0.1.
    struct Case {
        int mode;
        xrColor expect;
    };
    const float lum = 0.3f * 0.5f + 0.59f * 0.25f + 0.11f * 0.5f;
    const Case cases[] = {{3, {0.6f, 0.6f, 0.35f, 1}},
                          {4, {lum + 0.1f, 2 * lum + 0.1f, 0.5f * lum + 0.1f, 1}},
                          {5, {1.1f, 2.1f, 0.6f, 1}}};
    for (const Case &c : cases) {
        json params = {{"displayMode", c.mode}, {"colorGain", {1, 2, 0.5, 1}}, {"colorOffset", {0.1, 0.1, 0.1, 0}}};
        auto scene = load(planeScene(tex, params, 20, false));
        const auto img = vh::render(*scene, quiet(1));
        const float *p = img.pixel(4, 2);
        EXPECT_NEAR(p[0], c.expect.r, 1e-4) << c.mode;
        EXPECT_NEAR(p[1], c.expect.g, 1e-4) << c.mode;
        EXPECT_NEAR(p[2], c.expect.b, 1e-4) << c.mode;
    }
    std::filesystem::remove(tex);
}

TEST(ImagePlane, HalfTransparentTextureBlendsOverWhatLiesBehind) {
    registerProbe();
    const std::string tex = planeTexture(0.5f);
    // Texel (4, 2) premultiplied: (0.25, 0.125, 0.25) at alpha 0.5.
    struct Case {
        const char *what;
        bool wall;
        float depth;
        xrColor expect;
    };
    const Case cases[] = {
        // In front of the probe wall (0.25, 0.5, 1, 1): half of it shows.
        {"over the wall", true, 2, {0.25f + 0.125f, 0.125f + 0.25f, 0.25f + 0.5f, 1}},
        // Over nothing: the plane's own coverage gives the alpha.
        {"over nothing", false, 2, {0.25f, 0.125f, 0.25f, 0.5f}},
        // Behind the wall it is not seen at all.
        {"behind the wall", true, 20, {0.25f, 0.5f, 1, 0}},
    };
    for (const Case &c : cases) {
        auto scene = load(planeScene(tex, json::object(), c.depth, c.wall));
        const auto img = vh::render(*scene, quiet(1));
        const float *p = img.pixel(4, 2);
        EXPECT_NEAR(p[0], c.expect.r, 1e-4) << c.what;
        EXPECT_NEAR(p[1], c.expect.g, 1e-4) << c.what;
        EXPECT_NEAR(p[2], c.expect.b, 1e-4) << c.what;
        EXPECT_NEAR(p[3], c.expect.a, 1e-4) << c.what;
    }
    std::filesystem::remove(tex);
}

TEST(ImagePlane, HiddenPlaneIsInvisibleAndCastsNoShadow) {
    // A lit ball; the directional light shines from behind the camera, so an
    // opaque plane in front would shadow it if planes cast shadows.
    auto doc = [](const json &plane) {
        json nodes = {{{"name", "state"}, {"type", "veko_state"}},
                      {{"name", "grey"}, {"type", "veko_lambert"}, {"params", {{"color", {0.6, 0.6, 0.6, 1}}}}},
                      {{"name", "greySG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "grey"}}}},
                      {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"useRayTraceShadows", 1}}}}};
        json d = {{"nodes", nodes},
                  {"state", "state"},
                  {"camera", {{"resolution", {24, 24}}}},
                  {"lights", {{{"name", "sun"}, {"shader", "sun"}, {"transform", {{"translate", {0, 0, 3}}}}}}},
                  {"objects", {{{"name", "ball"}, {"mesh", {{"type", "sphere"}, {"radius", 1}}}, {"material", "greySG"},
                                {"transform", {{"translate", {0, 0, -6}}}}}}}};
        if (!plane.is_null()) {
            d["nodes"].push_back({{"name", "plane"}, {"type", "veko_imageplane"}, {"params", plane}});
            d["imagePlanes"] = {{{"name", "front"}, {"shader", "plane"}, {"depth", 1}}};
        }
        return d;
    };
    auto bare = load(doc(nullptr));
    auto hidden = load(doc({{"displayMode", 0}, {"useColor", 1}, {"color", {1, 0, 0, 1}}}));
    auto shown = load(doc({{"displayMode", 3}, {"useColor", 1}, {"color", {1, 0, 0, 1}}}));
    const auto a = vh::render(*bare, quiet(1)), b = vh::render(*hidden, quiet(1)), c = vh::render(*shown, quiet(1));
    EXPECT_GT(a.pixel(12, 12)[0], 0.3f);  // the lit ball
    // The same image (up to the float error of rays continued from the
    // plane's hit point).
    for (size_t i = 0; i < a.rgba.size(); ++i) EXPECT_NEAR(a.rgba[i], b.rgba[i], 1e-3) << "pixel " << i / 4;
    for (int y : {0, 12})
        for (int x : {0, 12}) {
            const float *p = c.pixel(x, y);
            EXPECT_EQ(p[0], 1.0f);
            EXPECT_EQ(p[1], 0.0f);
            EXPECT_EQ(p[3], 1.0f);
        }
}

// ---------------------------------------------------------------------------
// The effects scene (depth of field, image plane, glow and halo) at 96 x 60
// against its reviewed reference; VEKO_UPDATE_GOLDEN=1 rewrites it. The
// glow's dither and float contraction differ between builds: 8-bit values
// may differ by more than 2 in 1% of the channels, never by more than 24,
// and the mean difference stays below 0.3.
TEST(EffectsGolden, SceneWithLensImagePlaneAndGlow) {
    auto scene = vh::loadScene(vt::library(), vt::sourcePath("scenes/effects.json"));
    vh::RenderOptions o = quiet();
    o.width = 96;
    o.height = 60;
    const vh::FrameImage img = vh::render(*scene, o);
    const std::string golden = vt::sourcePath("tests/golden/effects_scene.png");
    const auto tmp = tempPath("effects_scene.png");
    vh::writeImage(img, tmp.string());
    if (std::getenv("VEKO_UPDATE_GOLDEN")) {
        std::filesystem::copy_file(tmp, golden, std::filesystem::copy_options::overwrite_existing);
        GTEST_SKIP() << "wrote " << golden;
    }
    ASSERT_TRUE(std::filesystem::exists(golden)) << golden;
    const auto a = vh::readImage(tmp.string()), b = vh::readImage(golden);
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    double sum = 0;
    int over2 = 0, worst = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) {
        const int d = int(std::lround(std::fabs(a.rgba[i] - b.rgba[i]) * 255));
        sum += d;
        over2 += d > 2;
        worst = std::max(worst, d);
    }
    EXPECT_LE(over2, int(a.rgba.size() / 100));
    EXPECT_LE(worst, 24);
    EXPECT_LT(sum / double(a.rgba.size()), 0.3);
    std::filesystem::remove(tmp);
}

// ---------------------------------------------------------------------------
// Contours. The store's record as the contrast function reads it.
struct Info {
    float color[3];
    float matteLuminance;
    int32_t hostId, userId;
    xrTag instanceTag;
    int32_t stateWord140;
    xrTag objectLabel;
    float distance;
    xrVector point, normal, geometricNormal;
    int32_t flipped;
    xrVector uv;
};
static_assert(sizeof(Info) == 92);

struct Endpoint {
    float x, y, z;
    xrColor color;
    float width;
};

using ContrastFn = xrBoolean (*)(const void *, const void *, xrInteger, xrState *, void *);
using ContourFn = xrBoolean (*)(void *, const void *, const void *, xrState *, void *);

Info baseInfo() {
    Info i{};
    i.instanceTag = 5;
    i.normal = i.geometricNormal = {0, 0, 1};
    i.point = {0, 0, -3};
    i.uv = {0.3f, 0.3f, 0};
    return i;
}

TEST(Contour, ContrastDecidesBetweenNeighbouringSamples) {
    vh::Network net(vt::library());
    vh::Instance &c = net.add("c", "veko_contourcontrast");
    vh::StandaloneState ss;
    net.init(ss.state());
    auto contrast = [&](const json &params, const Info *a, const Info *b, int level = 0) {
        const json defaults = {{"contourBackground", false}, {"compareInstance", false}};
        for (auto &[k, v] : defaults.items()) c.setLiteral(k, v);
        for (auto &[k, v] : params.items()) c.setLiteral(k, v);
        ss.state()->shaderRecord = &c.record;
        return reinterpret_cast<ContrastFn>(reinterpret_cast<void (*)()>(c.fns.main))(a, b, level, ss.state(), c.params()) != 0;
    };
    const Info a = baseInfo();
    auto with = [&](auto change) {
        Info b = baseInfo();
        change(b);
        return b;
    };
    const Info otherInstance = with([](Info &i) { i.instanceTag = 6; });
    const Info redder = with([](Info &i) { i.color[0] = 0.2f; });
    const Info turned40 = with([](Info &i) { i.normal = {std::sin(0.698f), 0, std::cos(0.698f)}; });
    const Info turned20 = with([](Info &i) { i.normal = {std::sin(0.349f), 0, std::cos(0.349f)}; });
    const Info deeper = with([](Info &i) { i.point.z = -5; });
    const Info nextCell = with([](Info &i) { i.uv.x = 0.55f; });
    const Info sameCell = with([](Info &i) { i.uv.x = 0.45f; });
    struct Case {
        const char *what;
        json params;
        const Info *a, *b;
        int level;
        bool expect;
    };
    const Case cases[] = {
        {"level 2 never draws", {{"contourBackground", true}}, &a, nullptr, 2, false},
        {"two empty samples", {{"contourBackground", true}, {"compareInstance", true}}, nullptr, nullptr, 0, false},
        {"against the background", {{"contourBackground", true}}, &a, nullptr, 0, true},
        {"one-sided with an id compared", {{"compareInstance", true}}, nullptr, &a, 0, true},
        {"one-sided with nothing compared", {{"normalAngle", 10}}, &a, nullptr, 0, false},
        {"other instance", {{"compareInstance", true}}, &a, &otherInstance, 0, true},
        {"same instance", {{"compareInstance", true}}, &a, &a, 0, false},
        {"red above its threshold", {{"colorThreshold", {0.1, 0.5, 0.5, 0.5}}}, &a, &redder, 0, true},
        {"red below its threshold", {{"colorThreshold", {0.3, 0, 0, 0}}}, &a, &redder, 0, false},
        {"normals 40 degrees apart", {{"normalAngle", 30}}, &a, &turned40, 0, true},
        {"normals 20 degrees apart", {{"normalAngle", 30}}, &a, &turned20, 0, false},
        {"depth step", {{"depthThreshold", 1.5}}, &a, &deeper, 0, true},
        {"depth step below threshold", {{"depthThreshold", 2.5}}, &a, &deeper, 0, false},
        {"next uv cell", {{"uvGrid", {{"u", 4}, {"v", 0}}}}, &a, &nextCell, 0, true},
        {"same uv cell", {{"uvGrid", {{"u", 4}, {"v", 0}}}}, &a, &sameCell, 0, false},
    };
    for (const Case &k : cases) {
        // Reset every parameter a case may have set.
        c.setLiteral("colorThreshold", json{0, 0, 0, 0});
        c.setLiteral("normalAngle", 0);
        c.setLiteral("depthThreshold", 0);
        c.setLiteral("uvGrid", json{{"u", 0}, {"v", 0}});
        EXPECT_EQ(contrast(k.params, k.a, k.b, k.level), k.expect) << k.what;
    }
    net.exit(ss.state());
}

TEST(Contour, EndPointTakesColourAndWidth) {
    vh::Network net(vt::library());
    vh::Instance &k = net.add("k", "veko_contour");
    vh::StandaloneState ss;
    ss.camera.imageWidth = 1000;
    net.init(ss.state());
    ss.state()->shaderRecord = &k.record;
    k.setLiteral("contourColor", json{0.2, 0.4, 0.6, 1});
    k.setLiteral("contourAlpha", 0.5);
    k.setLiteral("contourWidth", 2);
    for (bool relative : {false, true}) {
        k.setLiteral("widthIsRelative", relative);
        Endpoint e{};
        ASSERT_TRUE(reinterpret_cast<ContourFn>(reinterpret_cast<void (*)()>(k.fns.main))(&e, nullptr, nullptr, ss.state(), k.params()));
        EXPECT_NEAR(e.width, relative ? 2.0f : 0.2f, 1e-6);  // pixels become a percentage of the width
        EXPECT_EQ(e.color.g, 0.4f);
        EXPECT_EQ(e.color.a, 0.5f);
    }
    net.exit(ss.state());
}

// A grey ball on a white background, outlined by the contour facility.
json contourScene(const json &output) {
    json nodes = {{{"name", "state"}, {"type", "veko_state"}},
                  {{"name", "grey"}, {"type", "veko_lambert"},
                   {"params", {{"color", {0, 0, 0, 1}}, {"diffuse", 0}, {"incandescence", {0.5, 0.5, 0.5, 1}}}}},
                  {{"name", "greySG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "grey"}}}},
                  {{"name", "store"}, {"type", "veko_contourstore"}},
                  {{"name", "contrast"}, {"type", "veko_contourcontrast"}, {"params", {{"contourBackground", true}}}},
                  {{"name", "ink"}, {"type", "veko_contour"}, {"params", {{"contourColor", {1, 0, 0, 1}}, {"contourWidth", 1}}}},
                  {{"name", "draw"}, {"type", "veko_contouroutput"}, {"params", output}}};
    return {{"nodes", nodes},
            {"state", "state"},
            {"camera", {{"resolution", {80, 80}},
                        {"contours", {{"store", "store"}, {"contrast", "contrast"}, {"shader", "ink"}}},
                        {"outputShaders", {"draw"}}}},
            {"objects", {{{"name", "ball"}, {"mesh", {{"type", "sphere"}, {"radius", 1}, {"segments", 64}, {"rings", 32}}},
                          {"material", "greySG"}, {"transform", {{"translate", {0, 0, -5}}}}}}}};
}

TEST(Contour, RenderedOutlineFollowsTheSilhouette) {
    auto plainDoc = contourScene(json::object());
    plainDoc["camera"].erase("contours");
    plainDoc["camera"].erase("outputShaders");
    auto plain = load(plainDoc);
    const auto a = vh::render(*plain, quiet());
    auto drawn = load(contourScene({{"oversample", 1}, {"filterType", 0}, {"filterWidth", 1}}));
    vt::messages();
    const auto b = vh::render(*drawn, quiet());
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_contouroutput(): 100.0 percent rendered."));
    // Inside the ball and far outside nothing changes.
    EXPECT_EQ(std::memcmp(a.pixel(40, 40), b.pixel(40, 40), 16), 0);
    EXPECT_EQ(std::memcmp(a.pixel(2, 2), b.pixel(2, 2), 16), 0);
    // The ball's edge (about 15.6 pixels from the centre) turns red along
    // the row through the centre, on both sides.
    for (int dir : {-1, 1}) {
        float reddest = 0;
        for (int d = 12; d <= 19; ++d) reddest = std::max(reddest, b.pixel(40 + dir * d, 40)[0] - b.pixel(40 + dir * d, 40)[1]);
        EXPECT_GT(reddest, 0.5f) << dir;
    }
    int red = 0;
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 80; ++x) red += b.pixel(x, y)[0] > 0.5f && b.pixel(x, y)[1] < 0.3f;
    EXPECT_GT(red, 60);
    EXPECT_LT(red, 600);
    // Oversample 0 counts as 1, filter type 5 as the box.
    auto same = load(contourScene({{"oversample", 0}, {"filterType", 5}, {"filterWidth", 1}}));
    EXPECT_EQ(vh::render(*same, quiet()).rgba, b.rgba);
    // Under a lens shader (a pinhole depth of field) the eye rays it traces
    // give the same outline.
    json lensDoc = contourScene({{"oversample", 1}, {"filterType", 0}, {"filterWidth", 1}});
    lensDoc["nodes"].push_back({{"name", "dof"}, {"type", "veko_dof"}, {"params", {{"samples", 0}}}});
    lensDoc["camera"]["lens"] = {"dof"};
    auto lensed = load(lensDoc);
    EXPECT_EQ(vh::render(*lensed, quiet()).rgba, b.rgba);
}

}  // namespace
