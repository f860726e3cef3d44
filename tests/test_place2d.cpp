// 2D texture placement (veko_place2dtex), called through the reference host
// with parameter and result blocks laid out from the declarations.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <vekohost/host.h>

#include "vekobase.h"

namespace {

using vh::json;

constexpr float kPi = 3.14159265358979f;
constexpr float kOut = -1e7f;

struct Placed {
    float u, v, w;     // outUV
    float fu, fv;      // outUvFilterSize
};

class Place2d : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lib = new vh::Library(vh::Library::defaultPath()); }
    static void TearDownTestSuite() {
        delete lib;
        lib = nullptr;
    }
    static vh::Library *lib;

    // Reads a vector result field by name, so the declaration's layout is
    // checked together with the code.
    static xrVector field(vh::Instance &inst, const std::vector<float> &out, const char *name) {
        const vh::Field *f = inst.decl->resultField(name);
        EXPECT_NE(f, nullptr) << name;
        xrVector v{};
        if (f) std::memcpy(&v, reinterpret_cast<const char *>(out.data()) + f->offset, sizeof v);
        return v;
    }

    // Places surface uv (u, v) with the given literal parameters.
    static Placed place(const json &params, float u, float v,
                        const veko::BaseStateRecord *record = nullptr) {
        vh::Network net(*lib);
        net.load({{"nodes", {{{"name", "p"}, {"type", "veko_place2dtex"}, {"params", params}}}}});
        vh::StandaloneState ss;
        net.init(ss.state());
        ss.setSurfaceSample(u, v);
        if (record) xr_shaderstate_set(ss.state(), "vekobase", record, sizeof *record, 2);
        vh::Instance &inst = *net.find("p");
        std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
        EXPECT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
        const xrVector uv = field(inst, out, "outUV");
        const xrVector fs = field(inst, out, "outUvFilterSize");
        return {uv.x, uv.y, uv.z, fs.x, fs.y};
    }
};
vh::Library *Place2d::lib = nullptr;

bool isSentinel(const Placed &p) { return p.u == kOut && p.v == kOut && p.w == kOut; }

TEST_F(Place2d, DefaultPlacementPassesUvThrough) {
    const Placed p = place(json::object(), 0.3f, 0.7f);
    EXPECT_FLOAT_EQ(p.u, 0.3f);
    EXPECT_FLOAT_EQ(p.v, 0.7f);
}

TEST_F(Place2d, SentinelCases) {
    struct Case {
        const char *what;
        json params;
        float u, v;
        bool outside;
    };
    const std::vector<Case> cases = {
        {"no texture coordinates", json::object(), kOut, kOut, true},
        {"no texture coordinates, any placement",
         {{"coverage", {0.5, 0.5, 0}}, {"wrapU", false}, {"repeatUV", {3, 3, 0}}}, -2e7f, -1e8f, true},
        {"only u at the sentinel is a real point", json::object(), -2e7f, 0.5f, false},
        {"zero coverage in u", {{"coverage", {0, 1, 0}}}, 0.5f, 0.5f, true},
        {"negative coverage in v", {{"coverage", {1, -1, 0}}}, 0.5f, 0.5f, true},
        {"coverage 1, wrap off, u beyond the frame", {{"wrapU", false}}, 1.5f, 0.5f, true},
        {"coverage 1, wrap off, v below the frame", {{"wrapV", false}}, 0.5f, -0.25f, true},
        {"coverage 1, wrap on, far away", json::object(), 41.3f, -17.6f, false},
        {"coverage 2, wrap off, inside the larger frame", {{"coverage", {2, 2, 0}}, {"wrapU", false}},
         1.5f, 0.5f, false},
        {"coverage 0.5, wrap on, covered half", {{"coverage", {0.5, 1, 0}}}, 0.25f, 0.5f, false},
        {"coverage 0.5, wrap on, other half", {{"coverage", {0.5, 1, 0}}}, 0.75f, 0.5f, true},
        {"coverage 0.5, wrap on, covered half of a later cell", {{"coverage", {0.5, 1, 0}}}, 3.25f,
         0.5f, false},
        {"coverage 0.5, wrap on, other half of a negative cell", {{"coverage", {0.5, 1, 0}}}, -0.25f,
         0.5f, true},
        {"coverage 0.5, wrap off, beyond the one copy", {{"coverage", {0.5, 1, 0}}, {"wrapU", false}},
         1.25f, 0.5f, true},
    };
    for (const Case &c : cases) {
        const Placed p = place(c.params, c.u, c.v);
        EXPECT_EQ(isSentinel(p), c.outside) << c.what << ": got " << p.u << ", " << p.v;
    }
}

