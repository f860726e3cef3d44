// Texture framework shared by every 2D and 3D texture: the 2D placement
// output record with its outside sentinel, the texture result record, the
// common parameter runs, and the input and output stages that wrap each
// texture's pattern.
//
// A 2D texture is written as
//
//     auto *p = static_cast<const CheckerParams *>(params);   // holds a Texture2dParams `tex`
//     float u, v;
//     if (!veko::textureUV(state, p->tex, res, u, v)) return 1;   // default output written
//     ... pattern (reads its own parameters, textureFilterSize() when needed) ...
//     veko::textureOutput(state, p->tex.out, rgb, alpha, res);
//
// The stages evaluate their parameters lazily: the default colour only on
// the outside path, the output parameters only once the pattern is done.
#pragma once

#include <cmath>

#include "vekobase.h"

namespace veko {

// ---------------------------------------------------------------------------
// 2D placement output. Points that fall outside the placed frame, and
// surfaces without texture coordinates, carry the outside sentinel: u and v
// both at or below -1e7.
constexpr float kOutsideUV = -1e7f;

inline bool isOutsideUV(float u, float v) { return u <= kOutsideUV && v <= kOutsideUV; }

// Result of veko_place2dtex: the placed uv and filter size, followed by a
// copy of the placement settings that produced them.
struct Place2dOutput {
    xrVector outUV;            // 0-2
    xrVector outUvFilterSize;  // 3-5
    xrVector coverage;         // 6-8
    xrVector translateFrame;   // 9-11
    xrScalar rotateFrame;      // 12
    xrBoolean mirrorU;         // 13
    xrBoolean mirrorV;         // 14
    xrBoolean stagger;         // 15
    xrBoolean wrapU;           // 16
    xrBoolean wrapV;           // 17
    xrVector repeatUV;         // 18-20
    xrVector offset;           // 21-23
    xrScalar rotateUV;         // 24
    xrVector noiseUV;          // 25-27
};
static_assert(sizeof(Place2dOutput) == 28 * 4);
static_assert(offsetof(Place2dOutput, rotateFrame) == 12 * 4);
static_assert(offsetof(Place2dOutput, noiseUV) == 25 * 4);

// ---------------------------------------------------------------------------
// Result record of every texture. outColor.a and outAlpha always agree.
struct TextureResult {
    xrColor outColor;
    xrScalar outAlpha;
};
static_assert(sizeof(TextureResult) == 5 * 4);

// The run of output parameters that every texture block carries, in this
// order (its position in the block is the texture's own).
struct TextureOutputParams {
    xrBoolean invert;            // +0
    xrBoolean alphaIsLuminance;  // +1
    xrColor colorGain;           // +2..5 (alpha not used)
    xrColor colorOffset;         // +6..9 (alpha not used)
    xrScalar alphaGain;          // +10
    xrScalar alphaOffset;        // +11
    xrColor defaultColor;        // +12..15
};
static_assert(sizeof(TextureOutputParams) == 16 * 4);

// The tail shared by every 2D texture block: uv and filter inputs followed
// by the output run.
struct Texture2dParams {
    xrVector uvCoord;       // +0..2 (x, y used)
    xrVector uvFilterSize;  // +3..5 (x, y used)
    xrScalar filter;        // +6
    xrScalar filterOffset;  // +7
    TextureOutputParams out;
};
static_assert(sizeof(Texture2dParams) == 24 * 4);

// ---------------------------------------------------------------------------
// 2D input stage.

// Writes the default output: defaultColor with its alpha (and outAlpha)
// replaced by the luminance of its r, g, b.
void textureDefaultOutput(xrState *state, const xrColor *defaultColor, TextureResult *res);

// The surface uv: the connected value of uvCoord, else the state's first
// texture coordinate (the literal is not used). A state without texture
// coordinates yields the outside sentinel.
void textureInputUV(xrState *state, const xrVector *uvCoord, float &u, float &v);

// Reads the uv; when it is the outside sentinel, writes the default output
// and returns false (the shader then returns true without further work).
bool textureUV(xrState *state, const xrVector *uvCoord, const xrColor *defaultColor,
               TextureResult *res, float &u, float &v);
inline bool textureUV(xrState *state, const Texture2dParams &p, TextureResult *res, float &u,
                      float &v) {
    return textureUV(state, &p.uvCoord, &p.out.defaultColor, res, u, v);
}

// The uv filter-size pair: the connected value of uvFilterSize; otherwise
// (its literal is ignored) footprintU of the per-ray record, or 0.005 each
// without a record.
void textureFilterSize(xrState *state, const xrVector *uvFilterSize, float &fu, float &fv);

// ---------------------------------------------------------------------------
// The point a 3D lookup starts from, in internal space: a volume shader's
// sample position (rayOrigin), the reference-object coordinate named by the
// object's "Veko" block (word 1, when that texture space exists) or the hit
// point. `reference` (may be null) tells whether it is the reference
// coordinate.
xrVector textureSourcePoint(xrState *state, bool *reference = nullptr);

// ---------------------------------------------------------------------------
// 3D input stage: selects the texture point (volume sample position,
// reference-object coordinate or hit point), carries it to object or world
// space, applies the placement matrix and the unit-cube test. Returns false
// after writing the default output when the point lies outside the cube (or
// fades out completely); otherwise p holds the placed point and fade the
// edge fade that textureOutput() applies.
bool texturePoint3d(xrState *state, const float *placementMatrix, const xrBoolean *wrap,
                    const xrScalar *blend, const xrBoolean *local, const xrColor *defaultColor,
                    TextureResult *res, xrVector &p, float &fade);

// ---------------------------------------------------------------------------
// Output stage, run after the pattern produced r, g, b (rgb.r/g/b) and its
// pattern alpha (rgb.a).
enum class AlphaSource {
    Pattern,  // alpha = luminance when alphaIsLuminance is on, else the pattern alpha
    Fixed,    // alphaIsLuminance is not read: the pattern alpha as given
};

// invert, colour gain and offset, alpha gain and offset, 3D edge fade
// towards defaultColor; writes outColor and outAlpha.
void textureOutput(xrState *state, const TextureOutputParams &p, xrColor rgb, TextureResult *res,
                   AlphaSource alpha = AlphaSource::Pattern, float fade = 0.0f);

// ---------------------------------------------------------------------------
// Small helpers for the patterns.
inline float frac(float x) { return x - std::floor(x); }
inline double frac(double x) { return x - std::floor(x); }
// Fractional part only for values outside [0, 1] (1.0 itself stays).
inline float wrapUnit(float x) { return (x < 0.0f || x > 1.0f) ? frac(x) : x; }

struct Hsv {
    float h, s, v;
};
// Hexcone conversion; hue in [0, 1). The maximum is tested in the order
// r, g, b; colours with a spread or value not above 1e-5 have h = s = 0.
Hsv rgbToHsv(float r, float g, float b);
// Saturation 0 gives grey at the value; a hue of 1 or more is reduced by its
// integer part.
void hsvToRgb(const Hsv &hsv, float &r, float &g, float &b);

}  // namespace veko
