// Lattice value noise on noiseTable, gradient noise on the run-time gradient
// table, and the classic gradient noises of the woodgrain and fur shaders.
#include "noise.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

#if (defined(__SSE2__) || defined(_M_X64)) && !defined(VEKO_NOISE_SCALAR)
#include <emmintrin.h>
#define VEKO_NOISE_SSE 1
#endif

#include "vekobase.h"

namespace veko {

// ---------------------------------------------------------------------------
// Constant tables, generated at compile time from a fixed generator so that
// they are plain read-only data of the library.
namespace {

constexpr std::array<float, kNoiseTableSize> makeNoiseTable() {
    std::array<float, kNoiseTableSize> t{};
    detail::TableRandom rng(0x6e6f697365ULL);
    for (auto &v : t) {
        // k / 1e6 with k uniform in [-999999, 999999]: (-1, 1), six digits.
        int64_t k = static_cast<int64_t>(rng.next() % 1999999u) - 999999;
        v = detail::sixDigits(k);
    }
    const float head[] = {-0.510765f, -0.892593f, 0.324582f, 0.514013f};
    for (size_t i = 0; i < std::size(head); ++i) t[i] = head[i];
    return t;
}

constexpr std::array<uint8_t, 256> makePermutation() {
    std::array<uint8_t, 256> p{};
    for (int i = 0; i < 256; ++i) p[i] = static_cast<uint8_t>(i);
    detail::TableRandom rng(0x7065726dULL);
    for (int i = 255; i > 0; --i) {
        int j = static_cast<int>(rng.next() % static_cast<uint64_t>(i + 1));
        std::swap(p[i], p[j]);
    }
    // Move the fixed leading values into place; every step is a swap, so the
    // result stays a permutation.
    const uint8_t head[] = {225, 155, 210, 108, 175, 199, 221, 144};
    for (int k = 0; k < 8; ++k) {
        int at = k;
        while (p[at] != head[k]) ++at;
        std::swap(p[k], p[at]);
    }
    return p;
}

constexpr bool isPermutation(const std::array<uint8_t, 256> &p) {
    bool seen[256] = {};
    for (uint8_t v : p) {
        if (seen[v]) return false;
        seen[v] = true;
    }
    return true;
}

}  // namespace

constexpr std::array<float, kNoiseTableSize> noiseTable = makeNoiseTable();
constexpr std::array<uint8_t, 256> noisePermutation = makePermutation();
static_assert(isPermutation(noisePermutation));

// ---------------------------------------------------------------------------
// Lattice value noise.
namespace {

constexpr const float *T = noiseTable.data();

// Coordinates beyond +-1e9 (and NaN) act as 0.
inline double clampCoord(double c) { return std::fabs(c) <= 1e9 ? c : 0.0; }

// c - floor(c) for |c| <= 1e9, through truncation (no rounding mode change,
// no library call). Can round up to exactly 1 for tiny negative c, which the
// masked lattice indices absorb.
inline double fracFloor(double c) {
    double f = c - static_cast<double>(static_cast<int64_t>(c));
    return f < 0.0 ? f + 1.0 : f;
}

// One axis of the common lattice step: the three neighbour indices (masked to
// the 32-cell lattice, times `stride`) and the quadratic B-spline weights.
struct Axis {
    int idx[3];
    float w[3];
};

// Weights of Q(a, b, c, t) = ((a - 2b + c) t - 2(a - b)) t + a + b written as
// a (1 - t)^2 + b (1 + 2t - 2t^2) + c t^2: twice the uniform quadratic
// B-spline.
inline void splineWeights(float t, float w[3]) {
    float u = 1.0f - t;
    w[0] = u * u;
    w[2] = t * t;
    w[1] = 1.0f + 2.0f * t - 2.0f * w[2];
}

inline Axis latticeAxis(double c, int stride) {
    Axis a;
    float s = static_cast<float>(fracFloor(clampCoord(c))) * 32.0f;
    int i = static_cast<int>(s);
    float t = s - static_cast<float>(i);
    a.idx[0] = ((i - 1) & 31) * stride;
    a.idx[1] = (i & 31) * stride;
    a.idx[2] = ((i + 1) & 31) * stride;
    splineWeights(t, a.w);
    return a;
}

// One axis for the padded lattice below: the cell index (masked; s = 32,
// where the fraction rounds up to 1, is cell 0 with t = 0, the same point)
// and the weights of its neighbours i - 1, i, i + 1.
struct Cell {
    int i;
    float w[3];
};

[[maybe_unused]] inline Cell latticeCell(double c) {
    Cell a;
    float s = static_cast<float>(fracFloor(clampCoord(c))) * 32.0f;
    int i = static_cast<int>(s);
    splineWeights(s - static_cast<float>(i), a.w);
    a.i = i & 31;
    return a;
}

// Copy of the 32x32x32 lattice with the wrap applied ahead of time: padded
// entry (x, y, z) is lattice ((x - 1) & 31, (y - 1) & 31, (z - 1) & 31), so
// the 3x3x3 neighbours of cell (i, j, k) start at padded (i, j, k) and lie
// at fixed offsets. Rows carry 36 entries (x = 0 .. 35) so that one 4-wide
// load fetches the three x-neighbours (the fourth weighted 0).
constexpr int kRowStride = 36;
constexpr int kPlaneStride = 34 * kRowStride;
constexpr int kPaddedSize = 34 * kPlaneStride;

constexpr std::array<float, kPaddedSize> makePaddedLattice() {
    std::array<float, kPaddedSize> p{};
    for (int z = 0; z < 34; ++z)
        for (int y = 0; y < 34; ++y)
            for (int x = 0; x < kRowStride; ++x)
                p[z * kPlaneStride + y * kRowStride + x] =
                    noiseTable[((x - 1) & 31) + 32 * ((y - 1) & 31) + 1024 * ((z - 1) & 31)];
    return p;
}

alignas(16) constexpr std::array<float, kPaddedSize> kPaddedLattice = makePaddedLattice();

#if VEKO_NOISE_SSE
// The lattice step of up to three coordinates at once (lanes x, y, z): the
// same operations as latticeCell, so the results are identical.
struct Cells {
    int base;         // offset of padded (i, j, k) in kPaddedLattice
    __m128 w0, w1, w2;  // per lane: weights of neighbours i - 1, i, i + 1
};

inline __m128d fracFloor2(__m128d c) {
    const __m128d absMask = _mm_castsi128_pd(_mm_set1_epi64x(0x7fffffffffffffffLL));
    c = _mm_and_pd(c, _mm_cmple_pd(_mm_and_pd(c, absMask), _mm_set1_pd(1e9)));  // clamp, NaN -> 0
    // |c| <= 1e9 fits the 32-bit truncation.
    __m128d f = _mm_sub_pd(c, _mm_cvtepi32_pd(_mm_cvttpd_epi32(c)));
    return _mm_add_pd(f, _mm_and_pd(_mm_cmplt_pd(f, _mm_setzero_pd()), _mm_set1_pd(1.0)));
}

inline Cells latticeCells(double x, double y, double z) {
    __m128 f = _mm_movelh_ps(_mm_cvtpd_ps(fracFloor2(_mm_set_pd(y, x))), _mm_cvtpd_ps(fracFloor2(_mm_set_sd(z))));
    __m128 s = _mm_mul_ps(f, _mm_set1_ps(32.0f));
    __m128i i = _mm_cvttps_epi32(s);
    __m128 t = _mm_sub_ps(s, _mm_cvtepi32_ps(i));
    alignas(16) int32_t cell[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(cell), _mm_and_si128(i, _mm_set1_epi32(31)));
    const __m128 one = _mm_set1_ps(1.0f);
    __m128 u = _mm_sub_ps(one, t);
    __m128 t2 = _mm_mul_ps(t, t);
    Cells c;
    c.base = cell[2] * kPlaneStride + cell[1] * kRowStride + cell[0];
    c.w0 = _mm_mul_ps(u, u);
    c.w2 = t2;
    c.w1 = _mm_sub_ps(_mm_add_ps(one, _mm_add_ps(t, t)), _mm_add_ps(t2, t2));
    return c;
}

template <int Lane>
inline __m128 broadcast(__m128 v) {
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(Lane, Lane, Lane, Lane));
}

// y-weighted sum of the three rows of the plane at `plane` (4 x-lanes).
inline __m128 blendRows(const float *plane, __m128 wy0, __m128 wy1, __m128 wy2) {
    __m128 a = _mm_mul_ps(wy0, _mm_loadu_ps(plane));
    a = _mm_add_ps(a, _mm_mul_ps(wy1, _mm_loadu_ps(plane + kRowStride)));
    return _mm_add_ps(a, _mm_mul_ps(wy2, _mm_loadu_ps(plane + 2 * kRowStride)));
}

// Blend of the x-lanes (i - 1, i, i + 1; lane 3 weighted 0) with the x
// weights of lane 0.
inline float blendX(__m128 acc, const Cells &c) {
    __m128 wx = _mm_movelh_ps(_mm_unpacklo_ps(c.w0, c.w1), _mm_move_ss(_mm_setzero_ps(), c.w2));
    __m128 p = _mm_mul_ps(acc, wx);
    p = _mm_add_ps(p, _mm_movehl_ps(p, p));
    p = _mm_add_ss(p, _mm_shuffle_ps(p, p, 1));
    return _mm_cvtss_f32(p);
}
#else
// Quadratic B-spline blend of the NZ x 3 x 3 neighbours starting at `base`:
// y-weighted rows per plane, z-weighted planes, then the x weights.
template <int NZ>
inline float blendLattice(const float *base, const float (&wx)[3], const float (&wy)[3], const float (&wz)[NZ]) {
    float acc[3] = {0.0f, 0.0f, 0.0f};
    for (int k = 0; k < NZ; ++k)
        for (int j = 0; j < 3; ++j) {
            const float *row = base + k * kPlaneStride + j * kRowStride;
            float w = wz[k] * wy[j];
            for (int q = 0; q < 3; ++q) acc[q] += w * row[q];
        }
    return wx[0] * acc[0] + wx[1] * acc[1] + wx[2] * acc[2];
}
#endif

inline double quad(double a, double b, double c, double t) {
    return ((a - 2.0 * b + c) * t - 2.0 * (a - b)) * t + a + b;
}
inline float quadf(float a, float b, float c, float t) {
    return ((a - 2.0f * b + c) * t - 2.0f * (a - b)) * t + a + b;
}

}  // namespace

