// The renderer: scene loading and its errors, the state fields of a hit,
// the per-ray record protocol (shared by secondary and light rays, a copy
// for shadow rays), shadows through the real shading engine, depth limits,
// thread-count determinism, allocation-free samples and golden images.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>

#include <unistd.h>

#include "support.h"
#include "vekobase.h"
#include "vekohost/render.h"

// Counts operator new calls of the whole process while armed.
namespace {
std::atomic<bool> g_countAllocs{false};
std::atomic<long> g_allocs{0};
}  // namespace

// Kept out of line so that no call site sees the malloc/free pair.
__attribute__((noinline)) void *operator new(size_t n) {
    if (g_countAllocs.load(std::memory_order_relaxed)) g_allocs.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void *p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void *p, size_t) noexcept { std::free(p); }

namespace {

using vh::json;
using veko::BaseStateRecord;

BaseStateRecord *recordOf(xrState *s) {
    return static_cast<BaseStateRecord *>(xr_shaderstate_get(s, "vekobase", nullptr));
}

vh::ScenePtr load(const json &doc) {
    return vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes");
}

json lambertNodes() {
    return json::parse(R"([
        {"name": "state", "type": "veko_state"},
        {"name": "grey", "type": "veko_lambert", "params": {"color": [0.5, 0.5, 0.5, 1], "diffuse": 0.8}},
        {"name": "greySG", "type": "veko_shadingengine", "params": {"surfaceShader": "grey"}}
    ])");
}

