// Fog shaders: volume shaders that return one VolumeSampleResult for the
// ray segment from the state's rayOrigin to its hitPoint.
//
//   veko_lightfog   the glow of one light inside the segment
//   veko_envfog     atmospheric fog: camera-depth and height-band clipping
//                   and one light (simple model), or a physical model of
//                   fog, air and water layers lit by a sun
//   veko_volumefog  fog filling an object, with a shaped fall-off towards
//                   its edges and scattering of the object's lights
//
// The result's parts a shader does not name stay as the caller zeroed them.
// A false return means "no sample for this segment".
#include <algorithm>
#include <cmath>

#include "light.h"
#include "rampcurve.h"
#include "shading.h"
#include "volume.h"

using namespace veko;

namespace {

// flags bits: lights see 0x04 as "sampled for a fog segment" (they then
// light the segment of the spawning state), 3D textures see 0x08 as "called
// inside an object's volume".
constexpr int32_t kFlagFogLight = light::kFlagLightFog;
constexpr int32_t kFlagVolumeObject = 0x08;

constexpr int32_t kRayShadow = xrRAY_SHADOW;
constexpr float kLn100000 = 11.512925f;
constexpr float kLn10000 = 9.2103405f;
constexpr float kPiDeg = 3.1415927f;

// ---------------------------------------------------------------------------
// Parameter blocks.

struct LightFogParams {
    xrTag light;                     // 0
    xrColor color;                   // 1-4
    float density;                   // 5
    xrBoolean densityByLength;       // 6
    xrBoolean colorBasedTransparency;  // 7
    xrInteger matteOpacityMode;      // 8
    float matteOpacity;              // 9
    xrBoolean allowRayKind2;         // 10
    xrBoolean allowRayKind3;         // 11
};
static_assert(sizeof(LightFogParams) == 12 * 4);

struct VolumeFogParams {
    xrColor color;                     // 0-3
    xrInteger colorRampInput;          // 4
    Array<ColorRampEntry> colorRamp;   // 5-12
    xrColor transparency;              // 13-16
    xrColor incandescence;             // 17-20
    float glowIntensity;               // 21
    float density;                     // 22
    xrBoolean densityByLength;         // 23
    xrInteger dropoffShape;            // 24
    float edgeDropoff;                 // 25
    float axialDropoff;                // 26
    xrInteger dropoffMethod;           // 27
    float densitySubtract;             // 28
    xrBoolean illuminated;             // 29
    float lightScatter;                // 30
    xrInteger matteOpacityMode;        // 31
    float matteOpacity;                // 32
    xrBoolean allowRayKind2;           // 33
    xrBoolean allowRayKind3;           // 34
};
static_assert(sizeof(VolumeFogParams) == 35 * 4);
static_assert(offsetof(VolumeFogParams, colorRamp) == 5 * 4);
static_assert(offsetof(VolumeFogParams, transparency) == 13 * 4);
static_assert(offsetof(VolumeFogParams, allowRayKind3) == 34 * 4);

struct EnvFogParams {
    xrInteger clipMode;            // 0
    xrBoolean useDensityScale;     // 1
    xrBoolean useHeight;           // 2
    float blendRange;              // 3
    float saturationDistance;      // 4
    float clipNear;                // 5
    float clipFar;                 // 6
    float densityScale;            // 7
    float minHeight;               // 8
    float maxHeight;               // 9
    xrBoolean physical;            // 10
    // Physical model.
    xrInteger fogType;             // 11
    float fogDensity;              // 12
    xrColor fogColor;              // 13-16
    xrColor fogOpacity;            // 17-20
    float fogHeight;               // 21: scale height of the fog layer (<= 0: even)
    float fogBase;                 // 22: height below which the fog is at full density
    float airHeight;               // 23: scale height of the air layer (<= 0: even)
    float fogScatter;              // 24
    float airDensity;              // 25
    xrColor airColor;              // 26-29
    xrColor airOpacity;            // 30-33
    float airBase;                 // 34: height below which the air is at full density
    float waterLevel;              // 35: the water lies below this height
    float planetRadius;            // 36: curvature of the layers (fog types 2 and 6)
    float airScatter;              // 37
    float waterDensity;            // 38
    xrColor waterColor;            // 39-42
    xrColor waterOpacity;          // 43-46
    float waterScatter;            // 47
    xrInteger layerSamples;        // 48: steps of the layered and water integrators
    int32_t physicalSpare[3];      // 49-51
    xrInteger upAxis;              // 52
    float sunIntensity;            // 53
    float sunAzimuth;              // 54 (degrees)
    float sunElevation;            // 55 (degrees)
    xrColor sunColor;              // 56-59
    // Light and output.
    xrTag light;                   // 60
    xrColor color;                 // 61-64
    int32_t spare65[2];            // 65-66
    xrBoolean colorBasedTransparency;  // 67
    xrInteger matteOpacityMode;    // 68
    float matteOpacity;            // 69
    xrBoolean allowRayKind2;       // 70
    xrBoolean allowRayKind3;       // 71
};
static_assert(sizeof(EnvFogParams) == 72 * 4);
static_assert(offsetof(EnvFogParams, fogType) == 11 * 4);
static_assert(offsetof(EnvFogParams, fogScatter) == 24 * 4);
static_assert(offsetof(EnvFogParams, airScatter) == 37 * 4);
static_assert(offsetof(EnvFogParams, waterOpacity) == 43 * 4);
static_assert(offsetof(EnvFogParams, upAxis) == 52 * 4);
static_assert(offsetof(EnvFogParams, sunColor) == 56 * 4);
static_assert(offsetof(EnvFogParams, light) == 60 * 4);
static_assert(offsetof(EnvFogParams, colorBasedTransparency) == 67 * 4);

// ---------------------------------------------------------------------------
// Shaping and fall-off.

// Opacity of optical depth x: 1 - e^-x, exactly 1 from 15 on.
float opacityOfDepth(float x) { return x < 15.0f ? 1.0f - std::exp(-x) : 1.0f; }

// Bias shaping of w in [0, 1] by g in [-1, 1]: 0 for g = -1, w for g = 0,
// 1 for g = 1, a smooth rational curve between.
float shapeBias(float w, float g) {
    g = std::clamp(g, -1.0f, 1.0f);
    if (g <= -1.0f) return 0.0f;
    if (g == 0.0f) return w;
    if (g >= 1.0f) return 1.0f;
    const float d = (2.0f * w - 1.0f) * g + 1.0f;
    return ((w - 1.0f) * g + 1.0f) * (g + 1.0f) * (g + 1.0f) * w / (d * d);
}

// Phase weight of a medium with scatter value c for the cosine `cosAngle`
// between the ray and the light: the half-cosine mapped to [0, 1] and shaped
// by g = 2c - 1; 1 (isotropic) for c >= 1.
float phaseWeight(float cosAngle, float c) {
    if (c >= 1.0f) return 1.0f;
    return shapeBias(cosAngle * 0.5f + 0.5f, 2.0f * c - 1.0f);
}

// The edge smoothstep sin((q - 0.5) pi)/2 + 1/2 on [0, 1).
float edgeStep(float q) { return std::sin((q - 0.5f) * kPi) * 0.5f + 0.5f; }

enum DropoffShape : int32_t { kNoShape = 0, kSphere = 1, kCube = 2, kCone = 3, kDoubleCone = 4 };

// Fall-off factor of an object's fog at the object-space midpoint m of the
// segment; 1 means no fall-off.
float dropoffFactor(int shape, float edgeDropoff, float axialDropoff, const xrVector &m) {
    const float e = 1.0f - edgeDropoff;
    const bool cone = shape == kCone || shape == kDoubleCone;
    const bool edge = shape != kNoShape && e < 1.0f;
    const bool axial = cone && 1.0f - axialDropoff < 1.0f;
    if (!edge && !axial) return 1.0f;
    const float span = 1.0f - e;
    float x = 1.0f;
    switch (shape) {
    case kSphere: {
        const float q = (1.0f - length(m)) / span;
        if (q < 0.0f) return 0.0f;
        if (q < 1.0f) x = edgeStep(q);
        break;
    }
    case kCube:
        for (float c : {m.x, m.y, m.z}) {
            const float q = (1.0f - std::fabs(c)) / span;
            if (q < 0.0f) return 0.0f;
            if (q < 1.0f) x *= edgeStep(q);
        }
        break;
    case kCone:
    case kDoubleCone: {
        const float a = std::fabs(m.z);
        const float rho = 2.0f * std::sqrt(m.x * m.x + m.y * m.y);
        if (edge) {
            const float c = shape == kDoubleCone ? (a == 0.0f ? 2.0f : rho / a) : rho - a + 1.0f;
            const float q = (1.0f - c) / span;
            if (q < 0.0f) return 0.0f;
            if (q < 1.0f) x = edgeStep(q);
        }
        if (axial) {
            // Beyond the unit height the axial weight is 0, not negative.
            const float w = std::clamp(1.0f - a, 0.0f, 1.0f);
            x *= shapeBias(w, 2.0f * (1.0f - axialDropoff) - 1.0f);
        }
        break;
    }
    default:
        return 1.0f;
    }
    return x;
}

// ---------------------------------------------------------------------------
// Segment clipping. A segment from value v0 to v1 of some coordinate (camera
// depth, height) is cut to the band lo < v < hi (no upper limit when
// hasHi is false). On success [t0, t1] is the part kept, as fractions of the
// segment.
struct Clip {
    bool keep = true;
    float t0 = 0.0f, t1 = 1.0f;
};

bool insideBand(float v, float lo, float hi, bool hasHi) { return v >= lo && (!hasHi || v <= hi); }

Clip clipToBand(float v0, float v1, float lo, float hi, bool hasHi, bool parallel) {
    Clip c;
    if (parallel) {
        c.keep = v0 > lo && (!hasHi || v0 < hi);
        return c;
    }
    const float dv = v1 - v0;
    const float tl = (lo - v0) / dv;
    auto inside01 = [](float t) { return t >= 0.0f && t <= 1.0f; };
    auto strictly = [](float t) { return t > 0.0f && t < 1.0f; };
    if (hasHi) {
        const float th = (hi - v0) / dv;
        if (!inside01(tl) && !inside01(th)) {
            c.keep = insideBand(0.5f * (v0 + v1), lo, hi, true);
            return c;
        }
        const float big = std::max(tl, th), small = std::min(tl, th);
        if (strictly(big)) c.t1 = big;
        if (strictly(small)) c.t0 = small;
    } else {
        if (!inside01(tl)) {
            c.keep = v0 > lo;
            return c;
        }
        if (v0 > lo)
            c.t1 = tl;
        else
            c.t0 = tl;
    }
    // A segment that only touches the band (a crossing at one of its ends)
    // keeps nothing.
    c.keep = c.t1 > c.t0 && insideBand(v0 + dv * 0.5f * (c.t0 + c.t1), lo, hi, hasHi);
    return c;
}

// Camera-depth clipping of the internal-space segment [o, p] to depths
// between clipNear and clipFar (no far limit when clipFar <= clipNear).
bool clipCameraDepth(xrState *state, float clipNear, float clipFar, xrVector &o, xrVector &p) {
    xrVector oc, pc;
    xr_point_to_camera(state, &oc, &o);
    xr_point_to_camera(state, &pc, &p);
    const bool parallel = std::fabs(pc.z - oc.z) < 1e-5f;
    const Clip c = clipToBand(-oc.z, -pc.z, clipNear, clipFar, clipFar > clipNear, parallel);
    if (!c.keep) return false;
    const xrVector a = vlerp(o, p, c.t0), b = vlerp(o, p, c.t1);
    o = a;
    p = b;
    return true;
}

// Height-band clipping (internal y) of [o, p]; b <= a means no upper limit.
bool clipHeightBand(const xrVector &dir, float a, float b, xrVector &o, xrVector &p) {
    const Clip c = clipToBand(o.y, p.y, a, b, b > a, std::fabs(dir.y) < 1e-5f);
    if (!c.keep) return false;
    const xrVector s = vlerp(o, p, c.t0), e = vlerp(o, p, c.t1);
    o = s;
    p = e;
    return true;
}

// Thinning of the fog near the band's edges for a ray starting at height
// y0: a fraction in (0, 1] within blendRange r of an edge, else 0 (none).
float bandBlend(float y0, float a, float b, float r) {
    float f = 0.0f;
    if (!(a < y0 && y0 < b && r > 0.0f)) return 0.0f;
    if (r > y0 - a) f = (y0 - a) / r;
    if (r > b - y0) f = f != 0.0f ? f * (b - y0) / r : (b - y0) / r;
    return f;
}

float objectDistance(xrState *state, const xrVector &a, const xrVector &b) {
    xrVector ao, bo;
    xr_point_to_object(state, &ao, &a);
    xr_point_to_object(state, &bo, &b);
    return length(vsub(ao, bo));
}

// ---------------------------------------------------------------------------
// Call frame: the record's flag bit while the shader works, and the light
// fields it resets before every light sample.

class FlagScope {
public:
    FlagScope(BaseStateRecord *rec, int32_t bit) : rec_(rec), bit_(bit) {
        if (rec_) {
            wasSet_ = (rec_->flags & bit_) != 0;
            rec_->flags |= bit_;
        }
    }
    ~FlagScope() { restore(); }
    // Clears the bit early when it was not set on entry.
    void restore() {
        if (rec_ && !wasSet_) rec_->flags &= ~bit_;
    }
    FlagScope(const FlagScope &) = delete;
    FlagScope &operator=(const FlagScope &) = delete;

private:
    BaseStateRecord *rec_;
    int32_t bit_;
    bool wasSet_ = true;
};

void resetLightFields(BaseStateRecord *rec) {
    rec->lightAmbient = 0;
    rec->lightDiffuse = 1;
    rec->lightSpecular = 1;
    rec->lightShadowWeight = 0.0f;
    rec->lightUnshadowed = {1.0f, 1.0f, 1.0f, 1.0f};
    rec->lightShapeRef = nullptr;
    rec->backSide = 0;
    rec->inLightLoop = 0;
}

// Fog takes light from every side: the host drops a light sample that falls
// behind the shading normal unless the normal is zero, so the normals are
// cleared while lights are sampled.
class OmniNormals {
public:
    explicit OmniNormals(xrState *state)
        : state_(state), shading_(state->shadingNormal), geometric_(state->geometricNormal) {
        state_->shadingNormal = state_->geometricNormal = {0.0f, 0.0f, 0.0f};
    }
    ~OmniNormals() {
        state_->shadingNormal = shading_;
        state_->geometricNormal = geometric_;
    }
    OmniNormals(const OmniNormals &) = delete;
    OmniNormals &operator=(const OmniNormals &) = delete;

private:
    xrState *state_;
    xrVector shading_, geometric_;
};

// One light as lightfog and envfog gather it: every sample's colour once for
// each of lightAmbient and lightDiffuse left set, over the sample count.
xrColor gatherOneLight(xrState *state, BaseStateRecord *rec, xrTag lightTag) {
    xrColor sum{0.0f, 0.0f, 0.0f, 0.0f};
    if (!rec || !lightTag) return sum;
    OmniNormals omni(state);
    xrInteger count = 0;
    for (;;) {
        resetLightFields(rec);
        xrColor c{0.0f, 0.0f, 0.0f, 0.0f};
        xrVector dir{0.0f, 0.0f, 0.0f};
        if (!xr_sample_light(&c, &dir, nullptr, state, lightTag, &count)) break;
        const int times = (rec->lightAmbient ? 1 : 0) + (rec->lightDiffuse ? 1 : 0);
        addScaledRGB(sum, c, float(times));
    }
    rec->lightShapeRef = nullptr;
    if (count > 0) scaleRGB(sum, 1.0f / float(count));
    return sum;
}

// Lit fog of an object: the isotropic part A and the directional part B of
// the instance's lights for scatter value s.
struct Scatter {
    xrColor iso{0.0f, 0.0f, 0.0f, 0.0f};
    xrColor dir{0.0f, 0.0f, 0.0f, 0.0f};
};

// One light sample's share: its weight f (1, or an area light's solid-angle
// factor at the ray origin) and the phase of its direction.
void scatterSample(const xrColor &c, float f, float cosAngle, float s, Scatter &out) {
    if (s < 1.0f) {
        addScaledRGB(out.iso, c, f * s);
        addScaledRGB(out.dir, c, f * (1.0f - s) * shapeBias(cosAngle * 0.5f + 0.5f, 2.0f * s - 1.0f));
    } else {
        addScaledRGB(out.iso, c, f);
    }
}

Scatter gatherInstanceLights(xrState *state, BaseStateRecord *rec, float s) {
    Scatter total;
    if (!rec) return total;
    xrInteger n = 0;
    xrTag *lights = nullptr;
    xr_instance_lightlist(&n, &lights, state);
    OmniNormals omni(state);
    const xrVector origin = state->rayOrigin;
    const xrVector rayDir = normalize(state->rayDirection);
    for (xrInteger i = 0; i < n && lights; ++i) {
        Scatter one;
        xrInteger count = 0;
        for (;;) {
            resetLightFields(rec);
            xrColor c{0.0f, 0.0f, 0.0f, 0.0f};
            xrVector toLight{0.0f, 0.0f, 0.0f};
            if (!xr_sample_light(&c, &toLight, nullptr, state, lights[i], &count)) break;
            float f = 1.0f;
            if (const auto *shape = static_cast<const surface::AreaShape *>(rec->lightShapeRef)) {
                f = std::fabs(surface::areaCosine(origin, shape->normal, shape));
                xrVector centre{0.0f, 0.0f, 0.0f};
                for (const xrVector &k : shape->corners) centre = vadd(centre, vscale(k, 0.25f));
                toLight = normalize(vsub(centre, origin));
            }
            scatterSample(c, f, dot(toLight, rayDir), s, one);
        }
        if (count > 0) {
            addScaledRGB(total.iso, one.iso, 1.0f / float(count));
            addScaledRGB(total.dir, one.dir, 1.0f / float(count));
        }
    }
    rec->lightShapeRef = nullptr;
    return total;
}

// Matte opacity by mode: 0 unset, 1 the constant, 2 the opacity times it.
void applyMatte(VolumeSampleResult &r, int mode, float matte) {
    switch (mode) {
    case 0:
        r.outMatteOpacity.r = r.outMatteOpacity.g = r.outMatteOpacity.b = kMatteUnset;
        break;
    case 1:
        r.outMatteOpacity.r = r.outMatteOpacity.g = r.outMatteOpacity.b = matte;
        break;
    case 2:
        r.outMatteOpacity.r = (1.0f - r.outTransparency.r) * matte;
        r.outMatteOpacity.g = (1.0f - r.outTransparency.g) * matte;
        r.outMatteOpacity.b = (1.0f - r.outTransparency.b) * matte;
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Physical fog.

// Extinction of a layer from its opacity per unit length and its density;
// a layer without density has none.
xrColor extinction(const xrColor &opacity, float density) {
    const float k = std::max(density, 0.0f);
    auto one = [k](float o) { return o < 0.9999f ? -std::log(1.0f - std::min(o, 0.9999f)) * k : k * kLn10000; };
    return {one(opacity.r), one(opacity.g), one(opacity.b), 0.0f};
}

// Sun direction from elevation and azimuth (degrees) with the elevation on
// the scene's up axis.
xrVector sunDirection(float elevationDeg, float azimuthDeg, int upAxis) {
    const float e = elevationDeg * kPiDeg / 180.0f, a = azimuthDeg * kPiDeg / 180.0f;
    const float h = 1.0f - (elevationDeg / 90.0f) * (elevationDeg / 90.0f);
    const xrVector v{std::sin(a) * h, std::sin(e), -std::cos(a) * h};
    xrVector r = v;
    switch (upAxis) {
    case 0: r = {v.y, v.x, v.z}; break;
    case 1: r = {v.y, -v.x, v.z}; break;
    case 3: r = {v.x, -v.y, v.z}; break;
    case 4: r = {v.x, v.z, v.y}; break;
    case 5: r = {v.x, -v.z, v.y}; break;
    default: break;
    }
    return normalize(r);
}

// The scene's up direction for an up-axis code.
xrVector upVector(int upAxis) {
    switch (upAxis) {
    case 0:
    case 1: return {1.0f, 0.0f, 0.0f};
    case 3: return {0.0f, -1.0f, 0.0f};
    case 4:
    case 5: return {0.0f, 0.0f, 1.0f};
    default: return {0.0f, 1.0f, 0.0f};
    }
}

// One medium of the physical model.
struct Medium {
    xrColor sigma{};       // extinction per unit length at full density
    xrColor color{};
    float phase = 1.0f;    // phase weight for the sun
    float height = 0.0f;   // scale height (<= 0: even in height)
    float base = 0.0f;     // full density below this height
};

// What an integrator returns: colour and transmittance.
struct Segment {
    xrColor color{0.0f, 0.0f, 0.0f, 0.0f};
    xrColor trans{1.0f, 1.0f, 1.0f, 1.0f};
};

// Front-to-back join of a nearer and a farther part.
Segment joinSegments(const Segment &nearPart, const Segment &farPart) {
    Segment r;
    r.color = nearPart.color;
    addTo(r.color, mulRGB(nearPart.trans, farPart.color));
    r.color.a = 0.0f;
    r.trans = mulRGB(nearPart.trans, farPart.trans);
    r.trans.a = 1.0f;
    return r;
}

// Homogeneous fog and air over length L: closed-form single scattering of
// the sun.
Segment integrateHomogeneous(const Medium &fog, const Medium &air, const xrColor &sun, float L) {
    Segment r;
    const float *sf = &fog.sigma.r, *sa = &air.sigma.r, *cf = &fog.color.r, *ca = &air.color.r, *su = &sun.r;
    float *out = &r.color.r, *t = &r.trans.r;
    for (int k = 0; k < 3; ++k) {
        const float s = sf[k] + sa[k];
        if (!(s > 0.0f)) continue;
        const float e = std::exp(-s * L);
        out[k] = (sf[k] * cf[k] * fog.phase + sa[k] * ca[k] * air.phase) * su[k] / s * (1.0f - e);
        t[k] = e;
    }
    return r;
}

// Relative density of a layer at height h: 1 at and below its base,
// e^-(h - base)/H above it.
float layerDensity(const Medium &m, float h) {
    if (!(m.height > 0.0f) || h <= m.base) return 1.0f;
    return std::exp(-(h - m.base) / m.height);
}

// Optical depth of a layer from height h upwards along a direction whose
// up component is `up` (> 0), in units of its full-density extinction.
float layerDepthUp(const Medium &m, float h, float up) {
    float depth = 0.0f;
    if (h < m.base) {
        depth += m.base - h;
        h = m.base;
    }
    return (depth + m.height * std::exp(-(h - m.base) / m.height)) / up;
}

// The geometry the layered integrators walk: the segment in internal space
// (positions for heights), the up direction, and the planet radius for
// curved layers (0: flat).
struct LayerPath {
    xrVector from{}, to{};
    xrVector up{0.0f, 1.0f, 0.0f};
    float radius = 0.0f;
    float height(const xrVector &p) const {
        const float h = dot(p, up);
        if (!(radius > 0.0f)) return h;
        // Heights above a sphere whose top touches the plane of height 0
        // at the origin: the layers bend away with distance. |q| - R with
        // q = p + R up, as (|q|^2 - R^2)/(|q| + R), exact for large R.
        const float q = length(vadd(p, vscale(up, radius)));
        return (dot(p, p) + 2.0f * radius * h) / (q + radius);
    }
};

// Layered single scattering over length L (object space) split into n
// steps: the media's densities follow their heights, the sun reaching each
// step is dimmed by the layers above it (flat estimate), and the
// transmittance is exact per step. Even layers give the closed form.
Segment integrateLayered(const Medium *media, int count, const LayerPath &path, const xrVector &sunDir,
                         const xrColor &sun, float L, int n) {
    Segment r;
    if (!(L > 0.0f)) return r;
    n = std::clamp(n, 1, 1024);
    const float dt = L / float(n);
    const float sunUp = dot(sunDir, path.up);
    for (int i = 0; i < n; ++i) {
        const xrVector p = vlerp(path.from, path.to, (float(i) + 0.5f) / float(n));
        const float h = path.height(p);
        float sigma[3] = {0.0f, 0.0f, 0.0f}, emit[3] = {0.0f, 0.0f, 0.0f}, sunDepth[3] = {0.0f, 0.0f, 0.0f};
        for (int m = 0; m < count; ++m) {
            const float rho = layerDensity(media[m], h);
            // Only a layer that thins out upwards has a top to dim the sun;
            // below the horizon the sun does not reach it at all.
            const bool layered = media[m].height > 0.0f;
            const float up = !layered ? 0.0f : sunUp > 0.01f ? layerDepthUp(media[m], h, sunUp) : 1e30f;
            const float *s = &media[m].sigma.r, *c = &media[m].color.r;
            for (int k = 0; k < 3; ++k) {
                sigma[k] += s[k] * rho;
                emit[k] += s[k] * rho * c[k] * media[m].phase;
                if (s[k] > 0.0f) sunDepth[k] += s[k] * up;
            }
        }
        float *out = &r.color.r, *t = &r.trans.r;
        const float *su = &sun.r;
        for (int k = 0; k < 3; ++k) {
            if (!(sigma[k] > 0.0f)) continue;
            const float e = std::exp(-sigma[k] * dt);
            const float sunT = sunDepth[k] < 80.0f ? std::exp(-sunDepth[k]) : 0.0f;
            out[k] += t[k] * emit[k] / sigma[k] * su[k] * sunT * (1.0f - e);
            t[k] *= e;
        }
    }
    return r;
}

// Water below `level`: an even medium whose sun comes down through the
// water above each step.
Segment integrateWater(const Medium &water, const LayerPath &path, float level, const xrVector &sunDir,
                       const xrColor &sun, float L, int n) {
    Segment r;
    if (!(L > 0.0f)) return r;
    n = std::clamp(n, 1, 1024);
    const float dt = L / float(n);
    const float sunUp = dot(sunDir, path.up);
    for (int i = 0; i < n; ++i) {
        const xrVector p = vlerp(path.from, path.to, (float(i) + 0.5f) / float(n));
        const float depth = std::max(level - dot(p, path.up), 0.0f);
        const float *s = &water.sigma.r, *c = &water.color.r, *su = &sun.r;
        float *out = &r.color.r, *t = &r.trans.r;
        for (int k = 0; k < 3; ++k) {
            if (!(s[k] > 0.0f)) continue;
            const float e = std::exp(-s[k] * dt);
            const float sunT = sunUp > 0.01f ? std::exp(-std::min(s[k] * depth / sunUp, 80.0f)) : 0.0f;
            out[k] += t[k] * c[k] * water.phase * su[k] * sunT * (1.0f - e);
            t[k] *= e;
        }
    }
    return r;
}

// The physical model on the (clipped) internal-space segment [o, p] whose
// object-space length is L.
Segment physicalFog(xrState *state, const EnvFogParams *prm, const xrVector &o, const xrVector &p, float L) {
    const int type = eval(state, &prm->fogType);
    const float fogDensity = eval(state, &prm->fogDensity);
    const float airDensity = eval(state, &prm->airDensity);
    const float waterDensity = type >= 3 ? eval(state, &prm->waterDensity) : 0.0f;
    if (!(L > 0.0f) || (fogDensity <= 0.0f && airDensity <= 0.0f && waterDensity <= 0.0f)) return {};

    const int upAxis = eval(state, &prm->upAxis);
    const xrVector sunDir = sunDirection(eval(state, &prm->sunElevation), eval(state, &prm->sunAzimuth), upAxis);
    xrColor sun = eval(state, &prm->sunColor);
    scaleRGB(sun, eval(state, &prm->sunIntensity));
    const xrVector rayDir = normalize(vsub(p, o));
    const float cosSun = dot(rayDir, sunDir);

    Medium fog, air, water;
    fog.sigma = extinction(eval(state, &prm->fogOpacity), fogDensity);
    fog.color = eval(state, &prm->fogColor);
    fog.phase = phaseWeight(cosSun, eval(state, &prm->fogScatter));
    air.sigma = extinction(eval(state, &prm->airOpacity), airDensity);
    air.color = eval(state, &prm->airColor);
    air.phase = phaseWeight(cosSun, eval(state, &prm->airScatter));
    if (type >= 3) {
        water.sigma = extinction(eval(state, &prm->waterOpacity), waterDensity);
        water.color = eval(state, &prm->waterColor);
        water.phase = phaseWeight(cosSun, eval(state, &prm->waterScatter));
    }
    const int steps = std::max(eval(state, &prm->layerSamples), 1);
    const int airType = type >= 4 ? type - 4 : type;

    LayerPath path;
    path.up = upVector(upAxis);
    if (airType == 1 || airType == 2) {
        fog.height = eval(state, &prm->fogHeight);
        fog.base = eval(state, &prm->fogBase);
        air.height = eval(state, &prm->airHeight);
        air.base = eval(state, &prm->airBase);
        if (airType == 2) path.radius = std::max(eval(state, &prm->planetRadius), 0.0f);
    }

    // The part of [o, p] in the air (integrated by the air type) and in the
    // water (type 3 and above), joined front to back.
    auto airPart = [&](const xrVector &a, const xrVector &b, float len) -> Segment {
        if (type == 3) return {};
        if (airType == 0) return integrateHomogeneous(fog, air, sun, len);
        LayerPath sub = path;
        sub.from = a;
        sub.to = b;
        const Medium media[2] = {fog, air};
        return integrateLayered(media, 2, sub, sunDir, sun, len, steps);
    };
    if (type < 3) return airPart(o, p, L);

    const float level = eval(state, &prm->waterLevel);
    auto waterPart = [&](const xrVector &a, const xrVector &b, float len) {
        LayerPath sub = path;
        sub.from = a;
        sub.to = b;
        return integrateWater(water, sub, level, sunDir, sun, len, steps);
    };
    const float ho = dot(o, path.up) - level, hp = dot(p, path.up) - level;
    const bool oUnder = ho < 0.0f, pUnder = hp < 0.0f;
    if (oUnder == pUnder) return oUnder ? waterPart(o, p, L) : airPart(o, p, L);
    const float t = ho / (ho - hp);
    const xrVector s = vlerp(o, p, t);
    const Segment first = oUnder ? waterPart(o, s, L * t) : airPart(o, s, L * t);
    const Segment second = oUnder ? airPart(s, p, L * (1.0f - t)) : waterPart(s, p, L * (1.0f - t));
    return joinSegments(first, second);
}

// Simple-model opacity: object-space distance over the saturation distance,
// scaled, clipped at optical depth 15.
float simpleFogOpacity(float distance, float saturation, float scale, float blend) {
    if (!(saturation > 0.0f)) return 1.0f;
    float x = distance / saturation * scale;
    if (blend > 0.0f) x *= blend;
    return opacityOfDepth(x);
}

}  // namespace

// ---------------------------------------------------------------------------
// Exported shaders.

VEKO_EXPORT xrBoolean veko_lightfog(void *result, xrState *state, void *params) {
    auto *p = static_cast<LightFogParams *>(params);
    auto &r = *static_cast<VolumeSampleResult *>(result);
    if (!volumeRayAllowed(state, eval(state, &p->allowRayKind2), eval(state, &p->allowRayKind3))) return 0;
    if (state->rayKind == kRayShadow) return 0;
    BaseStateRecord *rec = stateRecord(state);
    FlagScope flag(rec, kFlagFogLight);

    const int mode = eval(state, &p->matteOpacityMode);
    if (mode == 0) {
        // Black hole: an opaque black sample.
        r.outColor = r.outGlowColor = r.outTransparency = {0.0f, 0.0f, 0.0f, 0.0f};
        applyMatte(r, 0, 0.0f);
        return 1;
    }
    float d = eval(state, &p->density);
    if (eval(state, &p->densityByLength)) {
        touchFootprint(state, rec);
        const float len = rec ? rec->footprintV.z : objectDistance(state, state->rayOrigin, state->hitPoint);
        d = opacityOfDepth(d * len);
    }
    const xrColor L = gatherOneLight(state, rec, eval(state, &p->light));
    const xrColor c = eval(state, &p->color);
    r.outColor.r = L.r * c.r * d;
    r.outColor.g = L.g * c.g * d;
    r.outColor.b = L.b * c.b * d;
    if (eval(state, &p->colorBasedTransparency)) {
        r.outTransparency.r = 1.0f - r.outColor.r;
        r.outTransparency.g = 1.0f - r.outColor.g;
        r.outTransparency.b = 1.0f - r.outColor.b;
    } else {
        r.outTransparency.r = r.outTransparency.g = r.outTransparency.b = 1.0f - d;
    }
    applyMatte(r, mode, eval(state, &p->matteOpacity));
    return 1;
}

VEKO_EXPORT xrBoolean veko_envfog(void *result, xrState *state, void *params) {
    auto *p = static_cast<EnvFogParams *>(params);
    auto &r = *static_cast<VolumeSampleResult *>(result);
    if (!volumeRayAllowed(state, eval(state, &p->allowRayKind2), eval(state, &p->allowRayKind3))) return 0;
    if (state->rayKind == kRayShadow) return 0;
    BaseStateRecord *rec = stateRecord(state);
    FlagScope flag(rec, kFlagFogLight);

    r.outColor = {0.0f, 0.0f, 0.0f, 0.0f};
    r.outTransparency = {1.0f, 1.0f, 1.0f, 1.0f};
    xrVector o = state->rayOrigin, e = state->hitPoint;
    const bool clip = eval(state, &p->clipMode) == 1;
    bool fog = !clip || clipCameraDepth(state, eval(state, &p->clipNear), eval(state, &p->clipFar), o, e);

    if (fog && eval(state, &p->physical)) {
        const Segment s = physicalFog(state, p, o, e, objectDistance(state, o, e));
        r.outColor = s.color;
        r.outColor.a = 0.0f;
        r.outTransparency = s.trans;
        r.outTransparency.a = 1.0f;
    } else if (fog) {
        float blend = 0.0f;
        if (eval(state, &p->useHeight)) {
            const float a = eval(state, &p->minHeight), b = eval(state, &p->maxHeight);
            fog = clipHeightBand(state->rayDirection, a, b, o, e);
            blend = bandBlend(state->rayOrigin.y, a, b, eval(state, &p->blendRange));
        }
        if (fog) {
            const float scale = eval(state, &p->useDensityScale) ? eval(state, &p->densityScale) : 1.0f;
            const float d =
                simpleFogOpacity(objectDistance(state, o, e), eval(state, &p->saturationDistance), scale, blend);
            xrColor L = gatherOneLight(state, rec, eval(state, &p->light));
            const xrOptions *opt = state->optionsRecord;
            if (opt && (opt->photonVolumeWord1 || opt->photonVolumeWord2)) {
                // The irradiance of every light: lights sample this point as
                // they would a surface's, not the fog segment.
                flag.restore();
                xrColor irr{0.0f, 0.0f, 0.0f, 0.0f};
                OmniNormals omni(state);
                if (xr_compute_volume_irradiance(&irr, state)) addTo(L, irr);
                if (rec) rec->lightShapeRef = nullptr;
            }
            const xrColor c = eval(state, &p->color);
            r.outColor = {L.r * c.r * d, L.g * c.g * d, L.b * c.b * d, 0.0f};
            if (eval(state, &p->colorBasedTransparency)) {
                r.outTransparency = {1.0f - r.outColor.r, 1.0f - r.outColor.g, 1.0f - r.outColor.b, 1.0f};
            } else {
                r.outTransparency = {1.0f - d, 1.0f - d, 1.0f - d, 1.0f};
            }
        }
    }
    applyMatte(r, eval(state, &p->matteOpacityMode), eval(state, &p->matteOpacity));
    return 1;
}

VEKO_EXPORT xrBoolean veko_volumefog(void *result, xrState *state, void *params) {
    auto *p = static_cast<VolumeFogParams *>(params);
    auto &r = *static_cast<VolumeSampleResult *>(result);
    if (!volumeRayAllowed(state, eval(state, &p->allowRayKind2), eval(state, &p->allowRayKind3))) return 0;
    BaseStateRecord *rec = stateRecord(state);
    FlagScope flag(rec, kFlagVolumeObject);
    const bool shadow = state->rayKind == kRayShadow;

    xrVector o, e;
    xr_point_to_object(state, &o, &state->rayOrigin);
    xr_point_to_object(state, &e, &state->hitPoint);
    const xrVector mid = vscale(vadd(o, e), 0.5f);
    float L = float(state->hitDistance);
    if (eval(state, &p->densityByLength)) {
        touchFootprint(state, rec);
        L = rec ? rec->footprintV.z : length(vsub(e, o));
    }

    xrColor T = eval(state, &p->transparency);
    float D = eval(state, &p->density);
    xrColor I = shadow ? xrColor{0.0f, 0.0f, 0.0f, 0.0f} : eval(state, &p->incandescence);

    const float x = dropoffFactor(eval(state, &p->dropoffShape), eval(state, &p->edgeDropoff),
                                  eval(state, &p->axialDropoff), mid);
    if (x < 1.0f) {
        const int method = eval(state, &p->dropoffMethod);
        if (method == 0) {
            T.r = x * T.r + (1.0f - x);
            T.g = x * T.g + (1.0f - x);
            T.b = x * T.b + (1.0f - x);
        } else if (method == 1) {
            D -= (1.0f - x) * eval(state, &p->densitySubtract);
        }
        scaleRGB(I, x);
    }

    if (L <= 0.0f || D <= 0.0f) {
        r.outTransparency = {1.0f, 1.0f, 1.0f, 1.0f};
        if (shadow) return 1;
        r.outColor = L > 0.0f ? I : xrColor{0.0f, 0.0f, 0.0f, 0.0f};
    } else {
        float sigma[3];
        const float *t = &T.r;
        for (int k = 0; k < 3; ++k) sigma[k] = t[k] > 1e-5f ? -std::log(t[k]) * D : D * kLn100000;
        r.outTransparency = {1.0f, 1.0f, 1.0f, 1.0f};
        float *outT = &r.outTransparency.r;
        if (shadow) {
            for (int k = 0; k < 3; ++k)
                if (sigma[k] > 0.0f) outT[k] = std::exp(-sigma[k] * L);
            return 1;
        }
        Scatter light;
        if (eval(state, &p->illuminated)) {
            light = gatherInstanceLights(state, rec, eval(state, &p->lightScatter));
        } else {
            light.iso = {1.0f, 1.0f, 1.0f, 0.0f};
        }
        const xrColor col = eval(state, &p->color);
        r.outColor = I;
        float *outC = &r.outColor.r;
        const float *a = &light.iso.r, *b = &light.dir.r, *c = &col.r;
        for (int k = 0; k < 3; ++k) {
            if (!(sigma[k] > 0.0f)) continue;
            const float tk = std::exp(-sigma[k] * L);
            outT[k] = tk;
            outC[k] += (a[k] * c[k] + b[k]) * (1.0f - tk);
        }
        const int input = eval(state, &p->colorRampInput);
        if (input != 0) {
            float pos = 0.0f;
            if (input == 1) pos = (outT[0] + outT[1] + outT[2]) / 3.0f;
            else if (input == 2) pos = 0.3f * length(vadd(o, e));
            else if (input == 3) pos = (o.y + e.y) * 0.25f + 0.5f;
            RampCurve curve;
            loadRamp(state, &p->colorRamp, curve);
            mulRGBInPlace(r.outColor, rampColor(curve, pos));
        }
    }
    const float glow = eval(state, &p->glowIntensity);
    r.outGlowColor = {r.outColor.r * glow, r.outColor.g * glow, r.outColor.b * glow, r.outGlowColor.a};
    applyMatte(r, eval(state, &p->matteOpacityMode), eval(state, &p->matteOpacity));
    return 1;
}
