// Bump mapping: veko_bump2d and veko_bump3d tilt the shading normal by the
// slopes of a scalar height, measured by central differences. The height
// network is re-evaluated four times at moved lookup positions (uv of one
// texture space, or the 3D texture point), with the host's result cache
// flushed before each evaluation so nothing computed at another position is
// reused. The tangents are the surface basis of tangents.h.
#include "bump.h"

#include <cmath>

namespace {

using veko::eval;
using veko::isConnected;

struct Bump2dParams {
    xrVector normalCamera;      // 0-2
    xrScalar bumpValue;         // 3
    xrScalar bumpDepth;         // 4
    xrScalar bumpFilter;        // 5
    xrScalar bumpFilterOffset;  // 6
    xrBoolean adjustEdges;      // 7
    xrBoolean provide3dInfo;    // 8
    xrVector uvCoord;           // 9-11
    xrVector uvFilterSize;      // 12-14
    xrVector tangentU;          // 15-17
    xrVector tangentV;          // 18-20
    xrInteger uvSet;            // 21
};
static_assert(sizeof(Bump2dParams) == 22 * 4);

struct Bump3dParams {
    xrVector normalCamera;      // 0-2
    xrScalar bumpValue;         // 3
    xrScalar bumpDepth;         // 4
    xrScalar bumpFilter;        // 5
    xrScalar bumpFilterOffset;  // 6
    xrVector tangentU;          // 7-9
    xrVector tangentV;          // 10-12
};
static_assert(sizeof(Bump3dParams) == 13 * 4);

// The normal to perturb: normalCamera when connected, else the state's
// shading normal (the literal is not used).
xrVector baseNormal(xrState *state, const xrVector *normalCamera) {
    return isConnected(state, normalCamera) ? eval(state, normalCamera) : state->shadingNormal;
}

// Tangents of the bump: the surface basis, replaced by the connected
// tangentU / tangentV inputs; both normalized.
void bumpTangents(xrState *state, const xrVector *tangentU, const xrVector *tangentV, int uvSet,
                  xrVector &tu, xrVector &tv) {
    veko::tangentBasis(state, tu, tv, veko::kTangentsInternal, uvSet);
    if (isConnected(state, tangentU)) tu = eval(state, tangentU);
    if (isConnected(state, tangentV)) tv = eval(state, tangentV);
    tu = veko::normalize(tu);
    tv = veko::normalize(tv);
}

// Distance the 3D lookup point moves: a pixel's size at the hit (from the
// record's filter settings) scaled by bumpFilter, plus bumpFilterOffset.
float offset3d(xrState *state, float bumpFilter, float bumpFilterOffset) {
    float base;
    if (const veko::BaseStateRecord *rec = veko::stateRecord(state))
        base = rec->filterEnabled ? float(state->hitDistance) * 0.5f * rec->filterSize : rec->baseFilterSize;
    else
        base = float(state->hitDistance) * 0.0010265f;
    return base * bumpFilter + bumpFilterOffset;
}

// The 3D lookup point that solid textures read, as a location in the state:
// a volume sample position, a reference-object coordinate, or the hit point.
// `world` tells that the location holds a world-space point.
xrVector *lookupPoint(xrState *state, bool &world) {
    world = false;
    const veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (rec && (rec->flags & veko::kFlag3dFromOriginMask)) return &state->rayOrigin;
    if (state->instanceTag && state->texCoords) {
        xrTag found = 0;
        if (const uint32_t *label = veko::findUserData(veko::kVekoMagic, xrDB_OBJECT, state->instanceTag, &found, nullptr)) {
            int32_t space;
            std::memcpy(&space, label + 1, 4);
            xr_db_unpin(found);
            if (space >= 0) {
                world = true;
                return &state->texCoords[space];
            }
        }
    }
    return &state->hitPoint;
}

// Moves the lookup point to saved + s * dir (dir in internal space).
void movePoint(xrState *state, xrVector *P, const xrVector &saved, bool world, const xrVector &dir, float s) {
    xrVector d = veko::vscale(dir, s);
    if (world) xr_vector_to_world(state, &d, &d);
    *P = veko::vadd(saved, d);
}

// Evaluates the height after dropping every cached network result.
float height(xrState *state, const xrScalar *bumpValue) {
    xr_flush_cache(state);
    return eval(state, bumpValue);
}

// Tilts N by the two slopes; N unchanged for a flat height or a zero depth.
xrVector tilt(xrState *state, const xrVector &N, float gU, float gV, float depth, const xrVector &tu,
              const xrVector &tv) {
    if (std::fabs(gU) < 1e-5f && std::fabs(gV) < 1e-5f) return N;
    if (std::fabs(depth) < 1e-5f) return N;
    xrVector n = veko::vadd(N, veko::vscale(veko::vadd(veko::vscale(tu, gU), veko::vscale(tv, gV)), depth));
    if (veko::length(n) < 1e-5f) {
        const xrVector z{0.0f, 0.0f, 1.0f};
        xr_vector_from_camera(state, &n, &z);
    }
    return veko::normalize(n);
}

// Sets or clears bits of the record's flags; returns the previous word.
int32_t setFlag(veko::BaseStateRecord *rec, int32_t bit) {
    if (!rec) return 0;
    const int32_t old = rec->flags;
    rec->flags |= bit;
    return old;
}
void restoreFlag(veko::BaseStateRecord *rec, int32_t bit, int32_t old) {
    if (rec) rec->flags = (rec->flags & ~bit) | (old & bit);
}

}  // namespace

