// The closed-form 2D textures: checker, grid, bulge, cloth and stencil. Each
// runs the shared 2D input stage, its pattern, and the shared output stage
// (texture.h).
#include <algorithm>
#include <cmath>

#include "noise.h"
#include "texture.h"

namespace {

using veko::AlphaSource;
using veko::eval;
using veko::kPi;
using veko::frac;
using veko::Texture2dParams;
using veko::TextureResult;



// Index for randomValue() from a truncated coordinate; values past the int
// range are reduced modulo the table size first (randomValue only looks at
// |i| mod 65535, which the reduction preserves).
inline int randomIndex(double x) {
    x = std::trunc(x);
    if (!(std::fabs(x) < 2.0e9)) x = std::isfinite(x) ? std::fmod(x, 65535.0) : 0.0;
    return static_cast<int>(x);
}

// Filter widths of checker and grid, in units of one square (or cell).
inline void filterWidths(xrState *state, const Texture2dParams &tex, float &wu, float &wv) {
    float fu, fv;
    veko::textureFilterSize(state, &tex.uvFilterSize, fu, fv);
    const float f = std::max(eval(state, &tex.filter), 0.0f);
    const float fo = eval(state, &tex.filterOffset);
    wu = 2.0f * std::fabs(fu * f + fo);
    wv = 2.0f * std::fabs(fv * f + fo);
}

// ---------------------------------------------------------------------------
struct CheckerParams {
    xrScalar contrast;  // 0
    xrColor color1;     // 1-4
    xrColor color2;     // 5-8
    Texture2dParams tex;  // 9-32
};
static_assert(sizeof(CheckerParams) == 33 * 4);

struct GridParams {
    xrColor fillerColor;  // 0-3
    xrColor lineColor;    // 4-7
    xrScalar contrast;    // 8
    xrScalar uWidth;      // 9
    xrScalar vWidth;      // 10
    Texture2dParams tex;  // 11-34
};
static_assert(sizeof(GridParams) == 35 * 4);

struct BulgeParams {
    xrScalar uWidth;      // 0
    xrScalar vWidth;      // 1
    Texture2dParams tex;  // 2-25
};
static_assert(sizeof(BulgeParams) == 26 * 4);

struct ClothParams {
    xrColor gapColor;       // 0-3
    xrColor uColor;         // 4-7
    xrColor vColor;         // 8-11
    xrScalar uWidth;        // 12
    xrScalar vWidth;        // 13
    xrScalar uWave;         // 14
    xrScalar vWave;         // 15
    xrScalar randomness;    // 16
    xrScalar widthSpread;   // 17
    xrScalar brightSpread;  // 18
    Texture2dParams tex;    // 19-42
};
static_assert(sizeof(ClothParams) == 43 * 4);

struct StencilParams {
    xrColor image;         // 0-3
    xrScalar mask;         // 4
    xrScalar edgeBlend;    // 5
    xrBoolean keyMasking;  // 6
    xrBoolean positiveKey; // 7
    xrColor colorKey;      // 8-11
    xrScalar hueRange;     // 12
    xrScalar satRange;     // 13
    xrScalar valRange;     // 14
    xrScalar threshold;    // 15
    Texture2dParams tex;   // 16-39
};
static_assert(sizeof(StencilParams) == 40 * 4);

// Distance of x (in units of one square) to the nearest square edge.
inline float edgeDistance(float x) {
    float d = frac(2.0f * x);
    return d > 0.5f ? 1.0f - d : d;
}

// Soft frame profile of the stencil: 1 inside, falling to 0 at the edge.
inline float edgeProfile(float x, float blend) {
    const float a = std::min((1.0f - std::fabs(2.0f * x - 1.0f)) / blend, 1.0f);
    return (std::cos((a + 1.0f) * kPi) + 1.0f) * 0.5f;
}

}  // namespace

// Checkerboard of 2 x 2 squares per uv unit; the contrast falls off as the
// filter width approaches the distance to the nearest edge and vanishes at a
// width of two squares.
VEKO_EXPORT xrBoolean veko_checker(void *result, xrState *state, void *params) {
    auto *p = static_cast<CheckerParams *>(params);
    auto *res = static_cast<TextureResult *>(result);
    float u, v;
    if (!veko::textureUV(state, p->tex, res, u, v)) return 1;
    u = frac(u);
    v = frac(v);

    float wu, wv;
    filterWidths(state, p->tex, wu, wv);
    wu = std::max(wu, 1e-8f);
    wv = std::max(wv, 1e-8f);

    float c = 0.0f;
    if (wu < 2.0f && wv < 2.0f) {
        const float du = edgeDistance(u), dv = edgeDistance(v);
        c = eval(state, &p->contrast);
        if (wu > du || wv > dv) c *= std::min(du / wu, dv / wv);
        const float wmax = std::max(wu, wv);
        if (wmax > 1.0f) c *= 2.0f - wmax;
        c = std::max(c, 0.0f);
    }
    const bool first = (u <= 0.5f && v <= 0.5f) || (u > 0.5f && v > 0.5f);
    const float t = first ? 0.5f + 0.5f * c : 0.5f - 0.5f * c;

    xrColor col;
    if (std::fabs(t) < 0.00001f) {
        col = eval(state, &p->color2);
    } else if (std::fabs(1.0f - t) < 0.00001f) {
        col = eval(state, &p->color1);
    } else {
        const xrColor c1 = eval(state, &p->color1), c2 = eval(state, &p->color2);
        col = veko::mixRGB(c2, c1, t);
    }
    col.a = t;
    veko::textureOutput(state, p->tex.out, col, res);
    return 1;
}

