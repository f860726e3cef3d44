// Noise core. The noise functions are library-internal, so this suite
// compiles them in and binds their host operations to the reference host
// (xr_random, xr_erandom, xr_lock, xr_mem_int_allocate) exactly as the loaded
// library does. Expected table contents come from the C library's 48-bit
// generators (srand48/drand48/erand48/lrand48), which implement the same
// linear congruence as the host's operations.
#include <dlfcn.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>
#include <vector>

#include "noise.h"
#include "support.h"

extern "C" void xrSetModuleHandle(void *handle);

namespace {

using namespace veko;
const float *const T = noiseTable.data();

// Binds the compiled-in forwarders to the host operations of this process
// and provides a render state carrying the host lock.
class Noise : public ::testing::Test {
protected:
    static void SetUpTestSuite() { xrSetModuleHandle(dlopen(nullptr, RTLD_NOW)); }
    xrState *state() { return standalone_.state(); }

private:
    vh::StandaloneState standalone_;
};

struct Sampler {
    std::mt19937 rng{12345};
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
};

double mean(const float *v, size_t n) {
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += v[i];
    return s / n;
}
double stddev(const float *v, size_t n) {
    double m = mean(v, n), s = 0;
    for (size_t i = 0; i < n; ++i) s += (v[i] - m) * (v[i] - m);
    return std::sqrt(s / n);
}
bool sixDigits(float v) {
    double k = std::round(double(v) * 1e6);
    return float(k / 1e6) == v;
}

// ---------------------------------------------------------------------------
// Constant tables

TEST_F(Noise, ConstantTablesStartWithTheFixedValuesAndHaveTheirStatistics) {
    EXPECT_EQ(T[0], -0.510765f);
    EXPECT_EQ(T[1], -0.892593f);
    EXPECT_EQ(T[2], 0.324582f);
    EXPECT_EQ(T[3], 0.514013f);
    const int perm[] = {225, 155, 210, 108, 175, 199, 221, 144};
    for (int i = 0; i < 8; ++i) EXPECT_EQ(noisePermutation[i], perm[i]) << i;
    EXPECT_EQ(fractalLattice[0], -0.502184f);
    EXPECT_EQ(fractalLattice[1], 0.080665f);
    EXPECT_EQ(fractalLattice[2], -0.075730f);
    EXPECT_EQ(fractalLattice[3], 0.031195f);
    const float offsets[] = {4591.4585f, 7862.7656f, 3987.8354f, 1234.6779f, 4387.8770f, 5243.8979f,
                             5476.3271f, 4326.9688f, 2098.4324f, 9798.5088f, 7487.3145f, 8679.2334f};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(octaveOffsets[i], offsets[i]) << i;

    // noiseTable: 65535 values uniform in (-1, 1) with six decimal digits.
    EXPECT_EQ(noiseTable.size(), 65535u);
    EXPECT_NEAR(mean(T, 65535), 0.0, 0.01);
    EXPECT_NEAR(stddev(T, 65535), 0.58, 0.01);
    int below = 0;
    for (float v : noiseTable) {
        ASSERT_TRUE(v > -1.0f && v < 1.0f) << v;
        ASSERT_TRUE(sixDigits(v)) << v;
        below += v < -0.5f;
    }
    EXPECT_NEAR(below / 65535.0, 0.25, 0.01);  // flat, not bell-shaped

    std::vector<int> seen(256, 0);
    for (uint8_t v : noisePermutation) seen[v]++;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 256);

    // fractalLattice: bell-shaped, sd about 0.34, clipped with a few +-1.
    const float *L = fractalLattice.data();
    EXPECT_NEAR(mean(L, 4096), 0.0, 0.02);
    EXPECT_NEAR(stddev(L, 4096), 0.34, 0.01);
    int ones = 0, minusOnes = 0, inner = 0;
    for (float v : fractalLattice) {
        ASSERT_TRUE(v >= -1.0f && v <= 1.0f) << v;
        ASSERT_TRUE(sixDigits(v)) << v;
        ones += v == 1.0f;
        minusOnes += v == -1.0f;
        inner += std::fabs(v) < 0.34f;
    }
    EXPECT_GT(ones, 0);
    EXPECT_GT(minusOnes, 0);
    EXPECT_LT(ones + minusOnes, 40);
    EXPECT_NEAR(inner / 4096.0, 0.68, 0.03);  // one standard deviation of a normal
}

// ---------------------------------------------------------------------------
// Lattice value noise

