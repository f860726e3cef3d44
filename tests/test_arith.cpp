// Arithmetic and conditional nodes, called through the reference host with
// parameter blocks laid out from the declarations.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include <vekohost/host.h>

#include "vecmath.h"

namespace {

using vh::json;

constexpr float kUnset = 777.0f;  // prefilled result words: "not written"
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

struct Call {
    xrBoolean ok = 0;
    std::vector<float> out;
    std::vector<std::string> warnings;
};

class Arith : public ::testing::Test {
protected:
    static void SetUpTestSuite() { lib = new vh::Library(vh::Library::defaultPath()); }
    static void TearDownTestSuite() {
        delete lib;
        lib = nullptr;
    }
    void SetUp() override {
        vh::captureMessages(true);
        vh::takeMessages();
    }
    void TearDown() override {
        vh::takeMessages();
        vh::captureMessages(false);
    }

    static std::vector<std::string> warnings() {
        std::vector<std::string> w;
        for (auto &m : vh::takeMessages())
            if (m.severity == vh::Severity::Warning) w.push_back(m.text);
        return w;
    }

    // Calls instance `node` of `net` once with a prefilled result.
    static Call call(vh::Network &net, const std::string &node) {
        vh::StandaloneState ss;
        net.init(ss.state());
        vh::takeMessages();
        vh::Instance &inst = *net.find(node);
        Call c;
        c.out.assign(std::max(8, inst.decl->resultBytes / 4), kUnset);
        c.ok = vh::callShader(inst, ss.state(), c.out.data());
        c.warnings = warnings();
        return c;
    }

    // One node with literal parameters; `extra` may write the block directly
    // (values JSON cannot carry, such as NaN).
    static Call run(const std::string &type, const json &params,
                    const std::function<void(vh::Instance &)> &extra = {}) {
        vh::Network net(*lib);
        vh::Instance &n = net.add("n", type);
        for (auto &[k, v] : params.items()) n.setLiteral(k, v);
        if (extra) extra(n);
        return call(net, "n");
    }

