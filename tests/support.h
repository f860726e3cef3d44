// Shared test support: the library loaded once per test program through the
// reference host, and small helpers for calling nodes.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "vekohost/host.h"
#include "vekohost/render.h"

namespace vt {

// The real libvekobase.so with its declarations, loaded once.
vh::Library &library();

// Messages the library reported since the last call (captured).
std::vector<vh::Message> messages();
// True when some captured message has exactly this text.
bool hasMessage(const std::vector<vh::Message> &m, const std::string &text);

// A test whose messages are captured from its start (earlier ones dropped)
// and dropped at its end.
class MessagesTest : public ::testing::Test {
protected:
    void SetUp() override {
        vh::captureMessages(true);
        vh::takeMessages();
    }
    void TearDown() override {
        vh::takeMessages();
        vh::captureMessages(false);
    }
};

// Path of a file in the source tree.
std::string sourcePath(const std::string &rel);

// Rendered surface scenes: horizontal planes (facing +y) seen straight down
// by an orthographic 3 x 3 view, each with its own surface node behind a
// shading engine, the state shader, and unshadowed directional lights. The
// scene is rendered to a file and read back; the centre pixel is returned.
struct DirLight {
    xrVector from;  // direction towards the light
    float intensity;
};
struct Layer {
    std::string type;  // surface model
    vh::json params;
    float height = 0;  // plane at y = height
};
xrColor renderLayers(const std::vector<Layer> &layers, const std::vector<DirLight> &lights,
                     const vh::json &extraNodes = vh::json::array(), const vh::json &options = vh::json::object());

// Compares tests/golden/<name>.json (node "tex", outColor over a 32 x 32 uv
// grid) with its reviewed references <name>.png and <name>.alpha.png within
// 2/255; VEKO_UPDATE_GOLDEN=1 rewrites the references instead.
void checkGoldenSwatch(vh::Library &lib, const std::string &name);

// Compares a rendered frame with its reviewed reference tests/golden/<name>
// (an 8-bit PNG; both go through the same file path): the mean difference
// of r, g, b stays below `meanTol` and no channel differs by more than
// `worstTol`. VEKO_UPDATE_GOLDEN=1 rewrites the reference instead (look at
// it before committing).
struct FrameImageRef;
void checkGoldenImage(const vh::FrameImage &img, const std::string &name, double meanTol = 1.0 / 255,
                      double worstTol = 8.0 / 255);

}  // namespace vt
