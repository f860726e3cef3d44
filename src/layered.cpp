// veko_layeredtexture: a stack of colour layers, each with its own alpha,
// blend mode and visibility, composited bottom (last in the list) to top
// (first) into one colour. No uv and no texture output stage.
#include <algorithm>
#include <cmath>

#include "vekobase.h"

namespace {

using veko::eval;

struct Layer {
    xrColor color;        // 0-3 (r, g, b read)
    xrScalar alpha;       // 4
    xrInteger blendMode;  // 5
    xrBoolean isVisible;  // 6
};
static_assert(sizeof(Layer) == 7 * 4);

struct LayeredParams {
    veko::Array<Layer> inputs;   // 0-8
    xrBoolean alphaIsLuminance;  // 9
};
static_assert(sizeof(LayeredParams) == 10 * 4);
static_assert(offsetof(LayeredParams, alphaIsLuminance) == 9 * 4);

struct LayeredResult {
    xrColor outColor;            // 0-3
    xrScalar outAlpha;           // 4
    xrScalar outTransparency[3]; // 5-7
};
static_assert(sizeof(LayeredResult) == 8 * 4);

enum BlendMode {
    kNone = 0, kOver, kIn, kOut, kAdd, kSubtract, kMultiply, kDifference,
    kLighten, kDarken, kSaturate, kDesaturate, kIlluminate
};

// One channel of the accumulated colour c under layer channel l with alpha a.
float blendChannel(int mode, float c, float l, float a) {
    switch (mode) {
        case kNone: return l;
        case kOver: return c + (l - c) * a;
        case kIn: return c * a;
        case kOut: return c * (1.0f - a);
        case kAdd: return c + l * a;
        case kSubtract: return c - l * a;
        case kMultiply: return c * (l * a + 1.0f - a);
        case kDifference: return std::fabs(l - c) * a + c * (1.0f - a);
        case kLighten: return std::max(l, c) * a + c * (1.0f - a);
        case kDarken: return std::min(l, c) * a + c * (1.0f - a);
        case kSaturate: return c * (l * a + 1.0f);
        case kDesaturate: return c * (1.0f - l * a);
        case kIlluminate: return c * (2.0f * l * a + 1.0f - a);
        default: return c;
    }
}

// The accumulated alpha A under a layer with alpha a.
float blendAlpha(int mode, float A, float a) {
    switch (mode) {
        case kNone: return a;
        case kOver: return A + a - A * a;
        case kIn: return A * a;
        case kOut: return A * (1.0f - a);
        default: return A;
    }
}

}  // namespace

VEKO_EXPORT xrBoolean veko_layeredtexture(void *result, xrState *state, void *params) {
    auto *p = static_cast<LayeredParams *>(params);
    auto *out = static_cast<LayeredResult *>(result);
    float c[3] = {0.0f, 0.0f, 0.0f}, A = 0.0f;
    const int n = veko::evalCount(state, &p->inputs);
    for (int k = n - 1; k >= 0; --k) {
        const Layer *layer = p->inputs.at(k);
        if (!eval(state, &layer->isVisible)) continue;
        const int mode = eval(state, &layer->blendMode);
        const xrColor L = eval(state, &layer->color);
        const float a = eval(state, &layer->alpha);
        const float l[3] = {L.r, L.g, L.b};
        for (int i = 0; i < 3; ++i) c[i] = blendChannel(mode, c[i], l[i], a);
        A = blendAlpha(mode, A, a);
    }
    for (float &v : c) v = veko::clamp01(v);
    A = veko::clamp01(A);
    out->outColor = {c[0], c[1], c[2], A};
    const float alpha = eval(state, &p->alphaIsLuminance) ? veko::luminance(out->outColor) : A;
    out->outAlpha = alpha;
    for (float &t : out->outTransparency) t = 1.0f - alpha;
    return 1;
}
