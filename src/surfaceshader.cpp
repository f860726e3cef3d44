// Surface shaders without lighting of their own:
//   veko_surfaceshader  fifteen colours straight into a MaterialResult;
//   veko_layeredshader  the results of other shaders stacked front to back;
//   veko_shadingmap     the colour of another shader re-mapped through a
//                       lookup indexed by that colour;
//   veko_shadow         a shadow shader attenuating shadow rays by a colour
//                       and a facing-dependent factor.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "texture.h"
#include "vekobase.h"

namespace {

using namespace veko;

constexpr float kBlackHole = -1000000.0f;

void setMatte(MaterialResult *r, float a, float b, float c) {
    r->outMatteOpacity[0] = a;
    r->outMatteOpacity[1] = b;
    r->outMatteOpacity[2] = c;
}

// ---------------------------------------------------------------------------
// veko_surfaceshader
struct SurfaceShaderParams {
    xrColor colors[15];  // 0-59, in the order of the result's colours
};
static_assert(sizeof(SurfaceShaderParams) == 60 * 4);

// ---------------------------------------------------------------------------
// veko_layeredshader
struct LayerEntry {
    xrColor color;         // 0-3
    xrColor transparency;  // 4-7
    xrColor glowColor;     // 8-11
};
static_assert(sizeof(LayerEntry) == 12 * 4);

struct LayeredShaderParams {
    int32_t compositingFlag;    // 0
    Array<LayerEntry> layers;   // 1-14 (start, count, first entry's room)
    int32_t matteOpacityMode;   // 15
    float matteOpacity;         // 16
};
static_assert(offsetof(LayeredShaderParams, matteOpacityMode) == 15 * 4);
static_assert(sizeof(LayeredShaderParams) == 17 * 4);

// The stack ends once nothing shows through (red below 1e-6, green and blue
// below 1e-7) or once the ray, weighed by the layer's transparency, no
// longer counts. Returns true when the stack is cut.
bool stackCut(xrColor &T, BaseStateRecord *rec, const xrColor &layerTransparency) {
    if (T.r < 1e-6f && T.g < 1e-7f && T.b < 1e-7f) {
        T = {0.0f, 0.0f, 0.0f, 0.0f};
        return true;
    }
    if (!rec) return false;
    mulRGBInPlace(rec->rayWeight, layerTransparency);
    if (maxRGB(rec->rayWeight) < rec->minRayWeight) {
        T = {0.0f, 0.0f, 0.0f, 0.0f};
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// veko_shadingmap
struct ShadingMapParams {
    xrColor color;             // 0-3
    xrColor shadingMapColor;   // 4-7
    xrColor glowColor;         // 8-11
    xrColor transparency;      // 12-15
    int32_t matteOpacityMode;  // 16
    float matteOpacity;        // 17
    int32_t mapFunctionU;      // 18
    int32_t mapFunctionV;      // 19
};
static_assert(sizeof(ShadingMapParams) == 20 * 4);

// One lookup coordinate picked from the colour: 0 hue, 1 saturation,
// 2 value, 3 red, 4 green, 5 blue, anything else the mean of r, g, b.
float mapCoordinate(int32_t fn, const xrColor &c, const Hsv &hsv) {
    switch (fn) {
    case 0: return hsv.h;
    case 1: return hsv.s;
    case 2: return hsv.v;
    case 3: return c.r;
    case 4: return c.g;
    case 5: return c.b;
    default: return (c.r + c.g + c.b) / 3.0f;
    }
}

// ---------------------------------------------------------------------------
// veko_shadow
struct ShadowParams {
    xrColor shadowColor;       // 0-3 (r, g, b read)
    float shadowTransparency;  // 4
    float shadowDepth;         // 5
};
static_assert(sizeof(ShadowParams) == 6 * 4);

bool segmentMode(const xrState *state) {
    return state->optionsRecord && state->optionsRecord->shadowModeChar == 's';
}

bool anyLit(const xrColor &c) { return c.r >= 1e-5f || c.g >= 1e-5f || c.b >= 1e-5f; }

// Attenuation of a shadow ray by the shadow colour S, the facing falloff p
// at view cosine cv: S x max(0, 1 - (1 - |cv|) p).
xrColor shadowAttenuation(const xrColor &S, float p, float cv) {
    const float f = std::max(0.0f, 1.0f - (1.0f - std::fabs(cv)) * p);
    return {S.r * f, S.g * f, S.b * f, 0.0f};
}

}  // namespace

VEKO_EXPORT xrBoolean veko_surfaceshader(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const SurfaceShaderParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    for (int k = 0; k < 15; ++k) out[k] = eval(state, &p->colors[k]);
    return 1;
}

VEKO_EXPORT xrBoolean veko_layeredshader(void *resultPtr, xrState *state, void *params) {
    const auto *p = static_cast<const LayeredShaderParams *>(params);
    auto *result = static_cast<MaterialResult *>(resultPtr);
    const int32_t matteMode = eval(state, &p->matteOpacityMode);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_layeredshader(): Internal state error.");
        return 0;
    }
    WeightGuard weight(rec);
    const int first = evalStart(state, &p->layers);
    const int count = std::max(evalCount(state, &p->layers), 0);
    const LayerEntry *layers = p->layers.storage + first;

    if (state->rayKind == xrRAY_SHADOW) {
        if (matteMode == 0) {
            result->outTransparency = {0.0f, 0.0f, 0.0f, 0.0f};
            return 1;
        }
        xrColor T{1.0f, 1.0f, 1.0f, 1.0f};
        for (int k = 0; k < count; ++k) {
            const xrColor t = eval(state, &layers[k].transparency);
            mulRGBInPlace(T, t);
            if (stackCut(T, rec, t)) break;
        }
        result->outTransparency = T;
        return 1;
    }

    std::memset(result, 0, sizeof *result);
    if (matteMode == 0) {
        setMatte(result, kBlackHole, kBlackHole, kBlackHole);
        return 1;
    }
    const bool weighted = eval(state, &p->compositingFlag) != 0;
    xrColor T{1.0f, 1.0f, 1.0f, 1.0f};
    xrColor S{}, G{};
    for (int k = 0; k < count; ++k) {
        const LayerEntry &e = layers[k];
        xrColor t;
        if (!weighted) {
            // The layer's colour already carries its opacity.
            addTo(S, mulRGB(eval(state, &e.color), T));
            addTo(G, mulRGB(eval(state, &e.glowColor), T));
            t = eval(state, &e.transparency);
        } else {
            t = eval(state, &e.transparency);
            const xrColor w = mulRGB(oneMinusRGB(t), T);
            addTo(S, mulRGB(eval(state, &e.color), w));
            addTo(G, mulRGB(eval(state, &e.glowColor), w));
        }
        mulRGBInPlace(T, t);
        if (stackCut(T, rec, t)) break;
    }
    S.a = G.a = 0.0f;
    if (matteMode == 1) {
        const float mo = eval(state, &p->matteOpacity);
        setMatte(result, mo, mo, mo);
    } else {
        const float mo = eval(state, &p->matteOpacity);
        setMatte(result, (1.0f - T.r) * mo, (1.0f - T.g) * mo, (1.0f - T.b) * mo);
    }
    result->outColor = S;
    std::memcpy(result->outGlowColor, &G, sizeof result->outGlowColor);
    result->outTransparency = T;
    return 1;
}

VEKO_EXPORT xrBoolean veko_shadingmap(void *resultPtr, xrState *state, void *params) {
    const auto *p = static_cast<const ShadingMapParams *>(params);
    auto *result = static_cast<MaterialResult *>(resultPtr);
    const BaseStateRecord *rec = stateRecord(state);
    const int32_t m = eval(state, &p->matteOpacityMode);
    std::memset(result, 0, sizeof *result);
    if (m != 0) result->outTransparency = eval(state, &p->transparency);
    if (state->rayKind == xrRAY_SHADOW) return 1;
    if (m == 0) {
        setMatte(result, kBlackHole, kBlackHole, kBlackHole);
        return 1;
    }

    const int32_t fu = eval(state, &p->mapFunctionU);
    const int32_t fv = eval(state, &p->mapFunctionV);
    const xrColor c = eval(state, &p->color);
    const Hsv hsv = (fu < 3 || fv < 3) ? rgbToHsv(c.r, c.g, c.b) : Hsv{0.0f, 0.0f, 0.0f};
    const xrVector uv{mapCoordinate(fu, c, hsv), mapCoordinate(fv, c, hsv), 0.0f};

    // The lookup reads the first texture space at the colour's coordinates;
    // its cached results for this sample belong to the real coordinates.
    const bool flush = !(rec && rec->keepCache);
    const xrVector saved = state->texCoords[0];
    state->texCoords[0] = uv;
    if (flush) xr_flush_cache(state);
    result->outColor = eval(state, &p->shadingMapColor);
    state->texCoords[0] = saved;
    if (flush) xr_flush_cache(state);
    const xrColor glow = eval(state, &p->glowColor);
    std::memcpy(result->outGlowColor, &glow, sizeof(float) * 4);

    const float mo = eval(state, &p->matteOpacity);
    if (m == 1) {
        setMatte(result, mo, mo, mo);
    } else {
        const xrColor &t = result->outTransparency;
        setMatte(result, (1.0f - t.r) * mo, (1.0f - t.g) * mo, (1.0f - t.b) * mo);
    }
    return 1;
}

// `hostContinues` is the host's fourth argument: null when the shader is to
// continue the shadow ray itself (segment shadows).
VEKO_EXPORT xrBoolean veko_shadow(void *colorPtr, xrState *state, void *params, void *hostContinues) {
    const auto *p = static_cast<const ShadowParams *>(params);
    auto *color = static_cast<xrColor *>(colorPtr);
    const bool segments = segmentMode(state);
    const bool continueHere = segments && hostContinues == nullptr;
    if (state->hitDistance == 0.0) {
        if (continueHere) xr_trace_shadow_seg(color, state);
        return anyLit(*color) ? 1 : 0;
    }

    // Textures evaluated for the shadow are not filtered. Without a record
    // there is no footprint to narrow.
    BaseStateRecord *rec = stateRecord(state);
    xrVector savedU{}, savedV{};
    if (rec) {
        touchFootprint(state, rec);
        savedU = rec->footprintU;
        savedV = rec->footprintV;
        rec->footprintU = rec->footprintV = {1e-8f, 1e-8f, 0.0f};
    }
    const xrColor S = eval(state, &p->shadowColor);
    const float cv = segments ? state->cosView : dot(state->shadingNormal, state->rayDirection);
    const float falloff = eval(state, &p->shadowTransparency);
    xrColor a = shadowAttenuation(S, falloff, cv);
    if (segments && cv < 0.0f) {
        // Entering the surface: the shadow deepens with the distance the
        // segment ran inside, up to shadowDepth.
        const float d = eval(state, &p->shadowDepth);
        if (d != 0.0f) {
            const float r = static_cast<float>(state->hitDistance / d);
            if (r < 1.0f) {
                for (float *ch : {&a.r, &a.g, &a.b}) *ch = std::min(*ch * r + (1.0f - r), 1.0f);
            }
        }
    }
    if (rec) {
        rec->footprintU = savedU;
        rec->footprintV = savedV;
    }
    if (a.r < 1e-5f && a.g < 1e-5f && a.b < 1e-5f) {
        *color = {0.0f, 0.0f, 0.0f, 0.0f};
        return 0;
    }
    if (continueHere) xr_trace_shadow_seg(color, state);
    mulRGBInPlace(*color, a);
    return anyLit(*color) ? 1 : 0;
}