    static vh::Library *lib;
};
vh::Library *Arith::lib = nullptr;

void expectWords(const Call &c, const std::vector<float> &want, const std::string &what) {
    for (size_t i = 0; i < want.size(); ++i) {
        if (std::isnan(want[i]))
            EXPECT_TRUE(std::isnan(c.out[i])) << what << " word " << i;
        else if (std::isinf(want[i]))
            EXPECT_EQ(c.out[i], want[i]) << what << " word " << i;
        else
            EXPECT_NEAR(c.out[i], want[i], 1e-5f) << what << " word " << i;
    }
}

void expectInvalid(const Call &c, const std::string &node, size_t words) {
    EXPECT_EQ(c.ok, 0) << node;
    ASSERT_EQ(c.warnings.size(), 1u) << node;
    EXPECT_EQ(c.warnings[0], node + "(): Invalid operation.");
    for (size_t i = 0; i < words; ++i) EXPECT_EQ(c.out[i], kUnset) << node << " word " << i;
}

// ---------------------------------------------------------------------------
TEST_F(Arith, BlendCopiesWholeColourAtEndsAndMixesRgbBetween) {
    const json c1 = {0.2, 0.4, 0.6, 0.9}, c2 = {1.0, 0.0, 0.5, 0.1};
    struct Case {
        float b;
        std::vector<float> want;
    } cases[] = {
        {0.0f, {1.0f, 0.0f, 0.5f, 0.1f}},
        {1.0f, {0.2f, 0.4f, 0.6f, 0.9f}},
        {0.25f, {0.8f, 0.1f, 0.525f, kUnset}},  // alpha left as the caller had it
        {-1.0f, {1.8f, -0.4f, 0.4f, kUnset}},
    };
    for (const Case &k : cases) {
        Call c = run("veko_blend", {{"blender", k.b}, {"color1", c1}, {"color2", c2}});
        EXPECT_EQ(c.ok, 1);
        expectWords(c, k.want, "blender " + std::to_string(k.b));
    }
}

TEST_F(Arith, ClampLimitsEachComponentAndPassesInvertedRanges) {
    // r: inside; g: below; b: above; a: min > max passes unchanged.
    Call c = run("veko_clamp", {{"input", {0.5, -1.0, 2.0, 0.7}},
                                {"min", {0.0, 0.0, 0.0, 0.8}},
                                {"max", {1.0, 1.0, 1.5, 0.5}}});
    EXPECT_EQ(c.ok, 1);
    expectWords(c, {0.5f, 0.0f, 1.5f, 0.7f}, "clamp");

    // Inverted range on red only; min == max pins the value.
    c = run("veko_clamp", {{"input", {3.0, 3.0, -3.0, 0.0}},
                           {"min", {2.0, 0.0, 0.25, 0.0}},
                           {"max", {1.0, 1.0, 0.25, 0.0}}});
    expectWords(c, {3.0f, 1.0f, 0.25f, 0.0f}, "clamp inverted red");
}

TEST_F(Arith, ConditionOperationsTable) {
    const json yes = {1.0, 0.0, 0.0, 0.5}, no = {0.0, 1.0, 0.0, 0.25};
    const std::vector<float> wantYes = {1, 0, 0, 0.5f}, wantNo = {0, 1, 0, 0.25f};
    const float terms[][2] = {{1, 2}, {2, 2}, {3, 2}};
    // expected[op][pair]
    const bool expected[6][3] = {
        {false, true, false},  // ==
        {true, false, true},   // !=
        {false, false, true},  // >
        {false, true, true},   // >=
        {true, false, false},  // <
        {true, true, false},   // <=
    };
    for (int op = 0; op < 6; ++op) {
        for (int t = 0; t < 3; ++t) {
            Call c = run("veko_condition", {{"operation", op}, {"firstTerm", terms[t][0]},
                                            {"secondTerm", terms[t][1]},
                                            {"colorIfTrue", yes}, {"colorIfFalse", no}});
            EXPECT_EQ(c.ok, 1);
            expectWords(c, expected[op][t] ? wantYes : wantNo,
                        "op " + std::to_string(op) + " pair " + std::to_string(t));
        }
    }
}

TEST_F(Arith, ConditionWithNaNIsOnlyUnequal) {
    const json yes = {1.0, 0.0, 0.0, 0.5}, no = {0.0, 1.0, 0.0, 0.25};
    // NaN in the first, the second or both terms.
    const int nanIn[][2] = {{1, 0}, {0, 1}, {1, 1}};
    for (int op = 0; op < 6; ++op) {
        for (auto &where : nanIn) {
            Call c = run("veko_condition",
                         {{"operation", op}, {"firstTerm", 2.0}, {"secondTerm", 2.0},
                          {"colorIfTrue", yes}, {"colorIfFalse", no}},
                         [&](vh::Instance &n) {
                             if (where[0]) *static_cast<float *>(n.paramAddress("firstTerm")) = kNaN;
                             if (where[1]) *static_cast<float *>(n.paramAddress("secondTerm")) = kNaN;
                         });
            EXPECT_EQ(c.ok, 1);
            expectWords(c, op == 1 ? std::vector<float>{1, 0, 0, 0.5f} : std::vector<float>{0, 1, 0, 0.25f},
                        "NaN op " + std::to_string(op));
        }
    }
}

TEST_F(Arith, InvalidOperationsWarnAndWriteNothing) {
    struct Case {
        const char *node;
        int op;
        size_t words;
    } cases[] = {
        {"veko_condition", 6, 4},     {"veko_condition", -1, 4},
        {"veko_multdiv", 4, 3},       {"veko_multdiv", -1, 3},
        {"veko_plusminusavg", 4, 7},  {"veko_plusminusavg", -2, 7},
        {"veko_vectorproduct", 5, 3}, {"veko_vectorproduct", -1, 3},
    };
    for (const Case &k : cases) {
        json params = {{"operation", k.op}};
        if (std::string(k.node) == "veko_plusminusavg")
            params["input1D"] = {1.0, 2.0};
        Call c = run(k.node, params);
        expectInvalid(c, k.node, k.words);
    }
}

TEST_F(Arith, DistanceBetweenTransformsBothPoints) {
    const json ident = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const json scale2 = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 1};
    const json moveX3 = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 3, 0, 0, 1};  // translation row
    struct Case {
        json m1, m2;
        float want;
    } cases[] = {
        {ident, ident, 5.0f},                 // (1,2,3) - (4,6,3)
        {scale2, ident, std::sqrt(17.0f)},    // (2,4,6) - (4,6,3)
        {moveX3, ident, 4.0f},                // (4,2,3) - (4,6,3)
        {ident, moveX3, std::sqrt(52.0f)},    // (1,2,3) - (7,6,3)
    };
    for (const Case &k : cases) {
        Call c = run("veko_distancebetween", {{"point1", {1, 2, 3}}, {"inMatrix1", k.m1},
                                              {"point2", {4, 6, 3}}, {"inMatrix2", k.m2}});
        EXPECT_EQ(c.ok, 1);
        EXPECT_NEAR(c.out[0], k.want, 1e-5f);
        EXPECT_EQ(c.out[1], kUnset);
    }
}

