// Band-limited fractal sums of trilinear value noise (crater, stucco) and the
// sparse cell noise of cone-shaped spots (granite, leather).
#include <algorithm>
#include <atomic>
#include <cmath>

#include "noise.h"
#include "vekobase.h"

namespace veko {

// ---------------------------------------------------------------------------
// Constant tables.
namespace {

// Bell-shaped values: a sum of twelve uniforms (mean 6, variance 1) scaled
// to a standard deviation of 0.34 and clipped to [-1, 1], six digits.
constexpr std::array<float, kFractalLatticeSize> makeFractalLattice() {
    std::array<float, kFractalLatticeSize> t{};
    detail::TableRandom rng(0x66726163ULL);
    for (auto &v : t) {
        double sum = 0.0;
        for (int k = 0; k < 12; ++k) sum += rng.uniform();
        double x = std::clamp((sum - 6.0) * 0.34, -1.0, 1.0);
        int64_t q = static_cast<int64_t>(x * 1e6 + (x < 0 ? -0.5 : 0.5));
        v = detail::sixDigits(q);
    }
    const float head[] = {-0.502184f, 0.080665f, -0.075730f, 0.031195f};
    for (size_t i = 0; i < std::size(head); ++i) t[i] = head[i];
    return t;
}

constexpr int countValue(const std::array<float, kFractalLatticeSize> &t, float value) {
    int n = 0;
    for (float v : t) n += v == value;
    return n;
}

}  // namespace

constexpr std::array<float, kFractalLatticeSize> fractalLattice = makeFractalLattice();
static_assert(countValue(fractalLattice, 1.0f) > 0 && countValue(fractalLattice, -1.0f) > 0,
              "the clipped tails must reach both ends");

constexpr std::array<float, 12> octaveOffsets = {4591.4585f, 7862.7656f, 3987.8354f, 1234.6779f,
                                                 4387.8770f, 5243.8979f, 5476.3271f, 4326.9688f,
                                                 2098.4324f, 9798.5088f, 7487.3145f, 8679.2334f};

// ---------------------------------------------------------------------------
// Fractal sums.
namespace {

constexpr uint32_t nibble(uint32_t v, int n) { return (v >> (4 * n)) & 15u; }

// The hash is an exclusive-or of nibbles, each index nibble taking nibbles of
// one coordinate at a time, so it splits into one term per coordinate:
// h(x, y, z) = hx(x) ^ hy(y) ^ hz(z); and each term splits again into its
// low and high byte, which the tables below hold.
constexpr uint32_t hashX(uint32_t x) {
    return nibble(x, 0) | (nibble(x, 1) ^ nibble(x, 2)) << 4 | (nibble(x, 1) ^ nibble(x, 3)) << 8;
}
constexpr uint32_t hashY(uint32_t y) {
    return nibble(y, 1) | (nibble(y, 0) ^ nibble(y, 2)) << 4 | (nibble(y, 1) ^ nibble(y, 2)) << 8;
}
constexpr uint32_t hashZ(uint32_t z) {
    return nibble(z, 2) | (nibble(z, 1) ^ nibble(z, 3)) << 4 | (nibble(z, 0) ^ nibble(z, 2)) << 8;
}

struct HashTables {
    uint16_t lo[3][256], hi[3][256];
};

constexpr HashTables makeHashTables() {
    HashTables t{};
    for (uint32_t b = 0; b < 256; ++b) {
        t.lo[0][b] = static_cast<uint16_t>(hashX(b));
        t.lo[1][b] = static_cast<uint16_t>(hashY(b));
        t.lo[2][b] = static_cast<uint16_t>(hashZ(b));
        t.hi[0][b] = static_cast<uint16_t>(hashX(b << 8));
        t.hi[1][b] = static_cast<uint16_t>(hashY(b << 8));
        t.hi[2][b] = static_cast<uint16_t>(hashZ(b << 8));
    }
    return t;
}

constexpr HashTables kHash = makeHashTables();

// Term of coordinate `axis` (0 x, 1 y, 2 z) of the lattice hash.
inline uint32_t hashTerm(int axis, uint32_t v) { return kHash.lo[axis][v & 255] ^ kHash.hi[axis][(v >> 8) & 255]; }

// Lattice cell of one coordinate: the low 32 bits of floor(v) (all the hash
// reads) and the fraction against floor. Non-finite or absurdly large
// coordinates act as 0 rather than overflow the integer conversion.
inline void latticeCell(float v, uint32_t &cell, float &frac) {
    if (!(std::fabs(v) < 1e18f)) v = 0.0f;
    float fl = std::floor(v);
    cell = static_cast<uint32_t>(static_cast<int64_t>(fl));
    frac = v - fl;
}

// One octave's corner values c[dz][dy][dx] and fractions.
struct Octave {
    float c[2][2][2];
    float t[3];
};

inline void octaveCorners(const float point[3], int k, Octave &o) {
    float f = static_cast<float>(1 << k);
    uint32_t cell[3];
    for (int a = 0; a < 3; ++a) latticeCell(point[a] * f + octaveOffsets[k + a], cell[a], o.t[a]);
    uint32_t hx[2] = {hashTerm(0, cell[0]), hashTerm(0, cell[0] + 1)};
    uint32_t hy[2] = {hashTerm(1, cell[1]), hashTerm(1, cell[1] + 1)};
    uint32_t hz[2] = {hashTerm(2, cell[2]), hashTerm(2, cell[2] + 1)};
    for (int dz = 0; dz < 2; ++dz)
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) o.c[dz][dy][dx] = fractalLattice[hx[dx] ^ hy[dy] ^ hz[dz]];
}

// Weight of octave k of n: 1/f, the last one 2/f - filterWidth.
inline float octaveWeight(int k, int n, float filterWidth) {
    float inv = 1.0f / static_cast<float>(1 << k);
    return k == n - 1 ? 2.0f * inv - filterWidth : inv;
}

inline float lerp(float t, float a, float b) { return a + t * (b - a); }

}  // namespace