// Orthographic camera looking straight down at the ground plane.
json topCamera(int size = 16) {
    return {{"type", "orthographic"},
            {"resolution", {size, size}},
            {"aperture", 4},
            {"clip", {0.1, 100}},
            {"transform", {{"lookAt", {{"eye", {0, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
}

// A file name of this process in the temporary directory.
std::filesystem::path tempPath(const std::string &name) {
    return std::filesystem::temp_directory_path() / ("vekohost_" + std::to_string(getpid()) + "_" + name);
}

vh::RenderOptions quiet(int threads = 0, int tileSize = 16) {
    vh::RenderOptions o;
    o.threads = threads;
    o.tileSize = tileSize;
    o.progress = false;
    return o;
}

const float *centre(const vh::FrameImage &img) { return img.pixel(img.width / 2, img.height / 2); }

// ---------------------------------------------------------------------------
TEST(RenderScene, MalformedScenesNameFileAndElement) {
    struct Case {
        const char *what;
        const char *doc;
        const char *expect;  // part of the message
    };
    const Case cases[] = {
        {"unknown key", R"({"objectz": []})", "test.json: unknown key \"objectz\""},
        {"mesh type", R"({"objects": [{"name": "a", "mesh": {"type": "cone"}}]})",
         "test.json: objects[0] (\"a\").mesh: unknown mesh type \"cone\""},
        {"triangle index", R"({"objects": [{"name": "a", "mesh": {"positions": [0,0,0, 1,0,0, 0,1,0], "triangles": [0,1,3]}}]})",
         "objects[0] (\"a\").mesh: triangle index out of range"},
        {"material", R"({"objects": [{"name": "a", "mesh": {"type": "box"}, "material": "nope"}]})",
         "objects[0] (\"a\"): no node named \"nope\""},
        {"duplicate", R"({"objects": [{"name": "a", "mesh": {"type": "box"}}, {"name": "a", "mesh": {"type": "box"}}]})",
         "objects[1] (\"a\"): duplicate name"},
        {"resolution", R"({"camera": {"resolution": [0, 10]}})", "camera: resolution must be 1 to 32768"},
        {"clip", R"({"camera": {"clip": [5, 1]}})", "camera: clip planes"},
        {"light shader", R"({"lights": [{"name": "l"}]})", "lights[0] (\"l\"): needs a \"shader\" node"},
        {"area shape", R"({"lights": [{"name": "l", "shader": "x", "area": {"shape": "cube"}}]})",
         "lights[0] (\"l\").area: unknown area shape \"cube\""},
        {"state node", R"({"nodes": [{"name": "g", "type": "veko_lambert"}], "state": "g"})",
         "state: node \"g\" is not a state shader"},
        {"obj file", R"({"objects": [{"name": "a", "mesh": {"type": "obj", "file": "missing.obj"}}]})",
         "cannot read OBJ file"},
        {"transform", R"({"objects": [{"name": "a", "mesh": {"type": "box"}, "transform": {"scale": 0}}]})",
         "objects[0] (\"a\"): transform is singular"},
        {"user data", R"({"options": {"userData": ["x"]}})", "options: user-data words must be numbers"},
    };
    for (const Case &c : cases) {
        try {
            load(json::parse(c.doc));
            ADD_FAILURE() << c.what << ": no error";
        } catch (const vh::Error &e) {
            EXPECT_NE(std::string(e.what()).find(c.expect), std::string::npos) << c.what << ": " << e.what();
        }
    }
}

TEST(RenderScene, SceneFileErrorsNameTheFile) {
    auto path = tempPath("bad_scene.json");
    {
        FILE *f = std::fopen(path.c_str(), "w");
        std::fputs("{\"objects\": [", f);
        std::fclose(f);
    }
    try {
        vh::loadScene(vt::library(), path.string());
        ADD_FAILURE() << "no error";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find(path.string() + ": not valid JSON"), std::string::npos) << e.what();
    }
    std::filesystem::remove(path);
}

// ---------------------------------------------------------------------------
// What a material sees at a hit.
struct HitSeen {
    xrState st{};
    xrVector uv0{}, du0{}, dv0{};
    int32_t spaces = -1;
    xrVector triP[3]{};
    bool triOk = false;
    float bbox[6]{};
};
HitSeen g_hit;

TEST(RenderTrace, HitFillsTheStateFields) {
    vh::registerNativeMaterial("probe", [](xrColor *c, xrState *s) {
        g_hit.st = *s;
        g_hit.uv0 = s->texCoords[0];
        g_hit.du0 = s->derivU[0];
        g_hit.dv0 = s->derivV[0];
        xr_query(82, s, 0, &g_hit.spaces);
        xrVector *a, *b, *cc;
        g_hit.triOk = xr_tri_vectors(s, 112, 0, &a, &b, &cc);
        if (g_hit.triOk) g_hit.triP[0] = *a, g_hit.triP[1] = *b, g_hit.triP[2] = *cc;
        xr_query(118, s, 0, g_hit.bbox);
        *c = {1, 1, 1, 1};
        return xrBoolean(1);
    });
    json doc = {{"camera", topCamera()},
                {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}},
                              {"material", "native:probe"}, {"label", 7}}}}};
    auto scene = load(doc);
    vh::Renderer r(*scene, 1);
    // Raster (12, 8) of 16: world x = (12/16*2-1)*2 = 1, z = 0 (y up raster).
    auto s = r.shadeSample(0, 12, 8, 0, 0);
    ASSERT_TRUE(s.hit);
    const xrState &st = g_hit.st;
    EXPECT_NEAR(st.hitPoint.x, 1, 1e-5);
    EXPECT_NEAR(st.hitPoint.y, 0, 1e-5);
    EXPECT_NEAR(st.hitPoint.z, 0, 1e-5);
    EXPECT_NEAR(st.hitDistance, 1, 1e-5);
    EXPECT_NEAR(st.shadingNormal.y, 1, 1e-6);
    EXPECT_NEAR(st.geometricNormal.y, 1, 1e-6);
    EXPECT_EQ(st.normalFlipped, 0);
    EXPECT_NEAR(st.cosView, -1, 1e-6);  // rayDirection . shadingNormal
    EXPECT_NEAR(st.baryWeights[0] + st.baryWeights[1] + st.baryWeights[2], 1, 1e-6);
    // Plane uvs: u along +x, v along -z, over 4 units.
    EXPECT_NEAR(g_hit.uv0.x, 0.75, 1e-5);
    EXPECT_NEAR(g_hit.uv0.y, 0.5, 1e-5);
    EXPECT_NEAR(g_hit.du0.x, 4, 1e-4);   // dP/du
    EXPECT_NEAR(g_hit.dv0.z, -4, 1e-4);  // dP/dv
    EXPECT_EQ(g_hit.spaces, 1);
    ASSERT_TRUE(g_hit.triOk);
    for (auto &p : g_hit.triP) EXPECT_NEAR(p.y, 0, 1e-6);
    EXPECT_NEAR(g_hit.bbox[0], -2, 1e-6);
    EXPECT_NEAR(g_hit.bbox[3], 2, 1e-6);
    EXPECT_NE(st.hitRef, nullptr);
    EXPECT_NE(st.instanceTag, 0u);
    EXPECT_EQ(st.objectLabel, 7u);
    EXPECT_EQ(st.rayKind, 0);
    EXPECT_EQ(st.spawningState, nullptr);
    EXPECT_EQ(st.threadIndex, 0);
    EXPECT_NE(st.cameraRecord, nullptr);
    EXPECT_NE(st.optionsRecord, nullptr);
    EXPECT_NE(st.libraryLock, nullptr);
    EXPECT_NE(st.cameraInstanceTag, 0u);
    EXPECT_EQ(s.label, 7u);

    // From below, the normals are flipped to face the ray.
    json below = doc;
    below["camera"]["transform"] = {{"lookAt", {{"eye", {0, -1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}};
    auto scene2 = load(below);
    vh::Renderer r2(*scene2, 1);
    ASSERT_TRUE(r2.shadeSample(0, 8, 8, 0, 0).hit);
    EXPECT_EQ(g_hit.st.normalFlipped, 1);
    EXPECT_NEAR(g_hit.st.shadingNormal.y, -1, 1e-6);
    EXPECT_NEAR(g_hit.st.geometricNormal.y, -1, 1e-6);
    EXPECT_NEAR(g_hit.st.cosView, -1, 1e-6);
}

// ---------------------------------------------------------------------------
// The record protocol. The eye material marks its record, traces a
// reflection and samples a light; the reflected surface and the light see
// the same record; the light's shadow ray sees a record of its own, filled
// from the template with filtering cleared.
struct Protocol {
    BaseStateRecord *eyeRec = nullptr;
    int32_t markerAtEntry = -1;
    BaseStateRecord *childRec = nullptr;
    int32_t childSawMarker = 0;
    int32_t childKind = -1, childReflectDepth = -1;
    bool childSpawnedByEye = false, eyeChildIsChild = false;
    int32_t parentSawChildMark = 0;
    xrColor lightUnshadowed{};
    xrColor lightColor{};
    int lightSamples = 0;
    BaseStateRecord *shadowRec = nullptr;
    int32_t shadowSawMarker = -1;
    int32_t shadowFilterEnabled = -1;
    float shadowFilterSize = -1, shadowBaseFilterSize = -2;
    xrVector shadowFootU{};
    int32_t shadowKind = -1;
    int32_t shadowParentKind = -1;
    int shadowCalls = 0;
};
Protocol g_p;

void registerProtocolMaterials() {
    vh::registerNativeMaterial("eye", [](xrColor *c, xrState *s) {
        BaseStateRecord *rec = recordOf(s);
        g_p.eyeRec = rec;
        if (!rec) return xrBoolean(0);
        g_p.markerAtEntry = rec->words52to61[0];
        rec->words52to61[0] = 1234;
        xrVector up{0, 1, 0};
        xrColor refl;
        xr_trace_reflection(&refl, s, &up);
        g_p.eyeChildIsChild = s->childState != nullptr && s->childState->spawningState == s;
        g_p.parentSawChildMark = rec->words52to61[1];
        xrInteger n = 0;
        xrTag *lights = nullptr;
        xr_instance_lightlist(&n, &lights, s);
        for (int i = 0; i < n; ++i) {
            xrInteger samples = 0;
            xrColor q;
            xrVector dir;
            float cs;
            while (xr_sample_light(&q, &dir, &cs, s, lights[i], &samples)) {
                g_p.lightColor = q;
                g_p.lightUnshadowed = rec->lightUnshadowed;
            }
            g_p.lightSamples += samples;
        }
        rec->matteColor = {0.5f, 0.5f, 0.5f, 0};
        *c = {0.25f, 0.5f, 0.75f, 1};
        return xrBoolean(1);
    });
    vh::registerNativeMaterial("mirrorTarget", [](xrColor *c, xrState *s) {
        if (s->rayKind == 5) {  // the shadow ray towards the light
            BaseStateRecord *rec = recordOf(s);
            ++g_p.shadowCalls;
            g_p.shadowRec = rec;
            g_p.shadowKind = s->rayKind;
            g_p.shadowParentKind = s->spawningState ? s->spawningState->rayKind : -1;
            if (rec) {
                g_p.shadowSawMarker = rec->words52to61[0];
                g_p.shadowFilterEnabled = rec->filterEnabled;
                g_p.shadowFilterSize = rec->filterSize;
                g_p.shadowBaseFilterSize = rec->baseFilterSize;
                g_p.shadowFootU = rec->footprintU;
            }
            c->r *= 0.5f;  // half the light passes
            c->g *= 0.5f;
            c->b *= 0.5f;
            return xrBoolean(1);
        }
        BaseStateRecord *rec = recordOf(s);
        g_p.childRec = rec;
        g_p.childKind = s->rayKind;
        g_p.childReflectDepth = s->reflectDepth;
        g_p.childSpawnedByEye = s->spawningState && s->spawningState->rayKind == 0;
        if (rec) {
            g_p.childSawMarker = rec->words52to61[0];
            rec->words52to61[1] = 5678;
        }
        *c = {0, 0, 0, 1};
        return xrBoolean(1);
    });
}

json protocolScene() {
    json nodes = lambertNodes();
    nodes.push_back({{"name", "pl"}, {"type", "veko_pointlight"},
                     {"params", {{"intensity", 2}, {"color", {1, 0.5, 0.25, 1}}, {"useRayTraceShadows", 1}}}});
    return {{"nodes", nodes},
            {"camera", topCamera()},
            {"state", "state"},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"material", "native:eye"}},
              // A plate above: the reflection hits it, and it lies between
              // the ground and the light.
              {{"name", "plate"},
               {"mesh", {{"type", "plane"}, {"size", 20}}},
               {"transform", {{"rotate", {180, 0, 0}}, {"translate", {0, 3, 0}}}},
               {"material", "native:mirrorTarget"}}}},
            {"lights", {{{"name", "l"}, {"shader", "pl"}, {"transform", {{"translate", {0, 5, 0}}}}}}}};
}

TEST(RenderProtocol, SecondaryAndLightRaysShareTheRecordShadowRaysOwnACopy) {
    registerProtocolMaterials();
    auto scene = load(protocolScene());
    vh::Renderer r(*scene, 1);
    // Opcode 0 ran for the eye state when the session started.
    ASSERT_NE(recordOf(r.eyeState(0)), nullptr);
    for (int sample = 0; sample < 2; ++sample) {
        g_p = Protocol{};
        auto s = r.shadeSample(0, 8, 8, 0, sample);
        ASSERT_TRUE(s.hit);
        ASSERT_NE(g_p.eyeRec, nullptr);
        // Opcode 2 refilled the record from the template: last sample's mark is gone.
        EXPECT_EQ(g_p.markerAtEntry, 0) << "sample " << sample;
        // The reflected ray shared the eye's record, without a new-ray opcode.
        EXPECT_EQ(g_p.childRec, g_p.eyeRec);
        EXPECT_EQ(g_p.childSawMarker, 1234);
        EXPECT_EQ(g_p.parentSawChildMark, 5678);
        EXPECT_EQ(g_p.childKind, 2);
        EXPECT_EQ(g_p.childReflectDepth, 1);
        EXPECT_TRUE(g_p.childSpawnedByEye);
        EXPECT_TRUE(g_p.eyeChildIsChild);
        // The light wrote its unshadowed colour into the shared record.
        EXPECT_EQ(g_p.lightSamples, 1);
        EXPECT_FLOAT_EQ(g_p.lightUnshadowed.r, 2.0f);
        EXPECT_FLOAT_EQ(g_p.lightUnshadowed.g, 1.0f);
        EXPECT_FLOAT_EQ(g_p.lightUnshadowed.b, 0.5f);
        // The plate between halved the light through the shadow ray.
        EXPECT_NEAR(g_p.lightColor.r, 1.0f, 1e-5);
        EXPECT_NEAR(g_p.lightColor.g, 0.5f, 1e-5);
        // The shadow ray had its own record: the template, filtering cleared.
        EXPECT_EQ(g_p.shadowCalls, 1);
        EXPECT_EQ(g_p.shadowKind, 5);
        EXPECT_EQ(g_p.shadowParentKind, 4);
        ASSERT_NE(g_p.shadowRec, nullptr);
        EXPECT_NE(g_p.shadowRec, g_p.eyeRec);
        EXPECT_EQ(g_p.shadowSawMarker, 0);
        EXPECT_EQ(g_p.shadowFilterEnabled, 0);
        EXPECT_FLOAT_EQ(g_p.shadowFilterSize, g_p.shadowBaseFilterSize);
        EXPECT_FLOAT_EQ(g_p.shadowFootU.x, g_p.shadowBaseFilterSize);
        // Opcode 3 closed the sample: alpha from the matte colour.
        EXPECT_NEAR(s.color.a, 0.5f, 1e-6);
        EXPECT_FLOAT_EQ(s.color.b, 0.75f);
    }
}

// Without a state shader there is no record; everything still runs.
TEST(RenderProtocol, NoStateShaderNoRecord) {
    registerProtocolMaterials();
    json doc = protocolScene();
    doc.erase("state");
    auto scene = load(doc);
    vh::Renderer r(*scene, 1);
    g_p = Protocol{};
    auto s = r.shadeSample(0, 8, 8, 0, 0);
    EXPECT_TRUE(s.hit);
    EXPECT_EQ(g_p.eyeRec, nullptr);
    EXPECT_EQ(recordOf(r.eyeState(0)), nullptr);
}

// ---------------------------------------------------------------------------
// Analytic checks through the real library: lambert under a directional
// light from straight above, with and without a half-transparent occluder.
json directionalScene(bool occluder, bool shadows = true) {
    json nodes = lambertNodes();
    nodes.push_back({{"name", "sun"}, {"type", "veko_directionallight"},
                     {"params", {{"intensity", 1.5}, {"useRayTraceShadows", shadows ? 1 : 0}}}});
    nodes.push_back({{"name", "veil"}, {"type", "veko_lambert"}, {"params", {{"transparency", {0.5, 0.25, 1, 0}}}}});
    nodes.push_back({{"name", "veilSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "veil"}}}});
    json objects = {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 8}}}, {"material", "greySG"}}};
    if (occluder)  // above the camera: casts a shadow, never seen
        objects.push_back({{"name", "veil"}, {"mesh", {{"type", "plane"}, {"size", 20}}},
                           {"transform", {{"translate", {0, 2, 0}}}}, {"material", "veilSG"}});
    return {{"nodes", nodes},
            {"camera", topCamera()},
            {"state", "state"},
            {"objects", objects},
            {"lights", {{{"name", "sun"}, {"shader", "sun"},
                         {"transform", {{"lookAt", {{"eye", {0, 10, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}}}};
}

TEST(RenderLighting, LambertUnderDirectionalLightAndTransparentShadow) {
    auto plain = load(directionalScene(false));
    auto img = vh::render(*plain, quiet(1));
    // colour 0.5 x diffuse 0.8 x intensity 1.5 x cos 1
    const float *p = centre(img);
    EXPECT_NEAR(p[0], 0.6f, 1e-4);
    EXPECT_NEAR(p[1], 0.6f, 1e-4);
    EXPECT_NEAR(p[3], 1.0f, 1e-6);  // alpha from the matte
    EXPECT_GT(img.depth[size_t(img.width) * 8 + 8], 0.99f);
    EXPECT_EQ(img.label[0], 0u);

    // Through the veil the light is multiplied by its transparency.
    auto veiled = load(directionalScene(true));
    auto img2 = vh::render(*veiled, quiet(1));
    const float *q = centre(img2);
    EXPECT_NEAR(q[0], 0.6f * 0.5f, 1e-4);
    EXPECT_NEAR(q[1], 0.6f * 0.25f, 1e-4);
    EXPECT_NEAR(q[2], 0.6f * 1.0f, 1e-4);

    // Shadows off in the light: the veil has no effect.
    auto unshadowed = load(directionalScene(true, false));
    auto img3 = vh::render(*unshadowed, quiet(1));
    EXPECT_NEAR(centre(img3)[0], 0.6f, 1e-4);
}

// Area light: a rectangle sampled over its area gives a soft shadow edge.
TEST(RenderLighting, AreaLightSoftensTheShadowEdge) {
    json nodes = lambertNodes();
    nodes.push_back({{"name", "pl"}, {"type", "veko_pointlight"}, {"params", {{"useRayTraceShadows", 1}}}});
    json doc = {{"nodes", nodes},
                {"camera", topCamera(32)},
                {"state", "state"},
                {"objects",
                 {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 8}}}, {"material", "greySG"}},
                  // A half-plane occluder at height 1.5 covering x < 0, above the camera's view.
                  {{"name", "wall"},
                   {"mesh", {{"type", "mesh"},
                             {"positions", {-10, 1.5, -10, 0, 1.5, -10, 0, 1.5, 10, -10, 1.5, 10}},
                             {"triangles", {0, 2, 1, 0, 3, 2}}}},
                   {"material", "greySG"}}}},
                {"lights", {{{"name", "l"}, {"shader", "pl"},
                             {"transform", {{"rotate", {-90, 0, 0}}, {"translate", {0, 3, 0}}}},
                             {"area", {{"shape", "rectangle"}, {"size", {2, 2}}, {"samples", 64}}}}}}};
    auto scene = load(doc);
    auto img = vh::render(*scene, quiet(1));
    // Along the row through the centre, from deep shadow to full light, the
    // brightness passes through intermediate values (a penumbra): the wall
    // edge at x = 0 hides part of the light for ground points with |x| < 1
    // (pixels 8 to 24).
    const int y = 16;
    int partial = 0;
    for (int x = 10; x < 22; ++x) {
        float v = img.pixel(x, y)[0];
        if (v > 0.02f && v < 0.9f * img.pixel(25, y)[0]) ++partial;
    }
    EXPECT_LT(img.pixel(2, y)[0], 0.02f);
    EXPECT_GT(img.pixel(30, y)[0], 0.1f);
    EXPECT_GE(partial, 8);
    EXPECT_LT(img.pixel(12, y)[0], img.pixel(20, y)[0]);
}

// ---------------------------------------------------------------------------
int g_maxDepth = 0;
int g_traceFailures = 0;

TEST(RenderTrace, ReflectionDepthLimit) {
    vh::registerNativeMaterial("mirror", [](xrColor *c, xrState *s) {
        g_maxDepth = std::max(g_maxDepth, int(s->reflectDepth));
        xrVector r{s->rayDirection.x, -s->rayDirection.y, s->rayDirection.z};
        xrColor sub;
        if (!xr_trace_reflection(&sub, s, &r)) ++g_traceFailures;
        *c = {1, 1, 1, 1};
        return xrBoolean(1);
    });
    json doc = {{"camera", topCamera()},
                {"options", {{"reflectionDepth", 3}, {"traceDepth", 10}}},
                {"objects",
                 {{{"name", "floor"}, {"mesh", {{"type", "plane"}, {"size", 50}}}, {"material", "native:mirror"}},
                  {{"name", "ceiling"}, {"mesh", {{"type", "plane"}, {"size", 50}}},
                   {"transform", {{"rotate", {180, 0, 0}}, {"translate", {0, 2, 0}}}},
                   {"material", "native:mirror"}}}}};
    auto scene = load(doc);
    vh::Renderer r(*scene, 1);
    g_maxDepth = g_traceFailures = 0;
    r.shadeSample(0, 8, 8, 0, 0);
    EXPECT_EQ(g_maxDepth, 3);
    EXPECT_EQ(g_traceFailures, 1);  // the ray that would exceed the limit

    vh::optionsOf(*scene).traceEnabled = 0;
    g_maxDepth = g_traceFailures = 0;
    r.shadeSample(0, 8, 8, 0, 0);
    EXPECT_EQ(g_maxDepth, 0);
    EXPECT_EQ(g_traceFailures, 1);
}

// ---------------------------------------------------------------------------
json glassScene(int size) {
    json nodes = lambertNodes();
    nodes.push_back({{"name", "red"}, {"type", "veko_lambert"}, {"params", {{"color", {0.8, 0.15, 0.1, 1}}}}});
    nodes.push_back({{"name", "redSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "red"}}}});
    nodes.push_back({{"name", "blue"}, {"type", "veko_lambert"}, {"params", {{"color", {0.1, 0.2, 0.8, 1}}}}});
    nodes.push_back({{"name", "blueSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "blue"}}}});
    nodes.push_back({{"name", "glass"}, {"type", "veko_lambert"},
                     {"params", {{"color", {1, 1, 1, 1}}, {"diffuse", 0.1}, {"transparency", {0.9, 0.9, 0.9, 0}},
                                 {"refractions", 1}, {"refractiveIndex", 1.5}}}});
    nodes.push_back({{"name", "glassSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "glass"}}}});
    nodes.push_back({{"name", "sun"}, {"type", "veko_directionallight"},
                     {"params", {{"intensity", 1.2}, {"useRayTraceShadows", 1}}}});
    nodes.push_back({{"name", "amb"}, {"type", "veko_ambientlight"}, {"params", {{"intensity", 0.2}}}});
    return {{"nodes", nodes},
            {"camera", {{"resolution", {size, size}}, {"samples", 4}, {"filter", {{"type", "triangle"}}},
                        {"transform", {{"lookAt", {{"eye", {0, 2.5, 5}}, {"target", {0, 0.6, 0}}}}}}}},
            {"options", {{"refractionDepth", 4}, {"traceDepth", 6}}},
            {"state", "state"},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 10}}}, {"material", "greySG"}, {"label", 1}},
              {{"name", "box"}, {"mesh", {{"type", "box"}, {"size", {1, 1.2, 1}}}},
               {"transform", {{"rotate", {0, 35, 0}}, {"translate", {0.9, 0.6, -1.2}}}}, {"material", "blueSG"},
               {"label", 2}},
              {{"name", "ball"}, {"mesh", {{"type", "sphere"}, {"radius", 0.6}, {"segments", 24}, {"rings", 12}}},
               {"transform", {{"translate", {-1, 0.6, -0.8}}}}, {"material", "redSG"}, {"label", 3}},
              {{"name", "glass"}, {"mesh", {{"type", "sphere"}, {"radius", 0.55}, {"segments", 24}, {"rings", 12}}},
               {"transform", {{"translate", {0.1, 0.55, 0.8}}}}, {"material", "glassSG"}, {"label", 4}}}},
            {"lights",
             {{{"name", "sun"}, {"shader", "sun"},
               {"transform", {{"lookAt", {{"eye", {-3, 6, 2}}, {"target", {0, 0, 0}}}}}}},
              {{"name", "amb"}, {"shader", "amb"}, {"transform", {{"translate", {0, 5, 0}}}}}}}};
}

TEST(RenderLoop, SameImageWhateverTheThreadCount) {
    auto scene = load(glassScene(24));
    auto one = vh::render(*scene, quiet(1, 16));
    auto two = vh::render(*scene, quiet(2, 5));
    ASSERT_EQ(one.rgba.size(), two.rgba.size());
    EXPECT_EQ(0, std::memcmp(one.rgba.data(), two.rgba.data(), one.rgba.size() * sizeof(float)));
    EXPECT_EQ(0, std::memcmp(one.depth.data(), two.depth.data(), one.depth.size() * sizeof(float)));
    EXPECT_EQ(one.label, two.label);
    // Every label of the scene shows up.
    for (uint32_t l : {1u, 2u, 3u, 4u})
        EXPECT_NE(std::find(one.label.begin(), one.label.end(), l), one.label.end()) << l;
}

// A sample without shading (benchmarks) only traces, yet reports the hit,
// depth and label a shaded one does; each follows a shaded sample of the
// pixel before, so a miss must not report that sample's hit.
TEST(RenderLoop, UnshadedSamplesReportWhatShadedOnesDo) {
    auto scene = load(glassScene(16));
    vh::Renderer r(*scene, 1);
    int hits = 0, misses = 0;
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) {
            const float px = x + 0.5f, py = y + 0.5f;
            const uint32_t pix = uint32_t(y * 16 + x);
            const auto bare = r.shadeSample(0, px, py, pix, 0, false);
            const auto full = r.shadeSample(0, px, py, pix, 0);
            ASSERT_EQ(bare.hit, full.hit) << x << " " << y;
            EXPECT_EQ(bare.depth, full.depth) << x << " " << y;
            EXPECT_EQ(bare.label, full.label) << x << " " << y;
            ++(full.hit ? hits : misses);
        }
    EXPECT_GT(hits, 0);
    EXPECT_GT(misses, 0);
}

// After the first samples have grown the thread's state stack, a sample
// allocates nothing: states, records and results come from per-thread pools.
TEST(RenderLoop, SamplesDoNotAllocate) {
    auto scene = load(glassScene(16));
    vh::Renderer r(*scene, 1);
    auto pass = [&] {
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x)
                for (int j = 0; j < 2; ++j) r.shadeSample(0, x + 0.5f, y + 0.5f, uint32_t(y * 16 + x), j);
    };
    pass();
    // The counter sees allocations of the host and the library alike.
    g_allocs = 0;
    g_countAllocs = true;
    static void *volatile sink;
    sink = ::operator new(16);
    ::operator delete(sink);
    g_countAllocs = false;
    ASSERT_EQ(g_allocs.load(), 1);
    g_allocs = 0;
    g_countAllocs = true;
    pass();
    g_countAllocs = false;
    EXPECT_EQ(g_allocs.load(), 0);
}

// ---------------------------------------------------------------------------
// The state shader's extra frame buffer and the "Veko" options block reach
// the image: fbColor left in the record becomes frame buffer 1, and the
// options block's words fill the record's template.
int32_t g_userWord1 = -1;

TEST(RenderOutput, FrameBufferUserDataAndExr) {
    vh::registerNativeMaterial("glowing", [](xrColor *c, xrState *s) {
        BaseStateRecord *rec = recordOf(s);
        if (!rec) return xrBoolean(0);
        g_userWord1 = rec->userWord1;
        rec->fbColor = {0.2f, 0.6f, 0.4f, 0.5f};
        rec->matteColor = {1, 1, 1, 1};
        *c = {0.1f, 0.2f, 0.3f, 1};
        return xrBoolean(1);
    });
    json doc = {{"nodes", {{{"name", "state"}, {"type", "veko_state"}, {"params", {{"frameBuffer", 1}}}}}},
                {"camera", topCamera(8)},
                {"options", {{"userData", {0, 7, 1, 0.005, 1, 0, 0.0, 0.0, 20, 20}}}},
                {"state", "state"},
                {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 2}}},
                              {"material", "native:glowing"}, {"label", 3}, {"userData", {1, 2, 3}}}}}};
    auto scene = load(doc);
    auto img = vh::render(*scene, quiet(1));
    EXPECT_EQ(g_userWord1, 7);
    ASSERT_FALSE(img.fb[0].empty());
    EXPECT_TRUE(img.fb[1].empty());
    const float *f = &img.fb[0][(4 * 8 + 4) * 4];
    EXPECT_NEAR(f[0], 0.4f, 1e-6);
    EXPECT_NEAR(f[1], 1.0f, 1e-6);
    EXPECT_NEAR(f[2], 0.8f, 1e-6);
    EXPECT_NEAR(f[3], 1.0f, 1e-6);
    // Corner pixels miss the 2-unit plane: no frame-buffer write, no label.
    EXPECT_EQ(img.fb[0][3], 0.0f);
    EXPECT_EQ(img.label[0], 0u);
    EXPECT_EQ(img.label[4 * 8 + 4], 3u);
    // The object's user data hangs on its instance record.
    const vh::ObjectInfo info = vh::objectInfo(*scene, "ground");
    ASSERT_NE(info.instanceTag, 0u);
    auto *rec = static_cast<vh::InstanceRecord *>(vh::Database::get().data(info.instanceTag));
    ASSERT_NE(rec->dataTag, 0u);
    auto *ud = static_cast<uint32_t *>(vh::Database::get().data(rec->dataTag));
    EXPECT_EQ(ud[6], 0x56656B6Fu);  // "Veko"
    EXPECT_EQ(ud[7], 1u);
    EXPECT_EQ(rec->label, 3u);

    // EXR keeps the float beauty; it reads back as written.
    const auto exr = tempPath("fb.exr");
    vh::writeImage(img, exr.string());
    auto back = vh::readImage(exr.string());
    ASSERT_EQ(back.width, 8);
    EXPECT_EQ(back.rgba, img.rgba);
    std::filesystem::remove(exr);
}

