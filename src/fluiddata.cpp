// Fluid data blocks: validation, byte order and the grid samplers.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fluid.h"

namespace veko {

namespace {

int32_t intWord(const uint32_t *w, int i) {
    int32_t v;
    std::memcpy(&v, w + i, 4);
    return v;
}
float floatWord(const uint32_t *w, int i) {
    float v;
    std::memcpy(&v, w + i, 4);
    return v;
}

// Decimal text of a count (snprintf: std::to_string's digit table would
// become an exported unique symbol of the library).
std::string decimal(unsigned long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%llu", v);
    return buf;
}
std::string decimal(long long v) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "%lld", v);
    return buf;
}

void note(std::string *problem, const std::string &text) {
    if (problem && problem->empty()) *problem = text;
}

// Records that `part` read the grid record at `at` (a record read by
// several parts, such as a base grid that is also the density grid, once).
void noteRead(FluidGridReads &reads, int32_t at, FluidPart part) {
    for (int k = 0; k < reads.count; ++k)
        if (reads.at[k] == at) {
            reads.parts[k] |= 1u << part;
            return;
        }
    if (reads.count < kFluidMaxGrids) {
        reads.at[reads.count] = at;
        reads.parts[reads.count++] = 1u << part;
    }
}

// A grid record at word `at`: its header inside the block, positive
// resolutions and finite nonzero cell sizes, and (with values) every value
// inside the block.
bool readGrid(const uint32_t *w, size_t words, int32_t at, bool withValues, FluidGrid &g, const char *what,
              std::string *problem, FluidGridReads *reads, FluidPart part) {
    // Built only for a fault.
    auto where = [&] { return std::string(what) + " grid record at word " + decimal(static_cast<long long>(at)); };
    if (at < kFluidHeaderWords || size_t(at) + kFluidGridHeader > words) {
        note(problem, where() + " lies outside the block of " + decimal(static_cast<unsigned long long>(words)) + " words");
        return false;
    }
    if (reads) noteRead(*reads, at, part);
    const uint32_t *r = w + at;
    g.centre = {floatWord(r, 0), floatWord(r, 1), floatWord(r, 2)};
    g.size = {floatWord(r, 6), floatWord(r, 7), floatWord(r, 8)};
    g.cell = {floatWord(r, 9), floatWord(r, 10), floatWord(r, 11)};
    uint64_t count = 1;
    for (int a = 0; a < 3; ++a) {
        g.res[a] = intWord(r, 3 + a);
        g.mode[a] = intWord(r, 12 + a);
        const float c = comp(g.cell)[a], s = comp(g.size)[a];
        if (g.res[a] < 1 || !std::isfinite(c) || c == 0.0f || !std::isfinite(s) || s <= 0.0f ||
            !std::isfinite(comp(g.centre)[a])) {
            note(problem, where() + ": resolution, size and cell size must be positive");
            return false;
        }
        count *= uint64_t(g.res[a]);
    }
    g.values = reinterpret_cast<const float *>(r + kFluidGridHeader);
    if (withValues && count > words - size_t(at) - kFluidGridHeader) {
        note(problem, where() + ": its " + decimal(static_cast<unsigned long long>(count)) + " values run past the block's end");
        return false;
    }
    return true;
}

void readScalar(const uint32_t *w, size_t words, int scaleWord, int methodWord, int gridWord, FluidScalarField &f,
                const char *what, std::string *problem, FluidGridReads *reads, FluidPart part) {
    f.scale = floatWord(w, scaleWord);
    f.method = intWord(w, methodWord);
    if (f.method == kFluidGrid)
        f.hasGrid = readGrid(w, words, intWord(w, gridWord), true, f.grid, what, problem, reads, part);
}

}  // namespace