TEST_F(Arith, MultDivOperations) {
    struct Case {
        int op;
        std::vector<float> want;
    } cases[] = {
        {0, {2, 3, 4}},
        {1, {8, 0, 2}},
        {2, {0.5f, kInf, 8}},  // unguarded: a zero divisor gives infinity
        {3, {16, 1, 2}},
    };
    for (const Case &k : cases) {
        Call c = run("veko_multdiv", {{"operation", k.op}, {"input1", {2, 3, 4}}, {"input2", {4, 0, 0.5}}});
        EXPECT_EQ(c.ok, 1);
        expectWords(c, k.want, "multdiv op " + std::to_string(k.op));
    }
    Call c = run("veko_multdiv", {{"operation", 2}, {"input1", {0, -1, 1}}, {"input2", {0, 0, 0}}});
    expectWords(c, {kNaN, -kInf, kInf}, "multdiv zero divisors");
}

TEST_F(Arith, PlusMinusAvgReducesEachArray) {
    const json in1 = {1.0, 2.0, 4.0};
    const json in2 = {{1, 2, 3}, {10, 20, 30}};
    const json in3 = {{0.5, 0, -1}, {1, 1, 1}, {2, 2, 2}, {4, 4, 4}};
    struct Case {
        int op;
        std::vector<float> want;  // output1D, output2D, output3D
    } cases[] = {
        {0, {1, 1, 2, 3, 0.5f, 0, -1}},
        {1, {7, 11, 22, 33, 7.5f, 7, 6}},
        {2, {-5, -9, -18, -27, -6.5f, -7, -8}},
        {3, {7.0f / 3, 5.5f, 11, 16.5f, 7.5f / 4, 7.0f / 4, 1.5f}},
    };
    for (const Case &k : cases) {
        Call c = run("veko_plusminusavg", {{"operation", k.op}, {"input1D", in1}, {"input2D", in2}, {"input3D", in3}});
        EXPECT_EQ(c.ok, 1);
        expectWords(c, k.want, "plusminusavg op " + std::to_string(k.op));
    }
}

TEST_F(Arith, PlusMinusAvgSingleAndEmptyArrays) {
    // One element: every operation gives that element. Empty input2D leaves
    // its output untouched.
    for (int op = 0; op < 4; ++op) {
        Call c = run("veko_plusminusavg", {{"operation", op}, {"input1D", {2.5}}, {"input3D", {{1, -2, 3}}}});
        EXPECT_EQ(c.ok, 1);
        expectWords(c, {2.5f, kUnset, kUnset, kUnset, 1, -2, 3}, "single op " + std::to_string(op));
    }
    Call c = run("veko_plusminusavg", {{"operation", 3}});
    EXPECT_EQ(c.ok, 1);
    EXPECT_TRUE(c.warnings.empty());
    expectWords(c, std::vector<float>(7, kUnset), "all empty");
}

TEST_F(Arith, PlusMinusAvgEvaluatesConnectedElements) {
    vh::Network net(*lib);
    vh::Instance &d = net.add("d", "veko_distancebetween");  // 5
    d.setLiteral("point2", {3, 4, 0});
    vh::Instance &r = net.add("r", "veko_reverse");  // (0.5, 1, -1)
    r.setLiteral("input", {0.5, 0, 2});
    vh::Instance &p = net.add("p", "veko_plusminusavg");
    p.setLiteral("operation", 1);
    p.setLiteral("input1D", {1.0, 0.0, 10.0});
    p.setLiteral("input3D", {{9, 9, 9}, {1, 1, 1}});  // element 0 comes from r
    net.connect(p, "input1D[1]", "d.outValue");
    net.connect(p, "input3D[0]", "r.output");
    Call c = call(net, "p");
    EXPECT_EQ(c.ok, 1);
    expectWords(c, {16, kUnset, kUnset, kUnset, 1.5f, 2, 0}, "connected elements");
}

