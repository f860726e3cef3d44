// Tangent basis of the current surface point from the host's surface
// derivatives, used by the sampler info node and the projection's filter
// footprint.
#pragma once

#include "vekobase.h"

namespace veko {

// Target space of tangentBasis().
enum TangentMode : int {
    kTangentsInternal = 0,
    kTangentsCamera = 1,
    kTangentsObject = 2,
};

// dPdu and dPdv of texture space `uvSet` (0 when the host has fewer sets):
// the host's derivative arrays (object space), else the hair derivatives,
// else camera-space x and z. Turned into the space of `mode`; not
// normalized.
inline void tangentBasis(xrState *state, xrVector &dPdu, xrVector &dPdv, int mode, int uvSet) {
    auto tiny = [](const xrVector &v) {
        return std::fabs(v.x) < 1e-5f && std::fabs(v.y) < 1e-5f && std::fabs(v.z) < 1e-5f;
    };
    int32_t sets = 0;
    if (xr_query(137, state, 0, &sets) && sets > 0 && state->derivU && state->derivV) {
        const int s = (uvSet >= 0 && uvSet < sets) ? uvSet : 0;
        dPdu = state->derivU[s];
        dPdv = state->derivV[s];
        if (tiny(dPdu) && tiny(dPdv)) return;
        if (mode == kTangentsInternal || mode == kTangentsCamera) {
            xr_vector_from_object(state, &dPdu, &dPdu);
            xr_vector_from_object(state, &dPdv, &dPdv);
        }
        if (mode == kTangentsCamera) {
            xr_vector_to_camera(state, &dPdu, &dPdu);
            xr_vector_to_camera(state, &dPdv, &dPdv);
        }
        return;
    }
    int32_t hair = 0;
    if (xr_query(138, state, 0, &hair) && hair != 0 && state->hairData) {
        const float *h = static_cast<const float *>(state->hairData);
        dPdu = {h[0], h[1], h[2]};
        dPdv = {h[3], h[4], h[5]};
        if (tiny(dPdu) && tiny(dPdv)) return;
        if (mode == kTangentsCamera) {
            xr_vector_to_camera(state, &dPdu, &dPdu);
            xr_vector_to_camera(state, &dPdv, &dPdv);
        } else if (mode == kTangentsObject) {
            xr_vector_to_object(state, &dPdu, &dPdu);
            xr_vector_to_object(state, &dPdv, &dPdv);
        }
        return;
    }
    dPdu = {1.0f, 0.0f, 0.0f};
    dPdv = {0.0f, 0.0f, 1.0f};
    if (mode == kTangentsInternal || mode == kTangentsObject) {
        xr_vector_from_camera(state, &dPdu, &dPdu);
        xr_vector_from_camera(state, &dPdv, &dPdv);
    }
    if (mode == kTangentsObject) {
        xr_vector_to_object(state, &dPdu, &dPdu);
        xr_vector_to_object(state, &dPdv, &dPdv);
    }
}

}  // namespace veko
