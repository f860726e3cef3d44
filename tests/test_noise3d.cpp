// 3D members of the noise family (classic, billow, wave, wispy, space-time)
// and the 3D texture input stage. Both are internal to the library, so this
// suite compiles them in and binds their host operations to the reference
// host, as test_noise does. Expected values are computed here from the noise
// core (noise3, noise4, randomValue), which test_noise covers on its own.
#include <dlfcn.h>

#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "fractal2d.h"
#include "noise.h"
#include "support.h"
#include "texture.h"

extern "C" void xrSetModuleHandle(void *handle);

namespace {

using namespace veko;

class Noise3d : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xrSetModuleHandle(dlopen(nullptr, RTLD_NOW)); }
};

const char *typeName(int t) {
    static const char *names[] = {"classic", "billow", "wave", "wispy", "space-time"};
    return t >= 0 && t < 5 ? names[t] : "other";
}

float eval3(int type, float x, float y, float z, const NoiseSettings &s) {
    float p[3] = {x, y, z};
    return noiseFamily3(type, p, s);
}

// A grid of points spread over several lattice periods, negatives included.
std::vector<std::array<float, 3>> grid() {
    std::vector<std::array<float, 3>> g;
    for (int i = 0; i < 6; ++i)
        for (int j = 0; j < 6; ++j)
            for (int k = 0; k < 6; ++k)
                g.push_back({-3.1f + 1.37f * i, -2.3f + 0.91f * j, -1.7f + 1.13f * k});
    return g;
}

double R(int i) { return randomValue(i); }

// The octave direction: the first nonzero triple at 10k.
void direction(int k, double d[3]) {
    for (int j = 0;; ++j) {
        double l = 0;
        for (int a = 0; a < 3; ++a) {
            d[a] = R(10 * k + 3 * j + a);
            l += d[a] * d[a];
        }
        if (l > 0) {
            for (int a = 0; a < 3; ++a) d[a] /= std::sqrt(l);
            return;
        }
    }
}

// The classic family in 3D written out from its description (no implode).
double referenceClassic3(const float in[3], const NoiseSettings &s, bool wispy, bool spaceTime) {
    double p[3], off[3] = {0, 0, 0};
    const double step[3] = {0.02, 0.3, 0.01};
    for (int a = 0; a < 3; ++a) {
        p[a] = double(in[a]) * s.frequency * 0.0625 / s.scale[a] + s.origin[a];
    }
    double time = s.time, amp = s.amplitude, sum = 0;
    for (int k = 0; k < s.depthMax; ++k) {
        double q[3], d[3];
        direction(k, d);
        for (int a = 0; a < 3; ++a) {
            off[a] += step[a];
            q[a] = p[a] + off[a];
        }
        double o;
        if (wispy) {
            const double r = time * 0.3 * 0.0625 + k * 0.5;
            const double w = noise3(r * d[0] + 0.1 * q[0], r * d[1] + 0.1 * q[1], r * d[2] + 0.1 * q[2]) * 0.3125;
            for (int a = 0; a < 3; ++a) {
                q[a] += w * d[a];
                p[a] += w * d[a] / 2;
            }
            o = spaceTime ? noise4(q[0], q[1], q[2], time, s.timeResolution) : noise3(q[0], q[1], q[2]);
        } else if (spaceTime) {
            o = noise4(q[0], q[1], q[2], time * 0.1, s.timeResolution);
        } else {
            const double c = k * 0.5 + time * 0.0625;
            o = noise3(q[0] + d[0] * c, q[1] + d[1] * c, q[2] + d[2] * c);
        }
        time *= std::sqrt(double(s.frequencyRatio));
        for (double &v : p) v *= s.frequencyRatio;
        if (s.inflection) o = std::fabs(o);
        sum += o * amp;
        amp *= s.ratio;
    }
    const double v = s.inflection ? sum + s.threshold : sum / 2 + 0.5 + s.threshold;
    return std::min(v, 1.0);
}

double amplitudeSum(const NoiseSettings &s) {
    double a = std::fabs(s.amplitude), t = 0;
    for (int k = 0; k < s.depthMax; ++k, a *= std::fabs(s.ratio)) t += a;
    return t;
}

// ---------------------------------------------------------------------------
// Range, finiteness, determinism

