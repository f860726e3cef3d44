// Inputs that must not crash or hang the renderer: nodes of the wrong kind
// as materials and light shaders, absurd geometry, non-finite rays, huge
// sample counts; and a soak test (one process renders many frames; memory
// stays flat).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>

#include <unistd.h>

#include "support.h"
#include "vekohost/render.h"

namespace {

using vh::json;

vh::ScenePtr load(const json &doc) { return vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes"); }

vh::RenderOptions quiet() {
    vh::RenderOptions o;
    o.threads = 2;
    o.progress = false;
    return o;
}

// A ground plane seen from above, lit by one point light.
json smallScene(const std::string &material, const std::string &lightShader, const json &extraNodes = json::array()) {
    json nodes = json::parse(R"([
        {"name": "state", "type": "veko_state"},
        {"name": "grey", "type": "veko_lambert", "params": {"color": [0.5, 0.5, 0.5, 1], "diffuse": 0.8}},
        {"name": "greySG", "type": "veko_shadingengine", "params": {"surfaceShader": "grey"}},
        {"name": "checker", "type": "veko_checker"},
        {"name": "pl", "type": "veko_pointlight", "params": {"intensity": 2}}
    ])");
    for (auto &n : extraNodes) nodes.push_back(n);
    return {{"nodes", nodes},
            {"state", "state"},
            {"camera",
             {{"type", "orthographic"},
              {"resolution", {8, 8}},
              {"aperture", 4},
              {"clip", {0.1, 100}},
              {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"material", material}}}},
            {"lights", {{{"name", "l"}, {"shader", lightShader}, {"transform", {{"translate", {0, 3, 0}}}}}}}};
}

