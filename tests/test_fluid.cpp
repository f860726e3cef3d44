// The fluid textures through the reference host: fluid blocks are attached
// to an object of a scene as "Veko" user data (or read from an OpenVDB file
// by the host), the texture's fluidData names the object, and the texture
// is initialised and called as a renderer does.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <unistd.h>

#include <vekohost/host.h>
#include <vekohost/render.h>

#include "../host/src/vdb_module.h"
#include "support.h"

namespace {

using vh::json;

constexpr uint32_t kMagic = 0x56656B6Fu;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
uint32_t swapped(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24); }

// A fluid block written word by word (word 0 the magic, 40 header words,
// then grid records).
struct Block {
    std::vector<uint32_t> w = std::vector<uint32_t>(40, 0);
    Block() {
        w[0] = kMagic;
        w[1] = 0xFFFFFFFFu;  // kind word: not a texture-space index
    }
    void f(int i, float v) { w[size_t(i)] = bits(v); }
    void i(int i, int32_t v) { w[size_t(i)] = uint32_t(v); }
    // A grid record; returns its word offset.
    int grid(xrVector centre, std::array<int, 3> res, xrVector size, std::array<int, 3> mode,
             const std::vector<float> &values) {
        const int at = int(w.size());
        for (float v : {centre.x, centre.y, centre.z}) w.push_back(bits(v));
        for (int r : res) w.push_back(uint32_t(r));
        for (float v : {size.x, size.y, size.z}) w.push_back(bits(v));
        w.push_back(bits(size.x / float(res[0])));
        w.push_back(bits(size.y / float(res[1])));
        w.push_back(bits(size.z / float(res[2])));
        for (int m : mode) w.push_back(uint32_t(m));
        for (float v : values) w.push_back(bits(v));
        return at;
    }
    // The user-data entry of a scene object ("label" and the words after it).
    json userData(bool byteSwapped = false) const {
        json words = json::array();
        for (size_t k = 1; k < w.size(); ++k) words.push_back(byteSwapped && k != 1 ? swapped(w[k]) : w[k]);
        return json::array({{{"label", byteSwapped ? swapped(w[0]) : w[0]}, {"words", words}}});
    }
};

// A grid of `res` over a box of `size` centred at 0 as the base and density
// grid (density scale 1), density read by the opacity path through an
// identity ramp so that outAlpha is the sampled value.
Block densityBlock(std::array<int, 3> res, xrVector size, std::array<int, 3> mode, const std::vector<float> &values,
                   bool is2d = false) {
    Block b;
    const int g = b.grid({0, 0, 0}, res, size, mode, values);
    b.i(3, is2d ? 1 : 0);
    b.i(5, g);
    b.f(6, 1.0f);
    b.i(7, 8);
    b.i(8, g);
    return b;
}

json identityOpacity() {
    // Exact on [0, 1]; to within a few 1e-6 up to 64.
    return json::array({{{"position", 0}, {"value", 0}, {"interpolation", 1}},
                        {{"position", 1}, {"value", 1}, {"interpolation", 1}},
                        {{"position", 64}, {"value", 64}, {"interpolation", 1}}});
}

struct FluidResult {
    xrColor color, glow, matte, transparency;
    float alpha;
    xrVector position;
};

