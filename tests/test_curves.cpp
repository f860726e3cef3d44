// Animation curves through the reference host: Hermite, weighted Bezier and
// stepped segments, pre- and post-infinity of every type, the scalar and
// time drivers with their time sources and lifecycle, and frame sequences
// rendered with a time curve driving the image.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "support.h"
#include "vekohost/frames.h"
#include "vekohost/render.h"

namespace {

using vh::json;

struct Key {
    double time, value, inX, inY, outX, outY;
};

json keysJson(const std::vector<Key> &keys) {
    json a = json::array();
    for (const Key &k : keys)
        a.push_back({{"time", k.time},
                     {"value", k.value},
                     {"inTangentX", k.inX},
                     {"inTangentY", k.inY},
                     {"outTangentX", k.outX},
                     {"outTangentY", k.outY}});
    return a;
}

// ---------------------------------------------------------------------------
// Reference evaluation, written from the textbook forms: a cubic Hermite in
// the Bernstein-like basis h00..h11 with end slopes dy/dx of the tangents,
// and infinity by floor/fmod on the key range.
double refHermite(const Key &a, const Key &b, double x) {
    const double d = b.time - a.time;
    const double s = (x - a.time) / d;
    const double m0 = a.outY / a.outX, m1 = b.inY / b.inX;
    const double h00 = 2 * s * s * s - 3 * s * s + 1, h10 = s * s * s - 2 * s * s + s;
    const double h01 = -2 * s * s * s + 3 * s * s, h11 = s * s * s - s * s;
    return h00 * a.value + h10 * d * m0 + h01 * b.value + h11 * d * m1;
}

double refInside(const std::vector<Key> &k, double x) {
    for (size_t i = 0; i < k.size(); ++i)
        if (k[i].time == x) return k[i].value;
    for (size_t i = 0; i + 1 < k.size(); ++i)
        if (x > k[i].time && x < k[i + 1].time) {
            if (k[i].outX == 0 && k[i].outY == 0) return k[i].value;
            return refHermite(k[i], k[i + 1], x);
        }
    return NAN;
}

double refCurve(const std::vector<Key> &k, double x, int pre, int post) {
    const Key &f = k.front(), &l = k.back();
    const double range = l.time - f.time, rise = l.value - f.value;
    if (x >= f.time && x <= l.time) return refInside(k, x);
    const bool isPre = x < f.time;
    const int type = isPre ? pre : post;
    if (type == 0) return isPre ? f.value : l.value;
    if (type == 1) return isPre ? f.value + (x - f.time) * f.inY / f.inX : l.value + (x - l.time) * l.outY / l.outX;
    const double periods = std::floor((x - f.time) / range);  // whole key ranges from the first key
    double local = x - periods * range;                         // in [first, last)
    if (type == 3) return refInside(k, local);
    if (type == 4) return refInside(k, local) + periods * rise;
    // Oscillate: odd periods run backwards.
    if (std::fmod(std::fabs(periods), 2.0) == 1.0) local = l.time - (local - f.time);
    return refInside(k, local);
}

// Direct cubic Bezier in Bernstein form.
double bezier(double p0, double p1, double p2, double p3, double t) {
    const double s = 1 - t;
    return s * s * s * p0 + 3 * s * s * t * p1 + 3 * s * t * t * p2 + t * t * t * p3;
}

// ---------------------------------------------------------------------------
class Curves : public ::testing::Test {
protected:
    void SetUp() override {
        vh::captureMessages(true);
        vh::takeMessages();
        liveBefore = vh::liveAllocations().blocks;
    }
    void TearDown() override {
        EXPECT_EQ(vh::liveAllocations().blocks, liveBefore) << vh::liveAllocations().text;
        vh::takeMessages();
        vh::captureMessages(false);
    }

