// Point, spot, directional and ambient lights, and the pipeline they share:
// texture-coordinate swap, intensity, shadow stage (depth-map and ray-traced
// branches with the disk and cone soft-shadow samplers), and the side
// information left in the per-ray record for the material.
//
// What the host must provide while a light shader runs (the light state):
//   rayOrigin      light position (internal space)
//   rayDirection   unit vector from the light to the shaded point
//   hitDistance    distance from the light to the point
//   hitPoint, shadingNormal   the shaded point and its normal
//   cosView        -(rayDirection . shadingNormal): cosine towards the light
//   lightInstanceTag  the light instance; xr_point_to_light,
//                  xr_point_from_light and xr_vector_from_light use it
//   spawningState  the caller's (material or fog shader's) state, or null
//   rayKind        4 while a material or fog shader samples the light
//   the "vekobase" shader state must be the caller's record.
//
// xr_query codes used here (state = the light state):
//   7   tag = lightInstanceTag -> xrTag: the light of that instance
//   24  tag = the light        -> xrInteger: area shape code (1 rectangle,
//                                 2 disc; anything else, or failure: none)
//   33  tag = the light        -> xrVector: rectangle's first edge, light space
//   34  tag = the light        -> xrVector: rectangle's second edge, light space
//   35  tag = the light        -> xrVector: disc normal, light space
//   142 tag = 0                -> xrInteger: nonzero while sampling at reduced
//                                 quality; soft shadows become one hard ray
// xr_sample(pair, &instance, state, 2, &count): instance starts at 0; returns
// one 2D quasi-random pair per call until count pairs were given.
// xr_trace_shadow(&filter, state): filter starts at (1,1,1,1); traces between
// rayOrigin and hitPoint (directional light: from hitPoint along
// -rayDirection); false when fully blocked, else true with the transmission.
// xr_lightprofile_sample(state, profile, 1): profile factor for rayDirection.
#include "light.h"

#include <algorithm>
#include <climits>
#include <cmath>

