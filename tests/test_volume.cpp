// Volumes: the volume sampler through the renderer (object interiors behind
// invisible boundaries and behind refracting glass, the camera's atmosphere
// overlapping them, call modes from user data, shadow attenuation with
// segment shadows), its early returns and messages, thread-count
// determinism and a small golden render; the event integration (point
// samples, ties, opaque points) on event arrays.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <vector>

#include "support.h"
#include "vekobase.h"
#include "vekohost/render.h"
#include "volume.h"

namespace {

using vh::json;

vh::ScenePtr load(const json &doc) { return vh::loadSceneJson(vt::library(), doc, "test.json", VEKO_SOURCE_DIR "/scenes"); }

struct Medium {
    int steps;    // march steps over the segment
    float t;      // transparency per step
    float c[3];   // colour per step
};

// Expected colour of a segment of length `len` filled by homogeneous media,
// each marched in `steps` equal steps that each let `t` through and give
// colour `c`: per step an extinction s = -ln t / step and an emission
// c s / (1 - t), summed where media overlap, integrated in closed form over
// the intervals between step boundaries. Returns behind * T + S.
std::array<double, 3> throughMedia(const std::vector<Medium> &media, double len, std::array<double, 3> behind) {
    std::vector<double> cuts{0, len};
    for (const Medium &m : media)
        for (int i = 1; i < m.steps; ++i) cuts.push_back(len * i / m.steps);
    std::sort(cuts.begin(), cuts.end());
    std::array<double, 3> out{};
    for (int ch = 0; ch < 3; ++ch) {
        double T = 1, S = 0;
        for (size_t k = 0; k + 1 < cuts.size(); ++k) {
            const double d = cuts[k + 1] - cuts[k];
            if (d <= 1e-9) continue;
            double sigma = 0, emit = 0;
            for (const Medium &m : media) {
                const double s = -std::log(double(m.t)) / (len / m.steps);
                sigma += s;
                emit += m.c[ch] * s / (1 - m.t);
            }
            S += T * emit / sigma * (1 - std::exp(-sigma * d));
            T *= std::exp(-sigma * d);
        }
        out[size_t(ch)] = T * behind[size_t(ch)] + S;
    }
    return out;
}

json volumeShader(const std::string &name, const Medium &m, float matte = -1) {
    const float mo = matte < 0 ? 1 - m.t : matte;
    return {{"name", name},
            {"type", "veko_volumeshader"},
            {"params",
             {{"color", {m.c[0], m.c[1], m.c[2], 1}},
              {"matteOpacity", {mo, mo, mo, 1}},
              {"transparency", {m.t, m.t, m.t, 1}}}}};
}

json sampler(const std::string &name, const std::string &shader) {
    return {{"name", name}, {"type", "veko_volumesampler"}, {"params", {{"volumeShader", shader}}}};
}

// Looking straight down from y = 10 at a ground plane (y = 0) of the native
// colour kBehind; a box of fog spans y = 1 .. 3.
constexpr float kBehind[3] = {0.2f, 0.4f, 0.6f};
// The ground's native material, of colour kBehind.
const char *behindMaterial() {
    vh::registerNativeMaterial("volBehind", [](xrColor *c, xrState *) {
        *c = {kBehind[0], kBehind[1], kBehind[2], 1};
        return xrBoolean(1);
    });
    return "native:volBehind";
}
// An orthographic camera at y = 10 looking straight down, -z up.
json topDownCamera(int resolution, float aperture) {
    return {{"type", "orthographic"},
            {"resolution", {resolution, resolution}},
            {"aperture", aperture},
            {"clip", {0.1, 100}},
            {"transform", {{"lookAt", {{"eye", {0, 10, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}};
}

json slabScene(bool glass, const Medium &fog, const json &cameraVolume = nullptr, int jitter = 1) {
    // Glass that bends nothing: the refracted ray goes straight on.
    vh::registerNativeMaterial("volGlass", [](xrColor *c, xrState *s) {
        const xrVector d = s->rayDirection;
        return xr_trace_refraction(c, s, &d);
    });
    json nodes = {{{"name", "state"}, {"type", "veko_state"}}, volumeShader("fogColour", fog), sampler("fog", "fogColour")};
    json camera = topDownCamera(4, 2);
    if (!cameraVolume.is_null()) {
        nodes.push_back(volumeShader("hazeColour", Medium{1, cameraVolume["t"], {0.03f, 0.02f, 0.01f}}));
        nodes.push_back(sampler("haze", "hazeColour"));
        camera["volume"] = "haze";
        // Camera "Veko" words 8 and 9: march steps and jitter.
        camera["userData"] = {0, 0, 0, 0, 0, 0, 0, cameraVolume["steps"], 0};
    }
    json box = {{"name", "fogBox"},
                {"mesh", {{"type", "box"}, {"size", {4, 2, 4}}}},
                {"transform", {{"translate", {0, 2, 0}}}},
                {"volume", "fog"},
                // Object "Veko" words 2, 3, 4: mode 0 (march), steps, jitter.
                {"userData", {0, 0, fog.steps, jitter}}};
    if (glass) box["material"] = "native:volGlass";
    return {{"nodes", nodes},
            {"camera", camera},
            {"options", {{"autoVolume", true}, {"shadows", "segments"}, {"refractionDepth", 4}, {"traceDepth", 8}}},
            {"state", "state"},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", behindMaterial()}},
              box}}};
}

TEST(VolumeRender, MarchedSlabMatchesClosedForm) {
    // Jittered steps: a single homogeneous medium does not depend on where
    // the step boundaries fall.
    const Medium fog{16, 0.8f, {0.1f, 0.05f, 0.02f}};
    const auto want = throughMedia({fog}, 2.0, {kBehind[0], kBehind[1], kBehind[2]});
    for (bool glass : {false, true}) {
        SCOPED_TRACE(glass ? "inside refracting glass" : "behind an invisible boundary");
        auto scene = load(slabScene(glass, fog));
        vh::Renderer r(*scene, 1);
        const auto s = r.shadeSample(0, 2, 2, 0, 0);
        for (int c = 0; c < 3; ++c) EXPECT_NEAR((&s.color.r)[c], want[size_t(c)], 2e-5 + 1e-4 * want[size_t(c)]) << c;
        // Matte equal to the transparency: alpha is the slab's opacity.
        EXPECT_NEAR(s.color.a, 1 - std::pow(0.8, 16), 1e-4);
    }
}

TEST(VolumeRender, InvisibleBoundaryLeavesDepthAndCoverageToWhatLiesBehind) {
    // The eye ray from y = 10 enters the fog box at y = 3; the ground lies at
    // distance 10. The sample's depth, coverage and label are the ground's;
    // with no ground behind, the sample covers nothing. A glass box is a
    // surface of its own: it is what the sample hits.
    const Medium fog{4, 0.8f, {0.1f, 0.05f, 0.02f}};
    json doc = slabScene(false, fog);
    auto plain = load(doc);
    vh::Renderer pr(*plain, 1);
    const auto s = pr.shadeSample(0, 2, 2, 0, 0);
    EXPECT_TRUE(s.hit);
    EXPECT_NEAR(s.depth, 10.0, 1e-3);
    json groundOnly = doc;
    groundOnly["objects"].erase(1);
    auto bare = load(groundOnly);
    vh::Renderer br(*bare, 1);
    EXPECT_EQ(s.label, br.shadeSample(0, 2, 2, 0, 0).label);

    json boxOnly = doc;
    boxOnly["objects"].erase(0);
    auto lone = load(boxOnly);
    vh::Renderer lr(*lone, 1);
    const auto m = lr.shadeSample(0, 2, 2, 0, 0);
    EXPECT_FALSE(m.hit);
    EXPECT_EQ(m.depth, 0.0);

    auto glass = load(slabScene(true, fog));
    vh::Renderer gr(*glass, 1);
    const auto g = gr.shadeSample(0, 2, 2, 0, 0);
    EXPECT_TRUE(g.hit);
    EXPECT_NEAR(g.depth, 7.0, 1e-3);
}

TEST(VolumeRender, NestingBeyondTheTrackedDepthIsReported) {
    // Concentric fog boxes around the eye ray's path: up to the tracked depth
    // nothing is said; one more, and the scene is warned about once.
    const Medium fog{1, 0.99f, {0.01f, 0.01f, 0.01f}};
    for (int boxes : {16, 17}) {
        SCOPED_TRACE(boxes);
        json doc = slabScene(false, fog);
        for (int k = 1; k < boxes; ++k) {
            json inner = doc["objects"][1];
            inner["name"] = "fogBox" + std::to_string(k);
            inner["mesh"]["size"] = {4 - 0.2 * k, 2 - 0.1 * k, 4 - 0.2 * k};
            doc["objects"].push_back(inner);
        }
        auto scene = load(doc);
        vh::Renderer r(*scene, 1);
        vt::messages();
        for (int i = 0; i < 3; ++i) r.shadeSample(0, 2, 2, 0, i);
        int warned = 0;
        for (const auto &m : vt::messages())
            if (m.text.find("volumes nested deeper than 16 are not tracked") != std::string::npos) ++warned;
        EXPECT_EQ(warned, boxes > 16 ? 1 : 0);
    }
}

TEST(VolumeRender, CameraAtmosphereOverlapsTheInterior) {
    // The atmosphere runs on each of the three segments of the eye ray
    // (above the box, inside it, below it), in two steps each (camera user
    // data); inside the box it overlaps the fog's four steps (unjittered, so
    // that the step boundaries are known).
    const Medium fog{4, 0.6f, {0.2f, 0.1f, 0.05f}};
    const Medium haze{2, 0.9f, {0.03f, 0.02f, 0.01f}};
    auto scene = load(slabScene(false, fog, {{"t", haze.t}, {"steps", haze.steps}}, 0));
    vh::Renderer r(*scene, 1);
    const auto s = r.shadeSample(0, 2, 2, 0, 0);
    auto below = throughMedia({haze}, 1.0, {kBehind[0], kBehind[1], kBehind[2]});
    auto inside = throughMedia({haze, fog}, 2.0, below);
    auto above = throughMedia({haze}, 6.9, inside);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR((&s.color.r)[c], above[size_t(c)], 1e-4) << c;
    // Not simply the product of the media taken one after the other.
    const auto serial = throughMedia({haze}, 2.0, throughMedia({fog}, 2.0, below));
    EXPECT_GT(std::fabs(serial[0] - inside[0]), 1e-3);
}

// A directional light from (1, 1, 0) over a fog box floating at y = 1 .. 2;
// the ground point x = -1.5 sees the light through the whole box height,
// the camera sees that point past the box.
double litGround(const std::string &shadows, bool withBox) {
    json nodes = {{{"name", "state"}, {"type", "veko_state"}},
                  {{"name", "grey"}, {"type", "veko_lambert"}, {"params", {{"color", {0.5, 0.5, 0.5, 1}}, {"diffuse", 0.8}}}},
                  {{"name", "greySG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "grey"}}}},
                  {{"name", "sun"}, {"type", "veko_directionallight"}, {"params", {{"useRayTraceShadows", 1}}}},
                  volumeShader("fogColour", Medium{4, 0.7f, {0.1f, 0.1f, 0.1f}}),
                  sampler("fog", "fogColour")};
    json objects = {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", "greySG"}}};
    if (withBox)
        objects.push_back({{"name", "fogBox"},
                           {"mesh", {{"type", "box"}, {"size", {2, 1, 6}}}},
                           {"transform", {{"translate", {0, 1.5, 0}}}},
                           {"volume", "fog"},
                           {"userData", {0, 0, 4, 0}}});
    json doc = {{"nodes", nodes},
                {"camera", topDownCamera(8, 8)},
                {"options", {{"autoVolume", true}, {"shadows", shadows}}},
                {"state", "state"},
                {"objects", objects},
                {"lights",
                 {{{"name", "sunLight"},
                   {"shader", "sun"},
                   {"transform", {{"lookAt", {{"eye", {1, 1, 0}}, {"target", {0, 0, 0}}, {"up", {0, 1, 0}}}}}}}}}};
    auto scene = load(doc);
    float px = -1;
    for (int x = 0; x < 8; ++x) {
        xrVector o, d;
        vh::eyeRay(*scene, x + 0.5f, 4.5f, o, d);
        if (std::fabs(o.x + 1.5f) < 1e-3f && std::fabs(o.z) < 0.6f) px = x + 0.5f;
    }
    EXPECT_GE(px, 0) << "no pixel over the ground point";
    vh::Renderer r(*scene, 1);
    return r.shadeSample(0, px, 4.5f, 0, 0).color.r;
}

TEST(VolumeRender, SegmentShadowsPassThroughTheVolume) {
    vt::messages();
    const double open = litGround("segments", false);
    ASSERT_GT(open, 0.05);
    EXPECT_NEAR(litGround("segments", true) / open, std::pow(0.7, 4), 1e-4);
    // Other shadow modes leave volumes out of shadows (and say so).
    EXPECT_NEAR(litGround("simple", true) / open, 1.0, 1e-6);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_volumesampler(): 'shadow' not 'segments'. No effect."));
}

// ---------------------------------------------------------------------------
// The outer call on the renderer's own eye state.
TEST(VolumeSampler, EarlyReturns) {
    const Medium haze{1, 0.5f, {0.1f, 0.2f, 0.3f}};
    json doc = slabScene(false, Medium{1, 0.5f, {0, 0, 0}}, {{"t", haze.t}, {"steps", 1}});
    doc["nodes"][3]["params"]["color"] = {0.1, 0.2, 0.3, 1};
    auto scene = load(doc);
    vh::Instance *atmo = vh::networkOf(*scene).find("haze");
    ASSERT_TRUE(atmo);
    vh::Renderer r(*scene, 1);
    xrState *st = r.eyeState(0);
    r.shadeSample(0, 2, 2, 0, 0);  // a fresh record on the eye state
    struct Case {
        const char *what;
        xrVector dir;
        bool autoVolume;
        xrBoolean ret;
        bool changed;
    };
    // The camera looks down -y; its image plane is the x-z plane.
    const Case cases[] = {
        {"miss towards the far plane", {0, -1, 0}, true, 2, true},
        {"miss parallel to the image plane", {1, 0, 0}, true, 2, false},
        {"miss pointing backwards", {0, 1, 0}, true, 2, false},
        {"no autoVolume", {0, -1, 0}, false, 0, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vh::optionsOf(*scene).autoVolume = c.autoVolume;
        st->rayKind = xrRAY_EYE;
        st->rayOrigin = {0, 10, 0};
        st->rayDirection = c.dir;
        st->hitRef = nullptr;
        st->hitPoint = st->rayOrigin;
        st->hitDistance = 0;
        xrColor col{0.5f, 0.5f, 0.5f, 1};
        EXPECT_EQ(vh::callShader(*atmo, st, &col), c.ret);
        if (c.changed) {
            EXPECT_NEAR(col.r, 0.5f * 0.5f + 0.1f, 1e-6);
            EXPECT_NEAR(col.b, 0.5f * 0.5f + 0.3f, 1e-6);
        } else {
            EXPECT_EQ(col.r, 0.5f);
            EXPECT_EQ(col.b, 0.5f);
        }
        // The state comes back as it was given.
        EXPECT_EQ(st->rayOrigin.y, 10.0f);
        EXPECT_EQ(st->hitDistance, 0.0);
    }
    vh::optionsOf(*scene).autoVolume = 1;

    // A shadow ray whose light is already out changes nothing.
    st->rayKind = xrRAY_SHADOW;
    st->hitRef = st;
    st->hitPoint = {0, 0, 0};
    xrColor dark{0.000001f, 0, 0.000005f, 1};
    EXPECT_EQ(vh::callShader(*atmo, st, &dark), 2);
    EXPECT_EQ(dark.r, 0.000001f);

    // Without the per-ray record.
    vh::StandaloneState bare;
    bare.options.autoVolume = 1;
    vt::messages();
    xrColor col{0.5f, 0.5f, 0.5f, 1};
    EXPECT_EQ(vh::callShader(*atmo, bare.state(), &col), 0);
    EXPECT_EQ(col.r, 0.5f);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_volumesampler(): Internal state error."));
}

TEST(VolumeSampler, MisconfiguredScenesAreReported) {
    const Medium fog{4, 0.5f, {0.3f, 0.3f, 0.3f}};
    json noAuto = slabScene(false, fog);
    noAuto["options"]["autoVolume"] = false;
    vt::messages();
    auto a = load(noAuto);
    vh::Renderer ra(*a, 1);
    const auto sa = ra.shadeSample(0, 2, 2, 0, 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_volumesampler(): Volume shading requires Autovolume."));
    EXPECT_NEAR(sa.color.r, kBehind[0], 1e-6);  // the fog box is not sampled

    json unconnected = slabScene(false, fog);
    unconnected["nodes"][2]["params"] = json::object();
    auto b = load(unconnected);
    vh::Renderer rb(*b, 1);
    const auto sb = rb.shadeSample(0, 2, 2, 0, 0);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_volumesampler(): Cannot evaluate volume shader."));
    EXPECT_NEAR(sb.color.r, kBehind[0], 1e-6);

    // A step count of two billion (a float's bits read as the count) is cut
    // to 1024 steps, said once, instead of marching for hours.
    const Medium endless{2000000000, 0.9999f, {0.001f, 0.001f, 0.001f}};
    auto c = load(slabScene(false, endless));
    vh::Renderer rc(*c, 1);
    const auto sc = rc.shadeSample(0, 2, 2, 0, 0);
    rc.shadeSample(0, 2, 2, 0, 1);
    int said = 0;
    for (auto &m : vt::messages())
        said += m.text == "veko_volumesampler(): 2000000000 march steps asked by user data; using 1024.";
    EXPECT_EQ(said, 1);
    const auto want = throughMedia({Medium{1024, endless.t, {0.001f, 0.001f, 0.001f}}}, 2.0,
                                   {kBehind[0], kBehind[1], kBehind[2]});
    EXPECT_NEAR(sc.color.r, want[0], 1e-3 * want[0]);  // float sums over 1024 steps

    // A block too short for its words (mode 2 asked, steps and jitter left
    // out) reads no further than its end; mode 2 is a direct call, which a
    // fog shader cannot take (it returns a sample, not events): it is not
    // sampled, said once, and the stack is left whole.
    json shortBlock = slabScene(false, fog);
    shortBlock["objects"][1]["userData"] = {0, 2};
    auto d = load(shortBlock);
    vh::Renderer rd(*d, 1);
    const auto sd = rd.shadeSample(0, 2, 2, 0, 0);
    rd.shadeSample(0, 2, 2, 0, 1);
    int direct = 0;
    for (auto &m : vt::messages())
        direct += m.text ==
                  "veko_volumesampler(): A volume shader that returns samples was asked for a direct call; it is not "
                  "sampled.";
    EXPECT_EQ(direct, 1);
    EXPECT_NEAR(sd.color.r, kBehind[0], 1e-6);
}

// ---------------------------------------------------------------------------
vh::ScenePtr basicScene() { return vh::loadScene(vt::library(), vt::sourcePath("scenes/volume_basic.json")); }

vh::RenderOptions small(int threads) {
    vh::RenderOptions o;
    o.threads = threads;
    o.width = 80;
    o.height = 52;
    o.samples = 2;
    o.tileSize = 8;
    o.progress = false;
    return o;
}

TEST(VolumeRender, SameImageForAnyThreadCount) {
    auto one = basicScene();
    const vh::FrameImage a = vh::render(*one, small(1));
    auto two = basicScene();
    const vh::FrameImage b = vh::render(*two, small(2));
    ASSERT_EQ(a.rgba.size(), b.rgba.size());
    EXPECT_TRUE(a.rgba == b.rgba);
}

TEST(VolumeRender, GoldenScene) {
    auto scene = basicScene();
    vt::checkGoldenImage(vh::render(*scene, small(2)), "volume_basic.png");
}

// ---------------------------------------------------------------------------
// Event integration on arrays as the sampler pops them.
veko::VolumeSampleNode event(int kind, float distance, float length, float c, float t, float matte) {
    veko::VolumeSampleNode n{};
    n.kind = kind;
    n.distance = distance;
    n.length = length;
    n.sample.outColor = {c, c, c, 1};
    n.sample.outMatteOpacity = {matte, matte, matte, 1};
    n.sample.outTransparency = {t, t, t, 1};
    return n;
}

TEST(VolumeIntegration, PointSamplesInsideASegment) {
    using veko::kVolPoint;
    using veko::kVolSegmentEnd;
    using veko::kVolSegmentStart;
    // A segment 0..2 letting 0.5 through with colour 0.3, matte opacity 0.2;
    // a point at 1 with colour 0.4, transparency 0.25, matte opacity 0.5.
    // Given out of order: the integration sorts.
    const double h = std::sqrt(0.5), e = 0.3 / 0.5;  // half-segment transmittance, emission / extinction
    const double sHalf = e * (1 - h);
    struct Case {
        const char *what;
        float pointT;
        double S, T, M, shadow;
    };
    const Case cases[] = {
        {"translucent point", 0.25f, sHalf + 0.4 * h + h * 0.25 * sHalf, 0.125,
         // matte transmittance: 0.8 over the segment, 0.5 at the point
         1 - 0.8 * 0.5, 0.125},
        {"opaque point hides what is behind", 2e7f, sHalf + 0.4 * h, 0, 1 - std::sqrt(0.8) * 0.5, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<veko::VolumeSampleNode> ev = {event(kVolSegmentEnd, 2, 2, 0.3f, 0.5f, 0.2f),
                                                  event(kVolPoint, 1, 0, 0.4f, c.pointT, 0.5f),
                                                  event(kVolSegmentStart, 0, 2, 0.3f, 0.5f, 0.2f)};
        std::vector<veko::VolumeSampleNode> shadow = ev;
        const veko::VolumeIntegral v = veko::integrateVolumeEvents(ev.data(), int(ev.size()));
        EXPECT_NEAR(v.S.r, c.S, 1e-5);
        EXPECT_NEAR(v.T.g, c.T, 1e-5);
        EXPECT_NEAR(v.M.b, c.M, 1e-5);
        EXPECT_NEAR(veko::volumeShadowTransmittance(shadow.data(), int(shadow.size())).r, c.shadow, 1e-5);
    }
}

TEST(VolumeIntegration, EqualDistancesKeepPushOrder) {
    // Two points at the same distance: the first pushed is in front.
    for (bool swapped : {false, true}) {
        auto a = event(veko::kVolPoint, 1, 0, 0.2f, 0.5f, 0.5f), b = event(veko::kVolPoint, 1, 0, 0.4f, 0.5f, 0.5f);
        std::vector<veko::VolumeSampleNode> ev = swapped ? std::vector{b, a} : std::vector{a, b};
        EXPECT_NEAR(veko::integrateVolumeEvents(ev.data(), 2).S.r, swapped ? 0.4 + 0.5 * 0.2 : 0.2 + 0.5 * 0.4, 1e-6);
    }
    // Many ties and a shuffled order sort into ascending distances with
    // ties in array order.
    std::vector<veko::VolumeSampleNode> ev;
    for (int i = 0; i < 200; ++i) ev.push_back(event(veko::kVolPoint, float((i * 37) % 11), 0, float(i), 1, 0));
    veko::sortVolumeEvents(ev.data(), int(ev.size()));
    for (size_t i = 1; i < ev.size(); ++i) {
        ASSERT_LE(ev[i - 1].distance, ev[i].distance);
        if (ev[i - 1].distance == ev[i].distance) {
            ASSERT_LT(ev[i - 1].sample.outColor.r, ev[i].sample.outColor.r);
        }
    }
}

}  // namespace

// A fog whose density follows the segment length, inside a refracting
// sphere: the march sets the segment length in the ray record's footprint
// words. The sphere's colour given as a literal or by a texture of the same
// colour (a texture reads the footprint while the surface is shaded, before
// the refraction ray is traced) must give the same picture.
TEST(VolumeRender, FogLengthUnaffectedByWhenTheSurfaceReadsItsFootprint) {
    auto doc = [](bool textured) {
        json nodes = {
            {{"name", "state"}, {"type", "veko_state"}},
            {{"name", "chk"},
             {"type", "veko_checker"},
             {"params", {{"color1", {0.02, 0.02, 0.02, 1}}, {"color2", {0.02, 0.02, 0.02, 1}}}}},
            {{"name", "glass"},
             {"type", "veko_phong"},
             {"params",
              {{"color", textured ? json("chk.outColor") : json({0.02, 0.02, 0.02, 1})},
               {"transparency", {0.9, 0.9, 0.9, 1}},
               {"refractions", 1},
               {"refractiveIndex", 1.3}}}},
            {{"name", "glassSG"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "glass"}}}},
            {{"name", "cloud"},
             {"type", "veko_volumefog"},
             {"params", {{"color", {0.7, 0.85, 1.0, 1}}, {"transparency", {0.35, 0.35, 0.35, 0}}, {"density", 1.2},
                         {"densityByLength", 1}}}},
            {{"name", "cloudVolume"}, {"type", "veko_volumesampler"}, {"params", {{"volumeShader", "cloud"}}}}};
        return json{
            {"nodes", nodes},
            {"camera", topDownCamera(8, 2.5f)},
            {"options", {{"autoVolume", true}, {"refractionDepth", 4}, {"traceDepth", 8}}},
            {"state", "state"},
            {"objects",
             {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {20, 20}}}}, {"material", behindMaterial()}},
              {{"name", "ball"},
               {"mesh", {{"type", "sphere"}, {"radius", 1}, {"segments", 32}, {"rings", 16}}},
               {"transform", {{"translate", {0, 2, 0}}}},
               {"volume", "cloudVolume"},
               {"userData", {0, 0, 12, 1}},
               {"material", "glassSG"}}}}};
    };
    vh::RenderOptions ro;
    ro.threads = 1;
    ro.samples = 1;
    ro.progress = false;
    const auto plain = vh::render(*load(doc(false)), ro);
    const auto textured = vh::render(*load(doc(true)), ro);
    ASSERT_EQ(plain.rgba.size(), textured.rgba.size());
    int fogged = 0;
    for (size_t i = 0; i < plain.rgba.size(); ++i) {
        EXPECT_FLOAT_EQ(plain.rgba[i], textured.rgba[i]) << "channel " << i;
        if (i % 4 == 0 && std::fabs(plain.rgba[i] - kBehind[0]) > 0.01f) ++fogged;
    }
    EXPECT_GT(fogged, 0) << "the sphere covers no pixel";
}