// A scene with the fluid block on object "smoke" and a texture node "ft"
// whose fluidData names it; the network is initialised as for a render.
class FluidScene {
public:
    FluidScene(const json &userData, json params, const std::string &type = "veko_fluidtexture3d") {
        params["fluidData"] = "smoke";
        if (!params.contains("opacity")) params["opacity"] = identityOpacity();
        json doc = {{"nodes", json::array({{{"name", "ft"}, {"type", type}, {"params", params}}})},
                    {"objects", json::array({{{"name", "smoke"},
                                              {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                              {"userData", userData}}})}};
        scene_ = vh::loadSceneJson(vt::library(), doc, "fluid_test.json");
        vh::networkOf(*scene_).init(ss_.state());
    }
    explicit FluidScene(vh::ScenePtr scene) : scene_(std::move(scene)) { vh::networkOf(*scene_).init(ss_.state()); }
    ~FluidScene() { vh::networkOf(*scene_).exit(ss_.state()); }

    FluidResult at(xrVector p) {
        ss_.nextSample();
        ss_.state()->hitPoint = p;
        vh::Instance &inst = *vh::networkOf(*scene_).find("ft");
        std::vector<float> out(inst.decl->resultBytes / 4, 777.0f);
        EXPECT_EQ(vh::callShader(inst, ss_.state(), out.data()), 1);
        FluidResult r;
        std::memcpy(&r, out.data(), sizeof r);
        return r;
    }
    float alpha(xrVector p) { return at(p).alpha; }

private:
    vh::StandaloneState ss_;
    vh::ScenePtr scene_;
};

// ---------------------------------------------------------------------------
// Grid boundaries: an index one past the end and index -1, clamped or
// wrapped (mode 4), with both interpolations. Grid of 4 cells along x over
// [-2, 2]: x = 2 is grid coordinate 3.5, x = -2 is -0.5.
TEST(Fluid, IndicesPastEitherEndClampOrWrap) {
    struct Case {
        int mode, interpolation;
        float x, want;
    } cases[] = {
        {0, 0, 2.0f, 40.0f},  {4, 0, 2.0f, 25.0f},   // cells 3 and 4 -> 3 (clamped) or 0 (wrapped)
        {0, 0, -2.0f, 10.0f}, {4, 0, -2.0f, 25.0f},  // cells -1 and 0 -> 0 or 3
        {0, 1, 2.0f, 40.0f},  {4, 1, 2.0f, 25.0f},   // smooth: cells 3, 4, 5 at t = 0
        {0, 1, -2.0f, 10.0f}, {4, 1, -2.0f, 25.0f},  // cells -1, 0, 1 at t = 0
    };
    for (const Case &k : cases) {
        SCOPED_TRACE("mode " + std::to_string(k.mode) + " interpolation " + std::to_string(k.interpolation) +
                     " x " + std::to_string(k.x));
        FluidScene s(densityBlock({4, 1, 1}, {4, 1, 1}, {k.mode, k.mode, k.mode}, {10, 20, 30, 40}).userData(),
                     {{"interpolation", k.interpolation}});
        EXPECT_NEAR(s.alpha({k.x, 0, 0}), k.want, 1e-4f);
    }
}

// Linear and quadratic B-spline interpolation against values worked out by
// hand on a 3 x 3 grid (2D) and the same grid as two layers 10 apart (3D).
TEST(Fluid, LinearAndSmoothInterpolationMatchHandValues) {
    const std::vector<float> layer = {0, 1, 2, 3, 4, 9, 6, 7, 8};
    std::vector<float> twoLayers = layer;
    for (float v : layer) twoLayers.push_back(v + 10.0f);

    FluidScene flat(densityBlock({3, 3, 1}, {3, 3, 1}, {0, 0, 0}, layer, true).userData(), {},
                    "veko_fluidtexture2d");
    // Grid coordinate (1.5, 0.5): (1.5 + 6.5) / 2.
    EXPECT_NEAR(flat.alpha({0.5f, -0.5f, 0}), 4.0f, 2e-5f);
    // z is ignored in a 2D block.
    EXPECT_NEAR(flat.alpha({0.5f, -0.5f, 7.0f}), 4.0f, 2e-5f);
    FluidScene flatSmooth(densityBlock({3, 3, 1}, {3, 3, 1}, {0, 0, 0}, layer, true).userData(),
                          {{"interpolation", 1}}, "veko_fluidtexture2d");
    // Grid coordinate (1, 1): weights (1/8, 3/4, 1/8) on both axes.
    EXPECT_NEAR(flatSmooth.alpha({0, 0, 0}), 4.375f, 2e-5f);

    FluidScene solid(densityBlock({3, 3, 2}, {3, 3, 2}, {0, 0, 0}, twoLayers).userData(), {});
    EXPECT_NEAR(solid.alpha({0.5f, -0.5f, 0}), 9.0f, 2e-5f);  // halfway between the layers
    FluidScene solidSmooth(densityBlock({3, 3, 2}, {3, 3, 2}, {0, 0, 0}, twoLayers).userData(),
                           {{"interpolation", 1}});
    // z: layers 0, 1, 1 (clamped) at t = 0 weigh 1/2, 1/2, 0.
    EXPECT_NEAR(solidSmooth.alpha({0, 0, 0}), 9.375f, 2e-5f);
    // At t = 0.25 they weigh 9/32, 22/32, 1/32.
    EXPECT_NEAR(solidSmooth.alpha({0, 0, 0.25f}), 4.375f * 9.0f / 32.0f + 14.375f * 23.0f / 32.0f, 2e-5f);
    // Three layers 10 apart, every neighbour inside: z weighs like x and y.
    std::vector<float> threeLayers = twoLayers;
    for (float v : layer) threeLayers.push_back(v + 20.0f);
    FluidScene cube(densityBlock({3, 3, 3}, {3, 3, 3}, {0, 0, 0}, threeLayers).userData(), {{"interpolation", 1}});
    EXPECT_NEAR(cube.alpha({0, 0, 0}), 4.375f + 10.0f * 0.75f + 20.0f * 0.125f, 2e-5f);
}

// Field methods 0-8 (and an unknown one) for the density, scale 2, at a
// point a quarter of the box off the centre on each axis.
TEST(Fluid, DensityByMethod) {
    const xrVector p{0.5f, 1.0f, -2.0f};  // box 2 x 4 x 8: (0.25, 0.25, -0.25) of the size
    const float r = std::sqrt(2.0f) * std::sqrt(3 * 0.0625f);
    struct Case {
        int method;
        float want;
    } cases[] = {{0, 2.0f},  {1, 0.5f},  {2, 0.5f},  {3, 1.5f},          {4, 1.5f}, {5, 1.5f},
                 {6, 0.5f},  {7, 2.0f * (1.0f - r)}, {8, 2.0f * 7.0f}, {9, 2.0f}};
    for (const Case &k : cases) {
        SCOPED_TRACE("method " + std::to_string(k.method));
        Block b = densityBlock({1, 1, 1}, {2, 4, 8}, {0, 0, 0}, {7.0f});
        b.f(6, 2.0f);
        b.i(7, k.method);
        FluidScene s(b.userData(), {});
        EXPECT_NEAR(s.alpha(p), k.want, 2e-5f);
    }
    // The density offset flag adds 0.5 to grid density and takes it off the
    // alpha again; outTransparency sees the raised density.
    Block off = densityBlock({1, 1, 1}, {2, 4, 8}, {0, 0, 0}, {0.25f});
    off.i(4, 1);
    FluidScene s(off.userData(), {{"transparency", {0.5, 0.5, 0.5, 1}}});
    const FluidResult res = s.at(p);
    EXPECT_NEAR(res.alpha, 0.25f, 1e-5f);
    EXPECT_NEAR(res.transparency.r, 0.25f, 1e-5f);  // 1 - 0.75
}

// Ramp inputs by code, with input scale and bias, the signed mapping and
// the speed mapping. Constant fields (method 0) give the values.
TEST(Fluid, RampInputs) {
    auto block = [](float density, float second, float third, float pressure, xrVector velocity) {
        Block b = densityBlock({1, 1, 1}, {2, 2, 2}, {0, 0, 0}, {0.0f});
        b.i(7, 0);
        b.f(6, density);
        b.f(25, second);
        b.f(31, third);
        b.f(37, pressure);
        b.f(9, velocity.x), b.f(10, velocity.y), b.f(11, velocity.z);
        b.f(17, 0.2f), b.f(18, 0.4f), b.f(19, 0.6f), b.f(20, 1.0f);  // constant colour
        return b;
    };
    struct Case {
        const char *what;
        int code;
        Block b;
        json extra;
        float want;
    } cases[] = {
        {"constant", 0, block(0.3f, 0, 0, 0, {}), {}, 1.0f},
        {"y gradient", 2, block(0.3f, 0, 0, 0, {}), {}, 0.25f},  // y = 0.5 of a box of 2
        {"centre gradient", 4, block(0.3f, 0, 0, 0, {}), {}, 1.0f - std::sqrt(2.0f) * std::sqrt(0.085f)},
        {"density", 5, block(0.3f, 0, 0, 0, {}), {}, 0.3f},
        {"second field", 6, block(0.3f, 0.6f, 0, 0, {}), {}, 0.6f},
        {"third field", 7, block(0.3f, 0, 0.7f, 0, {}), {}, 0.7f},
        {"signed positive", 8, block(0, 0, 0, 1.0f, {}), {}, 0.75f},
        {"signed large", 8, block(0, 0, 0, 3.0f, {}), {}, 0.875f},
        {"signed zero", 8, block(0, 0, 0, 0.0f, {}), {}, 0.5f},
        {"signed negative", 8, block(0, 0, 0, -1.0f, {}), {}, 0.25f},
        {"speed 0", 9, block(0, 0, 0, 0, {0, 0, 0}), {}, 0.0f},
        {"speed 5", 9, block(0, 0, 0, 0, {3, 0, -4}), {}, 1.0f - 1.0f / 6.0f},
        {"speed 1000", 9, block(0, 0, 0, 0, {1000, 0, 0}), {}, 1.0f - 1.0f / 1001.0f},
        {"third times density", 10, block(0.5f, 0, 0.7f, 0, {}), {}, 0.35f},
        {"colour field", 11, block(0, 0, 0, 0, {}), {}, 0.3f * 0.2f + 0.59f * 0.4f + 0.11f * 0.6f},
        {"input scale", 5, block(0.3f, 0, 0, 0, {}), {{"opacityInputScale", 0.5}}, 0.15f},
        {"bias", 5, block(0.25f, 0, 0, 0, {}), {{"opacityInputBias", 0.5}}, std::cbrt(0.25f)},
        {"bias below -0.99", 5, block(0.25f, 0, 0, 0, {}), {{"opacityInputBias", -5}}, std::pow(0.25f, 199.0f)},
        {"signed bias", 8, block(0, 0, 0, 1.0f, {}), {{"opacityInputBias", 0.5}}, 0.5f + 0.5f * std::cbrt(0.5f)},
        {"signed bias below", 8, block(0, 0, 0, -1.0f, {}), {{"opacityInputBias", 0.5}},
         0.5f - 0.5f * std::cbrt(0.5f)},
    };
    for (Case &k : cases) {
        SCOPED_TRACE(k.what);
        json params = k.extra;
        params["opacityInput"] = k.code;
        FluidScene s(k.b.userData(), params);
        EXPECT_NEAR(s.alpha({0.3f, 0.5f, 0.0f}), k.want, 1e-5f);
    }
}

// Opacity ramps of every interpolation, unsorted and with tied positions:
// a ramp whose entries are literals (read in place) gives what the same
// ramp gives with an entry fed by a node (copied entry by entry).
TEST(Fluid, OpacityRampReadInPlaceOrCopied) {
    auto entry = [](json position, json value, int interpolation) {
        return json{{"position", position}, {"value", value}, {"interpolation", interpolation}};
    };
    const json ramps[] = {
        json::array({entry(0.8, 0.2, 1), entry(0.1, 0.9, 2), entry(0.5, 0.4, 3), entry(0.3, 0.6, 0)}),
        json::array({entry(0.5, 0.3, 1), entry(0.5, 0.7, 1), entry(1.0, 1.0, 3), entry(0.0, 0.1, 3)}),
        json::array({entry(0.2, 0.5, 3), entry(0.9, 0.1, 3)}),
    };
    const float inputs[] = {0.0f, 0.05f, 0.1f, 0.2f, 0.3f, 0.45f, 0.5f, 0.65f, 0.8f, 0.95f, 1.2f};
    auto alphas = [&](const json &ramp, const json &fedValue = 0) {
        std::vector<float> out;
        for (float d : inputs) {
            Block b = densityBlock({1, 1, 1}, {2, 2, 2}, {0, 0, 0}, {0.0f});
            b.i(7, 0), b.f(6, d);  // density d everywhere
            json doc = {{"nodes", json::array({{{"name", "k"},
                                                {"type", "veko_unitconversion"},
                                                {"params", {{"input", fedValue}}}},
                                               {{"name", "ft"},
                                                {"type", "veko_fluidtexture3d"},
                                                {"params", {{"fluidData", "smoke"}, {"opacity", ramp}}}}})},
                        {"objects", json::array({{{"name", "smoke"},
                                                  {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                                  {"userData", b.userData()}}})}};
            FluidScene s(vh::loadSceneJson(vt::library(), doc, "fluid_test.json"));
            out.push_back(s.alpha({0, 0, 0}));
        }
        return out;
    };
    for (const json &ramp : ramps) {
        SCOPED_TRACE(ramp.dump());
        json fed = ramp;
        fed[0]["value"] = "k.output";
        const std::vector<float> inPlace = alphas(ramp), copied = alphas(fed, ramp[0]["value"]);
        for (size_t i = 0; i < std::size(inputs); ++i) EXPECT_EQ(inPlace[i], copied[i]) << "input " << inputs[i];
    }
    // Anchors of the first ramp by hand: below every position the lowest
    // entry's value, above every position the highest's, and at a position
    // that entry's value.
    const std::vector<float> first = alphas(ramps[0]);
    EXPECT_EQ(first[0], 0.9f);   // 0: below 0.1
    EXPECT_EQ(first[4], 0.6f);   // 0.3
    EXPECT_EQ(first[10], 0.2f);  // 1.2: above 0.8
}

// Colour and incandescence come through their colour ramps and add up;
// the glow is the colour times glowIntensity; code 11 takes the colour
// field directly.
TEST(Fluid, ColourIncandescenceAndGlow) {
    Block b = densityBlock({1, 1, 1}, {2, 2, 2}, {0, 0, 0}, {0.0f});
    b.i(7, 0), b.f(6, 0.5f);                                                   // density 0.5
    b.f(25, 1.0f);                                                             // second field 1
    b.f(17, 0.2f), b.f(18, 0.4f), b.f(19, 0.6f), b.f(20, 1.0f), b.i(21, 0);  // constant colour field
    const json ramp = json::array({{{"position", 0}, {"value", {0, 0, 0, 1}}, {"interpolation", 1}},
                                   {{"position", 1}, {"value", {1, 0.5, 0, 1}}, {"interpolation", 1}}});
    FluidScene s(b.userData(), {{"color", ramp}, {"colorInput", 5}, {"incandescence", ramp},
                                {"incandescenceInput", 6}, {"glowIntensity", 0.5}});
    const FluidResult r = s.at({0, 0, 0});
    EXPECT_NEAR(r.color.r, 0.5f + 1.0f, 1e-5f);
    EXPECT_NEAR(r.color.g, 0.25f + 0.5f, 1e-5f);
    EXPECT_NEAR(r.color.b, 0.0f, 1e-5f);
    EXPECT_NEAR(r.glow.r, 0.75f, 1e-5f);
    EXPECT_NEAR(r.glow.g, 0.375f, 1e-5f);

    FluidScene field(b.userData(), {{"colorInput", 11}, {"incandescenceInput", 0}});
    const FluidResult f = field.at({0, 0, 0});
    EXPECT_NEAR(f.color.r, 0.2f, 1e-5f);
    EXPECT_NEAR(f.color.g, 0.4f, 1e-5f);
    EXPECT_NEAR(f.color.b, 0.6f, 1e-5f);

    // A ramp of one entry gives that entry whatever the input and the
    // entry's position; an empty ramp is black.
    const json one = json::array({{{"position", 0.7}, {"value", {0.3, 0.6, 0.9, 1}}, {"interpolation", 3}}});
    FluidScene single(b.userData(), {{"color", one}, {"colorInput", 5}, {"incandescence", json::array()}});
    const FluidResult o = single.at({0, 0, 0});
    EXPECT_EQ(o.color.r, 0.3f);
    EXPECT_EQ(o.color.g, 0.6f);
    EXPECT_EQ(o.color.b, 0.9f);
}

// outTransparency = (1 - opacity)^((1 - t)/t) per channel, with exponent
// 100000 for t = 0; matte opacity by mode.
TEST(Fluid, TransparencyAndMatte) {
    struct Case {
        float opacity;
        xrColor t;
        xrVector want;
    } cases[] = {
        {0.5f, {0, 0, 0, 1}, {0, 0, 0}},           // exponent 100000: opaque
        {0.0f, {0, 0, 0, 1}, {1, 1, 1}},           // ... unless the opacity is 0
        {0.5f, {0.5f, 0.25f, 1, 1}, {0.5f, 0.125f, 1}},
        {1.5f, {0.5f, 0.5f, 0.5f, 1}, {0, 0, 0}},  // opacity beyond 1: no NaN
    };
    for (const Case &k : cases) {
        SCOPED_TRACE("opacity " + std::to_string(k.opacity));
        Block b = densityBlock({1, 1, 1}, {2, 2, 2}, {0, 0, 0}, {0.0f});
        b.i(7, 0), b.f(6, k.opacity);
        FluidScene s(b.userData(), {{"transparency", {k.t.r, k.t.g, k.t.b, k.t.a}}, {"matteOpacityMode", 2},
                                    {"matteOpacity", 0.5}});
        const FluidResult r = s.at({0, 0, 0});
        EXPECT_NEAR(r.transparency.r, k.want.x, 1e-5f);
        EXPECT_NEAR(r.transparency.g, k.want.y, 1e-5f);
        EXPECT_NEAR(r.transparency.b, k.want.z, 1e-5f);
        EXPECT_NEAR(r.matte.r, (1 - k.want.x) * 0.5f, 1e-5f);
        EXPECT_NEAR(r.matte.b, (1 - k.want.z) * 0.5f, 1e-5f);
    }
    Block b = densityBlock({1, 1, 1}, {2, 2, 2}, {0, 0, 0}, {0.0f});
    b.i(7, 0), b.f(6, 0.5f);
    EXPECT_EQ(FluidScene(b.userData(), {{"matteOpacityMode", 0}}).at({0, 0, 0}).matte.r, -1000000.0f);
    EXPECT_EQ(FluidScene(b.userData(), {{"matteOpacityMode", 1}, {"matteOpacity", 0.3}}).at({0, 0, 0}).matte.g,
              0.3f);
}

// Outside the box: the default colour with clipOutside, the tiled fluid
// without it; a wrapping axis never clips.
TEST(Fluid, OutsideClipsOrTiles) {
    const Block b = densityBlock({4, 1, 1}, {4, 2, 2}, {0, 0, 0}, {10, 20, 30, 40});
    FluidScene clip(b.userData(), {{"clipOutside", true}, {"defaultColor", {0.1, 0.2, 0.3, 1}}, {"glowIntensity", 2},
                                   {"matteOpacityMode", 1}, {"matteOpacity", 0.7}});
    const FluidResult out = clip.at({2.5f, 0, 0});
    EXPECT_NEAR(out.color.r, 0.1f, 1e-6f);
    EXPECT_NEAR(out.color.b, 0.3f, 1e-6f);
    EXPECT_NEAR(out.glow.g, 0.4f, 1e-6f);
    EXPECT_EQ(out.transparency.r, 0.0f);
    EXPECT_EQ(out.alpha, 0.0f);
    EXPECT_NEAR(out.matte.r, 0.7f, 1e-6f);
    EXPECT_NEAR(clip.alpha({0.5f, 0, 0}), 30.0f, 2e-5f);  // inside as usual

    FluidScene tile(b.userData(), {{"clipOutside", false}});
    EXPECT_NEAR(tile.alpha({0.5f + 4.0f, 0, 0}), 30.0f, 1e-4f);
    EXPECT_NEAR(tile.alpha({0.5f - 8.0f, 0.5f + 2.0f, 0}), 30.0f, 1e-4f);

    const Block wrapped = densityBlock({4, 1, 1}, {4, 2, 2}, {4, 0, 0}, {10, 20, 30, 40});
    FluidScene wrap(wrapped.userData(), {{"clipOutside", true}});
    EXPECT_NEAR(wrap.alpha({0.5f + 4.0f, 0, 0}), 30.0f, 1e-4f);  // wrapped by the grid lookup
    EXPECT_EQ(wrap.at({0.5f, 1.5f, 0}).alpha, 0.0f);             // y still clips
}

// The placement matrix carries the world point into fluid space (rows:
// x' = x m0 + y m4 + z m8 + m12): a shift by +1 along x and a halving.
TEST(Fluid, PlacementMovesThePoint) {
    const Block b = densityBlock({4, 1, 1}, {4, 2, 2}, {0, 0, 0}, {10, 20, 30, 40});
    FluidScene shifted(b.userData(), {{"placementMatrix", {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 1, 0, 0, 1}}});
    const FluidResult r = shifted.at({-1.5f, 0.25f, 0});
    EXPECT_NEAR(r.alpha, 20.0f, 1e-4f);
    EXPECT_NEAR(r.position.x, -0.5f, 1e-6f);
    EXPECT_NEAR(r.position.y, 0.25f, 1e-6f);
    FluidScene halved(b.userData(), {{"placementMatrix", {0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 0.5, 0, 0, 0, 0, 1}}});
    EXPECT_NEAR(halved.alpha({3.0f, 0, 0}), 40.0f, 1e-4f);  // 1.5: the last cell's centre (3 clips unplaced)
}

// A block written in the other byte order is converted by the first _init
// that sees it, once; later inits find it native.
TEST(Fluid, ByteSwappedBlockIsConvertedOnce) {
    const Block b = densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {10, 20, 30, 40});
    const std::string swappedText = "veko_fluidtexture3d(): Fluid data has been swapped.";
    vt::messages();
    json doc = {{"nodes", json::array({{{"name", "ft"}, {"type", "veko_fluidtexture3d"},
                                        {"params", {{"fluidData", "smoke"}, {"opacity", identityOpacity()}}}},
                                       {{"name", "ft2"}, {"type", "veko_fluidtexture3d"},
                                        {"params", {{"fluidData", "smoke"}}}}})},
                {"objects", json::array({{{"name", "smoke"}, {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                          {"userData", b.userData(true)}}})}};
    {
        FluidScene s(vh::loadSceneJson(vt::library(), doc, "fluid_test.json"));
        const auto first = vt::messages();
        int swaps = 0;
        for (const auto &m : first) swaps += m.text == swappedText;
        EXPECT_EQ(swaps, 1) << "two instances on one block";
        EXPECT_NEAR(s.alpha({0.5f, 0, 0}), 30.0f, 2e-5f);
    }
    // Native blocks are never reported.
    FluidScene native(b.userData(), {});
    EXPECT_FALSE(vt::hasMessage(vt::messages(), swappedText));
}

// No block, or a block whose grids lie outside it: a warning at init, a
// zero result, no read past the block.
TEST(Fluid, MissingOrDamagedBlock) {
    vt::messages();
    {
        FluidScene none(json::array({{{"label", "Othr"}, {"words", {1, 2, 3}}}}), {});
        EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_fluidtexture3d(): Unable to access fluid data."));
    }
    {
        json doc = {{"nodes", json::array({{{"name", "ft"}, {"type", "veko_fluidtexture2d"}, {"params", json::object()}}})}};
        FluidScene untagged(vh::loadSceneJson(vt::library(), doc, "fluid_test.json"));
        EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_fluidtexture2d(): Unable to access fluid data."));
        const FluidResult r = untagged.at({0, 0, 0});
        EXPECT_EQ(r.color.r, 0.0f);
        EXPECT_EQ(r.transparency.r, 0.0f);
        EXPECT_EQ(r.alpha, 0.0f);
    }
    // The density grid claims 1000 x 1000 x 1000 values.
    Block big = densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {10, 20, 30, 40});
    const int g = big.grid({0, 0, 0}, {1000, 1000, 1000}, {4, 1, 1}, {0, 0, 0}, {1, 2});
    big.i(8, g);
    {
        FluidScene s(big.userData(), {});
        const auto m = vt::messages();
        bool damaged = false;
        for (const auto &x : m) damaged |= x.text.find("veko_fluidtexture3d(): Fluid data is damaged: density grid record at word " +
                                                       std::to_string(g)) == 0;
        EXPECT_TRUE(damaged);
        EXPECT_EQ(s.alpha({0.5f, 0, 0}), 0.0f);
    }
    // A base grid record past the end makes the block unusable.
    Block lost = densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {10, 20, 30, 40});
    lost.i(5, 5000);
    FluidScene s(lost.userData(), {});
    EXPECT_TRUE(vt::hasMessage(vt::messages(),
                               "veko_fluidtexture3d(): Fluid data is damaged: base grid record at word 5000 lies "
                               "outside the block of " + std::to_string(lost.w.size()) + " words."));
    EXPECT_EQ(s.alpha({0.5f, 0, 0}), 0.0f);
}