// Final gathering: a point under a glowing ceiling that fills its whole
// hemisphere gathers an average radiance of 1, so lambert's indirect term is
// colour x diffuse. With gathering off the term is 0.
TEST(RenderLighting, FinalGatherUnderAGlowingCeiling) {
    vh::registerNativeMaterial("emitter", [](xrColor *c, xrState *) {
        *c = {1, 1, 1, 1};
        return xrBoolean(1);
    });
    auto doc = [](bool fg) {
        return json{{"nodes", lambertNodes()},
                    {"camera", topCamera(4)},
                    {"options", {{"finalGather", fg}, {"finalGatherRays", 64}}},
                    {"state", "state"},
                    {"objects",
                     {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 4}}}, {"material", "greySG"}},
                      {{"name", "ceiling"}, {"mesh", {{"type", "plane"}, {"size", 100000}}},
                       {"transform", {{"rotate", {180, 0, 0}}, {"translate", {0, 2, 0}}}},
                       {"material", "native:emitter"}}}}};
    };
    auto on = load(doc(true));
    auto img = vh::render(*on, quiet(1));
    EXPECT_NEAR(centre(img)[0], 0.5f * 0.8f, 2e-3);
    auto off = load(doc(false));
    auto img2 = vh::render(*off, quiet(1));
    EXPECT_NEAR(centre(img2)[0], 0.0f, 1e-6);
}

