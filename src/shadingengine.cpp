// The shading engine: the material of an object. It calls the object's
// surface shader with a texture-filter footprint prepared for it, turns the
// surface shader's MaterialResult into the ray's colour and alpha, continues
// the ray through transparent surfaces and leaves glow, matte, transparency
// and depth in the per-ray record.
#include <algorithm>

#include "vekobase.h"

namespace {

using veko::BaseStateRecord;
using veko::MaterialResult;

constexpr const char *kName = "veko_shadingengine";

// Query codes.
constexpr int kQueryResultSize = 58;
constexpr int kQueryHasTexCoords = 82;
constexpr int kQueryForceOpaque = 142;

// xr_tri_vectors selectors.
constexpr int kTriPositions = 112;
constexpr int kTriTexCoords = 116;

// A ray that has this many spawning rays behind it is not continued through
// transparent surfaces (unless the mode flag is set).
constexpr int kMaxChain = 256;

// The surface shader's result lives on the stack unless it declares more.
constexpr int kLocalResultBytes = 512;
constexpr int kMinResultBytes = 256;

// Texture spaces covered by the zero coordinates given to objects without
// texture coordinates.
constexpr int kZeroSpaces = 4;

struct ShadingEngineParams {
    xrTag surfaceShader;       // 0 (connected; its connection word is the tag)
    int32_t pad1[3];           // 1-3
    float continueThreshold;   // 4
    xrInteger alphaMode;       // 5
};
static_assert(offsetof(ShadingEngineParams, continueThreshold) == 16);
static_assert(offsetof(ShadingEngineParams, alphaMode) == 20);

float maxRgb(const xrColor &c) { return std::max({c.r, c.g, c.b}); }

xrVector sub(const xrVector &a, const xrVector &b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
xrVector add(const xrVector &a, const xrVector &b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
xrVector scale(const xrVector &a, float s) { return {a.x * s, a.y * s, a.z * s}; }

// Ray kinds traced from within a material call that share the record of the
// state they are spawned by (the state shader starts no new ray for them).
constexpr int32_t kRayReflect = 2;
constexpr int32_t kRayRefract = 3;
constexpr int32_t kRayTransparent = 20;

// The record of the material's state. A reflected, refracted or transparency
// ray traced by the state whose material call holds the binding shares that
// state's record, which stays in place while the call runs; any other ray
// (an eye ray, a ray with a record of its own) asks the host.
BaseStateRecord *materialRecord(xrState *state) {
    const int32_t kind = state->rayKind;
    if (kind == kRayReflect || kind == kRayRefract || kind == kRayTransparent) {
        const veko::RecordBinding *b = veko::recordBinding(state);
        if (b && b->rec && state->spawningState && state->spawningState == b->state) return b->rec;
    }
    return veko::lookupStateRecord(state);
}

bool spawnedBySecondaryRay(const xrState *state) {
    for (const xrState *s = state; s; s = s->spawningState)
        if (s->rayKind == kRayReflect || s->rayKind == kRayRefract || s->rayKind == kRayTransparent) return true;
    return false;
}

// Texture-space rates of change (u and v per unit length) of the hit
// triangle, blended over its edges by the barycentric weights.
void triangleRates(xrState *state, float *du, float *dv) {
    constexpr float kMinRate = 1.5e-5f;
    *du = *dv = kMinRate;
    xrVector *p[3] = {}, *t[3] = {};
    if (!xr_tri_vectors(state, kTriPositions, 0, &p[0], &p[1], &p[2])) return;
    if (!xr_tri_vectors(state, kTriTexCoords, 0, &t[0], &t[1], &t[2])) return;
    if (!p[0] || !p[1] || !p[2] || !t[0] || !t[1] || !t[2]) return;
    float wsum = 0.0f, su = 0.0f, sv = 0.0f;
    for (int k = 0; k < 3; ++k) {
        const int j = (k + 1) % 3;
        const float len = veko::length(sub(*p[j], *p[k]));
        float ru = kMinRate, rv = kMinRate;
        if (len > 0.0f) {
            ru = std::max(std::fabs(t[j]->x - t[k]->x) / len, kMinRate);
            rv = std::max(std::fabs(t[j]->y - t[k]->y) / len, kMinRate);
        }
        ru = std::min(ru, 10.0f * rv);
        rv = std::min(rv, 10.0f * ru);
        const float w = state->baryWeights[k];
        su += w * ru;
        sv += w * rv;
        wsum += w;
    }
    if (wsum > 0.0f) {
        *du = std::max(su / wsum, kMinRate);
        *dv = std::max(sv / wsum, kMinRate);
    }
}

// Footprint of an eye-ray hit: the pixel's corners carried onto the tangent
// plane of the hit point in camera space. footprintV gets 0.45 times the
// longer pixel edge there; footprintU the texture-space size of the pixel,
// from the surface derivatives of texture space 0.
void eyeFootprint(xrState *state, BaseStateRecord *rec, const veko::EyeHit &h) {
    const xrVector tiny{1e-8f, 1e-8f, 0.0f};
    rec->footprintU = tiny;
    rec->footprintV = tiny;

    xrVector P, N;
    xr_point_to_camera(state, &P, &h.point);
    xr_vector_to_camera(state, &N, &h.normal);
    const bool ortho = state->cameraRecord && state->cameraRecord->isOrthographic;
    const float sx = state->samplePosX, sy = state->samplePosY;
    const float offs[3][2] = {{0.0f, 0.0f}, {1.0f, 0.0f}, {0.0f, 1.0f}};
    xrVector hit[3];
    for (int i = 0; i < 3; ++i) {
        const xrVector corner = add(rec->viewCorner, xrVector{(sx + offs[i][0]) * rec->pixelStep.x,
                                                               (sy + offs[i][1]) * rec->pixelStep.y, 0.0f});
        const xrVector origin = ortho ? corner : xrVector{0.0f, 0.0f, 0.0f};
        const xrVector dir = ortho ? xrVector{0.0f, 0.0f, -1.0f} : corner;
        const float denom = veko::dot(N, dir);
        if (std::fabs(denom) < 1e-5f) return;
        hit[i] = add(origin, scale(dir, veko::dot(N, sub(P, origin)) / denom));
    }
    const xrVector e1 = sub(hit[1], hit[0]), e2 = sub(hit[2], hit[0]);
    const float f = 0.45f * std::max(veko::length(e1), veko::length(e2));
    rec->footprintV = {f, f, 0.0f};

    // Solve each edge E = du·Pu + dv·Pv in the least-squares sense.
    if (!h.hasDerivs) return;
    xrVector Pu, Pv;
    // The host keeps surface derivatives in object space.
    xr_vector_from_object(state, &Pu, &h.derivU);
    xr_vector_from_object(state, &Pv, &h.derivV);
    xr_vector_to_camera(state, &Pu, &Pu);
    xr_vector_to_camera(state, &Pv, &Pv);
    const float a = veko::dot(Pu, Pu), b = veko::dot(Pu, Pv), c = veko::dot(Pv, Pv);
    const float det = a * c - b * b;
    if (!(det > 1e-5f * a * c) || det <= 0.0f) return;
    float extU = 0.0f, extV = 0.0f;
    for (const xrVector &e : {e1, e2}) {
        const float eu = veko::dot(e, Pu), ev = veko::dot(e, Pv);
        extU = std::max(extU, std::fabs((c * eu - b * ev) / det));
        extV = std::max(extV, std::fabs((a * ev - b * eu) / det));
    }
    rec->footprintU = {std::max(extU, 1e-8f), std::max(extV, 1e-8f), 0.0f};
}

void setFootprint(xrState *state, BaseStateRecord *rec) {
    if (!rec->filterEnabled) {
        const float s = rec->baseFilterSize;
        rec->footprintU = {s, s, s};
        rec->footprintV = {s, s, s};
        return;
    }
    if (maxRgb(rec->rayWeight) < rec->minRayWeight) {
        const float d = std::max(std::fabs(state->cosView), 1e-5f);
        const float D = veko::length(sub(state->hitPoint, veko::cameraPosition(state)));
        const float f = rec->filterSize * 0.45f * D / d;
        rec->footprintV = {f, f, 0.0f};
        rec->footprintU = {1.5e-5f * f, 1.5e-5f * f, 0.0f};
        return;
    }
    if (spawnedBySecondaryRay(state)) {
        const float f = rec->filterSize * 0.45f * std::max(1.0f, static_cast<float>(state->hitDistance));
        rec->footprintV = {f, f, 0.0f};
        float du, dv;
        triangleRates(state, &du, &dv);
        const float c = std::max(std::fabs(state->cosView), 0.001f);
        rec->footprintU = {f * dv / c, f * du / c, 0.0f};
        return;
    }
    // The eye footprint waits in the binding until a shader touches it.
    veko::EyeHit h;
    h.point = state->hitPoint;
    h.normal = state->shadingNormal;
    h.hasDerivs = state->derivU && state->derivV;
    h.derivU = h.hasDerivs ? state->derivU[0] : xrVector{};
    h.derivV = h.hasDerivs ? state->derivV[0] : xrVector{};
    veko::RecordBinding *b = veko::recordBinding(state);
    if (b && b->state == state && b->rec == rec) {
        b->hit = h;
        b->footprintPending = true;
    } else {
        eyeFootprint(state, rec, h);
    }
}

int spawningDepth(const xrState *state) {
    int n = 0;
    for (const xrState *s = state->spawningState; s && n < kMaxChain; s = s->spawningState) ++n;
    return n;
}

void pushDepthNode(BaseStateRecord *rec, const xrState *state, float factor) {
    veko::DepthStack &stack = rec->depthStack;
    if (!stack.pool) return;
    auto *node = static_cast<veko::DepthNode *>(xr_mem_blkfallocate(stack.pool));
    if (!node) return;
    const float *ax = rec->cameraAxis;
    const xrVector &p = state->hitPoint;
    node->next = stack.top;
    node->factor = factor;
    node->depth = ax[0] * p.x + ax[1] * p.y + ax[2] * p.z + ax[3];
    stack.top = node;
    ++stack.count;
}

// Calls the surface shader and composes its result into the ray's colour;
// `surface` is the zero-filled result buffer.
void shade(xrColor *result, xrState *state, BaseStateRecord *rec, const ShadingEngineParams *params,
           xrTag shader, float continueThreshold, MaterialResult &surface) {
    rec->refractionsOn = 0;
    xr_call_shader_x(&surface, xrSHADER_CALL, state, shader, nullptr);

    const xrColor T = surface.outTransparency;
    xrColor M{surface.outMatteOpacity[0], surface.outMatteOpacity[1], surface.outMatteOpacity[2], surface.pad11};
    const bool seeThrough = 1.0f - continueThreshold < veko::luminance(T);
    const bool blackHole = M.r == -1000000.0f;
    if (blackHole) M = {0.0f, 0.0f, 0.0f, 0.0f};

    xrColor out{surface.outColor.r, surface.outColor.g, surface.outColor.b, 1.0f};
    const xrInteger alphaMode = veko::eval(state, &params->alphaMode);
    if (alphaMode == 0) {
        out.a = veko::luminance(M);
    } else if (alphaMode == 1) {
        out.a = surface.outColor.a;
        M.r = M.g = M.b = out.a;
    }

    const float *g = surface.outGlowColor;
    const bool glows = g[0] > 0.004f || g[1] > 0.004f || g[2] > 0.004f;
    const bool mode114 = state->optionsRecord && state->optionsRecord->modeCode == 114 && state->modeFlag;
    const bool opaque = (T.r < 1e-5f && T.g < 1e-5f && T.b < 1e-5f) ||
                        (state->optionsRecord && state->optionsRecord->traceEnabled && rec->refractionsOn);

    auto finishOpaque = [&] {
        if (glows) rec->fbColor = {g[0], g[1], g[2], 1.0f};
        xrColor current;
        if (mode114 && !xr_opacity_get(state, &current)) {
            const xrColor one{1.0f, 1.0f, 1.0f, 1.0f};
            xr_opacity_set(state, &one);
        }
        rec->matteColor = M;
        rec->auxColor = T;
    };

    if (opaque) {
        finishOpaque();
    } else if (mode114) {
        if (glows) rec->fbColor = {g[0], g[1], g[2], 1.0f};
        const xrColor opacity{1.0f - T.r, 1.0f - T.g, 1.0f - T.b, veko::luminance(M)};
        xr_opacity_set(state, &opacity);
        rec->matteColor = M;
        rec->auxColor = T;
    } else {
        const xrColor savedWeight = rec->rayWeight;
        if (rec->userWord5) {
            rec->rayWeight.r *= std::max(1.0f - M.r, T.r);
            rec->rayWeight.g *= std::max(1.0f - M.g, T.g);
            rec->rayWeight.b *= std::max(1.0f - M.b, T.b);
        }
        if (!(maxRgb(rec->rayWeight) > rec->minRayWeight) ||
            (!state->modeFlag && spawningDepth(state) >= kMaxChain)) {
            rec->rayWeight = savedWeight;
            finishOpaque();
        } else {
            xrColor traced{0.0f, 0.0f, 0.0f, 0.0f};
            if (seeThrough) {
                xr_trace_continue(&traced, state);
            } else {
                --state->refractDepth;
                xr_trace_transparent(&traced, state);
                ++state->refractDepth;
            }
            out.r += traced.r * T.r;
            out.g += traced.g * T.g;
            out.b += traced.b * T.b;
            if (!blackHole) out.a += (1.0f - out.a) * traced.a;
            if (glows) {
                rec->fbColor.r += g[0];
                rec->fbColor.g += g[1];
                rec->fbColor.b += g[2];
                rec->fbColor.a += 1.0f;
            }
            if (blackHole) {
                rec->matteColor = M;
            } else {
                xrColor &old = rec->matteColor;
                old.r += (1.0f - old.r) * M.r;
                old.g += (1.0f - old.g) * M.g;
                old.b += (1.0f - old.b) * M.b;
            }
            rec->auxColor.r *= T.r;
            rec->auxColor.g *= T.g;
            rec->auxColor.b *= T.b;
            rec->rayWeight = savedWeight;
        }
    }

    if (!seeThrough && rec->depthStackEnabled && state->modeFlag) pushDepthNode(rec, state, veko::luminance(T));

    // The renderer may force the alpha to 1; an alpha of 1 needs no asking.
    xrInteger forceOpaque = 0;
    if (out.a != 1.0f && xr_query(kQueryForceOpaque, state, 0, &forceOpaque) && forceOpaque) out.a = 1.0f;
    *result = out;
}

}  // namespace

void veko::settleFootprint(RecordBinding *b) {
    b->footprintPending = false;
    eyeFootprint(const_cast<xrState *>(b->state), b->rec, b->hit);
}

VEKO_EXPORT xrBoolean veko_shadingengine(void *result, xrState *state, void *paramBlock) {
    const auto *params = static_cast<const ShadingEngineParams *>(paramBlock);
    const float continueThreshold = veko::eval(state, &params->continueThreshold);
    xrVector *const savedTexCoords = state->texCoords;

    BaseStateRecord *rec = materialRecord(state);
    if (!rec) {
        VEKO_WARN(kName, "Internal state error.");
        return 0;
    }
    const veko::RecordScope scope(state, rec);
    const int32_t connOffset = state->shaderRecord ? state->shaderRecord->connectionOffset : 0;
    xrTag shader = 0;
    if (connOffset)
        std::memcpy(&shader, reinterpret_cast<const char *>(&params->surfaceShader) + connOffset, sizeof shader);
    if (shader == 0 || shader == 0xffffffffu) {
        VEKO_WARN(kName, "Cannot evaluate surface shader.");
        return 0;
    }

    // Grazing hits: tilt the normal slightly towards the viewer.
    const xrVector savedNormal = state->shadingNormal;
    const float savedCosView = state->cosView;
    if (std::fabs(state->cosView) < 1e-5f) {
        xrVector n = sub(state->shadingNormal, scale(state->rayDirection, state->cosView + 0.0015f));
        const float len = veko::length(n);
        if (len > 0.0f) n = scale(n, 1.0f / len);
        state->shadingNormal = n;
        state->cosView = veko::dot(state->rayDirection, n);
    }

    xrVector zeroCoords[kZeroSpaces] = {};
    xrInteger hasTexCoords = 0;
    if (!xr_query(kQueryHasTexCoords, state, 0, &hasTexCoords) || hasTexCoords == 0) state->texCoords = zeroCoords;

    const xrVector savedFootU = rec->footprintU, savedFootV = rec->footprintV;
    setFootprint(state, rec);

    // Result buffer of the surface shader: its declared size, at least a
    // MaterialResult, zero-filled, for this call only.
    xrInteger size = 0;
    if (!xr_query(kQueryResultSize, nullptr, shader, &size)) size = 0;
    size = std::max<xrInteger>(size, kMinResultBytes);
    alignas(16) unsigned char local[kLocalResultBytes];
    unsigned char *buffer = local;
    if (size > kLocalResultBytes)
        buffer = static_cast<unsigned char *>(xr_mem_int_allocate(__FILE__, __LINE__, static_cast<size_t>(size)));
    if (buffer == local) {
        if (size == kMinResultBytes) veko::zeroBlock<kMinResultBytes>(local);  // the usual MaterialResult
        else std::memset(local, 0, static_cast<size_t>(size));
    }

    shade(static_cast<xrColor *>(result), state, rec, params, shader, continueThreshold,
          *reinterpret_cast<MaterialResult *>(buffer));

    if (buffer != local) xr_mem_int_release(__FILE__, __LINE__, buffer);
    rec->footprintU = savedFootU;
    rec->footprintV = savedFootV;
    state->texCoords = savedTexCoords;
    state->shadingNormal = savedNormal;
    state->cosView = savedCosView;
    return 1;
}