TEST_F(Place2d, SurfaceWithoutTextureSpaceIsOutside) {
    vh::Network net(*lib);
    net.load({{"nodes", {{{"name", "p"}, {"type", "veko_place2dtex"}}}}});
    vh::StandaloneState ss;
    net.init(ss.state());
    ss.state()->texCoords = nullptr;
    vh::Instance &inst = *net.find("p");
    std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
    ASSERT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
    const xrVector uv = field(inst, out, "outUV");
    EXPECT_EQ(uv.x, kOut);
    EXPECT_EQ(uv.y, kOut);
}

TEST_F(Place2d, FrameAndRepeat) {
    struct Case {
        const char *what;
        json params;
        float u, v;
        float eu, ev;
    };
    const std::vector<Case> cases = {
        {"repeat and offset", {{"repeatUV", {2, 3, 0}}, {"offset", {0.1, -0.2, 0}}}, 0.3f, 0.5f,
         0.7f, 1.3f},
        {"u = 1 stays in the last tile", {{"repeatUV", {4, 4, 0}}}, 1.0f, 1.0f, 3.9996f, 3.9996f},
        {"coverage 0.5 wrap on: one copy per cell", {{"coverage", {0.5, 0.5, 0}}}, 1.25f, -0.75f,
         0.5f, 0.5f},
        {"coverage 0.5 wrap on, translated", {{"coverage", {0.5, 1, 0}}, {"translateFrame", {2.25, 0, 0}}},
         0.5f, 0.5f, 0.5f, 0.5f},
        {"coverage 0.5 wrap on, translated, wrapped cell", {{"coverage", {0.5, 1, 0}},
                                                            {"translateFrame", {0.25, 0, 0}}},
         -0.5f, 0.5f, 0.5f, 0.5f},
        {"coverage 0.5 wrap off, translated", {{"coverage", {0.5, 1, 0}}, {"translateFrame", {0.25, 0, 0}},
                                               {"wrapU", false}},
         0.5f, 0.5f, 0.5f, 0.5f},
        {"coverage 2 wrap on: no cell wrapping", {{"coverage", {2, 2, 0}}, {"translateFrame", {1, 0, 0}}},
         5.0f, 0.5f, 2.0f, 0.25f},
        {"stagger shifts odd rows", {{"repeatUV", {2, 2, 0}}, {"stagger", true}}, 0.1f, 0.6f, 0.7f,
         1.2f},
        {"stagger leaves even rows", {{"repeatUV", {2, 2, 0}}, {"stagger", true}}, 0.1f, 0.3f, 0.2f,
         0.6f},
        {"stagger shifts negative odd rows", {{"repeatUV", {2, 2, 0}}, {"stagger", true}}, 0.1f,
         -0.3f, 0.7f, -0.6f},
        {"mirror flips odd tiles", {{"repeatUV", {2, 2, 0}}, {"mirrorU", true}, {"mirrorV", true}},
         0.7f, 0.6f, 1.6f, 1.8f},
        {"mirror leaves even tiles", {{"repeatUV", {2, 2, 0}}, {"mirrorU", true}}, 0.3f, 0.3f, 0.6f,
         0.6f},
        {"mirror flips negative odd tiles", {{"repeatUV", {2, 2, 0}}, {"mirrorU", true}}, -0.3f, 0.3f,
         -0.4f, 0.6f},
        {"stagger before mirror",
         {{"repeatUV", {2, 2, 0}}, {"stagger", true}, {"mirrorU", true}}, 0.35f, 0.6f, 1.8f, 1.2f},
        {"frame rotation before repeat", {{"rotateFrame", kPi / 2}, {"repeatUV", {2, 2, 0}}}, 0.2f,
         0.3f, 1.4f, 0.4f},
        {"uv rotation after repeat", {{"rotateUV", kPi / 2}, {"repeatUV", {2, 2, 0}}}, 0.2f, 0.3f,
         0.4f, 0.4f},
        {"rotation below 1e-5 is ignored", {{"rotateUV", 5e-6}, {"rotateFrame", -5e-6}}, 0.2f, 0.3f,
         0.2f, 0.3f},
        {"noise below 1e-5 is ignored", {{"noiseUV", {9e-6, -9e-6, 0}}}, 0.2f, 0.3f, 0.2f, 0.3f},
    };
    for (const Case &c : cases) {
        const Placed p = place(c.params, c.u, c.v);
        EXPECT_NEAR(p.u, c.eu, 1e-5f) << c.what;
        EXPECT_NEAR(p.v, c.ev, 1e-5f) << c.what;
    }
}

