// The final-gather point cache of a render session. xr_finalgather_store
// gathers at a surface point and keeps the point, its normal, the average
// radiance and a validity radius (a quarter of the harmonic mean distance of
// the surfaces its gather rays hit, clamped); xr_compute_avg_radiance interpolates the stored points
// that cover a point and face its way, and gathers afresh where none does.
// The render itself never stores: what a gather returns depends only on
// what was stored before the render (a bake's prebake), not on the order in
// which threads shade.
#pragma once

#include <atomic>
#include <cstdint>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "xr.h"

namespace vh {

struct GatherPoint {
    xrVector point, normal;
    xrColor radiance;
    float radius;
};

class GatherCache {
public:
    // Adds a point. `cell`: the width of the cache's cells, taken from the
    // first store (the largest radius a point may have).
    void store(const GatherPoint &p, float cell);
    // The weighted mean of the stored points whose radius covers `p` and
    // whose normal is within about 18 degrees of `n`; false when none is.
    bool lookup(const xrVector &p, const xrVector &n, xrColor &out) const;
    size_t size() const { return count_.load(std::memory_order_acquire); }

private:
    uint64_t cellKey(int x, int y, int z) const;
    int cellOf(float v) const;
    mutable std::shared_mutex mutex_;
    std::vector<GatherPoint> points_;
    std::unordered_map<uint64_t, std::vector<uint32_t>> cells_;
    std::atomic<size_t> count_{0};
    float cell_ = 0;
};

// trace.cpp: the ray count of a final gather at `state` (0: none is taken)
// and the brute-force gather over the hemisphere.
int gatherRayCount(xrState *state, const void *settings);
void gatherHemisphere(xrState *state, int n, xrColor &average, float *harmonicDistance);

}  // namespace vh
