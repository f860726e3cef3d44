// Light profiles: a measured intensity distribution sampled by direction.
// A profile element holds a table of (angle from the light's -z axis in
// degrees, intensity) pairs, ascending in angle; the light's direction to
// the point is taken into light space and the table is interpolated
// linearly. Normalised lookups divide by the table's peak.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "vekohost/host.h"

namespace vh {

xrTag createLightProfile(const std::vector<std::pair<float, float>> &table) {
    std::vector<float> words(1 + 2 * table.size());
    int32_t n = int32_t(table.size());
    std::memcpy(&words[0], &n, 4);
    for (size_t i = 0; i < table.size(); ++i) {
        words[1 + 2 * i] = table[i].first;
        words[2 + 2 * i] = table[i].second;
    }
    return Database::get().create(kDbLightProfile, words.data(), words.size() * 4);
}

}  // namespace vh

extern "C" xrScalar xr_lightprofile_sample(xrState *state, xrTag profile, xrInteger normalized) {
    int type = 0;
    auto *p = static_cast<const float *>(vh::Database::get().access(profile, &type));
    if (!p) return 1.0f;
    float result = 1.0f;
    int32_t n;
    std::memcpy(&n, p, 4);
    if (type == vh::kDbLightProfile && n > 0 && state) {
        xrVector d;
        xr_vector_to_light(state, &d, &state->rayDirection);
        float len = std::sqrt(d.x * d.x + d.y * d.y + d.z * d.z);
        float angle = len > 0 ? std::acos(std::clamp(-d.z / len, -1.0f, 1.0f)) * 57.29578f : 0.0f;
        const float *t = p + 1;
        float peak = 0;
        for (int i = 0; i < n; ++i) peak = std::max(peak, t[2 * i + 1]);
        if (angle <= t[0]) result = t[1];
        else if (angle >= t[2 * (n - 1)]) result = t[2 * (n - 1) + 1];
        else
            for (int i = 0; i + 1 < n; ++i)
                if (angle <= t[2 * (i + 1)]) {
                    float a0 = t[2 * i], a1 = t[2 * (i + 1)];
                    float w = a1 > a0 ? (angle - a0) / (a1 - a0) : 0.0f;
                    result = t[2 * i + 1] * (1 - w) + t[2 * (i + 1) + 1] * w;
                    break;
                }
        if (normalized && peak > 0) result /= peak;
    } else {
        vh::hostMessage(vh::Severity::Warning, "xr_lightprofile_sample: tag " + std::to_string(profile) + " is not a light profile");
    }
    vh::Database::get().unpin(profile);
    return result;
}