TEST_F(Noise, CoordinatesBeyondOneBillionActAsZero) {
    const double far[] = {1.0000001e9, -2e9, 1e300, -INFINITY, INFINITY, NAN};
    const double x = 0.3711, y = 0.8125, z = 0.15, t = 0.42;
    for (double c : far) {
        SCOPED_TRACE(c);
        EXPECT_EQ(noise1(c), noise1(0.0));
        EXPECT_EQ(noise2(c, y), noise2(0.0, y));
        EXPECT_EQ(noise2(x, c), noise2(x, 0.0));
        EXPECT_EQ(noise3(c, y, z), noise3(0.0, y, z));
        EXPECT_EQ(noise3(x, y, c), noise3(x, y, 0.0));
        EXPECT_EQ(noise4(x, c, z, t, 24), noise4(x, 0.0, z, t, 24));
        EXPECT_EQ(noise4(x, y, z, c, 24), noise4(x, y, z, 0.0, 24));
        float d[2], d0[2];
        noise2Deriv(d, c, y);
        noise2Deriv(d0, 0.0, y);
        EXPECT_EQ(d[0], d0[0]);
        EXPECT_EQ(d[1], d0[1]);
    }
    // The limit itself is still a coordinate (an integer: frac 0).
    EXPECT_EQ(noise3(1e9, y, z), noise3(0.0, y, z));
    EXPECT_EQ(noise3(0.5e9 + 0.25, y, z), noise3(0.25, y, z));
}

TEST_F(Noise, LatticeNoisesRepeatWithPeriodOne) {
    // Dyadic coordinates: the shifted fractions are bit-identical.
    const double pts[][4] = {{0.125, 0.5, 0.875, 0.25}, {0.015625, 0.984375, 0.5, 0.75}, {0.0, 0.0, 0.0, 0.0}};
    for (auto &p : pts) {
        for (int shift : {1, -1, 7, -1000}) {
            SCOPED_TRACE(shift);
            EXPECT_EQ(noise2(p[0] + shift, p[1]), noise2(p[0], p[1]));
            EXPECT_EQ(noise2(p[0], p[1] + shift), noise2(p[0], p[1]));
            EXPECT_EQ(noise3(p[0] + shift, p[1], p[2]), noise3(p[0], p[1], p[2]));
            EXPECT_EQ(noise3(p[0], p[1] + shift, p[2]), noise3(p[0], p[1], p[2]));
            EXPECT_EQ(noise3(p[0], p[1], p[2] + shift), noise3(p[0], p[1], p[2]));
            float v = noise4(p[0], p[1], p[2], p[3], 30);
            EXPECT_EQ(noise4(p[0] + shift, p[1], p[2], p[3], 30), v);
            EXPECT_EQ(noise4(p[0], p[1] + shift, p[2], p[3], 30), v);
            EXPECT_EQ(noise4(p[0], p[1], p[2] + shift, p[3], 30), v);
            EXPECT_EQ(noise4(p[0], p[1], p[2], p[3] + shift, 30), v);
        }
    }
    // Arbitrary coordinates: equal up to the rounding of the fraction.
    Sampler s;
    for (int n = 0; n < 200; ++n) {
        double x = s.uniform(-3, 3), y = s.uniform(-3, 3), z = s.uniform(-3, 3), t = s.uniform(0, 2);
        EXPECT_NEAR(noise3(x + 2, y - 1, z + 5), noise3(x, y, z), 2e-5);
        EXPECT_NEAR(noise2(x - 3, y + 4), noise2(x, y), 2e-5);
        EXPECT_NEAR(noise4(x + 1, y, z - 2, t + 1, 100), noise4(x, y, z, t, 100), 1e-3);
    }
}

TEST_F(Noise, LatticePointsAverageTheirNeighbours) {
    // At a lattice point (t = 0) the B-spline reduces to the mean of the two
    // lower neighbours per axis: (i-1, i). Checks the x + 32y + 1024z layout
    // and the wrap of index -1 to 31.
    auto L2 = [](int i, int j) { return T[(i & 31) + 32 * (j & 31)]; };
    auto L3 = [](int i, int j, int k) { return T[(i & 31) + 32 * (j & 31) + 1024 * (k & 31)]; };
    const int cells[][3] = {{5, 9, 17}, {0, 0, 0}, {31, 1, 30}, {12, 31, 0}};
    for (auto &c : cells) {
        double x = c[0] / 32.0, y = c[1] / 32.0, z = c[2] / 32.0;
        float e2 = (L2(c[0] - 1, c[1] - 1) + L2(c[0], c[1] - 1) + L2(c[0] - 1, c[1]) + L2(c[0], c[1])) / 4;
        EXPECT_NEAR(noise2(x, y), e2, 1e-6);
        float e3 = 0;
        for (int dz = -1; dz <= 0; ++dz)
            for (int dy = -1; dy <= 0; ++dy)
                for (int dx = -1; dx <= 0; ++dx) e3 += L3(c[0] + dx, c[1] + dy, c[2] + dz);
        EXPECT_NEAR(noise3(x, y, z), e3 / 8, 1e-6);
    }
}