// ---------------------------------------------------------------------------
// Grids from .vdb files: written through the host's volume-file module,
// read back by a scene's "fluid" key, sampled by the texture.
class FluidVdb : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "vekobase_fluid_" + std::to_string(::getpid()) + ".vdb";
        // density: 4 x 3 x 2 voxels of 0.5 from the world origin, value
        // 1 + i + 10 j + 30 k; vel: (3, 4, 0) on the same voxels.
        for (int k = 0; k < 2; ++k)
            for (int j = 0; j < 3; ++j)
                for (int i = 0; i < 4; ++i) {
                    density_.push_back(1.0f + i + 10.0f * j + 30.0f * k);
                    vel_.insert(vel_.end(), {3.0f, 4.0f, 0.0f});
                }
        auto dense = [](const char *name, int components, std::vector<float> &v) {
            VhVdbDense d{};
            d.name = name;
            d.components = components;
            for (int a = 0; a < 3; ++a) {
                d.res[a] = a == 0 ? 4 : (a == 1 ? 3 : 2);
                d.voxelSize[a] = 0.5;
                d.translation[a] = 0.25;
            }
            d.values = v.data();
            return d;
        };
        const VhVdbDense grids[] = {dense("density", 1, density_), dense("vel", 3, vel_)};
        char err[256] = {0};
        ASSERT_EQ(vh::vdbModule().write(path_.c_str(), grids, 2, err, sizeof err), kVhVdbOk) << err;
    }
    void TearDown() override { std::filesystem::remove(path_); }

    json doc(const json &fluid, const json &params = json::object()) const {
        json p = params;
        p["fluidData"] = "smoke";
        if (!p.contains("opacity")) p["opacity"] = identityOpacity();
        return {{"nodes", json::array({{{"name", "ft"}, {"type", "veko_fluidtexture3d"}, {"params", p}}})},
                {"objects", json::array({{{"name", "smoke"}, {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                          {"fluid", fluid}}})}};
    }
    std::string path_;
    std::vector<float> density_, vel_;
};

