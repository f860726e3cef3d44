#include "support.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include <vekohost/imageio.h>
#include <vekohost/render.h>
#include <vekohost/shade.h>

namespace vt {

vh::Library &library() {
    static vh::Library *lib = [] {
        vh::captureMessages(true);
        return new vh::Library(vh::Library::defaultPath());
    }();
    return *lib;
}

std::vector<vh::Message> messages() { return vh::takeMessages(); }

bool hasMessage(const std::vector<vh::Message> &m, const std::string &text) {
    for (const auto &x : m)
        if (x.text == text) return true;
    return false;
}

std::string sourcePath(const std::string &rel) { return std::string(VEKO_SOURCE_DIR) + "/" + rel; }

using vh::json;

xrColor renderLayers(const std::vector<Layer> &layers, const std::vector<DirLight> &lights,
                     const json &extraNodes, const json &options) {
    json nodes = json::array({{{"name", "st"}, {"type", "veko_state"}}});
    json objects = json::array();
    for (size_t i = 0; i < layers.size(); ++i) {
        const std::string k = std::to_string(i);
        nodes.push_back({{"name", "surf" + k}, {"type", layers[i].type}, {"params", layers[i].params}});
        nodes.push_back({{"name", "sg" + k}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "surf" + k}}}});
        objects.push_back({{"name", "plane" + k}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}},
                           {"transform", {{"translate", {0, layers[i].height, 0}}}}, {"material", "sg" + k}});
    }
    for (const auto &n : extraNodes) nodes.push_back(n);
    json lightList = json::array();
    for (size_t i = 0; i < lights.size(); ++i) {
        const std::string name = "dl" + std::to_string(i);
        const xrVector f = lights[i].from;
        nodes.push_back({{"name", name}, {"type", "veko_directionallight"},
                         {"params", {{"intensity", lights[i].intensity}, {"useRayTraceShadows", 0}}}});
        const json up = std::fabs(f.y) > 0.9f ? json{0, 0, -1} : json{0, 1, 0};
        const json look = {{"eye", {f.x, f.y, f.z}}, {"target", {0, 0, 0}}, {"up", up}};
        lightList.push_back({{"name", "l" + std::to_string(i)}, {"shader", name}, {"transform", {{"lookAt", look}}}});
    }
    json opts = {{"trace", true}};
    for (auto &[k, v] : options.items()) opts[k] = v;
    json camera = {{"type", "orthographic"}, {"resolution", {3, 3}}, {"aperture", 2},
                   {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
    for (const auto &n : extraNodes)
        if (n.value("name", "") == "env") camera["environment"] = "env";
    json doc = {{"nodes", nodes}, {"camera", camera}, {"options", opts}, {"state", "st"},
                {"objects", objects}, {"lights", lightList}};
    static int count = 0;
    const std::string base = ::testing::TempDir() + "vekobase_surface_" + std::to_string(::getpid()) + "_" + std::to_string(++count);
    {
        std::ofstream f(base + ".json");
        f << doc.dump(1);
    }
    vh::RenderOptions ro;
    ro.threads = 1;
    ro.progress = false;
    ro.outputs = {base + ".exr"};
    vh::setVerbosity(1);
    EXPECT_EQ(vh::renderScene(base + ".json", ro), 0);
    vh::setVerbosity(2);
    vh::FrameImage img = vh::readImage(base + ".exr");
    std::remove((base + ".json").c_str());
    std::remove((base + ".exr").c_str());
    EXPECT_EQ(img.width, 3);
    if (img.width != 3 || img.height != 3) return {-1, -1, -1, -1};
    const float *px = img.pixel(1, 1);
    return {px[0], px[1], px[2], px[3]};
}

// Golden swatches: tests/golden/<name>.json evaluated over a 32 x 32 uv grid
// (node "tex", outColor) against the reviewed references <name>.png (r, g,
// b) and <name>.alpha.png (alpha), stored separately so that 8-bit PNG alpha
// handling cannot touch the colour. Values are clamped to [0, 1] as the
// 8-bit files hold them; the tolerance of 2/255 covers the quantisation
// (0.5/255) and float differences between compilers and maths libraries.
// VEKO_UPDATE_GOLDEN=1 rewrites the references (review them before
// committing).
void checkGoldenSwatch(vh::Library &lib, const std::string &name) {
    SCOPED_TRACE(name);
    const std::string dir = std::string(VEKO_SOURCE_DIR) + "/tests/golden/";
    const bool update = std::getenv("VEKO_UPDATE_GOLDEN") != nullptr;
    constexpr int kSize = 32;
    constexpr float kTolerance = 2.0f / 255.0f;
    vh::Network net(lib);
    net.load(vh::loadJsonFile(dir + name + ".json"), name);
    int channels = 0;
    const std::vector<float> px = vh::shadeSwatch(net, "tex", "outColor", kSize, kSize, channels);
    ASSERT_EQ(channels, 4);
    std::vector<float> rgb, alpha;
    for (int i = 0; i < kSize * kSize; ++i) {
        for (int c = 0; c < 3; ++c) rgb.push_back(std::clamp(px[i * 4 + c], 0.0f, 1.0f));
        alpha.push_back(std::clamp(px[i * 4 + 3], 0.0f, 1.0f));
    }
    const std::string rgbPath = dir + name + ".png", alphaPath = dir + name + ".alpha.png";
    if (update) {
        vh::writeImage(rgbPath, kSize, kSize, 3, rgb.data());
        vh::writeImage(alphaPath, kSize, kSize, 1, alpha.data());
        return;
    }
    auto compare = [&](const std::string &path, const std::vector<float> &got, int wantChannels) {
        int w = 0, h = 0, ch = 0;
        const std::vector<float> ref = vh::readImage(path, w, h, ch);
        ASSERT_EQ(w, kSize);
        ASSERT_EQ(h, kSize);
        ASSERT_EQ(ch, wantChannels);
        int bad = 0;
        float worst = 0.0f;
        for (size_t i = 0; i < got.size(); ++i) {
            const float d = std::fabs(got[i] - ref[i]);
            worst = std::max(worst, d);
            if (d > kTolerance) ++bad;
        }
        EXPECT_EQ(bad, 0) << path << ": " << bad << " values differ, worst by " << worst;
    };
    compare(rgbPath, rgb, 3);
    compare(alphaPath, alpha, 1);
}

void checkGoldenImage(const vh::FrameImage &img, const std::string &name, double meanTol, double worstTol) {
    SCOPED_TRACE(name);
    const std::string ref = sourcePath("tests/golden/" + name);
    if (std::getenv("VEKO_UPDATE_GOLDEN")) {
        vh::writeImage(img, ref);
        GTEST_SKIP() << "reference rewritten: " << ref;
    }
    const std::string tmp = ::testing::TempDir() + "vekobase_golden_" + std::to_string(::getpid()) + "_" + name;
    vh::writeImage(img, tmp);
    const vh::FrameImage got = vh::readImage(tmp);
    std::remove(tmp.c_str());
    const vh::FrameImage want = vh::readImage(ref);
    ASSERT_EQ(want.width, got.width);
    ASSERT_EQ(want.height, got.height);
    double sum = 0, worst = 0;
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x)
            for (int c = 0; c < 3; ++c) {
                const double d = std::fabs(got.pixel(x, y)[c] - want.pixel(x, y)[c]);
                sum += d;
                worst = std::max(worst, d);
            }
    EXPECT_LT(sum / (got.width * got.height * 3), meanTol);
    EXPECT_LE(worst, worstTol);
}

}  // namespace vt
