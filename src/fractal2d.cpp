// The fractal 2D textures: fractal, mountain, noise, ocean and water. Each
// runs the 2D input stage (uv, outside sentinel, filter size) and the common
// output stage around a pattern built from octave sums of the noise core.
// The noise family behind veko_noise lives here too, in 2D and 3D members.
#include "fractal2d.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "noise.h"
#include "rampcurve.h"
#include "texture.h"

namespace veko {

namespace {

// Octave loops are bounded so that a wild parameter cannot stall a render:
// past these counts the coordinates have left the noise core's range (or the
// added octaves are far below one pixel) anyway.
constexpr int kMaxOctaves = 64;
constexpr int kMaxLevels = 2048;
constexpr int kMaxWavesPerOctave = 4096;

inline float R(int32_t i) { return static_cast<float>(randomValue(i)); }

// ---------------------------------------------------------------------------
// Band limiting shared by fractal, mountain, ocean and water: the filter
// width in uv from the filter-size pair and the texture's filter controls.
float filterWidth(xrState *state, const Texture2dParams &p) {
    float fu, fv;
    textureFilterSize(state, &p.uvFilterSize, fu, fv);
    const float filter = eval(state, &p.filter);
    const float offset = eval(state, &p.filterOffset);
    return filter > 0.0f ? filter * std::sqrt(std::fabs(fu * fv)) + offset : offset;
}

// Size of a pixel relative to the base octave: |w|·32 (32 lattice cells per
// unit), at most 0.5, with a floor for vanishing widths.
float levelScale(float w) {
    if (std::fabs(w) < 1e-8f) return 3.2e-7f;
    return std::min(std::fabs(w) * 32.0f, 0.5f);
}

}  // namespace

// Fractal shaping of one octave value with `bias` (b = 0 keeps x, b = 1
// turns it into a sign, b = -1 into 0) and `inflection` (folds the value
// into ridges). Outside [-1, 1] the bias curve has poles, so it is held
// there.
float shapeOctave(float x, float bias, bool inflection) {
    const float b = std::clamp(bias, -1.0f, 1.0f);
    if (b == -1.0f) {
        x = 0.0f;
    } else if (b == 1.0f) {
        x = x < 0.0f ? -1.0f : 1.0f;
    } else if (b != 0.0f) {
        const float ax = std::fabs(x);
        const float g = (2.0f * ax - 1.0f) * b + 1.0f;
        x = x * (g - ax * b) * (b + 1.0f) * (b + 1.0f) / (g * g);
    }
    if (inflection) x = 2.0f * std::fabs(x) - 1.0f;
    return x;
}

// ===========================================================================
// Noise family.
//
// Each member: implode warp around implodeCenter, a type-dependent scale,
// then depthMax octaves; octave k sees the point times frequencyRatio^k
// (plus growing offsets) and the time times sqrt(frequencyRatio)^k, and is
// weighted by amplitude·ratio^k. R(i) is the noise core's random table; each
// octave draws its direction from R(10k + ...).

namespace {

int octaveCount(const NoiseSettings &s) { return std::clamp(s.depthMax, 0, kMaxOctaves); }

float timeStep(const NoiseSettings &s) { return std::sqrt(std::max(s.frequencyRatio, 0.0f)); }

template <int N>
void implode(float p[N], const NoiseSettings &s) {
    if (std::fabs(s.implode) < 0.00001f) return;
    float d[N], len2 = 0.0f;
    for (int a = 0; a < N; ++a) {
        d[a] = p[a] - s.implodeCenter[a];
        len2 += d[a] * d[a];
    }
    const float len = std::sqrt(len2);
    if (len <= 0.00001f) return;
    // New distance |d|^(1 - implode), same direction.
    const float f = std::pow(len, -s.implode);
    for (int a = 0; a < N; ++a) p[a] = s.implodeCenter[a] + d[a] * f;
}

// The octave's unit direction: the first pair (triple) of random values at
// 10k with a nonzero length.
template <int N>
void octaveDirection(int k, float dir[N]) {
    for (int j = 0; j < 32; ++j) {
        float len2 = 0.0f;
        for (int a = 0; a < N; ++a) {
            dir[a] = R(10 * k + N * j + a);
            len2 += dir[a] * dir[a];
        }
        if (len2 > 0.0f) {
            const float inv = 1.0f / std::sqrt(len2);
            for (int a = 0; a < N; ++a) dir[a] *= inv;
            return;
        }
    }
    for (int a = 0; a < N; ++a) dir[a] = a == 0 ? 1.0f : 0.0f;
}

// 3D classic and billow: the caller's scale (zero components count as
// 0.00001) and origin vectors.
void scaleAndOrigin3(float p[3], const NoiseSettings &s) {
    for (int a = 0; a < 3; ++a) {
        const float sc = s.scale[a] == 0.0f ? 0.00001f : s.scale[a];
        p[a] = p[a] / sc + s.origin[a];
    }
}

float finishSigned(float sum, const NoiseSettings &s) {
    const float v = s.inflection ? sum + s.threshold : sum * 0.5f + 0.5f + s.threshold;
    return std::min(v, 1.0f);
}

// Classic family in N dimensions (N = 2 or 3).
template <int N>
float classic(float p[N], const NoiseSettings &s, bool wispy, bool spaceTime) {
    static constexpr float kOffsetStep[3] = {0.02f, 0.3f, 0.01f};
    implode<N>(p, s);
    const float scale = s.frequency * 0.0625f;
    for (int a = 0; a < N; ++a) p[a] *= scale;
    if constexpr (N == 3) scaleAndOrigin3(p, s);

    float off[N] = {};
    float time = s.time, amp = s.amplitude, sum = 0.0f;
    const float tstep = timeStep(s);
    const int n = octaveCount(s);
    for (int k = 0; k < n; ++k) {
        float q[N], dir[N];
        for (int a = 0; a < N; ++a) {
            off[a] += kOffsetStep[a];
            q[a] = p[a] + off[a];
        }
        octaveDirection<N>(k, dir);
        float o;
        if (wispy) {
            // A low-frequency drift along the octave direction displaces the
            // lookup; half of it stays in the point for later octaves.
            const float r = time * 0.3f * 0.0625f + static_cast<float>(k) * 0.5f;
            float a0[N];
            for (int a = 0; a < N; ++a) a0[a] = r * dir[a] + 0.1f * q[a];
            float w;
            if constexpr (N == 2)
                w = noise2(a0[0], a0[1]) * 0.3125f;
            else
                w = noise3(a0[0], a0[1], a0[2]) * 0.3125f;
            for (int a = 0; a < N; ++a) {
                q[a] += w * dir[a];
                p[a] += w * dir[a] * 0.5f;
            }
            if constexpr (N == 2)
                o = spaceTime ? noise3(q[0], q[1], time) : noise2(q[0], q[1]);
            else
                o = spaceTime ? noise4(q[0], q[1], q[2], time, s.timeResolution)
                              : noise3(q[0], q[1], q[2]);
        } else if (spaceTime) {
            if constexpr (N == 2)
                o = noise3(q[0], q[1], time * 0.1);
            else
                o = noise4(q[0], q[1], q[2], time * 0.1, s.timeResolution);
        } else {
            const float c = static_cast<float>(k) * 0.5f + time * 0.0625f;
            for (int a = 0; a < N; ++a) q[a] += dir[a] * c;
            if constexpr (N == 2)
                o = noise2(q[0], q[1]);
            else
                o = noise3(q[0], q[1], q[2]);
        }
        time *= tstep;
        for (int a = 0; a < N; ++a) p[a] *= s.frequencyRatio;
        if (s.inflection) o = std::fabs(o);
        sum += o * amp;
        amp *= s.ratio;
    }
    return finishSigned(sum, s);
}

// Average of numWaves plane waves with random directions and phases.
template <int N>
float wave(float p[N], const NoiseSettings &s) {
    implode<N>(p, s);
    for (int a = 0; a < N; ++a) p[a] *= s.frequency;
    const int waves = std::clamp(s.numWaves, 1, kMaxWavesPerOctave);
    float time = s.time, amp = s.amplitude, sum = 0.0f;
    const float tstep = timeStep(s);
    const int n = octaveCount(s);
    for (int k = 0; k < n; ++k) {
        int32_t i = 50 * k;
        float acc = 0.0f;
        for (int w = 0; w < waves; ++w) {
            float d[N], len2 = 0.0f;
            for (int tries = 0;; ++tries) {
                len2 = 0.0f;
                for (int a = 0; a < N; ++a) {
                    d[a] = R(i + a);
                    len2 += d[a] * d[a];
                }
                if (len2 > 0.0f || tries > 32) break;
                i += N;
            }
            const float phase = R(i + N);
            const float inv = len2 > 0.0f ? 1.0f / std::sqrt(len2) : 0.0f;
            float dp = 0.0f;
            for (int a = 0; a < N; ++a) dp += d[a] * inv * p[a];
            // A point or time that is not finite (or overflowed when scaled)
            // counts as 0, as in the noise core, instead of giving NaN.
            if (!std::isfinite(dp)) dp = 0.0f;
            const float t = std::isfinite(time) ? time : 0.0f;
            acc += std::cos(phase * kPi + kTwoPi * dp + t * kPi);
            i += N + 1;
        }
        float o = acc / static_cast<float>(waves);
        time *= tstep;
        for (int a = 0; a < N; ++a) p[a] *= s.frequencyRatio;
        if (s.inflection) o = std::fabs(o);
        sum += o * amp;
        amp *= s.ratio;
    }
    return finishSigned(sum, s);
}

// One billow octave: round spots, one per cell of a periodic 20^N grid,
// wandering with time inside their cells.
template <int N>
float billowOctave(const float q[N], float time, const NoiseSettings &s) {
    const float D = std::min(s.density, 2.0f - s.randomness);
    if (!(D >= 0.0001f)) return 0.0f;
    int cell[N];
    float f[N];
    for (int a = 0; a < N; ++a) {
        // Coordinates that are not finite count as 0, as in the noise core
        // (converting them to a cell index would be undefined).
        const double qa = std::isfinite(q[a]) ? static_cast<double>(q[a]) : 0.0;
        const float x = static_cast<float>(frac(qa)) * 20.0f;
        cell[a] = std::min(static_cast<int>(x), 19);
        f[a] = x - static_cast<float>(cell[a]);
    }
    const float halfRand = s.randomness * 0.5f;
    float total = 0.0f;
    const int zlo = N == 3 ? -1 : 0, zhi = N == 3 ? 1 : 0;
    for (int dz = zlo; dz <= zhi; ++dz)
        for (int dy = -1; dy <= 1; ++dy)
            for (int dx = -1; dx <= 1; ++dx) {
                const int delta[3] = {dx, dy, dz};
                int c = 0, stride = 1;
                for (int a = 0; a < N; ++a) {
                    int nc = cell[a] + delta[a];
                    if (nc < 0) nc += 20;
                    if (nc >= 20) nc -= 20;
                    c += nc * stride;
                    stride *= 20;
                }
                float centre[N];
                if constexpr (N == 2) {
                    centre[0] = 0.5f + std::sin(R(c) * kTwoPi + 2.0f * time) * halfRand;
                    centre[1] = 0.5f + std::cos(R(c + 1) * kTwoPi + time) * halfRand;
                } else {
                    centre[0] = 0.5f + std::sin(R(c) * kTwoPi + 2.0f * time) * halfRand;
                    centre[1] = 0.5f + std::cos(R(c + 1) * kTwoPi + 1.5f * time) * halfRand;
                    centre[2] = 0.5f + std::cos(R(c + 2) * kTwoPi + time) * halfRand;
                }
                float d2 = 0.0f;
                for (int a = 0; a < N; ++a) {
                    const float o = f[a] - static_cast<float>(delta[a]) - centre[a];
                    d2 += o * o;
                }
                d2 = d2 * 2.0f / D;
                if (s.sizeRand > 0.0f) {
                    // Spot size factor in (1 - sizeRand, 1); a factor at or
                    // below 0 (sizeRand > 1) means a spot of no size.
                    const float size = (R(c + N) - 1.0f) * s.sizeRand * 0.5f + 1.0f;
                    if (size <= 0.0f) continue;
                    d2 /= size;
                }
                if (!(d2 < 1.0f)) continue;
                float spot;
                switch (s.falloff) {
                    case 0: spot = 1.0f - std::sqrt(d2); break;
                    case 1: spot = (2.0f * std::sqrt(d2) - 3.0f) * d2 + 1.0f; break;
                    case 2: spot = 1.0f - d2; break;
                    case 3: {
                        const float b = d2 * 1.1f;
                        spot = b <= 1.0f ? b : 1.0f - (b - 1.0f) * 10.0f;
                        break;
                    }
                    default: spot = 0.0f; break;
                }
                if (s.spottyness > 0.0f)
                    spot *= (R(c + N + 1) + 1.0f) * s.spottyness + 1.0f - s.spottyness;
                total += spot;
            }
    return total;
}

template <int N>
float billow(float p[N], const NoiseSettings &s) {
    static constexpr float kOffsetStep[3] = {0.021f, 0.33f, 0.011f};
    implode<N>(p, s);
    const float scale = s.frequency / 20.0f;
    for (int a = 0; a < N; ++a) p[a] *= scale;
    if constexpr (N == 3) scaleAndOrigin3(p, s);
    float off[N] = {};
    float time = s.time, amp = 1.0f, sum = 0.0f, weights = 0.0f;
    const float tstep = timeStep(s);
    const int n = octaveCount(s);
    for (int k = 0; k < n; ++k) {
        float q[N];
        for (int a = 0; a < N; ++a) {
            off[a] += kOffsetStep[a];
            q[a] = p[a] + off[a];
        }
        float o = billowOctave<N>(q, time, s);
        time *= tstep;
        for (int a = 0; a < N; ++a) p[a] *= s.frequencyRatio;
        if (s.inflection) o = std::fabs(o);
        sum += o * amp;
        weights += amp;
        amp *= s.ratio;
    }
    // Weights summing to 0 (ratio -1) leave no meaningful average.
    const float avg = weights != 0.0f ? sum * s.amplitude / weights : 0.0f;
    return std::min(avg + s.threshold, 1.0f);
}

}  // namespace

float noiseClassic2(float p[2], const NoiseSettings &s, bool wispy, bool spaceTime) {
    return classic<2>(p, s, wispy, spaceTime);
}
float noiseBillow2(float p[2], const NoiseSettings &s) { return billow<2>(p, s); }
float noiseWave2(float p[2], const NoiseSettings &s) { return wave<2>(p, s); }
float noiseClassic3(float p[3], const NoiseSettings &s, bool wispy, bool spaceTime) {
    return classic<3>(p, s, wispy, spaceTime);
}
float noiseBillow3(float p[3], const NoiseSettings &s) { return billow<3>(p, s); }
float noiseWave3(float p[3], const NoiseSettings &s) { return wave<3>(p, s); }

float noiseFamily2(int32_t type, float p[2], const NoiseSettings &s) {
    switch (type) {
        case kNoiseClassic: return noiseClassic2(p, s, false, false);
        case kNoiseBillow: return noiseBillow2(p, s);
        case kNoiseWave: return noiseWave2(p, s);
        case kNoiseWispy: return noiseClassic2(p, s, true, false);
        case kNoiseSpaceTime: return noiseClassic2(p, s, false, true);
        default: return 0.0f;
    }
}

float noiseFamily3(int32_t type, float p[3], const NoiseSettings &s) {
    switch (type) {
        case kNoiseClassic: return noiseClassic3(p, s, false, false);
        case kNoiseBillow: return noiseBillow3(p, s);
        case kNoiseWave: return noiseWave3(p, s);
        case kNoiseWispy: return noiseClassic3(p, s, true, false);
        case kNoiseSpaceTime: return noiseClassic3(p, s, false, true);
        default: return 0.0f;
    }
}

// ===========================================================================
// Ocean wave sum.
//
// The surface is a sum of wave trains over numFrequencies wavelength bands,
// spaced geometrically from waveLengthMin to waveLengthMax (ocean units; the
// uv is multiplied by `scale`). Each band carries kOceanTrainsPerBand trains
// travelling within ±π·waveDirSpread of the wind direction (clustered about
// it), with random phases and amplitudes jittered around the band's
// amplitude height(band)·λ/λmax (longer waves are higher, at equal
// steepness) and weakened by (1 + cos turn)/2 as they turn from the wind. Trains
// move with the deep-water dispersion ω = sqrt(g·2π/λ) scaled by waveSpeed,
// so long waves overtake short ones; the observer drifts along the wind at
// observerSpeed.
//
// turbulence(band) perturbs each train's phase by up to ±2π with a slowly
// varying lattice noise (cells of three wavelengths, drifting over about
// four wave periods), which breaks the regular interference into groups.
// peaking(band) sharpens the crests: a train's profile is
// 2·((1 + cos θ)/2)^(1 + 3·peaking) less its mean, narrow crests over broad
// troughs.
//
// Outputs: the wave value is the signed sum; the height h normalises it by
// 2.5 standard deviations of the sum (from the train amplitudes) into
// [0, 1]; foam rises where h exceeds foamThreshold, scaled by foamEmission
// and broken up by a noise stretched along the wind, so that it forms
// streaks on the crests. Trains shorter than about twice the filter width
// fade out (their mean, 0, remains), so a distant ocean smooths instead of
// aliasing.
//
// veko_ocean samples its three curves (waveHeight, waveTurbulence,
// wavePeaking: position/value/interpolation entries over the band position
// 0 = waveLengthMin … 1 = waveLengthMax) once per band; an empty curve acts
// as the constant 1 (height) or 0.5 (turbulence, peaking).

namespace {
constexpr float kGravity = 9.81f;
constexpr int32_t kOceanRandomBase = 20011;

// E[((1 + cos θ)/2)^e] over a uniform phase θ.
double crestMoment(double e) {
    return std::tgamma(e + 0.5) / (std::tgamma(e + 1.0) * std::sqrt(3.14159265358979));
}
}  // namespace

OceanSample oceanWaves(float u, float v, const OceanSettings &s) {
    const int bands = std::clamp(s.numFrequencies, 1, kOceanMaxBands);
    float wu = s.windU, wv = s.windV;
    const float wl = std::sqrt(wu * wu + wv * wv);
    if (wl > 0.0f) {
        wu /= wl;
        wv /= wl;
    } else {
        wu = 1.0f;
        wv = 0.0f;
    }
    const float windAngle = std::atan2(wv, wu);
    const float drift = s.observerSpeed * s.time;
    const float px = u * s.scale + wu * drift;
    const float py = v * s.scale + wv * drift;
    const float lmax = std::max(std::max(s.waveLengthMin, s.waveLengthMax), 1e-4f);
    const float lmin = std::max(std::min(s.waveLengthMin, s.waveLengthMax), 1e-4f);
    const float fw = std::fabs(s.filterWidth);

    double wave = 0.0, variance = 0.0;
    for (int b = 0; b < bands; ++b) {
        const float x = bands == 1 ? 0.5f : static_cast<float>(b) / static_cast<float>(bands - 1);
        const float lambda = lmin * std::pow(lmax / lmin, x);
        const float k = kTwoPi / lambda;
        const float omega = std::sqrt(kGravity * k) * s.waveSpeed;
        const float height = s.height ? std::max(s.height[b], 0.0f) : 1.0f;
        const float turb = s.turbulence ? s.turbulence[b] : 0.0f;
        const float peak = s.peaking ? std::clamp(s.peaking[b], 0.0f, 1.0f) : 0.0f;
        const float bandAmp = height * lambda / lmax / static_cast<float>(kOceanTrainsPerBand);
        // The peaked profile 2·s^e − 1 has mean 2·m(e) − 1 and variance
        // 4·(m(2e) − m(e)²) with m(e) = E[s^e] = Γ(e + ½)/(√π·Γ(e + 1));
        // the mean is taken out so that still water stays at h = 0.5.
        const float e = 1.0f + 3.0f * peak;
        const double m1 = crestMoment(e), m2 = crestMoment(2.0f * e);
        const double profileVar = 4.0 * (m2 - m1 * m1);
        float fade = 1.0f;
        if (fw > 0.0f) fade = std::clamp((lambda - 2.0f * fw) / (2.0f * fw), 0.0f, 1.0f);
        for (int t = 0; t < kOceanTrainsPerBand; ++t) {
            const int32_t id = kOceanRandomBase + (b * kOceanTrainsPerBand + t) * 8;
            // Directions cluster about the wind (the cube of a uniform
            // draw); trains weaken as they turn away from it.
            const float r = R(id);
            const float turn = r * r * r * kPi * s.waveDirSpread;
            const float amp = bandAmp * (0.75f + 0.25f * R(id + 2)) * (0.5f + 0.5f * std::cos(turn));
            variance += profileVar * double(amp) * amp;
            if (fade <= 0.0f || amp == 0.0f) continue;
            const float angle = windAngle + turn;
            const float dx = std::cos(angle), dy = std::sin(angle);
            float theta = k * (dx * px + dy * py) - omega * s.time + R(id + 1) * kPi;
            if (turb != 0.0f) {
                // Lattice axes turned with the train, so that no common axis
                // shows through the trains.
                const float cell = 1.0f / (3.0f * lambda * 32.0f);
                const float a = (dx * px + dy * py) * cell, c = (dx * py - dy * px) * cell;
                const float n = noise3(a + R(id + 3), c + R(id + 4),
                                       s.time * omega / (kTwoPi * 4.0f * 32.0f) + R(id + 5));
                theta += turb * kTwoPi * n;
            }
            const float crest = 0.5f + 0.5f * std::cos(theta);
            const float profile = 2.0f * (std::pow(crest, e) - static_cast<float>(m1));
            wave += double(amp) * fade * profile;
        }
    }

    OceanSample out;
    out.wave = static_cast<float>(wave);
    const double sigma = std::sqrt(variance);
    out.height = sigma > 0.0
                     ? std::clamp(static_cast<float>(0.5 + 0.5 * wave / (2.5 * sigma)), 0.0f, 1.0f)
                     : 0.5f;
    const float over = (out.height - s.foamThreshold) / std::max(1.0f - s.foamThreshold, 1e-3f);
    out.foam = 0.0f;
    if (over > 0.0f && s.foamEmission > 0.0f) {
        // Patches drawn out along the wind: two octaves of noise with cells
        // of 6 shortest wavelengths along the wind and 2 across it,
        // drifting slowly.
        const float along = (wu * px + wv * py) / (6.0f * lmin * 32.0f);
        const float across = (wu * py - wv * px) / (2.0f * lmin * 32.0f);
        const float streak = noise3(along, across, s.time * 0.01f) +
                             0.5f * noise3(2.0f * along + 0.37f, 2.0f * across + 0.61f, s.time * 0.02f);
        const float breakup = std::clamp(0.5f + 1.2f * streak, 0.0f, 1.0f);
        out.foam = std::clamp(s.foamEmission * over * 2.0f * breakup, 0.0f, 1.0f);
    }
    return out;
}

}  // namespace veko