TEST_F(Arith, ReverseAndSetRange) {
    Call c = run("veko_reverse", {{"input", {0.25, 1, -1}}});
    EXPECT_EQ(c.ok, 1);
    expectWords(c, {0.75f, 0, 2}, "reverse");

    struct Case {
        const char *what;
        std::vector<float> value, oldMin, oldMax, want;  // min (0,10,-1), max (1,20,1)
    } cases[] = {
        {"inside", {5, 0.25f, 0}, {0, 0, -1}, {10, 1, 1}, {0.5f, 12.5f, 0}},
        {"at and beyond ends", {0, 1, 7}, {0, 0, 0}, {1, 1, 1}, {0, 20, 1}},
        {"below and above", {-5, 5, 0.5f}, {0, 0, 0}, {1, 1, 1}, {0, 20, 0}},
        {"degenerate range keeps value", {3, -4, 0.5f}, {2, 2, 2}, {2, 2, 2}, {3, -4, 0.5f}},
        // oldMin > oldMax: up to oldMin gives min, anything above gives max.
        {"inverted", {1, 0.5f, 1.5f}, {1, 1, 1}, {0, 0, 0}, {0, 10, 1}},
    };
    for (const Case &k : cases) {
        c = run("veko_setrange", {{"value", k.value}, {"min", {0, 10, -1}}, {"max", {1, 20, 1}},
                                  {"oldMin", k.oldMin}, {"oldMax", k.oldMax}});
        EXPECT_EQ(c.ok, 1);
        expectWords(c, k.want, k.what);
    }
}

TEST_F(Arith, VectorProductOperations) {
    const json moveAndScale = {2, 0, 0, 0, 0, 2, 0, 0, 0, 0, 2, 0, 1, 2, 3, 1};  // scale 2, then translate
    struct Case {
        const char *what;
        int op;
        bool norm;
        std::vector<float> in1, in2, want;
    } cases[] = {
        {"none", 0, false, {3, 0, 4}, {9, 9, 9}, {3, 0, 4}},
        {"none normalized", 0, true, {3, 0, 4}, {9, 9, 9}, {0.6f, 0, 0.8f}},
        {"dot", 1, false, {1, 2, 3}, {4, -5, 6}, {12, 12, 12}},
        {"dot normalized", 1, true, {2, 0, 0}, {3, 3, 0}, {std::sqrt(0.5f), std::sqrt(0.5f), std::sqrt(0.5f)}},
        {"tiny dot not normalized", 1, true, {1e-3f, 0, 0}, {1e-3f, 5, 0}, {1e-6f, 1e-6f, 1e-6f}},
        {"cross", 2, false, {1, 0, 0}, {0, 2, 0}, {0, 0, 2}},
        {"cross normalized", 2, true, {1, 0, 0}, {0, 2, 0}, {0, 0, 1}},
        {"zero cross normalized", 2, true, {1, 2, 3}, {2, 4, 6}, {0, 0, 0}},
        {"vector matrix", 3, false, {1, 1, 0}, {0, 0, 0}, {2, 2, 0}},
        {"point matrix", 4, false, {1, 1, 0}, {0, 0, 0}, {3, 4, 3}},
        {"point matrix normalized", 4, true, {0, 0, 0}, {0, 0, 0}, {1 / std::sqrt(14.0f), 2 / std::sqrt(14.0f), 3 / std::sqrt(14.0f)}},
    };
    for (const Case &k : cases) {
        Call c = run("veko_vectorproduct", {{"operation", k.op}, {"input1", k.in1}, {"input2", k.in2},
                                            {"matrix", moveAndScale}, {"normalizeOutput", k.norm}});
        EXPECT_EQ(c.ok, 1);
        expectWords(c, k.want, k.what);
    }
}

