// The solid (3D) textures: brownian, cloud, crater, granite, leather, marble,
// rock, snow, solidfractal, stucco, volumenoise, wood and woodgrain. Each runs
// the shared 3D input stage (point selection, object or world space,
// placement, unit cube and edge fade), its pattern, and the shared output
// stage (texture.h). The band-limited patterns estimate how large a pixel is
// in the placed space and sum only the octaves that the pixel resolves.
#include <algorithm>
#include <cmath>
#include <cstdint>

#include "fractal2d.h"
#include "noise.h"
#include "texture.h"

namespace {

using veko::AlphaSource;
using veko::eval;
using veko::frac;
using veko::TextureOutputParams;
using veko::TextureResult;

// Octave loops are bounded so that a wild parameter cannot stall a render;
// far beyond this many octaves the coordinates have left the noise range.
constexpr float kMaxLevels = 2048.0f;

// Pixel angle used without a per-ray record.
constexpr float kDefaultPixelAngle = 0.002053f;

// ---------------------------------------------------------------------------
// Block layout. Every solid texture's block holds its own parameters, then
// this run (40 words), then, for some, a few more parameters.
struct Texture3dParams {
    xrScalar filter;             // +0
    xrVector normal;             // +1..3 (read by the textures that use a normal)
    xrScalar filterOffset;       // +4
    xrScalar blend;              // +5
    xrBoolean wrap;              // +6
    TextureOutputParams out;     // +7..22
    float placementMatrix[16];   // +23..38
    xrBoolean local;             // +39
};
static_assert(sizeof(Texture3dParams) == 40 * 4);
static_assert(offsetof(Texture3dParams, out) == 7 * 4);
static_assert(offsetof(Texture3dParams, placementMatrix) == 23 * 4);

// The placed point and the edge fade of one evaluation.
struct Placed {
    xrVector p;
    float fade;
    float m[16];  // the placement matrix as evaluated
};

// Runs the 3D input stage; false when the default output was written.
bool placePoint(xrState *state, const Texture3dParams &t, TextureResult *res, Placed &out) {
    if (!veko::texturePoint3d(state, t.placementMatrix, &t.wrap, &t.blend, &t.local,
                              &t.out.defaultColor, res, out.p, out.fade))
        return false;
    veko::evalMatrix(state, t.placementMatrix, out.m);
    return true;
}

void finish(xrState *state, const Texture3dParams &t, xrColor rgb, TextureResult *res,
            const Placed &pl, AlphaSource alpha = AlphaSource::Pattern) {
    veko::textureOutput(state, t.out, rgb, res, alpha, pl.fade);
}

double det3(double a, double b, double c, double d, double e, double f, double g, double h,
            double i) {
    return a * (e * i - f * h) - b * (d * i - f * g) + c * (d * h - e * g);
}

// Determinant of a 4 x 4 matrix (all 16 entries), by cofactors of row 0.
float determinant4(const float m[16]) {
    double d = 0.0, sign = 1.0;
    for (int c = 0; c < 4; ++c) {
        double minor[9];
        int k = 0;
        for (int r = 1; r < 4; ++r)
            for (int cc = 0; cc < 4; ++cc)
                if (cc != c) minor[k++] = m[r * 4 + cc];
        d += sign * m[c] * det3(minor[0], minor[1], minor[2], minor[3], minor[4], minor[5],
                                minor[6], minor[7], minor[8]);
        sign = -sign;
    }
    return static_cast<float>(d);
}

float largestAbs(const xrVector &v) {
    return std::max(std::fabs(v.x), std::max(std::fabs(v.y), std::fabs(v.z)));
}

// A vector of the shading point (internal space) carried into the placed
// space: to object or world space as the point is, then by the placement.
xrVector toPlaced(xrState *state, const Texture3dParams &t, const float m[16], xrVector v) {
    xrVector w;
    if (eval(state, &t.local))
        xr_vector_to_object(state, &w, &v);
    else
        xr_vector_to_world(state, &w, &v);
    xr_vector_transform(&v, &w, m);
    return v;
}

// The texture's normal: its normal parameter when connected, else the
// state's shading normal (internal space).
xrVector textureNormal(xrState *state, const Texture3dParams &t) {
    return veko::isConnected(state, &t.normal) ? eval(state, &t.normal) : state->shadingNormal;
}

// ---------------------------------------------------------------------------
// Filter size: the size of a pixel in noise space, from the per-ray record's
// fixed size when filtering is off, else from the pixel angle, the camera
// distance and the placement. The placement enters through its determinant,
// taken by magnitude so that a mirroring placement filters like its mirror
// image.
enum class FilterShape {
    Isotropic,  // the pixel's size at the point's distance
    Surface,    // the pixel projected onto the surface (normal)
    HalfSurface,
};

float filterSize(xrState *state, const Texture3dParams &t, const float m[16], float rippleMax,
                 FilterShape shape) {
    const veko::BaseStateRecord *rec = veko::stateRecord(state);
    const float filter = eval(state, &t.filter);
    const float offset = eval(state, &t.filterOffset);
    if (rec && rec->filterEnabled == 0)
        return std::max(rec->baseFilterSize * filter + offset, 1e-8f);

    const float angle = rec ? rec->filterSize : kDefaultPixelAngle;
    const xrVector &from =
        (rec && (rec->flags & veko::kFlag3dFromOriginMask)) ? state->rayOrigin : state->hitPoint;
    xrVector c;
    xr_point_to_camera(state, &c, &from);
    const float d = std::fabs(determinant4(m));
    float size;
    if (shape == FilterShape::Isotropic) {
        size = veko::length(c) * rippleMax * angle * d;
    } else {
        const xrVector nIn = textureNormal(state, t);
        xrVector n;
        xr_vector_to_camera(state, &n, &nIn);
        n = veko::normalize(n);
        const float q = std::fabs(veko::dot(n, c));
        if (!(q > 1e-10f)) return 1e10f;
        size = d * c.z * c.z * rippleMax * angle / q;
        if (shape == FilterShape::HalfSurface) size *= 0.5f;
    }
    return std::max(size * filter + offset, 1e-8f);
}

// Octave count L for a filter size: -ln(size) / ln(frequencyRatio), where a
// ratio of exactly 2 divides by 0.6931 and a ratio not above 1.01 by 0.00995;
// clamped to [lo, hi] and to the loop bound.
float octaveLevel(float size, float frequencyRatio, float lo, float hi) {
    const float divisor = frequencyRatio == 2.0f ? 0.6931f
                          : frequencyRatio <= 1.01f ? 0.00995f
                                                    : std::log(frequencyRatio);
    float L = -std::log(size) / divisor;
    L = std::max(std::min(L, hi), lo);
    // NaN (a NaN range) counts as no octave.
    return L > 0.0f ? std::min(L, kMaxLevels) : 0.0f;
}

// Splits L into its whole octaves and the weight of the partial one.
struct Levels {
    int whole;
    float part;
};
Levels splitLevel(float L) {
    const float w = std::floor(L);
    return {static_cast<int>(w), L - w};
}

xrColor mixColor(const xrColor &a, const xrColor &b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, 0.0f};
}