TEST_F(Place2d, NoiseJittersEachAxisByItsOwnAmount) {
    // Only u receives noise; the jitter is periodic in the surface uv
    // (period 1) and bounded by the amount.
    const json params = {{"noiseUV", {0.1, 0, 0}}};
    float maxJitter = 0.0f;
    for (float u : {0.11f, 0.37f, 0.52f, 0.86f}) {
        const Placed a = place(params, u, 0.4f);
        const Placed b = place(params, u + 1.0f, 0.4f);
        EXPECT_FLOAT_EQ(a.v, 0.4f);
        EXPECT_LE(std::fabs(a.u - u), 0.1f);
        EXPECT_NEAR(b.u - a.u, 1.0f, 1e-5f);
        maxJitter = std::max(maxJitter, std::fabs(a.u - u));
    }
    EXPECT_GT(maxJitter, 1e-4f) << "the noise moved nothing";

    // The v jitter comes from the lattice at (u + 0.5, v + 0.5), a different
    // value from the u jitter at the same point.
    const Placed both = place({{"noiseUV", {0.1, 0.1, 0}}}, 0.37f, 0.4f);
    const Placed onlyU = place(params, 0.37f, 0.4f);
    EXPECT_FLOAT_EQ(both.u, onlyU.u);
    EXPECT_NE(both.v - 0.4f, both.u - 0.37f);
}

TEST_F(Place2d, FilterSizeFollowsRepeatOverCoverage) {
    // Without a per-ray record the footprint is 0.005.
    Placed p = place({{"repeatUV", {4, -2, 0}}, {"coverage", {0.5, 1, 0}}}, 0.2f, 0.3f);
    EXPECT_FLOAT_EQ(p.fu, 0.04f);
    EXPECT_FLOAT_EQ(p.fv, 0.01f);

    // A coverage below 1e-6 scales by repeat x 1e6 (and the point is outside).
    p = place({{"repeatUV", {2, 1, 0}}, {"coverage", {5e-7, 1, 0}}}, 0.2f, 0.3f);
    EXPECT_FLOAT_EQ(p.fu, 2e6f * 0.005f);
    EXPECT_TRUE(isSentinel(p));

    // With the per-ray record, its footprintU (not footprintV).
    veko::BaseStateRecord rec{};
    rec.footprintU = {0.01f, 0.02f, 0.5f};
    rec.footprintV = {0.7f, 0.7f, 0.7f};
    p = place({{"repeatUV", {3, 3, 0}}}, 0.2f, 0.3f, &rec);
    EXPECT_FLOAT_EQ(p.fu, 0.03f);
    EXPECT_FLOAT_EQ(p.fv, 0.06f);
}

