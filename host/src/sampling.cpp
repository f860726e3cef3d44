// Low-discrepancy sampling: pixel sample positions, pixel filters and the
// host's sample sequences (xr_sample). Every sequence is keyed by the pixel,
// the pixel sample, the ray's nesting depth and the count of sequences
// started at that state, so a sample's values do not depend on which thread
// renders it.
#include <algorithm>
#include <cmath>

#include "render_internal.h"

namespace vh {

namespace {

inline uint32_t reverseBits(uint32_t v) {
    v = ((v >> 1) & 0x55555555U) | ((v & 0x55555555U) << 1);
    v = ((v >> 2) & 0x33333333U) | ((v & 0x33333333U) << 2);
    v = ((v >> 4) & 0x0F0F0F0FU) | ((v & 0x0F0F0F0FU) << 4);
    v = ((v >> 8) & 0x00FF00FFU) | ((v & 0x00FF00FFU) << 8);
    return (v >> 16) | (v << 16);
}

// Second dimension of the Sobol sequence; with the van der Corput sequence
// as the first it forms a (0,2)-sequence in base 2.
// Its direction numbers: v0 = 2^31, v(k+1) = vk ^ (vk >> 1).
struct SobolDirections {
    uint32_t v[32];
    constexpr SobolDirections() : v{} {
        uint32_t d = 1U << 31;
        for (int k = 0; k < 32; ++k, d ^= d >> 1) v[k] = d;
    }
};
constexpr SobolDirections kSobol;

inline uint32_t sobolSecond(uint32_t i) {
    uint32_t r = 0;
    for (; i; i &= i - 1) r ^= kSobol.v[__builtin_ctz(i)];
    return r;
}

inline float toUnit(uint32_t bits) { return unitFromBits(bits); }

const uint32_t kPrimes[] = {5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61};

}  // namespace

void sobolBits(uint32_t i, uint32_t bits[2]) {
    bits[0] = reverseBits(i);
    bits[1] = sobolSecond(i);
}

void sobol2(uint32_t i, uint32_t scramble, float out[2]) {
    // Random digit scrambling (an XOR per dimension) keeps the net property.
    uint32_t words[2];
    sobolScrambles(scramble, words);
    out[0] = toUnit(reverseBits(i) ^ words[0]);
    out[1] = toUnit(sobolSecond(i) ^ words[1]);
}

float radicalInverse(uint32_t base, uint32_t i) {
    double inv = 1.0 / base, f = inv, r = 0;
    while (i) {
        r += f * (i % base);
        i /= base;
        f *= inv;
    }
    return float(std::min(r, 0.99999994));
}

float filterWeight(FilterType f, float width, float dx, float dy) {
    const float r = width * 0.5f;
    if (r <= 0) return 1;
    const float x = std::fabs(dx) / r, y = std::fabs(dy) / r;
    if (x > 1 || y > 1) return 0;
    switch (f) {
        case FilterType::Box:
            return 1;
        case FilterType::Triangle:
            return (1 - x) * (1 - y);
        case FilterType::Gaussian: {
            const float e = std::exp(-2.0f);
            auto g = [e](float t) { return std::max(0.0f, std::exp(-2.0f * t * t) - e); };
            return g(x) * g(y);
        }
        case FilterType::Mitchell: {
            auto m = [](float t) {
                t *= 2;  // support [-2, 2]
                const float B = 1.0f / 3, C = 1.0f / 3;
                if (t < 1)
                    return ((12 - 9 * B - 6 * C) * t * t * t + (-18 + 12 * B + 6 * C) * t * t + (6 - 2 * B)) / 6;
                return ((-B - 6 * C) * t * t * t + (6 * B + 30 * C) * t * t + (-12 * B - 48 * C) * t + (8 * B + 24 * C)) / 6;
            };
            return m(x) * m(y);
        }
    }
    return 1;
}

}  // namespace vh

using namespace vh;

extern "C" __attribute__((visibility("default"))) xrBoolean xr_sample(float *sample, xrInteger *instance, xrState *state,
                                                                      xrInteger dimension, xrInteger *count) {
    if (!sample || !instance || dimension < 1) return 0;
    const xrInteger n = count ? *count : 1;
    if (*instance < 0 || *instance >= n) return 0;
    const uint32_t i = uint32_t(*instance);

    // The sequence key: pixel, pixel sample, depth and sequence number of
    // the state (a new loop starts with instance 0).
    uint32_t key;
    RayData *rd = rayDataOf(state);
    if (rd) {
        if (i == 0) ++rd->sequence;
        key = hashCombine(sequenceBase(*rd), rd->sequence);
    } else {
        key = hashU32(uint32_t(reinterpret_cast<uintptr_t>(state)));
    }
    float two[2];
    sobol2(i, key, two);
    sample[0] = two[0];
    if (dimension > 1) sample[1] = two[1];
    for (int d = 2; d < dimension; ++d) {
        // Further dimensions: Halton with a random rotation per dimension.
        const uint32_t base = kPrimes[(d - 2) % 16];
        float v = radicalInverse(base, i) + toUnit(hashCombine(key, uint32_t(d)));
        sample[d] = v >= 1 ? v - 1 : v;
    }
    ++*instance;
    return 1;
}

extern "C" __attribute__((visibility("default"))) xrBoolean xr_sample_scope_begin(xrState *state, xrInteger key) {
    vh::RayData *rd = vh::rayDataOf(state);
    if (!rd || rd->scoped) return 0;
    rd->scoped = true;
    rd->scopeKey = vh::hashU32(uint32_t(key));
    rd->scopeDepth = rd->depth;
    rd->savedSequence = rd->sequence;
    rd->savedLightSequence = rd->lightSequence;
    rd->sequence = rd->lightSequence = 0;
    return 1;
}

extern "C" __attribute__((visibility("default"))) void xr_sample_scope_end(xrState *state) {
    vh::RayData *rd = vh::rayDataOf(state);
    if (!rd || !rd->scoped) return;
    rd->scoped = false;
    rd->sequence = rd->savedSequence;
    rd->lightSequence = rd->savedLightSequence;
}