bool parseFluidBlock(const uint32_t *w, size_t words, FluidBlock &b, std::string *problem, FluidGridReads *reads) {
    b = FluidBlock{};
    if (reads) reads->count = 0;
    if (words < size_t(kFluidHeaderWords)) {
        note(problem, "block of " + decimal(static_cast<unsigned long long>(words)) + " words is shorter than its header");
        return false;
    }
    b.is2d = w[kFluid2d] != 0;
    b.densityOffset = w[kFluidDensityOffset] != 0;
    if (!readGrid(w, words, intWord(w, kFluidBaseGrid), false, b.base, "base", problem, reads, kFluidPartBase)) return false;

    readScalar(w, words, kFluidDensityScale, kFluidDensityMethod, kFluidDensityGrid, b.density, "density", problem,
               reads, kFluidPartDensity);
    readScalar(w, words, kFluidSecondScale, kFluidSecondMethod, kFluidSecondGrid, b.second, "second scalar",
               problem, reads, kFluidPartSecond);
    readScalar(w, words, kFluidThirdScale, kFluidThirdMethod, kFluidThirdGrid, b.third, "third scalar", problem,
               reads, kFluidPartThird);
    readScalar(w, words, kFluidSignedScale, kFluidSignedMethod, kFluidSignedGrid, b.signedField, "signed scalar",
               problem, reads, kFluidPartSigned);

    FluidVectorField &v = b.velocity;
    v.scale = {floatWord(w, kFluidVelocityScale), floatWord(w, kFluidVelocityScale + 1),
               floatWord(w, kFluidVelocityScale + 2)};
    v.method = intWord(w, kFluidVelocityMethod);
    v.staggered = w[kFluidVelocityStaggered] != 0;
    if (v.method == kFluidGrid) {
        static const char *names[3] = {"velocity x", "velocity y", "velocity z"};
        v.hasGrid = true;
        for (int a = 0; a < 3; ++a)
            v.hasGrid = readGrid(w, words, intWord(w, kFluidVelocityGrid + a), true, v.grid[a], names[a], problem,
                                reads, kFluidPartVelocity) &&
                        v.hasGrid;
    }

    FluidColorField &c = b.color;
    c.constant = {floatWord(w, kFluidColorConstant), floatWord(w, kFluidColorConstant + 1),
                  floatWord(w, kFluidColorConstant + 2), floatWord(w, kFluidColorConstant + 3)};
    c.method = intWord(w, kFluidColorMethod);
    if (c.method == kFluidGrid) {
        static const char *names[3] = {"red", "green", "blue"};
        c.hasGrid = true;
        for (int a = 0; a < 3; ++a)
            c.hasGrid = readGrid(w, words, intWord(w, kFluidColorGrid + a), true, c.grid[a], names[a], problem,
                                reads, kFluidPartColor) &&
                        c.hasGrid;
    }
    return true;
}

namespace {

using Four = uint32_t __attribute__((vector_size(16)));

// The differing bits of n (at least 4) words, four words at a time (the
// last four overlapping the rest), folded into `diff`; inline over fixed n
// as this runs on every texture call.
template <size_t n>
inline void foldDifference(const uint32_t *a, const uint32_t *b, Four &diff) {
    static_assert(n >= 4);
    auto four = [](const uint32_t *p) {
        Four v;
        std::memcpy(&v, p, sizeof v);
        return v;
    };
    if constexpr (n % 4 != 0) diff |= four(a + n - 4) ^ four(b + n - 4);
#pragma GCC unroll 16
    for (size_t i = 0; i + 4 <= n; i += 4) diff |= four(a + i) ^ four(b + i);
}

// Whether any bit of a difference is set.
inline bool anyBit(const Four &diff) {
#if defined(__SSE2__)
    // A compare and a byte mask: fewer steps than folding the four lanes.
    return _mm_movemask_epi8(_mm_cmpeq_epi32(__m128i(diff), _mm_setzero_si128())) != 0xffff;
#else
    return (diff[0] | diff[1] | diff[2] | diff[3]) != 0;
#endif
}

// Folds the differences of the grid records in the set `records` (a bit
// per record: at[k] in the block, copy grids[k]).
inline void foldRecords(const uint32_t *payload, const int32_t *at, const uint32_t (*grids)[kFluidGridHeader],
                        uint32_t records, Four &diff) {
    for (; records; records &= records - 1) {
        const int k = __builtin_ctz(records);
        foldDifference<kFluidGridHeader>(payload + at[k], grids[k], diff);
    }
}

}  // namespace

bool FluidBlockCache::differs(uint32_t records) const {
    Four diff{};
    foldRecords(payload_, reads_.at, grids_, records, diff);
    return anyBit(diff);
}

