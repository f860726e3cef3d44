#include "support.h"

#include <cmath>
#include <cstdio>
#include <fstream>
#include <unistd.h>

#include <vekohost/render.h>

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

}  // namespace vt