// Unneeded parameters are not evaluated: each is connected to a node that
// warns whenever it is evaluated (an invalid operation). The first case of
// each group shows the tripwire does fire when the parameter is needed.
TEST_F(Arith, UnneededParametersAreNotEvaluated) {
    struct Case {
        const char *what;
        const char *type;
        json params;
        const char *param;
        const char *trip;  // tripwire field: colour, vector or scalar
        bool fires;
    } cases[] = {
        {"blend mix needs color2", "veko_blend", {{"blender", 0.5}}, "color2", "tc.outColor", true},
        {"blend 1 skips color2", "veko_blend", {{"blender", 1.0}}, "color2", "tc.outColor", false},
        {"blend 0 skips color1", "veko_blend", {{"blender", 0.0}}, "color1", "tc.outColor", false},
        {"condition false needs colorIfFalse", "veko_condition", {{"operation", 1}}, "colorIfFalse", "tc.outColor", true},
        {"condition false skips colorIfTrue", "veko_condition", {{"operation", 1}}, "colorIfTrue", "tc.outColor", false},
        {"invalid multdiv skips inputs", "veko_multdiv", {{"operation", 7}}, "input1", "tv.output", false},
        {"multdiv 1 needs input2", "veko_multdiv", {{"operation", 1}}, "input2", "tv.output", true},
        {"multdiv 0 skips input2", "veko_multdiv", {{"operation", 0}}, "input2", "tv.output", false},
        {"vectorproduct 0 skips input2", "veko_vectorproduct", {{"operation", 0}}, "input2", "tv.output", false},
        {"vectorproduct 4 skips input2", "veko_vectorproduct", {{"operation", 4}}, "input2", "tv.output", false},
        {"setrange inside needs max", "veko_setrange",
         {{"value", {0.5, 0.5, 0.5}}, {"oldMax", {1, 1, 1}}}, "max", "tv.output", true},
        {"setrange below skips max", "veko_setrange",
         {{"value", {-1, -1, -1}}, {"oldMax", {1, 1, 1}}}, "max", "tv.output", false},
        {"setrange degenerate skips min", "veko_setrange", {{"value", {5, 5, 5}}}, "min", "tv.output", false},
        {"plusminusavg sum needs later elements", "veko_plusminusavg",
         {{"operation", 1}, {"input1D", {1.0, 2.0, 3.0}}}, "input1D[2]", "ts.output1D", true},
        {"plusminusavg first skips later elements", "veko_plusminusavg",
         {{"operation", 0}, {"input1D", {1.0, 2.0, 3.0}}}, "input1D[2]", "ts.output1D", false},
    };
    for (const Case &k : cases) {
        vh::Network net(*lib);
        net.add("tc", "veko_condition").setLiteral("operation", 9);
        net.add("tv", "veko_vectorproduct").setLiteral("operation", 9);
        net.add("ts", "veko_plusminusavg").setLiteral("operation", 9);
        vh::Instance &n = net.add("n", k.type);
        for (auto &[name, v] : k.params.items()) n.setLiteral(name, v);
        net.connect(n, k.param, k.trip);
        Call c = call(net, "n");
        const std::string tripNode = k.trip[1] == 'c' ? "veko_condition"
                                     : k.trip[1] == 'v' ? "veko_vectorproduct" : "veko_plusminusavg";
        bool fired = false;
        for (auto &w : c.warnings) fired |= w == tripNode + "(): Invalid operation.";
        EXPECT_EQ(fired, k.fires) << k.what;
    }
}

// The colour maximum the nodes use for ray weights is an inline stand-in for
// std::fmax: a NaN channel is passed over, as fmax passes it over.
TEST(ColourMaximum, FollowsFmaxIncludingNaN) {
    const float cases[][3] = {{0.2f, 0.5f, 0.1f}, {-1.0f, -3.0f, -2.0f}, {kNaN, 0.3f, 0.1f}, {0.3f, kNaN, 0.7f},
                              {0.3f, 0.1f, kNaN}, {kNaN, kNaN, -0.5f}, {kInf, kNaN, 1.0f}, {-kInf, kNaN, kNaN}};
    for (const auto &c : cases) {
        const float want = std::fmax(c[0], std::fmax(c[1], c[2]));
        EXPECT_EQ(veko::maxRGB(xrColor{c[0], c[1], c[2], 9.0f}), want) << c[0] << " " << c[1] << " " << c[2];
    }
    EXPECT_TRUE(std::isnan(veko::maxRGB(xrColor{kNaN, kNaN, kNaN, 0.0f})));
}

}  // namespace