float noise1(double x) {
    float s = static_cast<float>(fracFloor(clampCoord(x))) * 32.0f;
    // The first segment is extended backwards (t in [-1, 0)) so that index
    // i - 1 never wraps: the function jumps at integer x.
    int i = s < 1.0f ? 1 : static_cast<int>(s);
    float t = s - static_cast<float>(i);
    return quadf(T[i - 1], T[i], T[i + 1], t) * 0.25f;
}

float noise2(double x, double y) {
    // The 2D lattice is the z = 0 plane (padded plane 1).
#if VEKO_NOISE_SSE
    Cells c = latticeCells(x, y, 0.0);  // z cell 0: base = j * kRowStride + i
    const float *base = kPaddedLattice.data() + kPlaneStride + c.base;
    __m128 acc = blendRows(base, broadcast<1>(c.w0), broadcast<1>(c.w1), broadcast<1>(c.w2));
    return blendX(acc, c) * 0.25f;
#else
    Cell cx = latticeCell(x), cy = latticeCell(y);
    const float *base = kPaddedLattice.data() + kPlaneStride + cy.i * kRowStride + cx.i;
    const float wz[1] = {1.0f};
    return blendLattice(base, cx.w, cy.w, wz) * 0.25f;
#endif
}

void noise2Deriv(float out[2], double x, double y) {
    double sx = fracFloor(clampCoord(x)) * 32.0;
    double sy = fracFloor(clampCoord(y)) * 32.0;
    int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
    double tx = sx - ix, ty = sy - iy;
    int xi[3] = {(ix - 1) & 31, ix & 31, (ix + 1) & 31};
    double rows[3], half[3];
    for (int j = 0; j < 3; ++j) {
        const float *row = T + ((iy - 1 + j) & 31) * 32;
        double a = row[xi[0]], b = row[xi[1]], c = row[xi[2]];
        rows[j] = quad(a, b, c, tx);
        half[j] = (a - 2.0 * b + c) * tx - a + b;  // half the x-derivative of Q
    }
    out[0] = static_cast<float>(quad(half[0], half[1], half[2], ty));
    out[1] = static_cast<float>((rows[0] - 2.0 * rows[1] + rows[2]) * ty - rows[0] + rows[1]);
}