// ===========================================================================
// Patterns (pure functions of their inputs and the noise tables).

// Solid fractal: octaves of noise3 (noise4 when animated) at growing
// offsets, each shaped by bias and inflection; value in [0, 1].
struct SolidFractalSettings {
    float amplitude, ratio, threshold;
    xrVector ripples;
    float frequencyRatio, bias;
    bool inflection, animated;
    float timeRatio, time;
};

float solidFractalValue(const xrVector &p, float L, const SolidFractalSettings &s) {
    const Levels lv = splitLevel(L);
    double fx = s.ripples.x / 32.0, fy = s.ripples.y / 32.0, fz = s.ripples.z / 32.0;
    double ox = 0.0, oy = 0.0, oz = 0.0;
    float amp = s.amplitude, t = s.animated ? s.time : 0.0f;
    float sum = 0.0f, x = 0.0f;
    bool partial = true;
    for (int k = 0;; ++k) {
        ox += 0.1;
        oy += 0.03;
        oz += 0.13;
        const double qx = fx * p.x + ox, qy = fy * p.y + oy, qz = fz * p.z + oz;
        x = s.animated ? veko::noise4(qx, qy, qz, t, 32) : veko::noise3(qx, qy, qz);
        x = veko::shapeOctave(x, s.bias, s.inflection);
        if (k >= lv.whole) break;
        sum += x * amp;
        amp *= s.ratio;
        t *= s.timeRatio;
        fx *= s.frequencyRatio;
        fy *= s.frequencyRatio;
        fz *= s.frequencyRatio;
        if (amp == 0.0f) {
            partial = false;
            break;
        }
    }
    if (partial) sum += lv.part * amp * x;
    return veko::clamp01((sum + 1.0f) * 0.5f + s.threshold);
}

// Sum of noise3 octaves at doubling frequencies with weights ratio^k, the
// partial octave weighted by the fraction of L (marble, wood). `offset` is
// added to every octave's coordinates.
float octaveSum(const xrVector &p, const xrVector &ripples, float L, float ratio, double offset) {
    const Levels lv = splitLevel(L);
    double fx = ripples.x / 32.0, fy = ripples.y / 32.0, fz = ripples.z / 32.0;
    float s = 0.0f, w = 1.0f;
    for (int k = 0; k <= lv.whole; ++k) {
        const float weight = k < lv.whole ? w : w * lv.part;
        if (weight != 0.0f)
            s += veko::noise3(fx * p.x + offset, fy * p.y + offset, fz * p.z + offset) * weight;
        w *= ratio;
        fx *= 2.0;
        fy *= 2.0;
        fz *= 2.0;
    }
    return s;
}

// Marble: bands along y, displaced by the octave sum; 0 on a vein centre, 1
// midway between veins.
float marbleBand(const xrVector &p, float displacement) {
    float v = frac(displacement + p.y);
    if (v >= 0.5f) v = 1.0f - v;
    return 2.0f * v;
}

// Weight of the vein colour at band position v.
float marbleVein(float v, float veinWidth, float diffusion, float contrast) {
    if (veinWidth > v) return 1.0f;
    return std::exp((veinWidth - v) / std::max(diffusion, 0.01f)) * (1.0f - contrast);
}

// Brownian: gradient noise octaves at lacunarity steps, each weighted by
// m^-increment (m the octave's frequency). An octave whose frequency is 0
// sees the lattice origin, where the noise is 0: it adds nothing.
float brownianValue(xrVector p, float L, float lacunarity, float increment) {
    const Levels lv = splitLevel(L);
    float s = 0.0f, m = 1.0f;
    auto weight = [&](float f) { return f != 0.0f ? std::pow(std::fabs(f), -increment) : 0.0f; };
    for (int k = 0; k <= lv.whole; ++k) {
        const float w = k < lv.whole ? weight(m) : weight(m) * lv.part;
        if (w != 0.0f && std::isfinite(w)) s += veko::gradientNoise3(p.x, p.y, p.z) * w;
        m *= lacunarity;
        p = veko::vscale(p, lacunarity);
    }
    return s;
}

// Cloud: the octave sum at growing offsets, as (s + 1)/2 in [0, 1] (0.5
// without amplitude).
float cloudValue(const xrVector &p, float L, const xrVector &ripples, float amplitude,
                 float ratio) {
    if (!(amplitude > 0.0f)) return 0.5f;
    const Levels lv = splitLevel(L);
    double fx = ripples.x / 32.0, fy = ripples.y / 32.0, fz = ripples.z / 32.0;
    double ox = 0.0, oy = 0.0, oz = 0.0;
    float s = 0.0f, amp = amplitude;
    for (int k = 0; k <= lv.whole; ++k) {
        ox += 0.1;
        oy += 0.03;
        oz += 0.13;
        const float w = k < lv.whole ? amp : amp * lv.part;
        if (w != 0.0f) s += veko::noise3(fx * p.x + ox, fy * p.y + oy, fz * p.z + oz) * w;
        amp *= ratio;
        fx *= 2.0;
        fy *= 2.0;
        fz *= 2.0;
    }
    return (s + 1.0f) * 0.5f;
}

// Cloud transparency from the value v against the threshold T.
float cloudAlpha(float v, float threshold, float transparentRange) {
    const float x = (threshold - v) / std::max(transparentRange, 0.0001f) - 1.0f;
    if (x > 1.0f) return 1.0f;
    if (x < -10.0f) return 0.0f;
    return veko::clamp01(std::exp(x));
}