TEST_F(Noise3d, EveryMemberStaysInItsRangeOverAGrid) {
    struct Case {
        const char *name;
        NoiseSettings s;
    };
    std::vector<Case> cases;
    cases.push_back({"defaults", {}});
    {
        NoiseSettings s;
        s.inflection = true;
        s.threshold = 0.1f;
        cases.push_back({"inflection", s});
    }
    {
        NoiseSettings s;
        s.time = 2.3f;
        s.implode = 0.4f;
        s.implodeCenter[0] = 0.5f;
        s.depthMax = 6;
        s.ratio = 0.5f;
        s.amplitude = 0.8f;
        s.threshold = -0.2f;
        s.frequencyRatio = 2.7f;
        s.sizeRand = 0.7f;
        s.spottyness = 0.9f;
        s.falloff = 3;
        s.numWaves = 9;
        s.scale[1] = 0.0f;  // counts as 0.00001
        s.origin[2] = 4.0f;
        cases.push_back({"animated, imploded, six octaves", s});
    }
    for (const Case &c : cases) {
        const double A = amplitudeSum(c.s), th = c.s.threshold;
        for (int type = 0; type < 5; ++type) {
            SCOPED_TRACE(std::string(c.name) + " / " + typeName(type));
            double lo, hi;
            if (type == kNoiseBillow) {
                lo = th;  // spots are never negative
                hi = 1;
            } else if (c.s.inflection) {
                lo = th;
                hi = std::min(1.0, A + th);
            } else {
                lo = 0.5 - A / 2 + th;
                hi = std::min(1.0, 0.5 + A / 2 + th);
            }
            double mn = 1e9, mx = -1e9;
            for (const auto &g : grid()) {
                const float v = eval3(type, g[0], g[1], g[2], c.s);
                ASSERT_TRUE(std::isfinite(v)) << g[0] << " " << g[1] << " " << g[2];
                ASSERT_GE(v, lo - 1e-5) << g[0] << " " << g[1] << " " << g[2];
                ASSERT_LE(v, hi + 1e-5) << g[0] << " " << g[1] << " " << g[2];
                mn = std::min(mn, double(v));
                mx = std::max(mx, double(v));
            }
            EXPECT_GT(mx - mn, 0.05) << "flat pattern";
        }
    }
}

TEST_F(Noise3d, MembersAreDeterministicAndThreadSafe) {
    NoiseSettings s;
    s.time = 1.7f;
    s.implode = 0.3f;
    s.sizeRand = 0.5f;
    const auto g = grid();
    std::vector<float> ref, refPoints;
    for (int type = 0; type < 5; ++type)
        for (const auto &q : g) {
            float p[3] = {q[0], q[1], q[2]};
            ref.push_back(noiseFamily3(type, p, s));
            refPoints.insert(refPoints.end(), p, p + 3);
        }
    auto run = [&](std::vector<float> &out, std::vector<float> &points) {
        for (int type = 0; type < 5; ++type)
            for (const auto &q : g) {
                float p[3] = {q[0], q[1], q[2]};
                out.push_back(noiseFamily3(type, p, s));
                points.insert(points.end(), p, p + 3);
            }
    };
    std::vector<float> out[4], points[4];
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(run, std::ref(out[t]), std::ref(points[t]));
    for (auto &t : threads) t.join();
    for (int t = 0; t < 4; ++t) {
        EXPECT_EQ(out[t], ref);  // bit for bit
        EXPECT_EQ(points[t], refPoints);
    }
}

TEST_F(Noise3d, UnknownTypesGiveZero) {
    for (int type : {-1, 5, 7, 1000})
        EXPECT_EQ(eval3(type, 0.3f, 0.4f, 0.5f, NoiseSettings{}), 0.0f) << type;
}

// ---------------------------------------------------------------------------
// Classic family against the written-out octave sum