namespace veko::light {
namespace {

inline bool anyChannelLit(const xrColor &c) { return c.r >= 1e-5f || c.g >= 1e-5f || c.b >= 1e-5f; }

// Two unit vectors perpendicular to d: U runs from o to the point q of the
// plane through o (normal d) that lies on a coordinate axis, V = d x U. When
// o itself lies on that axis (U would vanish), U is taken perpendicular to d
// from the coordinate axis least aligned with d, so the sample disk never
// collapses to a point.
void perpendicularBasis(const xrVector &o, const xrVector &d, xrVector *u, xrVector *v) {
    float t = dot(o, d);
    xrVector q{0.0f, 0.0f, 0.0f};
    if (d.x != 0.0f)
        q.x = t / d.x;
    else if (d.y != 0.0f)
        q.y = t / d.y;
    else if (d.z != 0.0f)
        q.z = t / d.z;
    xrVector w = vsub(q, o);
    float len = length(w);
    if (len > 1e-6f * std::max(1.0f, length(o))) {
        w = vscale(w, 1.0f / len);
    } else {
        float ax = std::fabs(d.x), ay = std::fabs(d.y), az = std::fabs(d.z);
        xrVector axis = (ax <= ay && ax <= az) ? xrVector{1, 0, 0}
                        : (ay <= az)          ? xrVector{0, 1, 0}
                                              : xrVector{0, 0, 1};
        w = normalize(cross(d, axis));
    }
    *u = w;
    *v = normalize(cross(d, w));
}

struct DiskSampler {
    xrVector origin, u, v;
    float radius;
};

void placeDiskSample(xrState *state, const void *ctx, float s0, float s1) {
    const auto *d = static_cast<const DiskSampler *>(ctx);
    float rho = std::sqrt(s0) * d->radius;
    float phi = kTwoPi * s1;
    xrVector s = vadd(d->origin, vadd(vscale(d->u, rho * std::cos(phi)), vscale(d->v, rho * std::sin(phi))));
    state->rayOrigin = s;
    state->rayDirection = normalize(vsub(state->hitPoint, s));
    state->cosView = -dot(state->rayDirection, state->shadingNormal);
}

struct ConeSampler {
    xrVector apex, u, v;
};

void placeConeSample(xrState *state, const void *ctx, float s0, float s1) {
    const auto *c = static_cast<const ConeSampler *>(ctx);
    float rho = std::sqrt(s0);
    float phi = kTwoPi * s1;
    xrVector s = vadd(c->apex, vadd(vscale(c->u, rho * std::cos(phi)), vscale(c->v, rho * std::sin(phi))));
    state->rayDirection = normalize(vsub(state->hitPoint, s));
    state->cosView = -dot(state->rayDirection, state->shadingNormal);
}

const xrState g_noSpawningState{};

// The caller's state; a zeroed stand-in when the host gives none.
inline const xrState &spawning(const xrState *state) {
    return state->spawningState ? *state->spawningState : g_noSpawningState;
}

}  // namespace

// ---------------------------------------------------------------------------
CallFrame::CallFrame(xrState *state, BaseStateRecord *rec) : state_(state), rec_(rec) {
    if (state_->texCoords) {
        saved_ = state_->texCoords[0];
        hadCoords_ = true;
    }
}

CallFrame::~CallFrame() {
    if (!flagWasSet_) rec_->flags &= ~kFlagEnvironmentEval;
    if (hadCoords_) state_->texCoords[0] = saved_;
}

void CallFrame::setTexCoord(const xrVector &v) {
    if (hadCoords_) state_->texCoords[0] = v;
}

void CallFrame::markRunning() {
    flagWasSet_ = (rec_->flags & kFlagEnvironmentEval) != 0;
    rec_->flags |= kFlagEnvironmentEval;
}

bool hasConnections(const xrState *state, const void *params, size_t bytes) {
    const xrShaderRecord *r = state->shaderRecord;
    if (!r || r->connectionOffset == 0) return false;
    const char *mirror = static_cast<const char *>(params) + r->connectionOffset;
    // OR of all words without an early exit: the loop vectorises.
    int32_t any = 0;
    for (size_t i = 0; i + 4 <= bytes; i += 4) {
        int32_t word;
        std::memcpy(&word, mirror + i, 4);
        any |= word;
    }
    return any != 0;
}

xrVector pointMapping(const xrVector &p) {
    float h = std::hypot(p.x, p.z);
    float u = std::fabs(p.z) < 1e-5f ? 0.5f : std::atan2(p.x, p.z) / (2.0f * kPi) + 0.5f;
    float v = h < 1e-5f ? 0.5f : std::atan(p.y / h) / kPi + 0.5f;
    return {u, v, p.z};
}

float applyDecay(float intensity, double distance, int decayRate) {
    if (distance > 1.0 && decayRate >= 1 && decayRate <= 3) {
        for (int i = 0; i < decayRate; ++i) intensity = static_cast<float>(intensity / distance);
    }
    return intensity;
}

void seenDirectly(BaseStateRecord *rec) {
    rec->fbColor = {0.0f, 0.0f, 0.0f, 0.0f};
    rec->matteColor = {1.0f, 1.0f, 1.0f, 1.0f};
    rec->auxColor = {0.0f, 0.0f, 0.0f, 0.0f};
}

bool softShadow(xrState *state, int count, SamplePlacer place, const void *ctx, xrColor *att) {
    const xrVector origin = state->rayOrigin;
    const xrVector direction = state->rayDirection;
    const float cosView = state->cosView;

    if (count < 1) count = 1;
    float avg[2][3] = {{1.0f, 1.0f, 1.0f}, {1.0f, 1.0f, 1.0f}};
    int passes = 0;
    for (int pass = 0; pass < 2; ++pass) {
        double sum[3] = {0.0, 0.0, 0.0};
        int partial = 0, taken = 0;
        xrInteger instance = 0, n = count;
        float s[2];
        while (xr_sample(s, &instance, state, 2, &n)) {
            if (taken >= std::max(n, count)) break;  // a host that never stops
            ++taken;
            place(state, ctx, s[0], s[1]);
            xrColor f{1.0f, 1.0f, 1.0f, 1.0f};
            if (xr_trace_shadow(&f, state) && anyChannelLit(f)) {
                sum[0] += f.r;
                sum[1] += f.g;
                sum[2] += f.b;
                if (!(f.r == 1.0f && f.g == 1.0f && f.b == 1.0f)) ++partial;
            }
        }
        // No samples at all leave the light unshadowed.
        if (taken > 0)
            for (int c = 0; c < 3; ++c) avg[pass][c] = static_cast<float>(sum[c] / taken);
        passes = pass + 1;
        if (partial == 0 || partial == taken) break;
        count = count > INT_MAX / 4 ? INT_MAX : count * 4;
    }

    float a[3];
    for (int c = 0; c < 3; ++c) a[c] = passes == 2 ? 0.8f * avg[1][c] + 0.2f * avg[0][c] : avg[0][c];
    att->r = a[0];
    att->g = a[1];
    att->b = a[2];

    state->cosView = cosView;
    state->rayDirection = direction;
    state->rayOrigin = origin;
    return anyChannelLit(*att);
}

bool diskSoftShadow(xrState *state, float radius, int count, xrColor *att) {
    DiskSampler d;
    d.origin = state->rayOrigin;
    d.radius = std::max(radius, 0.0001f);
    perpendicularBasis(d.origin, state->rayDirection, &d.u, &d.v);
    return softShadow(state, count, placeDiskSample, &d, att);
}

bool coneSoftShadow(xrState *state, float angleDeg, int count, xrColor *att) {
    const xrVector dir = state->rayDirection;
    ConeSampler c;
    c.apex = vsub(state->hitPoint, vscale(dir, 1.0f / std::tan(angleDeg * kPi / 180.0f)));
    perpendicularBasis(c.apex, vscale(dir, -1.0f), &c.u, &c.v);
    return softShadow(state, count, placeConeSample, &c, att);
}

int shadowRayCount(int n, float m, const BaseStateRecord *rec) {
    const float low = rec->minRayWeight, high = rec->fullSampleWeight;
    if (m < high) {
        // Linear ramp: 1 ray at m = low, n rays at m = high. m > low here
        // (the shadow stage runs only then), so the divisor is positive.
        float num = n * (m - low) - (m - high);
        float den = (m - low) - (m - high);
        if (den > 0.0f) n = static_cast<int>(std::trunc(num / den));
    }
    return n;
}

void shadowStage(xrState *state, BaseStateRecord *rec, const ShadowInputs &in, xrColor *result) {
    const float m = maxRGB(rec->rayWeight);
    if (!(m > rec->minRayWeight) || rec->inLightLoop != 0 || spawning(state).rayKind == xrRAY_SHADOW)
        return;

    const Evaluator ev(state);
    const xrOptions *opt = state->optionsRecord;
    if (in.useDepthMapShadows && ev(in.useDepthMapShadows) && opt && opt->shadowMapsOn) {
        xrColor sc = ev(in.shadowColor);
        xrColor s{sc.r * in.depthMapIntensity, sc.g * in.depthMapIntensity, sc.b * in.depthMapIntensity, sc.a};
        xrColor att{1.0f, 1.0f, 1.0f, 1.0f};
        if (xr_trace_shadow(&att, state)) {
            result->r = att.r * result->r + (1.0f - att.r) * s.r;
            result->g = att.g * result->g + (1.0f - att.g) * s.g;
            result->b = att.b * result->b + (1.0f - att.b) * s.b;
            rec->lightShadowWeight = 1.0f - (att.r + att.g + att.b) / 3.0f;
        } else {
            *result = s;
            rec->lightShadowWeight = 1.0f;
        }
        return;
    }

    if (!ev(in.useRayTraceShadows) || !opt || !opt->traceEnabled) return;
    int rays = ev(in.shadowRays);
    if (rays == 0) return;
    int32_t limit = std::min<int32_t>(ev(in.rayDepthLimit), rec->userWord1);
    if (!(state->reflectDepth + state->refractDepth < limit)) return;

    float size = 0.0f;
    bool soft = false;
    if (in.sampler && !in.softSize) {
        soft = true;
    } else if (in.sampler) {
        // Reduced sampling (query 142) turns soft shadows off. A literal size
        // of 0 (the usual hard shadow) needs no answer; a connected size is
        // evaluated only when sampling is not reduced.
        const bool literal = !ev.connected(in.softSize);
        if (!literal || *in.softSize > 0.0f) {
            xrInteger reduced = 0;
            if (!(xr_query(142, state, 0, &reduced) && reduced != 0)) size = literal ? *in.softSize : ev(in.softSize);
        }
        soft = size > 0.0f;
    }

    xrColor att{1.0f, 1.0f, 1.0f, 1.0f};
    bool lit = soft ? in.sampler(state, size, shadowRayCount(rays, m, rec), &att)
                    : xr_trace_shadow(&att, state) != 0;
    if (lit) {
        xrColor sc = ev(in.shadowColor);
        result->r = att.r * result->r + (1.0f - att.r) * sc.r;
        result->g = att.g * result->g + (1.0f - att.g) * sc.g;
        result->b = att.b * result->b + (1.0f - att.b) * sc.b;
        rec->lightShadowWeight = 1.0f - (att.r + att.g + att.b) / 3.0f;
    } else {
        *result = ev(in.shadowColor);
        rec->lightShadowWeight = 1.0f;
    }
}

}  // namespace veko::light

