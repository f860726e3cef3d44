// Integration of volume events: sorting by distance, the shadow
// transmittance and the colour integral of veko_volumesampler. Pure
// arithmetic on the popped event array (no host calls).
#include <algorithm>
#include <cmath>

#include "volume.h"

namespace veko {

namespace {

constexpr float kTiny = 0.00001f;
constexpr float kOpaqueMark = 10000000.0f;  // point-sample components above this block all light
constexpr float kStopTransmittance = 0.0001f;

inline bool allBelow(const float *c, float limit) { return c[0] < limit && c[1] < limit && c[2] < limit; }
inline bool allAbove(const xrColor &c, float limit) { return c.r > limit && c.g > limit && c.b > limit; }
inline float *rgb(xrColor &c) { return &c.r; }
inline const float *rgb(const xrColor &c) { return &c.r; }

// ---------------------------------------------------------------------------
// Sorting: ascending by distance, ties in push order, so the result does not
// depend on the pivot choice (and a render not on its thread count). The
// push order sits in the node's `next` word, which is free once popped.
inline uintptr_t order(const VolumeSampleNode &n) { return reinterpret_cast<uintptr_t>(n.next); }
inline float sortKey(float d) { return std::isnan(d) ? INFINITY : d; }
inline bool before(const VolumeSampleNode &a, const VolumeSampleNode &b) {
    const float da = sortKey(a.distance), db = sortKey(b.distance);
    return da < db || (da == db && order(a) < order(b));
}

// Quicksort: the middle element is the pivot, swapped to the top; the
// partition scans with two indices; the smaller part is recursed into and
// the larger one iterated, so the stack depth stays logarithmic.
void sortNodes(VolumeSampleNode *a, int lo, int hi) {
    while (lo < hi) {
        const int mid = lo + (hi - lo) / 2;
        std::swap(a[mid], a[hi]);
        const VolumeSampleNode &pivot = a[hi];
        int i = lo - 1;
        for (int j = lo; j < hi; ++j)
            if (before(a[j], pivot)) std::swap(a[++i], a[j]);
        std::swap(a[i + 1], a[hi]);
        const int p = i + 1;
        if (p - lo < hi - p) {
            sortNodes(a, lo, p - 1);
            lo = p + 1;
        } else {
            sortNodes(a, p + 1, hi);
            hi = p - 1;
        }
    }
}

// Extinction of a segment event from its transparency over its length; a
// segment without length has none.
inline float segmentExtinction(float t, float length) {
    if (!(length > 0.0f)) return 0.0f;
    return -std::log(std::clamp(t, kTiny, 0.99999f)) / length;
}

}  // namespace

void sortVolumeEvents(VolumeSampleNode *a, int n) {
    for (int i = 0; i < n; ++i) a[i].next = reinterpret_cast<VolumeSampleNode *>(uintptr_t(i));
    sortNodes(a, 0, n - 1);
}

// ---------------------------------------------------------------------------
// Shadow transmittance of the events.
xrColor volumeShadowTransmittance(VolumeSampleNode *a, int n) {
    if (n == 2 && a[0].kind == kVolSegmentStart) return a[0].sample.outTransparency;
    for (int i = 0; i < n; ++i) {
        VolumeSampleNode &e = a[i];
        float *t = rgb(e.sample.outTransparency);
        if (e.kind == kVolSegmentStart || e.kind == kVolSegmentEnd)
            for (int c = 0; c < 3; ++c) t[c] = segmentExtinction(t[c], e.length);
        if (e.kind == kVolSegmentEnd || e.kind == kVolWeightedEnd)
            for (int c = 0; c < 3; ++c) t[c] = -t[c];
        if (e.kind == kVolWeightedEnd) e.density = -e.density;
    }
    sortVolumeEvents(a, n);
    xrColor T{1, 1, 1, 1};
    float sigma[3] = {0, 0, 0};
    int active = 0;
    float prev = n > 0 ? a[0].distance : 0.0f;
    for (int i = 0; i < n; ++i) {
        const VolumeSampleNode &e = a[i];
        const float delta = e.distance - prev;
        prev = e.distance;
        if (active >= 1 && delta > kTiny)
            for (int c = 0; c < 3; ++c) rgb(T)[c] *= std::exp(-sigma[c] * delta);
        const float *t = rgb(e.sample.outTransparency);
        if (e.kind == kVolPoint) {
            if (allAbove(e.sample.outTransparency, kOpaqueMark))
                T.r = T.g = T.b = 0.0f;
            else
                for (int c = 0; c < 3; ++c) rgb(T)[c] *= t[c];
        } else {
            active += (e.kind == kVolSegmentStart || e.kind == kVolWeightedStart) ? 1 : -1;
            for (int c = 0; c < 3; ++c) sigma[c] = std::max(sigma[c] + t[c], kTiny);
        }
        if (allBelow(rgb(T), kStopTransmittance)) break;
    }
    return T;
}

// ---------------------------------------------------------------------------
// Colour integration of the events into colour S, glow G, matte opacity M
// and transmittance T.
VolumeIntegral integrateVolumeEvents(VolumeSampleNode *a, int n) {
    if (n == 2 && a[0].kind == kVolSegmentStart) {
        const VolumeSampleResult &s = a[0].sample;
        return {s.outColor, s.outGlowColor, s.outMatteOpacity, s.outTransparency};
    }
    // Prepare each event: segment events turn their colours into emission
    // coefficients, their transparency into an extinction (kept in
    // outTransparency) and their matte into a matte extinction (kept in
    // outMatteOpacity). Point events keep a matte transmittance there.
    bool matteUnset = false, matteIsTransparency = true;
    for (int i = 0; i < n; ++i) {
        VolumeSampleNode &e = a[i];
        VolumeSampleResult &s = e.sample;
        float *col = rgb(s.outColor), *glow = rgb(s.outGlowColor), *mat = rgb(s.outMatteOpacity);
        float *t = rgb(s.outTransparency);
        const bool unset = s.outMatteOpacity.r == kMatteUnset;
        if (e.kind == kVolPoint) {
            if (unset) {
                matteUnset = true;
                mat[0] = mat[1] = mat[2] = 0.0f;
            } else {
                for (int c = 0; c < 3; ++c) {
                    mat[c] = 1.0f - mat[c];
                    if (std::fabs(mat[c] - t[c]) >= kTiny) matteIsTransparency = false;
                }
            }
            continue;
        }
        if (e.kind == kVolSegmentStart || e.kind == kVolSegmentEnd) {
            float m[3] = {0, 0, 0};
            bool same = true;
            if (unset) {
                matteUnset = true;
            } else {
                for (int c = 0; c < 3; ++c) {
                    m[c] = 1.0f - mat[c];
                    if (std::fabs(m[c] - t[c]) >= kTiny) same = false;
                }
                if (!same) matteIsTransparency = false;
            }
            for (int c = 0; c < 3; ++c) {
                const float tc = std::clamp(t[c], kTiny, 0.99999f);
                const float sigma = e.length > 0.0f ? -std::log(tc) / e.length : 0.0f;
                col[c] = col[c] / (1.0f - tc) * sigma;
                glow[c] = glow[c] / (1.0f - tc) * sigma;
                if (unset)
                    mat[c] = 0.0f;
                else if (same)
                    mat[c] = sigma;
                else
                    mat[c] = e.length > 0.0f ? -std::log(std::max(std::fabs(m[c]), kTiny)) / e.length : 0.0f;
                t[c] = sigma;
            }
        } else {  // weighted segments carry their extinction
            for (int c = 0; c < 3; ++c) mat[c] = t[c];
        }
        if (e.kind == kVolSegmentEnd || e.kind == kVolWeightedEnd) {
            for (int c = 0; c < 3; ++c) {
                col[c] = -col[c];
                glow[c] = -glow[c];
                mat[c] = -mat[c];
                t[c] = -t[c];
            }
            if (e.kind == kVolWeightedEnd) e.density = -e.density;
        }
    }
    const bool trackMatte = !matteUnset && !matteIsTransparency;

    sortVolumeEvents(a, n);
    VolumeIntegral r{};
    r.T = {1, 1, 1, 1};
    xrColor Tm{1, 1, 1, 1};
    float emit[3] = {0, 0, 0}, emitGlow[3] = {0, 0, 0};   // kinds 0/1
    float wCol[3] = {0, 0, 0}, wGlow[3] = {0, 0, 0};       // kinds 2/3
    float weight = 0.0f, sigma[3] = {0, 0, 0}, matteSigma[3] = {0, 0, 0};
    int active = 0;
    float prev = n > 0 ? a[0].distance : 0.0f;
    for (int i = 0; i < n; ++i) {
        const VolumeSampleNode &e = a[i];
        const VolumeSampleResult &s = e.sample;
        const float delta = e.distance - prev;
        prev = e.distance;
        if (active >= 1 && delta > kTiny) {
            for (int c = 0; c < 3; ++c) {
                const float absorbed = (1.0f - std::exp(-sigma[c] * delta)) * rgb(r.T)[c];
                const float wc = weight > kTiny ? wCol[c] / weight : 0.0f;
                const float wg = weight > kTiny ? wGlow[c] / weight : 0.0f;
                rgb(r.S)[c] += (emit[c] / sigma[c] + wc) * absorbed;
                rgb(r.G)[c] += (emitGlow[c] / sigma[c] + wg) * absorbed;
                if (trackMatte) rgb(Tm)[c] *= std::exp(-matteSigma[c] * delta);
                rgb(r.T)[c] -= absorbed;
            }
        }
        if (e.kind == kVolPoint) {
            for (int c = 0; c < 3; ++c) {
                rgb(r.S)[c] += rgb(s.outColor)[c] * rgb(r.T)[c];
                rgb(r.G)[c] += rgb(s.outGlowColor)[c] * rgb(r.T)[c];
            }
            if (allAbove(s.outMatteOpacity, kOpaqueMark))
                Tm.r = Tm.g = Tm.b = 0.0f;
            else
                for (int c = 0; c < 3; ++c) rgb(Tm)[c] *= rgb(s.outMatteOpacity)[c];
            if (allAbove(s.outTransparency, kOpaqueMark))
                r.T.r = r.T.g = r.T.b = 0.0f;
            else
                for (int c = 0; c < 3; ++c) rgb(r.T)[c] *= rgb(s.outTransparency)[c];
        } else {
            const bool weighted = e.kind == kVolWeightedStart || e.kind == kVolWeightedEnd;
            active += (e.kind == kVolSegmentStart || e.kind == kVolWeightedStart) ? 1 : -1;
            for (int c = 0; c < 3; ++c) {
                if (weighted) {
                    wCol[c] += rgb(s.outColor)[c];
                    wGlow[c] += rgb(s.outGlowColor)[c];
                } else {
                    emit[c] += rgb(s.outColor)[c];
                    emitGlow[c] += rgb(s.outGlowColor)[c];
                }
                sigma[c] = std::max(sigma[c] + rgb(s.outTransparency)[c], kTiny);
                matteSigma[c] += rgb(s.outMatteOpacity)[c];
            }
            if (weighted) weight += e.density;
        }
        if (allBelow(rgb(r.T), kStopTransmittance)) break;
    }
    if (matteUnset) {
        r.M = {kMatteUnset, kMatteUnset, kMatteUnset, 0.0f};
    } else {
        const xrColor &src = trackMatte ? Tm : r.T;
        r.M = {1.0f - src.r, 1.0f - src.g, 1.0f - src.b, 1.0f - src.a};
    }
    return r;
}

}  // namespace veko