TEST_F(Noise3d, ClassicFamilyMatchesItsOctaveSum) {
    struct Case {
        const char *name;
        int type;
        int depth;
        float time;
        bool inflection;
        float scale[3];
        float origin[3];
    };
    const Case cases[] = {
        {"classic, one octave", kNoiseClassic, 1, 0.0f, false, {1, 1, 1}, {0, 0, 0}},
        {"classic, animated", kNoiseClassic, 4, 3.3f, false, {1, 1, 1}, {0, 0, 0}},
        {"classic, inflection", kNoiseClassic, 3, 0.7f, true, {1, 1, 1}, {0, 0, 0}},
        {"classic, scale and origin", kNoiseClassic, 3, 0.0f, false, {2, 0.5f, -4}, {0.3f, 7, -1}},
        {"wispy", kNoiseWispy, 4, 1.9f, false, {1, 1, 1}, {0, 0, 0}},
        {"wispy, scale and origin", kNoiseWispy, 2, 0.0f, false, {3, 1, 0.5f}, {1, 2, 3}},
        {"space-time", kNoiseSpaceTime, 3, 2.45f, false, {1, 1, 1}, {0, 0, 0}},
        {"space-time, inflection", kNoiseSpaceTime, 2, 0.3f, true, {1, 1, 1}, {0, 0, 0}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        NoiseSettings s;
        s.depthMax = c.depth;
        s.time = c.time;
        s.inflection = c.inflection;
        s.frequency = 5.0f;
        s.frequencyRatio = 2.1f;
        s.ratio = 0.6f;
        s.amplitude = 0.9f;
        s.threshold = 0.05f;
        s.timeResolution = 37;
        for (int a = 0; a < 3; ++a) {
            s.scale[a] = c.scale[a];
            s.origin[a] = c.origin[a];
        }
        for (const auto &g : grid()) {
            const float in[3] = {g[0] * 0.3f, g[1] * 0.3f, g[2] * 0.3f};
            float p[3] = {in[0], in[1], in[2]};
            const float v = noiseFamily3(c.type, p, s);
            const double ref = referenceClassic3(in, s, c.type == kNoiseWispy, c.type == kNoiseSpaceTime);
            ASSERT_NEAR(v, ref, 2e-4) << in[0] << " " << in[1] << " " << in[2];
        }
    }
}

TEST_F(Noise3d, ScaleAndOriginApplyToClassicAndBillowButNotToWave) {
    // Dividing by the scale and adding the origin equals starting from the
    // point that lands there directly.
    NoiseSettings moved;
    moved.scale[0] = 2.0f;
    moved.scale[1] = -0.5f;
    moved.scale[2] = 4.0f;
    moved.origin[0] = 0.25f;
    moved.origin[1] = -1.0f;
    moved.origin[2] = 0.5f;
    moved.time = 0.8f;
    const NoiseSettings plain = [&] {
        NoiseSettings s = moved;
        for (int a = 0; a < 3; ++a) {
            s.scale[a] = 1.0f;
            s.origin[a] = 0.0f;
        }
        return s;
    }();
    for (int type : {kNoiseClassic, kNoiseBillow, kNoiseWave}) {
        SCOPED_TRACE(typeName(type));
        const double k = type == kNoiseBillow ? plain.frequency / 20.0 : plain.frequency * 0.0625;
        for (const auto &g : grid()) {
            float p[3] = {g[0], g[1], g[2]}, q[3];
            for (int a = 0; a < 3; ++a) q[a] = float(g[a] / moved.scale[a] + moved.origin[a] / k);
            const float vMoved = noiseFamily3(type, p, moved);
            if (type == kNoiseWave) {
                EXPECT_EQ(vMoved, eval3(type, g[0], g[1], g[2], plain));
            } else {
                ASSERT_NEAR(vMoved, noiseFamily3(type, q, plain), 2e-4);
            }
        }
        // A zero scale component counts as 0.00001.
        NoiseSettings zero = moved, tiny = moved;
        zero.scale[1] = 0.0f;
        tiny.scale[1] = 0.00001f;
        for (const auto &g : grid()) {
            const float v = eval3(type, g[0], g[1], g[2], zero);
            ASSERT_TRUE(std::isfinite(v));
            ASSERT_EQ(v, eval3(type, g[0], g[1], g[2], tiny));
        }
    }
}

// ---------------------------------------------------------------------------
// Implode

TEST_F(Noise3d, ImplodeWarpsTheDistanceToTheCentre) {
    const float c[3] = {0.4f, -0.3f, 1.2f};
    const float dir[3] = {0.48f, 0.6f, 0.64f};  // unit
    struct Case {
        float implode;
        float dist;
        float warped;  // expected distance after the warp: dist^(1 - implode)
    };
    const Case cases[] = {
        {0.0f, 2.5f, 2.5f},       {0.5f, 4.0f, 2.0f},  {0.5f, 0.25f, 0.5f}, {1.0f, 3.0f, 1.0f},
        {1.0f, 0.2f, 1.0f},       {-1.0f, 3.0f, 9.0f}, {0.000005f, 3.0f, 3.0f},
        {0.7f, 0.000005f, 0.000005f},  // at the centre: left alone
    };
    for (const Case &k : cases) {
        for (int type = 0; type < 5; ++type) {
            SCOPED_TRACE(std::string(typeName(type)) + " implode " + std::to_string(k.implode) +
                         " at " + std::to_string(k.dist));
            NoiseSettings s;
            s.time = 0.6f;
            s.implode = k.implode;
            for (int a = 0; a < 3; ++a) s.implodeCenter[a] = c[a];
            NoiseSettings flat = s;
            flat.implode = 0.0f;
            const float v = eval3(type, c[0] + dir[0] * k.dist, c[1] + dir[1] * k.dist, c[2] + dir[2] * k.dist, s);
            const float w = eval3(type, c[0] + dir[0] * k.warped, c[1] + dir[1] * k.warped,
                                  c[2] + dir[2] * k.warped, flat);
            EXPECT_NEAR(v, w, 1e-4);
        }
    }
}

// ---------------------------------------------------------------------------
// Inflection and the one-octave relation

TEST_F(Noise3d, InflectionFoldsASingleOctave) {
    // With one octave: folded = |o|, unfolded = o/2 + 1/2.
    for (int type : {kNoiseClassic, kNoiseWave, kNoiseWispy, kNoiseSpaceTime}) {
        SCOPED_TRACE(typeName(type));
        NoiseSettings s;
        s.depthMax = 1;
        s.time = 0.9f;
        NoiseSettings f = s;
        f.inflection = true;
        for (const auto &g : grid()) {
            const float a = eval3(type, g[0], g[1], g[2], s), b = eval3(type, g[0], g[1], g[2], f);
            ASSERT_NEAR(b, std::fabs(2 * a - 1), 2e-6);
        }
    }
}

// ---------------------------------------------------------------------------
// Wave

TEST_F(Noise3d, WaveTimeShiftsThePhaseByHalfTurns) {
    // One octave: time t adds t·π to every wave's phase, so t = 1 mirrors
    // the value about 1/2 and t = 2 restores it.
    for (int waves : {1, 3, 8}) {
        SCOPED_TRACE(waves);
        NoiseSettings s;
        s.depthMax = 1;
        s.numWaves = waves;
        s.frequency = 1.3f;
        NoiseSettings t1 = s, t2 = s;
        t1.time = 1.0f;
        t2.time = 2.0f;
        for (const auto &g : grid()) {
            const float v0 = eval3(kNoiseWave, g[0], g[1], g[2], s);
            ASSERT_NEAR(eval3(kNoiseWave, g[0], g[1], g[2], t1), 1.0f - v0, 1e-5);
            ASSERT_NEAR(eval3(kNoiseWave, g[0], g[1], g[2], t2), v0, 1e-5);
        }
    }
}

TEST_F(Noise3d, SingleWaveIsAPlaneWaveOfTheGivenFrequency) {
    // One wave of one octave: 1/2 + cos(phase + 2π·frequency·d·p)/2 with a
    // unit direction d. Along any line the value is periodic with the
    // wavelength 1/(frequency·|d·line|) and it never changes across the
    // wave fronts. Find d from the values themselves: the fronts are the
    // level sets, so the gradient direction is the same everywhere.
    NoiseSettings s;
    s.depthMax = 1;
    s.numWaves = 1;
    s.frequency = 0.7f;
    auto value = [&](double x, double y, double z) { return double(eval3(kNoiseWave, x, y, z, s)); };
    // argument a(p) = acos(2v - 1) is linear where the cosine is monotone;
    // use the numerical gradient at two far apart points.
    auto gradient = [&](double x, double y, double z, double g[3]) {
        const double h = 1e-3;
        g[0] = value(x + h, y, z) - value(x - h, y, z);
        g[1] = value(x, y + h, z) - value(x, y - h, z);
        g[2] = value(x, y, z + h) - value(x, y, z - h);
        const double l = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
        for (int a = 0; a < 3; ++a) g[a] /= l;
    };
    double g1[3], g2[3];
    gradient(0.11, 0.07, 0.05, g1);
    gradient(3.3, -2.9, 5.1, g2);
    const double dot = g1[0] * g2[0] + g1[1] * g2[1] + g1[2] * g2[2];
    EXPECT_NEAR(std::fabs(dot), 1.0, 1e-3);  // plane fronts
    // Along the normal the period is exactly 1/frequency.
    const double period = 1.0 / s.frequency;
    for (double t : {0.0, 0.13, 0.4, 0.77}) {
        const double x = 0.2 + g1[0] * t, y = -0.1 + g1[1] * t, z = 0.3 + g1[2] * t;
        EXPECT_NEAR(value(x + g1[0] * period, y + g1[1] * period, z + g1[2] * period), value(x, y, z), 1e-4);
        // Half a period mirrors about 1/2.
        EXPECT_NEAR(value(x + g1[0] * period / 2, y + g1[1] * period / 2, z + g1[2] * period / 2),
                    1.0 - value(x, y, z), 1e-4);
    }
    // Across the normal nothing changes.
    double across[3] = {g1[1], -g1[0], 0.0};
    const double l = std::hypot(across[0], across[1]);
    for (double &a : across) a /= l;
    for (double t : {0.5, 2.0, 9.0})
        EXPECT_NEAR(value(0.2 + across[0] * t, -0.1 + across[1] * t, 0.3), value(0.2, -0.1, 0.3), 1e-4);
}

TEST_F(Noise3d, WaveCountsOutsideTheMeaningfulRangeStayFinite) {
    // Below 1 the average is undefined; any count must still give a value in
    // range without hanging (huge counts are bounded).
    for (int waves : {0, -5, 1, 2, 100000000}) {
        SCOPED_TRACE(waves);
        NoiseSettings s;
        s.numWaves = waves;
        s.depthMax = 2;
        const float v = eval3(kNoiseWave, 0.3f, 0.6f, -0.2f, s);
        EXPECT_TRUE(std::isfinite(v));
        EXPECT_GE(v, 0.5f - 0.5f * 1.707f - 1e-5f);
        EXPECT_LE(v, 1.0f);
    }
}

// ---------------------------------------------------------------------------
// Billow

// Point whose billow lookup for octave 0 lands at offset (fx, fy, fz) of
// cell (cx, cy, cz); frequency 20 makes the billow scale 1. The first
// octave's offset is one step: (0.021, 0.33) as in 2D, and 0.011 along z.
void billowPoint(int cx, int cy, int cz, float fx, float fy, float fz, float p[3]) {
    const float c[3] = {float(cx), float(cy), float(cz)}, f[3] = {fx, fy, fz};
    const double off[3] = {0.021, 0.33, 0.011};
    for (int a = 0; a < 3; ++a) p[a] = float((c[a] + f[a]) / 20.0 - off[a]);
}

NoiseSettings oneBillowOctave() {
    NoiseSettings s;
    s.frequency = 20.0f;
    s.depthMax = 1;
    s.randomness = 0.0f;  // spots sit at their cell centres
    s.density = 0.5f;
    s.spottyness = 0.0f;
    s.sizeRand = 0.0f;
    return s;
}

TEST_F(Noise3d, BillowFalloffShapesTheSpot) {
    // 0.3 from the centre along x with density 0.5: d² = 0.09·2/0.5 = 0.36;
    // the neighbour centre 0.7 away has d² = 1.96 and adds nothing.
    struct Case {
        int falloff;
        float expected;
    };
    const Case cases[] = {{0, 0.4f},     {1, 0.352f},   {2, 0.64f},
                          {3, 0.396f},   {4, 0.0f},     {-1, 0.0f}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.falloff);
        NoiseSettings s = oneBillowOctave();
        s.falloff = c.falloff;
        float p[3];
        billowPoint(3, 5, 7, 0.8f, 0.5f, 0.5f, p);
        EXPECT_NEAR(noiseBillow3(p, s), c.expected, 1e-4);
    }
    // Falloff 3 past the ring: d² = 0.95 gives 1 - (1.045 - 1)·10.
    NoiseSettings s = oneBillowOctave();
    s.falloff = 3;
    s.density = 1.0f;
    const float dx = std::sqrt(0.95f / 2.0f);
    float p[3];
    billowPoint(3, 5, 7, 0.5f + dx, 0.5f, 0.5f, p);
    // The neighbour at 1 - dx (d² = 2(1 - dx)²) also lies inside.
    const float dn = 2.0f * (1.0f - dx) * (1.0f - dx) * 1.1f;
    EXPECT_NEAR(noiseBillow3(p, s), 1.0f - (0.95f * 1.1f - 1.0f) * 10.0f + dn, 2e-3);
}