// The lattice noises written out as nested quadratic blends
// Q(a, b, c, t) = ((a - 2b + c) t - 2(a - b)) t + a + b, x innermost.
double Q(double a, double b, double c, double t) { return ((a - 2 * b + c) * t - 2 * (a - b)) * t + a + b; }
struct Step {
    int i;
    double t;
};
Step step(double c) {
    double s = float(c - std::floor(c)) * 32.0f;
    int i = int(s);
    return {i, s - i};
}
double lattice(int i, int j, int k) { return T[(i & 31) + 32 * (j & 31) + 1024 * (k & 31)]; }
template <class V>
double blend3(Step x, Step y, Step z, V value) {
    double planes[3];
    for (int k = 0; k < 3; ++k) {
        double rows[3];
        for (int j = 0; j < 3; ++j)
            rows[j] = Q(value(x.i - 1, y.i + j - 1, z.i + k - 1), value(x.i, y.i + j - 1, z.i + k - 1),
                        value(x.i + 1, y.i + j - 1, z.i + k - 1), x.t);
        planes[k] = Q(rows[0], rows[1], rows[2], y.t);
    }
    return Q(planes[0], planes[1], planes[2], z.t);
}

TEST_F(Noise, LatticeNoisesAreNestedQuadraticBlends) {
    Sampler s;
    for (int n = 0; n < 300; ++n) {
        double x = s.uniform(-3, 3), y = s.uniform(-3, 3), z = s.uniform(-3, 3), t = s.uniform(-3, 3);
        Step sx = step(x), sy = step(y), sz = step(z);
        EXPECT_NEAR(noise3(x, y, z), 0.125 * blend3(sx, sy, sz, lattice), 1e-6);
        double rows[3];
        for (int j = 0; j < 3; ++j)
            rows[j] = Q(lattice(sx.i - 1, sy.i + j - 1, 0), lattice(sx.i, sy.i + j - 1, 0),
                        lattice(sx.i + 1, sy.i + j - 1, 0), sx.t);
        EXPECT_NEAR(noise2(x, y), 0.25 * Q(rows[0], rows[1], rows[2], sy.t), 1e-6);

        // noise4: each lattice value L becomes a blend over three time keys of
        // frac((L + 2) * H_q), H_q = (T[k + q] + 1) * 21568.16.
        const int res = 40;
        double ft = (t - std::floor(t)) * res;
        int key = int(ft);
        float st = float(ft - key);
        auto animated = [&](int i, int j, int k) {
            float g = float(lattice(i, j, k)) + 2.0f;
            double f[3];
            for (int q = 0; q < 3; ++q) {
                float p = g * ((T[key + q] + 1.0f) * 21568.16f);
                f[q] = p - std::trunc(p);
            }
            return Q(f[0], f[1], f[2], st);
        };
        EXPECT_NEAR(noise4(x, y, z, t, res), 0.125 * blend3(sx, sy, sz, animated) - 1, 1e-5);
    }
}

TEST_F(Noise, LatticeNoisesAreContinuousAndInRange) {
    Sampler s;
    const double h = 1e-7;
    for (int n = 0; n < 2000; ++n) {
        double x = s.uniform(-4, 4), y = s.uniform(-4, 4), z = s.uniform(-4, 4), t = s.uniform(-4, 4);
        float v2 = noise2(x, y), v3 = noise3(x, y, z), v4 = noise4(x, y, z, t, 50);
        ASSERT_TRUE(v2 >= -1 && v2 < 1);
        ASSERT_TRUE(v3 >= -1 && v3 < 1);
        ASSERT_TRUE(v4 >= -1 && v4 < 1);
        // Cell borders included: the neighbouring cell's value is adjacent.
        double xb = std::floor(x * 32) / 32;
        EXPECT_NEAR(noise3(xb - h, y, z), noise3(xb + h, y, z), 1e-4);
        EXPECT_NEAR(noise2(x, xb - h), noise2(x, xb + h), 1e-4);
    }
}

TEST_F(Noise, Noise1JumpsAtIntegersWithTheExtendedFirstSegment) {
    for (double n : {0.0, 1.0, -2.0, 7.0}) {
        SCOPED_TRACE(n);
        EXPECT_NEAR(noise1(n), (4 * T[0] - 3 * T[1] + T[2]) / 4, 1e-6);
        EXPECT_NEAR(noise1(n - 1e-9), (T[31] + T[32]) / 4, 1e-6);
    }
    // At s = 1 and s = 2 the segments meet without the extension.
    EXPECT_NEAR(noise1(1.0 / 32), (T[0] + T[1]) / 4, 1e-6);
    EXPECT_NEAR(noise1(2.0 / 32), (T[1] + T[2]) / 4, 1e-6);
    EXPECT_NEAR(noise1(1.0 / 32 - 1e-9), noise1(1.0 / 32 + 1e-9), 1e-6);
}