float noise3(double x, double y, double z) {
#if VEKO_NOISE_SSE
    Cells c = latticeCells(x, y, z);
    const float *base = kPaddedLattice.data() + c.base;
    __m128 wy0 = broadcast<1>(c.w0), wy1 = broadcast<1>(c.w1), wy2 = broadcast<1>(c.w2);
    __m128 acc = _mm_mul_ps(broadcast<2>(c.w0), blendRows(base, wy0, wy1, wy2));
    acc = _mm_add_ps(acc, _mm_mul_ps(broadcast<2>(c.w1), blendRows(base + kPlaneStride, wy0, wy1, wy2)));
    acc = _mm_add_ps(acc, _mm_mul_ps(broadcast<2>(c.w2), blendRows(base + 2 * kPlaneStride, wy0, wy1, wy2)));
    return blendX(acc, c) * 0.125f;
#else
    Cell cx = latticeCell(x), cy = latticeCell(y), cz = latticeCell(z);
    const float *base = kPaddedLattice.data() + cz.i * kPlaneStride + cy.i * kRowStride + cx.i;
    return blendLattice(base, cx.w, cy.w, cz.w) * 0.125f;
#endif
}

float noise4(double x, double y, double z, double t, int32_t timeResolution) {
    // A negative resolution would address before the table: act as 0 (one
    // frozen time key).
    int n = std::clamp<int32_t>(timeResolution, 0, 60000);
    double ft = fracFloor(clampCoord(t)) * n;
    int key = static_cast<int>(ft);
    float s = static_cast<float>(ft - key);
    float h[3];
    for (int q = 0; q < 3; ++q) h[q] = (T[key + q] + 1.0f) * 21568.16f;
    float tw[3];
    splineWeights(s, tw);

    Axis ax = latticeAxis(x, 1);
    Axis ay = latticeAxis(y, 32);
    Axis az = latticeAxis(z, 1024);
    float sum = 0.0f;
    for (int k = 0; k < 3; ++k) {
        float plane = 0.0f;
        for (int j = 0; j < 3; ++j) {
            const float *row = T + az.idx[k] + ay.idx[j];
            float r = 0.0f;
            for (int i = 0; i < 3; ++i) {
                float g = row[ax.idx[i]] + 2.0f;  // in [1, 3)
                float v = 0.0f;
                for (int q = 0; q < 3; ++q) {
                    float p = g * h[q];  // rounded to float before frac
                    v += tw[q] * (p - static_cast<float>(static_cast<int32_t>(p)));
                }
                r += ax.w[i] * v;
            }
            plane += ay.w[j] * r;
        }
        sum += az.w[k] * plane;
    }
    return sum * 0.125f - 1.0f;
}