// ===========================================================================
// Shaders.

using namespace veko;

namespace {

// ---------------------------------------------------------------------------
// veko_fractal
struct FractalParams {
    xrScalar amplitude;       // 0
    xrScalar ratio;           // 1
    xrScalar threshold;       // 2
    xrScalar levelMin;        // 3
    xrScalar levelMax;        // 4
    xrBoolean animated;       // 5
    xrScalar time;            // 6
    Texture2dParams tex;      // 7-30
    xrScalar frequencyRatio;  // 31
    xrScalar timeRatio;       // 32
    xrScalar bias;            // 33
    xrBoolean inflection;     // 34
};
static_assert(offsetof(FractalParams, tex) == 7 * 4);
static_assert(offsetof(FractalParams, tex.out.defaultColor) == 27 * 4);
static_assert(offsetof(FractalParams, frequencyRatio) == 31 * 4);
static_assert(sizeof(FractalParams) == 35 * 4);

// ---------------------------------------------------------------------------
// veko_mountain
struct MountainParams {
    xrColor snowColor;        // 0-3
    xrColor rockColor;        // 4-7
    xrScalar amplitude;       // 8
    xrScalar snowRoughness;   // 9
    xrScalar rockRoughness;   // 10
    xrScalar slopeRatio;      // 11
    xrScalar slopeScale;      // 12
    xrScalar slopeFactor;     // 13
    xrScalar slopeBias;       // 14
    xrScalar depthMax;        // 15
    Texture2dParams tex;      // 16-39
};
static_assert(offsetof(MountainParams, tex) == 16 * 4);
static_assert(offsetof(MountainParams, tex.out.defaultColor) == 36 * 4);
static_assert(sizeof(MountainParams) == 40 * 4);

// ---------------------------------------------------------------------------
// veko_noise
struct NoiseParams {
    xrScalar amplitude;         // 0
    xrScalar ratio;             // 1
    xrScalar threshold;         // 2
    xrInteger depthMax;         // 3
    xrScalar frequency;         // 4
    xrScalar frequencyRatio;    // 5
    xrBoolean inflection;       // 6
    xrScalar time;              // 7
    xrInteger noiseType;        // 8
    xrScalar density;           // 9
    xrScalar spottyness;        // 10
    xrScalar sizeRand;          // 11
    xrScalar randomness;        // 12
    xrInteger falloff;          // 13
    xrInteger numWaves;         // 14
    xrScalar implode;           // 15
    xrScalar implodeCenter[2];  // 16-17
    int32_t unused18;           // 18
    Texture2dParams tex;        // 19-42
};
static_assert(offsetof(NoiseParams, implodeCenter) == 16 * 4);
static_assert(offsetof(NoiseParams, tex) == 19 * 4);
static_assert(offsetof(NoiseParams, tex.out.defaultColor) == 39 * 4);
static_assert(sizeof(NoiseParams) == 43 * 4);

// ---------------------------------------------------------------------------
// veko_ocean
struct OceanParams {
    xrScalar scale;               // 0
    xrScalar time;                // 1
    xrScalar windU;               // 2
    xrScalar windV;               // 3
    xrScalar waveSpeed;           // 4
    xrScalar observerSpeed;       // 5
    xrScalar waveDirSpread;       // 6
    xrInteger numFrequencies;     // 7
    xrScalar waveLengthMin;       // 8
    xrScalar waveLengthMax;       // 9
    Array<ScalarRampEntry> waveHeight;      // 10-14
    Array<ScalarRampEntry> waveTurbulence;  // 15-19
    Array<ScalarRampEntry> wavePeaking;     // 20-24
    xrScalar foamEmission;        // 25
    xrScalar foamThreshold;       // 26
    xrInteger displayMode;        // 27
    Texture2dParams tex;          // 28-51
};
static_assert(offsetof(OceanParams, waveHeight) == 10 * 4);
static_assert(offsetof(OceanParams, waveTurbulence) == 15 * 4);
static_assert(offsetof(OceanParams, wavePeaking) == 20 * 4);
static_assert(offsetof(OceanParams, displayMode) == 27 * 4);
static_assert(offsetof(OceanParams, tex) == 28 * 4);
static_assert(sizeof(OceanParams) == 52 * 4);

struct OceanResult {
    TextureResult tex;  // outColor, outAlpha
    xrScalar outFoam;   // 5
};
static_assert(sizeof(OceanResult) == 6 * 4);

// ---------------------------------------------------------------------------
// veko_water
struct WaterParams {
    xrInteger numberOfWaves;     // 0
    xrScalar waveTime;           // 1
    xrScalar waveVelocity;       // 2
    xrScalar waveAmplitude;      // 3
    xrScalar waveFrequency;      // 4
    xrScalar subWaveFrequency;   // 5
    xrScalar smoothness;         // 6
    xrScalar windU;              // 7
    xrScalar windV;              // 8
    xrInteger numberOfDrops;     // 9
    xrScalar rippleTime;         // 10
    xrScalar rippleFrequency;    // 11
    xrScalar rippleAmplitude;    // 12
    xrScalar dropSize;           // 13
    xrScalar groupVelocity;      // 14
    xrScalar phaseVelocity;      // 15
    xrScalar spreadStart;        // 16
    xrScalar spreadRate;         // 17
    xrInteger seed;              // 18
    Texture2dParams tex;         // 19-42
};
static_assert(offsetof(WaterParams, seed) == 18 * 4);
static_assert(offsetof(WaterParams, tex) == 19 * 4);
static_assert(sizeof(WaterParams) == 43 * 4);

// ---------------------------------------------------------------------------
// Samples a curve at each band position; an empty curve is the constant
// `empty`.
void sampleCurve(const RampCurve &c, int bands, float empty, float out[kOceanMaxBands]) {
    for (int b = 0; b < bands; ++b) {
        const float x = bands == 1 ? 0.5f : static_cast<float>(b) / static_cast<float>(bands - 1);
        out[b] = c.count > 0 ? rampValue(c, x) : empty;
    }
}

// ---------------------------------------------------------------------------
// Water: per-instance tables of random draws, built from the instance's
// `seed` when the instance is initialised.
//
// Linear waves: wave j runs along the wind direction turned by up to ±54°,
// at frequency waveFrequency·(1 + (subWaveFrequency − 1)·r) cycles per uv
// unit, with amplitude (f/waveFrequency)^−smoothness (smoother water damps
// the short waves), a random phase, and moves at waveVelocity uv units per
// unit of waveTime. Their sum is normalised by the amplitudes to [−1, 1] and
// scaled by waveAmplitude.
//
// Concentric ripples: drop k falls at a random uv (the pattern repeats per
// uv unit; each drop acts at its nearest periodic copy) at a random moment
// within [0, spreadStart] of rippleTime. A drop of age a sends out a ring
// packet: its centre travels at groupVelocity, its width grows from dropSize
// at spreadRate, and inside it crests of rippleFrequency move outward at
// phaseVelocity. The packet flattens as it widens (amplitude ∝
// sqrt(dropSize / width)), scaled by rippleAmplitude and a random drop
// strength in [0.5, 1].
//
// value = 0.5 + 0.5·(waves + ripples), clamped to [0, 1]. Waves and ripples
// whose wavelength falls below about twice the filter width fade out.
constexpr int kWaterMaxWaves = 64;
constexpr int kWaterMaxDrops = 64;

struct WaterTable {
    float wave[kWaterMaxWaves][3];  // direction, frequency draw, phase
    float drop[kWaterMaxDrops][4];  // u, v, moment, strength
};

// Fade of a wave of wavelength `lambda` under filter width `fw`: 1 for
// wavelengths of four widths or more, 0 at two widths or less.
float bandFade(float lambda, float fw) {
    if (!(fw > 0.0f)) return 1.0f;
    return std::clamp((lambda - 2.0f * fw) / (2.0f * fw), 0.0f, 1.0f);
}

float waterValue(xrState *state, const WaterParams *p, const WaterTable *t, float u, float v,
                 float fw) {
    float total = 0.0f;
    if (!t) return 0.5f;

    const int waves = std::clamp(eval(state, &p->numberOfWaves), 0, kWaterMaxWaves);
    if (waves > 0) {
        const float baseFreq = eval(state, &p->waveFrequency);
        const float subFreq = eval(state, &p->subWaveFrequency);
        const float smooth = eval(state, &p->smoothness);
        const float shift = eval(state, &p->waveVelocity) * eval(state, &p->waveTime);
        float wu = eval(state, &p->windU), wv = eval(state, &p->windV);
        const float windAngle = (wu == 0.0f && wv == 0.0f) ? 0.0f : std::atan2(wv, wu);
        float sum = 0.0f, norm = 0.0f;
        for (int j = 0; j < waves; ++j) {
            const float *w = t->wave[j];
            const float f = baseFreq * (1.0f + (subFreq - 1.0f) * w[1]);
            const float rel = baseFreq != 0.0f ? std::fabs(f / baseFreq) : 1.0f;
            const float a = rel > 0.0f ? std::pow(rel, -smooth) : 1.0f;
            if (!std::isfinite(a)) continue;
            norm += a;
            const float fade = f != 0.0f ? bandFade(1.0f / std::fabs(f), fw) : 1.0f;
            if (fade <= 0.0f) continue;
            const float angle = windAngle + (w[0] - 0.5f) * 0.6f * kPi;
            const float along = std::cos(angle) * u + std::sin(angle) * v;
            sum += a * fade * std::sin(kTwoPi * (f * (along - shift) + w[2]));
        }
        if (norm > 0.0f) total += eval(state, &p->waveAmplitude) * sum / norm;
    }

    const int drops = std::clamp(eval(state, &p->numberOfDrops), 0, kWaterMaxDrops);
    if (drops > 0) {
        const float time = eval(state, &p->rippleTime);
        const float freq = eval(state, &p->rippleFrequency);
        const float amplitude = eval(state, &p->rippleAmplitude);
        const float size = std::max(std::fabs(eval(state, &p->dropSize)), 1e-4f);
        const float group = eval(state, &p->groupVelocity);
        const float phase = eval(state, &p->phaseVelocity);
        const float start = eval(state, &p->spreadStart);
        const float rate = eval(state, &p->spreadRate);
        const float fade = freq != 0.0f ? bandFade(1.0f / std::fabs(freq), fw) : 1.0f;
        if (fade > 0.0f) {
            for (int k = 0; k < drops; ++k) {
                const float *d = t->drop[k];
                const float age = time - d[2] * start;
                if (age < 0.0f) continue;
                float dx = u - d[0], dy = v - d[1];
                dx -= std::floor(dx + 0.5f);
                dy -= std::floor(dy + 0.5f);
                const float r = std::sqrt(dx * dx + dy * dy);
                const float width = size + std::fabs(rate) * age;
                const float e = (r - group * age) / width;
                if (e * e > 16.0f) continue;
                const float envelope = std::exp(-e * e);
                const float strength = 0.5f + 0.5f * d[3];
                total += amplitude * strength * std::sqrt(size / width) * envelope * fade *
                         std::sin(kTwoPi * freq * (r - phase * age));
            }
        }
    }
    return std::clamp(0.5f + 0.5f * total, 0.0f, 1.0f);
}

}  // namespace

