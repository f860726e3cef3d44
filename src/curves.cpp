// Animation curves: the keyframed curve evaluator and its two drivers.
//
// veko_curve is called as a sub-shader: its result word carries the input x
// in and the curve value out. veko_time_curve feeds it the current time,
// veko_scalar_curve any scalar. Segments between keys are Hermite cubics
// (unweighted tangents), cubic Beziers solved for time by Newton iteration
// (weighted tangents) or steps; outside the keys the pre- and post-infinity
// types hold, extrapolate, cycle (with offset) or oscillate the curve.
// A call allocates nothing; the time curve's per-instance time range is
// built at instance init and released at exit.
#include <cmath>
#include <cstdint>

#include "vekobase.h"

namespace {

struct CurveKey {
    float time;         // 0
    float value;        // 1
    float inTangentX;   // 2
    float inTangentY;   // 3
    float outTangentX;  // 4
    float outTangentY;  // 5
};
static_assert(sizeof(CurveKey) == 6 * 4);

struct CurveParams {
    veko::Array<CurveKey> keys;  // 0-7
    int32_t weighted;            // 8
    int32_t preInfinity;         // 9
    int32_t postInfinity;        // 10
};
static_assert(sizeof(CurveParams) == 11 * 4);

struct DriverParams {
    float input;  // 0
    xrTag curve;  // 1
};
static_assert(sizeof(DriverParams) == 2 * 4);

// Per-instance record of the time curve: the camera's time range.
struct TimeRange {
    float start;
    float end;
};

enum Infinity : int32_t {
    kInfConstant = 0,
    kInfLinear = 1,
    kInfCycle = 3,
    kInfCycleOffset = 4,
    kInfOscillate = 5,
};

// Slope that stands for a vertical tangent in the Hermite form.
constexpr float kVerticalSlope = 5729578.0f;

// The evaluated keys of one call (the key array may be connected, so it is
// read per call; the elements stay where the parameter block has them).
struct Keys {
    xrState *state;
    const veko::Array<CurveKey> *array;
    int count;
    CurveKey at(int k) const {
        const CurveKey *p = array->at(k);
        return {veko::eval(state, &p->time),       veko::eval(state, &p->value),
                veko::eval(state, &p->inTangentX), veko::eval(state, &p->inTangentY),
                veko::eval(state, &p->outTangentX), veko::eval(state, &p->outTangentY)};
    }
    float time(int k) const { return veko::eval(state, &array->at(k)->time); }
};

// Hermite segment from (x0, y0) to (x3, y3) with the inner control points
// (x1, y1), (x2, y2) giving the end slopes.
float hermite(float x, float x0, float y0, float x1, float y1, float x2, float y2, float x3, float y3) {
    const float m0 = x1 - x0 != 0.0f ? (y1 - y0) / (x1 - x0) : kVerticalSlope;
    const float m1 = x3 - x2 != 0.0f ? (y3 - y2) / (x3 - x2) : kVerticalSlope;
    const float d = x3 - x0, e = y3 - y0;
    const float s = x - x0;
    const float c2 = (3.0f * e - 2.0f * m0 * d - m1 * d) / (d * d);
    const float c3 = (m1 * d + m0 * d - 2.0f * e) / (d * d * d);
    return y0 + m0 * s + c2 * s * s + c3 * s * s * s;
}

// Power-basis coefficients c0..c3 of a cubic Bezier with control values p0..p3.
void bezierCoefficients(float p0, float p1, float p2, float p3, float c[4]) {
    c[0] = p0;
    c[1] = 3.0f * (p1 - p0);
    c[2] = 3.0f * (p2 - 2.0f * p1 + p0);
    c[3] = p3 - 3.0f * p2 + 3.0f * p1 - p0;
}

float cubic(const float c[4], float t) { return ((c[3] * t + c[2]) * t + c[1]) * t + c[0]; }

// Keeps the time handles u1, u2 (fractions of the segment duration) where
// the time polynomial stays monotonic, so that every time has one curve
// parameter. `w` is the out handle measured back from the segment end.
void limitHandles(float &u1, float &u2) {
    u1 = std::fmax(u1, 0.0f);
    u2 = std::fmin(u2, 1.0f);
    if (!(u1 > 1.0f || u2 < -1.0f)) return;
    float w = std::fmax(1.0f - u2, 0.0f);
    u1 = std::fmax(u1, 0.0f);
    if ((u1 > 1.0f || w > 1.0f) && (u1 - 2.0f + w) * u1 + (w - 2.0f) * w + 1.0f + 1e-5f > 0.0f) {
        if (u1 + 1e-5f < 1.3333334f) {
            const float g = u1 - 2.0f;
            const float h = std::sqrt(std::fmax(g * g - 4.0f * (u1 - 1.0f) * (u1 - 1.0f), 0.0f));
            const float hi = (h - g) * 0.5f, lo = (-g - h) * 0.5f;
            if (w + 1e-5f > hi)
                w = hi - 1e-5f;
            else if (lo + 1e-5f > w)
                w = lo + 1e-5f;
        } else {
            u1 = 1.3333234f;
            w = 0.33332333f;
        }
    }
    u2 = 1.0f - w;
}

// Weighted segment: a cubic Bezier in time and value; the curve parameter of
// time x comes from Newton iteration on the time polynomial.
float bezierSegment(float x, float x0, float y0, float x1, float y1, float x2, float y2, float x3, float y3) {
    const float d = x3 - x0;
    const float a1 = (x1 - x0) / d, a2 = (x2 - x0) / d;
    const bool linear = std::fabs(a1 - 1.0f / 3.0f) < 1e-5f && std::fabs(a2 - 2.0f / 3.0f) < 1e-5f;
    float u1 = a1, u2 = a2;
    limitHandles(u1, u2);
    if (u1 != a1 && a1 != 0.0f) y1 = y0 + (y1 - y0) * u1 / a1;
    if (u2 != a2 && a2 != 1.0f) y2 = y3 - (y3 - y2) * (1.0f - u2) / (1.0f - a2);

    float cx[4], cy[4];
    bezierCoefficients(0.0f, u1, u2, 1.0f, cx);
    bezierCoefficients(y0, y1, y2, y3, cy);

    const float u = x == x0 ? 0.0f : (x == x3 ? 1.0f : (x - x0) / d);
    float t;
    if (linear) {
        t = u;
    } else if (cx[1] == 0.0f && cx[2] == 0.0f && cx[3] == 0.0f) {
        t = cx[0];
    } else {
        constexpr int kMaxSteps = 24;
        t = 0.5f;
        bool converged = false;
        for (int step = 0; step < kMaxSteps; ++step) {
            const float f = cubic(cx, t) - u;
            const float df = (3.0f * cx[3] * t + 2.0f * cx[2]) * t + cx[1];
            const float next = t - f / df;
            const bool small = std::fabs(double(next) - double(t)) <= 1e-5;
            t = next;
            if (small && step < kMaxSteps - 1) {
                converged = true;
                break;
            }
        }
        if (!converged) {
            VEKO_WARN("veko_curve", "Newton approximation has not converged!");
            t = 0.0f;
        }
    }
    return cubic(cy, t);
}

// Value of the segment from key a to key b at x (a.time < x < b.time).
float segment(const CurveKey &a, const CurveKey &b, float x, bool weighted) {
    if (a.outTangentX == 0.0f && a.outTangentY == 0.0f) return a.value;  // stepped
    const float x0 = a.time, y0 = a.value;
    const float x1 = x0 + a.outTangentX / 3.0f, y1 = y0 + a.outTangentY / 3.0f;
    const float x3 = b.time, y3 = b.value;
    const float x2 = x3 - b.inTangentX / 3.0f, y2 = y3 - b.inTangentY / 3.0f;
    return weighted ? bezierSegment(x, x0, y0, x1, y1, x2, y2, x3, y3)
                    : hermite(x, x0, y0, x1, y1, x2, y2, x3, y3);
}

// Outcome of the infinity step: either a final value, or a time inside the
// keys to evaluate with the cycle count for an offset.
struct Wrap {
    bool done = false;
    float value = 0.0f;
    float x = 0.0f;
    float offsetCycles = 0.0f;  // signed: added times (last - first value)
};

Wrap infinity(const Keys &keys, float x, bool pre, int32_t type) {
    Wrap w;
    const int last = keys.count - 1;
    const CurveKey end = keys.at(pre ? 0 : last);
    if (type == kInfConstant) {
        w.done = true;
        w.value = end.value;
        return w;
    }
    if (type == kInfLinear) {
        w.done = true;
        if (pre)
            w.value = end.inTangentX != 0.0f ? end.value - (end.time - x) * end.inTangentY / end.inTangentX : end.value;
        else
            w.value = end.outTangentX != 0.0f ? end.value + (x - end.time) * end.outTangentY / end.outTangentX : end.value;
        return w;
    }
    const float first = keys.time(0), lastTime = keys.time(last);
    const float range = lastTime - first;
    if (range == 0.0f) {
        w.done = true;
        w.value = end.value;
        return w;
    }
    const float q = (x - (pre ? first : lastTime)) / range;
    const float whole = std::trunc(q);
    const float r = std::fabs(q - whole);
    const float cycles = std::fabs(whole) + 1.0f;
    const bool odd = std::fmod(cycles, 2.0f) == 1.0f;
    switch (type) {
        case kInfCycle:
        case kInfCycleOffset:
            w.x = pre ? lastTime - r * range : first + r * range;
            if (type == kInfCycleOffset) w.offsetCycles = pre ? -cycles : cycles;
            break;
        case kInfOscillate:
            if (odd)
                w.x = pre ? first + r * range : lastTime - r * range;
            else
                w.x = pre ? lastTime - r * range : first + r * range;
            break;
        default:
            VEKO_WARN("veko_curve",
                      pre ? "Unsupported pre-infinity type!" : "Unsupported post-infinity type!");
            w.x = r * range;
            break;
    }
    return w;
}

// Curve value at x for keys in ascending time (count >= 1).
float evaluateCurve(const Keys &keys, float x, bool weighted, int32_t pre, int32_t post) {
    const int last = keys.count - 1;
    float offset = 0.0f;
    if (x < keys.time(0) || x > keys.time(last)) {
        const bool isPre = x < keys.time(0);
        const Wrap w = infinity(keys, x, isPre, isPre ? pre : post);
        if (w.done) return w.value;
        x = w.x;
        if (w.offsetCycles != 0.0f) offset = w.offsetCycles * (keys.at(last).value - keys.at(0).value);
    }
    // The wrapped time may round just outside the keys (or, for an
    // unsupported type, land anywhere): the end keys hold their values there.
    if (!(x > keys.time(0))) return keys.at(0).value + offset;
    if (!(x < keys.time(last))) return keys.at(last).value + offset;
    // Binary search for keys lo, hi with time(lo) <= x < time(hi).
    int lo = 0, hi = last;
    while (hi - lo > 1) {
        const int mid = lo + (hi - lo) / 2;
        if (x < keys.time(mid))
            hi = mid;
        else
            lo = mid;
    }
    const CurveKey a = keys.at(lo);
    if (a.time == x) return a.value + offset;
    return segment(a, keys.at(hi), x, weighted) + offset;
}

// Calls the curve shader `curve` with `*result` as its input; the curve
// overwrites it with its value.
xrBoolean callCurve(float *result, xrState *state, xrTag curve) {
    return xr_call_shader_x(result, xrSHADER_CALL, state, curve, nullptr);
}

}  // namespace