double randomValue(int32_t i) {
    // Through 64 bits so that |INT32_MIN| is representable.
    int64_t a = std::llabs(static_cast<int64_t>(i));
    return T[a % kNoiseTableSize];
}

void randomVector(float out[3], int32_t i) {
    int64_t base = static_cast<int64_t>(i) % kNoiseTableSize;
    if (base < 0) base += kNoiseTableSize;
    for (int q = 0; q < 3; ++q) out[q] = T[(base + q) % kNoiseTableSize];
}

// ---------------------------------------------------------------------------
// Run-time tables: built under the host lock (and a library mutex, so that a
// call without a state is still serialised), published with release stores
// and read lock-free with acquire loads.
namespace detail {

namespace {
std::mutex g_tableMutex;
}

TableLock::TableLock(xrState *state) : state_(state) {
    if (state_) xr_lock(state_->libraryLock);
    g_tableMutex.lock();
}

TableLock::~TableLock() {
    g_tableMutex.unlock();
    if (state_) xr_unlock(state_->libraryLock);
}

}  // namespace detail

namespace {
using detail::TableLock;

std::atomic<float *> g_gradientTable{nullptr};

// The table lives while the library is loaded and goes back to the host when
// the library is unloaded, so that the host's leak report stays clean.
struct GradientTableRelease {
    ~GradientTableRelease() {
        if (float *g = g_gradientTable.exchange(nullptr)) xr_mem_int_release("noise", __LINE__, g);
    }
} g_gradientTableRelease;

inline float clampCoordf(float c) { return (c >= -1e9f && c <= 1e9f) ? c : 0.0f; }

}  // namespace

