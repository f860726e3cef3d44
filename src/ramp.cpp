// veko_ramp: a colour ramp looked up along one of nine shapes over the uv,
// with optional uv noise and waves and a hue/saturation/value jitter.
#include <algorithm>
#include <cmath>

#include "noise.h"
#include "rampcurve.h"
#include "texture.h"

namespace {

using veko::eval;
using veko::kPi;


struct RampEntry {
    xrScalar position;
    xrColor color;
};
static_assert(sizeof(RampEntry) == 5 * 4);

struct RampParams {
    xrInteger rampType;                        // 0
    xrInteger interpolation;                   // 1
    veko::Array<RampEntry> colorEntryList;     // 2-8
    xrScalar uWave, vWave;                     // 9, 10
    xrScalar noise, noiseFreq;                 // 11, 12
    xrScalar hueNoise, satNoise, valNoise;     // 13-15
    xrScalar hueNoiseFreq, satNoiseFreq, valNoiseFreq;  // 16-18
    veko::Texture2dParams tex;                 // 19-42
};
static_assert(sizeof(RampParams) == 43 * 4);
static_assert(offsetof(RampParams, uWave) == 9 * 4);
static_assert(offsetof(RampParams, tex) == 19 * 4);

enum RampType { kV = 0, kU, kDiagonal, kRadial, kCircular, kBox, kUV, kFourCorner };

// The entries of the ramp as laid out by the host: element k at
// storage + start + k.
struct EntryList {
    const RampEntry *first = nullptr;
    int count = 0;
};

// Weight of the upper entry at s in [0, 1] between two entries whose
// r + g + b differ by d.
float interpolationWeight(int mode, float s, float d) {
    switch (mode) {
        case 1: return s;
        case 2: return s * s;
        case 3: return 1.0f - (1.0f - s) * (1.0f - s);
        case 4: return veko::rampSmoothWeight(s);
        case 5:
            return d > 0.0f ? std::sin(s * kPi * 0.5f) : std::sin((s - 1.0f) * kPi * 0.5f) + 1.0f;
        default:
            return d < 0.0f ? std::sin(s * kPi * 0.5f) : std::sin((s - 1.0f) * kPi * 0.5f) + 1.0f;
    }
}

// Colour of the ramp at position t. The list is not sorted: the lower entry
// is the one with the largest position <= t, the upper one the smallest
// position >= t, the first visited winning among equal positions.
xrColor rampLookup(xrState *state, float t, int mode, const EntryList &list) {
    if (list.count <= 0) return {0.0f, 0.0f, 0.0f, 0.0f};
    if (list.count == 1) return eval(state, &list.first[0].color);

    float lowPos = -1.0f, highPos = 2.0f;
    int low = -1, high = -1;
    for (int k = 0; k < list.count; ++k) {
        const float pos = std::clamp(eval(state, &list.first[k].position), 0.0f, 1.0f);
        if (pos <= t && pos > lowPos) lowPos = pos, low = k;
        if (pos >= t && pos < highPos) highPos = pos, high = k;
    }
    if (low < 0) {
        if (high < 0) return {0.0f, 0.0f, 0.0f, 0.0f};  // t is not a number
        return eval(state, &list.first[high].color);
    }
    const xrColor lo = eval(state, &list.first[low].color);
    if (high < 0 || mode == 0 || highPos - lowPos < 0.00001f) return lo;
    const xrColor hi = eval(state, &list.first[high].color);
    const float s = (t - lowPos) / (highPos - lowPos);
    const float d = (hi.r - lo.r) + (hi.g - lo.g) + (hi.b - lo.b);
    const float w = interpolationWeight(mode, s, d);
    return {lo.r + (hi.r - lo.r) * w, lo.g + (hi.g - lo.g) * w, lo.b + (hi.b - lo.b) * w,
            lo.a + (hi.a - lo.a) * w};
}

float noiseAt(float freq, float u, float v) {
    return veko::noise2(double(freq) * double(u), double(freq) * double(v));
}

}  // namespace

