// Start-up: a render that needs no image formats beyond PNG and OpenEXR never
// loads the general image library; other formats load it through the image
// module on first use and read back what was written.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include "vekohost/imageio.h"

namespace {

namespace fs = std::filesystem;

const std::string kCli = std::string(VEKO_BINARY_DIR) + "/bin/vekohost";

std::string runCapturing(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

bool mapped(const std::string &library) {
    std::ifstream maps("/proc/self/maps");
    std::stringstream s;
    s << maps.rdbuf();
    return s.str().find(library) != std::string::npos;
}

TEST(Startup, RenderWithoutOtherImageFormatsNeverLoadsTheImageLibrary) {
    const fs::path out = fs::temp_directory_path() / ("vekohost_startup_" + std::to_string(getpid()) + ".png");
    const std::string scene = std::string(VEKO_SOURCE_DIR) + "/scenes/vertexcolors.json";
    // The dynamic linker lists every library it loads.
    const std::string log = runCapturing("LD_DEBUG=files " + kCli + " render " + scene +
                                         " --width 24 --height 16 -s 1 -q -o " + out.string() + " 2>&1");
    EXPECT_NE(log.find("libembree"), std::string::npos) << "the linker's list was not captured";
    EXPECT_EQ(log.find("libOpenImageIO"), std::string::npos);
    EXPECT_EQ(log.find("libvekohost_oiio"), std::string::npos);
    EXPECT_TRUE(fs::exists(out));
    fs::remove(out);
}

TEST(Startup, OtherFormatsGoThroughTheImageModule) {
    const fs::path path = fs::temp_directory_path() / ("vekohost_startup_" + std::to_string(getpid()) + ".tif");
    const float px[2 * 2 * 3] = {0, 0.2f, 0.4f, 0.6f, 0.8f, 1, 1, 0, 0, 0, 1, 0};
    vh::writeImage(path.string(), 2, 2, 3, px);
    int w = 0, h = 0, c = 0;
    const std::vector<float> back = vh::readImage(path.string(), w, h, c);
    ASSERT_EQ(w, 2);
    ASSERT_EQ(h, 2);
    ASSERT_EQ(c, 3);
    for (int i = 0; i < 12; ++i) EXPECT_NEAR(back[size_t(i)], px[i], 0.5f / 255) << i;
    EXPECT_TRUE(mapped("libvekohost_oiio.so"));
    fs::remove(path);
}

}  // namespace
