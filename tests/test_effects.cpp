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

}  // namespace