// Snow cover for the placed unit normal's height component: 0 below the
// threshold, rising towards `thickness` with depthDecay.
float snowCover(float normalY, float threshold, float depthDecay, float thickness) {
    const float h = normalY - threshold;
    if (!(h > 0.0f)) return 0.0f;
    return (1.0f - std::exp(-h * depthDecay)) * thickness;
}

// Crater profile of a noise value v: s = sin(frequency v),
// t = ((1 - (s^2 - 1)^4) + balance s^8) / (1 + balance), and dt/dv. A
// balance of -1 (a zero denominator) is held just off it.
float craterDenominator(float balance) {
    const float d = 1.0f + balance;
    return std::fabs(d) < 1e-6f ? (d < 0.0f ? -1e-6f : 1e-6f) : d;
}
float craterProfile(float v, float frequency, float balance) {
    const float s = std::sin(frequency * v);
    const float s2m1 = s * s - 1.0f;
    const float s2 = s * s, s4 = s2 * s2;
    return ((1.0f - s2m1 * s2m1 * s2m1 * s2m1) + balance * s4 * s4) / craterDenominator(balance);
}
float craterSlope(float v, float frequency, float balance) {
    const float s = std::sin(frequency * v);
    const float ds = frequency * std::cos(frequency * v);
    const float s2m1 = s * s - 1.0f;
    const float s7 = s * s * s * s * s * s * s;
    return (-8.0f * s * s2m1 * s2m1 * s2m1 + 8.0f * balance * s7) * ds /
           craterDenominator(balance);
}

// A colour channel folded back into [0, 1]: below 0 mirrored to its
// negative, above 1 to 2 - value; what is still outside is clamped.
float mirrorChannel(float c) {
    if (c < 0.0f) c = -c;
    if (c > 1.0f) c = 2.0f - c;
    return veko::clamp01(c);
}

// Granite and leather: the crease weight of a cell-noise sum S.
float creaseWeight(float S, float creaseWidth, bool creases) {
    if (creases && S >= 20.0f) return veko::clamp01(S - 20.0f);
    return S < creaseWidth ? S / creaseWidth : 1.0f;
}

// Rock: a hash of the grain lattice in [0, 1). The cell indices are taken to
// 16 bits so that the sine's argument stays small enough to be exact.
double rockHash(int32_t i, int32_t j, int32_t k) {
    const double a = (i & 0xFFFF) * 3482.2 + (j & 0xFFFF) * 2371.5 + (k & 0xFFFF) * 2355.3;
    const double h = std::sin(a) * 100.0;
    return h - std::floor(h);
}

// Rock: value noise of the grain hash (smooth trilinear blend over the
// grain lattice), then the share of color2 where the value lies below
// mixRatio, with an edge softness of `softness` in value units.
float rockValue(const xrVector &p, float grainSize) {
    const float gs = std::max(std::fabs(grainSize), 1e-5f);
    double q[3] = {p.x / gs, p.y / gs, p.z / gs};
    int32_t c[3];
    float f[3];
    for (int a = 0; a < 3; ++a) {
        if (!(std::fabs(q[a]) < 1e9)) q[a] = 0.0;
        const double fl = std::floor(q[a]);
        c[a] = static_cast<int32_t>(static_cast<int64_t>(fl) & 0xFFFF);
        f[a] = veko::smoothstep01(static_cast<float>(q[a] - fl));
    }
    double v = 0.0;
    for (int dz = 0; dz < 2; ++dz)
        for (int dy = 0; dy < 2; ++dy)
            for (int dx = 0; dx < 2; ++dx) {
                const double w = (dx ? f[0] : 1.0f - f[0]) * (dy ? f[1] : 1.0f - f[1]) *
                                 (dz ? f[2] : 1.0f - f[2]);
                v += w * rockHash(c[0] + dx, c[1] + dy, c[2] + dz);
            }
    return static_cast<float>(v);
}
float rockShare(float v, float mixRatio, float softness) {
    return veko::clamp01(0.5f + (mixRatio - v) / std::max(softness, 1e-3f));
}

// Fade of a detail of size `detail` under a pixel of size `pixel`: 0 while
// the detail spans two pixels or more, 1 once it is one pixel or less.
float detailFade(float pixel, float detail) {
    if (!(detail > 0.0f)) return 1.0f;
    return veko::clamp01(2.0f * pixel / detail - 1.0f);
}

// ---------------------------------------------------------------------------
// Wood: per-instance tables of ring radii (in units of the layer size) and
// grain values, built from the instance's literal parameters.
constexpr int kWoodMaxRings = 1024;
constexpr int kWoodGrain = 256;

struct WoodTable {
    int32_t rings;
    float radius[kWoodMaxRings + 1];  // cumulative ring boundaries, radius[0] = 0
    float grain[kWoodGrain * kWoodGrain];
};

// Ring index and position in the ring (0 at its inner edge, 1 at the outer)
// of radius r (layer units); the rings repeat beyond the table.
void woodRing(const WoodTable &t, float r, int &ring, float &u) {
    const float total = t.radius[t.rings];
    r = std::isfinite(r) ? std::fmod(std::fabs(r), total) : 0.0f;
    const float *end = t.radius + t.rings + 1;
    const float *hi = std::upper_bound(t.radius, end, r);
    ring = std::clamp(static_cast<int>(hi - t.radius) - 1, 0, t.rings - 1);
    const float r0 = t.radius[ring], r1 = t.radius[ring + 1];
    u = veko::clamp01((r - r0) / (r1 - r0));
}

// Late-wood vein at the outer edge of a ring: rises smoothly over the last
// veinSpread of the ring and ends sharply at the boundary.
float woodVein(float u, float veinSpread) {
    const float s = std::max(veinSpread, 1e-3f);
    return veko::smoothstep01((u - (1.0f - s)) / s);
}

// ---------------------------------------------------------------------------
// Woodgrain: rings of classic noise along the distance from the y axis, with
// fine streaks stretched along y.
float grainStep(float x) {
    // 0 at or below 0.2, 1 at or above 0.75, smooth between.
    if (x <= 0.2f) return 0.0f;
    if (x >= 0.75f) return 1.0f;
    return veko::smoothStep((x - 0.2f) / 0.55f);
}

// ===========================================================================
// Parameter blocks.