// ===========================================================================
VEKO_EXPORT xrBoolean veko_fractal(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const FractalParams *>(params);
    float u, v;
    if (!textureUV(state, p->tex, res, u, v)) return 1;

    // Level count from the pixel size: each level is frequencyRatio finer.
    const float x = levelScale(filterWidth(state, p->tex));
    const float fr = eval(state, &p->frequencyRatio);
    const float divisor = fr == 2.0f ? 0.6931f : fr <= 1.01f ? 0.00995f : std::log(fr);
    float L = -std::log(x) / divisor;
    const float levelMin = eval(state, &p->levelMin), levelMax = eval(state, &p->levelMax);
    L = std::max(std::min(L, levelMax), levelMin);
    L = std::clamp(L, 0.0f, static_cast<float>(kMaxLevels));
    const float whole = std::floor(L);
    const int n = static_cast<int>(whole);

    const bool animated = eval(state, &p->animated) != 0;
    const float ratio = eval(state, &p->ratio);
    const float timeRatio = eval(state, &p->timeRatio);
    const float bias = eval(state, &p->bias);
    const bool inflection = eval(state, &p->inflection) != 0;
    float amp = eval(state, &p->amplitude);
    float t = eval(state, &p->time);
    double cu = u, cv = v;
    float sum = 0.0f, last = 0.0f;
    bool partial = true;
    for (int k = 0;; ++k) {
        last = animated ? noise3(cu, cv, t) : noise2(cu, cv);
        last = shapeOctave(last, bias, inflection);
        if (k >= n) break;
        sum += last * amp;
        // Next level: coordinates swap and scale; two one-time flips keep
        // the levels from lining up.
        double nu = fr * cv - 0.1, nv = cu * fr + 0.043;
        if (k == 2) nv = 1.0 - nv;
        if (k == 4) nu = 1.0 - nu;
        cu = nu;
        cv = nv;
        amp *= ratio;
        t *= timeRatio;
        if (amp == 0.0f) {
            partial = false;
            break;
        }
    }
    if (partial) sum += (L - whole) * amp * last;
    const float value = std::min((sum + 1.0f) * 0.5f + eval(state, &p->threshold), 1.0f);
    textureOutput(state, p->tex.out, {value, value, value, value}, res);
    return 1;
}