void FluidBlockCache::parse(const uint32_t *payload, size_t words) {
    ok_ = parseFluidBlock(payload, words, block_, nullptr, &reads_);
    payload_ = payload;
    words_ = words;
    std::memcpy(header_, payload, sizeof header_);
    for (uint32_t &r : records_) r = 0;
    constexpr uint32_t base = 1u << kFluidPartBase;
    for (int k = 0; k < reads_.count; ++k) {
        std::memcpy(grids_[k], payload + reads_.at[k], sizeof grids_[k]);
        for (int part = 0; part <= kFluidPartColor; ++part)
            if ((reads_.parts[k] & (1u << part)) && (part == kFluidPartBase || !(reads_.parts[k] & base)))
                records_[part] |= 1u << k;
    }
}

// Whether the last parse was of the block at `payload` of `words` words
// and its header and base grid records are unchanged.
inline bool FluidBlockCache::sameBlock(const uint32_t *payload, size_t words) const {
    if (payload != payload_ || words != words_) return false;
    // The grid records the last parse read lie inside the block, which has
    // the same length (a differing header fails anyway).
    Four diff{};
    foldDifference<kFluidHeaderWords>(payload, header_, diff);
    // The base grid is the one record the base part reads, and the first
    // the parse reads.
    if (records_[kFluidPartBase]) foldDifference<kFluidGridHeader>(payload + reads_.at[0], grids_[0], diff);
    return !anyBit(diff);
}

bool FluidBlockCache::holds(const uint32_t *payload, size_t words) const {
    return ok_ && sameBlock(payload, words);
}

const FluidBlock *FluidBlockCache::get(const uint32_t *payload, size_t words) {
    if (words < size_t(kFluidHeaderWords)) return nullptr;  // not even a header
    if (!sameBlock(payload, words)) parse(payload, words);
    return ok_ ? &block_ : nullptr;
}

namespace {

// floor() of a grid coordinate as an index; far-away and NaN coordinates
// stay within a range where the index arithmetic cannot overflow. Inside
// that range the truncated value is exact as a float, so one step down for
// negative fractions is floor (without the cost of std::floor on targets
// that have no rounding instruction).
int64_t cellFloor(float g, float &frac) {
    if (!(g > -1.0e9f && g < 1.0e9f)) {
        frac = 0.0f;
        return g > 0.0f ? int64_t(1000000000) : (g < 0.0f ? -int64_t(1000000000) : 0);
    }
    int64_t i = int64_t(g);
    if (float(i) > g) --i;
    frac = g - float(i);
    return i;
}

inline float lerp1(float a, float b, float t) { return a + (b - a) * t; }

// Quadratic B-spline of three neighbours, doubled (of floats, or lane by
// lane of vectors).
template <class T>
inline T bspline2(T a, T b, T c, T t) { return ((a - 2.0f * b + c) * t - 2.0f * (a - b)) * t + a + b; }

using Lanes = float __attribute__((vector_size(16)));

}  // namespace