TEST_F(FluidVdb, SamplesEqualTheWrittenValues) {
    FluidScene s(vh::loadSceneJson(vt::library(), doc({{"file", path_}}), "fluid_test.json"));
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 4; ++i) {
                const xrVector centre{(i + 0.5f) * 0.5f, (j + 0.5f) * 0.5f, (k + 0.5f) * 0.5f};
                EXPECT_NEAR(s.alpha(centre), 1.0f + i + 10.0f * j + 30.0f * k, 1e-3f) << i << " " << j << " " << k;
            }
    // Halfway between two cells along x.
    EXPECT_NEAR(s.alpha({0.5f, 0.25f, 0.25f}), 1.5f, 1e-4f);
    // The velocity grid ("vel" by default) gives the speed.
    FluidScene speed(vh::loadSceneJson(vt::library(), doc({{"file", path_}}, {{"opacityInput", 9}}), "fluid_test.json"));
    EXPECT_NEAR(speed.alpha({0.75f, 0.25f, 0.25f}), 1.0f - 1.0f / 6.0f, 1e-5f);
}

TEST_F(FluidVdb, ErrorsNameTheFileObjectAndGrid) {
    struct Case {
        json fluid;
        std::string want;
    } cases[] = {
        {{{"file", path_ + ".missing"}}, "does not exist"},
        {{{"file", path_}, {"temperature", "heat"}}, "has no grid named \"heat\" (temperature)"},
        {{{"file", path_}, {"density", "smoke"}}, "has no grid named \"smoke\" (density)"},
        {{{"file", path_}, {"density", "vel"}}, "grid \"vel\" (density) holds vec3s values, not scalars"},
        {{{"file", path_}, {"velocity", "density"}}, "grid \"density\" (velocity) holds float values, not vectors"},
        {{{"file", path_}, {"boundary", "bounce"}}, "\"boundary\" must be \"clamp\" or \"wrap\""},
    };
    for (const Case &k : cases) {
        try {
            vh::loadSceneJson(vt::library(), doc(k.fluid), "fluid_test.json");
            ADD_FAILURE() << "no error for " << k.fluid.dump();
        } catch (const vh::Error &e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("fluid_test.json: objects[0] (\"smoke\").fluid: "), std::string::npos) << what;
            EXPECT_NE(what.find(k.want), std::string::npos) << what;
        }
    }
}