const float *gradientTable() { return g_gradientTable.load(std::memory_order_acquire); }

void initGradientTable(xrState *state) {
    if (g_gradientTable.load(std::memory_order_acquire)) return;
    TableLock lock(state);
    if (g_gradientTable.load(std::memory_order_relaxed)) return;
    const size_t bytes = static_cast<size_t>(kNoiseTableSize) * 3 * sizeof(float);  // 786420
    // Shared by every render until the library is unloaded.
    auto *g = static_cast<float *>(xr_mem_int_allocate("noise", __LINE__, bytes));
    if (!g) return;
    xr_srandom(1);
    for (int v = 0; v < kNoiseTableSize; ++v) {
        double r1 = xr_random();
        double r2 = xr_random();
        double z = 1.0 - 2.0 * r1;
        double phi = static_cast<double>(6.2831855f) * r2;
        double rad = std::sqrt(std::max(0.0, 1.0 - z * z));
        g[3 * v + 0] = static_cast<float>(std::cos(phi) * rad);
        g[3 * v + 1] = static_cast<float>(std::sin(phi) * rad);
        g[3 * v + 2] = static_cast<float>(z);
    }
    g_gradientTable.store(g, std::memory_order_release);
}

float gradientNoise3(float x, float y, float z) {
    const float *g = g_gradientTable.load(std::memory_order_acquire);
    if (!g) return 0.0f;
    x = clampCoordf(x);
    y = clampCoordf(y);
    z = clampCoordf(z);
    float flx = std::floor(x), fly = std::floor(y), flz = std::floor(z);
    int32_t ix = static_cast<int32_t>(flx), iy = static_cast<int32_t>(fly), iz = static_cast<int32_t>(flz);
    float f[3] = {x - flx, y - fly, z - flz};
    const uint8_t *P = noisePermutation.data();

    float corner[2][2][2];
    for (int dz = 0; dz < 2; ++dz) {
        int pz = P[(iz + dz) & 255];
        for (int dy = 0; dy < 2; ++dy) {
            int py = P[(pz + iy + dy) & 255];
            for (int dx = 0; dx < 2; ++dx) {
                const float *gr = g + 3 * P[(py + ix + dx) & 255];
                corner[dz][dy][dx] = gr[0] * (f[0] - dx) + gr[1] * (f[1] - dy) + gr[2] * (f[2] - dz);
            }
        }
    }
    float wx = smoothStep(f[0]), wy = smoothStep(f[1]), wz = smoothStep(f[2]);
    float plane[2];
    for (int dz = 0; dz < 2; ++dz) {
        float a = corner[dz][0][0] + wx * (corner[dz][0][1] - corner[dz][0][0]);
        float b = corner[dz][1][0] + wx * (corner[dz][1][1] - corner[dz][1][0]);
        plane[dz] = a + wy * (b - a);
    }
    return plane[0] + wz * (plane[1] - plane[0]);
}

