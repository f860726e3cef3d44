// Set-up of the elliptical texture filter on the renderer's side: the hit
// point and the points where the eye rays one filter radius (in pixels)
// further along raster x and y meet the hit triangle's plane, with their
// texture coordinates (xr_texture_filter_project).
#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

using namespace vh;

VH_EXPORT xrBoolean xr_texture_filter_project(xrVector *points, xrVector *coords, xrState *state, xrScalar radius,
                                              xrInteger space) {
    RayData *rd = rayDataOf(state);
    if (!points || !coords || !rd || !rd->obj || state->rayKind != kRayEye || state->spawningState) return 0;
    const ObjectInst &o = *rd->obj;
    const Mesh &m = o.world;
    if (space < 0 || size_t(space) >= m.uv.size()) return 0;
    if (!(radius > 0.0f)) radius = 0.5f;
    const uint32_t i0 = m.tri[3 * rd->prim], i1 = m.tri[3 * rd->prim + 1], i2 = m.tri[3 * rd->prim + 2];
    const xrVector A = m.P[i0], e1 = m.P[i1] - A, e2 = m.P[i2] - A;
    const auto &uv = m.uv[size_t(space)];
    const xrVector tA = uv[i0], te1 = uv[i1] - tA, te2 = uv[i2] - tA;
    const float d00 = dot(e1, e1), d01 = dot(e1, e2), d11 = dot(e2, e2);
    const float den = d00 * d11 - d01 * d01;
    if (!(den > 1e-12f * d00 * d11)) return 0;
    const xrVector N = o.Ng[rd->prim];
    const Renderer::Impl &impl = *rd->td->impl;
    points[0] = state->hitPoint;
    coords[0] = state->texCoords[space];
    const float offs[2][2] = {{radius, 0.0f}, {0.0f, radius}};
    for (int k = 0; k < 2; ++k) {
        xrVector org, dir;
        impl.eyeRay(state->samplePosX + offs[k][0], state->samplePosY + offs[k][1], org, dir);
        const float denom = dot(N, dir);
        if (std::fabs(denom) < 1e-6f) return 0;
        const xrVector P = org + dir * (dot(N, state->hitPoint - org) / denom);
        const xrVector d = P - A;
        const float d20 = dot(d, e1), d21 = dot(d, e2);
        const float b1 = (d11 * d20 - d01 * d21) / den, b2 = (d00 * d21 - d01 * d20) / den;
        points[k + 1] = P;
        coords[k + 1] = tA + te1 * b1 + te2 * b2;
    }
    return 1;
}
