// RampCurve: a curve of up to 50 entries (position, value, interpolation)
// copied from a ramp parameter and evaluated at a position. Scalar curves
// carry one float per entry, colour curves an xrColor. Used by the remap
// nodes, the ocean texture's wave curves and the shaders that drive a term
// through a ramp.
#pragma once

#include <cstdint>

#include "vekobase.h"

namespace veko {

constexpr int kRampCurveMax = 50;

// Interpolation codes of an entry, applied between it and the next entry
// above: anything other than these behaves as kRampNone.
enum RampInterp : int32_t { kRampNone = 0, kRampLinear = 1, kRampSmooth = 2, kRampSpline = 3 };

// Ramp parameter entries as the host lays them out.
struct ScalarRampEntry {
    xrScalar position;       // 0
    xrScalar value;          // 1
    xrInteger interpolation; // 2
};
static_assert(sizeof(ScalarRampEntry) == 3 * 4);

struct ColorRampEntry {
    xrScalar position;       // 0
    xrColor value;           // 1-4
    xrInteger interpolation; // 5
};
static_assert(sizeof(ColorRampEntry) == 6 * 4);

struct RampCurve {
    enum Kind : int32_t { kScalar = 0, kColor = 1 };
    int32_t kind = kScalar;
    int32_t count = 0;
    float position[kRampCurveMax];
    float value[kRampCurveMax];    // scalar curves
    xrColor color[kRampCurveMax];  // colour curves
    int32_t interpolation[kRampCurveMax];
};

// Copies the first (at most 50) entries of a ramp parameter, every field
// evaluated. A negative count gives an empty curve.
void loadRamp(xrState *state, const Array<ScalarRampEntry> *ramp, RampCurve &curve);
void loadRamp(xrState *state, const Array<ColorRampEntry> *ramp, RampCurve &curve);

// A scalar curve at x; 0 for an empty curve or a colour curve.
float rampValue(const RampCurve &curve, float x);
// A colour curve at x, all four channels alike; (0, 0, 0, 0) for an empty
// curve or a scalar curve.
xrColor rampColor(const RampCurve &curve, float x);

// The same for a ramp parameter's first `count` (at most 50) entries read
// in place, when none of them is connected: what loadRamp and the curve
// give, without the copy.
float rampValue(const ScalarRampEntry *entries, int count, float x);
xrColor rampColor(const ColorRampEntry *entries, int count, float x);

// Smooth (cosine) weight of the upper entry at the fraction u in [0, 1].
inline float rampSmoothWeight(float u) { return std::cos((u + 1.0f) * kPi) * 0.5f + 0.5f; }

}  // namespace veko