// ---------------------------------------------------------------------------
// The parsed block is reused between calls; it must follow the block.

// Word k (counting the magic as 0) of the fluid block on object "smoke".
uint32_t &blockWord(vh::Scene &scene, int k) {
    int type = 0;
    const auto *inst = static_cast<const vh::InstanceRecord *>(
        vh::Database::get().peek(vh::networkOf(scene).tagOf("smoke"), &type));
    EXPECT_EQ(type, xrDB_INSTANCE);
    auto *words = static_cast<uint32_t *>(vh::Database::get().data(inst->dataTag));
    return words[6 + k];
}

// Texture "ft" (veko_fluidtexture3d) reading the block on a unit box "smoke".
vh::ScenePtr smokeBoxScene(const Block &b) {
    json doc = {{"nodes", json::array({{{"name", "ft"},
                                        {"type", "veko_fluidtexture3d"},
                                        {"params", {{"fluidData", "smoke"}, {"opacity", identityOpacity()}}}}})},
                {"objects", json::array({{{"name", "smoke"},
                                          {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                          {"userData", b.userData()}}})}};
    return vh::loadSceneJson(vt::library(), doc, "fluid_test.json");
}

TEST(Fluid, BlockEditedInPlaceIsReadAfresh) {
    Block b = densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {10, 20, 30, 40});
    vh::ScenePtr scene = smokeBoxScene(b);
    vh::Scene &sc = *scene;
    FluidScene s(std::move(scene));
    EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), 10.0f, 1e-4f);
    blockWord(sc, 6) = bits(2.0f);  // header: density scale
    EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), 20.0f, 1e-4f);
    blockWord(sc, 40 + 3) = 2;  // density grid record: 2 cells along x instead of 4
    EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), 2.0f * 10.0f, 1e-4f);  // same cell 0, now 2 wide
    EXPECT_NEAR(s.alpha({1.5f, 0, 0}), 2.0f * 20.0f, 1e-4f);   // clamped at cell 1
    blockWord(sc, 7) = 0;  // density by the constant method: scale times 1
    EXPECT_NEAR(s.alpha({1.5f, 0, 0}), 2.0f, 1e-4f);
}