    // A network with one curve "c" and a scalar driver "s" calling it.
    struct Rig {
        vh::Network net{vt::library()};
        vh::StandaloneState ss;
        vh::Instance *curve = nullptr, *driver = nullptr;
        Rig(const std::vector<Key> &keys, bool weighted, int pre, int post) {
            net.load({{"nodes",
                       {{{"name", "c"},
                         {"type", "veko_curve"},
                         {"params",
                          {{"keys", keysJson(keys)},
                           {"weighted", weighted ? 1 : 0},
                           {"preInfinity", pre},
                           {"postInfinity", post}}}},
                        {{"name", "s"}, {"type", "veko_scalar_curve"}, {"params", {{"curve", "c"}}}}}}},
                     "curves test");
            curve = net.find("c");
            driver = net.find("s");
            net.init(ss.state());
        }
        ~Rig() { net.exit(ss.state()); }
        // The curve at x through the scalar driver.
        float at(float x) {
            *static_cast<float *>(driver->paramAddress("input")) = x;
            float out = -999.0f;
            EXPECT_TRUE(vh::callShader(*driver, ss.state(), &out));
            return out;
        }
    };
    size_t liveBefore = 0;
};

// Three keys with unequal slopes and spacing; the last key's value differs
// from the first so that cycle with offset shows its steps.
const std::vector<Key> kKeys = {
    {1.0, 2.0, 1.0, 0.5, 1.0, 0.5},
    {3.0, 5.0, 2.0, 1.0, 1.0, -1.0},
    {4.0, 3.0, 1.0, 2.0, 1.0, -3.0},
};

TEST_F(Curves, HermiteBetweenAtAndOutsideKeysForEveryInfinityType) {
    // x between keys, at keys, and out to a few key ranges (R = 3) either
    // side, including whole-range multiples and mirror points.
    const std::vector<double> xs = {1.0, 1.37, 2.0, 2.9, 3.0, 3.25, 3.999, 4.0,  // inside
                                    0.5, -0.5, -1.9, -3.2, -5.1, -6.75,        // before
                                    4.2, 5.5, 7.0, 8.6, 10.0, 12.4};           // after
    for (int type : {0, 1, 3, 4, 5}) {
        Rig rig(kKeys, false, type, type);
        for (double x : xs) {
            const double want = refCurve(kKeys, x, type, type);
            EXPECT_NEAR(rig.at(float(x)), want, 2e-4 * std::max(1.0, std::fabs(want))) << "type " << type << " x " << x;
        }
    }
    EXPECT_TRUE(vt::messages().empty());
}

TEST_F(Curves, HandComputedInfinityValues) {
    struct Case {
        int pre, post;
        double x, want;
    };
    // R = 3, last - first value = 1. Values inside: c(2.5) by the reference
    // Hermite, c(1) = 2, c(4) = 3.
    const double c25 = refHermite(kKeys[0], kKeys[1], 2.5), c15 = refHermite(kKeys[0], kKeys[1], 1.5);
    const Case cases[] = {
        {0, 0, -10, 2},                 // constant before
        {0, 0, 40, 3},                  // constant after
        {1, 1, -1, 2 - 2 * 0.5},        // linear: slope inY/inX = 0.5
        {1, 1, 6, 3 + 2 * -3.0},        // linear: slope outY/outX = -3
        {4, 4, 1 - 1.5 * 3, c25 - 2},   // cycle with offset: k0 - 1.5R is c(k_last - 0.5R) - 2 rises
        {4, 4, 4 + 0.5 * 3, c25 + 1},   // one range after: + 1 rise
        {4, 4, 4 + 3, 2 + 2},           // exactly a range after the last key: first value + 2 rises
        {3, 3, 4 + 3 + 0.5, c15},       // cycle: 7.5 wraps to 1.5
        {5, 5, 4 + 1.5, c25},           // oscillate: mirrored at the last key
        {5, 5, 1 - 0.5, c15},           // mirrored at the first key
        {5, 5, 4 + 3 + 0.5, c15},       // second range after runs forwards again
        {3, 3, 1 - 3, 3},               // a whole range before the first key: the last key's value
    };
    for (const Case &c : cases) {
        Rig rig(kKeys, false, c.pre, c.post);
        EXPECT_NEAR(rig.at(float(c.x)), c.want, 1e-4) << "pre " << c.pre << " post " << c.post << " x " << c.x;
    }
}

TEST_F(Curves, SteppedKeysHoldTheirValueUpToTheNextKey) {
    const std::vector<Key> keys = {{0, 1, 1, 0, 0, 0}, {2, 4, 1, 0, 1, 1}, {3, 6, 1, 0, 1, 0}};
    for (bool weighted : {false, true}) {
        Rig rig(keys, weighted, 0, 0);
        for (float x : {0.0f, 0.01f, 1.0f, 1.999f}) EXPECT_EQ(rig.at(x), 1.0f) << weighted << " " << x;
        EXPECT_EQ(rig.at(2.0f), 4.0f);
        EXPECT_GT(rig.at(2.5f), 4.0f);  // the next segment is not stepped
        EXPECT_EQ(rig.at(3.0f), 6.0f);
    }
}

TEST_F(Curves, WeightedSegmentsFollowTheCubicBezier) {
    // Segment from (x0, y0) to (x3, y3) with handles (x1, y1), (x2, y2):
    // out tangent = 3 * (handle - start), in tangent = 3 * (end - handle).
    struct Seg {
        double x0, y0, x1, y1, x2, y2, x3, y3;
    };
    const Seg segs[] = {
        {0, 0, 1.0 / 3, 1, 2.0 / 3, -1, 1, 0.5},   // time handles at 1/3, 2/3: linear time
        {0, 0, 0.1, 2, 0.4, 2, 1, 1},              // handles bunched at the start
        {2, 1, 2.9, 1.2, 3.1, -3, 4, 0},           // handles near the middle
        {10, -2, 14, 5, 15, 5, 20, -2},            // long segment, time handles 0.4 and 0.5
        {0, 0, 1, 1, 1, 1, 1, 1},                  // both handles at the end
    };
    for (const Seg &s : segs) {
        const std::vector<Key> keys = {{s.x0, s.y0, 1, 0, 3 * (s.x1 - s.x0), 3 * (s.y1 - s.y0)},
                                       {s.x3, s.y3, 3 * (s.x3 - s.x2), 3 * (s.y3 - s.y2), 1, 0}};
        Rig rig(keys, true, 0, 0);
        for (int i = 0; i <= 20; ++i) {
            const double t = i / 20.0;
            const double x = bezier(s.x0, s.x1, s.x2, s.x3, t), y = bezier(s.y0, s.y1, s.y2, s.y3, t);
            EXPECT_NEAR(rig.at(float(x)), y, 2e-3 * std::max(1.0, std::fabs(y))) << "segment " << s.x0 << " t " << t;
        }
    }
    EXPECT_TRUE(vt::messages().empty());
}

TEST_F(Curves, WeightedHandlesThatFoldTimeBackAreShortened) {
    // Time handles at 1.3 and 0.1 of the duration make time run backwards
    // inside the segment. The out handle stays; the in handle is pulled to
    // u2 = 1 - w, with w the monotonicity bound (h - g)/2 - 1e-5 for
    // g = u1 - 2, h = sqrt(u1 (4 - 3 u1)): w = 0.5302776 - 1e-5. Its value is
    // scaled along the handle by w / 0.9.
    const double u1 = 1.3, w = 0.5302776 - 1e-5, u2 = 1 - w;
    const double y1 = 2, y2old = -1, y3 = 1;
    const double y2 = y3 - (y3 - y2old) * w / 0.9;
    const std::vector<Key> keys = {{0, 0, 1, 0, 3 * u1, 3 * y1}, {1, y3, 3 * 0.9, 3 * (y3 - y2old), 1, 0}};
    Rig rig(keys, true, 0, 0);
    double lastX = -1;
    for (int i = 0; i <= 20; ++i) {
        const double t = i / 20.0;
        const double x = bezier(0, u1, u2, 1, t), y = bezier(0, y1, y2, y3, t);
        EXPECT_GE(x, lastX);  // the corrected time polynomial is monotonic
        lastX = x;
        if (i == 15) continue;  // below
        EXPECT_NEAR(rig.at(float(x)), y, 2e-3) << "t " << t;
    }
    EXPECT_TRUE(vt::messages().empty());
    // The corrected time polynomial is nearly flat around t = 0.6: Newton
    // from t = 0.5 overshoots there and has not settled within its steps
    // for the time at t = 0.75. The curve warns and gives the value at t = 0.
    EXPECT_EQ(rig.at(float(bezier(0, u1, u2, 1, 0.75))), 0.0f);
    EXPECT_TRUE(vt::hasMessage(vt::messages(), "veko_curve(): Newton approximation has not converged!"));
}

TEST_F(Curves, EmptyKeysFailAndSingleKeysHoldOutside) {
    {
        Rig rig({}, false, 0, 0);
        float io = 7.5f;
        EXPECT_FALSE(vh::callShader(*rig.curve, rig.ss.state(), &io));
        EXPECT_EQ(io, 7.5f);  // untouched
    }
    for (int type : {0, 1, 3, 4, 5}) {
        Rig rig({{2, 9, 0, 1, 0, 1}}, type == 1, type, type);  // tangent x 0: linear holds too
        for (float x : {-100.0f, 1.0f, 2.0f, 3.0f, 1e6f}) EXPECT_EQ(rig.at(x), 9.0f) << type << " " << x;
    }
    EXPECT_TRUE(vt::messages().empty());
}

TEST_F(Curves, UnsupportedInfinityTypesWarnAndStillGiveAValue) {
    for (int type : {2, 6, -1}) {
        Rig rig(kKeys, false, type, type);
        const float before = rig.at(-3.0f), after = rig.at(9.0f);
        EXPECT_TRUE(std::isfinite(before) && std::isfinite(after));
        auto m = vt::messages();
        EXPECT_TRUE(vt::hasMessage(m, "veko_curve(): Unsupported pre-infinity type!")) << type;
        EXPECT_TRUE(vt::hasMessage(m, "veko_curve(): Unsupported post-infinity type!")) << type;
        // Inside the keys nothing is reported.
        rig.at(2.0f);
        EXPECT_TRUE(vt::messages().empty());
    }
}

TEST_F(Curves, ADriverNamingItselfAsItsCurveIsCutOff) {
    vh::Network net(vt::library());
    net.load({{"nodes", {{{"name", "s"}, {"type", "veko_scalar_curve"}, {"params", {{"input", 1}, {"curve", "s"}}}}}}},
             "loop test");
    vh::StandaloneState ss;
    net.init(ss.state());
    float out = 0;
    EXPECT_FALSE(vh::callShader(*net.find("s"), ss.state(), &out));
    bool reported = false;
    for (const auto &m : vt::messages())
        reported = reported || (m.severity == vh::Severity::Error && m.text.find("node s is called more than") != std::string::npos);
    EXPECT_TRUE(reported);
    net.exit(ss.state());
}

// ---------------------------------------------------------------------------
// The time driver: frame + sample time, the camera's time range, or a
// connected input.
TEST_F(Curves, TimeCurveTimeSources) {
    // A linear curve value = 10 * time with linear infinity, so the value
    // shows the time the driver passed in.
    const std::vector<Key> line = {{0, 0, 1, 10, 1, 10}, {1, 10, 1, 10, 1, 10}};
    auto build = [&](vh::Network &net, bool connected) {
        json nodes = {{{"name", "c"},
                       {"type", "veko_curve"},
                       {"params", {{"keys", keysJson(line)}, {"preInfinity", 1}, {"postInfinity", 1}}}},
                      {{"name", "t"}, {"type", "veko_time_curve"}, {"params", {{"curve", "c"}}}},
                      {{"name", "src"}, {"type", "veko_scalar_curve"}, {"params", {{"input", 0.25}, {"curve", "c"}}}}};
        if (connected) nodes[1]["params"]["input"] = "src.outValue";
        net.load({{"nodes", nodes}}, "time test");
    };
    auto timeOf = [](vh::Network &net, vh::StandaloneState &ss) {
        float out = -1;
        EXPECT_TRUE(vh::callShader(*net.find("t"), ss.state(), &out));
        vh::newSample(ss.state());
        return out / 10.0f;
    };
    {  // frame value + sample time
        vh::Network net(vt::library());
        build(net, false);
        vh::StandaloneState ss;
        ss.camera.frameValue = 12;
        ss.state()->sampleTime = 0.25f;
        net.init(ss.state());
        EXPECT_NEAR(timeOf(net, ss), 12.25f, 1e-4);
        net.exit(ss.state());
    }
    // A camera block with words 14 < 15 gives the range; a block whose
    // range is empty, or a short block without those words, is ignored.
    for (float end : {8.0f, 4.0f, 0.0f}) {
        std::vector<uint32_t> words(end == 0.0f ? 3 : 15, 0);
        const float start = 4.0f;
        if (end != 0.0f) {
            std::memcpy(&words[13], &start, 4);
            std::memcpy(&words[14], &end, 4);
        }
        const xrTag block = vh::createUserData(0x56656B6Fu, words);
        vh::Network net(vt::library());
        build(net, false);
        vh::StandaloneState ss;
        ss.camera.frameValue = 20;
        ss.camera.cameraDataTag = block;
        ss.state()->sampleTime = 0.5f;
        net.init(ss.state());
        EXPECT_NEAR(timeOf(net, ss), end > start ? 6.0f : 20.5f, 1e-4) << end;
        EXPECT_EQ(vh::Database::get().pins(block), 0);
        net.exit(ss.state());
        EXPECT_EQ(net.find("t")->userPointer, nullptr);
        vh::Database::get().remove(block);
    }
    {  // a connected input wins
        vh::Network net(vt::library());
        build(net, true);
        vh::StandaloneState ss;
        ss.camera.frameValue = 12;
        net.init(ss.state());
        // The source runs the same curve on 0.25: the time curve sees 2.5.
        EXPECT_NEAR(timeOf(net, ss), 2.5f, 1e-4);
        net.exit(ss.state());
    }
}

// ---------------------------------------------------------------------------
// Frame lists and numbered names.
TEST(Frames, ListsAndNames) {
    EXPECT_EQ(vh::parseFrameList("7"), (std::vector<long>{7}));
    EXPECT_EQ(vh::parseFrameList("1-4"), (std::vector<long>{1, 2, 3, 4}));
    EXPECT_EQ(vh::parseFrameList("3-1,10"), (std::vector<long>{3, 2, 1, 10}));
    EXPECT_EQ(vh::parseFrameList("-2--1,0"), (std::vector<long>{-2, -1, 0}));
    for (const char *bad : {"", "a", "1-", "1,,2", "1-2-3", "+4", "1 - 3", "0-2000000"})
        EXPECT_THROW(vh::parseFrameList(bad), vh::Error) << bad;

    EXPECT_EQ(vh::frameFileName("out.####.exr", 7), "out.0007.exr");
    EXPECT_EQ(vh::frameFileName("out.#.exr", 123), "out.123.exr");
    EXPECT_EQ(vh::frameFileName("a#_##.png", 5), "a5_05.png");
    EXPECT_EQ(vh::frameFileName("out.####.exr", -3), "out.-0003.exr");
    EXPECT_EQ(vh::frameFileName("plain.exr", 9), "plain.exr");
}

// ---------------------------------------------------------------------------
// Frame sequences: a 4 x 4 view of a plane whose incandescence is a grey of
// the time curve's value; black otherwise, so every pixel shows the curve.
class FrameSequence : public ::testing::Test {
protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() / ("vekocurves_" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        vh::captureMessages(true);
        vh::takeMessages();
    }
    void TearDown() override {
        std::filesystem::remove_all(dir);
        vh::takeMessages();
        vh::captureMessages(false);
    }
    // Curve over frames 1..5: stepped at frame 4, post-infinity cycle.
    static json curveKeys() {
        return keysJson({{1, 0.1, 1, 0.2, 1, 0.2}, {3, 0.5, 1, 0.2, 0, 0}, {4, 0.9, 1, 0, 1, -0.4}, {5, 0.5, 1, -0.4, 1, -0.4}});
    }
    std::string writeScene(const json &options = json::object(), int samples = 1) {
        json doc = {
            {"nodes",
             {{{"name", "state"}, {"type", "veko_state"}},
              {{"name", "curve"}, {"type", "veko_curve"}, {"params", {{"keys", curveKeys()}, {"postInfinity", 3}}}},
              {{"name", "time"}, {"type", "veko_time_curve"}, {"params", {{"curve", "curve"}}}},
              {{"name", "grey"},
               {"type", "veko_blend"},
               {"params", {{"blender", "time.outValue"}, {"color1", {1, 1, 1, 1}}, {"color2", {0, 0, 0, 1}}}}},
              {{"name", "glow"},
               {"type", "veko_lambert"},
               {"params", {{"color", {0, 0, 0, 1}}, {"diffuse", 0}, {"incandescence", "grey.outColor"}}}},
              {{"name", "sg"}, {"type", "veko_shadingengine"}, {"params", {{"surfaceShader", "glow"}}}}}},
            {"camera",
             {{"type", "orthographic"},
              {"resolution", {4, 4}},
              {"aperture", 2},
              {"samples", samples},
              {"transform", {{"lookAt", {{"eye", {0, 5, 0}}, {"target", {0, 0, 0}}, {"up", {0, 0, -1}}}}}}}},
            {"options", options},
            {"state", "state"},
            {"objects", {{{"name", "ground"}, {"mesh", {{"type", "plane"}, {"size", {10, 10}}}}, {"material", "sg"}}}}};
        const auto path = dir / "scene.json";
        std::ofstream(path) << doc.dump(1);
        return path.string();
    }
    vh::RenderOptions opts(const std::string &output) const {
        vh::RenderOptions o;
        o.threads = 2;
        o.progress = false;
        o.outputs = {(dir / output).string()};
        return o;
    }
    // Mean red of an image file.
    static float meanRed(const std::string &path) {
        vh::FrameImage img = vh::readImage(path);
        double sum = 0;
        for (int y = 0; y < img.height; ++y)
            for (int x = 0; x < img.width; ++x) sum += img.pixel(x, y)[0];
        return float(sum / (img.width * img.height));
    }
    std::filesystem::path dir;
};

TEST_F(FrameSequence, NumberedFilesFollowTheCurve) {
    const std::string scene = writeScene();
    vh::RenderOptions o = opts("out.####.exr");
    o.frames = vh::parseFrameList("1-8");
    const size_t live = vh::liveAllocations().blocks;
    vh::renderFrames(vt::library(), scene, o);
    EXPECT_EQ(vh::liveAllocations().blocks, live) << vh::liveAllocations().text;
    // Frame 2 is half way up the first segment (straight: slopes 0.2 equal
    // the chord), 3.5 would not be reached (stepped), frames 6..8 cycle
    // back to frames 2..4 (range 4).
    const float want[] = {0.1f, 0.3f, 0.5f, 0.9f, 0.5f, 0.3f, 0.5f, 0.9f};
    for (int f = 1; f <= 8; ++f) {
        const auto file = dir / vh::frameFileName("out.####.exr", f);
        ASSERT_TRUE(std::filesystem::exists(file)) << file;
        vh::FrameImage img = vh::readImage(file.string());
        ASSERT_EQ(img.width, 4);
        for (int y = 0; y < 4; ++y)
            for (int x = 0; x < 4; ++x)
                for (int c = 0; c < 3; ++c) EXPECT_NEAR(img.pixel(x, y)[c], want[f - 1], 1e-4) << "frame " << f;
    }

    // A frame rendered alone, as a farm hands it out, equals the same frame
    // of the sequence.
    vh::RenderOptions one = opts("alone.####.exr");
    one.frames = vh::parseFrameList("7");
    vh::renderFrames(vt::library(), scene, one);
    EXPECT_EQ(meanRed((dir / "alone.0007.exr").string()), meanRed((dir / "out.0007.exr").string()));
    EXPECT_FALSE(std::filesystem::exists(dir / "alone.0006.exr"));
}

TEST_F(FrameSequence, SampleTimeFromTheSceneOrTheShutter) {
    // Without motion blur every ray has the scene's "time": frame 1 + 1.5.
    {
        json doc = json::parse(std::ifstream(writeScene()));
        doc["camera"]["time"] = 1.5;
        std::ofstream(dir / "timed.json") << doc.dump();
        vh::RenderOptions o = opts("timed.exr");
        vh::renderFrames(vt::library(), (dir / "timed.json").string(), o);
        EXPECT_NEAR(meanRed((dir / "timed.exr").string()), 0.4f, 1e-4);  // c(2.5) on the straight segment
        o.hasTime = true;  // the command line overrides the scene
        o.time = 0.5f;
        vh::renderFrames(vt::library(), (dir / "timed.json").string(), o);
        EXPECT_NEAR(meanRed((dir / "timed.exr").string()), 0.2f, 1e-4);
    }
    // With motion blur the samples spread over the shutter [0, 1]: frame 1
    // averages the straight segment from 1 to 2, i.e. about c(1.5) = 0.2.
    const std::string blurred = writeScene({{"motionBlur", true}, {"shutter", {0, 1}}}, 27);
    vh::RenderOptions o = opts("blur.exr");
    vh::renderFrames(vt::library(), blurred, o);
    vh::FrameImage img = vh::readImage((dir / "blur.exr").string());
    float lo = 1, hi = 0;
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            lo = std::min(lo, img.pixel(x, y)[0]);
            hi = std::max(hi, img.pixel(x, y)[0]);
            EXPECT_NEAR(img.pixel(x, y)[0], 0.2f, 0.2f * 0.04f);  // 27 stratified samples of a line
        }
    EXPECT_LT(lo, hi);  // pixels rotate their time pattern
}