// ---------------------------------------------------------------------------
TEST(Robust, WrongKindsOfNodesAndAbsurdValuesAreErrors) {
    struct Case {
        const char *what;
        json doc;
        const char *expect;  // part of the message
    };
    json hugeSphere = smallScene("greySG", "pl");
    hugeSphere["objects"].push_back({{"name", "big"}, {"mesh", {{"type", "sphere"}, {"radius", 1e30}}}});
    json farAway = smallScene("greySG", "pl");
    farAway["objects"][0]["transform"] = {{"translate", {0, 0, 1e20}}};
    json farLight = smallScene("greySG", "pl");
    farLight["lights"][0]["transform"] = {{"translate", {3e13, 0, 0}}};
    json hugeInt = smallScene("greySG", "pl");
    hugeInt["nodes"][4]["params"]["shadowRays"] = 1e12;
    json hugeFloat = smallScene("greySG", "pl");
    hugeFloat["nodes"][4]["params"]["intensity"] = 1e300;
    json badTag = smallScene("greySG", "pl");
    badTag["nodes"][2]["params"]["surfaceShader"] = -5;
    const Case cases[] = {
        {"texture as material", smallScene("checker", "pl"),
         "objects[0] (\"ground\"): \"material\" names node \"checker\" of type veko_checker"},
        {"light as material", smallScene("pl", "pl"), "names node \"pl\" of type veko_pointlight"},
        {"material as light", smallScene("greySG", "greySG"),
         "lights[0] (\"l\"): \"shader\" names node \"greySG\" of type veko_shadingengine"},
        {"surface shader as light", smallScene("greySG", "grey"), "\"shader\" names node \"grey\" of type veko_lambert"},
        {"state shader as light", smallScene("greySG", "state"), "of type veko_state"},
        {"sphere radius 1e30", hugeSphere, "objects[1] (\"big\"): lies beyond 1e12 units"},
        {"object far away", farAway, "objects[0] (\"ground\"): lies beyond 1e12 units"},
        {"light far away", farLight, "lights[0] (\"l\"): lies beyond 1e12 units"},
        {"integer out of range", hugeInt, "out of range for integer parameter shadowRays"},
        {"scalar out of range", hugeFloat, "out of range for scalar parameter intensity"},
        {"negative tag", badTag, "is not a valid tag for surfaceShader"},
    };
    for (const Case &c : cases) {
        try {
            load(c.doc);
            ADD_FAILURE() << c.what << ": no error";
        } catch (const vh::Error &e) {
            EXPECT_NE(std::string(e.what()).find(c.expect), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

// A surface shader named as a material gets a default shading engine: the
// picture is the one rendered through an explicit engine.
TEST(Robust, SurfaceShaderAsMaterialRendersThroughADefaultEngine) {
    auto viaEngine = load(smallScene("greySG", "pl"));
    auto direct = load(smallScene("grey", "pl"));
    vh::FrameImage a = vh::render(*viaEngine, quiet()), b = vh::render(*direct, quiet());
    ASSERT_EQ(a.rgba.size(), b.rgba.size());
    EXPECT_GT(a.pixel(4, 4)[0], 0.05f);
    EXPECT_EQ(a.rgba, b.rgba);
}

// Sample and ray counts from a scene are capped with a warning; the render
// then finishes in normal time.
TEST(Robust, HugeSampleCountsAreCappedWithAWarning) {
    vt::messages();
    json doc = smallScene("greySG", "pl");
    doc["nodes"][4]["params"]["shadowRays"] = 4000000;
    doc["nodes"][4]["params"]["lightRadius"] = 0.5;
    doc["nodes"][4]["params"]["useRayTraceShadows"] = 1;
    doc["options"] = {{"finalGatherRays", 5000000}};
    auto scene = load(doc);
    auto msgs = vt::messages();
    EXPECT_TRUE(vt::hasMessage(msgs, "node pl: shadowRays = 4000000 is more than 1024; using 1024"));
    EXPECT_TRUE(vt::hasMessage(msgs, "test.json: options: finalGatherRays = 5000000 is more than 1024; using 1024"));
    vh::Instance *pl = vh::networkOf(*scene).find("pl");
    ASSERT_NE(pl, nullptr);
    EXPECT_EQ(*static_cast<int32_t *>(pl->paramAddress("shadowRays")), 1024);
    EXPECT_EQ(vh::optionsOf(*scene).finalGatherRays, 1024);
    vh::RenderOptions o = quiet();
    o.width = o.height = 2;
    vh::render(*scene, o);
}

// Rays with non-finite or huge components (a shader's arithmetic gone
// wrong) are misses, not aborts in the ray tracer.
TEST(Robust, NonFiniteRaysAreMisses) {
    int calls = 0;
    xrBoolean traced[3] = {1, 1, 1};
    vh::registerNativeMaterial("wild", [&](xrColor *color, xrState *st) -> xrBoolean {
        if (st->rayKind != 0) return 0;
        const float nan = std::numeric_limits<float>::quiet_NaN();
        xrColor c{};
        const xrVector nanDir{nan, 1, 0}, hugeDir{0, 1e30f, 0}, up{0, 1, 0};
        traced[0] = xr_trace_reflection(&c, st, &nanDir);
        traced[1] = xr_trace_reflection(&c, st, &hugeDir);
        const xrVector keep = st->hitPoint;
        st->hitPoint = {nan, 0, 0};
        traced[2] = xr_trace_reflection(&c, st, &up);
        st->hitPoint = keep;
        ++calls;
        *color = {1, 0, 0, 1};
        return 1;
    });
    json doc = smallScene("native:wild", "pl");
    doc["objects"].push_back({{"name", "roof"},
                              {"mesh", {{"type", "plane"}, {"size", 4}}},
                              {"material", "greySG"},
                              {"transform", {{"rotate", {180, 0, 0}}, {"translate", {0, 2, 0}}}}});
    doc["camera"]["transform"]["lookAt"]["eye"] = {0, 1.8, 0};  // under the roof
    auto scene = load(doc);
    vh::FrameImage img = vh::render(*scene, quiet());
    EXPECT_EQ(calls, 64);
    for (xrBoolean t : traced) EXPECT_EQ(t, 0);
    EXPECT_FLOAT_EQ(img.pixel(4, 4)[0], 1.0f);
}

// ---------------------------------------------------------------------------
size_t residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream f("/proc/self/statm");
    f >> pages >> resident;
    return size_t(resident) * size_t(sysconf(_SC_PAGESIZE));
}

// One process loads and renders the showcase many times: after a warm-up
// the resident size and the host's allocation tracking stay flat.
TEST(Robust, SoakRendersKeepMemoryFlat) {
    const std::string path = vt::sourcePath("scenes/showcase.json");
    vh::RenderOptions o = quiet();
    o.width = 40;
    o.height = 30;
    o.samples = 1;
    auto once = [&] {
        auto scene = vh::loadScene(vt::library(), path);
        vh::render(*scene, o);
    };
    for (int i = 0; i < 5; ++i) once();
    const size_t rss0 = residentBytes();
    const vh::LeakReport live0 = vh::liveAllocations();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int kRounds = 10;  // instrumented builds are ten times slower
#else
    const int kRounds = 40;  // about 3 s in a Release build
#endif
    for (int i = 0; i < kRounds; ++i) once();
    const size_t rss1 = residentBytes();
    const vh::LeakReport live1 = vh::liveAllocations();
    EXPECT_EQ(live1.blocks, live0.blocks) << live1.text;
    EXPECT_EQ(live1.bytes, live0.bytes);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    (void)rss0, (void)rss1;  // the sanitizers keep freed memory in quarantine: RSS grows by design
#else
    // Allocator noise (per-thread arenas of each render's workers) reaches
    // about 5 MB on a loaded machine; a leak of one scene per round (meshes,
    // acceleration structure) would be tens of MB.
    EXPECT_LT(double(rss1) - double(rss0), 12.0 * 1024 * 1024) << "RSS " << rss0 << " -> " << rss1;
#endif
}

}  // namespace
