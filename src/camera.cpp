// Camera-side shaders: the depth-of-field lens shader and the image plane.
#include <algorithm>
#include <atomic>
#include <cmath>

#include "vekobase.h"

namespace {

using veko::BaseStateRecord;

constexpr int kRayReflection = 2;
constexpr int kRayRefraction = 3;
constexpr int kModeCode114 = 114;

struct DofParams {
    xrScalar focusDistance;     // 0
    xrScalar fStop;             // 1
    xrScalar focusRegionScale;  // 2
    xrInteger samples;          // 3
};
static_assert(sizeof(DofParams) == 4 * 4);

struct ImagePlaneParams {
    xrInteger useColor;              // 0
    xrTag texture;                   // 1
    xrColor color;                   // 2-5
    xrInteger displayMode;           // 6
    xrColor colorGain;               // 7-10
    xrColor colorOffset;             // 11-14
    xrScalar alphaGain;              // 15
    xrBoolean visibleInReflections;  // 16
    xrBoolean visibleInRefractions;  // 17
};
static_assert(sizeof(ImagePlaneParams) == 18 * 4);

// Lens geometry in camera space: the focal point of the eye ray and the
// radius of the lens disc.
struct Lens {
    xrVector origin, focus;
    float radius;
};

// The eye ray (camera space) meets the plane z = zf at the focus; every ray
// from a lens point to it meets the original ray there.
Lens lensFor(const xrVector &o, const xrVector &d, float focusDistance, float focalLength, float fStop,
             float regionScale) {
    const float zf = focusDistance > 0 ? -focusDistance : focusDistance;
    Lens l{o, {o.x + d.x, o.y + d.y, o.z + d.z}, 0.0f};
    const float stop = fStop * regionScale;
    if (stop > 0 && std::isfinite(focalLength / stop)) l.radius = focalLength / stop;
    if (d.z != 0.0f) {
        const float t = (zf - o.z) / d.z;
        l.focus = {o.x + t * d.x, o.y + t * d.y, zf};
    } else {
        l.radius = 0;  // a ray parallel to the focal plane never meets it
    }
    return l;
}

// Lens point of the sample (s0, s1): uniform over the disc.
xrVector lensPoint(const Lens &l, float s0, float s1) {
    const float rho = std::sqrt(s0) * l.radius, phi = s1 * 6.2831855f;
    return {l.origin.x + std::cos(phi) * rho, l.origin.y + std::sin(phi) * rho, l.origin.z};
}

bool modeIs114(const xrState *state) {
    return state->optionsRecord && state->optionsRecord->modeCode == kModeCode114 && state->modeFlag;
}

// What lies behind the plane, traced without spending refraction depth.
xrBoolean traceBehind(xrColor *color, xrState *state) {
    --state->refractDepth;
    const xrBoolean ok = xr_trace_transparent(color, state);
    ++state->refractDepth;
    return ok;
}

// Reflection or refraction rays that should not see the plane go on along
// the same direction with the environment of the ray that spawned them.
xrBoolean passThrough(xrColor *result, xrState *state, bool reflection) {
    if (state->spawningState) state->environmentShader = state->spawningState->environmentShader;
    int32_t &depth = reflection ? state->reflectDepth : state->refractDepth;
    --depth;
    const xrVector dir = state->rayDirection;
    const xrBoolean ok =
        reflection ? xr_trace_reflection(result, state, &dir) : xr_trace_refraction(result, state, &dir);
    ++depth;
    return ok;
}

void textureColor(xrColor *result, xrState *state, BaseStateRecord *rec, const ImagePlaneParams *p, int displayMode) {
    const xrTag texture = veko::eval(state, &p->texture);
    if (!state->texCoords || !xr_lookup_color_texture(result, state, texture, &state->texCoords[0])) return;
    xrColor c = *result;
    if (displayMode == 2) c.a = 1.0f;
    else if (displayMode == 4) c.r = c.g = c.b = veko::luminance(c);
    else if (displayMode == 5) c.r = c.g = c.b = c.a;
    const xrColor gain = veko::eval(state, &p->colorGain), offset = veko::eval(state, &p->colorOffset);
    c.r = c.r * gain.r + offset.r;
    c.g = c.g * gain.g + offset.g;
    c.b = c.b * gain.b + offset.b;
    c.a *= veko::eval(state, &p->alphaGain);
    const bool mode114 = modeIs114(state);
    if (c.a > 0.99999f) {
        if (!mode114) {
            rec->matteColor = {1, 1, 1, 1};
            rec->auxColor = {0, 0, 0, 0};
        } else {
            const xrColor opaque{1, 1, 1, 1};
            xr_opacity_set(state, &opaque);
        }
        c.a = 1.0f;
        *result = c;
        return;
    }
    const float alpha = c.a;
    veko::scaleRGB(c, alpha);
    if (mode114) {
        const xrColor op{alpha, alpha, alpha, alpha};
        xr_opacity_set(state, &op);
        *result = c;
        return;
    }
    xrColor behind{0, 0, 0, 0};
    traceBehind(&behind, state);
    veko::addScaled(c, behind, 1.0f - alpha);
    const float A = c.a;
    for (float *m : {&rec->matteColor.r, &rec->matteColor.g, &rec->matteColor.b}) *m += (1.0f - *m) * A;
    veko::scaleRGB(rec->auxColor, 1.0f - alpha);
    *result = c;
}

// Lens rays per eye sample: at least 1, and at most 1024, said once (a count
// of millions traced for minutes on a tiny frame).
xrInteger lensSamples(xrInteger asked) {
    constexpr xrInteger kMax = 1024;
    if (asked <= kMax) return std::max<xrInteger>(asked, 1);
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) xr_warning("veko_dof(): %d samples is more than the %d allowed; using %d.", int(asked),
                                         int(kMax), int(kMax));
    return kMax;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_dof(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const DofParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    BaseStateRecord *rec = veko::stateRecord(state);
    const bool hadEnvBit = rec && (rec->flags & veko::kFlagEnvironmentEval);
    if (rec) rec->flags |= veko::kFlagEnvironmentEval;

    const float focalLength = state->cameraRecord ? state->cameraRecord->focalLength : 0.0f;
    xrVector o, d;
    xr_point_to_camera(state, &o, &state->rayOrigin);
    xr_vector_to_camera(state, &d, &state->rayDirection);
    const Lens lens = lensFor(o, d, veko::eval(state, &p->focusDistance), focalLength, veko::eval(state, &p->fStop),
                              veko::eval(state, &p->focusRegionScale));
    xrInteger n = lensSamples(veko::eval(state, &p->samples));
    xrColor sum{0, 0, 0, 0};
    float s[2];
    xrInteger instance = 0;
    while (xr_sample(s, &instance, state, 2, &n)) {
        const xrVector l = lensPoint(lens, s[0], s[1]);
        const xrVector dir = veko::vsub(lens.focus, l);
        xrVector lw, dw;
        xr_point_from_camera(state, &lw, &l);
        xr_vector_from_camera(state, &dw, &dir);
        xrColor c;
        if (xr_trace_eye(&c, state, &lw, &dw)) veko::addTo(sum, c);
    }
    *out = veko::scale(sum, 1.0f / float(n));
    if (rec && !hadEnvBit) rec->flags &= ~veko::kFlagEnvironmentEval;
    return 1;
}

VEKO_EXPORT xrBoolean veko_imageplane(void *result, xrState *state, void *params) {
    const auto *p = static_cast<const ImagePlaneParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    if (state->rayKind == kRayReflection && !veko::eval(state, &p->visibleInReflections))
        return passThrough(out, state, true);
    if (state->rayKind == kRayRefraction && !veko::eval(state, &p->visibleInRefractions))
        return passThrough(out, state, false);
    if (state->environmentShader == 0 && state->cameraRecord && state->cameraRecord->cameraEnvShader)
        state->environmentShader = state->cameraRecord->cameraEnvShader;

    const int displayMode = veko::eval(state, &p->displayMode);
    if (displayMode == 0) {  // the plane is not shown
        if (modeIs114(state)) {
            *out = {0, 0, 0, 0};
            const xrColor clear{0, 0, 0, 0};
            xr_opacity_set(state, &clear);
        } else {
            traceBehind(out, state);
        }
        return 1;
    }
    BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec) {
        VEKO_WARN("veko_imageplane", "Internal state error.");
        return 0;
    }
    const bool hadDirectBit = rec->flags & veko::kFlagDirectEnvLookup;
    rec->flags |= veko::kFlagDirectEnvLookup;
    if (veko::eval(state, &p->useColor) != 0) {
        const xrColor c = veko::eval(state, &p->color);
        *out = {c.r, c.g, c.b, 1.0f};
        rec->matteColor = {1, 1, 1, 1};
        rec->auxColor = {0, 0, 0, 0};
    } else {
        textureColor(out, state, rec, p, displayMode);
    }
    rec->fbColor = {0, 0, 0, 0};
    if (!hadDirectBit) rec->flags &= ~veko::kFlagDirectEnvLookup;
    return 1;
}
