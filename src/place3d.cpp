// 3D placement and projection.
//
// veko_place3dtex hands a 3D texture its placement matrix, blended towards
// the motion matrix over the shutter.
//
// veko_projection projects a connected 2D texture (`image`) through space:
// the shading point goes into the projection's placement space, one of eight
// projections maps it to uv (optionally rippled by fractal noise), the image
// is evaluated at that uv with a matching filter footprint, and the common
// colour balance, an edge blend towards `defaultColor` and the default
// colour outside the projection finish the result.
#include <cmath>
#include <cstring>

#include "noise.h"
#include "tangents.h"
#include "texture.h"

namespace {

using veko::eval;

constexpr const char *kProjection = "veko_projection";

enum : xrInteger {
    kQueryInstanceMatrix = 4,  // world to local matrix of an instance
    kQueryInstanceItem = 7,    // the camera (light, object) of an instance
    kQueryUserPointer = 51,
};
constexpr int kDbCamera = 5;

// ---------------------------------------------------------------------------
// veko_place3dtex
struct Place3dParams {
    float placementMatrix[16];  // 0-15
    float motionMatrix[16];     // 16-31
};
static_assert(sizeof(Place3dParams) == 32 * 4);

// True when the render blends placements over the shutter for this sample.
bool motionBlending(const xrState *state) {
    const xrOptions *o = state->optionsRecord;
    return o && o->motionBlurOn != 0 && o->shutterClose > 0.0f;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_place3dtex(void *result, xrState *state, void *params) {
    auto *p = static_cast<Place3dParams *>(params);
    auto *out = static_cast<float *>(result);
    float m[16];
    veko::evalMatrix(state, p->placementMatrix, m);
    if (motionBlending(state) && state->sampleTime > 0.0f) {
        float mm[16];
        veko::evalMatrix(state, p->motionMatrix, mm);
        if (mm[15] != 0.0f)
            for (int i = 0; i < 16; ++i) m[i] += (mm[i] - m[i]) * state->sampleTime;
    }
    std::memcpy(out, m, sizeof m);
    return 1;
}

// ---------------------------------------------------------------------------
// veko_projection
namespace {

enum ProjType : int32_t {
    kPlanar = 1,
    kSpherical = 2,
    kCylindrical = 3,
    kBall = 4,
    kCubic = 5,
    kTriplanar = 6,
    kConcentric = 7,
    kPerspective = 8,
};

struct OctaveRange {
    float min, max;
};

struct ProjectionParams {
    xrVector imageSize;         // 0-2 (x, y used; read only when connected)
    xrColor image;              // 3-6
    float uAngle;               // 7
    float vAngle;               // 8
    int32_t projType;           // 9
    xrTag linkedCamera;         // 10
    int32_t fitType;            // 11
    int32_t fitFill;            // 12
    xrVector ripples;           // 13-15
    OctaveRange depth;          // 16-17
    float amplitudeX;           // 18
    float amplitudeY;           // 19
    float ratio;                // 20
    float blend;                // 21
    xrBoolean wrap;             // 22
    xrBoolean invert;           // 23
    xrColor colorGain;          // 24-27
    xrColor colorOffset;        // 28-31
    float alphaGain;            // 32
    float alphaOffset;          // 33
    xrColor defaultColor;       // 34-37
    xrVector normalCamera;      // 38-40
    float placementMatrix[16];  // 41-56
    xrBoolean local;            // 57
};
static_assert(sizeof(ProjectionParams) == 58 * 4);
static_assert(offsetof(ProjectionParams, placementMatrix) == 41 * 4);

// Per instance: the placement matrix M and its inverse.
struct ProjectionMatrices {
    float m[16];
    float inverse[16];
};

void **userPointer(xrState *state) {
    void **slot = nullptr;
    if (!xr_query(kQueryUserPointer, state, 0, &slot)) return nullptr;
    return slot;
}

void invertOrIdentity(const float m[16], float inverse[16]) {
    if (!xr_matrix_invert(inverse, m)) {
        xr_warning("%s(): Cannot invert placement matrix.", kProjection);
        xr_matrix_ident(inverse);
    }
}

// Placement of a perspective projection from the linked camera: its
// world-to-camera matrix with x and y scaled so that the camera's view
// spans [-1, 1] at unit depth. False when the camera or its data is missing.
bool cameraFit(xrState *state, const ProjectionParams *p, float m[16]) {
    const xrTag instance = eval(state, &p->linkedCamera);
    if (!instance) return false;  // no camera: the placement matrix places it
    xrTag cameraTag = 0;
    if (!xr_query(kQueryInstanceItem, state, instance, &cameraTag) || !cameraTag) {
        xr_warning("%s(): linkedCamera is not a camera instance.", kProjection);
        return false;
    }
    int type = 0;
    const auto *cam = static_cast<const xrCamera *>(xr_db_access_type(&type, cameraTag));
    if (!cam) {
        xr_warning("%s(): linkedCamera is not a camera instance.", kProjection);
        return false;
    }
    if (type != kDbCamera) {
        xr_db_unpin(cameraTag);
        xr_warning("%s(): linkedCamera is not a camera instance.", kProjection);
        return false;
    }
    const float focal = cam->focalLength;
    const bool ortho = cam->isOrthographic != 0;
    const xrTag dataTag = cam->cameraDataTag;
    xr_db_unpin(cameraTag);

    xrTag found = 0;
    const uint32_t *block =
        dataTag ? veko::findUserData(veko::kVekoMagic, xrDB_USERDATA, dataTag, &found, nullptr) : nullptr;
    if (!block) {
        xr_warning("veko_projection: Missing camera user data.");
        return false;
    }
    float w[8];
    std::memcpy(w, block, sizeof w);  // w[0] is the magic
    xr_db_unpin(found);

    float sx, s1;
    if (ortho) {
        sx = s1 = w[7] * 0.5f;
    } else {
        if (!(focal > 0.0f)) return false;
        sx = w[2] * w[6] / (2.0f * focal);
        s1 = w[3] / (2.0f * focal);
    }
    const int32_t fitType = eval(state, &p->fitType);
    float sy = 1.0f;
    if (fitType == 1) {
        sy = s1;
    } else if (fitType == 2) {
        const xrCamera *render = state->cameraRecord;
        if (render && render->imageWidth > 0) sy = float(render->imageHeight) * sx / float(render->imageWidth);
    }
    const int32_t fill = eval(state, &p->fitFill);
    if ((fill == 1 || fill == 2) && veko::isConnected(state, &p->imageSize)) {
        const xrVector s = eval(state, &p->imageSize);
        if (fill == 1 && s.x != 0.0f) sy = sx * s.y / s.x;
        if (fill == 2 && s.y != 0.0f) sx = sy * s.x / s.y;
    }
    // A degenerate fit would divide by zero below.
    if (!std::isfinite(sx) || !std::isfinite(sy) || sx == 0.0f || sy == 0.0f) return false;
    if (!xr_query(kQueryInstanceMatrix, state, instance, m)) {
        xr_warning("%s(): linkedCamera is not a camera instance.", kProjection);
        return false;
    }
    for (int i : {0, 4, 8, 12}) m[i] /= sx;
    for (int i : {1, 5, 9, 13}) m[i] /= sy;
    return true;
}

// Smooth edge weight: 0 at a = 0 (and below: beyond the edge of a wrapped
// projection) rising to 1 at a = 1 (and beyond).
float edgeWeight(float a) {
    return std::cos((std::fmin(std::fmax(a, 0.0f), 1.0f) + 1.0f) * veko::kPi) * 0.5f + 0.5f;
}

// Edge blend towards the default colour; 0 inside, 1 at the projection's
// border.
float edgeBlend(int t, const xrVector &q, float b) {
    if (b <= 0.0f) return 0.0f;
    auto s = [b](float a) { return edgeWeight(a / b); };
    const float len = veko::length(q);
    switch (t) {
        case kSpherical:
        case kBall:
            return 1.0f - s(1.0f - len);
        case kCylindrical:
            return 1.0f - s(1.0f - veko::frac(std::fabs(q.y))) * s(1.0f - std::hypot(q.x, q.z));
        case kCubic:
            return 1.0f - s(1.0f - veko::frac(std::fabs(q.x))) * s(1.0f - veko::frac(std::fabs(q.y))) *
                              s(1.0f - veko::frac(std::fabs(q.z)));
        case kPerspective:
            return len > 0.0f ? (1.0f - q.z * q.z / (len * len)) * b : 0.0f;
        default: {
            // Planar, triplanar, concentric: each component measured in the
            // projection's unit tile (c / 2 + 0.5), blended towards its edges.
            float prod = 1.0f;
            for (const float c : {q.x, q.y, q.z})
                prod *= s(1.0f - std::fabs(2.0f * veko::frac(c * 0.5f + 0.5f) - 1.0f));
            return 1.0f - prod;
        }
    }
}

// Concentric ring profile of one coordinate.
float ringProfile(float c) {
    const float a = (c - std::floor(c)) * 0.5f;
    const float r = a - std::floor(a);
    if (r >= 0.5f) return -(1.0f - 16.0f * (r - 0.75f) * (r - 0.75f));
    return 1.0f - 16.0f * (r - 0.25f) * (r - 0.25f);
}

float safeAtan2(float y, float x) {
    return (std::fabs(y) < 1e-5f && std::fabs(x) < 1e-5f) ? 0.0f : std::atan2(y, x);
}

struct MapContext {
    int type;
    float uAngle, vAngle;
    xrVector triplanarNormal;  // projection-space normal (triplanar only)
};

// Maps a projection-space point to (u, v, w). False when the mapping fails
// (a perspective point behind the projector).
bool mapToUV(const MapContext &c, const xrVector &q, xrVector &uvw) {
    float u = 0.0f, v = 0.0f, w = q.z;
    switch (c.type) {
        case kPlanar:
            u = q.x * 0.5f + 0.5f;
            v = q.y * 0.5f + 0.5f;
            break;
        case kSpherical: {
            const xrVector n = veko::normalize(q);
            u = (safeAtan2(n.x, n.z) / c.uAngle + 1.0f) * 0.5f;
            v = (std::atan2(n.y, std::hypot(n.x, n.z)) / c.vAngle + 1.0f) * 0.5f;
            break;
        }
        case kCylindrical: {
            const float len = veko::length(q);
            const float x = len < 1e-5f ? 0.0f : q.x / len, z = len < 1e-5f ? 0.0f : q.z / len;
            u = (std::fabs(x) < 1e-5f && std::fabs(z) < 1e-5f) ? 0.5f : std::atan2(x, z) / c.uAngle + 0.5f;
            v = q.y * 0.5f + 0.5f;
            break;
        }
        case kBall: {
            const float len = veko::length(q);
            const float g = len < 1e-5f ? 0.0f : 0.5f / len;
            xrVector h{g * q.x, g * q.y, g * q.z + 0.5f};
            const float hl = veko::length(h);
            if (hl != 0.0f) h.x /= hl, h.y /= hl;
            u = h.x * 0.5f + 0.5f;
            v = h.y * 0.5f + 0.5f;
            break;
        }
        case kCubic: {
            const float m = std::fmax(std::fabs(q.x), std::fmax(std::fabs(q.y), std::fabs(q.z)));
            const float g = m == 0.0f ? 0.0f : 0.5f / m;
            u = g * q.x + 0.5f;
            v = g * q.y + 0.5f;
            w = g * q.z + 0.5f;
            if (std::fabs(std::fabs(q.y) - m) < 1e-5f)
                v = w;
            else if (std::fabs(std::fabs(q.x) - m) < 1e-5f)
                u = w;
            break;
        }
        case kTriplanar: {
            const xrVector &n = c.triplanarNormal;
            const float ax = std::fabs(n.x), ay = std::fabs(n.y), az = std::fabs(n.z);
            u = q.x, v = q.y;
            if (ay > ax && ay > az)
                v = q.z;
            else if (ax > ay && ax > az)
                u = q.z;
            u = u * 0.5f + 0.5f;
            v = v * 0.5f + 0.5f;
            w = w * 0.5f + 0.5f;
            break;
        }
        case kConcentric:
            u = veko::noise3(std::trunc(q.x) * 0.01, std::trunc(q.y) * 0.01, std::trunc(q.z) * 0.01);
            v = ringProfile(q.x) * ringProfile(q.y) * ringProfile(q.z) + 0.5f;
            break;
        case kPerspective:
            if (q.z > -1e-6f) return false;
            u = (1.0f - q.x / q.z) * 0.5f;
            v = (1.0f - q.y / q.z) * 0.5f;
            break;
        default:
            return false;
    }
    uvw = {u, v, w};
    return true;
}

bool outsideProjection(int t, const xrVector &q) {
    const auto in1 = [](float c) { return c >= -1.0f && c <= 1.0f; };
    switch (t) {
        case kSpherical:
        case kBall:
            return !(veko::length(q) <= 1.0f);
        case kCylindrical:
            return !in1(q.y) || !(std::hypot(q.x, q.z) <= 1.0f);
        case kPerspective:
            return !(q.z >= -1.0f && q.z <= -1e-6f && in1(-q.x / q.z) && in1(-q.y / q.z));
        default:
            return !in1(q.x) || !in1(q.y) || !in1(q.z);
    }
}

// Fractal noise displacement of the projection-space point ("ripples").
void ripple(const ProjectionParams *p, xrState *state, int t, const xrVector &lookup,
            const veko::BaseStateRecord *rec, xrVector &q) {
    const float ampX = eval(state, &p->amplitudeX), ampY = eval(state, &p->amplitudeY);
    if (!(ampX > 0.0f) && !(ampY > 0.0f)) return;

    // Filter width at the point: the record's fixed size when filtering is
    // off, else the pixel's footprint at the point's distance.
    float width;
    if (rec && !rec->filterEnabled) {
        width = rec->baseFilterSize;
    } else {
        xrVector n = veko::isConnected(state, &p->normalCamera) ? eval(state, &p->normalCamera)
                                                                 : state->shadingNormal;
        xr_vector_to_camera(state, &n, &n);
        n = veko::normalize(n);
        xrVector c;
        xr_point_to_camera(state, &c, &lookup);
        const float cn = std::fabs(veko::dot(c, n));
        const float k = rec ? rec->filterSize : 0.002053f;
        width = cn <= 1e-10f ? 1e10f : c.z * c.z * k / cn;
    }

    const xrVector rip = eval(state, &p->ripples);
    const float m = std::fmax(std::fabs(rip.x), std::fmax(std::fabs(rip.y), std::fabs(rip.z)));
    const OctaveRange depth{eval(state, &p->depth.min), eval(state, &p->depth.max)};
    float x = std::log(m * width) / -0.6931f;
    if (std::isnan(x)) x = depth.min;
    x = std::fmax(depth.min, std::fmin(x, depth.max));
    // Beyond this the doubled frequencies leave the noise's domain anyway.
    x = std::fmax(0.0f, std::fmin(x, 64.0f));
    const float ratio = eval(state, &p->ratio);

    double rx = rip.x / 32.0, ry = rip.y / 32.0, rz = rip.z / 32.0;
    float a = 1.0f, A = 0.0f, B = 0.0f;
    const int octaves = int(std::floor(x));
    auto term = [&](float weight) {
        const double px = rx * q.x, py = ry * q.y, pz = rz * q.z;
        A += weight * veko::noise3(px, py, pz);
        B += weight * veko::noise3(px + 0.5, py + 0.5, pz + 0.5);
    };
    for (int i = 0; i < octaves; ++i) {
        term(a);
        rx *= 2.0, ry *= 2.0, rz *= 2.0;
        a *= ratio;
    }
    a *= x - float(octaves);
    term(a);
    const float k = 1.0f - ratio * ratio;
    q.x += ampX * k * A;
    q.y += ampY * k * B;
    if (t == kConcentric) q.z += ampX * k * B;
}

// Filter footprint of the image lookup: the pixel's uv footprint carried
// along the surface tangents through the projection, as uv half-extents.
// False when a corner cannot be mapped (the current footprint stays).
bool projectedFootprint(xrState *state, const MapContext &mc, const xrVector &lookup, bool local,
                        const float m[16], const xrVector &current, xrVector &out) {
    xrVector tu, tv;
    veko::tangentBasis(state, tu, tv, veko::kTangentsInternal, 0);
    const float fx = current.x, fy = current.y;
    float uv[4][2];  // (+,+), (-,-), (+,-), (-,+)
    const float signs[4][2] = {{1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
    for (int i = 0; i < 4; ++i) {
        xrVector c = veko::vadd(lookup, veko::vadd(veko::vscale(tu, signs[i][0] * fx), veko::vscale(tv, signs[i][1] * fy)));
        xrVector s, q, uvw;
        if (local)
            xr_point_to_object(state, &s, &c);
        else
            xr_point_to_world(state, &s, &c);
        xr_point_transform(&q, &s, m);
        if (!mapToUV(mc, q, uvw)) return false;
        uv[i][0] = uvw.x, uv[i][1] = uvw.y;
    }
    float d[3][2];
    for (int i = 0; i < 3; ++i) d[i][0] = uv[i + 1][0] - uv[0][0], d[i][1] = uv[i + 1][1] - uv[0][1];
    float loU = 0, hiU = 0, loV = 0, hiV = 0;
    for (auto &e : d) {
        loU = std::fmin(loU, e[0]), hiU = std::fmax(hiU, e[0]);
        loV = std::fmin(loV, e[1]), hiV = std::fmax(hiV, e[1]);
    }
    float W = hiU - loU, H = hiV - loV;
    if (W * H > 1e-16f) {
        auto cross2 = [](const float *a, const float *b) { return a[0] * b[1] - a[1] * b[0]; };
        // d[0] = (-,-), d[1] = (+,-), d[2] = (-,+)
        const float area = (std::fabs(cross2(d[2], d[0])) + std::fabs(cross2(d[1], d[0]))) * 0.5f;
        const float sc = std::sqrt(area / (W * H));
        W *= sc, H *= sc;
    }
    float fu = std::fmax(W * 0.5f, 1e-8f), fv = std::fmax(H * 0.5f, 1e-8f);
    if (fv / fu > 10.0f)
        fv = 10.0f * fu;
    else if (fv / fu < 0.1f)
        fu = 10.0f * fv;
    if (!std::isfinite(fu) || !std::isfinite(fv)) return false;
    out = {fu, fv, 0.0f};
    return true;
}

void defaultOutput(xrState *state, const ProjectionParams *p, veko::TextureResult *res) {
    veko::textureDefaultOutput(state, &p->defaultColor, res);
}

}  // namespace

VEKO_EXPORT void veko_projection_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {
        if (initRequest) *initRequest = 1;
        return;
    }
    auto *p = static_cast<ProjectionParams *>(params);
    void **slot = userPointer(state);
    if (!slot) return;
    auto *mats = static_cast<ProjectionMatrices *>(
        xr_mem_int_allocate(__FILE__, __LINE__, sizeof(ProjectionMatrices)));
    if (!mats) return;
    if (!(eval(state, &p->projType) == kPerspective && cameraFit(state, p, mats->m)))
        veko::evalMatrix(state, p->placementMatrix, mats->m);
    invertOrIdentity(mats->m, mats->inverse);
    *slot = mats;
}

VEKO_EXPORT void veko_projection_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = userPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release(__FILE__, __LINE__, *slot);
    *slot = nullptr;
}

VEKO_EXPORT xrBoolean veko_projection(void *result, xrState *state, void *params) {
    auto *p = static_cast<ProjectionParams *>(params);
    auto *res = static_cast<veko::TextureResult *>(result);
    veko::BaseStateRecord *rec = veko::stateRecord(state);

    const int t = eval(state, &p->projType);
    if (t < kPlanar || t > kPerspective) {
        defaultOutput(state, p, res);
        return 1;
    }
    void **slot = userPointer(state);
    const auto *stored = slot ? static_cast<const ProjectionMatrices *>(*slot) : nullptr;
    if (!stored) {
        xr_warning("%s(): Cannot access placement matrix.", kProjection);
        defaultOutput(state, p, res);
        return 1;
    }
    float m[16], inverse[16];
    std::memcpy(m, stored->m, sizeof m);
    std::memcpy(inverse, stored->inverse, sizeof inverse);
    if (motionBlending(state) && t != kPerspective) {
        // An animated placement (e.g. from a connected place3dtex) replaces
        // the matrix taken at init.
        float now[16];
        veko::evalMatrix(state, p->placementMatrix, now);
        if (std::memcmp(now, m, sizeof m) != 0) {
            std::memcpy(m, now, sizeof m);
            invertOrIdentity(m, inverse);
        }
    }

    // Lookup point: a volume sample position, a reference-space texture
    // coordinate named by the object's user data, or the hit point.
    enum class Source { Origin, Reference, Hit } source = Source::Hit;
    int referenceSpace = -1;
    xrVector lookup = state->hitPoint;
    if (rec && (rec->flags & veko::kFlag3dFromOriginMask)) {
        source = Source::Origin;
        lookup = state->rayOrigin;
    } else if (state->instanceTag && state->texCoords) {
        xrTag found = 0;
        if (const uint32_t *label =
                veko::findUserData(veko::kVekoMagic, xrDB_OBJECT, state->instanceTag, &found, nullptr)) {
            int32_t space;
            std::memcpy(&space, label + 1, 4);
            xr_db_unpin(found);
            int32_t spaces = 0;
            // Only an existing texture space can be read.
            if (space >= 0 && xr_query(82, state, 0, &spaces) && space < spaces) {
                source = Source::Reference;
                referenceSpace = space;
                xr_point_from_world(state, &lookup, &state->texCoords[space]);
            }
        }
    }

    const bool local = eval(state, &p->local) != 0;
    xrVector placed;
    if (local) {
        if (state->sampleTime != 0.0f && source != Source::Reference)
            lookup = veko::vsub(lookup, veko::vscale(state->motionVector, state->sampleTime));
        xr_point_to_object(state, &placed, &lookup);
    } else {
        xr_point_to_world(state, &placed, &lookup);
    }
    xrVector q;
    xr_point_transform(&q, &placed, m);

    if (!eval(state, &p->wrap) && outsideProjection(t, q)) {
        defaultOutput(state, p, res);
        return 1;
    }
    const float e = edgeBlend(t, q, eval(state, &p->blend));
    if (e >= 1.0f) {
        defaultOutput(state, p, res);
        return 1;
    }

    ripple(p, state, t, lookup, rec, q);

    MapContext mc{t, eval(state, &p->uAngle), eval(state, &p->vAngle), {0.0f, 0.0f, 0.0f}};
    if (t == kTriplanar) {
        xrVector n = veko::isConnected(state, &p->normalCamera) ? eval(state, &p->normalCamera)
                                                                 : state->shadingNormal;
        if (local)
            xr_vector_to_object(state, &n, &n);
        else
            xr_vector_to_world(state, &n, &n);
        xr_vector_transform(&mc.triplanarNormal, &n, m);
    }
    xrVector uvw;
    if (!mapToUV(mc, q, uvw)) {
        defaultOutput(state, p, res);
        return 1;
    }

    // Evaluate the image with the projected uv (and footprint) in place of
    // the surface's, then restore the state.
    const bool flush = !(rec && rec->keepCache);
    const xrVector savedUV = state->texCoords ? state->texCoords[0] : xrVector{};
    if (state->texCoords) state->texCoords[0] = uvw;
    const bool footprint = rec && rec->filterEnabled;
    xrVector savedFootprint{};
    if (footprint) {
        veko::touchFootprint(state, rec);
        savedFootprint = rec->footprintU;
        xrVector f;
        if (projectedFootprint(state, mc, lookup, local, m, savedFootprint, f)) rec->footprintU = f;
    }
    int32_t savedFlags = 0;
    if (rec) {
        savedFlags = rec->flags;
        rec->flags |= veko::kFlagEnvironmentEval;
    }
    xrVector unplaced;
    xr_vector_transform(&unplaced, &q, inverse);
    const xrVector savedHit = state->hitPoint;
    state->hitPoint = unplaced;
    xrVector savedOther{};
    xrVector *other = nullptr;
    if (source == Source::Origin) {
        other = &state->rayOrigin;
    } else if (source == Source::Reference && referenceSpace != 0) {
        // Space 0 carries the projected uv for the image.
        other = &state->texCoords[referenceSpace];
    }
    if (other) {
        savedOther = *other;
        *other = unplaced;
    }
    if (flush) xr_flush_cache(state);

    xrColor c = eval(state, &p->image);
    float alpha = veko::luminance(c);

    if (other) *other = savedOther;
    state->hitPoint = savedHit;
    if (rec) rec->flags = savedFlags;
    if (footprint) rec->footprintU = savedFootprint;
    if (state->texCoords) state->texCoords[0] = savedUV;
    if (flush) xr_flush_cache(state);

    // Colour balance and the edge blend.
    if (eval(state, &p->invert)) {
        c = veko::oneMinusRGB(c);
        alpha = 1.0f - alpha;
    }
    const xrColor gain = eval(state, &p->colorGain), offset = eval(state, &p->colorOffset);
    c = {gain.r * c.r + offset.r, gain.g * c.g + offset.g, gain.b * c.b + offset.b, 0.0f};
    alpha = eval(state, &p->alphaGain) * alpha + eval(state, &p->alphaOffset);
    if (e > 0.0f) {
        const xrColor d = eval(state, &p->defaultColor);
        c = veko::mixRGB(c, d, e);
        alpha *= 1.0f - e;
    }
    c.a = alpha;
    res->outColor = c;
    res->outAlpha = alpha;
    return 1;
}
