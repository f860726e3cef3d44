// Frames rendered in parts: tile regions, parts that know their place in
// the frame (OpenEXR data window), and merging parts rendered by separate
// processes into the very pixels of a whole render.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "support.h"
#include "vekohost/render.h"
#include "vekohost/tiles.h"

namespace {

namespace fs = std::filesystem;

fs::path tempDir() {
    fs::path d = fs::temp_directory_path() / ("vekohost_tiles_" + std::to_string(getpid()));
    fs::create_directories(d);
    return d;
}

int run(const std::string &cmd) {
    const int rc = std::system(cmd.c_str());
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

const std::string kCli = std::string(VEKO_BINARY_DIR) + "/bin/vekohost";

// Bit-for-bit equality of every channel.
void expectSameFrame(const vh::FrameImage &a, const vh::FrameImage &b) {
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    EXPECT_EQ(a.originX, b.originX);
    EXPECT_EQ(a.originY, b.originY);
    EXPECT_TRUE(a.rgba == b.rgba);
    EXPECT_TRUE(a.depth == b.depth);
    EXPECT_TRUE(a.label == b.label);
    for (size_t k = 0; k < 8; ++k) EXPECT_TRUE(a.fb[k] == b.fb[k]) << "frame buffer " << k + 1;
}

TEST(Tiles, BandsCoverTheFrameOnce) {
    struct Case {
        int index, count, height, y0, y1;
    };
    const Case cases[] = {{0, 3, 10, 0, 3}, {1, 3, 10, 3, 6}, {2, 3, 10, 6, 10}, {0, 1, 7, 0, 7}, {4, 5, 5, 4, 5}};
    for (const Case &c : cases) {
        auto r = vh::tileRegion(c.index, c.count, 20, c.height);
        EXPECT_EQ(r.x0, 0);
        EXPECT_EQ(r.x1, 20);
        EXPECT_EQ(r.y0, c.y0) << c.index << "/" << c.count;
        EXPECT_EQ(r.y1, c.y1) << c.index << "/" << c.count;
    }
    EXPECT_THROW(vh::tileRegion(3, 3, 20, 10), vh::Error);
    EXPECT_THROW(vh::tileRegion(0, 11, 20, 10), vh::Error);
    int i = 0, n = 0;
    vh::parseTile("2/4", i, n);
    EXPECT_EQ(i, 2);
    EXPECT_EQ(n, 4);
    for (const char *bad : {"2", "a/4", "2/", "-1/4", "1/4/5", ""}) EXPECT_THROW(vh::parseTile(bad, i, n), vh::Error) << bad;
}

// The showcase in four tiles, each rendered by its own process, merged:
// the same bits as one whole render. A region part carries its place.
TEST(Tiles, MergedTilesEqualAWholeRender) {
    const fs::path dir = tempDir();
    const std::string scene = vt::sourcePath("scenes/showcase.json");
    const std::string common = kCli + " render " + scene + " --width 48 --height 36 -s 2 -t 2 -q";
    ASSERT_EQ(run(common + " -o " + (dir / "whole.exr").string()), 0);
    std::string parts;
    for (int i = 0; i < 4; ++i) {
        const fs::path p = dir / ("part" + std::to_string(i) + ".exr");
        ASSERT_EQ(run(common + " --tile " + std::to_string(i) + "/4 -o " + p.string()), 0);
        parts += " " + p.string();
    }
    ASSERT_EQ(run(kCli + " merge" + parts + " -o " + (dir / "merged.exr").string()), 0);
    const vh::FrameImage whole = vh::readFrame((dir / "whole.exr").string());
    const vh::FrameImage merged = vh::readFrame((dir / "merged.exr").string());
    expectSameFrame(merged, whole);
    EXPECT_GT(whole.rgba[(18 * 48 + 24) * 4], 0.0f);  // something was rendered

    // A region part: 10 x 6 pixels at (20, 12), data window in place.
    ASSERT_EQ(run(common + " --region 20 12 30 18 -o " + (dir / "region.exr").string()), 0);
    const vh::FrameImage region = vh::readFrame((dir / "region.exr").string());
    EXPECT_EQ(region.width, 10);
    EXPECT_EQ(region.height, 6);
    EXPECT_EQ(region.originX, 20);
    EXPECT_EQ(region.originY, 12);
    EXPECT_EQ(region.fullWidth, 48);
    EXPECT_EQ(region.fullHeight, 36);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 10; ++x)
            for (int c = 0; c < 4; ++c)
                ASSERT_EQ(region.pixel(x, y)[c], whole.pixel(20 + x, 12 + y)[c]) << x << ", " << y;

    // Merging refuses incomplete sets and parts of other frames.
    vt::messages();
    EXPECT_NE(run(kCli + " merge " + (dir / "part0.exr").string() + " " + (dir / "part2.exr").string() + " -o " +
                  (dir / "bad.exr").string() + " 2>/dev/null"),
              0);
    EXPECT_NE(run(common + " --region 0 0 49 10 -o " + (dir / "bad.exr").string() + " 2>/dev/null"), 0);
    EXPECT_NE(run(common + " --tile 4/4 -o " + (dir / "bad.exr").string() + " 2>/dev/null"), 0);
    fs::remove_all(dir);
}

// A frame with output shaders (the effects scene's glow; the toon scene's
// contours) spreads light and lines across the frame: each part is cut from
// the whole frame, so its pixels are still those of a whole render.
TEST(Tiles, PartsOfFramesWithOutputShadersEqualTheWholeRender) {
    for (const char *name : {"scenes/effects.json", "scenes/toon.json"}) {
        vh::RenderOptions ro;
        ro.progress = false;
        ro.width = 64;
        ro.height = 40;
        ro.samples = 1;
        ro.threads = 2;
        auto wholeScene = vh::loadScene(vt::library(), vt::sourcePath(name), ro.width, ro.height);
        const vh::FrameImage whole = vh::render(*wholeScene, ro);
        vt::messages();
        ro.tileIndex = 1;
        ro.tileCount = 3;
        auto partScene = vh::loadScene(vt::library(), vt::sourcePath(name), ro.width, ro.height);
        const vh::FrameImage part = vh::render(*partScene, ro);
        bool told = false;
        for (auto &m : vt::messages()) told |= m.text.find("need the whole frame") != std::string::npos;
        EXPECT_TRUE(told) << name;
        const auto r = vh::tileRegion(1, 3, 64, 40);
        ASSERT_EQ(part.width, 64) << name;
        ASSERT_EQ(part.height, r.y1 - r.y0) << name;
        EXPECT_EQ(part.originY, r.y0) << name;
        EXPECT_EQ(part.fullHeight, 40) << name;
        int differ = 0;
        for (int y = 0; y < part.height; ++y)
            for (int x = 0; x < part.width; ++x)
                for (int c = 0; c < 4; ++c) differ += part.pixel(x, y)[c] != whole.pixel(x, r.y0 + y)[c];
        EXPECT_EQ(differ, 0) << name << ": channels differing from the whole render";
    }
}

TEST(Tiles, MergeErrorsNameThePart) {
    auto part = [](int ox, int oy, int w, int h, int fw, int fh, float v) {
        vh::FrameImage f;
        f.width = w, f.height = h, f.originX = ox, f.originY = oy, f.fullWidth = fw, f.fullHeight = fh;
        f.rgba.assign(size_t(w) * h * 4, v);
        f.depth.assign(size_t(w) * h, 0);
        f.label.assign(size_t(w) * h, 0);
        return f;
    };
    struct Case {
        const char *what;
        std::vector<vh::FrameImage> parts;
        const char *expect;
    };
    const Case cases[] = {
        {"gap", {part(0, 0, 4, 2, 4, 4, 1)}, "merge: 8 pixels are in no part, the first at (0, 2)"},
        {"other frame", {part(0, 0, 4, 2, 4, 4, 1), part(0, 2, 4, 2, 4, 5, 1)}, "b: belongs to a 4x5 frame, not 4x4"},
        {"overlap differs", {part(0, 0, 4, 3, 4, 4, 1), part(0, 2, 4, 2, 4, 4, 2)},
         "b: pixel (0, 2) differs from an earlier part covering it"},
        {"outside", {part(0, 0, 4, 4, 4, 4, 1), part(2, 2, 4, 4, 4, 4, 1)}, "b: lies outside its frame"},
    };
    for (const Case &c : cases) {
        try {
            vh::mergeFrames(c.parts, {"a", "b"});
            ADD_FAILURE() << c.what << ": no error";
        } catch (const vh::Error &e) {
            EXPECT_NE(std::string(e.what()).find(c.expect), std::string::npos) << c.what << ": " << e.what();
        }
    }
    // Overlapping parts that agree are fine.
    auto whole = vh::mergeFrames({part(0, 0, 4, 3, 4, 4, 1), part(0, 2, 4, 2, 4, 4, 1)}, {"a", "b"});
    EXPECT_EQ(whole.width, 4);
    EXPECT_EQ(whole.height, 4);
    EXPECT_EQ(whole.pixel(3, 3)[0], 1.0f);
    // A frame buffer written in one part only is zero in the others, as in
    // a whole render.
    auto withFb = part(0, 0, 4, 2, 4, 4, 1);
    withFb.fb[2].assign(4 * 2 * 4, 0.5f);
    auto merged = vh::mergeFrames({withFb, part(0, 2, 4, 2, 4, 4, 1)}, {"a", "b"});
    ASSERT_EQ(merged.fb[2].size(), size_t(4 * 4 * 4));
    EXPECT_EQ(merged.fb[2][(1 * 4 + 3) * 4], 0.5f);
    EXPECT_EQ(merged.fb[2][(2 * 4 + 0) * 4], 0.0f);
    EXPECT_TRUE(merged.fb[0].empty());
}

}  // namespace