namespace {

// Whether a grid coordinate lies in [lo, res - hi) (false for NaN): there
// its floor is its truncation, and the cells around it are inside. The
// upper bound is exact in double for every resolution.
inline bool inRange(float c, float lo, int32_t res, double hi) { return c >= lo && double(c) < double(res) - hi; }

// Near or past the boundaries: every neighbour's index clamped or wrapped.
// Out of line, so the common case saves no registers for it.
[[gnu::noinline]] float linearAtEdge(const FluidGrid &g, const xrVector &gc, bool is2d) {
    float fx, fy, fz = 0.0f;
    const int64_t ix = cellFloor(gc.x, fx), iy = cellFloor(gc.y, fy);
    const int64_t iz = is2d ? 0 : cellFloor(gc.z, fz);
    const int32_t x0 = fluidIndex(ix, g.res[0], g.mode[0]), x1 = fluidIndex(ix + 1, g.res[0], g.mode[0]);
    const int32_t y0 = fluidIndex(iy, g.res[1], g.mode[1]), y1 = fluidIndex(iy + 1, g.res[1], g.mode[1]);
    auto layer = [&](int32_t k) {
        return lerp1(lerp1(fluidValue(g, x0, y0, k), fluidValue(g, x1, y0, k), fx),
                     lerp1(fluidValue(g, x0, y1, k), fluidValue(g, x1, y1, k), fx), fy);
    };
    if (is2d) return layer(0);
    return lerp1(layer(fluidIndex(iz, g.res[2], g.mode[2])), layer(fluidIndex(iz + 1, g.res[2], g.mode[2])), fz);
}

[[gnu::noinline]] float smoothAtEdge(const FluidGrid &g, float hx, float hy, float hz, bool is2d) {
    float tx, ty, tz = 0.0f;
    const int64_t ix = cellFloor(hx, tx), iy = cellFloor(hy, ty);
    const int64_t iz = is2d ? 0 : cellFloor(hz, tz);
    int32_t xs[3], ys[3];
    for (int d = 0; d < 3; ++d) {
        xs[d] = fluidIndex(ix - 1 + d, g.res[0], g.mode[0]);
        ys[d] = fluidIndex(iy - 1 + d, g.res[1], g.mode[1]);
    }
    auto layer = [&](int32_t k) {
        float row[3];
        for (int d = 0; d < 3; ++d)
            row[d] = bspline2(fluidValue(g, xs[0], ys[d], k), fluidValue(g, xs[1], ys[d], k),
                              fluidValue(g, xs[2], ys[d], k), tx);
        return bspline2(row[0], row[1], row[2], ty);
    };
    if (is2d) return 0.25f * layer(0);
    // As fluidSmooth's interior: the layers in the lanes of a vector, each
    // row of a layer found once.
    const size_t sy = size_t(g.res[0]), sz = sy * size_t(g.res[1]);
    size_t rows[3][3];  // [row][layer]: index of the row's first value
    for (int d = 0; d < 3; ++d) {
        const size_t z = size_t(fluidIndex(iz - 1 + d, g.res[2], g.mode[2])) * sz;
        for (int r = 0; r < 3; ++r) rows[r][d] = z + size_t(ys[r]) * sy;
    }
    const Lanes vx = {tx, tx, tx, tx}, vy = {ty, ty, ty, ty};
    Lanes row[3];
    for (int r = 0; r < 3; ++r) {
        auto layers = [&](int32_t x) {
            return Lanes{g.values[rows[r][0] + size_t(x)], g.values[rows[r][1] + size_t(x)],
                         g.values[rows[r][2] + size_t(x)], 0.0f};
        };
        row[r] = bspline2(layers(xs[0]), layers(xs[1]), layers(xs[2]), vx);
    }
    const Lanes col = bspline2(row[0], row[1], row[2], vy);
    return 0.125f * bspline2(col[0], col[1], col[2], tz);
}

}  // namespace

float fluidLinear(const FluidGrid &g, const xrVector &gc, bool is2d) {
    // Away from the boundaries (the common case) the neighbours sit at
    // fixed strides from the first, and floor is truncation.
    if (inRange(gc.x, 0.0f, g.res[0], 1.0) && inRange(gc.y, 0.0f, g.res[1], 1.0) &&
        (is2d || inRange(gc.z, 0.0f, g.res[2], 1.0))) {
        const int32_t ix = int32_t(gc.x), iy = int32_t(gc.y), iz = is2d ? 0 : int32_t(gc.z);
        const float fx = gc.x - float(ix), fy = gc.y - float(iy), fz = gc.z - float(iz);
        const size_t sy = size_t(g.res[0]), sz = sy * size_t(g.res[1]);
        const float *v = g.values + size_t(iz) * sz + size_t(iy) * sy + size_t(ix);
        const float a = lerp1(lerp1(v[0], v[1], fx), lerp1(v[sy], v[sy + 1], fx), fy);
        if (is2d) return a;
        v += sz;
        const float b = lerp1(lerp1(v[0], v[1], fx), lerp1(v[sy], v[sy + 1], fx), fy);
        return lerp1(a, b, fz);
    }
    return linearAtEdge(g, gc, is2d);
}