// A field's grid record apart from the base grid, edited while calls read
// no field and then read again: the field follows the edit.
TEST(Fluid, FieldGridEditedInPlaceIsReadAfresh) {
    Block b;
    const int base = b.grid({0, 0, 0}, {1, 1, 1}, {4, 1, 1}, {0, 0, 0}, {0});
    const int density = b.grid({0, 0, 0}, {4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {10, 20, 30, 40});
    b.i(5, base);
    b.f(6, 1.0f);
    b.i(7, 8);
    b.i(8, density);
    vh::ScenePtr scene = smokeBoxScene(b);
    vh::Scene &sc = *scene;
    vh::Instance &ft = *vh::networkOf(sc).find("ft");
    FluidScene s(std::move(scene));
    EXPECT_NEAR(s.alpha({1.5f, 0, 0}), 40.0f, 1e-4f);
    blockWord(sc, density + 3) = 2;  // 2 cells along x instead of 4
    ft.setLiteral("opacityInput", 0);  // constant input: no field read
    EXPECT_NEAR(s.alpha({1.5f, 0, 0}), 1.0f, 1e-4f);
    ft.setLiteral("opacityInput", 5);
    EXPECT_NEAR(s.alpha({1.5f, 0, 0}), 20.0f, 1e-4f);  // clamped at cell 1
    EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), 10.0f, 1e-4f);
}