int fractalHash(int32_t x, int32_t y, int32_t z) {
    uint32_t ux = static_cast<uint32_t>(x), uy = static_cast<uint32_t>(y), uz = static_cast<uint32_t>(z);
    uint32_t lo = nibble(ux, 0) ^ nibble(uy, 1) ^ nibble(uz, 2);
    uint32_t mid = nibble(uy, 0) ^ nibble(ux, 1) ^ nibble(uz, 1) ^ nibble(ux, 2) ^ nibble(uy, 2) ^ nibble(uz, 3);
    uint32_t hi = nibble(uz, 0) ^ nibble(ux, 1) ^ nibble(uy, 1) ^ nibble(uy, 2) ^ nibble(uz, 2) ^ nibble(ux, 3);
    return static_cast<int>(lo | mid << 4 | hi << 8);
}

int fractalOctaves(float filterWidth) {
    if (filterWidth < 0.00390625f) return kOctaveCount;
    float w = filterWidth;
    for (int k = 0; k < kOctaveCount; ++k, w *= 2.0f)
        if (w > 1.0f) return k + 1;
    return kOctaveCount;  // NaN
}

float fractalNoise(float filterWidth, float amplitude, const float point[3]) {
    int n = fractalOctaves(filterWidth);
    float sum = 0.0f;
    Octave o;
    for (int k = 0; k < n; ++k) {
        octaveCorners(point, k, o);
        float plane[2];
        for (int dz = 0; dz < 2; ++dz) {
            float a = lerp(o.t[0], o.c[dz][0][0], o.c[dz][0][1]);
            float b = lerp(o.t[0], o.c[dz][1][0], o.c[dz][1][1]);
            plane[dz] = lerp(o.t[1], a, b);
        }
        sum += octaveWeight(k, n, filterWidth) * lerp(o.t[2], plane[0], plane[1]);
    }
    return amplitude * sum;
}

void fractalNoiseVector(float out[3], float filterWidth, float amplitude, const float point[3]) {
    int n = fractalOctaves(filterWidth);
    float sum[3] = {0.0f, 0.0f, 0.0f};
    Octave o;
    for (int k = 0; k < n; ++k) {
        octaveCorners(point, k, o);
        float w = octaveWeight(k, n, filterWidth);
        const float *t = o.t;
        // x: differences along x, blended over y then z.
        float dx0 = lerp(t[1], o.c[0][0][1] - o.c[0][0][0], o.c[0][1][1] - o.c[0][1][0]);
        float dx1 = lerp(t[1], o.c[1][0][1] - o.c[1][0][0], o.c[1][1][1] - o.c[1][1][0]);
        // y: differences along y, blended over x then z.
        float dy0 = lerp(t[0], o.c[0][1][0] - o.c[0][0][0], o.c[0][1][1] - o.c[0][0][1]);
        float dy1 = lerp(t[0], o.c[1][1][0] - o.c[1][0][0], o.c[1][1][1] - o.c[1][0][1]);
        // z: differences along z, blended over x then y.
        float dz0 = lerp(t[0], o.c[1][0][0] - o.c[0][0][0], o.c[1][0][1] - o.c[0][0][1]);
        float dz1 = lerp(t[0], o.c[1][1][0] - o.c[0][1][0], o.c[1][1][1] - o.c[0][1][1]);
        sum[0] += w * t[0] * (1.0f - t[0]) * lerp(t[2], dx0, dx1);
        sum[1] += w * t[1] * (1.0f - t[1]) * lerp(t[2], dy0, dy1);
        sum[2] += w * t[2] * (1.0f - t[2]) * lerp(t[1], dz0, dz1);
    }
    for (int a = 0; a < 3; ++a) out[a] = amplitude * sum[a];
}

