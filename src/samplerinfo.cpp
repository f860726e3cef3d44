// Geometry of the current sample for shading networks: veko_samplerinfo
// (point, normal, ray direction, tangents, uv, pixel centre, flipped flag,
// facing ratio in a chosen space), veko_uvchooser (the uv of the texture
// space assigned to the current instance, with the triangle's vertex uvs) and
// veko_lightinfo (a light's position and direction and the distance to it).
#include <cmath>
#include <cstring>

#include "tangents.h"
#include "texture.h"

namespace {

using veko::eval;

enum : xrInteger {
    kQueryLightMatrix = 5,      // local to world matrix of a light instance
    kQueryParentInstance = 8,   // the instance the given one derives from
    kQueryTextureSpaces = 82,   // texture spaces of the object hit
    kQueryDerivativeSets = 137, // surface-derivative sets of the object hit
    kTriTextureCoords = 116,    // xr_tri_vectors: vertex texture coordinates
};

// ---------------------------------------------------------------------------
// veko_samplerinfo
enum SamplerSpace : int32_t { kSpaceCamera = 0, kSpaceInternal = 1, kSpaceObject = 2 };

struct SamplerInfoParams {
    int32_t space;     // 0
    int32_t skipMask;  // 1
};
static_assert(sizeof(SamplerInfoParams) == 2 * 4);

struct SamplerInfoOutput {
    xrVector pointCamera;   // 0-2    skip 0x01
    xrVector pointObj;      // 3-5    skip 0x02
    xrVector pointWorld;    // 6-8    skip 0x04
    xrVector normal;        // 9-11   skip 0x08
    xrVector uvCoord;       // 12-14  skip 0x10
    xrVector rayDirection;  // 15-17  skip 0x20
    xrVector tangentU;      // 18-20  skip 0x40 and 0x80 together
    xrVector tangentV;      // 21-23
    xrVector pixelCenter;   // 24-26  skip 0x100
    int32_t flippedNormal;  // 27     skip 0x200
    float facingRatio;      // 28     skip 0x400
};
static_assert(sizeof(SamplerInfoOutput) == 29 * 4);

enum : int32_t {
    kSkipPointCamera = 0x01,
    kSkipPointObj = 0x02,
    kSkipPointWorld = 0x04,
    kSkipNormal = 0x08,
    kSkipUV = 0x10,
    kSkipRayDirection = 0x20,
    kSkipTangents = 0x40 | 0x80,
    kSkipPixelCenter = 0x100,
    kSkipFlipped = 0x200,
    kSkipFacingRatio = 0x400,
};

}  // namespace

VEKO_EXPORT xrBoolean veko_samplerinfo(void *result, xrState *state, void *params) {
    auto *p = static_cast<SamplerInfoParams *>(params);
    auto *out = static_cast<SamplerInfoOutput *>(result);
    const int32_t space = eval(state, &p->space);
    const int32_t skip = eval(state, &p->skipMask);
    const auto want = [skip](int32_t bits) { return (skip & bits) != bits; };

    if (want(kSkipPointCamera)) xr_point_to_camera(state, &out->pointCamera, &state->hitPoint);
    if (want(kSkipPointObj)) xr_point_to_object(state, &out->pointObj, &state->hitPoint);
    if (want(kSkipPointWorld)) out->pointWorld = state->hitPoint;

    if (space == kSpaceInternal || space == kSpaceObject || space == kSpaceCamera) {
        if (want(kSkipNormal) || want(kSkipRayDirection)) {
            xrVector n = state->shadingNormal, d = state->rayDirection;
            if (space == kSpaceObject) {
                xr_vector_to_object(state, &n, &n);
                xr_vector_to_object(state, &d, &d);
            } else if (space == kSpaceCamera) {
                xr_vector_to_camera(state, &n, &n);
                xr_vector_to_camera(state, &d, &d);
            }
            if (space != kSpaceInternal) {
                n = veko::normalize(n);
                d = veko::normalize(d);
            }
            if (want(kSkipNormal)) out->normal = n;
            if (want(kSkipRayDirection)) out->rayDirection = d;
        }
        if (want(kSkipTangents)) {
            const int mode = space == kSpaceInternal ? veko::kTangentsInternal
                             : space == kSpaceObject ? veko::kTangentsObject
                                                     : veko::kTangentsCamera;
            xrVector tu, tv;
            veko::tangentBasis(state, tu, tv, mode, 0);
            out->tangentU = veko::normalize(tu);
            out->tangentV = veko::normalize(tv);
        }
    }

    if (want(kSkipUV)) {
        out->uvCoord = state->texCoords ? state->texCoords[0]
                                        : xrVector{veko::kOutsideUV, veko::kOutsideUV, veko::kOutsideUV};
    }
    if (want(kSkipPixelCenter))
        out->pixelCenter = {std::trunc(state->samplePosX) + 0.5f, std::trunc(state->samplePosY) + 0.5f, 0.0f};
    if (want(kSkipFlipped)) out->flippedNormal = int32_t(state->normalFlipped);
    if (want(kSkipFacingRatio)) {
        xrVector n, d;
        xr_vector_to_camera(state, &n, &state->shadingNormal);
        xr_vector_to_camera(state, &d, &state->rayDirection);
        out->facingRatio = -veko::dot(veko::normalize(n), veko::normalize(d));
    }
    return 1;
}