TEST_F(Noise, Noise2DerivIsTwiceTheLatticeDerivative) {
    // d noise2 / dx = 32 * (d / dtx) = 16 * out[0].
    Sampler s;
    const double h = 1e-5;
    for (int n = 0; n < 100; ++n) {
        double x = s.uniform(-2, 2), y = s.uniform(-2, 2);
        float d[2];
        noise2Deriv(d, x, y);
        double dx = (double(noise2(x + h, y)) - noise2(x - h, y)) / (2 * h);
        double dy = (double(noise2(x, y + h)) - noise2(x, y - h)) / (2 * h);
        EXPECT_NEAR(16 * d[0], dx, 0.02 + 0.01 * std::fabs(dx));
        EXPECT_NEAR(16 * d[1], dy, 0.02 + 0.01 * std::fabs(dy));
    }
}

TEST_F(Noise, Noise4TimeResolutionIsLimitedAndFrozenBelowZero) {
    Sampler s;
    for (int n = 0; n < 50; ++n) {
        double x = s.uniform(-2, 2), y = s.uniform(-2, 2), z = s.uniform(-2, 2), t = s.uniform(-2, 2);
        EXPECT_EQ(noise4(x, y, z, t, 70000), noise4(x, y, z, t, 60000));
        EXPECT_EQ(noise4(x, y, z, t, INT_MAX), noise4(x, y, z, t, 60000));
        // No resolution: one key for all times (no read before the table).
        EXPECT_EQ(noise4(x, y, z, t, -5), noise4(x, y, z, 0.0, 0));
        EXPECT_EQ(noise4(x, y, z, t, 0), noise4(x, y, z, 0.0, 0));
    }
    // The keys change with t: not a constant in time.
    EXPECT_NE(noise4(0.3, 0.4, 0.5, 0.1, 10), noise4(0.3, 0.4, 0.5, 0.55, 10));
}

TEST_F(Noise, RandomValueAndVectorIndexTheTableModuloItsSize) {
    EXPECT_EQ(randomValue(5), randomValue(-5));
    EXPECT_EQ(randomValue(65535), randomValue(0));
    EXPECT_EQ(randomValue(0), double(T[0]));
    EXPECT_EQ(randomValue(65536 + 3), double(T[4]));
    EXPECT_EQ(randomValue(INT_MIN), double(T[2147483648LL % 65535]));

    float v[3];
    randomVector(v, 10);
    EXPECT_EQ(v[0], T[10]);
    EXPECT_EQ(v[2], T[12]);
    randomVector(v, 65533);  // the last index wraps
    EXPECT_EQ(v[0], T[65533]);
    EXPECT_EQ(v[1], T[65534]);
    EXPECT_EQ(v[2], T[0]);
    randomVector(v, 65535 + 7);
    EXPECT_EQ(v[0], T[7]);
    randomVector(v, -1);  // negative indices stay inside the table
    EXPECT_EQ(v[0], T[65534]);
    EXPECT_EQ(v[1], T[0]);
    randomVector(v, INT_MIN);
    EXPECT_EQ(v[0], T[65535 - 2147483648LL % 65535]);
}

// ---------------------------------------------------------------------------
// Gradient noise

TEST_F(Noise, GradientTableIsBuiltFromTheHostGeneratorOnce) {
    if (!gradientTable()) {
        EXPECT_EQ(gradientNoise3(0.3f, 0.4f, 0.5f), 0.0f);
    }
    initGradientTable(state());
    const float *g = gradientTable();
    ASSERT_NE(g, nullptr);
    srand48(1);
    for (int v = 0; v < 300; ++v) {
        double r1 = drand48(), r2 = drand48();
        double z = 1 - 2 * r1, phi = double(6.2831855f) * r2, rad = std::sqrt(1 - z * z);
        ASSERT_NEAR(g[3 * v + 0], std::cos(phi) * rad, 1e-6) << v;
        ASSERT_NEAR(g[3 * v + 1], std::sin(phi) * rad, 1e-6) << v;
        ASSERT_NEAR(g[3 * v + 2], z, 1e-6) << v;
    }
    for (int v = 0; v < 65535; ++v)
        ASSERT_NEAR(g[3 * v] * g[3 * v] + g[3 * v + 1] * g[3 * v + 1] + g[3 * v + 2] * g[3 * v + 2], 1.0f, 1e-5);
    // One 786420-byte block from the host, reused by a second init.
    vh::LeakReport live = vh::liveAllocations();
    EXPECT_NE(live.text.find("786420 bytes"), std::string::npos) << live.text;
    initGradientTable(state());
    EXPECT_EQ(gradientTable(), g);
    EXPECT_EQ(vh::liveAllocations().bytes, live.bytes);
}