VEKO_EXPORT xrBoolean veko_bump2d(void *result, xrState *state, void *params) {
    auto *p = static_cast<Bump2dParams *>(params);
    auto *out = static_cast<xrVector *>(result);

    int s = eval(state, &p->uvSet);
    if (s < 0) s = 0;
    int32_t n = 0;
    if (!xr_query(82, state, 0, &n) || n == 0 || !state->texCoords) {
        // No texture space to move: the normal stays as it is (an unwritten
        // result would hand the material a zero normal).
        *out = baseNormal(state, &p->normalCamera);
        return 1;
    }
    int32_t m = 0;
    if (xr_query(137, state, 0, &m) && m != 0 && (s >= n || s >= m)) s = 0;
    if (s >= n) s = 0;

    const xrVector savedUV = state->texCoords[s];
    float u = savedUV.x, v = savedUV.y;
    if (isConnected(state, &p->uvCoord)) {
        const xrVector uv = eval(state, &p->uvCoord);
        u = uv.x;
        v = uv.y;
    }

    xrVector tu, tv;
    bumpTangents(state, &p->tangentU, &p->tangentV, s, tu, tv);

    float fu = 0.005f, fv = 0.005f;
    if (isConnected(state, &p->uvFilterSize)) {
        const xrVector f = eval(state, &p->uvFilterSize);
        fu = f.x;
        fv = f.y;
    } else if (const veko::BaseStateRecord *rec = veko::stateRecord(state)) {
        veko::touchFootprint(state, rec);
        fu = rec->footprintU.x;
        fv = rec->footprintU.y;
    }
    const float bumpFilter = eval(state, &p->bumpFilter);
    const float bumpFilterOffset = eval(state, &p->bumpFilterOffset);
    const float du = std::fmax(2.0f * bumpFilter * fu + bumpFilterOffset, 1e-5f);
    const float dv = std::fmax(2.0f * bumpFilter * fv + bumpFilterOffset, 1e-5f);

    const bool inside = u >= 0.0f && u <= 1.0f && v >= 0.0f && v <= 1.0f;
    const bool adjust = inside && eval(state, &p->adjustEdges);
    const bool info3d = eval(state, &p->provide3dInfo);
    float o = 0.0f;
    bool world = false;
    xrVector *P = nullptr;
    xrVector savedP{};
    if (info3d) {
        o = offset3d(state, bumpFilter, bumpFilterOffset);
        P = lookupPoint(state, world);
        savedP = *P;
    }

    veko::BaseStateRecord *rec = veko::stateRecord(state);
    const int32_t oldFlags = setFlag(rec, veko::kFlagBump2d);
    float su = 0.02f, sv = 0.02f;

    auto sampleAt = [&](float lu, float lv, const xrVector &dir, float sign) {
        state->texCoords[s].x = lu;
        state->texCoords[s].y = lv;
        if (P) movePoint(state, P, savedP, world, dir, sign * o);
        return height(state, &p->bumpValue);
    };
    float lu = u - du;
    if (adjust && lu < 0.0f) {
        lu = 0.0f;
        su = (u / du + 1.0f) * 0.5f * 0.02f;
    }
    const float b1 = sampleAt(lu, v, tu, -1.0f);
    lu = u + du;
    if (adjust && lu > 1.0f) {
        lu = 1.0f;
        su *= ((1.0f - u) / du + 1.0f) * 0.5f;
    }
    const float b2 = sampleAt(lu, v, tu, 1.0f);
    float lv = v - dv;
    if (adjust && lv < 0.0f) {
        lv = 0.0f;
        sv = (v / dv + 1.0f) * 0.5f * 0.02f;
    }
    const float b3 = sampleAt(u, lv, tv, -1.0f);
    lv = v + dv;
    if (adjust && lv > 1.0f) {
        lv = 1.0f;
        sv *= ((1.0f - v) / dv + 1.0f) * 0.5f;
    }
    const float b4 = sampleAt(u, lv, tv, 1.0f);

    state->texCoords[s] = savedUV;
    if (P) *P = savedP;
    restoreFlag(rec, veko::kFlagBump2d, oldFlags);
    xr_flush_cache(state);

    const float gU = (b1 - b2) * su / du;
    const float gV = (b3 - b4) * sv / dv;
    *out = tilt(state, baseNormal(state, &p->normalCamera), gU, gV, eval(state, &p->bumpDepth), tu, tv);
    return 1;
}

VEKO_EXPORT xrBoolean veko_bump3d(void *result, xrState *state, void *params) {
    auto *p = static_cast<Bump3dParams *>(params);
    auto *out = static_cast<xrVector *>(result);

    xrVector tu, tv;
    bumpTangents(state, &p->tangentU, &p->tangentV, 0, tu, tv);
    const float o = offset3d(state, eval(state, &p->bumpFilter), eval(state, &p->bumpFilterOffset));
    bool world = false;
    xrVector *P = lookupPoint(state, world);
    const xrVector savedP = *P;

    veko::BaseStateRecord *rec = veko::stateRecord(state);
    const int32_t oldFlags = setFlag(rec, veko::kFlagEnvironmentEval);
    auto sampleAt = [&](const xrVector &dir, float s) {
        movePoint(state, P, savedP, world, dir, s);
        return height(state, &p->bumpValue);
    };
    const float b1 = sampleAt(tu, -o), b2 = sampleAt(tu, o);
    const float b3 = sampleAt(tv, -o), b4 = sampleAt(tv, o);
    *P = savedP;
    restoreFlag(rec, veko::kFlagEnvironmentEval, oldFlags);
    xr_flush_cache(state);

    float gU = b1 - b2, gV = b3 - b4;
    if (o > 1e-5f) {
        gU *= 0.1f / o;
        gV *= 0.1f / o;
    }
    *out = tilt(state, baseNormal(state, &p->normalCamera), gU, gV, eval(state, &p->bumpDepth), tu, tv);
    return 1;
}