TEST_F(FrameSequence, UnnumberedOutputsForSeveralFramesAreRefused) {
    const std::string scene = writeScene();
    vh::RenderOptions o = opts("same.exr");
    o.frames = {1, 2};
    try {
        vh::renderFrames(vt::library(), scene, o);
        FAIL() << "expected an error";
    } catch (const vh::Error &e) {
        EXPECT_NE(std::string(e.what()).find("has no '#' run"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(dir / "same.exr"));
}

}  // namespace

namespace {

// The example scene: the ball's colour follows a curve from blue (frame 1)
// to orange (frame 13) and back.
TEST_F(FrameSequence, ExampleSceneAnimatesTheBall) {
    vh::RenderOptions o = opts("example.####.exr");
    o.frames = {1, 13};
    o.width = 32;
    o.height = 20;
    o.samples = 1;
    vh::renderFrames(vt::library(), VEKO_SOURCE_DIR "/scenes/animated.json", o);
    const vh::FrameImage first = vh::readImage((dir / "example.0001.exr").string());
    const vh::FrameImage middle = vh::readImage((dir / "example.0013.exr").string());
    const float *blue = first.pixel(16, 8), *orange = middle.pixel(16, 8);
    EXPECT_GT(blue[2], 1.5f * blue[0]);
    EXPECT_GT(orange[0], 1.5f * orange[2]);
}

}  // namespace