// ---------------------------------------------------------------------------
// Golden images (64x64). Regenerate with VEKO_UPDATE_GOLDEN=1 and look at
// them before committing. Tolerance: the 8-bit PNG values may differ by at
// most 2 in 1% of the channels (floating-point contraction differs between
// builds), never by more than 24, and the mean difference stays below 0.2.
void compareGolden(const vh::FrameImage &img, const std::string &name) {
    const std::string golden = vt::sourcePath("tests/golden/" + name);
    const auto tmp = tempPath(name);
    vh::writeImage(img, tmp.string());
    if (std::getenv("VEKO_UPDATE_GOLDEN")) {
        std::filesystem::copy_file(tmp, golden, std::filesystem::copy_options::overwrite_existing);
        GTEST_SKIP() << "wrote " << golden;
    }
    ASSERT_TRUE(std::filesystem::exists(golden)) << golden;
    auto a = vh::readImage(tmp.string()), b = vh::readImage(golden);
    ASSERT_EQ(a.width, b.width);
    ASSERT_EQ(a.height, b.height);
    double sum = 0;
    int over2 = 0, worst = 0;
    for (size_t i = 0; i < a.rgba.size(); ++i) {
        int d = int(std::lround(std::fabs(a.rgba[i] - b.rgba[i]) * 255));
        sum += d;
        if (d > 2) ++over2;
        worst = std::max(worst, d);
    }
    EXPECT_LE(over2, int(a.rgba.size() / 100)) << name;
    EXPECT_LE(worst, 24) << name;
    EXPECT_LT(sum / double(a.rgba.size()), 0.2) << name;
    std::filesystem::remove(tmp);
}