TEST_F(Noise, GradientNoiseVanishesAtLatticePointsAndRepeatsEvery256) {
    initGradientTable(state());
    Sampler s;
    for (int n = 0; n < 200; ++n) {
        float x = float(s.uniform(-50, 50)), y = float(s.uniform(-50, 50)), z = float(s.uniform(-50, 50));
        float v = gradientNoise3(x, y, z);
        EXPECT_LE(std::fabs(v), 1.1f);
        EXPECT_EQ(gradientNoise3(std::floor(x), std::floor(y), std::floor(z)), 0.0f);
        EXPECT_NEAR(gradientNoise3(x + 256, y, z - 512), v, 1e-4);
    }
    EXPECT_EQ(gradientNoise3(2e9f, 0.5f, 0.25f), gradientNoise3(0.0f, 0.5f, 0.25f));
    EXPECT_EQ(gradientNoise3(NAN, 0.5f, 0.25f), gradientNoise3(0.0f, 0.5f, 0.25f));
    // Corner (0,0,0) alone: with f = (0.25, 0, 0) only x-corners 0 and 1
    // contribute, weighted by the fade curve.
    const uint8_t *P = noisePermutation.data();
    const float *g = gradientTable();
    const float *g0 = g + 3 * P[(P[P[0]]) & 255];
    const float *g1 = g + 3 * P[(P[P[0]] + 1) & 255];
    float w = smoothStep(0.25f);
    EXPECT_NEAR(gradientNoise3(0.25f, 0, 0), g0[0] * 0.25f + w * (g1[0] * -0.75f - g0[0] * 0.25f), 1e-6);
}

// ---------------------------------------------------------------------------
// Fractal sums

// Straightforward evaluation of the octave sums: corner by corner with the
// hash as defined, trilinear weights, 1/f weights and the faded last octave.
void referenceFractal(float fw, float amp, const float p[3], float &value, float vec[3]) {
    int n = fractalOctaves(fw);
    double sum = 0, vs[3] = {0, 0, 0};
    for (int k = 0; k < n; ++k) {
        float f = float(1 << k);
        int c[3];
        float t[3];
        for (int a = 0; a < 3; ++a) {
            float q = p[a] * f + octaveOffsets[k + a];
            c[a] = int(std::floor(q));
            t[a] = q - std::floor(q);
        }
        double w = 1.0 / f;
        if (k == n - 1) w = 2.0 / f - fw;
        auto corner = [&](int dx, int dy, int dz) { return fractalLattice[fractalHash(c[0] + dx, c[1] + dy, c[2] + dz)]; };
        auto lin = [&](int a, int d) { return d ? t[a] : 1 - t[a]; };
        double oct = 0;
        for (int dz = 0; dz < 2; ++dz)
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) oct += lin(0, dx) * lin(1, dy) * lin(2, dz) * corner(dx, dy, dz);
        sum += w * oct;
        for (int u = 0; u < 2; ++u)
            for (int v = 0; v < 2; ++v) {
                vs[0] += w * t[0] * (1 - t[0]) * lin(1, u) * lin(2, v) * (corner(1, u, v) - corner(0, u, v));
                vs[1] += w * t[1] * (1 - t[1]) * lin(0, u) * lin(2, v) * (corner(u, 1, v) - corner(u, 0, v));
                vs[2] += w * t[2] * (1 - t[2]) * lin(0, u) * lin(1, v) * (corner(u, v, 1) - corner(u, v, 0));
            }
    }
    value = float(amp * sum);
    for (int a = 0; a < 3; ++a) vec[a] = float(amp * vs[a]);
}

TEST_F(Noise, FractalHashCombinesTheCoordinateNibbles) {
    // x = 0x1234: x0 = 4, x1 = 3, x2 = 2, x3 = 1.
    EXPECT_EQ(fractalHash(0x1234, 0, 0), 0x4 | (3 ^ 2) << 4 | (3 ^ 1) << 8);
    EXPECT_EQ(fractalHash(0, 0x1234, 0), 0x3 | (4 ^ 2) << 4 | (3 ^ 2) << 8);
    EXPECT_EQ(fractalHash(0, 0, 0x1234), 0x2 | (3 ^ 1) << 4 | (4 ^ 2) << 8);
    EXPECT_EQ(fractalHash(0, 0x10, 0x100), 0);  // y1 and z2 cancel in every group
    EXPECT_EQ(fractalHash(-1, -1, -1), 0xF);     // all nibbles 15
    EXPECT_EQ(fractalHash(0x10000 + 5, 7, 9), fractalHash(5, 7, 9));  // 16 bits only
}

TEST_F(Noise, FractalOctaveCountFollowsTheFilterWidth) {
    const struct {
        float width;
        int octaves;
    } cases[] = {{0.001f, 10}, {0.0f, 10}, {-1.0f, 10}, {0.00390625f, 10}, {0.0079f, 8},
                 {0.3f, 3},    {0.5f, 3},  {0.51f, 2},  {1.0f, 2},        {1.01f, 1},
                 {2.0f, 1},    {NAN, 10}};
    for (auto &c : cases) EXPECT_EQ(fractalOctaves(c.width), c.octaves) << c.width;
}