// ---------------------------------------------------------------------------
// Classic gradient noise: 256 gradients and a permutation, both repeated so
// that p[i + b] and g[p + b] never need a mask (514 entries).
namespace {

constexpr int kClassicSize = 256 + 258;

struct ClassicTables {
    int32_t p[kClassicSize];
    float g[kClassicSize][3];
};

inline float lerp(float t, float a, float b) { return a + t * (b - a); }

// Gradient noise on tables `tb`, the coordinates shifted by `shift` so that
// ordinary inputs stay positive (the integer part truncates).
float classicGradient3(const ClassicTables &tb, float shift, float x, float y, float z) {
    float v[3] = {clampCoordf(x) + shift, clampCoordf(y) + shift, clampCoordf(z) + shift};
    int b0[3], b1[3];
    float r0[3], r1[3];
    for (int a = 0; a < 3; ++a) {
        int ip = static_cast<int>(v[a]);
        b0[a] = ip & 255;
        b1[a] = (b0[a] + 1) & 255;
        r0[a] = v[a] - static_cast<float>(ip);
        r1[a] = r0[a] - 1.0f;
    }
    const int32_t *p = tb.p;
    int i = p[b0[0]], j = p[b1[0]];
    int b00 = p[i + b0[1]], b10 = p[j + b0[1]], b01 = p[i + b1[1]], b11 = p[j + b1[1]];
    auto at = [&](int index, float rx, float ry, float rz) {
        const float *q = tb.g[index];
        return rx * q[0] + ry * q[1] + rz * q[2];
    };
    float sx = smoothStep(r0[0]), sy = smoothStep(r0[1]), sz = smoothStep(r0[2]);
    float c[2];
    for (int k = 0; k < 2; ++k) {
        int bz = k ? b1[2] : b0[2];
        float rz = k ? r1[2] : r0[2];
        float a = lerp(sx, at(b00 + bz, r0[0], r0[1], rz), at(b10 + bz, r1[0], r0[1], rz));
        float b = lerp(sx, at(b01 + bz, r0[0], r1[1], rz), at(b11 + bz, r1[0], r1[1], rz));
        c[k] = lerp(sy, a, b);
    }
    return lerp(sz, c[0], c[1]);
}

void repeatTables(ClassicTables &tb) {
    for (int i = 0; i < 258; ++i) {
        tb.p[256 + i] = tb.p[i];
        for (int a = 0; a < 3; ++a) tb.g[256 + i][a] = tb.g[i][a];
    }
}

void normalise(float g[3]) {
    float len = std::sqrt(g[0] * g[0] + g[1] * g[1] + g[2] * g[2]);
    if (len > 0.0f)
        for (int a = 0; a < 3; ++a) g[a] /= len;
}

// Woodgrain tables: a private 48-bit linear congruential generator of the
// lrand48 kind (a = 0x5DEECE66D, c = 11), seeded as with seed 1.
struct Lrand48 {
    uint64_t state = (uint64_t{1} << 16) | 0x330E;
    uint32_t next() {
        state = (0x5DEECE66DULL * state + 11) & ((uint64_t{1} << 48) - 1);
        return static_cast<uint32_t>(state >> 17);
    }
};

ClassicTables g_classic;
std::atomic<bool> g_classicBuilt{false};
std::mutex g_classicMutex;

const ClassicTables &classicTables() {
    if (!g_classicBuilt.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> guard(g_classicMutex);
        if (!g_classicBuilt.load(std::memory_order_relaxed)) {
            Lrand48 rng;
            for (int i = 0; i < 256; ++i) {
                g_classic.p[i] = i;
                for (int a = 0; a < 3; ++a)
                    g_classic.g[i][a] = static_cast<float>(static_cast<int>(rng.next() % 512) - 256) / 256.0f;
                normalise(g_classic.g[i]);
            }
            for (int i = 255; i > 0; --i) std::swap(g_classic.p[i], g_classic.p[rng.next() % 256]);
            repeatTables(g_classic);
            g_classicBuilt.store(true, std::memory_order_release);
        }
    }
    return g_classic;
}

ClassicTables g_fur;
std::atomic<bool> g_furBuilt{false};

}  // namespace