VEKO_EXPORT xrBoolean veko_mountain(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const MountainParams *>(params);
    float u, v;
    if (!textureUV(state, p->tex, res, u, v)) return 1;

    const float x = levelScale(filterWidth(state, p->tex));
    float L = std::min(-std::log(x) / 0.6931f, eval(state, &p->depthMax));
    L = std::max(L, 0.0f);
    const float whole = std::floor(L);
    const int n = static_cast<int>(whole);
    const float part = L - whole;
    const float amplitude = eval(state, &p->amplitude);

    // Slope of the terrain: summed derivatives of the octaves.
    const float slopeRatio = eval(state, &p->slopeRatio);
    float gx = 0.0f, gy = 0.0f, amp = amplitude, f = 1.0f, ox = 0.0f, oy = 0.0f;
    for (int k = 0; k <= n; ++k) {
        const float w = k < n ? amp : amp * part;
        if (w != 0.0f) {
            float g[2];
            noise2Deriv(g, double(f) * u + ox, double(f) * v + oy);
            gx += g[0] * w;
            gy += g[1] * w;
        }
        f *= 2.0f;
        ox += 0.1f;
        oy += 0.03f;
        amp *= slopeRatio;
    }
    const float s = (gx * gx + gy * gy) * 0.5f;
    const float limit = std::max(eval(state, &p->slopeFactor) * eval(state, &p->slopeScale), 0.0f) +
                        eval(state, &p->slopeBias);
    const bool rock = s > limit;
    const xrColor c = eval(state, rock ? &p->rockColor : &p->snowColor);
    const float roughness = eval(state, rock ? &p->rockRoughness : &p->snowRoughness);

    // Height of the terrain, with the roughness of the surface found.
    float h = 0.0f;
    amp = amplitude;
    f = 1.0f;
    ox = oy = 0.0f;
    for (int k = 0; k <= n; ++k) {
        const float w = k < n ? amp : amp * part;
        if (w != 0.0f) h += noise2(double(f) * u + ox, double(f) * v + oy) * w;
        f *= 2.0f;
        ox += 0.1f;
        oy += 0.03f;
        amp *= roughness;
    }
    textureOutput(state, p->tex.out, {c.r, c.g, c.b, h * 0.5f + 0.5f}, res);
    return 1;
}