TEST_F(Noise3d, BillowSpottynessUsesTheCellsBrightness) {
    // Cell (3, 5, 7) of the 20³ grid is index 3 + 20·5 + 400·7; brightness
    // draws R(c + 4), size R(c + 3).
    const int c = 3 + 20 * 5 + 400 * 7;
    NoiseSettings s = oneBillowOctave();
    s.spottyness = 0.6f;
    float p[3];
    billowPoint(3, 5, 7, 0.5f, 0.5f, 0.5f, p);
    EXPECT_NEAR(noiseBillow3(p, s), (R(c + 4) + 1) * 0.6 + 0.4, 1e-4);

    s.spottyness = 0.0f;
    s.sizeRand = 0.8f;
    billowPoint(3, 5, 7, 0.8f, 0.5f, 0.5f, p);
    const double size = (R(c + 3) - 1) * 0.8 / 2 + 1;
    EXPECT_NEAR(noiseBillow3(p, s), std::max(0.0, 1 - 0.36 / size), 1e-4);
}

TEST_F(Noise3d, BillowSpotsWanderWithTheirOwnPhases) {
    // The spot of cell c sits at 0.5 + (sin(R(c)·2π + 2t), cos(R(c+1)·2π + 1.5t),
    // cos(R(c+2)·2π + t))·randomness/2. A point placed there reads the full
    // spot (linear falloff, small density: no neighbour reaches it).
    const int cx = 3, cy = 5, cz = 7, c = cx + 20 * cy + 400 * cz;
    const double twoPi = 6.283185307179586;
    for (float t : {0.0f, 0.9f, 2.6f}) {
        SCOPED_TRACE(t);
        NoiseSettings s = oneBillowOctave();
        s.randomness = 0.6f;
        s.density = 0.3f;
        s.falloff = 0;
        s.time = t;
        const double f[3] = {0.5 + std::sin(R(c) * twoPi + 2.0 * t) * 0.3, 0.5 + std::cos(R(c + 1) * twoPi + 1.5 * t) * 0.3,
                             0.5 + std::cos(R(c + 2) * twoPi + t) * 0.3};
        float p[3];
        billowPoint(cx, cy, cz, float(f[0]), float(f[1]), float(f[2]), p);
        EXPECT_NEAR(noiseBillow3(p, s), 1.0f, 2e-3);
        // 0.1 away along z: 1 - √(0.01·2/0.3).
        billowPoint(cx, cy, cz, float(f[0]), float(f[1]), float(f[2] + 0.1), p);
        EXPECT_NEAR(noiseBillow3(p, s), 1.0 - std::sqrt(0.02 / 0.3), 2e-3);
    }
}