TEST_F(Noise, FractalSumsMatchTheOctaveDefinition) {
    Sampler s;
    for (float fw : {0.001f, 0.3f, 0.7f, 1.5f}) {
        SCOPED_TRACE(fw);
        for (int n = 0; n < 50; ++n) {
            float p[3] = {float(s.uniform(-20, 20)), float(s.uniform(-20, 20)), float(s.uniform(-20, 20))};
            float ref, refVec[3], vec[3];
            referenceFractal(fw, 1.7f, p, ref, refVec);
            EXPECT_NEAR(fractalNoise(fw, 1.7f, p), ref, 1e-4);
            fractalNoiseVector(vec, fw, 1.7f, p);
            for (int a = 0; a < 3; ++a) EXPECT_NEAR(vec[a], refVec[a], 1e-4);
        }
    }
    // Filter width 2: one octave of weight 2 - 2 = 0.
    float p[3] = {0.3f, 1.7f, -4.2f}, vec[3];
    EXPECT_EQ(fractalNoise(2.0f, 1.0f, p), 0.0f);
    fractalNoiseVector(vec, 2.0f, 1.0f, p);
    EXPECT_EQ(vec[0], 0.0f);
    // Absurd coordinates stay finite.
    float inf[3] = {INFINITY, NAN, 1e30f};
    EXPECT_TRUE(std::isfinite(fractalNoise(0.001f, 1.0f, inf)));
}

TEST_F(Noise, FractalVectorIsTheSlopeOfTheSum) {
    // Per octave, t(1-t) * (c1 - c0) vanishes at lattice planes and the
    // result has the sign of the sum's slope along each axis.
    Sampler s;
    int agree = 0, total = 0;
    for (int n = 0; n < 200; ++n) {
        float p[3] = {float(s.uniform(-5, 5)), float(s.uniform(-5, 5)), float(s.uniform(-5, 5))};
        float vec[3];
        fractalNoiseVector(vec, 1.5f, 1.0f, p);  // one octave
        for (int a = 0; a < 3; ++a) {
            float q[3] = {p[0], p[1], p[2]};
            q[a] += 1e-3f;
            float slope = fractalNoise(1.5f, 1.0f, q) - fractalNoise(1.5f, 1.0f, p);
            if (std::fabs(slope) > 1e-5f) {
                total++;
                agree += (slope > 0) == (vec[a] > 0);
            }
        }
    }
    EXPECT_EQ(agree, total);
}

// ---------------------------------------------------------------------------
// Cell noise

TEST_F(Noise, CellTableIsTheFalloffAndAPrivateGeneratorSequence) {
    if (!cellTable()) {
        const float p[3] = {0.1f, 0.2f, 0.3f};
        float ch[3] = {0.5f, 0.7f, 9.0f};
        EXPECT_EQ(cellNoise(0.05f, 1, 0.5f, 1, 0.1f, 0, p, ch), 0.0f);
        EXPECT_EQ(ch[2], 0.0f);
    }
    // The host's shared generator is left where it was.
    xr_srandom(77);
    initCellTable(state());
    double next = xr_random();
    const float *t = cellTable();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t[0], 1.0f);
    EXPECT_FLOAT_EQ(t[64], 0.5f);
    EXPECT_NEAR(t[255], 1 - std::sqrt(255.0) / 16, 1e-7);
    unsigned short seed[3] = {0x330E, 1, 0};
    for (int j = 0; j < 8100; ++j) ASSERT_EQ(t[256 + j], float(2 * erand48(seed) - 1)) << j;
    srand48(77);
    EXPECT_EQ(next, drand48());
    initCellTable(state());
    EXPECT_EQ(cellTable(), t);
}

TEST_F(Noise, CellNoiseSumsSpotsIntoChannels) {
    initCellTable(state());
    Sampler s;
    int nonzero = 0;
    for (int n = 0; n < 500; ++n) {
        float p[3] = {float(s.uniform(-3, 3)), float(s.uniform(-3, 3)), float(s.uniform(-3, 3))};
        float ch[3] = {0.3f, 0.6f, 123.0f};
        float v = cellNoise(0.1f, 1.0f, 0.5f, 0.8f, 0.0f, 0, p, ch);
        ASSERT_GE(v, 0.0f);
        ASSERT_LT(v, 27.0f);
        EXPECT_NEAR(ch[0] + ch[1] + ch[2], v, 1e-5);
        EXPECT_EQ(cellNoise(0.1f, 1.0f, 0.5f, 0.8f, 0.0f, 0, p, nullptr), v);
        nonzero += v > 0;
        // Period 4 * cellSize (dyadic values: the shifted fractions are
        // exact, and the falloff is a step curve, so compare exactly).
        float d[3] = {std::round(p[0] * 4096) / 4096, std::round(p[1] * 4096) / 4096, std::round(p[2] * 4096) / 4096};
        float e[3] = {d[0] + 0.5f, d[1] - 1.0f, d[2] + 1.5f};
        EXPECT_EQ(cellNoise(0.125f, 1.0f, 0.5f, 0.8f, 0.0f, 0, e, nullptr),
                  cellNoise(0.125f, 1.0f, 0.5f, 0.8f, 0.0f, 0, d, nullptr));
    }
    EXPECT_GT(nonzero, 100);
    // Thresholds route the spots: all below T0 -> channel 0 only.
    float p[3] = {0.11f, 0.23f, 0.37f}, ch[3] = {2.0f, 2.0f, 0.0f};
    float v = cellNoise(0.1f, 2.0f, 0.0f, 0.8f, 0.0f, 0, p, ch);
    EXPECT_GT(v, 0.0f);
    EXPECT_EQ(ch[0], v);
    EXPECT_EQ(ch[1] + ch[2], 0.0f);
    // Non-finite points and sizes do not escape the grid.
    float bad[3] = {NAN, INFINITY, -1e30f};
    EXPECT_TRUE(std::isfinite(cellNoise(0.1f, 1.0f, 0.5f, 0.8f, 0.0f, 0, bad, nullptr)));
    EXPECT_TRUE(std::isfinite(cellNoise(0.0f, 1.0f, 0.5f, 0.8f, 0.0f, 0, p, nullptr)));
}