float classicNoise1(float x) {
    const ClassicTables &tb = classicTables();
    float v = clampCoordf(x) + 256.0f;
    int ip = static_cast<int>(v);
    int b0 = ip & 255, b1 = (b0 + 1) & 255;
    float r0 = v - static_cast<float>(ip), r1 = r0 - 1.0f;
    float u = r0 * tb.g[tb.p[b0]][0];
    float w = r1 * tb.g[tb.p[b1]][0];
    return lerp(smoothStep(r0), u, w);
}

float classicNoise3(float x, float y, float z) { return classicGradient3(classicTables(), 256.0f, x, y, z); }

GradientTables classicNoiseTables() {
    const ClassicTables &tb = classicTables();
    return {tb.p, &tb.g[0][0]};
}

void initFurNoise(xrState *state) {
    // Built once: rebuilding while render threads read the tables would let
    // them see a half-shuffled permutation.
    if (g_furBuilt.load(std::memory_order_acquire)) return;
    TableLock lock(state);
    if (g_furBuilt.load(std::memory_order_relaxed)) return;
    xr_srandom(1);
    for (int i = 0; i < 256; ++i) {
        // Uniform direction: rejection sampling in the unit ball. The retry
        // count is bounded so that a generator stuck at one value cannot hang
        // the render; it then falls back to a fixed axis.
        float *g = g_fur.g[i];
        float len2 = 0.0f;
        for (int attempt = 0; attempt < 64; ++attempt) {
            for (int a = 0; a < 3; ++a) g[a] = static_cast<float>(2.0 * xr_random() - 1.0);
            len2 = g[0] * g[0] + g[1] * g[1] + g[2] * g[2];
            if (len2 <= 1.0f && len2 > 1e-12f) break;
        }
        if (!(len2 <= 1.0f && len2 > 1e-12f)) {
            g[0] = 0.0f;
            g[1] = 0.0f;
            g[2] = 1.0f;
        }
        normalise(g);
        g_fur.p[i] = i;
    }
    // Full Fisher-Yates shuffle over the 256 filled entries.
    for (int i = 255; i > 0; --i) {
        int j = std::min(i, static_cast<int>(xr_random() * (i + 1)));
        std::swap(g_fur.p[i], g_fur.p[j]);
    }
    repeatTables(g_fur);
    g_furBuilt.store(true, std::memory_order_release);
}

float furNoise3(float x, float y, float z) {
    if (!g_furBuilt.load(std::memory_order_acquire)) return 0.0f;
    return 1.5f * classicGradient3(g_fur, 10000.0f, x, y, z);
}

GradientTables furNoiseTables() {
    if (!g_furBuilt.load(std::memory_order_acquire)) return {nullptr, nullptr};
    return {g_fur.p, &g_fur.g[0][0]};
}

}  // namespace veko