struct SolidFractalParams {
    xrScalar amplitude;       // 0
    xrScalar ratio;           // 1
    xrScalar threshold;       // 2
    xrVector ripples;         // 3-5
    xrScalar levelMin;        // 6
    xrScalar levelMax;        // 7
    int32_t unused8;          // 8
    Texture3dParams tex;      // 9-48 (normal, words 10-12, not read)
    xrScalar frequencyRatio;  // 49
    xrScalar bias;            // 50
    xrBoolean inflection;     // 51
    xrBoolean animated;       // 52
    xrScalar timeRatio;       // 53
    xrScalar time;            // 54
};
static_assert(offsetof(SolidFractalParams, tex.filterOffset) == 13 * 4);
static_assert(offsetof(SolidFractalParams, tex.out.defaultColor) == 28 * 4);
static_assert(offsetof(SolidFractalParams, tex.placementMatrix) == 32 * 4);
static_assert(offsetof(SolidFractalParams, tex.local) == 48 * 4);
static_assert(sizeof(SolidFractalParams) == 55 * 4);

struct MarbleParams {
    xrColor fillerColor;   // 0-3
    xrColor veinColor;     // 4-7
    xrScalar veinWidth;    // 8
    xrScalar diffusion;    // 9
    xrScalar contrast;     // 10
    xrVector ripples;      // 11-13
    xrScalar depthMin;     // 14
    xrScalar depthMax;     // 15
    xrScalar amplitude;    // 16
    xrScalar ratio;        // 17
    Texture3dParams tex;   // 18-57
};
static_assert(sizeof(MarbleParams) == 58 * 4);

struct BrownianParams {
    xrScalar lacunarity;  // 0
    xrScalar increment;   // 1
    xrScalar octaves;     // 2
    xrVector weight3d;    // 3-5
    Texture3dParams tex;  // 6-45
};
static_assert(sizeof(BrownianParams) == 46 * 4);

struct CloudParams {
    xrColor color1;             // 0-3
    xrColor color2;             // 4-7
    xrScalar contrast;          // 8
    xrBoolean darkenByAlpha;    // 9
    xrScalar transparentRange;  // 10
    xrScalar centerThresh;      // 11
    xrScalar edgeThresh;        // 12
    xrVector ripples;           // 13-15
    xrScalar depthMin;          // 16
    xrScalar depthMax;          // 17
    xrBoolean edgeFromPoint;    // 18
    xrScalar amplitude;         // 19
    xrScalar ratio;             // 20
    Texture3dParams tex;        // 21-60
};
static_assert(offsetof(CloudParams, tex.filterOffset) == 25 * 4);
static_assert(offsetof(CloudParams, tex.out.invert) == 28 * 4);
static_assert(offsetof(CloudParams, tex.out.alphaIsLuminance) == 29 * 4);
static_assert(sizeof(CloudParams) == 61 * 4);

struct SnowParams {
    xrColor snowColor;     // 0-3
    xrColor surfaceColor;  // 4-7
    xrScalar threshold;    // 8
    xrScalar depthDecay;   // 9
    xrScalar thickness;    // 10
    Texture3dParams tex;   // 11-50
};
static_assert(sizeof(SnowParams) == 51 * 4);

struct StuccoParams {
    xrScalar shaker;        // 0
    xrColor color1;         // 1-4
    xrColor color2;         // 5-8
    xrScalar normalDepth;   // 9
    xrScalar normalMelt;    // 10
    xrVector filterSize;    // 11-13
    Texture3dParams tex;    // 14-53
};
static_assert(sizeof(StuccoParams) == 54 * 4);

struct CraterParams {
    xrScalar shaker;         // 0
    xrColor channel1;        // 1-4
    xrColor channel2;        // 5-8
    xrColor channel3;        // 9-12
    xrScalar melt;           // 13
    xrScalar balance;        // 14
    xrScalar frequency;      // 15
    xrScalar normDepth;      // 16
    xrScalar normMelt;       // 17
    xrScalar normBalance;    // 18
    xrScalar normFrequency;  // 19
    xrVector filterSize;     // 20-22
    Texture3dParams tex;     // 23-62
};
static_assert(sizeof(CraterParams) == 63 * 4);

// Result of stucco and crater: the texture result and the bumped normal.
struct NormalTextureResult {
    TextureResult tex;  // 0-4
    xrVector outNormal; // 5-7
};
static_assert(sizeof(NormalTextureResult) == 8 * 4);

struct GraniteParams {
    xrColor color1;        // 0-3
    xrColor color2;        // 4-7
    xrColor color3;        // 8-11
    xrColor fillerColor;   // 12-15
    xrScalar cellSize;     // 16
    xrScalar density;      // 17
    xrScalar mixRatio;     // 18
    xrScalar spottyness;   // 19
    xrScalar randomness;   // 20
    xrScalar threshold;    // 21
    xrBoolean creases;     // 22
    Texture3dParams tex;   // 23-62
};
static_assert(sizeof(GraniteParams) == 63 * 4);

struct LeatherParams {
    xrColor cellColor;     // 0-3
    xrColor creaseColor;   // 4-7
    xrScalar cellSize;     // 8
    xrScalar density;      // 9
    xrScalar spottyness;   // 10
    xrScalar randomness;   // 11
    xrScalar threshold;    // 12
    xrBoolean creases;     // 13
    Texture3dParams tex;   // 14-53
};
static_assert(offsetof(LeatherParams, tex.out.invert) == 21 * 4);
static_assert(offsetof(LeatherParams, tex.out.alphaIsLuminance) == 22 * 4);
static_assert(offsetof(LeatherParams, tex.out.colorGain) == 23 * 4);
static_assert(offsetof(LeatherParams, tex.out.alphaOffset) == 32 * 4);
static_assert(offsetof(LeatherParams, tex.out.defaultColor) == 33 * 4);
static_assert(sizeof(LeatherParams) == 54 * 4);

struct RockParams {
    xrColor color1;        // 0-3
    xrColor color2;        // 4-7
    xrScalar grainSize;    // 8
    xrScalar diffusion;    // 9
    xrScalar mixRatio;     // 10
    Texture3dParams tex;   // 11-50
};
static_assert(sizeof(RockParams) == 51 * 4);