TEST_F(Place2d, ConnectedInputsReplaceTheSurface) {
    // A first placement feeds the uv and filter size of a second one; the
    // second's literals of uvCoord and uvFilterSize are ignored only while
    // unconnected.
    vh::Network net(*lib);
    net.load({{"nodes",
               {{{"name", "a"}, {"type", "veko_place2dtex"}, {"params", {{"repeatUV", {2, 2, 0}}}}},
                {{"name", "b"},
                 {"type", "veko_place2dtex"},
                 {"params",
                  {{"uvCoord", "a.outUV"}, {"uvFilterSize", "a.outUvFilterSize"},
                   {"repeatUV", {3, 1, 0}}, {"wrapU", true}}}},
                {{"name", "c"},
                 {"type", "veko_place2dtex"},
                 {"params", {{"uvCoord", {0.9, 0.9, 0.9}}, {"uvFilterSize", {1, 1, 1}}}}}}}});
    vh::StandaloneState ss;
    net.init(ss.state());
    ss.setSurfaceSample(0.1f, 0.3f);

    vh::Instance &b = *net.find("b");
    std::vector<float> out(b.decl->resultBytes / 4);
    ASSERT_EQ(vh::callShader(b, ss.state(), out.data()), 1);
    xrVector uv = field(b, out, "outUV");
    xrVector fs = field(b, out, "outUvFilterSize");
    EXPECT_FLOAT_EQ(uv.x, 0.6f);  // 0.1 * 2 * 3
    EXPECT_FLOAT_EQ(uv.y, 0.6f);  // 0.3 * 2 * 1
    EXPECT_FLOAT_EQ(fs.x, 0.03f);  // 0.005 * 2 * 3
    EXPECT_FLOAT_EQ(fs.y, 0.01f);

    vh::Instance &c = *net.find("c");
    ASSERT_EQ(vh::callShader(c, ss.state(), out.data()), 1);
    uv = field(c, out, "outUV");
    fs = field(c, out, "outUvFilterSize");
    EXPECT_FLOAT_EQ(uv.x, 0.1f);
    EXPECT_FLOAT_EQ(uv.y, 0.3f);
    EXPECT_FLOAT_EQ(fs.x, 0.005f);
}

TEST_F(Place2d, SettingsAreCopiedToTheResult) {
    vh::Network net(*lib);
    const json params = {{"coverage", {0.5, 0.25, 0}}, {"translateFrame", {0.1, 0.2, 0}},
                         {"rotateFrame", 0.3},       {"mirrorU", true},
                         {"stagger", true},          {"wrapV", false},
                         {"repeatUV", {4, 5, 0}},    {"offset", {0.6, 0.7, 0}},
                         {"rotateUV", 0.8},          {"noiseUV", {0.01, 0.02, 0}}};
    net.load({{"nodes", {{{"name", "p"}, {"type", "veko_place2dtex"}, {"params", params}}}}});
    vh::StandaloneState ss;
    net.init(ss.state());
    vh::Instance &inst = *net.find("p");
    std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
    ASSERT_EQ(vh::callShader(inst, ss.state(), out.data()), 1);
    for (const char *name : {"coverage", "translateFrame", "repeatUV", "offset", "noiseUV"}) {
        const xrVector v = field(inst, out, name);
        EXPECT_FLOAT_EQ(v.x, params[name][0].get<float>()) << name;
        EXPECT_FLOAT_EQ(v.y, params[name][1].get<float>()) << name;
    }
    auto word = [&](const char *name) {
        const vh::Field *f = inst.decl->resultField(name);
        int32_t i = 0;
        std::memcpy(&i, reinterpret_cast<const char *>(out.data()) + f->offset, 4);
        return i;
    };
    auto scalar = [&](const char *name) {
        const vh::Field *f = inst.decl->resultField(name);
        float x = 0;
        std::memcpy(&x, reinterpret_cast<const char *>(out.data()) + f->offset, 4);
        return x;
    };
    EXPECT_FLOAT_EQ(scalar("rotateFrame"), 0.3f);
    EXPECT_FLOAT_EQ(scalar("rotateUV"), 0.8f);
    EXPECT_EQ(word("mirrorU"), 1);
    EXPECT_EQ(word("mirrorV"), 0);
    EXPECT_EQ(word("stagger"), 1);
    EXPECT_EQ(word("wrapU"), 1);
    EXPECT_EQ(word("wrapV"), 0);
}

}  // namespace