TEST_F(Noise, CellNoiseDensityZeroActsAsTheMinimum) {
    initCellTable(state());
    const float *R = cellTable() + 256;
    // The spot of cell (3, 4, 5) with randomness 1: point exactly on it.
    float cellSize = 0.25f, s = 4 * cellSize;
    int m = 400 * 5 + 20 * 4 + 3;
    float p[3] = {(3 + 0.5f + 0.5f * R[m]) / 20 * s, (4 + 0.5f + 0.5f * R[m + 1]) / 20 * s,
                  (5 + 0.5f + 0.5f * R[m + 2]) / 20 * s};
    float atSpot = cellNoise(cellSize, 0.0f, 0.0f, 1.0f, 0.0f, 0, p, nullptr);
    EXPECT_NEAR(atSpot, 0.5f, 1e-3);  // mix 0: 0.5 * F[0] * 1
    EXPECT_EQ(cellNoise(cellSize, -3.0f, 0.0f, 1.0f, 0.0f, 0, p, nullptr), atSpot);
    float off[3] = {p[0] + 0.01f, p[1], p[2]};  // 0.2 cells away: beyond the tiny spot
    EXPECT_EQ(cellNoise(cellSize, 0.0f, 0.0f, 1.0f, 0.0f, 0, off, nullptr), 0.0f);
    EXPECT_EQ(cellNoise(cellSize, 0.00001f, 0.0f, 1.0f, 0.0f, 0, off, nullptr), 0.0f);
    EXPECT_GT(cellNoise(cellSize, 1.0f, 0.0f, 1.0f, 0.0f, 0, off, nullptr), 0.0f);
}

TEST_F(Noise, CellNoiseCreaseMarkersStayAboveTwenty) {
    initCellTable(state());
    Sampler s;
    int creased = 0, plain = 0;
    for (int n = 0; n < 500; ++n) {
        float p[3] = {float(s.uniform(-3, 3)), float(s.uniform(-3, 3)), float(s.uniform(-3, 3))};
        float without = cellNoise(0.1f, 1.0f, 0.5f, 0.8f, 1e6f, 0, p, nullptr);
        // A huge crease width marks every point where a second spot meets
        // the first; later spots never bring the marker back below 20.
        float with = cellNoise(0.1f, 1.0f, 0.5f, 0.8f, 1e6f, 1, p, nullptr);
        if (with >= 20.0f) {
            creased++;
            EXPECT_LT(with, 20.001f);
        } else {
            plain++;
            EXPECT_EQ(with, without);
        }
        // A zero crease width never marks.
        EXPECT_LT(cellNoise(0.1f, 1.0f, 0.5f, 0.8f, 0.0f, 1, p, nullptr), 20.0f);
    }
    EXPECT_GT(creased, 20) << plain;
    EXPECT_GT(plain, 20) << creased;
}

// ---------------------------------------------------------------------------
// Classic gradient noise

TEST_F(Noise, ClassicTablesComeFromTheLrand48Sequence) {
    GradientTables tb = classicNoiseTables();
    srand48(1);
    int p[256];
    float g[256][3];
    for (int i = 0; i < 256; ++i) {
        p[i] = i;
        double len = 0;
        for (int a = 0; a < 3; ++a) {
            g[i][a] = float(lrand48() % 512 - 256) / 256;
            len += g[i][a] * g[i][a];
        }
        for (int a = 0; a < 3; ++a) g[i][a] = float(g[i][a] / std::sqrt(len));
    }
    for (int i = 255; i > 0; --i) std::swap(p[i], p[lrand48() % 256]);
    for (int i = 0; i < 514; ++i) {
        ASSERT_EQ(tb.permutation[i], p[i % 256]) << i;
        for (int a = 0; a < 3; ++a) ASSERT_NEAR(tb.gradients[3 * i + a], g[i % 256][a], 1e-6) << i;
    }
}