struct VolumeNoiseParams {
    xrScalar amplitude;       // 0
    xrScalar ratio;           // 1
    xrScalar threshold;       // 2
    xrInteger depthMax;       // 3
    xrScalar frequency;       // 4
    xrScalar frequencyRatio;  // 5
    xrBoolean inflection;     // 6
    xrScalar time;            // 7
    xrInteger noiseType;      // 8
    xrScalar density;         // 9
    xrScalar spottyness;      // 10
    xrScalar sizeRand;        // 11
    xrScalar randomness;      // 12
    xrInteger falloff;        // 13
    xrInteger numWaves;       // 14
    xrScalar implode;         // 15
    xrVector implodeCenter;   // 16-18
    xrVector scale;           // 19-21
    xrVector origin;          // 22-24
    Texture3dParams tex;      // 25-64
};
static_assert(sizeof(VolumeNoiseParams) == 65 * 4);

struct WoodParams {
    xrColor fillerColor;      // 0-3
    xrColor veinColor;        // 4-7
    xrScalar veinSpread;      // 8
    xrScalar layerSize;       // 9
    xrScalar randomness;      // 10 (literal, read when the tables are built)
    xrScalar age;             // 11 (literal, read when the tables are built)
    xrColor grainColor;       // 12-15
    xrScalar grainContrast;   // 16
    xrScalar grainSpacing;    // 17
    xrScalar centerU;         // 18
    xrScalar centerV;         // 19
    xrScalar amplitudeX;      // 20
    xrScalar amplitudeY;      // 21
    xrScalar ratio;           // 22
    xrVector ripples;         // 23-25
    xrScalar depthMin;        // 26
    xrScalar depthMax;        // 27
    Texture3dParams tex;      // 28-67
};
static_assert(sizeof(WoodParams) == 68 * 4);

struct WoodgrainParams {
    xrColor color1;            // 0-3 (light wood)
    xrColor color2;            // 4-7 (dark rings and grain)
    xrScalar rings;            // 8 rings per unit of distance from the axis
    xrScalar distortion;       // 9
    xrScalar grainAmount;      // 10
    xrScalar grainFrequency;   // 11
    xrScalar grainStretch;     // 12
    Texture3dParams tex;       // 13-52
};
static_assert(sizeof(WoodgrainParams) == 53 * 4);

enum : xrInteger { kQueryUserPointer = 51 };

void **userPointer(xrState *state) {
    void **slot = nullptr;
    if (!xr_query(kQueryUserPointer, state, 0, &slot)) return nullptr;
    return slot;
}

// Carries a normal given in the placed space back to internal space and
// normalises it; false when the placement cannot be inverted.
bool fromPlaced(xrState *state, const Texture3dParams &t, const float m[16], const xrVector &n,
                xrVector &out) {
    float inv[16];
    if (!xr_matrix_invert(inv, m)) return false;
    xrVector w, v;
    xr_vector_transform(&w, &n, inv);
    if (eval(state, &t.local))
        xr_vector_from_object(state, &v, &w);
    else
        xr_vector_from_world(state, &v, &w);
    out = veko::normalize(v);
    return true;
}

// Filter width of stucco and crater: the filter-size vector when connected,
// else the per-ray record's pixel footprint, else 0.005, scaled by the
// filter controls; at least 0.00001.
float fractalFilterWidth(xrState *state, const Texture3dParams &t, const xrVector *sizeParam) {
    const float filter = eval(state, &t.filter);
    const float offset = eval(state, &t.filterOffset);
    float w;
    if (filter <= 0.0f) {
        w = offset;
    } else {
        float base = 0.005f;
        if (veko::isConnected(state, sizeParam)) {
            const xrVector s = eval(state, sizeParam);
            base = std::max(s.x, s.y);
        } else if (const veko::BaseStateRecord *rec = veko::stateRecord(state)) {
            veko::touchFootprint(state, rec);
            base = std::max(rec->footprintV.x, rec->footprintV.y);
        }
        w = base * filter + offset;
    }
    return std::max(std::fabs(w), 0.00001f);
}

}  // namespace

// ===========================================================================
// Shaders.