float fluidSmooth(const FluidGrid &g, const xrVector &gc, bool is2d) {
    const float hx = gc.x + 0.5f, hy = gc.y + 0.5f, hz = gc.z + 0.5f;
    // Away from the boundaries (the common case) the neighbours sit at
    // fixed strides from the first (a layer's nine values from v on, rows
    // sy apart), and floor is truncation.
    if (inRange(hx, 1.0f, g.res[0], 1.0) && inRange(hy, 1.0f, g.res[1], 1.0) &&
        (is2d || inRange(hz, 1.0f, g.res[2], 1.0))) {
        const int32_t ix = int32_t(hx), iy = int32_t(hy), iz = is2d ? 0 : int32_t(hz);
        const float tx = hx - float(ix), ty = hy - float(iy), tz = hz - float(iz);
        const size_t sy = size_t(g.res[0]), sz = sy * size_t(g.res[1]);
        auto layerAt = [&](const float *v) {
            float row[3];
            for (int d = 0; d < 3; ++d, v += sy) row[d] = bspline2(v[0], v[1], v[2], tx);
            return bspline2(row[0], row[1], row[2], ty);
        };
        const float *v = g.values + size_t(is2d ? 0 : iz - 1) * sz + size_t(iy - 1) * sy + size_t(ix - 1);
        if (is2d) return 0.25f * layerAt(v);
        // The three layers side by side in the lanes of a vector, each lane
        // taking the steps layerAt takes (the same values bit for bit).
        auto layers = [&](size_t at) { return Lanes{v[at], v[at + sz], v[at + 2 * sz], 0.0f}; };
        const Lanes vx = {tx, tx, tx, tx}, vy = {ty, ty, ty, ty};
        Lanes row[3];
        for (int d = 0; d < 3; ++d) {
            const size_t at = size_t(d) * sy;
            row[d] = bspline2(layers(at), layers(at + 1), layers(at + 2), vx);
        }
        const Lanes col = bspline2(row[0], row[1], row[2], vy);
        return 0.125f * bspline2(col[0], col[1], col[2], tz);
    }
    return smoothAtEdge(g, hx, hy, hz, is2d);
}

float fluidGradient(int32_t method, const xrVector &q, const xrVector &size) {
    const float rx = q.x / size.x, ry = q.y / size.y, rz = q.z / size.z;
    switch (method) {
    case 1: return 0.5f - rx;
    case 2: return 0.5f - ry;
    case 3: return 0.5f - rz;
    case 4: return rx + 0.5f;
    case 5: return ry + 0.5f;
    case 6: return rz + 0.5f;
    case 7: return 1.0f - std::sqrt(2.0f) * std::sqrt(rx * rx + ry * ry + rz * rz);
    default: return 1.0f;
    }
}

float fluidBias(float x, float bias, bool symmetric) {
    if (bias == 0.0f) return x;
    const float b = std::max(bias, -0.99f);
    const float e = -(b - 1.0f) / (b + 1.0f);
    if (!symmetric) return std::pow(std::max(x, 0.0f), e);
    const float y = 2.0f * x - 1.0f;
    return y < 0.0f ? 0.5f - 0.5f * std::pow(-y, e) : 0.5f + 0.5f * std::pow(y, e);
}

float fluidTransparency(float opacity, float t) {
    const float exponent = t < 0.00001f ? 100000.0f : (1.0f - t) / t;
    // An opacity beyond [0, 1] (ramp values, gains) stays a transparency in
    // [0, 1] instead of a NaN from a negative base.
    const float base = clamp01(1.0f - opacity);
    // Whole exponents up to 3 (transparency 0.5 and the default 0.25, among
    // others) by products, a fraction of the cost of pow.
    if (exponent == 1.0f) return base;
    if (exponent == 2.0f) return base * base;
    if (exponent == 3.0f) return base * base * base;
    return std::pow(base, exponent);
}

// ---------------------------------------------------------------------------
// Byte order.
namespace {

uint32_t swapWord(uint32_t v) { return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24); }

// The element type to start a user-data lookup from for a tag.
int lookupType(xrTag tag) {
    int type = 0;
    if (!xr_db_access_type(&type, tag)) return 0;
    xr_db_unpin(tag);
    return type == xrDB_USERDATA ? xrDB_USERDATA : xrDB_OBJECT;
}

}  // namespace

int fluidNativeOrder(xrState *state, xrTag tag) {
    if (!tag) return 0;
    const int type = lookupType(tag);
    if (!type) return 0;
    xrTag found = 0;
    xrBoolean swapped = 0;
    if (!findUserData(kVekoMagic, type, tag, &found, &swapped)) return 0;
    xr_db_unpin(found);
    if (!swapped) return 1;

    xrLock lock = state ? state->libraryLock : nullptr;
    if (lock) xr_lock(lock);
    int result = 0;
    if (uint32_t *label = findUserData(kVekoMagic, type, tag, &found, &swapped)) {
        if (!swapped) {
            result = 1;  // another thread swapped it meanwhile
        } else {
            const size_t words = userDataBytes(label) / 4;
            label[0] = kVekoMagic;
            for (size_t i = 2; i < words; ++i) label[i] = swapWord(label[i]);
            result = 2;
        }
        xr_db_unpin(found);
    }
    if (lock) xr_unlock(lock);
    return result;
}

}  // namespace veko