TEST_F(Noise3d, BillowSizeRandomnessOnlyShrinksSpots) {
    NoiseSettings s;
    s.spottyness = 0.4f;
    s.time = 0.7f;
    int smaller = 0;
    for (float sr : {0.3f, 1.0f, 1.6f}) {  // above 1 some spots vanish entirely
        NoiseSettings r = s;
        r.sizeRand = sr;
        for (const auto &g : grid()) {
            const float a = eval3(kNoiseBillow, g[0], g[1], g[2], s), b = eval3(kNoiseBillow, g[0], g[1], g[2], r);
            ASSERT_TRUE(std::isfinite(b));
            ASSERT_LE(b, a + 1e-6) << sr;
            smaller += b < a - 1e-4;
        }
    }
    EXPECT_GT(smaller, 50);
}

TEST_F(Noise3d, BillowWithoutRandomnessIgnoresTimeAndFullRandomnessIsEmpty) {
    NoiseSettings s;
    s.randomness = 0.0f;
    s.threshold = 0.1f;
    NoiseSettings t = s;
    t.time = 3.7f;
    for (const auto &g : grid()) EXPECT_EQ(eval3(kNoiseBillow, g[0], g[1], g[2], s), eval3(kNoiseBillow, g[0], g[1], g[2], t));

    // D = min(density, 2 - randomness): randomness 2 or a density below
    // 0.0001 leave no spots, so only the threshold remains.
    struct Case {
        float randomness, density;
    };
    for (Case c : {Case{2.0f, 1.0f}, Case{2.5f, 1.0f}, Case{1.0f, 0.00005f}, Case{1.0f, -1.0f},
                   Case{1.0f, std::numeric_limits<float>::quiet_NaN()}}) {
        NoiseSettings e;
        e.randomness = c.randomness;
        e.density = c.density;
        e.threshold = 0.25f;
        for (const auto &g : grid()) ASSERT_EQ(eval3(kNoiseBillow, g[0], g[1], g[2], e), 0.25f) << c.randomness << " " << c.density;
    }
}