// ---------------------------------------------------------------------------
// veko_uvchooser
namespace {

struct UvSetPair {
    xrTag instance;
    int32_t uvSetIndex;
};

struct UvChooserParams {
    veko::Array<UvSetPair> uvSets;  // 0-3 (start, count, one element)
    xrBoolean noOffsetTransfer;     // 4
};
static_assert(sizeof(UvChooserParams) == 5 * 4);

struct UvChooserOutput {
    xrVector outUV;         // 0-2
    xrVector vertexUV[3];   // 3-11
};
static_assert(sizeof(UvChooserOutput) == 12 * 4);

// The texture space assigned to instance `key`: the first pair naming it
// with an existing space; 0 without one.
int chooseSpace(xrState *state, UvChooserParams *p, xrTag key, int spaces) {
    const int n = veko::evalCount(state, &p->uvSets);
    for (int k = 0; k < n; ++k) {
        UvSetPair *pair = p->uvSets.at(k);
        if (eval(state, &pair->instance) != key) continue;
        const int32_t s = eval(state, &pair->uvSetIndex);
        if (s >= 0 && s < spaces) return s;
    }
    return 0;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_uvchooser(void *result, xrState *state, void *params) {
    auto *p = static_cast<UvChooserParams *>(params);
    auto *out = static_cast<UvChooserOutput *>(result);
    std::memset(out, 0, sizeof *out);
    int32_t spaces = 0;
    if (!xr_query(kQueryTextureSpaces, state, 0, &spaces) || spaces <= 0 || !state->texCoords) return 1;

    xrTag key = 0;
    if (!xr_query(kQueryParentInstance, state, state->instanceTag, &key)) key = 0;
    const int s = chooseSpace(state, p, key, spaces);

    out->outUV = state->texCoords[s];
    xrVector *a = nullptr, *b = nullptr, *c = nullptr;
    if (xr_tri_vectors(state, kTriTextureCoords, s, &a, &b, &c) && a && b && c) {
        out->vertexUV[0] = *a;
        out->vertexUV[1] = *b;
        out->vertexUV[2] = *c;
    }

    // During a 2D bump evaluation the bump moved texture space 0; carry the
    // same offset over to the chosen space.
    const veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (s >= 1 && rec && (rec->flags & 0x01)) {
        int32_t derivSets = 0;
        if (!xr_query(kQueryDerivativeSets, state, 0, &derivSets)) derivSets = 0;
        const bool transfer = !eval(state, &p->noOffsetTransfer) || s > derivSets;
        xrVector *a0 = nullptr, *b0 = nullptr, *e0 = nullptr;
        if (transfer && xr_tri_vectors(state, kTriTextureCoords, 0, &a0, &b0, &e0) && a0 && b0 && e0) {
            const float *w = state->baryWeights;
            const xrVector &uv0 = state->texCoords[0];
            out->outUV.x += uv0.x - (w[0] * a0->x + w[1] * b0->x + w[2] * e0->x);
            out->outUV.y += uv0.y - (w[0] * a0->y + w[1] * b0->y + w[2] * e0->y);
        }
    }
    return 1;
}

// ---------------------------------------------------------------------------
// veko_lightinfo
namespace {

struct LightInfoParams {
    xrTag light;                          // 0
    xrBoolean sampleDistanceAlongAxis;    // 1
};
static_assert(sizeof(LightInfoParams) == 2 * 4);

struct LightInfoOutput {
    xrVector lightPosition;   // 0-2
    xrVector lightDirection;  // 3-5
    float sampleDistance;     // 6
};
static_assert(sizeof(LightInfoOutput) == 7 * 4);

}  // namespace

VEKO_EXPORT xrBoolean veko_lightinfo(void *result, xrState *state, void *params) {
    auto *p = static_cast<LightInfoParams *>(params);
    auto *out = static_cast<LightInfoOutput *>(result);
    xrVector position{0.0f, 0.0f, 0.0f}, direction{0.0f, 0.0f, -1.0f};
    const xrTag light = eval(state, &p->light);
    float m[16];
    if (light && xr_query(kQueryLightMatrix, state, light, m)) {
        const xrVector origin{0.0f, 0.0f, 0.0f}, axis{0.0f, 0.0f, -1.0f};
        xr_point_transform(&position, &origin, m);
        xr_vector_transform(&direction, &axis, m);
        direction = veko::normalize(direction);
    }
    out->lightPosition = position;
    out->lightDirection = direction;
    const xrVector d = veko::vsub(state->hitPoint, position);
    out->sampleDistance = eval(state, &p->sampleDistanceAlongAxis) ? veko::dot(d, direction) : veko::length(d);
    return 1;
}