TEST(RenderGolden, GlassSceneWithShadows) {
    auto scene = load(glassScene(64));
    compareGolden(vh::render(*scene, quiet()), "render_glass.png");
}

TEST(RenderGolden, SpotLightWithPenumbraAndBarnDoors) {
    json nodes = lambertNodes();
    nodes.push_back({{"name", "spot"}, {"type", "veko_spotlight"},
                     {"params", {{"intensity", 1.6}, {"coneAngle", 0.9}, {"penumbraAngle", 0.15}, {"barnDoors", 1},
                                 {"leftBarnDoor", 0.25}, {"rightBarnDoor", 0.4}, {"topBarnDoor", 0.3},
                                 {"bottomBarnDoor", 0.2}, {"useRayTraceShadows", 1}}}});
    nodes.push_back({{"name", "green"}, {"type", "veko_lambert"}, {"params", {{"color", {0.2, 0.8, 0.3, 1}}}}});
    nodes.push_back({{"name", "greenSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "green"}}}});
    json doc = {{"nodes", nodes},
                {"camera", {{"resolution", {64, 64}}, {"samples", 4},
                            {"transform", {{"lookAt", {{"eye", {0, 6, 4}}, {"target", {0, 0, 0}}}}}}}},
                {"state", "state"},
                {"objects",
                 {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 10}}}, {"material", "greySG"}},
                  {{"name", "cube"}, {"mesh", {{"type", "box"}, {"size", 0.8}}},
                   {"transform", {{"translate", {0.3, 0.4, 0.2}}}}, {"material", "greenSG"}}}},
                {"lights", {{{"name", "spot"}, {"shader", "spot"},
                             {"transform", {{"lookAt", {{"eye", {-1, 5, 1}}, {"target", {0, 0, 0}}}}}}}}}};
    auto scene = load(doc);
    compareGolden(vh::render(*scene, quiet()), "render_spot.png");
}