TEST_F(Noise3d, BillowAveragesOverTheWeightsAndScalesByAmplitudeOnce) {
    NoiseSettings s;
    s.depthMax = 3;
    s.ratio = 0.5f;
    s.spottyness = 0.0f;
    NoiseSettings half = s;
    half.amplitude = 0.5f;
    // Octave 1 of a two-octave sum is octave 0 at the point moved by the
    // frequency ratio and one more offset step, at time·√ratio.
    NoiseSettings two = s, one = s;
    two.depthMax = 2;
    two.time = 0.6f;
    two.frequencyRatio = 3.0f;
    two.amplitude = 0.8f;
    one.depthMax = 1;
    one.amplitude = 1.0f;
    const double k = s.frequency / 20.0, off[3] = {0.021, 0.33, 0.011};
    for (const auto &g : grid()) {
        const float a = eval3(kNoiseBillow, g[0], g[1], g[2], s);
        if (a < 1.0f) {
            ASSERT_NEAR(eval3(kNoiseBillow, g[0], g[1], g[2], half), a * 0.5f, 1e-6);
        }
        one.time = two.time;
        const double o0 = eval3(kNoiseBillow, g[0], g[1], g[2], one);
        one.time = two.time * std::sqrt(3.0f);
        float q[3];
        for (int i = 0; i < 3; ++i) q[i] = float(g[i] * 3.0 + off[i] / k);
        const double o1 = noiseBillow3(q, one);
        if (o0 < 1.0 && o1 < 1.0) {  // uncapped
            ASSERT_NEAR(eval3(kNoiseBillow, g[0], g[1], g[2], two), (o0 + 0.5 * o1) / 1.5 * 0.8, 2e-4);
        }
    }
    // Weights 1, -1 sum to zero: no meaningful average, a finite value.
    NoiseSettings z = s;
    z.depthMax = 2;
    z.ratio = -1.0f;
    for (const auto &g : grid()) ASSERT_TRUE(std::isfinite(eval3(kNoiseBillow, g[0], g[1], g[2], z)));
}

TEST_F(Noise3d, BillowGridIsPeriodic) {
    // 20 cells per unit of the scaled point, octaves doubling: a shift of
    // 20/frequency along any axis repeats every octave.
    NoiseSettings s;
    s.time = 0.4f;
    const float shift = 20.0f / s.frequency;
    for (const auto &g : grid())
        for (int a = 0; a < 3; ++a) {
            float q[3] = {g[0], g[1], g[2]};
            q[a] += shift;
            ASSERT_NEAR(eval3(kNoiseBillow, q[0], q[1], q[2], s), eval3(kNoiseBillow, g[0], g[1], g[2], s), 2e-3);
        }
}

// ---------------------------------------------------------------------------
// Wild inputs

TEST_F(Noise3d, WildSettingsGiveFiniteValues) {
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        const char *name;
        NoiseSettings s;
    };
    std::vector<Case> cases;
    auto add = [&](const char *n, auto f) {
        NoiseSettings s;
        f(s);
        cases.push_back({n, s});
    };
    add("depthMax huge", [](NoiseSettings &s) { s.depthMax = 2000000000; });
    add("depthMax negative", [](NoiseSettings &s) { s.depthMax = -4; });
    add("frequencyRatio negative", [](NoiseSettings &s) { s.frequencyRatio = -2.0f; s.time = 1.0f; });
    add("frequency huge", [](NoiseSettings &s) { s.frequency = 1e30f; });
    add("time huge", [](NoiseSettings &s) { s.time = 1e30f; });
    add("sizeRand huge", [](NoiseSettings &s) { s.sizeRand = 1e20f; });
    add("timeResolution huge", [](NoiseSettings &s) { s.timeResolution = 2000000000; s.time = 0.3f; });
    add("timeResolution negative", [](NoiseSettings &s) { s.timeResolution = -7; s.time = 0.3f; });
    add("time infinite", [&](NoiseSettings &s) { s.time = inf; });
    add("time NaN", [&](NoiseSettings &s) { s.time = nan; });
    for (const Case &c : cases)
        for (int type = 0; type < 5; ++type) {
            // A non-finite time in the wave: see the disabled wave test below.
            if (type == kNoiseWave && !std::isfinite(c.s.time)) continue;
            SCOPED_TRACE(std::string(c.name) + " / " + typeName(type));
            for (const auto &g : grid()) {
                const float v = eval3(type, g[0] * 0.1f, g[1] * 0.1f, g[2] * 0.1f, c.s);
                ASSERT_TRUE(std::isfinite(v)) << g[0] << " " << g[1] << " " << g[2];
                ASSERT_LE(v, 1.0f);
            }
        }
}