// ===========================================================================
// The four light shaders.
namespace veko::light {
namespace {

struct AmbientLightParams {
    float ambientShade;
    float shadowRadius;
    xrColor color;
    float intensity;
    xrBoolean useRayTraceShadows;
    xrColor shadowColor;
    xrInteger shadowRays;
    xrInteger rayDepthLimit;
};
static_assert(sizeof(AmbientLightParams) == 14 * 4);

struct DirectionalLightParams {
    xrBoolean useLightPosition;
    float lightAngle;  // degrees
    xrBoolean useDepthMapShadows;
    xrBoolean emitDiffuse;
    xrBoolean emitSpecular;
    xrColor color;
    float intensity;
    xrBoolean useRayTraceShadows;
    xrColor shadowColor;
    xrInteger shadowRays;
    xrInteger rayDepthLimit;
};
static_assert(sizeof(DirectionalLightParams) == 17 * 4);
static_assert(offsetof(DirectionalLightParams, intensity) == 9 * 4);

struct PointLightParams {
    float lightRadius;
    xrInteger decayRate;
    xrBoolean useDepthMapShadows;
    xrBoolean emitDiffuse;
    xrBoolean emitSpecular;
    xrColor color;
    float intensity;
    xrBoolean useRayTraceShadows;
    xrColor shadowColor;
    xrInteger shadowRays;
    xrInteger rayDepthLimit;
    float fogRadius;
    xrInteger fogType;
    float fogIntensity;
    xrTag lightProfile;
};
static_assert(sizeof(PointLightParams) == 21 * 4);
static_assert(offsetof(PointLightParams, fogRadius) == 17 * 4);

struct SpotLightParams {
    float coneAngle;
    float penumbraAngle;
    float dropoff;
    xrBoolean barnDoors;
    float leftBarnDoor;
    float rightBarnDoor;
    float topBarnDoor;
    float bottomBarnDoor;
    xrBoolean useDecayRegions;
    float startDistance1, endDistance1;
    float startDistance2, endDistance2;
    float startDistance3, endDistance3;
    float lightRadius;
    xrInteger decayRate;
    xrBoolean useDepthMapShadows;
    xrBoolean emitDiffuse;
    xrBoolean emitSpecular;
    xrColor color;
    float intensity;
    xrBoolean useRayTraceShadows;
    xrColor shadowColor;
    xrInteger shadowRays;
    xrInteger rayDepthLimit;
    float fogSpread;
    float fogIntensity;
};
static_assert(sizeof(SpotLightParams) == 34 * 4);
static_assert(offsetof(SpotLightParams, color) == 20 * 4);
static_assert(offsetof(SpotLightParams, fogSpread) == 32 * 4);

inline xrColor scaledColor(const xrColor &c, float i) { return {c.r * i, c.g * i, c.b * i, c.a}; }

// Area-light back-face test of the point and spot lights: a light whose
// instance carries a rectangle or disc area shape lights only the side its
// shape faces. A light ray (kind 4) is behind when N . dir <= 0, any other
// ray when N . dir >= 0.
bool areaLightBehind(xrState *state) {
    xrTag light = 0;
    if (!xr_query(7, state, state->lightInstanceTag, &light)) return false;
    xrInteger shape = 0;
    if (!xr_query(24, state, light, &shape)) return false;
    xrVector n{0.0f, 0.0f, 0.0f};
    if (shape == 1) {
        xrVector e1{0.0f, 0.0f, 0.0f}, e2{0.0f, 0.0f, 0.0f};
        if (!xr_query(33, state, light, &e1) || !xr_query(34, state, light, &e2)) return false;
        n = cross(e1, e2);
    } else if (shape == 2) {
        if (!xr_query(35, state, light, &n)) return false;
    } else {
        return false;
    }
    xrVector ni;
    xr_vector_from_light(state, &ni, &n);
    float d = dot(ni, state->rayDirection);
    return state->rayKind == kRayLight ? d <= 0.0f : d >= 0.0f;
}

// A sample of a one-sided light on the back side of a material that reads
// nothing there that such a light gives (kFlagBackSideUnused): turned down
// before it is computed, shadow ray included.
inline bool backSampleUnused(const xrState *state, const BaseStateRecord *rec) {
    return (rec->flags & kFlagBackSideUnused) && rec->backSide && state->rayKind == kRayLight;
}

// Steps after the intensity for the lights that are not ambient: record the
// unshadowed colour, run the shadow stage, leave the emit flags (and the
// one-sided mark for a material that asks for it).
void finishLight(xrState *state, BaseStateRecord *rec, const ShadowInputs &shadow, const xrBoolean *emitDiffuse,
                 const xrBoolean *emitSpecular, xrColor *out) {
    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = *out;
    shadowStage(state, rec, shadow, out);
    rec->lightAmbient = 0;
    rec->lightDiffuse = eval(state, emitDiffuse) ? 1 : 0;
    rec->lightSpecular = eval(state, emitSpecular) ? 1 : 0;
    rec->lightShapeRef = nullptr;
    if (rec->flags & kFlagBackSideUnused) rec->flags |= kFlagLightOneSided;
}

xrBoolean behindAreaLight(xrState *state, BaseStateRecord *rec, xrColor *out) {
    if (state->rayKind == kRayLight) return 0;
    *out = {0.0f, 0.0f, 0.0f, 1.0f};
    seenDirectly(rec);
    return 1;
}

// Light-fog factor of the point light: h is half the length of the fog
// segment, R the fog radius.
float pointFogFactor(double h, float R, int fogType, int decayRate) {
    if (h > R) return 1.0f;
    double den = static_cast<double>(R) * R + R - h * h;
    double f = den > 0.0 ? h / den : 0.0;
    switch (fogType) {
    case 0:
        if (decayRate == 2)
            f = f * f;
        else if (decayRate == 3)
            f = f * f * f;
        break;
    case 1:
        if (decayRate > 1) f = 1.0 - std::pow(1.0 - f, 1.0 / decayRate);
        f = f * f;
        break;
    case 2: {
        f = std::min(f, 1.0);
        double e = decayRate + 2;
        double g = e != 0.0 ? 1.0 - std::pow(1.0 - f, 1.0 / e) : (f >= 1.0 ? 1.0 : 0.0);
        f = g * g;
        break;
    }
    default:
        break;
    }
    return static_cast<float>(f);
}

// Fraction of the segment [lo, hi] that lies in the three decay regions.
// Returns false when the segment has no length and lies in no region.
bool decayRegionFraction(const SpotLightParams *p, xrState *state, float lo, float hi, float *fraction) {
    const float *bounds[3][2] = {{&p->startDistance1, &p->endDistance1},
                                 {&p->startDistance2, &p->endDistance2},
                                 {&p->startDistance3, &p->endDistance3}};
    float sum = 0.0f;
    bool any = false;
    for (auto &b : bounds) {
        float start = eval(state, b[0]), end = eval(state, b[1]);
        if (hi >= start && end >= lo) {
            float overlap = std::min(hi, end) - std::max(start, lo);
            sum += overlap;
            if (overlap != 0.0f) any = true;
        }
    }
    *fraction = 1.0f;
    if (hi - lo != 0.0f) {
        *fraction = sum / (hi - lo);
        return true;
    }
    return any;
}

// (value - edge) / (inner - edge), the soft-edge ramp; a degenerate ramp
// (inner limit equal to the outer one) gives 0 at the edge itself.
inline float ramp(float value, float edge, float inner) {
    float den = inner - edge;
    return den != 0.0f ? (value - edge) / den : 0.0f;
}

}  // namespace
}  // namespace veko::light

