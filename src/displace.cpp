// Displacement shaders: the distance a surface point moves along its normal
// while the host tessellates displaced geometry. Called on displacement rays
// with the point and normal in object space.
#include <cmath>

#include "vekobase.h"

namespace veko {

namespace {

struct DisplaceParams {
    xrScalar displacement;  // word 0
};
static_assert(sizeof(DisplaceParams) == 4);

// Ray kinds: the host's displacement ray, and the one this library sets
// while a displacement in internal units is evaluated, so that connected
// shaders can tell the two apart.
constexpr int32_t kRayDisplace = 16;
constexpr int32_t kRayDisplaceInternal = 66;

// Object-space length of the internal-space vector |d| * n, with the sign of d.
float objectDisplacement(xrState *state, float d, const xrVector &n) {
    const xrVector internal = vscale(n, std::fabs(d));
    xrVector object;
    xr_vector_to_object(state, &object, &internal);
    const float len = length(object);
    return d < 0 ? -len : len;
}

}  // namespace
}  // namespace veko

using namespace veko;

VEKO_EXPORT xrBoolean veko_displace(void *result, xrState *state, void *params) {
    auto *p = static_cast<const DisplaceParams *>(params);
    *static_cast<xrScalar *>(result) = eval(state, &p->displacement);
    return 1;
}

VEKO_EXPORT xrBoolean veko_material_displace(void *result, xrState *state, void *params) {
    auto *p = static_cast<const DisplaceParams *>(params);
    const xrVector savedPoint = state->hitPoint, savedNormal = state->shadingNormal;
    state->rayKind = kRayDisplaceInternal;

    // Connected shaders see the point and the normal in internal space.
    xr_point_from_object(state, &state->hitPoint, &savedPoint);
    xrVector n;
    xr_vector_from_object(state, &n, &savedNormal);
    n = normalize(n);
    state->shadingNormal = n;

    const xrOptions *opt = state->optionsRecord;
    bool motion = opt && opt->motionBlurOn != 0;
    if (motion && opt->shutterOpen == opt->shutterClose) {
        state->sampleTime = opt->shutterOpen;
        motion = false;
    }

    const float d = eval(state, &p->displacement);
    *static_cast<xrScalar *>(result) = objectDisplacement(state, d, n);

    if (motion) {
        // The displaced point's motion over the shutter: the change of the
        // displacement along the object-space normal.
        state->sampleTime = 1.0f;
        xr_flush_cache(state);
        const float d1 = eval(state, &p->displacement);
        state->motionVector = vscale(savedNormal, d1 - d);
    }

    state->sampleTime = 0.0f;
    state->rayKind = kRayDisplace;
    state->shadingNormal = savedNormal;
    state->hitPoint = savedPoint;
    return 1;
}