const float kInf = std::numeric_limits<float>::infinity(), kNan = std::numeric_limits<float>::quiet_NaN();
// Points far out (the last one overflows the float range once scaled), then
// infinite and NaN coordinates.
const float kFarPoints[][3] = {{1e20f, 0.5f, 0.5f}, {-3e9f, 2e9f, 1e38f}};
const float kNonFinitePoints[][3] = {{kInf, 0.2f, 0.1f}, {0.3f, -kInf, 0.1f}, {kNan, 0.2f, 0.1f}, {0.3f, 0.2f, kNan}};

template <size_t M>
void expectFiniteAt(int type, const float (&points)[M][3]) {
    for (const auto &q : points) {
        SCOPED_TRACE(std::string(typeName(type)) + " at " + std::to_string(q[0]) + " " + std::to_string(q[1]) +
                     " " + std::to_string(q[2]));
        const float v = eval3(type, q[0], q[1], q[2], NoiseSettings{});
        EXPECT_TRUE(std::isfinite(v));
        EXPECT_LE(v, 1.0f);
    }
}

// A huge implode throws points near the centre to infinity.
void expectFiniteWhenImplodedToInfinity(int type) {
    NoiseSettings s;
    s.implode = 60.0f;
    const float v = eval3(type, 0.01f, 0.02f, 0.0f, s);
    EXPECT_TRUE(std::isfinite(v)) << typeName(type) << " imploded";
}

TEST_F(Noise3d, WildPointsGiveFiniteValues) {
    for (int type : {kNoiseClassic, kNoiseWispy, kNoiseSpaceTime}) {
        expectFiniteAt(type, kFarPoints);
        expectFiniteAt(type, kNonFinitePoints);
        expectFiniteWhenImplodedToInfinity(type);
    }
    expectFiniteAt(kNoiseBillow, kFarPoints);
}

// Non-finite coordinates and times, and points that overflow when scaled,
// count as 0 in the wave and billow members as in the noise core: no NaN
// from cos(), no undefined conversion of a NaN cell coordinate.
TEST_F(Noise3d, WaveAtWildPointsGivesFiniteValues) {
    expectFiniteAt(kNoiseWave, kFarPoints);
    expectFiniteAt(kNoiseWave, kNonFinitePoints);
    expectFiniteWhenImplodedToInfinity(kNoiseWave);
    for (float t : {kInf, kNan}) {
        NoiseSettings s;
        s.time = t;
        EXPECT_TRUE(std::isfinite(eval3(kNoiseWave, 0.3f, 0.2f, 0.1f, s))) << "time " << t;
    }
}

TEST_F(Noise3d, BillowAtNonFinitePointsIsDefined) {
    expectFiniteAt(kNoiseBillow, kNonFinitePoints);
    expectFiniteWhenImplodedToInfinity(kNoiseBillow);
}

// ---------------------------------------------------------------------------
// 3D input stage