// ---------------------------------------------------------------------------
// Cell noise.
namespace {

constexpr int kCellFalloff = 256;
constexpr int kCellRandom = 8100;
constexpr int kCellGrid = 20;

std::atomic<float *> g_cellTable{nullptr};

// Released to the host when the library is unloaded.
struct CellTableRelease {
    ~CellTableRelease() {
        if (float *t = g_cellTable.exchange(nullptr)) xr_mem_int_release("fractal", __LINE__, t);
    }
} g_cellTableRelease;

}  // namespace

const float *cellTable() { return g_cellTable.load(std::memory_order_acquire); }

void initCellTable(xrState *state) {
    if (g_cellTable.load(std::memory_order_acquire)) return;
    detail::TableLock lock(state);
    if (g_cellTable.load(std::memory_order_relaxed)) return;
    // Shared by every render until the library is unloaded.
    auto *t = static_cast<float *>(
        xr_mem_int_allocate("fractal", __LINE__, (kCellFalloff + kCellRandom) * sizeof(float)));
    if (!t) return;
    for (int i = 0; i < kCellFalloff; ++i) t[i] = 1.0f - std::sqrt(static_cast<float>(i)) / 16.0f;
    // A private generator state, so the host's shared generator is untouched.
    unsigned short seed[3] = {0x330E, 1, 0};
    for (int j = 0; j < kCellRandom; ++j) t[kCellFalloff + j] = static_cast<float>(2.0 * xr_erandom(seed) - 1.0);
    g_cellTable.store(t, std::memory_order_release);
}

float cellNoise(float cellSize, float density, float mix, float randomness, float creaseWidth,
                int32_t creases, const float point[3], float channels[3]) {
    float t0 = 0.0f, t1 = 0.0f;
    if (channels) {
        t0 = channels[0];
        t1 = channels[1];
        channels[0] = channels[1] = channels[2] = 0.0f;
    }
    const float *table = g_cellTable.load(std::memory_order_acquire);
    if (!table) return 0.0f;
    const float *F = table;
    const float *R = table + kCellFalloff;

    float size = std::max(4.0f * cellSize, 0.00001f);
    float dens = std::max(density, 0.00001f);
    float distScale = 2.0f / dens;
    float invSize = 1.0f / size;
    int cell[3];
    float frac[3];
    for (int a = 0; a < 3; ++a) {
        float v = point[a] * invSize;
        float fr = v - std::floor(v);
        if (!(fr >= 0.0f && fr <= 1.0f)) fr = 0.0f;  // NaN, infinities
        float g = fr * kCellGrid;                     // up to 20 when fr rounds to 1
        cell[a] = static_cast<int>(g);
        frac[a] = g - static_cast<float>(cell[a]);
    }
    auto wrap = [](int c) { return c < 0 ? c + kCellGrid : (c >= kCellGrid ? c - kCellGrid : c); };
    float halfRandom = 0.5f * randomness;
    float halfMix = 0.5f * mix;

    float sum = 0.0f;
    for (int dz = -1; dz <= 1; ++dz) {
        int cz = wrap(cell[2] + dz);
        for (int dy = -1; dy <= 1; ++dy) {
            int cy = wrap(cell[1] + dy);
            for (int dx = -1; dx <= 1; ++dx) {
                int cx = wrap(cell[0] + dx);
                const float *r = R + 400 * cz + 20 * cy + cx;
                float ox = frac[0] - dx - (0.5f + halfRandom * r[0]);
                float oy = frac[1] - dy - (0.5f + halfRandom * r[1]);
                float oz = frac[2] - dz - (0.5f + halfRandom * r[2]);
                float d2 = (ox * ox + oy * oy + oz * oz) * distScale;
                if (!(d2 < 1.0f)) continue;  // also skips NaN
                float last = (1.0f - halfMix) + halfMix * r[4];
                if (last <= 0.0f) continue;
                float v = (0.5f + halfMix * r[3]) * F[static_cast<int>(255.0f * d2)] * last;
                if (creases && sum > 0.0f) {
                    float delta = std::fabs(sum - v);
                    if (creaseWidth > delta)
                        sum = delta / creaseWidth + 20.0f;  // crease marker: >= 20
                    else if (delta < 18.0f)
                        sum += v;
                } else {
                    sum += v;
                }
                if (channels) {
                    float pick = r[5];
                    channels[t0 > pick ? 0 : (t1 > pick ? 1 : 2)] += v;
                }
            }
        }
    }
    return sum;
}

}  // namespace veko
