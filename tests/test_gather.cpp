// Final gathering with the host's point cache, filled by the light-map
// baker's prebake: where the prebake puts its points (spacing by map size,
// ray count and density), what lookups return against brute-force gathers,
// the fallback where no point covers a lookup, and the same map for any
// number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <vekohost/bake.h>
#include <vekohost/host.h>
#include <vekohost/render.h>

#include "support.h"

namespace {

using vh::json;

// A card (plane of 2 x 2, uv 0..1, facing +y) under a sky of constant
// radiance `sky`, baked by "baker" with `bakeParams`. `wall`: a black wall
// of 2 x 2 standing on the card at x = 0.3 shades part of its sky.
json gatherScene(const json &bakeParams, const json &options, bool wall = false, double sky = 0.6) {
    json doc = {{"nodes",
                 {{{"name", "st"}, {"type", "veko_state"}},
                  {{"name", "sky"}, {"type", "veko_envcolor"}, {"params", {{"color", {sky, sky, sky, 1}}}}},
                  {{"name", "black"}, {"type", "veko_lambert"}, {"params", {{"color", {0, 0, 0, 1}}}}},
                  {{"name", "blackSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "black"}}}},
                  {{"name", "baker"}, {"type", "veko_bakelightmap"}, {"params", bakeParams}}}},
                {"camera",
                 {{"type", "orthographic"},
                  {"resolution", {3, 3}},
                  {"aperture", 2},
                  {"environment", "sky"},
                  {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
                {"options", options},
                {"state", "st"},
                {"objects", {{{"name", "card"}, {"mesh", {{"type", "plane"}, {"size", {2, 2}}}}, {"material", "blackSG"}}}}};
    if (wall)
        doc["objects"].push_back({{"name", "wall"},
                                  {"mesh", {{"type", "plane"}, {"size", {2, 2}}}},
                                  {"transform", {{"rotate", {0, 0, 90}}, {"translate", {0.3, 1, 0}}}},
                                  {"material", "blackSG"}});
    return doc;
}

json gatherOptions(int rays, const json &extra = json::object()) {
    json o = {{"trace", true}, {"finalGather", true}, {"finalGatherRays", rays}};
    for (auto it = extra.begin(); it != extra.end(); ++it) o[it.key()] = it.value();
    return o;
}

vh::BakedMap bake(const json &doc, int w, int h, int threads = 1) {
    auto scene = vh::loadSceneJson(vt::library(), doc, "gather-test.json");
    vh::BakeRequest req;
    req.object = "card";
    req.node = "baker";
    req.width = w;
    req.height = h;
    req.threads = threads;
    return vh::bakeLightmap(*scene, req);
}

class Gather : public vt::MessagesTest {};

// The card covers the lower left uvScale x width by uvScale x height pixels
// of the map. A grid column i lies at (i + 0.5 + 0.85 (o - 0.5)) s for an
// offset o in [0, 1): certainly inside a side of L pixels when
// (i + 0.925) s < L, possibly when (i + 0.075) s < L.
TEST_F(Gather, PrebakeSpacingFollowsMapSizeRaysAndDensity) {
    struct Case {
        const char *what;
        int width, height, rays;
        double density, uvScale;
        double spacing;  // expected, in pixels (0: no prebake)
    };
    const Case cases[] = {
        {"plain", 200, 200, 16, 1, 1, 8},
        {"2000 x 1000 pixels: x 2^0.25", 2000, 1000, 4, 1, 0.1, 8 * 1.189207115},
        {"1024 rays: x 10.24^-0.25", 64, 64, 1024, 1, 1, 4.472136},
        {"density 0.5", 200, 200, 16, 0.5, 1, 16},
        {"density 0: no prebake", 64, 64, 16, 0, 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const vh::BakedMap m = bake(gatherScene({{"uvScale", c.uvScale}, {"fgPrebakeDensity", c.density}, {"bakeMode", 2}},
                                                gatherOptions(c.rays)),
                                    c.width, c.height);
        if (c.spacing == 0) {
            EXPECT_EQ(m.gatherPoints, 0u);
            continue;
        }
        auto range = [&](double side, int &lo, int &hi) {
            lo = int(std::ceil(side / c.spacing - 0.925));
            hi = int(std::ceil(side / c.spacing - 0.075));
        };
        int xlo, xhi, ylo, yhi;
        range(c.uvScale * c.width, xlo, xhi);
        range(c.uvScale * c.height, ylo, yhi);
        EXPECT_GE(m.gatherPoints, size_t(xlo * ylo));
        EXPECT_LE(m.gatherPoints, size_t(xhi * yhi));
    }
    int prebaking = 0, prebaked = 0;
    for (const auto &msg : vt::messages()) {
        if (msg.text.rfind("veko_bakelightmap(): 0x", 0) != 0) continue;
        prebaking += msg.text.find(" Prebaking FG points...") != std::string::npos;
        prebaked += msg.text.find(" 100.0 percent FG points prebaked.") != std::string::npos;
    }
    EXPECT_EQ(prebaking, 4);
    EXPECT_EQ(prebaked, 4);
}

TEST_F(Gather, PrebakeIsOffWithoutFinalGathering) {
    const vh::BakedMap m =
        bake(gatherScene({{"fgPrebakeDensity", 1}, {"bakeMode", 2}}, {{"trace", true}, {"finalGather", false}}), 32, 32);
    EXPECT_EQ(m.gatherPoints, 0u);
}

double meanAbsDifference(const vh::BakedMap &a, const vh::BakedMap &b, double *maxDiff) {
    double sum = 0, most = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.tags.size(); ++i) {
        if (a.tags[i] == 0) continue;
        const double d = std::fabs(a.rgba[i * 4] - b.rgba[i * 4]);
        sum += d;
        most = std::max(most, d);
        ++n;
    }
    if (maxDiff) *maxDiff = most;
    return n ? sum / double(n) : 0;
}

TEST_F(Gather, CachedGathersMatchBruteForce) {
    // Open sky: every gather sees the sky's radiance exactly.
    {
        const vh::BakedMap m = bake(gatherScene({{"fgPrebakeDensity", 1}, {"bakeMode", 2}}, gatherOptions(16)), 32, 32);
        EXPECT_GT(m.gatherPoints, 10u);
        for (size_t i = 0; i < m.tags.size(); ++i) {
            ASSERT_EQ(m.tags[i], 1.0f);
            EXPECT_NEAR(m.rgba[i * 4], 0.6, 1e-5) << i;
        }
    }
    // A wall shades part of the sky: the interpolated map stays close to
    // the brute-force one, though it was not gathered per texel.
    const vh::BakedMap brute = bake(gatherScene({{"fgPrebakeDensity", 0}, {"bakeMode", 2}}, gatherOptions(256), true), 32, 32);
    const vh::BakedMap cached = bake(gatherScene({{"fgPrebakeDensity", 1}, {"bakeMode", 2}}, gatherOptions(256), true), 32, 32);
    EXPECT_GT(cached.gatherPoints, 10u);
    double most = 0;
    const double mean = meanAbsDifference(brute, cached, &most);
    EXPECT_GT(mean, 0.0);  // the cache was used
    EXPECT_LT(mean, 0.03 * 0.6);
    EXPECT_LT(most, 0.15 * 0.6);
    // The wall darkens the card next to it (x = 0.3 is texel column 20).
    EXPECT_LT(cached.rgba[(16 * 32 + 20) * 4], 0.4);
    EXPECT_GT(cached.rgba[(16 * 32 + 0) * 4], 0.45);
}

TEST_F(Gather, LookupsAwayFromEveryPointGatherAfresh) {
    // Points valid only within a millionth of a unit cover no texel: every
    // texel is gathered as without a prebake, to the bit.
    const json noRadius = {{"finalGatherMinRadius", 1e-7}, {"finalGatherMaxRadius", 1e-6}};
    const vh::BakedMap brute = bake(gatherScene({{"fgPrebakeDensity", 0}, {"bakeMode", 2}}, gatherOptions(16), true), 16, 16);
    const vh::BakedMap tiny =
        bake(gatherScene({{"fgPrebakeDensity", 1}, {"bakeMode", 2}}, gatherOptions(16, noRadius), true), 16, 16);
    EXPECT_GT(tiny.gatherPoints, 0u);
    EXPECT_EQ(tiny.rgba, brute.rgba);
}

// Every texel's samples and gathers are keyed by the texel alone, and the
// prebake ends on every thread before any texel is shaded.
TEST_F(Gather, SameMapForAnyThreadCount) {
    for (int samples : {1, 2})
        for (double density : {0.0, 1.0}) {
            SCOPED_TRACE(std::to_string(samples) + " samples, density " + std::to_string(density));
            const json doc = gatherScene({{"fgPrebakeDensity", density}, {"bakeMode", 2}, {"pixelSamples", samples}},
                                         gatherOptions(32), true);
            const vh::BakedMap one = bake(doc, 48, 48, 1), two = bake(doc, 48, 48, 2), three = bake(doc, 48, 48, 3);
            EXPECT_EQ(one.gatherPoints, two.gatherPoints);
            EXPECT_EQ(one.rgba, two.rgba);
            EXPECT_EQ(one.rgba, three.rgba);
        }
}

// The wall's material asks for an abort the first time a gather ray of the
// prebake shades it: the bake ends after the prebake's tile, renders
// nothing and says so, on one thread or in phases on two.
TEST_F(Gather, AbortDuringPrebakeEndsTheBake) {
    vh::registerNativeMaterial("abortingWall", [](xrColor *c, xrState *) {
        vh::requestAbort();
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
    for (int threads : {1, 2}) {
        SCOPED_TRACE(threads);
        vh::takeMessages();
        json doc = gatherScene({{"fgPrebakeDensity", 1}, {"bakeMode", 2}}, gatherOptions(16), true);
        doc["objects"][1]["material"] = "native:abortingWall";
        const vh::BakedMap m = bake(doc, 32, 32, threads);
        vh::clearAbort();
        EXPECT_GT(m.gatherPoints, 0u);
        for (float t : m.tags) EXPECT_EQ(t, 0.0f);
        const auto msgs = vt::messages();
        EXPECT_TRUE(vt::hasMessage(msgs, "veko_bakelightmap(): Terminated by user..."));
        for (const auto &msg : msgs) EXPECT_EQ(msg.text.find("Rendering light map"), std::string::npos) << msg.text;
    }
}

}  // namespace
