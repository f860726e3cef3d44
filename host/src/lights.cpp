// Lights: an instance's light list and light sampling. A light sample runs
// the light shader on a light state (rayKind 4) that shares the material's
// record: the light position (or a point on its area shape) in rayOrigin,
// the unit direction from the light to the shaded point in rayDirection,
// the distance in hitDistance and the light instance in lightInstanceTag.
#include <algorithm>
#include <cmath>
#include <vector>

#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

constexpr float kTwoPi = 6.28318530717958647f;

// All three components zero (of either sign), tested on the bits: a float
// is zero exactly when its bits but the sign are.
inline bool isZero(xrVector v) {
    return ((__builtin_bit_cast(uint32_t, v.x) | __builtin_bit_cast(uint32_t, v.y) | __builtin_bit_cast(uint32_t, v.z)) &
            0x7fffffffu) == 0;
}

// Point number i of the light's area shape, in light space. `towards` is
// the shaded point in light space (spheres are sampled on the half facing it).
xrVector shapePoint(const LightInst &l, const float s[2], xrVector towards) {
    switch (l.shape) {
        case kShapeRectangle:
            return l.edge1 * (s[0] - 0.5f) + l.edge2 * (s[1] - 0.5f);
        case kShapeDisc: {
            const xrVector n = l.discNormal;
            xrVector t = std::fabs(n.x) > 0.5f ? xrVector{0, 1, 0} : xrVector{1, 0, 0};
            xrVector u = normalize(cross(t, n)), v = cross(n, u);
            const float r = l.radius * std::sqrt(s[0]), phi = kTwoPi * s[1];
            return u * (r * std::cos(phi)) + v * (r * std::sin(phi));
        }
        case kShapeSphere: {
            const float z = 1 - 2 * s[0], r = std::sqrt(std::max(0.0f, 1 - z * z)), phi = kTwoPi * s[1];
            xrVector p{r * std::cos(phi), r * std::sin(phi), z};
            if (dot(p, towards) < 0) p = -p;
            return p * l.radius;
        }
        case kShapeCylinder: {
            // The half of the mantle that faces the point.
            const float phi = kTwoPi * s[1];
            xrVector q{0, std::cos(phi), std::sin(phi)};
            if (q.y * towards.y + q.z * towards.z < 0) q = {0, -q.y, -q.z};
            return {2 * s[0] - 1, q.y * l.radius, q.z * l.radius};
        }
        default:
            return {0, 0, 0};
    }
}

// A point of an object light's mesh, uniform over its area, in world space,
// with the mesh's first texture coordinate there.
xrVector objectPoint(const LightInst &l, const float s[2], xrVector *uv) {
    const Mesh &m = l.object->world;
    const std::vector<float> &cdf = l.triangleCdf;
    float pick = s[0] * cdf.back();
    size_t k = size_t(std::upper_bound(cdf.begin(), cdf.end(), pick) - cdf.begin());
    k = std::min(k, cdf.size() - 1);
    // Reuse the choice's remainder as the second barycentric dimension.
    const float lo = k ? cdf[k - 1] : 0.0f, span = cdf[k] - lo;
    const float r0 = span > 0 ? std::clamp((pick - lo) / span, 0.0f, 1.0f) : 0.5f;
    const float a = std::sqrt(r0), b0 = 1 - a, b1 = a * (1 - s[1]), b2 = a * s[1];
    const uint32_t i0 = m.tri[3 * k], i1 = m.tri[3 * k + 1], i2 = m.tri[3 * k + 2];
    *uv = m.uv.empty() ? xrVector{0, 0, 0} : m.uv[0][i0] * b0 + m.uv[0][i1] * b1 + m.uv[0][i2] * b2;
    return m.P[i0] * b0 + m.P[i1] * b1 + m.P[i2] * b2;
}