class Point3d : public Noise3d {
protected:
    vh::StandaloneState standalone;
    xrState *state() { return standalone.state(); }
    float matrix[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    xrBoolean wrap = 0, local = 0;
    xrScalar blend = 0.0f;
    xrColor defaultColor{1.0f, 0.0f, 0.0f, 1.0f};
    TextureResult res{{-1, -1, -1, -1}, -1};

    bool run(xrVector &p, float &fade) {
        return texturePoint3d(state(), matrix, &wrap, &blend, &local, &defaultColor, &res, p, fade);
    }
    void hit(float x, float y, float z) { state()->hitPoint = {x, y, z}; }
    void expectDefault() {
        EXPECT_FLOAT_EQ(res.outColor.r, 1.0f);
        EXPECT_FLOAT_EQ(res.outColor.g, 0.0f);
        EXPECT_FLOAT_EQ(res.outColor.a, 0.3f);  // luminance, not the default's own alpha
        EXPECT_FLOAT_EQ(res.outAlpha, 0.3f);
    }
};

TEST_F(Point3d, UnitCubeTestAndEdgeFade) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    struct Case {
        float x, y, z;
        float blend;
        bool inside;
        float fade;
    };
    const Case cases[] = {
        {0.2f, -0.3f, 0.4f, 0.0f, true, 0.0f},
        {1.0f, 0.0f, 0.0f, 0.0f, true, 0.0f},    // the cube test is strict
        {-1.0f, 1.0f, -1.0f, 0.0f, true, 0.0f},
        {1.0001f, 0.0f, 0.0f, 0.0f, false, 0.0f},
        {0.0f, 0.0f, -1.5f, 0.0f, false, 0.0f},
        {nan, 0.0f, 0.0f, 0.0f, false, 0.0f},    // NaN counts as outside
        {1.0f, 0.0f, 0.0f, 0.2f, false, 0.0f},   // fade 1: default output
        {0.9f, 0.0f, 0.0f, 0.2f, true, 0.5f},    // m = 0.5, e = 0.5
        {0.7f, 0.0f, 0.0f, 0.2f, true, 0.0f},    // |p| + blend < 1
        {0.9f, -0.9f, 0.0f, 0.2f, true, 0.75f},  // 1 - 0.5·0.5
        {0.95f, 0.0f, 0.0f, 0.2f, true, 0.8535534f},  // m = 0.25: e = (1 + cos 1.25π)/2
        {0.5f, 0.5f, 0.5f, -1.0f, true, 0.0f},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.x) + " " + std::to_string(c.y) + " " + std::to_string(c.z) + " blend " +
                     std::to_string(c.blend));
        hit(c.x, c.y, c.z);
        blend = c.blend;
        res = {{-1, -1, -1, -1}, -1};
        xrVector p;
        float fade = -1.0f;
        EXPECT_EQ(run(p, fade), c.inside);
        if (c.inside) {
            EXPECT_NEAR(fade, c.fade, 1e-5);
            EXPECT_EQ(res.outAlpha, -1.0f);  // nothing written
        } else {
            expectDefault();
        }
    }
    // With wrap on nothing is outside and nothing fades.
    wrap = 1;
    blend = 0.2f;
    hit(5.0f, -3.0f, 0.9f);
    xrVector p;
    float fade = -1.0f;
    EXPECT_TRUE(run(p, fade));
    EXPECT_EQ(fade, 0.0f);
    EXPECT_EQ(p.x, 5.0f);
    EXPECT_EQ(p.z, 0.9f);
}

TEST_F(Point3d, PointSelectionSpacesAndPlacement) {
    // Placement: scale by 0.5 and translate by (0.1, 0.2, 0.3) (row vectors,
    // translation in the last row).
    for (int i : {0, 5, 10}) matrix[i] = 0.5f;
    matrix[12] = 0.1f;
    matrix[13] = 0.2f;
    matrix[14] = 0.3f;
    hit(1.0f, -1.0f, 0.4f);
    state()->rayOrigin = {0.2f, 0.2f, 0.2f};
    xrVector p;
    float fade;
    ASSERT_TRUE(run(p, fade));
    EXPECT_FLOAT_EQ(p.x, 0.6f);
    EXPECT_FLOAT_EQ(p.y, -0.3f);
    EXPECT_FLOAT_EQ(p.z, 0.5f);

    // A volume shader sampling (any of the flag bits 0x04, 0x08, 0x10 in the
    // per-ray record) puts its sample position into rayOrigin.
    for (int32_t flags : {0x04, 0x08, 0x10, 0x02}) {
        SCOPED_TRACE(flags);
        BaseStateRecord rec{};
        rec.flags = flags;
        ASSERT_TRUE(xr_shaderstate_set(state(), "vekobase", &rec, sizeof rec, 0));
        ASSERT_TRUE(run(p, fade));
        if (flags == 0x02) {
            EXPECT_FLOAT_EQ(p.x, 0.6f);
        } else {
            EXPECT_FLOAT_EQ(p.x, 0.2f);
            EXPECT_FLOAT_EQ(p.z, 0.4f);
        }
    }
    xr_shaderstate_set(state(), "vekobase", nullptr, 0, 0);

    // local: object space, after undoing the motion over sampleTime.
    for (int i : {0, 5, 10}) matrix[i] = 1.0f;
    matrix[12] = matrix[13] = matrix[14] = 0.0f;
    const float worldToObject[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, -0.5f, 0, 0, 1};
    standalone.ray.worldToObject = worldToObject;
    state()->sampleTime = 0.25f;
    state()->motionVector = {2.0f, 0.0f, -0.4f};
    hit(1.0f, 0.5f, 0.1f);
    local = 1;
    ASSERT_TRUE(run(p, fade));
    EXPECT_FLOAT_EQ(p.x, 1.0f - 0.5f - 0.5f);
    EXPECT_FLOAT_EQ(p.y, 0.5f);
    EXPECT_FLOAT_EQ(p.z, 0.1f + 0.1f);
    local = 0;  // world space: no motion correction, no object transform
    ASSERT_TRUE(run(p, fade));
    EXPECT_FLOAT_EQ(p.x, 1.0f);
    EXPECT_FLOAT_EQ(p.z, 0.1f);
    standalone.ray.worldToObject = nullptr;
}

}  // namespace