// The lookup from fluidData to the block, after the texture has sampled
// once: each edit of the scene's records must change what the next call
// reads. "smoke" holds a chain of two blocks, the first under another
// label (its values 7), the second the fluid block (10 20 30 40); "other"
// holds a block of 5s. The point reads cell 0.
TEST(Fluid, LookupFollowsEditsOfTheChain) {
    auto block = [](float v) { return densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {v, 20, 30, 40}); };
    json decoy = block(7).userData();
    decoy[0]["label"] = 0x58656B6Fu;
    json chain = json::array({decoy[0], block(10).userData()[0]});
    auto dataTag = [](vh::Scene &sc, const char *object) -> xrTag & {
        int type = 0;
        auto *inst = static_cast<vh::InstanceRecord *>(vh::Database::get().peek(vh::networkOf(sc).tagOf(object), &type));
        EXPECT_EQ(type, xrDB_INSTANCE);
        return inst->dataTag;
    };
    // Element words: 1 the next element, 2 the bytes from the label on, 6 the label.
    auto element = [](xrTag tag) { return static_cast<uint32_t *>(vh::Database::get().data(tag)); };
    struct Case {
        const char *edit;
        std::function<void(vh::Scene &)> apply;
        float alpha;
    };
    const Case cases[] = {
        {"the chain starts at the other object's block",
         [&](vh::Scene &sc) { dataTag(sc, "smoke") = dataTag(sc, "other"); }, 5.0f},
        {"the first block takes the fluid label", [&](vh::Scene &sc) { element(dataTag(sc, "smoke"))[6] = kMagic; },
         7.0f},
        {"the fluid block loses its label",
         [&](vh::Scene &sc) { element(element(dataTag(sc, "smoke"))[1])[6] = 0; }, 0.0f},
        {"the fluid block ends before the density values",
         [&](vh::Scene &sc) { element(element(dataTag(sc, "smoke"))[1])[2] = 4 * (40 + 15); }, 0.0f},
        {"fluidData names the other object",
         [&](vh::Scene &sc) { vh::networkOf(sc).find("ft")->setLiteral("fluidData", "other"); }, 5.0f},
    };
    const int pinsBefore = vh::Database::get().totalPins();
    for (const Case &k : cases) {
        SCOPED_TRACE(k.edit);
        json doc = {
            {"nodes", json::array({{{"name", "ft"},
                                    {"type", "veko_fluidtexture3d"},
                                    {"params", {{"fluidData", "smoke"}, {"opacity", identityOpacity()}}}}})},
            {"objects", json::array({{{"name", "smoke"}, {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}}, {"userData", chain}},
                                     {{"name", "other"},
                                      {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                                      {"userData", block(5).userData()}}})}};
        vh::ScenePtr scene = vh::loadSceneJson(vt::library(), doc, "fluid_test.json");
        vh::Scene &sc = *scene;
        {
            FluidScene s(std::move(scene));
            EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), 10.0f, 1e-4f);
            k.apply(sc);
            EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), k.alpha, 1e-4f);
            vh::StandaloneState st;
            vh::networkOf(sc).exit(st.state());
            EXPECT_EQ(vh::Database::get().totalPins(), pinsBefore) << "every pin released by the texture's exit";
        }
    }
}