// Grid lines by the exact coverage of the filter box by the filler cells.
VEKO_EXPORT xrBoolean veko_grid(void *result, xrState *state, void *params) {
    auto *p = static_cast<GridParams *>(params);
    auto *res = static_cast<TextureResult *>(result);
    float u, v;
    if (!veko::textureUV(state, p->tex, res, u, v)) return 1;
    u = veko::wrapUnit(u);
    v = veko::wrapUnit(v);

    float wu, wv;
    filterWidths(state, p->tex, wu, wv);
    wu = std::clamp(wu, 1e-8f, 1.0f);
    wv = std::clamp(wv, 1e-8f, 1.0f);

    const float hu = 0.5f * eval(state, &p->uWidth);
    const float hv = 0.5f * eval(state, &p->vWidth);
    const float u0 = u - 0.5f * wu, u1 = u + 0.5f * wu;
    const float v0 = v - 0.5f * wv, v1 = v + 0.5f * wv;
    float total = 0.0f;
    for (int i = -1; i <= 1; ++i) {
        const float ou = std::min(u1, i + 1.0f - hu) - std::max(u0, i + hu);
        if (ou < 0.0f) continue;
        for (int j = -1; j <= 1; ++j) {
            const float ov = std::min(v1, j + 1.0f - hv) - std::max(v0, j + hv);
            if (ov < 0.0f) continue;
            total += (ou + 0.00001f) * (ov + 0.00001f);
        }
    }
    const float filler = total / (wu * wv);

    float t = 0.5f - (filler - 0.5f) * eval(state, &p->contrast);
    if (t < 0.00001f) t = 0.0f;
    const xrColor fc = eval(state, &p->fillerColor), lc = eval(state, &p->lineColor);
    xrColor col = veko::mixRGB(fc, lc, t);
    col.r = std::max(col.r, 0.0f);
    col.g = std::max(col.g, 0.0f);
    col.b = std::max(col.b, 0.0f);
    col.a = std::min(t, 1.0f);
    veko::textureOutput(state, p->tex.out, col, res);
    return 1;
}

// A smooth bump per cell of 2 x 2 per uv unit, flat (0) in the borders of
// width uWidth, vWidth.
VEKO_EXPORT xrBoolean veko_bulge(void *result, xrState *state, void *params) {
    auto *p = static_cast<BulgeParams *>(params);
    auto *res = static_cast<TextureResult *>(result);
    float u, v;
    if (!veko::textureUV(state, p->tex, res, u, v)) return 1;
    const float su = 2.0f * veko::wrapUnit(u);
    const float sv = 2.0f * veko::wrapUnit(v);
    const float uw = eval(state, &p->uWidth);
    const float vw = eval(state, &p->vWidth);

    float value = 0.0f;
    if (uw < su && su < 2.0f - uw && vw < sv && sv < 2.0f - vw) {
        const float a = (su - uw) / (1.0f - uw);
        const float b = (sv - vw) / (1.0f - vw);
        value = (2.0f - a) * a * b * (2.0f - b);
    }
    veko::textureOutput(state, p->tex.out, {value, value, value, value}, res);
    return 1;
}