VEKO_EXPORT xrBoolean veko_solidfractal(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const SolidFractalParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    SolidFractalSettings s;
    s.amplitude = eval(state, &p->amplitude);
    s.ratio = eval(state, &p->ratio);
    s.threshold = eval(state, &p->threshold);
    s.ripples = eval(state, &p->ripples);
    s.frequencyRatio = eval(state, &p->frequencyRatio);
    s.bias = eval(state, &p->bias);
    s.inflection = eval(state, &p->inflection) != 0;
    s.animated = eval(state, &p->animated) != 0;
    s.timeRatio = eval(state, &p->timeRatio);
    s.time = eval(state, &p->time);
    const float size =
        filterSize(state, p->tex, pl.m, largestAbs(s.ripples), FilterShape::Isotropic);
    const float L = octaveLevel(size, s.frequencyRatio, eval(state, &p->levelMin),
                                eval(state, &p->levelMax));
    const float v = solidFractalValue(pl.p, L, s);
    finish(state, p->tex, {v, v, v, v}, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_marble(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const MarbleParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    float s = 0.0f;
    const float amplitude = eval(state, &p->amplitude);
    if (amplitude > 0.0f) {
        const xrVector ripples = eval(state, &p->ripples);
        const float size =
            filterSize(state, p->tex, pl.m, largestAbs(ripples), FilterShape::Surface);
        const float L = octaveLevel(size, 2.0f, eval(state, &p->depthMin), eval(state, &p->depthMax));
        const float ratio = eval(state, &p->ratio);
        s = octaveSum(pl.p, ripples, L, ratio, 0.5) * (1.0f - ratio * ratio) * amplitude;
    }
    const float v = marbleBand(pl.p, s);
    const float t = marbleVein(v, eval(state, &p->veinWidth), eval(state, &p->diffusion),
                               eval(state, &p->contrast));
    xrColor c = t >= 1.0f ? eval(state, &p->veinColor)
                          : mixColor(eval(state, &p->fillerColor), eval(state, &p->veinColor), t);
    c.a = veko::luminance(c);
    finish(state, p->tex, c, res, pl, AlphaSource::Fixed);
    return 1;
}

VEKO_EXPORT void veko_brownian_init(xrState *state, void *, xrBoolean *) {
    veko::initGradientTable(state);
}
VEKO_EXPORT xrBoolean veko_brownian(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const BrownianParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const xrVector w = eval(state, &p->weight3d);
    const xrVector q = veko::vmul(pl.p, w);
    const float size = filterSize(state, p->tex, pl.m, 1.0f, FilterShape::Surface);
    const float L = octaveLevel(size, 2.0f, 0.0f, eval(state, &p->octaves));
    const float s = brownianValue(q, L, eval(state, &p->lacunarity), eval(state, &p->increment));
    const float g = s * 0.5f + 0.5f;
    finish(state, p->tex, {g, g, g, s}, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_cloud(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const CloudParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const float amplitude = eval(state, &p->amplitude);
    const float contrast = eval(state, &p->contrast);
    float v = 0.5f, k;
    if (amplitude > 0.0f) {
        const xrVector ripples = eval(state, &p->ripples);
        const float size =
            filterSize(state, p->tex, pl.m, largestAbs(ripples), FilterShape::HalfSurface);
        const float L = octaveLevel(size, 2.0f, eval(state, &p->depthMin), eval(state, &p->depthMax));
        v = cloudValue(pl.p, L, ripples, amplitude, eval(state, &p->ratio));
        k = 1.0f - (1.0f - v) * contrast;
    } else {
        k = 1.0f - contrast * 0.5f;
    }
    xrColor c = mixColor(eval(state, &p->color1), eval(state, &p->color2), veko::clamp01(k));

    // Edge factor: 1 where the placed normal is perpendicular to the view
    // direction (or, with edgeFromPoint, to the direction of the placed
    // point from the placement's centre).
    const xrVector n = veko::normalize(toPlaced(state, p->tex, pl.m, textureNormal(state, p->tex)));
    const xrVector d = eval(state, &p->edgeFromPoint)
                           ? veko::normalize(pl.p)
                           : veko::normalize(toPlaced(state, p->tex, pl.m, state->rayDirection));
    const float e = veko::clamp01(1.0f - std::fabs(veko::dot(n, d)));
    const float center = eval(state, &p->centerThresh);
    const float T = center + (eval(state, &p->edgeThresh) - center) * e;
    c.a = cloudAlpha(v, T, eval(state, &p->transparentRange));
    if (eval(state, &p->darkenByAlpha)) veko::scaleRGB(c, 1.0f - c.a);
    finish(state, p->tex, c, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_snow(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const SnowParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const xrVector n = veko::normalize(toPlaced(state, p->tex, pl.m, textureNormal(state, p->tex)));
    const float t = snowCover(n.y, eval(state, &p->threshold), eval(state, &p->depthDecay),
                              eval(state, &p->thickness));
    const xrColor surface = eval(state, &p->surfaceColor);
    xrColor c = t > 0.0f ? mixColor(surface, eval(state, &p->snowColor), t) : surface;
    c.a = t;
    finish(state, p->tex, c, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_stucco(void *result, xrState *state, void *params) {
    auto *res = static_cast<NormalTextureResult *>(result);
    const auto *p = static_cast<const StuccoParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, &res->tex, pl)) {
        res->outNormal = state->shadingNormal;
        return 1;
    }
    const float point[3] = {pl.p.x, pl.p.y, pl.p.z};
    const float w = fractalFilterWidth(state, p->tex, &p->filterSize);
    float v = veko::fractalNoise(w, eval(state, &p->shaker), point) * 0.25f + 0.5f;
    v = std::min(v * v, 1.0f);
    xrColor c;
    if (v < 0.00001f)
        c = eval(state, &p->color2);
    else if (1.0f - v < 0.00001f)
        c = eval(state, &p->color1);
    else
        c = mixColor(eval(state, &p->color2), eval(state, &p->color1), v);
    c.a = v;
    finish(state, p->tex, c, &res->tex, pl);

    float d[3];
    veko::fractalNoiseVector(d, std::max(w, eval(state, &p->normalDepth) * 0.2f),
                             eval(state, &p->normalMelt), point);
    xrVector n = veko::normalize(toPlaced(state, p->tex, pl.m, state->shadingNormal));
    n = veko::vadd(n, veko::vscale({d[0], d[1], d[2]}, 1.0f - pl.fade));
    if (!fromPlaced(state, p->tex, pl.m, n, res->outNormal)) {
        res->outNormal = state->shadingNormal;
        xr_warning("veko_stucco(): Texture placement matrix is singular.");
        return 0;
    }
    return 1;
}

VEKO_EXPORT xrBoolean veko_crater(void *result, xrState *state, void *params) {
    auto *res = static_cast<NormalTextureResult *>(result);
    const auto *p = static_cast<const CraterParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, &res->tex, pl)) {
        res->outNormal = state->shadingNormal;
        return 1;
    }
    const float point[3] = {pl.p.x, pl.p.y, pl.p.z};
    const float w = fractalFilterWidth(state, p->tex, &p->filterSize);
    const float v = veko::fractalNoise(std::max(2.0f * eval(state, &p->melt), w),
                                       eval(state, &p->shaker), point);
    const float t = craterProfile(v, eval(state, &p->frequency), eval(state, &p->balance));
    const xrColor c1 = eval(state, &p->channel1), c2 = eval(state, &p->channel2),
                  c3 = eval(state, &p->channel3);
    const float a = (1.0f - t) * (1.0f - t), b = 2.0f * t * (1.0f - t), cc = t * t;
    const xrColor col{mirrorChannel(a * c1.r + b * c2.r + cc * c3.r),
                      mirrorChannel(a * c1.g + b * c2.g + cc * c3.g),
                      mirrorChannel(a * c1.b + b * c2.b + cc * c3.b), v};
    finish(state, p->tex, col, &res->tex, pl);

    // Bumped normal: the noise vector of the normal's own octaves, scaled by
    // the slope of the crater profile there.
    const float wn = std::max(2.0f * eval(state, &p->normMelt), w);
    const float depth = eval(state, &p->normDepth);
    float d[3];
    veko::fractalNoiseVector(d, wn, depth, point);
    const float slope = craterSlope(veko::fractalNoise(wn, depth, point),
                                    eval(state, &p->normFrequency), eval(state, &p->normBalance));
    xrVector n = veko::normalize(toPlaced(state, p->tex, pl.m, state->shadingNormal));
    n = veko::vadd(n, veko::vscale({d[0], d[1], d[2]}, slope * (1.0f - pl.fade)));
    if (!fromPlaced(state, p->tex, pl.m, n, res->outNormal)) res->outNormal = state->shadingNormal;
    return 1;
}

VEKO_EXPORT void veko_granite_init(xrState *state, void *, xrBoolean *initRequest) {
    veko::initCellTable(state);
    if (initRequest) *initRequest = 0;
}
VEKO_EXPORT xrBoolean veko_granite(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const GraniteParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const float creaseWidth = std::max(1.0f - eval(state, &p->threshold), 0.00001f);
    const float m = std::min(eval(state, &p->mixRatio), 0.99f);
    const float e = m / (1.0f - m);
    float channels[3] = {std::pow(0.333f, e), std::pow(0.666f, e), 0.0f};
    const float point[3] = {pl.p.x, pl.p.y, pl.p.z};
    const bool creases = eval(state, &p->creases) != 0;
    const float S = veko::cellNoise(eval(state, &p->cellSize), eval(state, &p->density),
                                    eval(state, &p->spottyness), eval(state, &p->randomness),
                                    creaseWidth, creases, point, channels);
    const xrColor filler = eval(state, &p->fillerColor);
    xrColor c;
    if (creases) {
        const float t = S > 20.0f ? veko::clamp01(S - 20.0f) : S < creaseWidth ? S / creaseWidth : 1.0f;
        // The spot colour of the largest channel (ties go to the later one).
        const xrColor *spot = &p->color1;
        if (channels[1] >= channels[0]) spot = &p->color2;
        if (channels[2] >= std::max(channels[0], channels[1])) spot = &p->color3;
        const xrColor sc = eval(state, spot);
        c = t >= 1.0f ? sc : mixColor(filler, sc, t);
        c.a = t;
    } else {
        // Each colour contributes its weighted channel; the filler covers
        // what the spots leave uncovered.
        const xrColor *colours[3] = {&p->color1, &p->color2, &p->color3};
        c = {0.0f, 0.0f, 0.0f, 0.0f};
        float cover = 0.0f;
        for (int i = 0; i < 3; ++i) {
            const float ci = channels[i] < creaseWidth ? channels[i] / creaseWidth : 1.0f;
            if (ci <= 0.0f) continue;
            veko::addScaled(c, eval(state, colours[i]), ci);
            cover += ci;
        }
        if (cover < 1.0f) veko::addScaled(c, filler, 1.0f - cover);
        c.a = std::min(cover, 1.0f);
    }
    finish(state, p->tex, c, res, pl);
    return 1;
}

VEKO_EXPORT void veko_leather_init(xrState *state, void *, xrBoolean *initRequest) {
    veko::initCellTable(state);
    if (initRequest) *initRequest = 0;
}
VEKO_EXPORT xrBoolean veko_leather(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const LeatherParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const float creaseWidth = std::max(1.0f - eval(state, &p->threshold), 0.00001f);
    const bool creases = eval(state, &p->creases) != 0;
    const float point[3] = {pl.p.x, pl.p.y, pl.p.z};
    const float S = veko::cellNoise(eval(state, &p->cellSize), eval(state, &p->density),
                                    eval(state, &p->spottyness), eval(state, &p->randomness),
                                    creaseWidth, creases, point, nullptr);
    const float t = creaseWeight(S, creaseWidth, creases);
    xrColor c = mixColor(eval(state, &p->creaseColor), eval(state, &p->cellColor), t);
    c.a = t;
    finish(state, p->tex, c, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_rock(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const RockParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const float grain = std::max(std::fabs(eval(state, &p->grainSize)), 1e-5f);
    const float mixRatio = eval(state, &p->mixRatio);
    // Pixel size in grains: small grains blur their edges and, below a
    // pixel, give way to their average mix.
    const float pixel = filterSize(state, p->tex, pl.m, 1.0f, FilterShape::Isotropic) / grain;
    const float soft = std::max(eval(state, &p->diffusion), pixel);
    float t = rockShare(rockValue(pl.p, grain), mixRatio, soft);
    const float fade = detailFade(pixel, 1.0f);
    t += (veko::clamp01(mixRatio) - t) * fade;
    xrColor c = mixColor(eval(state, &p->color1), eval(state, &p->color2), t);
    c.a = t;
    finish(state, p->tex, c, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_volumenoise(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const VolumeNoiseParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    veko::NoiseSettings s;
    s.amplitude = eval(state, &p->amplitude);
    s.ratio = eval(state, &p->ratio);
    s.threshold = eval(state, &p->threshold);
    s.depthMax = eval(state, &p->depthMax);
    s.frequency = eval(state, &p->frequency);
    s.frequencyRatio = eval(state, &p->frequencyRatio);
    s.inflection = eval(state, &p->inflection) != 0;
    s.time = eval(state, &p->time);
    s.density = eval(state, &p->density);
    s.spottyness = eval(state, &p->spottyness);
    s.sizeRand = eval(state, &p->sizeRand);
    s.randomness = eval(state, &p->randomness);
    s.falloff = eval(state, &p->falloff);
    s.numWaves = eval(state, &p->numWaves);
    s.implode = eval(state, &p->implode);
    const xrVector centre = eval(state, &p->implodeCenter);
    const xrVector scale = eval(state, &p->scale);
    const xrVector origin = eval(state, &p->origin);
    for (int a = 0; a < 3; ++a) {
        s.implodeCenter[a] = veko::comp(centre)[a];
        s.scale[a] = veko::comp(scale)[a];
        s.origin[a] = veko::comp(origin)[a];
    }
    s.timeResolution = 100;
    float point[3] = {pl.p.x, pl.p.y, pl.p.z};
    const float v = veko::noiseFamily3(eval(state, &p->noiseType), point, s);
    finish(state, p->tex, {v, v, v, v}, res, pl);
    return 1;
}

VEKO_EXPORT void veko_wood_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {  // shader level: ask for one call per instance
        if (initRequest) *initRequest = 1;
        return;
    }
    void **slot = userPointer(state);
    if (!slot) return;
    if (*slot) {  // initialised again: rebuild
        xr_mem_int_release("tex3d.cpp", __LINE__, *slot);
        *slot = nullptr;
    }
    auto *t = static_cast<WoodTable *>(xr_mem_int_allocate("tex3d.cpp", __LINE__, sizeof(WoodTable)));
    if (!t) return;
    // The ring count and widths follow the literals of the block: the tables
    // are fixed per instance and do not follow a connection.
    const auto *p = static_cast<const WoodParams *>(params);
    unsigned short rng[3] = {0x330E, 1, 0};
    const float age = std::isfinite(p->age) ? p->age : 1.0f;
    t->rings = std::clamp(static_cast<int32_t>(std::lround(std::clamp(age, 1.0f, 1e6f))), 1,
                          kWoodMaxRings);
    const float randomness = veko::clamp01(p->randomness);
    t->radius[0] = 0.0f;
    for (int k = 0; k < t->rings; ++k) {
        const float r = static_cast<float>(xr_erandom(rng));
        t->radius[k + 1] = t->radius[k] + std::max(0.05f, 1.0f + randomness * (2.0f * r - 1.0f));
    }
    for (float &g : t->grain) g = static_cast<float>(xr_erandom(rng));
    *slot = t;
}
VEKO_EXPORT void veko_wood_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = userPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release("tex3d.cpp", __LINE__, *slot);
    *slot = nullptr;
}
VEKO_EXPORT xrBoolean veko_wood(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const WoodParams *>(params);
    void **slot = userPointer(state);
    const auto *table = slot ? static_cast<const WoodTable *>(*slot) : nullptr;
    if (!table) {
        xr_warning("veko_wood(): Unable to access lookup tables.");
        return 0;
    }
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    // Rings around the y axis through (centerU, centerV) in x and z,
    // displaced by two octave sums of the noise.
    const xrVector ripples = eval(state, &p->ripples);
    const float pixel = filterSize(state, p->tex, pl.m, 1.0f, FilterShape::Isotropic);
    // The distortion's lattice cells are 1/ripples wide.
    const float L = octaveLevel(std::max(pixel * largestAbs(ripples), 1e-8f), 2.0f,
                                eval(state, &p->depthMin), eval(state, &p->depthMax));
    const float ratio = eval(state, &p->ratio);
    const float ax = eval(state, &p->amplitudeX), ay = eval(state, &p->amplitudeY);
    const float dx = ax != 0.0f ? ax * octaveSum(pl.p, ripples, L, ratio, 0.5) : 0.0f;
    const float dz = ay != 0.0f ? ay * octaveSum(pl.p, ripples, L, ratio, 0.25) : 0.0f;
    const float x = pl.p.x - eval(state, &p->centerU) + dx;
    const float z = pl.p.z - eval(state, &p->centerV) + dz;
    const float r = std::sqrt(x * x + z * z);

    const float layer = std::max(std::fabs(eval(state, &p->layerSize)), 1e-6f);
    int ring;
    float u;
    woodRing(*table, r / layer, ring, u);
    const float spread = veko::clamp01(eval(state, &p->veinSpread));
    float t = woodVein(u, spread);
    // Rings narrower than a pixel give way to their average vein weight.
    t += (0.5f * spread - t) * detailFade(pixel, layer);
    xrColor c = mixColor(eval(state, &p->fillerColor), eval(state, &p->veinColor), t);

    // Grain: short streaks along y in cells of grainSpacing around the ring.
    const float spacing = std::max(std::fabs(eval(state, &p->grainSpacing)), 1e-5f);
    const float contrast = eval(state, &p->grainContrast);
    const float grainFade = detailFade(pixel, spacing);
    if (contrast != 0.0f && grainFade < 1.0f) {
        const float arc = r * (std::atan2(z, x) + veko::kPi);
        const auto cell = [](double v) {
            return static_cast<int32_t>(static_cast<int64_t>(std::floor(std::isfinite(v) ? v : 0.0)) & 255);
        };
        const int32_t i = (cell(arc / spacing) + 17 * ring) & 255;
        const int32_t j = (cell(pl.p.y / (8.0f * spacing)) + 101 * ring) & 255;
        const float g = table->grain[j * kWoodGrain + i];
        const float strength = contrast * std::max(0.0f, 2.0f * g - 1.0f) * (1.0f - grainFade);
        c = mixColor(c, eval(state, &p->grainColor), veko::clamp01(strength));
    }
    c.a = t;
    finish(state, p->tex, c, res, pl);
    return 1;
}

VEKO_EXPORT xrBoolean veko_woodgrain(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const WoodgrainParams *>(params);
    Placed pl;
    if (!placePoint(state, p->tex, res, pl)) return 1;

    const xrVector &q = pl.p;
    const float pixel = filterSize(state, p->tex, pl.m, 1.0f, FilterShape::Isotropic);
    // Rings: classic noise along the (distorted) distance from the y axis.
    const float rings = eval(state, &p->rings);
    const float distortion = eval(state, &p->distortion);
    const float warp = distortion * (veko::classicNoise3(q.x * 2.0f, q.y * 0.5f, q.z * 2.0f) + 1.0f) * 0.5f;
    const float radius = std::sqrt(q.x * q.x + q.z * q.z);
    const float ringCoord = radius * rings + warp * 4.0f;
    float band = grainStep((veko::classicNoise1(ringCoord) + 1.0f) * 0.5f);
    const float ringWidth = rings != 0.0f ? 1.0f / std::fabs(rings) : 0.0f;
    band += (0.5f - band) * detailFade(pixel, ringWidth);

    // Grain: streaks of 3D classic noise stretched along y.
    const float amount = veko::clamp01(eval(state, &p->grainAmount));
    float t = band;
    if (amount > 0.0f) {
        const float f = eval(state, &p->grainFrequency);
        const float stretch = std::max(std::fabs(eval(state, &p->grainStretch)), 1e-3f);
        float streak = grainStep((veko::classicNoise3(q.x * f, q.y * f / stretch, q.z * f) + 1.0f) * 0.5f);
        const float width = f != 0.0f ? 1.0f / std::fabs(f) : 0.0f;
        streak += (0.5f - streak) * detailFade(pixel, width);
        t = band * (1.0f - amount) + streak * amount;
    }
    xrColor c = mixColor(eval(state, &p->color1), eval(state, &p->color2), t);
    c.a = t;
    finish(state, p->tex, c, res, pl);
    return 1;
}
