// Light reaching a point inside a participating medium: the irradiance of
// every light of the scene arriving from any direction (no surface, so no
// cosine and no side), shadowed as each light shader casts its shadows.
#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

using namespace vh;

VH_EXPORT xrBoolean xr_compute_volume_irradiance(xrColor *irradiance, xrState *state) {
    if (!irradiance) return 0;
    *irradiance = {0, 0, 0, 0};
    RayData *rd = rayDataOf(state);
    if (!rd) return 0;
    const Scene &scene = *rd->scene;
    // A zero normal takes every light from every side (xr_sample_light).
    const xrVector shading = state->shadingNormal, geometric = state->geometricNormal;
    state->shadingNormal = state->geometricNormal = {0, 0, 0};
    xrColor sum{0, 0, 0, 0};
    for (xrTag light : scene.allLights) {
        xrColor one{0, 0, 0, 0}, c;
        xrInteger taken = 0;
        while (xr_sample_light(&c, nullptr, nullptr, state, light, &taken)) {
            one.r += c.r;
            one.g += c.g;
            one.b += c.b;
        }
        if (taken > 0) {
            sum.r += one.r / float(taken);
            sum.g += one.g / float(taken);
            sum.b += one.b / float(taken);
        }
    }
    state->shadingNormal = shading;
    state->geometricNormal = geometric;
    *irradiance = {sum.r, sum.g, sum.b, 1};
    return 1;
}