using namespace veko;
using namespace veko::light;

// ---------------------------------------------------------------------------
namespace {

// Shadow inputs of a light whose block has the common shadow parameters
// (depth-map switch, ray-trace switch, colour, ray count, depth limit).
template <class Params>
ShadowInputs shadowInputsOf(const Params *p, float depthMapIntensity, const float *softSize, SoftSampler sampler) {
    ShadowInputs in;
    in.useDepthMapShadows = &p->useDepthMapShadows;
    in.useRayTraceShadows = &p->useRayTraceShadows;
    in.shadowColor = &p->shadowColor;
    in.shadowRays = &p->shadowRays;
    in.rayDepthLimit = &p->rayDepthLimit;
    in.depthMapIntensity = depthMapIntensity;
    in.softSize = softSize;
    in.sampler = sampler;
    return in;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_ambientlight(void *result, xrState *state, void *params) {
    auto *p = static_cast<AmbientLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_ambientlight(): Internal state error.");
        return 0;
    }
    CallFrame frame(state, rec);

    xrVector lp;
    xr_point_to_light(state, &lp, &state->hitPoint);
    float h = std::hypot(lp.x, lp.z);
    float u = std::fabs(lp.x) < 1e-5f ? 0.5f : std::atan(lp.y / lp.x) / kPi + 0.5f;
    float v = h < 1e-5f ? 0.5f : std::atan(lp.y / h) / kPi + 0.5f;
    frame.setTexCoord({u, v, lp.z});
    frame.markRunning();

    float c = rec->backSide ? -state->cosView : state->cosView;
    float s = eval(state, &p->ambientShade) * (c - 1.0f);
    float intensity = 0.0f;
    if (s > -1.0f) {
        intensity = (s + 1.0f) * eval(state, &p->intensity);
        *out = scaledColor(eval(state, &p->color), intensity);
    } else {
        *out = {0.0f, 0.0f, 0.0f, 0.0f};
    }

    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = *out;
    ShadowInputs shadow;
    shadow.useRayTraceShadows = &p->useRayTraceShadows;
    shadow.shadowColor = &p->shadowColor;
    shadow.shadowRays = &p->shadowRays;
    shadow.rayDepthLimit = &p->rayDepthLimit;
    shadow.softSize = &p->shadowRadius;
    shadow.sampler = diskSoftShadow;
    shadowStage(state, rec, shadow, out);

    rec->lightAmbient = 1;
    rec->lightDiffuse = 0;
    rec->lightSpecular = 0;
    rec->lightShapeRef = nullptr;
    // Left for the material: the ambient light shines straight along -z.
    state->rayDirection = {0.0f, 0.0f, -1.0f};
    state->cosView = -state->shadingNormal.z;
    return 1;
}

VEKO_EXPORT xrBoolean veko_directionallight(void *result, xrState *state, void *params) {
    auto *p = static_cast<DirectionalLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_directionallight(): Internal state error.");
        return 0;
    }
    if (backSampleUnused(state, rec)) return 0;
    CallFrame frame(state, rec);