TEST_F(Noise, ClassicNoisesVanishAtIntegersAndFollowTheirGradients) {
    GradientTables tb = classicNoiseTables();
    Sampler s;
    for (int n = 0; n < 200; ++n) {
        float x = float(s.uniform(-100, 100)), y = float(s.uniform(-100, 100)), z = float(s.uniform(-100, 100));
        float v = classicNoise3(x, y, z);
        EXPECT_LE(std::fabs(v), 1.0f);
        EXPECT_NEAR(classicNoise3(x + 256, y, z), v, 1e-3);
        EXPECT_EQ(classicNoise3(std::floor(x), std::floor(y), std::floor(z)), 0.0f);
        EXPECT_LE(std::fabs(classicNoise1(x)), 0.5f);
    }
    // Near integer n the 1D noise rises with the x component of gradient
    // p[(n + 256) & 255].
    for (int n : {0, 5, -7, 300}) {
        float eps = 1.0f / 1024;  // exact after the shift by 256
        float gx = tb.gradients[3 * tb.permutation[(n + 256) & 255]];
        EXPECT_NEAR(classicNoise1(n + eps) / eps, gx, 5e-3) << n;
    }
    EXPECT_EQ(classicNoise3(1e20f, 0.5f, 0.5f), classicNoise3(0.0f, 0.5f, 0.5f));
}

TEST_F(Noise, FurNoiseUsesUnitGradientsOverTheWholeSphere) {
    if (!furNoiseTables().permutation) {
        EXPECT_EQ(furNoise3(0.3f, 0.4f, 0.5f), 0.0f);
    }
    initFurNoise(state());
    GradientTables tb = furNoiseTables();
    ASSERT_NE(tb.permutation, nullptr);
    std::vector<int> seen(256, 0);
    int moved = 0;
    double sum[3] = {0, 0, 0};
    for (int i = 0; i < 256; ++i) {
        seen[tb.permutation[i]]++;
        moved += tb.permutation[i] != i;
        const float *g = tb.gradients + 3 * i;
        EXPECT_NEAR(g[0] * g[0] + g[1] * g[1] + g[2] * g[2], 1.0f, 1e-5);
        for (int a = 0; a < 3; ++a) sum[a] += g[a];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), 256);
    EXPECT_GT(moved, 200);
    for (int a = 0; a < 3; ++a) EXPECT_LT(std::fabs(sum[a] / 256), 0.15) << a;  // not one octant
    for (int i = 256; i < 514; ++i) EXPECT_EQ(tb.permutation[i], tb.permutation[i - 256]);

    // The first gradient is the first accepted draw triple of the host
    // generator seeded with 1.
    srand48(1);
    double d[3], len2;
    do {
        for (double &c : d) c = 2 * drand48() - 1;
        len2 = d[0] * d[0] + d[1] * d[1] + d[2] * d[2];
    } while (len2 > 1);
    for (int a = 0; a < 3; ++a) EXPECT_NEAR(tb.gradients[a], d[a] / std::sqrt(len2), 1e-6);

    // Built once: a second call leaves the tables (and readers) alone.
    int p0 = tb.permutation[0];
    initFurNoise(state());
    EXPECT_EQ(furNoiseTables().permutation[0], p0);

    Sampler s;
    double mean = 0;
    for (int n = 0; n < 2000; ++n) {
        float x = float(s.uniform(-50, 50)), y = float(s.uniform(-50, 50)), z = float(s.uniform(-50, 50));
        float v = furNoise3(x, y, z);
        EXPECT_LE(std::fabs(v), 1.5f);
        mean += v;
        EXPECT_EQ(furNoise3(std::floor(x), std::floor(y), std::floor(z)), 0.0f);
    }
    EXPECT_LT(std::fabs(mean / 2000), 0.05);
}

// ---------------------------------------------------------------------------
// Concurrency

TEST_F(Noise, TablesBuildOnceWhileOtherThreadsLookUp) {
    const float p[3] = {0.123f, 0.456f, 0.789f};
    std::vector<std::thread> threads;
    std::vector<float> cell(4), grad(4);
    std::vector<const float *> tables(4);
    std::vector<vh::StandaloneState> states(4);
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 1000; ++k) {
                float c = cellNoise(0.05f, 1.0f, 0.5f, 1.0f, 0.0f, 0, p, nullptr);
                float g = gradientNoise3(p[0], p[1], p[2]);
                (void)c;
                (void)g;
            }
            initCellTable(states[i].state());
            initGradientTable(states[i].state());
            tables[i] = cellTable();
            cell[i] = cellNoise(0.05f, 1.0f, 0.5f, 1.0f, 0.0f, 0, p, nullptr);
            grad[i] = gradientNoise3(p[0], p[1], p[2]);
        });
    for (auto &t : threads) t.join();
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(tables[i], tables[0]);
        EXPECT_EQ(cell[i], cell[0]);
        EXPECT_EQ(grad[i], grad[0]);
    }
}

}  // namespace