VEKO_EXPORT xrBoolean veko_noise(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const NoiseParams *>(params);
    float u, v;
    if (!textureUV(state, p->tex, res, u, v)) return 1;

    NoiseSettings s;
    s.amplitude = eval(state, &p->amplitude);
    s.ratio = eval(state, &p->ratio);
    s.threshold = eval(state, &p->threshold);
    s.depthMax = eval(state, &p->depthMax);
    s.frequency = eval(state, &p->frequency);
    s.frequencyRatio = eval(state, &p->frequencyRatio);
    s.inflection = eval(state, &p->inflection) != 0;
    s.time = eval(state, &p->time);
    s.density = eval(state, &p->density);
    s.spottyness = eval(state, &p->spottyness);
    s.sizeRand = eval(state, &p->sizeRand);
    s.randomness = eval(state, &p->randomness);
    s.falloff = eval(state, &p->falloff);
    s.numWaves = eval(state, &p->numWaves);
    s.implode = eval(state, &p->implode);
    const float *centre = evalPtr(state, &p->implodeCenter[0]);
    s.implodeCenter[0] = centre[0];
    s.implodeCenter[1] = centre[1];
    float point[2] = {u, v};
    const float value = noiseFamily2(eval(state, &p->noiseType), point, s);
    textureOutput(state, p->tex.out, {value, value, value, value}, res);
    return 1;
}