    if (eval(state, &p->useLightPosition)) {
        xrVector zero{0.0f, 0.0f, 0.0f}, o;
        xr_point_from_light(state, &o, &zero);
        if (dot(vsub(o, state->hitPoint), state->rayDirection) > 0.0f) return 0;
    }

    xrVector lp;
    xr_point_to_light(state, &lp, &state->hitPoint);
    frame.setTexCoord(lp);
    frame.markRunning();

    float intensity = eval(state, &p->intensity);
    *out = scaledColor(eval(state, &p->color), intensity);

    const ShadowInputs shadow = shadowInputsOf(p, intensity, &p->lightAngle, coneSoftShadow);
    finishLight(state, rec, shadow, &p->emitDiffuse, &p->emitSpecular, out);
    return 1;
}

VEKO_EXPORT xrBoolean veko_pointlight(void *result, xrState *state, void *params) {
    auto *p = static_cast<PointLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_pointlight(): Internal state error.");
        return 0;
    }
    if (backSampleUnused(state, rec)) return 0;
    CallFrame frame(state, rec);
    if (areaLightBehind(state)) return behindAreaLight(state, rec, out);
    const Evaluator ev(state);

    // The light-space coordinate is read only by shaders connected to the
    // light's parameters: without connections it is not worth its arc
    // tangents.
    if (hasConnections(state, p, sizeof *p)) {
        xrVector lp;
        xr_point_to_light(state, &lp, &state->hitPoint);
        frame.setTexCoord(pointMapping(lp));
    }
    frame.markRunning();

    float intensity;
    int decayRate = ev(&p->decayRate);
    if (rec->flags & kFlagLightFog) {
        const xrState *fog = state->spawningState;
        double h = fog ? 0.5 * fog->hitDistance : 0.0;
        float f = pointFogFactor(h, ev(&p->fogRadius), ev(&p->fogType), decayRate);
        intensity = ev(&p->intensity) * f * ev(&p->fogIntensity);
    } else {
        intensity = applyDecay(ev(&p->intensity), state->hitDistance, decayRate);
    }
    xrTag profile = ev(&p->lightProfile);
    if (profile) intensity *= xr_lightprofile_sample(state, profile, 1);
    *out = scaledColor(ev(&p->color), intensity);

    if (state->rayKind != kRayLight) {
        out->a = 1.0f;
        seenDirectly(rec);
        return 1;
    }

    const ShadowInputs shadow = shadowInputsOf(p, intensity, &p->lightRadius, diskSoftShadow);
    finishLight(state, rec, shadow, &p->emitDiffuse, &p->emitSpecular, out);
    return 1;
}

