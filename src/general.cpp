// Arithmetic and conditional utility nodes: blend, clamp, condition,
// distancebetween, multdiv, plusminusavg, reverse, setrange, vectorproduct.
//
// These nodes compute on their parameters only. Each parameter is evaluated
// (literal or connected value) when it is read, and a parameter the chosen
// operation does not need is never evaluated, so an unused connected input
// costs nothing. A node returns false only after an invalid-operation
// warning, and then leaves its result untouched.
#include <cstdint>

#include "vekobase.h"

using veko::eval;

namespace {

inline xrVector sub(const xrVector &a, const xrVector &b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline xrVector add(const xrVector &a, const xrVector &b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

// Component access for per-component loops over three-float records.
inline float *comp(xrVector &v) { return &v.x; }
inline const float *comp(const xrVector &v) { return &v.x; }

}  // namespace

// ---------------------------------------------------------------------------
// blend: mixes color1 over color2 by `blender`. The two exact end values copy
// the whole colour (alpha included); in between only red, green and blue are
// mixed and the caller's alpha stays.
struct BlendParams {
    float blender;
    xrColor color1;
    xrColor color2;
};
static_assert(sizeof(BlendParams) == 9 * 4);

VEKO_EXPORT xrBoolean veko_blend(void *result, xrState *state, void *params) {
    auto *p = static_cast<BlendParams *>(params);
    auto *out = static_cast<xrColor *>(result);
    const float b = eval(state, &p->blender);
    if (b == 0.0f) {
        *out = eval(state, &p->color2);
    } else if (b == 1.0f) {
        *out = eval(state, &p->color1);
    } else {
        const xrColor c1 = eval(state, &p->color1);
        const xrColor c2 = eval(state, &p->color2);
        const float a = 1.0f - b;
        out->r = a * c2.r + b * c1.r;
        out->g = a * c2.g + b * c1.g;
        out->b = a * c2.b + b * c1.b;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// clamp: limits each component (alpha included) to [min, max]; a component
// whose min exceeds its max passes unchanged.
struct ClampParams {
    xrColor input;
    xrColor min;
    xrColor max;
};
static_assert(sizeof(ClampParams) == 12 * 4);

VEKO_EXPORT xrBoolean veko_clamp(void *result, xrState *state, void *params) {
    auto *p = static_cast<ClampParams *>(params);
    const xrColor in = eval(state, &p->input);
    const xrColor lo = eval(state, &p->min);
    const xrColor hi = eval(state, &p->max);
    const float *x = &in.r, *l = &lo.r, *h = &hi.r;
    xrColor out;
    float *o = &out.r;
    for (int i = 0; i < 4; ++i) {
        if (l[i] > h[i])
            o[i] = x[i];
        else
            o[i] = x[i] < l[i] ? l[i] : (x[i] > h[i] ? h[i] : x[i]);
    }
    *static_cast<xrColor *>(result) = out;
    return 1;
}

// ---------------------------------------------------------------------------
// condition: compares firstTerm with secondTerm and outputs colorIfTrue or
// colorIfFalse. Comparisons follow IEEE rules: a NaN term makes every test
// false except "not equal".
struct ConditionParams {
    int32_t operation;
    float firstTerm;
    float secondTerm;
    xrColor colorIfTrue;
    xrColor colorIfFalse;
};
static_assert(sizeof(ConditionParams) == 11 * 4);

VEKO_EXPORT xrBoolean veko_condition(void *result, xrState *state, void *params) {
    auto *p = static_cast<ConditionParams *>(params);
    const uint32_t op = static_cast<uint32_t>(eval(state, &p->operation));
    if (op > 5) {
        VEKO_WARN("veko_condition", "Invalid operation.");
        return 0;
    }
    const float a = eval(state, &p->firstTerm);
    const float b = eval(state, &p->secondTerm);
    bool test = false;
    switch (op) {
        case 0: test = a == b; break;
        case 1: test = a != b; break;
        case 2: test = a > b; break;
        case 3: test = a >= b; break;
        case 4: test = a < b; break;
        case 5: test = a <= b; break;
    }
    *static_cast<xrColor *>(result) = eval(state, test ? &p->colorIfTrue : &p->colorIfFalse);
    return 1;
}

// ---------------------------------------------------------------------------
// distancebetween: distance between two points, each first transformed by
// its own matrix.
struct DistanceBetweenParams {
    xrVector point1;
    float inMatrix1[16];
    xrVector point2;
    float inMatrix2[16];
};
static_assert(sizeof(DistanceBetweenParams) == 38 * 4);
static_assert(offsetof(DistanceBetweenParams, point2) == 19 * 4);

VEKO_EXPORT xrBoolean veko_distancebetween(void *result, xrState *state, void *params) {
    auto *p = static_cast<DistanceBetweenParams *>(params);
    float m[16];
    const xrVector p1 = eval(state, &p->point1);
    veko::evalMatrix(state, p->inMatrix1, m);
    xrVector w1;
    xr_point_transform(&w1, &p1, m);
    const xrVector p2 = eval(state, &p->point2);
    veko::evalMatrix(state, p->inMatrix2, m);
    xrVector w2;
    xr_point_transform(&w2, &p2, m);
    *static_cast<float *>(result) = veko::length(sub(w1, w2));
    return 1;
}

// ---------------------------------------------------------------------------
// multdiv: componentwise none / multiply / divide / power. Division is not
// guarded: a zero divisor yields the IEEE infinity or NaN.
struct MultDivParams {
    int32_t operation;
    xrVector input1;
    xrVector input2;
};
static_assert(sizeof(MultDivParams) == 7 * 4);

VEKO_EXPORT xrBoolean veko_multdiv(void *result, xrState *state, void *params) {
    auto *p = static_cast<MultDivParams *>(params);
    const uint32_t op = static_cast<uint32_t>(eval(state, &p->operation));
    if (op > 3) {
        VEKO_WARN("veko_multdiv", "Invalid operation.");
        return 0;
    }
    xrVector out = eval(state, &p->input1);
    if (op != 0) {
        const xrVector in2 = eval(state, &p->input2);
        float *o = comp(out);
        const float *b = comp(in2);
        for (int i = 0; i < 3; ++i) {
            if (op == 1)
                o[i] = o[i] * b[i];
            else if (op == 2)
                o[i] = o[i] / b[i];
            else
                o[i] = std::pow(o[i], b[i]);
        }
    }
    *static_cast<xrVector *>(result) = out;
    return 1;
}

// ---------------------------------------------------------------------------
// plusminusavg: reduces each of three arrays (floats, and two arrays of
// three-float vectors) by the same operation. An empty array leaves its
// output untouched.
struct PlusMinusAvgParams {
    int32_t operation;
    veko::Array<float> input1D;
    veko::Array<xrVector> input2D;
    veko::Array<xrVector> input3D;
};
static_assert(sizeof(PlusMinusAvgParams) == 14 * 4);
static_assert(offsetof(PlusMinusAvgParams, input2D) == 4 * 4);
static_assert(offsetof(PlusMinusAvgParams, input3D) == 9 * 4);

struct PlusMinusAvgResult {
    float output1D;
    xrVector output2D;
    xrVector output3D;
};
static_assert(sizeof(PlusMinusAvgResult) == 7 * 4);

namespace {

inline float scale(float v, float s) { return v * s; }
inline xrVector scale(const xrVector &v, float s) { return {v.x * s, v.y * s, v.z * s}; }
inline float add(float a, float b) { return a + b; }
inline float sub(float a, float b) { return a - b; }

// Reduces one array; returns false (output untouched) when it is empty.
template <class T>
bool reduce(xrState *state, uint32_t op, veko::Array<T> *arr, T *out) {
    const int n = veko::evalCount(state, arr);
    if (n <= 0) return false;
    T acc = eval(state, arr->at(0));
    if (op != 0) {
        for (int k = 1; k < n; ++k) {
            const T e = eval(state, arr->at(k));
            acc = op == 2 ? sub(acc, e) : add(acc, e);
        }
        if (op == 3) acc = scale(acc, 1.0f / static_cast<float>(n));
    }
    *out = acc;
    return true;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_plusminusavg(void *result, xrState *state, void *params) {
    auto *p = static_cast<PlusMinusAvgParams *>(params);
    auto *out = static_cast<PlusMinusAvgResult *>(result);
    const uint32_t op = static_cast<uint32_t>(eval(state, &p->operation));
    if (op > 3) {
        VEKO_WARN("veko_plusminusavg", "Invalid operation.");
        return 0;
    }
    reduce(state, op, &p->input1D, &out->output1D);
    reduce(state, op, &p->input2D, &out->output2D);
    reduce(state, op, &p->input3D, &out->output3D);
    return 1;
}

// ---------------------------------------------------------------------------
// reverse: 1 - component.
struct ReverseParams {
    xrVector input;
};
static_assert(sizeof(ReverseParams) == 3 * 4);

VEKO_EXPORT xrBoolean veko_reverse(void *result, xrState *state, void *params) {
    auto *p = static_cast<ReverseParams *>(params);
    const xrVector in = eval(state, &p->input);
    *static_cast<xrVector *>(result) = {1.0f - in.x, 1.0f - in.y, 1.0f - in.z};
    return 1;
}

// ---------------------------------------------------------------------------
// setrange: maps each component of `value` from [oldMin, oldMax] onto
// [min, max], saturating outside. min and max are evaluated only when some
// component needs them.
struct SetRangeParams {
    xrVector value;
    xrVector min;
    xrVector max;
    xrVector oldMin;
    xrVector oldMax;
};
static_assert(sizeof(SetRangeParams) == 15 * 4);

VEKO_EXPORT xrBoolean veko_setrange(void *result, xrState *state, void *params) {
    auto *p = static_cast<SetRangeParams *>(params);
    const xrVector value = eval(state, &p->value);
    const xrVector oldMin = eval(state, &p->oldMin);
    const xrVector oldMax = eval(state, &p->oldMax);
    xrVector lo{}, hi{};
    bool haveLo = false, haveHi = false;
    auto needLo = [&]() -> const float * {
        if (!haveLo) lo = eval(state, &p->min), haveLo = true;
        return comp(lo);
    };
    auto needHi = [&]() -> const float * {
        if (!haveHi) hi = eval(state, &p->max), haveHi = true;
        return comp(hi);
    };
    const float *v = comp(value), *om = comp(oldMin), *oM = comp(oldMax);
    xrVector out;
    float *o = comp(out);
    for (int i = 0; i < 3; ++i) {
        if (om[i] == oM[i])
            o[i] = v[i];
        else if (v[i] <= om[i])
            o[i] = needLo()[i];
        else if (v[i] >= oM[i])
            o[i] = needHi()[i];
        else {
            const float l = needLo()[i], h = needHi()[i];
            o[i] = (h - l) * (v[i] - om[i]) / (oM[i] - om[i]) + l;
        }
    }
    *static_cast<xrVector *>(result) = out;
    return 1;
}

// ---------------------------------------------------------------------------
// vectorproduct: none / dot / cross / vector-matrix / point-matrix, with
// optional normalization of the result.
struct VectorProductParams {
    int32_t operation;
    xrVector input1;
    xrVector input2;
    float matrix[16];
    xrBoolean normalizeOutput;
};
static_assert(sizeof(VectorProductParams) == 24 * 4);
static_assert(offsetof(VectorProductParams, normalizeOutput) == 23 * 4);

VEKO_EXPORT xrBoolean veko_vectorproduct(void *result, xrState *state, void *params) {
    auto *p = static_cast<VectorProductParams *>(params);
    const uint32_t op = static_cast<uint32_t>(eval(state, &p->operation));
    if (op > 4) {
        VEKO_WARN("veko_vectorproduct", "Invalid operation.");
        return 0;
    }
    const xrVector in1 = eval(state, &p->input1);
    xrVector out = in1;
    if (op == 1) {
        const xrVector in2 = eval(state, &p->input2);
        float d = veko::dot(in1, in2);
        // |d| >= 1e-5 implies both lengths are nonzero (Cauchy-Schwarz).
        if (std::fabs(d) >= 1e-5f && eval(state, &p->normalizeOutput))
            d /= veko::length(in2) * veko::length(in1);
        *static_cast<xrVector *>(result) = {d, d, d};
        return 1;
    }
    if (op == 2) {
        out = veko::cross(in1, eval(state, &p->input2));
    } else if (op == 3 || op == 4) {
        float m[16];
        veko::evalMatrix(state, p->matrix, m);
        if (op == 3)
            xr_vector_transform(&out, &in1, m);
        else
            xr_point_transform(&out, &in1, m);
    }
    if (eval(state, &p->normalizeOutput)) {
        const float len = veko::length(out);
        if (len > 1e-5f) out = {out.x / len, out.y / len, out.z / len};
    }
    *static_cast<xrVector *>(result) = out;
    return 1;
}