VEKO_EXPORT xrBoolean veko_ramp(void *result, xrState *state, void *params) {
    auto *p = static_cast<RampParams *>(params);
    auto *res = static_cast<veko::TextureResult *>(result);
    float u, v;
    if (!veko::textureUV(state, p->tex, res, u, v)) return 1;

    const float noise = eval(state, &p->noise);
    if (noise > 0.0f) {
        const float n = noise * noiseAt(eval(state, &p->noiseFreq), u, v);
        u += n;
        v += n;
    }
    const float uWave = eval(state, &p->uWave), vWave = eval(state, &p->vWave);
    if (uWave > 0.0f || vWave > 0.0f) {
        const float sv = std::sin(6.2831855f * v), su = std::sin(6.2831855f * u);
        u -= sv * uWave;
        v += su * vWave;
    }

    // Hue, saturation and value jitter amounts, taken at the waved uv.
    float jitter[3] = {0.0f, 0.0f, 0.0f};
    bool jittered = false;
    const xrScalar *amounts[3] = {&p->hueNoise, &p->satNoise, &p->valNoise};
    const xrScalar *freqs[3] = {&p->hueNoiseFreq, &p->satNoiseFreq, &p->valNoiseFreq};
    for (int i = 0; i < 3; ++i) {
        const float amount = eval(state, amounts[i]);
        if (amount > 0.0f) {
            jitter[i] = amount * noiseAt(eval(state, freqs[i]), u, v);
            jittered = true;
        }
    }

    u = veko::wrapUnit(u);
    v = veko::wrapUnit(v);

    EntryList list;
    {
        const int start = veko::evalStart(state, &p->colorEntryList);
        const int count = veko::evalCount(state, &p->colorEntryList);
        // A negative start or count describes no valid storage: no entries.
        if (start >= 0 && count > 0) {
            list.first = p->colorEntryList.storage + start;
            list.count = count;
        }
    }
    const int type = eval(state, &p->rampType);
    const int mode = eval(state, &p->interpolation);

    xrColor col;
    const float du = std::fabs(u - 0.5f), dv = std::fabs(v - 0.5f);
    switch (type) {
        case kV: col = rampLookup(state, v, mode, list); break;
        case kU: col = rampLookup(state, u, mode, list); break;
        case kDiagonal: col = rampLookup(state, (u + v) * 0.5f, mode, list); break;
        case kRadial: {
            float t = 0.0f;
            if (!(du < 0.00001f && dv < 0.00001f))
                t = std::atan2(u - 0.5f, v - 0.5f) / 6.2831855f + 0.5f;
            col = rampLookup(state, t, mode, list);
            break;
        }
        case kCircular: {
            const float a = (u - 0.5f) * 1.414f, b = (v - 0.5f) * 1.414f;
            const float sum = a * a + b * b;
            col = rampLookup(state, sum > 0.0f ? std::sqrt(sum) : 0.0f, mode, list);
            break;
        }
        case kBox: col = rampLookup(state, 2.0f * std::max(du, dv), mode, list); break;
        case kUV: {
            const xrColor a = rampLookup(state, 2.0f * du, mode, list);
            const xrColor b = rampLookup(state, 2.0f * dv, mode, list);
            col = {a.r * b.r, a.g * b.g, a.b * b.b, 0.0f};
            break;
        }
        case kFourCorner: {
            const float w[4] = {(1 - u) * (1 - v), u * (1 - v), (1 - u) * v, u * v};
            col = {0.0f, 0.0f, 0.0f, 0.0f};
            for (int k = 0; k < std::min(list.count, 4); ++k) {
                const xrColor c = eval(state, &list.first[k].color);
                col.r += w[k] * c.r;
                col.g += w[k] * c.g;
                col.b += w[k] * c.b;
            }
            break;
        }
        default: {  // tartan
            const xrColor a = rampLookup(state, 2.0f * du, mode, list);
            const xrColor b = rampLookup(state, 2.0f * dv, mode, list);
            col = {(a.r + b.r) * 0.5f, (a.g + b.g) * 0.5f, (a.b + b.b) * 0.5f, 0.0f};
            break;
        }
    }

    if (jittered) {
        veko::Hsv hsv = veko::rgbToHsv(col.r, col.g, col.b);
        hsv.h += jitter[0];
        hsv.s += jitter[1];
        hsv.v += jitter[2];
        hsv.h = veko::wrapUnit(hsv.h);
        hsv.s = std::clamp(hsv.s, 0.0f, 1.0f);
        hsv.v = std::clamp(hsv.v, 0.0f, 1.0f);
        veko::hsvToRgb(hsv, col.r, col.g, col.b);
    }

    col.a = veko::luminance(col);
    veko::textureOutput(state, p->tex.out, col, res, veko::AlphaSource::Fixed);
    return 1;
}
