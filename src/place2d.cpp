// veko_place2dtex: maps the surface texture coordinate into the uv space of
// one 2D texture (frame coverage, translation, rotation and wrapping, then
// repeat, offset, stagger, mirror, uv rotation and noise), scales the filter
// size to match, and marks points outside the frame with the outside
// sentinel that every 2D texture recognises.
#include <cmath>

#include "noise.h"
#include "texture.h"

namespace {

using veko::eval;

struct Place2dParams {
    xrVector uvCoord;          // 0-2
    xrVector uvFilterSize;     // 3-5
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
static_assert(sizeof(Place2dParams) == 28 * 4);
static_assert(offsetof(Place2dParams, repeatUV) == 18 * 4);

// Rotation of (u, v) about the tile centre (0.5, 0.5).
void rotateAboutCentre(float &u, float &v, float angle) {
    const float c = std::cos(angle), s = std::sin(angle);
    const float du = u - 0.5f, dv = v - 0.5f;
    u = c * du - s * dv + 0.5f;
    v = c * dv + s * du + 0.5f;
}

// Places one coordinate in the frame of coverage k and translation t, then
// repeats and offsets it. Returns false when the point lies outside the
// frame. k > 0 here.
bool placeInFrame(float &x, float k, float t, bool wrap, float repeat, float offset) {
    if (k >= 1.0f) {
        x = (x - t) / k;
        if (!wrap && (x < 0.0f || x > 1.0f)) return false;
    } else {
        if (!wrap) {
            x = (x - t) / k;
        } else {
            // One copy of the frame per unit cell: bring x into the cell,
            // shift by the fractional translation, and map the covered part
            // of the cell to [0, 1]; the rest lands outside.
            if (x > 1.0f)
                x = x - std::floor(x);
            else if (x < 0.0f)
                x = x - std::floor(x) + 1.0f;
            x -= t - std::floor(t);
            if (x > k) {
                x = (x - 1.0f) / k;
            } else {
                if (x < 0.0f) x += 1.0f;
                x = x / k;
            }
        }
        if (x < 0.0f || x > 1.0f) return false;
    }
    x = x * repeat + offset;
    return true;
}

bool isOdd(double f) { return std::fmod(f, 2.0) != 0.0; }

void setOutside(veko::Place2dOutput *out) {
    out->outUV = {veko::kOutsideUV, veko::kOutsideUV, veko::kOutsideUV};
}

}  // namespace

VEKO_EXPORT xrBoolean veko_place2dtex(void *result, xrState *state, void *params) {
    const veko::Evaluator ev(state);
    auto *p = static_cast<Place2dParams *>(params);
    auto *out = static_cast<veko::Place2dOutput *>(result);

    // Input uv: the connected value, else the surface's first texture space.
    float u, v, w;
    if (ev.connected(&p->uvCoord)) {
        const xrVector uv = ev(&p->uvCoord);
        u = uv.x, v = uv.y, w = uv.z;
    } else if (state->texCoords) {
        u = state->texCoords[0].x, v = state->texCoords[0].y, w = state->texCoords[0].z;
    } else {
        u = v = w = veko::kOutsideUV;
    }

    // The settings travel with the uv so connected textures can read them.
    out->coverage = ev(&p->coverage);
    out->translateFrame = ev(&p->translateFrame);
    out->rotateFrame = ev(&p->rotateFrame);
    out->mirrorU = ev(&p->mirrorU);
    out->mirrorV = ev(&p->mirrorV);
    out->stagger = ev(&p->stagger);
    out->wrapU = ev(&p->wrapU);
    out->wrapV = ev(&p->wrapV);
    out->repeatUV = ev(&p->repeatUV);
    out->offset = ev(&p->offset);
    out->rotateUV = ev(&p->rotateUV);
    out->noiseUV = ev(&p->noiseUV);
    const xrVector cov = out->coverage, tr = out->translateFrame, rep = out->repeatUV,
                   off = out->offset, nz = out->noiseUV;

    // Filter size in uv, scaled by the number of texture copies per unit.
    xrVector filter;
    if (ev.connected(&p->uvFilterSize)) {
        filter = ev(&p->uvFilterSize);
    } else if (const veko::BaseStateRecord *rec = veko::stateRecord(state)) {
        veko::touchFootprint(state, rec);
        filter = {rec->footprintU.x, rec->footprintU.y, 0.0f};
    } else {
        filter = {0.005f, 0.005f, 0.0f};
    }
    const float ru = cov.x < 1e-6f ? rep.x * 1e6f : rep.x / cov.x;
    const float rv = cov.y < 1e-6f ? rep.y * 1e6f : rep.y / cov.y;
    out->outUvFilterSize = {std::fabs(ru) * filter.x, std::fabs(rv) * filter.y, filter.z};

    if (veko::isOutsideUV(u, v) || cov.x <= 0.0f || cov.y <= 0.0f) {
        setOutside(out);
        return 1;
    }

    if (std::fabs(nz.x) >= 1e-5f || std::fabs(nz.y) >= 1e-5f) {
        const float a = veko::noise2(u, v);
        const float b = veko::noise2(double(u) + 0.5, double(v) + 0.5);
        u += a * nz.x;
        v += b * nz.y;
    }

    // Keep u = 1 (and v = 1) inside the last tile.
    if (u == 1.0f) u = 0.9999f;
    if (v == 1.0f) v = 0.9999f;

    if (std::fabs(out->rotateFrame) >= 1e-5f) rotateAboutCentre(u, v, out->rotateFrame);

    if (!placeInFrame(u, cov.x, tr.x, out->wrapU != 0, rep.x, off.x) ||
        !placeInFrame(v, cov.y, tr.y, out->wrapV != 0, rep.y, off.y)) {
        setOutside(out);
        return 1;
    }

    if (out->stagger && isOdd(std::floor(v))) u += 0.5f;
    if (out->mirrorU) {
        const float f = std::floor(u);
        if (isOdd(f)) u = 2.0f * f + 1.0f - u;
    }
    if (out->mirrorV) {
        const float f = std::floor(v);
        if (isOdd(f)) v = 2.0f * f + 1.0f - v;
    }

    if (std::fabs(out->rotateUV) >= 1e-5f) rotateAboutCentre(u, v, out->rotateUV);

    out->outUV = {u, v, w};
    return 1;
}