// Scenes loaded one after another, each with a block of the same size (a
// freed block's storage is typically handed out again): every scene sees
// its own block.
TEST(Fluid, EachSceneSeesItsOwnBlock) {
    for (int k = 1; k <= 4; ++k) {
        SCOPED_TRACE("scene " + std::to_string(k));
        Block b = densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {float(k), 2, 3, 4});
        b.f(6, float(k));  // density scale
        if (k % 2 == 0) b.w[size_t(40 + 3)] = 2;  // and a grid of 2 cells
        FluidScene s(b.userData(), {});
        EXPECT_NEAR(s.alpha({-1.5f, 0, 0}), float(k) * float(k), 1e-4f);
        EXPECT_NEAR(s.alpha({1.5f, 0, 0}), float(k) * (k % 2 == 0 ? 2.0f : 4.0f), 1e-4f);
    }
}

// Fluid textures fed one by another, three deep, each on a block of its own
// (through the glow intensity, which a texture reads before it samples its
// grid): each samples its own block.
TEST(Fluid, NestedTexturesKeepTheirBlocks) {
    const Block blocks[3] = {densityBlock({4, 1, 1}, {4, 1, 1}, {0, 0, 0}, {10, 20, 30, 40}),
                             densityBlock({2, 2, 1}, {4, 1, 1}, {0, 0, 0}, {1, 2, 3, 4}),
                             densityBlock({1, 1, 1}, {4, 1, 1}, {0, 0, 0}, {0.5f})};
    const char *names[3] = {"ft", "inner", "innermost"};
    json nodes = json::array(), objects = json::array();
    for (int k = 0; k < 3; ++k) {
        json params = {{"fluidData", std::string(names[k]) + "Smoke"}, {"opacity", identityOpacity()}};
        if (k < 2) params["glowIntensity"] = std::string(names[k + 1]) + ".outAlpha";
        nodes.push_back({{"name", names[k]}, {"type", "veko_fluidtexture3d"}, {"params", params}});
        objects.push_back({{"name", std::string(names[k]) + "Smoke"},
                           {"mesh", {{"type", "box"}, {"size", {1, 1, 1}}}},
                           {"userData", blocks[k].userData()}});
    }
    nodes[0]["params"]["fluidData"] = "smoke";
    objects[0]["name"] = "smoke";
    FluidScene s(vh::loadSceneJson(vt::library(), {{"nodes", nodes}, {"objects", objects}}, "fluid_test.json"));
    for (int pass = 0; pass < 2; ++pass) {
        const FluidResult r = s.at({1.5f, 0, 0});
        EXPECT_NEAR(r.alpha, 40.0f, 1e-4f);
        // Glow is the inner alpha (cell (1, 0) of the 2 x 2 grid: 2) times the colour.
        EXPECT_NEAR(r.glow.r, 2.0f * r.color.r, 1e-4f);
    }
}

}  // namespace