VEKO_EXPORT xrBoolean veko_curve(void *result, xrState *state, void *params) {
    auto *p = static_cast<CurveParams *>(params);
    const Keys keys{state, &p->keys, veko::evalCount(state, &p->keys)};
    if (keys.count <= 0) return 0;
    auto *io = static_cast<float *>(result);
    *io = evaluateCurve(keys, *io, veko::eval(state, &p->weighted) != 0, veko::eval(state, &p->preInfinity),
                        veko::eval(state, &p->postInfinity));
    return 1;
}

VEKO_EXPORT xrBoolean veko_scalar_curve(void *result, xrState *state, void *params) {
    auto *p = static_cast<DriverParams *>(params);
    auto *out = static_cast<float *>(result);
    *out = veko::eval(state, &p->input);
    return callCurve(out, state, veko::eval(state, &p->curve));
}

VEKO_EXPORT xrBoolean veko_time_curve(void *result, xrState *state, void *params) {
    auto *p = static_cast<DriverParams *>(params);
    auto *out = static_cast<float *>(result);
    if (veko::isConnected(state, &p->input)) {
        *out = veko::eval(state, &p->input);
    } else {
        void **slot = veko::instanceUserPointer(state);
        const auto *range = slot ? static_cast<const TimeRange *>(*slot) : nullptr;
        if (range)
            *out = (range->end - range->start) * state->sampleTime + range->start;
        else
            *out = (state->cameraRecord ? state->cameraRecord->frameValue : 0.0f) + state->sampleTime;
    }
    return callCurve(out, state, veko::eval(state, &p->curve));
}

VEKO_EXPORT void veko_time_curve_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {  // shader level: ask for the per-instance calls
        if (initRequest) *initRequest = 1;
        return;
    }
    void **slot = veko::instanceUserPointer(state);
    if (!slot) return;
    if (*slot) {  // initialised again: drop the previous range
        xr_mem_int_release("curves", __LINE__, *slot);
        *slot = nullptr;
    }
    const xrTag dataTag = state->cameraRecord ? state->cameraRecord->cameraDataTag : 0;
    if (!dataTag) return;
    xrTag found = 0;
    const uint32_t *block = veko::findUserData(veko::kVekoMagic, xrDB_USERDATA, dataTag, &found, nullptr);
    if (!block) return;
    float start, end;
    std::memcpy(&start, block + 14, 4);
    std::memcpy(&end, block + 15, 4);
    if (end > start) {
        auto *range = static_cast<TimeRange *>(xr_mem_int_allocate("curves", __LINE__, sizeof(TimeRange)));
        if (range) {
            range->start = start;
            range->end = end;
            *slot = range;
        }
    }
    xr_db_unpin(found);
}

VEKO_EXPORT void veko_time_curve_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = veko::instanceUserPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release("curves", __LINE__, *slot);
    *slot = nullptr;
}