VEKO_EXPORT xrBoolean veko_ocean(void *result, xrState *state, void *params) {
    auto *res = static_cast<OceanResult *>(result);
    const auto *p = static_cast<const OceanParams *>(params);
    float u, v;
    if (!textureUV(state, p->tex, &res->tex, u, v)) {
        res->outFoam = 0.0f;
        return 1;
    }

    OceanSettings s;
    s.scale = eval(state, &p->scale);
    s.time = eval(state, &p->time);
    s.windU = eval(state, &p->windU);
    s.windV = eval(state, &p->windV);
    s.waveSpeed = eval(state, &p->waveSpeed);
    s.observerSpeed = eval(state, &p->observerSpeed);
    s.waveDirSpread = eval(state, &p->waveDirSpread);
    s.numFrequencies = std::clamp(eval(state, &p->numFrequencies), 1, kOceanMaxBands);
    s.waveLengthMin = eval(state, &p->waveLengthMin);
    s.waveLengthMax = eval(state, &p->waveLengthMax);
    s.foamEmission = eval(state, &p->foamEmission);
    s.foamThreshold = eval(state, &p->foamThreshold);
    s.filterWidth = filterWidth(state, p->tex) * std::fabs(s.scale);

    RampCurve curve;
    float height[kOceanMaxBands], turbulence[kOceanMaxBands], peaking[kOceanMaxBands];
    loadRamp(state, &p->waveHeight, curve);
    sampleCurve(curve, s.numFrequencies, 1.0f, height);
    loadRamp(state, &p->waveTurbulence, curve);
    sampleCurve(curve, s.numFrequencies, 0.5f, turbulence);
    loadRamp(state, &p->wavePeaking, curve);
    sampleCurve(curve, s.numFrequencies, 0.5f, peaking);
    s.height = height;
    s.turbulence = turbulence;
    s.peaking = peaking;

    const OceanSample o = oceanWaves(u, v, s);
    xrColor rgb{o.height, o.height, o.height, o.wave};
    switch (eval(state, &p->displayMode)) {
        case 1: rgb.r = rgb.g = rgb.b = o.foam; break;
        case 2:
            rgb.r = o.foam;
            rgb.g = o.foam + 0.5f * o.height * (1.0f - o.foam);
            rgb.b = o.foam + 0.6f * o.height * (1.0f - o.foam);
            break;
        default: break;
    }
    textureOutput(state, p->tex.out, rgb, &res->tex);
    res->outFoam = o.foam;
    return 1;
}