// Woven threads: u threads and v threads cross in alternating quadrants,
// with optional wave, noise jitter and per-thread width and brightness
// spread.
VEKO_EXPORT xrBoolean veko_cloth(void *result, xrState *state, void *params) {
    auto *p = static_cast<ClothParams *>(params);
    auto *res = static_cast<TextureResult *>(result);
    float u, v;
    if (!veko::textureUV(state, p->tex, res, u, v)) return 1;

    const float randomness = eval(state, &p->randomness);
    if (randomness > 0.0f) {
        const double u0 = u, v0 = v;
        u = static_cast<float>(u0 + veko::noise2(u0 / 22.0, v0 / 24.0) * randomness);
        v = static_cast<float>(v0 + veko::noise2(u0 / 23.0, v0 / 23.0) * randomness);
    }
    const float uWave = eval(state, &p->uWave), vWave = eval(state, &p->vWave);
    if (!(uWave == 0.0f && vWave == 0.0f)) {
        const float sv = std::sin(6.2831855f * v), su = std::sin(6.2831855f * u);
        u -= sv * uWave;
        v += su * vWave;
    }

    float wu = eval(state, &p->uWidth), wv = eval(state, &p->vWidth);
    const float widthSpread = eval(state, &p->widthSpread);
    if (widthSpread != 0.0f) {
        wu += (veko::noise1(veko::randomValue(randomIndex(2.0 * u)) + v / 123.5) - 0.5f) *
              widthSpread;
        wv += (veko::noise1(veko::randomValue(100 - randomIndex(-2.0 * v)) + u / 123.5) -
               0.5f) *
              widthSpread;
    }

    float fu = frac(u), fv = frac(v);
    int s = 0;
    if ((fu >= 0.5f) != (fv >= 0.5f)) {
        std::swap(fu, fv);
        std::swap(wu, wv);
        s = 1;
    }
    fu = frac(2.0f * fu);
    fv = frac(2.0f * fv);

    float d;
    if (wv >= fv) {
        const float a = 2.0f * fv / wv - 1.0f, b = fu - 0.5f * wu;
        d = 0.75f * (a * a + b * b);
    } else if (wu >= fu) {
        s = 1 - s;
        const float a = 2.0f * fu / wu - 1.0f, b = fv - 0.5f * wv - 1.0f;
        d = 0.75f * (a * a + b * b);
    } else {
        d = 1.0f;  // gap between threads
    }

    xrColor col = eval(state, &p->gapColor);
    if (d < 1.0f) {
        float k = 1.0f - d;
        const float brightSpread = eval(state, &p->brightSpread);
        if (brightSpread != 0.0f) {
            const int idx = s == 1 ? randomIndex(2.0 * u) : 1000 - randomIndex(-2.0 * v);
            k *= 1.0f - 0.5f * brightSpread +
                 veko::noise1(veko::randomValue(idx) + v / 100.0) * brightSpread;
            k = std::min(k, 1.0f);
        }
        const xrColor thread = eval(state, s == 1 ? &p->uColor : &p->vColor);
        col = veko::mixRGB(col, thread, k);
    }
    col.a = veko::luminance(col);
    veko::textureOutput(state, p->tex.out, col, res, AlphaSource::Fixed);
    return 1;
}

// An image cut out by a mask, an optional hue/saturation/value colour key
// and a soft frame; where it is cut away the default colour shows.
VEKO_EXPORT xrBoolean veko_stencil(void *result, xrState *state, void *params) {
    auto *p = static_cast<StencilParams *>(params);
    auto *res = static_cast<TextureResult *>(result);
    float u, v;
    if (!veko::textureUV(state, p->tex, res, u, v)) return 1;

    const float m0 = eval(state, &p->mask);
    float m = m0;
    const xrColor image = eval(state, &p->image);

    if (eval(state, &p->keyMasking)) {
        const xrColor key = eval(state, &p->colorKey);
        const veko::Hsv hi = veko::rgbToHsv(image.r, image.g, image.b);
        const veko::Hsv hk = veko::rgbToHsv(key.r, key.g, key.b);
        float dh = 2.0f * std::fabs(hi.h - hk.h);
        if (dh > 1.0f) dh = 2.0f - dh;
        float ds = std::fabs(hi.s - hk.s);
        float dv = std::fabs(hi.v - hk.v);
        auto range = [&](const xrScalar *r) {
            const float x = eval(state, r);
            return x > 0.004f ? x : 0.004f;
        };
        dh = std::min(dh / range(&p->hueRange), 1.0f);
        ds = std::min(ds / range(&p->satRange), 1.0f);
        dv = std::min(dv / range(&p->valRange), 1.0f);
        float k = (1.0f - dh) * (1.0f - ds) * (1.0f - dv);
        const float threshold = eval(state, &p->threshold);
        if (threshold > 0.0f) k /= threshold;
        k = std::min(k, 1.0f);
        if (eval(state, &p->positiveKey)) k = 1.0f - k;
        m += k;
    }
    m = std::min(m, 1.0f);

    const float edgeBlend = eval(state, &p->edgeBlend);
    if (edgeBlend > 0.0f) m += 1.0f - edgeProfile(u, edgeBlend) * edgeProfile(v, edgeBlend);

    if (m >= 1.0f) {
        // Fully cut away: the default colour, untouched by the output stage.
        const xrColor d = eval(state, &p->tex.out.defaultColor);
        res->outColor = {d.r, d.g, d.b, m};
        res->outAlpha = m;
        return 1;
    }
    xrColor col;
    if (m <= 0.0f) {
        col = {image.r, image.g, image.b, m0};
    } else {
        const xrColor d = eval(state, &p->tex.out.defaultColor);
        col = veko::mixRGB(image, d, m);
        col.a = (1.0f - m) * m0 + m;
    }
    veko::textureOutput(state, p->tex.out, col, res, AlphaSource::Fixed);
    return 1;
}
