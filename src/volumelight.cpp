// The volume light on the shared light pipeline (light.h): it lights only
// the points inside a unit volume of its light space (box, sphere, cylinder
// or cone), with a colour from a ramp across the volume and, for cylinder
// and cone, a penumbra ramp across the radius. It picks its own direction
// (outward from the light's centre, inward, or along the light's +y axis)
// and leaves it in the light state's rayDirection and cosView for the
// material.
//
// In light-fog mode (flags bit 0x04, set by the fog shaders) it samples
// three points along the fog segment of the calling state instead of the
// point itself.
#include <cmath>

#include "light.h"
#include "rampcurve.h"

using namespace veko;
using namespace veko::light;

namespace {

enum Shape : int32_t { kBox = 0, kSphere = 1, kCylinder = 2, kCone = 3 };
enum DirectionMode : int32_t { kOutward = 0, kInward = 1, kAlongAxis = 2 };

struct VolumeLightParams {
    xrInteger lightShape;                 // 0
    xrInteger directionMode;              // 1
    float arc;                            // 2 (degrees)
    float coneEndRadius;                  // 3
    Array<ColorRampEntry> colorRamp;      // 4-11
    Array<ScalarRampEntry> penumbraRamp;  // 12-16
    xrBoolean emitAmbient;                // 17
    float shadowRadius;                   // 18
    xrBoolean useDepthMapShadows;         // 19
    xrBoolean emitDiffuse;                // 20
    xrBoolean emitSpecular;               // 21
    xrColor color;                        // 22-25
    float intensity;                      // 26
    xrBoolean useRayTraceShadows;         // 27
    xrColor shadowColor;                  // 28-31
    xrInteger shadowRays;                 // 32
    xrInteger rayDepthLimit;              // 33
    float fogIntensity;                   // 34
};
static_assert(sizeof(VolumeLightParams) == 35 * 4);
static_assert(offsetof(VolumeLightParams, colorRamp) == 4 * 4);
static_assert(offsetof(VolumeLightParams, penumbraRamp) == 12 * 4);
static_assert(offsetof(VolumeLightParams, color) == 22 * 4);
static_assert(offsetof(VolumeLightParams, fogIntensity) == 34 * 4);

// The light's evaluated shape parameters and its two ramps.
struct Volume {
    int shape = kBox;
    int mode = kOutward;
    float arc = 360.0f;
    float coneEndRadius = 0.0f;
    RampCurve colorRamp;
    RampCurve penumbraRamp;
};

constexpr xrVector kUp{0.0f, 1.0f, 0.0f};

// Strictly inside the unit volume: the cone's volume ends at y = 0.
bool insideVolume(const Volume &v, const xrVector &p) {
    const float top = v.shape == kCone ? 0.0f : 1.0f;
    return p.x > -1.0f && p.x < 1.0f && p.y > -1.0f && p.y < top && p.z > -1.0f && p.z < 1.0f;
}

// -p normalised; the light's axis at the centre itself, where -p has no
// direction.
xrVector towardsCentre(const xrVector &p) {
    const float len = length(p);
    return len > 1e-5f ? vscale(p, -1.0f / len) : kUp;
}

// The box's falloff: 1 at the centre, 0 on every face, a raised cosine along
// each axis.
float boxFalloff(const xrVector &p) {
    auto axis = [](float c) { return std::cos((2.0f - std::fabs(c)) * kPi) + 1.0f; };
    return axis(p.y) * axis(p.x) * axis(p.z) * 0.125f;
}

// Radius of the cone's cross-section at height y: 1 at the base (y = -1),
// coneEndRadius at the top (y = 0).
float coneRadius(float y, float endRadius) { return (y + 1.0f) * endRadius - y; }

struct Sample {
    bool ok = false;
    xrVector dir = kUp;        // light space, towards the light
    xrColor color{0.0f, 0.0f, 0.0f, 0.0f};
};

inline xrColor scaledRGB(xrColor c, float s) {
    scaleRGB(c, s);
    return c;
}

// The light's colour and direction at the light-space point p.
Sample volumeSample(const Volume &v, const xrVector &p) {
    Sample s;
    if (v.arc == 0.0f || (v.arc != 360.0f && std::atan2(-p.x, -p.z) > (v.arc - 180.0f) * 0.017453292f))
        return s;
    switch (v.shape) {
    case kBox:
        s.dir = v.mode == kAlongAxis ? kUp : towardsCentre(p);
        s.color = rampColor(v.colorRamp, boxFalloff(p));
        s.ok = true;
        break;
    case kSphere: {
        const float r = length(p);
        s.dir = v.mode == kAlongAxis || r < 1e-5f ? kUp : vscale(p, -1.0f / r);
        if (r > 1.0f) return s;
        s.color = rampColor(v.colorRamp, 1.0f - r);
        s.ok = true;
        break;
    }
    case kCylinder: {
        const float r = std::hypot(p.x, p.z);
        if (r > 1.0f) {
            s.dir = {-p.x, 0.0f, -p.z};
            return s;
        }
        s.dir = v.mode == kAlongAxis ? kUp : towardsCentre(p);
        s.color = scaledRGB(rampColor(v.colorRamp, 1.0f - std::fabs(p.y)), rampValue(v.penumbraRamp, 1.0f - r));
        s.ok = true;
        break;
    }
    case kCone: {
        // A cross-section without positive radius (coneEndRadius < 0 near
        // the top) holds no point of the cone.
        const float radius = coneRadius(p.y, v.coneEndRadius);
        const float r = radius > 0.0f ? std::hypot(p.x, p.z) / radius : INFINITY;
        if (p.y > 0.0f || r > 1.0f) {
            s.dir = {-p.x, 0.0f, -p.z};
            return s;
        }
        float h;
        if (v.mode == kAlongAxis) {
            s.dir = kUp;
            h = -p.y;
        } else {
            s.dir = towardsCentre(p);
            h = length(p);
        }
        s.color = scaledRGB(rampColor(v.colorRamp, 1.0f - h), rampValue(v.penumbraRamp, 1.0f - r));
        s.ok = true;
        break;
    }
    default:
        return s;  // no such shape: nothing lit
    }
    if (v.mode == kInward) s.dir = vneg(s.dir);
    return s;
}

// Light space to internal space, normalised.
xrVector toInternal(xrState *state, const xrVector &d) {
    xrVector out;
    xr_vector_from_light(state, &out, &d);
    return normalize(out);
}

xrVector midpoint(const xrVector &a, const xrVector &b) { return vscale(vadd(a, b), 0.5f); }

// Light-fog mode: three samples along the calling state's segment, their
// colours summed and weighted by the segment's length.
xrColor fogSamples(xrState *state, const Volume &v, float fogIntensity, xrVector *dirSum) {
    const xrState *caller = state->spawningState;
    xrVector a, b;
    xr_point_to_light(state, &a, caller ? &caller->rayOrigin : &state->hitPoint);
    xr_point_to_light(state, &b, caller ? &caller->hitPoint : &state->hitPoint);
    const xrVector m = midpoint(a, b);
    const xrVector points[3] = {midpoint(a, m), m, midpoint(m, b)};
    xrColor sum{0.0f, 0.0f, 0.0f, 0.0f};
    *dirSum = {0.0f, 0.0f, 0.0f};
    for (const xrVector &q : points) {
        if (!insideVolume(v, q)) continue;
        const Sample s = volumeSample(v, q);
        if (!s.ok) continue;
        addTo(sum, s.color);
        *dirSum = vadd(*dirSum, s.dir);
    }
    const float w = length(vsub(points[2], points[0])) / 6.0f * fogIntensity;
    scaleRGB(sum, w);
    return sum;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_volumelight(void *result, xrState *state, void *params) {
    auto *p = static_cast<VolumeLightParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = stateRecord(state);
    if (!rec) {
        xr_warning("veko_volumelight(): Internal state error.");
        return 0;
    }
    Volume v;
    v.shape = eval(state, &p->lightShape);
    v.mode = eval(state, &p->directionMode);
    v.arc = eval(state, &p->arc);
    v.coneEndRadius = eval(state, &p->coneEndRadius);

    xrVector lp;
    xr_point_to_light(state, &lp, &state->hitPoint);
    if (!insideVolume(v, lp)) return 0;

    CallFrame frame(state, rec);
    frame.setTexCoord(pointMapping(lp));
    frame.markRunning();
    float intensity = eval(state, &p->intensity);
    loadRamp(state, &p->colorRamp, v.colorRamp);
    loadRamp(state, &p->penumbraRamp, v.penumbraRamp);

    xrVector direction;
    if (rec->flags & kFlagLightFog) {
        xrVector sum;
        *out = fogSamples(state, v, eval(state, &p->fogIntensity), &sum);
        direction = toInternal(state, sum);
    } else {
        const Sample s = volumeSample(v, lp);
        *out = s.color;
        if (!s.ok) intensity = 0.0f;
        direction = toInternal(state, s.dir);
    }
    // The ramps leave alpha to their entries; the light's colour is opaque.
    out->a = 1.0f;
    const xrColor c = eval(state, &p->color);
    out->r *= intensity * c.r;
    out->g *= intensity * c.g;
    out->b *= intensity * c.b;

    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = *out;
    if (intensity != 0.0f) {
        ShadowInputs shadow;
        shadow.useDepthMapShadows = &p->useDepthMapShadows;
        shadow.useRayTraceShadows = &p->useRayTraceShadows;
        shadow.shadowColor = &p->shadowColor;
        shadow.shadowRays = &p->shadowRays;
        shadow.rayDepthLimit = &p->rayDepthLimit;
        shadow.depthMapIntensity = intensity;
        shadow.softSize = &p->shadowRadius;
        shadow.sampler = diskSoftShadow;
        shadowStage(state, rec, shadow, out);
    }
    rec->lightAmbient = eval(state, &p->emitAmbient) ? 1 : 0;
    rec->lightDiffuse = eval(state, &p->emitDiffuse) ? 1 : 0;
    rec->lightSpecular = eval(state, &p->emitSpecular) ? 1 : 0;
    rec->lightShapeRef = nullptr;

    // Left for the material: the light arrives along -direction.
    state->cosView = dot(direction, state->shadingNormal);
    state->rayDirection = vneg(direction);
    return 1;
}