VEKO_EXPORT void veko_water_init(xrState *state, void *params, xrBoolean *initRequest) {
    if (!params) {  // shader level: ask for one call per instance
        if (initRequest) *initRequest = 1;
        return;
    }
    void **slot = veko::instanceUserPointer(state);
    if (!slot) return;
    if (*slot) {  // initialised again: rebuild
        xr_mem_int_release("fractal2d.cpp", __LINE__, *slot);
        *slot = nullptr;
    }
    auto *t = static_cast<WaterTable *>(
        xr_mem_int_allocate("fractal2d.cpp", __LINE__, sizeof(WaterTable)));
    if (!t) return;
    // The seed is the literal of the block: the tables are fixed per
    // instance and do not follow a connection.
    const auto *p = static_cast<const WaterParams *>(params);
    const uint32_t seed = static_cast<uint32_t>(p->seed);
    unsigned short rng[3] = {0x330E, static_cast<unsigned short>(seed & 0xFFFF),
                             static_cast<unsigned short>(seed >> 16)};
    for (auto &w : t->wave)
        for (float &x : w) x = static_cast<float>(xr_erandom(rng));
    for (auto &d : t->drop)
        for (float &x : d) x = static_cast<float>(xr_erandom(rng));
    *slot = t;
}

VEKO_EXPORT void veko_water_exit(xrState *state, void *params) {
    if (!params) return;
    void **slot = veko::instanceUserPointer(state);
    if (!slot || !*slot) return;
    xr_mem_int_release("fractal2d.cpp", __LINE__, *slot);
    *slot = nullptr;
}

VEKO_EXPORT xrBoolean veko_water(void *result, xrState *state, void *params) {
    auto *res = static_cast<TextureResult *>(result);
    const auto *p = static_cast<const WaterParams *>(params);
    float u, v;
    if (!textureUV(state, p->tex, res, u, v)) return 1;
    void **slot = veko::instanceUserPointer(state);
    const auto *t = slot ? static_cast<const WaterTable *>(*slot) : nullptr;
    const float value = waterValue(state, p, t, u, v, std::fabs(filterWidth(state, p->tex)));
    textureOutput(state, p->tex.out, {value, value, value, value}, res);
    return 1;
}