// Ray parameter of the nearest hit of a light-space ray o + t d on the shape
// within (tnear, tfar), or -1.
float hitShape(const LightInst &l, xrVector o, xrVector d, float tnear, float tfar) {
    float best = -1;
    auto take = [&](float t) {
        if (t > tnear && t < tfar && (best < 0 || t < best)) best = t;
    };
    switch (l.shape) {
        case kShapeRectangle: {
            const xrVector n = cross(l.edge1, l.edge2);
            const float dn = dot(d, n);
            if (dn == 0) break;
            const float t = -dot(o, n) / dn;
            const xrVector p = o + d * t;
            // Coordinates along the edges (they need not be orthogonal).
            const float a11 = dot(l.edge1, l.edge1), a12 = dot(l.edge1, l.edge2), a22 = dot(l.edge2, l.edge2);
            const float b1 = dot(p, l.edge1), b2 = dot(p, l.edge2), det = a11 * a22 - a12 * a12;
            if (det == 0) break;
            const float u = (b1 * a22 - b2 * a12) / det, v = (b2 * a11 - b1 * a12) / det;
            if (std::fabs(u) <= 0.5f && std::fabs(v) <= 0.5f) take(t);
            break;
        }
        case kShapeDisc: {
            const float dn = dot(d, l.discNormal);
            if (dn == 0) break;
            const float t = -dot(o, l.discNormal) / dn;
            const xrVector p = o + d * t;
            if (dot(p, p) <= l.radius * l.radius) take(t);
            break;
        }
        case kShapeSphere:
        case kShapeCylinder: {
            // Sphere |p| = r; cylinder y^2 + z^2 = r^2 with |x| <= 1.
            const bool cyl = l.shape == kShapeCylinder;
            const xrVector oo = cyl ? xrVector{0, o.y, o.z} : o, dd = cyl ? xrVector{0, d.y, d.z} : d;
            const float A = dot(dd, dd), B = 2 * dot(oo, dd), C = dot(oo, oo) - l.radius * l.radius;
            const float disc = B * B - 4 * A * C;
            if (A == 0 || disc < 0) break;
            const float sq = std::sqrt(disc);
            for (float t : {(-B - sq) / (2 * A), (-B + sq) / (2 * A)})
                if (!cyl || std::fabs(o.x + d.x * t) <= 1) take(t);
            break;
        }
        default:
            break;
    }
    return best;
}

// Environment lights place their own samples: the host runs the shader with
// lightSampleIndex = the samples taken so far until it answers 2 (no further
// sample). An answer of 0 skips the sample (it still counts). The samples
// are given whichever side of the surface they light; the material weighs
// them by the cosine.
xrBoolean sampleEnvironmentLight(xrColor *color, xrVector *direction, float *cosine, xrState *state,
                                 const LightInst &l, xrInteger &taken) {
    constexpr xrInteger kMaxSamples = 65535;  // lightSampleIndex is 16 bits
    while (taken < kMaxSamples) {
        const int i = taken++;
        RaySlot *s = spawnChild(state, kRayLight, false);
        if (!s) return 0;
        xrState &c = s->st;
        c.rayOrigin = state->hitPoint;
        c.rayDirection = -state->shadingNormal;
        c.hitDistance = 0;
        c.cosView = 1;
        c.lightInstanceTag = l.tag;
        c.lightSampleIndex = uint16_t(i);
        c.modeFlag = 0;
        s->ctx.lightToWorld = l.toWorld.m;
        s->ctx.worldToLight = l.fromWorld.m;
        s->rd.light = &l;
        xrColor col{0, 0, 0, 0};
        const xrBoolean ok = callShader(*l.shader, &c, &col);
        const xrVector toLight = -c.rayDirection;
        const float cs = c.cosView;
        releaseChild(s);
        if (ok == 2) {
            --taken;
            return 0;
        }
        if (ok) {
            *color = col;
            if (direction) *direction = toLight;
            if (cosine) *cosine = cs;
            return 1;
        }
    }
    return 0;
}

}  // namespace

const LightInst *nearestVisibleLight(const Scene &scene, xrVector org, xrVector dir, float tnear, float tfar,
                                     float *t) {
    const LightInst *best = nullptr;
    auto look = [&](const LightInst *l) {
        if (!l->visible || l->shape == kShapeNone || l->shape == kShapeObject || !l->shader) return;
        // Light space is affine: the ray parameter carries over.
        const float th = hitShape(*l, l->fromWorld.point(org), l->fromWorld.vector(dir), tnear, tfar);
        if (th > 0) {
            best = l;
            tfar = th;
        }
    };
    if (scene.visibleListed)
        for (const LightInst *l : scene.visibleShapes) look(l);
    else
        for (const auto &l : scene.lights) look(l.get());
    if (best) *t = tfar;
    return best;
}

xrBoolean shadeVisibleLight(RaySlot &slot, const LightInst &light, float t, xrColor *color) {
    xrState &st = slot.st;
    st.hitPoint = st.rayOrigin + st.rayDirection * t;
    st.hitDistance = t;
    st.lightInstanceTag = light.tag;
    st.instanceTag = 0;
    st.hitRef = nullptr;
    slot.rd.obj = nullptr;
    slot.rd.light = &light;
    slot.ctx.lightToWorld = light.toWorld.m;
    slot.ctx.worldToLight = light.fromWorld.m;
    return callShader(*light.shader, &st, color);
}

}  // namespace vh

using namespace vh;

VH_EXPORT void xr_instance_lightlist(xrInteger *count, xrTag **lights, xrState *state) {
    if (!count || !lights) return;
    *count = 0;
    *lights = nullptr;
    RayData *rd = rayDataOf(state);
    if (!rd) return;
    Scene &scene = *rd->scene;
    const ObjectInst *o = state->instanceTag ? scene.objectOf(state->instanceTag) : nullptr;
    const std::vector<xrTag> &list = o ? o->lights : scene.allLights;
    *count = xrInteger(list.size());
    *lights = list.empty() ? nullptr : const_cast<xrTag *>(list.data());
}

