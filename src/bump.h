// Shared by the bump nodes and the nodes they drive: the record flag that
// marks a 2D bump evaluation in progress. The tangent basis of the bump
// (dP/du, dP/dv) is tangentBasis() in tangents.h.
#pragma once

#include "tangents.h"

namespace veko {

// Record flag set while veko_bump2d re-evaluates its height at moved uvs.
constexpr int32_t kFlagBump2d = 0x01;

}  // namespace veko
