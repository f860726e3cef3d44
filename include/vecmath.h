// Colour and vector arithmetic on the host's value types, shared by every
// node. Add a helper here rather than a local copy in a node file.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "xr.h"

namespace veko {

constexpr float kPi = 3.14159265358979323846f;
constexpr float kTwoPi = 6.28318530717958647692f;

// ---------------------------------------------------------------------------
// Colours (r, g, b, a).
inline xrColor rgba(float r, float g, float b, float a) { return {r, g, b, a}; }
inline xrColor grey(float v, float a = 0.0f) { return {v, v, v, a}; }
inline xrColor mul(const xrColor &a, const xrColor &b) { return {a.r * b.r, a.g * b.g, a.b * b.b, a.a * b.a}; }
inline xrColor mulRGB(const xrColor &a, const xrColor &b) { return {a.r * b.r, a.g * b.g, a.b * b.b, a.a}; }
inline xrColor scale(const xrColor &a, float s) { return {a.r * s, a.g * s, a.b * s, a.a * s}; }
inline xrColor add(const xrColor &a, const xrColor &b) { return {a.r + b.r, a.g + b.g, a.b + b.b, a.a + b.a}; }
inline xrColor sub(const xrColor &a, const xrColor &b) { return {a.r - b.r, a.g - b.g, a.b - b.b, a.a - b.a}; }
inline void addTo(xrColor &a, const xrColor &b) { a = add(a, b); }
inline void addScaled(xrColor &a, const xrColor &b, float s) {
    a.r += b.r * s; a.g += b.g * s; a.b += b.b * s; a.a += b.a * s;
}
// std::fmax inline (it is a library call without -ffinite-math-only): a NaN
// argument gives the other argument.
inline float fmaxInline(float a, float b) { return (a > b || b != b) ? a : b; }
inline float maxRGB(const xrColor &c) { return fmaxInline(c.r, fmaxInline(c.g, c.b)); }
// True when every one of r, g, b is below `eps`.
inline bool blackRGB(const xrColor &c, float eps = 1e-5f) { return c.r < eps && c.g < eps && c.b < eps; }
inline xrColor oneMinusRGB(const xrColor &c) { return {1.0f - c.r, 1.0f - c.g, 1.0f - c.b, 1.0f - c.a}; }
inline void scaleRGB(xrColor &c, float s) { c.r *= s; c.g *= s; c.b *= s; }
// a += b s on r, g, b; alpha unchanged.
inline void addScaledRGB(xrColor &a, const xrColor &b, float s) { a.r += b.r * s; a.g += b.g * s; a.b += b.b * s; }
inline void mulRGBInPlace(xrColor &c, const xrColor &k) { c.r *= k.r; c.g *= k.g; c.b *= k.b; }
// a + (b - a) t on r, g, b; alpha 0.
inline xrColor mixRGB(const xrColor &a, const xrColor &b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, 0.0f};
}
// a + (b - a) t on all four channels.
inline xrColor lerp(const xrColor &a, const xrColor &b, float t) {
    return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t, a.a + (b.a - a.a) * t};
}
inline float luminance(const xrColor &c) { return 0.3f * c.r + 0.59f * c.g + 0.11f * c.b; }

// ---------------------------------------------------------------------------
// Vectors (x, y, z).
inline float dot(const xrVector &a, const xrVector &b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
inline float length(const xrVector &a) { return std::sqrt(dot(a, a)); }
inline xrVector cross(const xrVector &a, const xrVector &b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
inline xrVector vadd(const xrVector &a, const xrVector &b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline xrVector vsub(const xrVector &a, const xrVector &b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline xrVector vscale(const xrVector &a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline xrVector vneg(const xrVector &a) { return {-a.x, -a.y, -a.z}; }
inline xrVector vmul(const xrVector &a, const xrVector &b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline xrVector vlerp(const xrVector &a, const xrVector &b, float t) {
    return {a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t, a.z + (b.z - a.z) * t};
}
// Unit vector along `a`; `a` unchanged when its length is 0.
inline xrVector normalize(const xrVector &a) {
    const float l = length(a);
    return l > 0.0f ? vscale(a, 1.0f / l) : a;
}
// Component access for per-component loops over three-float records.
inline float *comp(xrVector &v) { return &v.x; }
inline const float *comp(const xrVector &v) { return &v.x; }

// ---------------------------------------------------------------------------
// Matrices (16 floats).
// Whether m is the identity bit for bit (a -0 entry counts as not): a
// placement that is the identity can skip its transform.
inline bool isIdentityMatrix(const float *m) {
    static constexpr float id[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    uint64_t diff = 0;
    for (int i = 0; i < 16; i += 2) {
        uint64_t a, b;
        std::memcpy(&a, m + i, 8);
        std::memcpy(&b, id + i, 8);
        diff |= a ^ b;
    }
    return diff == 0;
}

// ---------------------------------------------------------------------------
// Scalars.
inline float clamp01(float v) { return v < 0.0f ? 0.0f : (v > 1.0f ? 1.0f : v); }
inline float smoothstep01(float t) { t = clamp01(t); return t * t * (3.0f - 2.0f * t); }

// e^x for x in [-87, 0] with a relative error below 1e-5, several times
// cheaper than std::exp: 2^(x log2 e) split into the nearest integer power,
// set in the exponent bits, and a polynomial for 2^f on [-0.5, 0.5].
inline float expNonPositive(float x) {
    if (!(x > -87.0f)) return 0.0f;
    const float t = x * 1.44269504f;
    const int i = static_cast<int>(t - 0.5f);  // t <= 0: rounds to nearest
    const float f = t - static_cast<float>(i);
    float p = 1.535336188319500e-4f;
    p = p * f + 1.339887440266574e-3f;
    p = p * f + 9.618437357674640e-3f;
    p = p * f + 5.550332471162809e-2f;
    p = p * f + 2.402264791363012e-1f;
    p = p * f + 6.931472028550421e-1f;
    p = p * f + 1.0f;
    int32_t bits;
    std::memcpy(&bits, &p, sizeof bits);
    bits += static_cast<int32_t>(static_cast<uint32_t>(i) << 23);
    std::memcpy(&p, &bits, sizeof p);
    return p;
}

}  // namespace veko
