// The noise family behind veko_noise (and the 3D volume noise and the fluid
// textures): five noise types, each with a 2D and a 3D member, plus the
// ocean wave sum that veko_ocean shares with the ocean surface shader.
//
// Every member takes its point by reference (the implode warp, the scaling
// and the wispy drift change it in place), sums depthMax octaves and returns
// a value capped at 1. The members are pure functions of their arguments and
// the noise core's constant tables: safe from any render thread.
#pragma once

#include <cstdint>

namespace veko {

enum NoiseType : int32_t {
    kNoiseClassic = 0,
    kNoiseBillow = 1,
    kNoiseWave = 2,
    kNoiseWispy = 3,      // classic with the wispy drift
    kNoiseSpaceTime = 4,  // classic with time as a lattice axis
};

// Settings shared by the members. `scale` and `origin` are read by the 3D
// classic family and billow only; `timeResolution` by the 3D space-time
// members (noise4).
struct NoiseSettings {
    float time = 0.0f;
    float implode = 0.0f;
    float implodeCenter[3] = {0.0f, 0.0f, 0.0f};
    float frequencyRatio = 2.0f;
    float frequency = 8.0f;
    int32_t depthMax = 3;
    bool inflection = false;
    float ratio = 0.707f;
    float amplitude = 1.0f;
    float threshold = 0.0f;
    // billow
    float density = 1.0f;
    float spottyness = 0.1f;
    float sizeRand = 0.0f;
    float randomness = 1.0f;
    int32_t falloff = 2;  // 0 linear, 1 smooth, 2 fast, 3 bubble
    // wave
    int32_t numWaves = 5;
    // 3D
    float scale[3] = {1.0f, 1.0f, 1.0f};
    float origin[3] = {0.0f, 0.0f, 0.0f};
    int32_t timeResolution = 100;
};

// Classic noise with its two switches (wispy drift, space-time lattice).
float noiseClassic2(float p[2], const NoiseSettings &s, bool wispy, bool spaceTime);
float noiseBillow2(float p[2], const NoiseSettings &s);
float noiseWave2(float p[2], const NoiseSettings &s);
// By type: 0 classic, 1 billow, 2 wave, 3 wispy, 4 space-time; others 0.
float noiseFamily2(int32_t type, float p[2], const NoiseSettings &s);

float noiseClassic3(float p[3], const NoiseSettings &s, bool wispy, bool spaceTime);
float noiseBillow3(float p[3], const NoiseSettings &s);
float noiseWave3(float p[3], const NoiseSettings &s);
float noiseFamily3(int32_t type, float p[3], const NoiseSettings &s);

// Fractal shaping of one octave value (veko_fractal, veko_solidfractal):
// `bias` 0 keeps x, 1 turns it into its sign, -1 into 0 (held to [-1, 1]);
// `inflection` then folds it into ridges, 2|x| - 1.
float shapeOctave(float x, float bias, bool inflection);

// ---------------------------------------------------------------------------
// Ocean wave sum (see fractal2d.cpp for the model). Curves are sampled at
// the normalised wavelength band (0 shortest, 1 longest).
constexpr int kOceanMaxBands = 64;
constexpr int kOceanTrainsPerBand = 6;

struct OceanSettings {
    float scale = 1.0f;           // ocean length units per uv unit
    float time = 0.0f;
    float windU = 1.0f, windV = 0.0f;
    float waveSpeed = 1.0f;
    float observerSpeed = 0.0f;
    float waveDirSpread = 0.2f;   // 0 all along the wind, 1 all directions
    int32_t numFrequencies = 8;
    float waveLengthMin = 0.3f;
    float waveLengthMax = 30.0f;
    float foamEmission = 1.0f;
    float foamThreshold = 0.5f;
    // Curves sampled per band (kOceanMaxBands entries used up to the band
    // count): amplitude, phase turbulence, crest peaking.
    const float *height = nullptr;
    const float *turbulence = nullptr;
    const float *peaking = nullptr;
    // Filter width in ocean units: trains shorter than about twice this
    // fade out.
    float filterWidth = 0.0f;
};

struct OceanSample {
    float wave;    // signed height, in the height curve's units
    float height;  // wave normalised to [0, 1] (0.5 = still water)
    float foam;    // [0, 1]
};

OceanSample oceanWaves(float u, float v, const OceanSettings &s);

}  // namespace veko
