// RampCurve loading and evaluation.
#include "rampcurve.h"

#include <algorithm>

namespace veko {

namespace {

template <class Entry, class Store>
void load(xrState *state, const Array<Entry> *ramp, RampCurve &c, RampCurve::Kind kind, Store store) {
    c.kind = kind;
    c.count = std::clamp(evalCount(state, ramp), 0, kRampCurveMax);
    for (int k = 0; k < c.count; ++k) {
        const Entry *e = ramp->at(k);
        c.position[k] = eval(state, &e->position);
        store(k, eval(state, &e->value));
        c.interpolation[k] = eval(state, &e->interpolation);
    }
}

// A RampCurve, or a ramp parameter's entries read in place, as the
// evaluation sees them: a count, and per entry a position, an
// interpolation code and a value.
struct CopiedScalars {
    const RampCurve &c;
    int count() const { return c.count; }
    float position(int i) const { return c.position[i]; }
    int32_t interpolation(int i) const { return c.interpolation[i]; }
    float value(int i) const { return c.value[i]; }
};
struct CopiedColors {
    const RampCurve &c;
    int count() const { return c.count; }
    float position(int i) const { return c.position[i]; }
    int32_t interpolation(int i) const { return c.interpolation[i]; }
    const xrColor &value(int i) const { return c.color[i]; }
};
template <class Entry, int kCount = 0>
struct InPlace {
    const Entry *e;
    int n;  // kCount when that is given
    int count() const { return kCount ? kCount : n; }
    float position(int i) const { return e[i].position; }
    int32_t interpolation(int i) const { return e[i].interpolation; }
    const decltype(Entry::value) &value(int i) const { return e[i].value; }
};

// The entries around x: lo the greatest position below x (until one is
// seen, the smallest position), hi the smallest at or above x (until one is
// seen, the greatest). Earlier entries win ties.
struct Neighbours {
    int lo = 0, hi = 0;
};

template <class Curve>
Neighbours neighbours(const Curve &c, float x) {
    Neighbours nb;
    bool loBelow = c.position(0) < x, hiAbove = c.position(0) >= x;
    for (int i = 1; i < c.count(); ++i) {
        const float p = c.position(i);
        if (p < x) {
            if (!loBelow || p > c.position(nb.lo)) nb.lo = i;
            loBelow = true;
            if (!hiAbove && p > c.position(nb.hi)) nb.hi = i;
        } else {
            if (!hiAbove || p < c.position(nb.hi)) nb.hi = i;
            hiAbove = true;
            if (!loBelow && p < c.position(nb.lo)) nb.lo = i;
        }
    }
    return nb;
}

// Weight of hi for the non-spline codes.
template <class Curve>
float weight(const Curve &c, const Neighbours &nb, float x) {
    const int code = c.interpolation(nb.lo);
    if (code != kRampLinear && code != kRampSmooth) return 0.0f;
    const float p1 = c.position(nb.lo), p2 = c.position(nb.hi);
    if (p1 >= x) return 0.0f;
    if (x >= p2) return 1.0f;
    const float u = (x - p1) / (p2 - p1);
    return code == kRampLinear ? u : rampSmoothWeight(u);
}

// Spline support: the entries just outside lo and hi (lo or hi themselves
// when there are none).
struct SplineSpan {
    int prev, next;
    float p0, p1, p2, p3;
};

template <class Curve>
SplineSpan splineSpan(const Curve &c, const Neighbours &nb) {
    SplineSpan s{nb.lo, nb.hi, 0, c.position(nb.lo), c.position(nb.hi), 0};
    for (int i = 0; i < c.count(); ++i) {
        if (c.position(i) < s.p1 && (s.prev == nb.lo || c.position(i) > c.position(s.prev))) s.prev = i;
        if (c.position(i) > s.p2 && (s.next == nb.hi || c.position(i) < c.position(s.next))) s.next = i;
    }
    const float d = s.p2 - s.p1;
    s.p0 = s.prev == nb.lo ? s.p1 - d : c.position(s.prev);
    s.p3 = s.next == nb.hi ? s.p2 + d : c.position(s.next);
    return s;
}

// The cubic through (p1, y1) and (p2, y2) with slopes from the outer
// entries; only called for p1 < x < p2.
float spline(const SplineSpan &s, float y0, float y1, float y2, float y3, float x) {
    const float d = s.p2 - s.p1, dv = y2 - y1;
    const float k = std::max(1e-5f, 0.2f * d);
    const float m1 = (y2 - y0) * 0.2f * d / std::max(1e-5f, s.p2 - s.p0) / k;
    const float m2 = (y3 - y1) * 0.2f * d / std::max(1e-5f, s.p3 - s.p1) / k;
    const float t = x - s.p1;
    return y1 + m1 * t + (3.0f * dv - 2.0f * m1 * d - m2 * d) / (d * d) * t * t +
           (m1 * d + m2 * d - 2.0f * dv) / (d * d * d) * t * t * t;
}

// A scalar curve of at least one entry at x.
template <class Curve>
float scalarAt(const Curve &c, float x) {
    const Neighbours nb = neighbours(c, x);
    const float y1 = c.value(nb.lo), y2 = c.value(nb.hi);
    if (c.interpolation(nb.lo) != kRampSpline) {
        const float w = weight(c, nb, x);
        return w * y2 + (1.0f - w) * y1;
    }
    if (c.position(nb.lo) >= x) return y1;
    if (x >= c.position(nb.hi)) return y2;
    const SplineSpan s = splineSpan(c, nb);
    return spline(s, c.value(s.prev), y1, y2, c.value(s.next), x);
}

// A colour curve of at least one entry at x.
template <class Curve>
xrColor colorAt(const Curve &c, float x) {
    const Neighbours nb = neighbours(c, x);
    const xrColor &c1 = c.value(nb.lo), &c2 = c.value(nb.hi);
    if (c.interpolation(nb.lo) != kRampSpline) {
        const float w = weight(c, nb, x);
        return {w * c2.r + (1.0f - w) * c1.r, w * c2.g + (1.0f - w) * c1.g, w * c2.b + (1.0f - w) * c1.b,
                w * c2.a + (1.0f - w) * c1.a};
    }
    if (c.position(nb.lo) >= x) return c1;
    if (x >= c.position(nb.hi)) return c2;
    const SplineSpan s = splineSpan(c, nb);
    const xrColor &c0 = c.value(s.prev), &c3 = c.value(s.next);
    return {spline(s, c0.r, c1.r, c2.r, c3.r, x), spline(s, c0.g, c1.g, c2.g, c3.g, x),
            spline(s, c0.b, c1.b, c2.b, c3.b, x), spline(s, c0.a, c1.a, c2.a, c3.a, x)};
}

}  // namespace

void loadRamp(xrState *state, const Array<ScalarRampEntry> *ramp, RampCurve &curve) {
    load(state, ramp, curve, RampCurve::kScalar, [&](int k, float v) { curve.value[k] = v; });
}

void loadRamp(xrState *state, const Array<ColorRampEntry> *ramp, RampCurve &curve) {
    load(state, ramp, curve, RampCurve::kColor, [&](int k, const xrColor &v) { curve.color[k] = v; });
}

float rampValue(const RampCurve &c, float x) {
    if (c.kind != RampCurve::kScalar || c.count < 1) return 0.0f;
    return scalarAt(CopiedScalars{c}, x);
}

xrColor rampColor(const RampCurve &c, float x) {
    if (c.kind != RampCurve::kColor || c.count < 1) return {0.0f, 0.0f, 0.0f, 0.0f};
    return colorAt(CopiedColors{c}, x);
}

// Two entries (the common varying ramp) with the entry loops unrolled.
float rampValue(const ScalarRampEntry *entries, int count, float x) {
    count = std::min(count, kRampCurveMax);
    if (count == 2) return scalarAt(InPlace<ScalarRampEntry, 2>{entries, 2}, x);
    return count < 1 ? 0.0f : scalarAt(InPlace<ScalarRampEntry>{entries, count}, x);
}

xrColor rampColor(const ColorRampEntry *entries, int count, float x) {
    count = std::min(count, kRampCurveMax);
    if (count == 2) return colorAt(InPlace<ColorRampEntry, 2>{entries, 2}, x);
    return count < 1 ? xrColor{0.0f, 0.0f, 0.0f, 0.0f} : colorAt(InPlace<ColorRampEntry>{entries, count}, x);
}

}  // namespace veko
