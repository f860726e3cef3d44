// The tangent basis of a surface point (dP/du, dP/dv of one texture space),
// shared by the bump nodes, the file texture's tangent-space normals and any
// node that needs the surface's texture directions.
#pragma once

#include "vekobase.h"

namespace veko {

// Record flag set while veko_bump2d re-evaluates its height at moved uvs.
constexpr int32_t kFlagBump2d = 0x01;

enum class TangentSpace : int {
    Internal = 0,  // the bump nodes
    Camera = 1,
    Object = 2,
};

// dP/du and dP/dv (not normalized) of texture space `uvSet`:
//  1. the host's surface derivatives (query 137 gives their count; a set
//     beyond it uses set 0), kept in object space by the host and carried to
//     internal (and camera) space here, unless both are practically zero;
//  2. else the hair derivatives (query 138) at the state's hairData;
//  3. else camera x and camera z.
VEKO_HIDDEN void surfaceTangents(xrState *state, xrVector *dPdu, xrVector *dPdv, TangentSpace mode, int uvSet);

}  // namespace veko