TEST(RenderGolden, OrthographicObjMeshUnderAreaLight) {
    json nodes = lambertNodes();
    nodes.push_back({{"name", "pl"}, {"type", "veko_pointlight"}, {"params", {{"intensity", 1.3}, {"useRayTraceShadows", 1}}}});
    nodes.push_back({{"name", "amb"}, {"type", "veko_ambientlight"}, {"params", {{"intensity", 0.3}, {"ambientShade", 0.2}}}});
    nodes.push_back({{"name", "gold"}, {"type", "veko_lambert"}, {"params", {{"color", {0.95, 0.75, 0.15, 1}}}}});
    nodes.push_back({{"name", "goldSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "gold"}}}});
    json doc = {{"nodes", nodes},
                {"camera", {{"type", "orthographic"}, {"resolution", {64, 64}}, {"aperture", 4}, {"samples", 4},
                            {"transform", {{"lookAt", {{"eye", {2, 4, 3}}, {"target", {0, 0.4, 0}}}}}}}},
                {"state", "state"},
                {"objects",
                 {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", 10}}}, {"material", "greySG"}},
                  {{"name", "gem"}, {"mesh", {{"type", "obj"}, {"file", "showcase_gem.obj"}}},
                   {"transform", {{"scale", 0.8}, {"translate", {0, 0.8, 0}}}}, {"material", "goldSG"}}}},
                {"lights", {{{"name", "l"}, {"shader", "pl"},
                             {"transform", {{"rotate", {-90, 0, 0}}, {"translate", {-2, 4, -1}}}},
                             {"area", {{"shape", "disc"}, {"radius", 0.8}, {"samples", 16}}}},
                            {{"name", "a"}, {"shader", "amb"}, {"transform", {{"translate", {1, 5, 2}}}}}}}};
    auto scene = load(doc);
    compareGolden(vh::render(*scene, quiet()), "render_area_obj.png");
}

}  // namespace
