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
        default:
            return {0, 0, 0};
    }
}

}  // namespace

}  // namespace vh

using namespace vh;

VH_EXPORT void xr_instance_lightlist(xrInteger *count, xrTag **lights, xrState *state) {
    if (!count || !lights) return;
    *count = 0;
    *lights = nullptr;
    RayData *rd = rayDataOf(state);
    if (!rd) return;
    Scene &scene = *rd->td->impl->scene;
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
    for (xrTag t : rd->td->impl->scene->allLights)
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
    Scene &scene = *rd->td->impl->scene;
    const LightInst *l = scene.lightOf(light);
    if (!l || !l->shader) return 0;
    xrInteger local = 0;
    xrInteger &taken = samples ? *samples : local;
    const int n = l->shape != kShapeNone ? l->samples : 1;
    if (taken == 0) ++rd->lightSequence;
    const uint32_t key = hashCombine(
        hashCombine(hashCombine(hashCombine(rd->pixel, rd->sampleIndex), uint32_t(rd->depth)), uint32_t(l->index)),
        rd->lightSequence);
    const xrVector p = state->hitPoint;
    while (taken < n) {
        const int i = taken++;
        xrVector org = l->position;
        if (l->shape != kShapeNone) {
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
        // again, so each light reaches a point through one side only.
        if (!(-dot(dir, state->shadingNormal) > 0)) continue;
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
        xrColor col{0, 0, 0, 0};
        const xrBoolean ok = callShader(*l->shader, &c, &col);
        const xrVector toLight = -c.rayDirection;
        const float cs = c.cosView;
        releaseChild(s);
        if (ok) {
            *color = col;
            if (direction) *direction = toLight;
            if (cosine) *cosine = cs;
            return 1;
        }
    }
    return 0;
}