// Replaces the list of lights to exclude by the scene's lights that remain,
// in scene order. The result lives in a per-thread buffer that stays valid
// until the thread's next call.
VH_EXPORT xrBoolean xr_exclusive_lightlist(xrInteger *count, xrTag **lights, xrState *state) {
    if (!count || !lights) return 0;
    const xrInteger n = std::max<xrInteger>(*count, 0);
    const xrTag *excluded = n > 0 ? *lights : nullptr;
    *count = 0;
    *lights = nullptr;
    RayData *rd = rayDataOf(state);
    if (!rd) return 0;
    if (n > 0 && !excluded) return 0;
    static thread_local std::vector<xrTag> remaining;
    remaining.clear();
    for (xrTag t : rd->scene->allLights)
        if (std::find(excluded, excluded + n, t) == excluded + n) remaining.push_back(t);
    *count = xrInteger(remaining.size());
    *lights = remaining.empty() ? nullptr : remaining.data();
    return 1;
}

// One sample per call; `samples` counts the samples taken (the caller starts
// it at 0). A point light has one sample, an area light its shape's count.
// Samples behind the surface, and samples that the light shader rejects,
// are counted and skipped. Returns 0 when no sample is left.
VH_EXPORT xrBoolean xr_sample_light(xrColor *color, xrVector *direction, float *cosine, xrState *state, xrTag light,
                                    xrInteger *samples) {
    RayData *rd = rayDataOf(state);
    if (!rd || !color) return 0;
    Scene &scene = *rd->scene;
    const LightInst *l = scene.lightOf(light);
    if (!l || !l->shader) return 0;
    xrInteger local = 0;
    xrInteger &taken = samples ? *samples : local;
    if (l->kind == LightKind::Environment) return sampleEnvironmentLight(color, direction, cosine, state, *l, taken);
    const int n = l->shape != kShapeNone ? l->samples : 1;
    if (taken == 0) ++rd->lightSequence;
    // A light loop asks until no sample is left: that last call ends here.
    if (taken >= n) return 0;
    // The sequence key is needed only by lights with a shape to sample.
    const uint32_t key = l->shape != kShapeNone
                             ? hashCombine(hashCombine(sequenceBase(*rd), uint32_t(l->index)), rd->lightSequence)
                             : 0;
    const xrVector p = state->hitPoint;
    while (taken < n) {
        const int i = taken++;
        xrVector org = l->position;
        xrVector sampleUv{0, 0, 0};
        if (l->shape == kShapeObject) {
            float u[2];
            sobol2(uint32_t(i), key, u);
            org = objectPoint(*l, u, &sampleUv);
        } else if (l->shape != kShapeNone) {
            float u[2];
            sobol2(uint32_t(i), key, u);
            org = l->toWorld.point(shapePoint(*l, u, l->fromWorld.point(p)));
        }
        xrVector dir;
        double dist;
        if (l->kind == LightKind::Directional) {
            dir = l->axis;
            dist = double(length(p - scene.center) + 2 * scene.radius + 1);
        } else {
            xrVector d = p - org;
            dist = length(d);
            dir = dist > 0 ? d * float(1.0 / dist) : -state->shadingNormal;
        }
        // A light behind the surface (as the caller's normal faces) gives
        // nothing: materials that light both sides flip the normal and ask
        // again, so each light reaches a point through one side only. A
        // caller without a normal (hair: shadingNormal zero) takes light
        // from every side. A volume light chooses its direction itself and
        // is judged by the cosine it leaves.
        const bool anySide = isZero(state->shadingNormal);
        const bool ownDirection = l->kind == LightKind::Volume;
        if (!anySide && !ownDirection && !(-dot(dir, state->shadingNormal) > 0)) continue;
        RaySlot *s = spawnChild(state, kRayLight, false);
        if (!s) return 0;
        xrState &c = s->st;
        c.rayOrigin = org;
        c.rayDirection = dir;
        c.hitDistance = dist;
        c.cosView = -dot(dir, state->shadingNormal);
        c.lightInstanceTag = l->tag;
        c.lightSampleIndex = uint16_t(i);
        c.modeFlag = 0;
        s->ctx.lightToWorld = l->toWorld.m;
        s->ctx.worldToLight = l->fromWorld.m;
        s->rd.light = l;
        if (l->shape == kShapeObject && !s->uv.empty()) {
            // The light sees the mesh's own uv at the sample point.
            s->uv[0] = sampleUv;
            c.texCoords = s->uv.data();
        }
        xrColor col{0, 0, 0, 0};
        const xrBoolean ok = callShader(*l->shader, &c, &col);
        const xrVector toLight = -c.rayDirection;
        const float cs = c.cosView;
        releaseChild(s);
        if (ok && ownDirection && !anySide && !(cs > 0)) continue;
        if (ok) {
            *color = col;
            if (direction) *direction = toLight;
            if (cosine) *cosine = cs;
            return 1;
        }
    }
    return 0;
}
