// Final gathering with a point cache: see finalgather.h.
#include "finalgather.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>

#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

// Stored points whose normal is further from the looked-up normal than this
// cosine (about 18 degrees) do not count.
constexpr float kNormalCos = 0.95f;
// A point's radius of validity as a fraction of the harmonic mean distance
// of the surfaces its gather rays hit: irradiance changes over about that
// distance.
constexpr float kRadiusScale = 0.25f;

}  // namespace

int GatherCache::cellOf(float v) const { return int(std::floor(v / cell_)); }

uint64_t GatherCache::cellKey(int x, int y, int z) const {
    auto w = [](int v) { return uint64_t(uint32_t(v) & 0x1FFFFFu); };
    return w(x) | (w(y) << 21) | (w(z) << 42);
}

void GatherCache::store(const GatherPoint &p, float cell) {
    std::unique_lock lock(mutex_);
    if (cell_ <= 0) cell_ = std::max(cell, 1e-6f);
    const uint32_t index = uint32_t(points_.size());
    points_.push_back(p);
    // The point goes into every cell its sphere of validity touches.
    const float r = std::min(p.radius, cell_);
    const int x0 = cellOf(p.point.x - r), x1 = cellOf(p.point.x + r);
    const int y0 = cellOf(p.point.y - r), y1 = cellOf(p.point.y + r);
    const int z0 = cellOf(p.point.z - r), z1 = cellOf(p.point.z + r);
    for (int z = z0; z <= z1; ++z)
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x) cells_[cellKey(x, y, z)].push_back(index);
    count_.store(points_.size(), std::memory_order_release);
}

bool GatherCache::lookup(const xrVector &p, const xrVector &n, xrColor &out) const {
    if (size() == 0) return false;
    std::shared_lock lock(mutex_);
    auto it = cells_.find(cellKey(cellOf(p.x), cellOf(p.y), cellOf(p.z)));
    if (it == cells_.end()) return false;
    // The points in a fixed order (by position), so that the sum does not
    // depend on the order in which threads stored them.
    thread_local std::vector<uint32_t> found;
    found.clear();
    for (uint32_t i : it->second)
        if (length(p - points_[i].point) < points_[i].radius) found.push_back(i);
    std::sort(found.begin(), found.end(), [this](uint32_t a, uint32_t b) {
        const xrVector &u = points_[a].point, &v = points_[b].point;
        if (u.x != v.x) return u.x < v.x;
        if (u.y != v.y) return u.y < v.y;
        return u.z < v.z;
    });
    xrColor sum{0, 0, 0, 0};
    double wsum = 0;
    for (uint32_t i : found) {
        const GatherPoint &g = points_[i];
        const xrVector d = p - g.point;
        const float dist = length(d);  // below the radius: `found` holds only such points
        const float c = dot(n, g.normal);
        if (c <= kNormalCos) continue;
        // A point well off the stored point's tangent plane (a different,
        // parallel surface) does not share its gather.
        if (std::fabs(dot(d, g.normal)) > 0.25f * g.radius) continue;
        // Falls to 0 at the edge of the radius and at the normal limit, so
        // the interpolation has no seams where points enter or leave.
        const double w = double(1 - dist / g.radius) * double((c - kNormalCos) / (1 - kNormalCos));
        if (w <= 0) continue;
        sum.r += float(w) * g.radiance.r;
        sum.g += float(w) * g.radiance.g;
        sum.b += float(w) * g.radiance.b;
        sum.a += float(w) * g.radiance.a;
        wsum += w;
    }
    if (wsum <= 0) return false;
    const float k = float(1 / wsum);
    out = {sum.r * k, sum.g * k, sum.b * k, sum.a * k};
    return true;
}

namespace {

// Radius limits in world units: the options', or a fortieth and a half of
// the scene's bounding radius.
void radiusLimits(const Scene &scene, float &lo, float &hi) {
    hi = scene.gatherMaxRadius > 0 ? scene.gatherMaxRadius : 0.5f * scene.radius;
    lo = scene.gatherMinRadius > 0 ? std::min(scene.gatherMinRadius, hi) : 0.05f * hi;
}

// xr_compute_avg_radiance past its first check (out of line: with final
// gathering off every shading point asks, and is answered without a frame).
__attribute__((noinline)) xrBoolean averageRadiance(xrColor *average, xrState *state, void *settings) {
    const int n = gatherRayCount(state, settings);
    if (n <= 0) return 0;
    RayData *rd = rayDataOf(state);
    // Strands gather over the whole sphere: the cache holds hemispheres only.
    if (rd->hairRadius <= 0 && rd->td->impl->gatherCache.lookup(state->hitPoint, state->shadingNormal, *average))
        return 1;
    gatherHemisphere(state, n, *average, nullptr);
    return 1;
}

}  // namespace

}  // namespace vh

using namespace vh;

// Average incoming radiance over the hemisphere of the shading normal (see
// gatherHemisphere): interpolated from the session's final-gather points
// where they cover the point, else gathered afresh. With final gathering
// off, or inside a gather ray, the result is black and the call fails.
// `settings` (optional) holds the size word and the ray count.
VH_EXPORT xrBoolean xr_compute_avg_radiance(xrColor *average, xrState *state, xrInteger face, void *settings) {
    (void)face;
    if (!average) return 0;
    *average = {0, 0, 0, 0};
    if (!state || !state->optionsRecord || !state->optionsRecord->finalGatherOn) return 0;
    return averageRadiance(average, state, settings);
}

// Gathers at the state's hit point and normal and keeps the result in the
// session's final-gather cache; `average` (optional) receives it. False
// (nothing stored) when final gathering is off, inside a gather ray, or at
// a strand.
VH_EXPORT xrBoolean xr_finalgather_store(xrColor *average, xrState *state, void *settings) {
    if (average) *average = {0, 0, 0, 0};
    const int n = gatherRayCount(state, settings);
    if (n <= 0) return 0;
    RayData *rd = rayDataOf(state);
    if (rd->hairRadius > 0) return 0;
    GatherCache &cache = rd->td->impl->gatherCache;
    const Scene &scene = *rd->scene;
    GatherPoint g;
    g.point = state->hitPoint;
    g.normal = normalize(state->shadingNormal);
    if (length(g.normal) == 0) return 0;
    float harmonic = 0;
    gatherHemisphere(state, n, g.radiance, &harmonic);
    float lo = 0, hi = 0;
    radiusLimits(scene, lo, hi);
    g.radius = std::clamp(std::isfinite(harmonic) ? kRadiusScale * harmonic : hi, lo, hi);
    cache.store(g, hi);
    if (average) *average = g.radiance;
    return 1;
}