VEKO_EXPORT xrBoolean veko_spotlight(void *result, xrState *state, void *params) {
    auto *p = static_cast<SpotLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_spotlight(): Internal state error.");
        return 0;
    }
    if (backSampleUnused(state, rec)) return 0;
    CallFrame frame(state, rec);
    if (areaLightBehind(state)) return behindAreaLight(state, rec, out);

    const float cone = eval(state, &p->coneAngle);
    const float half = cone * 0.5f;

    // Light-space mapping: the cone's cross-section spans [0, 1] in u and v.
    xrVector lp;
    xr_point_to_light(state, &lp, &state->hitPoint);
    float a, b;
    if (std::fabs(std::fmod(half, kPi)) < 1e-5f) {
        a = b = 1.0f;
    } else {
        float k = 1.0f / std::tan(half);
        a = lp.x * k;
        b = lp.y * k;
    }
    if (!(std::fabs(lp.z) < 1e-5f)) {
        a /= lp.z;
        b /= lp.z;
    }
    frame.setTexCoord({(a + 1.0f) * 0.5f, (b + 1.0f) * 0.5f, lp.z});
    frame.markRunning();

    const float pen = eval(state, &p->penumbraAngle);
    xrVector axisLight{0.0f, 0.0f, -1.0f}, axis;
    xr_vector_from_light(state, &axis, &axisLight);
    axis = normalize(axis);
    const float cosD = dot(axis, state->rayDirection);
    const float cO = pen > 0.0f ? std::cos(half + pen) : std::cos(half);
    const float cI = std::fabs(pen) < 1e-5f ? 0.0f : pen >= 0.0f ? std::cos(half) : std::cos(half + pen);
    const int decayRate = eval(state, &p->decayRate);
    const bool regions = eval(state, &p->useDecayRegions) != 0;

    float intensity;
    if (rec->flags & kFlagLightFog) {
        const xrState &fog = spawning(state);
        const xrVector L = state->rayOrigin;
        xrVector va = vsub(fog.rayOrigin, L), vb = vsub(fog.hitPoint, L);
        float la = length(va), lb = length(vb);
        xrVector ua = la < 1e-5f ? xrVector{0, 0, 0} : xrVector{va.x / la, va.y / la, va.z / la};
        xrVector ub = lb < 1e-5f ? xrVector{0, 0, 0} : xrVector{vb.x / lb, vb.y / lb, vb.z / lb};
        // A cone of zero width lights no fog.
        if (!(1.0f - cO > 0.0f)) return 0;
        float f = (1.0f - dot(ua, ub)) * 0.25f / (1.0f - cO);
        if (f < 0.0f) return 0;
        f = std::min(f, 1.0f);
        float k = cO * 0.5f + 0.2f;
        float c = std::fabs(dot(axis, fog.rayDirection));
        float g = (c < k || k >= 1.0f) ? 0.0f : (c - k) * 2.0f * (1.0f - k);
        float e = std::min(la, lb);
        switch (decayRate) {
        case 0: e = 2.0f; break;
        case 2: e = e * e; break;
        case 3: e = e * e * e; break;
        default: break;
        }
        float spread = eval(state, &p->fogSpread);
        float fs = spread != 0.0f ? std::pow(f, 1.0f / spread) : (f >= 1.0f ? 1.0f : 0.0f);
        intensity = (fs + g) * eval(state, &p->fogIntensity) * eval(state, &p->intensity) / (e + 1.0f);
        if (regions) {
            float fraction;
            if (!decayRegionFraction(p, state, std::min(la, lb), std::max(la, lb), &fraction)) return 0;
            intensity *= fraction;
        }
    } else {
        const double d = state->hitDistance;
        if (regions) {
            float s1 = eval(state, &p->startDistance1), e1 = eval(state, &p->endDistance1);
            float s2 = eval(state, &p->startDistance2), e2 = eval(state, &p->endDistance2);
            float s3 = eval(state, &p->startDistance3), e3 = eval(state, &p->endDistance3);
            if (d < s1 || (d > e1 && d < s2) || (d > e2 && d < s3) || d > e3) return 0;
        }
        intensity = eval(state, &p->intensity);
        if (!eval(state, &p->barnDoors)) {
            if (cosD < cO) return 0;
            if (cosD < cI) intensity *= (cosD - cO) / (cI - cO);
        } else {
            xrVector xl{1.0f, 0.0f, 0.0f}, yl{0.0f, 1.0f, 0.0f}, X, Y;
            xr_vector_from_light(state, &X, &xl);
            xr_vector_from_light(state, &Y, &yl);
            const xrVector &D = state->rayDirection;
            xrVector P{D.x - cosD * axis.x, D.y - cosD * axis.y, D.z - cosD * axis.z};
            float lx = length(X), ly = length(Y);
            float x = lx > 0.0f ? dot(P, X) / lx : 0.0f;
            float y = ly > 0.0f ? dot(P, Y) / ly : 0.0f;
            const float left = eval(state, &p->leftBarnDoor), right = eval(state, &p->rightBarnDoor);
            const float top = eval(state, &p->topBarnDoor), bottom = eval(state, &p->bottomBarnDoor);
            const float outer = pen >= 0.0f ? pen : 0.0f;
            float xMax = std::sin(right + outer), xMin = -std::sin(left + outer);
            float yMax = std::sin(top + outer), yMin = -std::sin(bottom + outer);
            if (x < xMin || x > xMax || y < yMin || y > yMax || cosD < cO) return 0;
            if (cI != 0.0f) {
                const float inner = pen > 0.0f ? 0.0f : pen;
                float ixMax = std::sin(right + inner), ixMin = -std::sin(left + inner);
                float iyMax = std::sin(top + inner), iyMin = -std::sin(bottom + inner);
                if (cosD < cI) intensity *= ramp(cosD, cO, cI);
                if (x >= ixMax) intensity *= ramp(x, xMax, ixMax);
                if (x <= ixMin) intensity *= ramp(x, xMin, ixMin);
                if (y >= iyMax) intensity *= ramp(y, yMax, iyMax);
                if (y <= iyMin) intensity *= ramp(y, yMin, iyMin);
            }
        }
        const float dropoff = eval(state, &p->dropoff);
        if (dropoff != 0.0f) {
            // A cone wider than a hemisphere reaches cosD <= 0: no light
            // there rather than an undefined power.
            if (cosD > 0.0f)
                intensity *= std::pow(cosD, dropoff);
            else if (dropoff > 0.0f)
                intensity = 0.0f;
        }
        intensity = applyDecay(intensity, d, decayRate);
    }
    *out = scaledColor(eval(state, &p->color), intensity);

    if (state->rayKind != kRayLight) {
        out->a = 1.0f;
        seenDirectly(rec);
        return 1;
    }

    const ShadowInputs shadow = shadowInputsOf(p, intensity, &p->lightRadius, diskSoftShadow);
    finishLight(state, rec, shadow, &p->emitDiffuse, &p->emitSpecular, out);
    return 1;
}
