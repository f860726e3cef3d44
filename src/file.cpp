// veko_file: looks an image (a host database element with a pyramid of
// reduced levels) up at the placed uv. The lookup is a point sample, the
// library's mip-mapped bilinear filter, a projected-footprint filter for eye
// rays, or the host's elliptical filter; then the alpha rules and the shared
// texture output stage (texture.h) run, and the shader also delivers the
// image size, a transparency colour and optionally a normal decoded from the
// colour.
#include <algorithm>
#include <cmath>

#include "bump.h"
#include "texture.h"

namespace {

using veko::eval;
using veko::isConnected;

struct FileParams {
    xrTag fileTextureName;               // 0
    xrInteger filterType;                // 1
    xrInteger word2;                     // 2
    xrBoolean noMipmap;                  // 3
    veko::Texture2dParams tex;           // 4-27
    xrBoolean fileHasAlpha;              // 28
    xrScalar word29;                     // 29: evaluated when connected, not used
    xrInteger words30to40[11];           // 30-40
    xrBoolean wrapU;                     // 41
    xrBoolean wrapV;                     // 42
    xrInteger words43to62[20];           // 43-62
    xrInteger normalMode;                // 63
    xrInteger normalSpace;               // 64
    xrBoolean opaqueWithoutAlpha;        // 65
    xrBoolean useEllipticalFilter;       // 66
    xrInteger ellipticalMaxAnisotropy;   // 67
    xrScalar ellipticalWidth;            // 68
    xrScalar ellipticalBlur;             // 69
    xrScalar ellipticalRadius;           // 70
    xrScalar ellipticalBias;             // 71
};
static_assert(sizeof(FileParams) == 72 * 4);
static_assert(offsetof(FileParams, tex) == 4 * 4);
static_assert(offsetof(FileParams, wrapU) == 41 * 4);
static_assert(offsetof(FileParams, normalMode) == 63 * 4);
static_assert(offsetof(FileParams, ellipticalBias) == 71 * 4);

struct FileResult {
    xrColor outColor;          // 0-3
    xrScalar outAlpha;         // 4
    xrScalar outSize[2];       // 5, 6
    xrInteger word7;           // 7: not written
    xrBoolean outFileHasAlpha; // 8
    xrScalar outTransparency[4];  // 9-12
    xrVector outNormal;        // 13-15
};
static_assert(sizeof(FileResult) == 16 * 4);

enum NormalSpace { kNormalCamera = 1, kNormalTangent = 2, kNormalObject = 3 };

// ---------------------------------------------------------------------------
// Image access through the host.

struct Level {
    const void *img;
    int w, h;
};

inline Level levelOf(const void *image, int L) {
    const void *img = L == 0 ? image : xr_img_pyramid_get_level(image, L);
    if (!img) return {image, 0, 0};
    return {img, xr_img_get_width(img), xr_img_get_height(img)};
}

inline int levelCount(const void *image) {
    int32_t n;
    std::memcpy(&n, static_cast<const char *>(image) + 4, 4);
    return n;
}

inline xrColor texel(const void *img, int x, int y) {
    xrColor c{0.0f, 0.0f, 0.0f, 0.0f};
    xr_img_get_color(img, &c, x, y);
    return c;
}

// The two texels along one axis and the first one's weight (texel centres
// at half-integers). Beyond the edge the second texel is the opposite edge
// when wrapping, else the edge texel again.
struct Taps {
    int a, b;
    float wa;
};
inline Taps taps(float x, int n, bool wrap) {
    if (x < 0.0f) return {wrap ? n - 1 : 0, 0, 0.0f - x};
    if (x >= float(n - 1)) return {n - 1, wrap ? 0 : n - 1, float(n) - x};
    const int i = int(x);
    return {i, i + 1, float(i + 1) - x};
}

xrColor bilinear(const Level &l, float u, float v, bool wrapU, bool wrapV) {
    if (l.w <= 0 || l.h <= 0) return {0.0f, 0.0f, 0.0f, 0.0f};
    const Taps tx = taps(float(l.w) * u - 0.5f, l.w, wrapU);
    const Taps ty = taps(float(l.h) * v - 0.5f, l.h, wrapV);
    const xrColor c00 = texel(l.img, tx.a, ty.a), c10 = texel(l.img, tx.b, ty.a);
    const xrColor c01 = texel(l.img, tx.a, ty.b), c11 = texel(l.img, tx.b, ty.b);
    const xrColor row0 = veko::lerp(c10, c00, tx.wa);
    const xrColor row1 = veko::lerp(c11, c01, tx.wa);
    return veko::lerp(row1, row0, ty.wa);
}

// Mip-mapped bilinear filter: a level chosen from the filter width w and a
// blend with the next finer level.
xrColor mipmapFilter(const void *image, float u, float v, float w, bool wrapU, bool wrapV, bool noMipmap) {
    const int count = levelCount(image);
    const Level l0 = levelOf(image, 0);
    if (count < 2 || noMipmap) return bilinear(l0, u, v, wrapU, wrapV);
    if (w >= 1.0f) return bilinear(levelOf(image, count - 1), u, v, wrapU, wrapV);
    const bool wide = l0.w >= l0.h;
    const float m = float(std::min(l0.w, l0.h)), M = float(std::max(l0.w, l0.h));
    const float r = (M / m) / w;
    if (!(r < m)) return bilinear(l0, u, v, wrapU, wrapV);
    // Walk down the pyramid by the shorter side alone; the two levels used
    // are then read in full.
    const float rt = std::trunc(r);
    int L = 1;
    float s = 0.0f;
    for (;; ++L) {
        const void *img = xr_img_pyramid_get_level(image, L);
        s = float(img ? (wide ? xr_img_get_height(img) : xr_img_get_width(img)) : 0);
        if (rt >= s || L == count - 1) break;
    }
    const Level lv = levelOf(image, L), finer = levelOf(image, L - 1);
    s = std::max(s, 1.0f);
    const float t = veko::clamp01(r / s - 1.0f);
    const xrColor a = bilinear(lv, u, v, wrapU, wrapV);
    if (t <= 0.0f) return a;
    return veko::lerp(a, bilinear(finer, u, v, wrapU, wrapV), t);
}

// A uv carried back into [0, 1]: repeated when wrapping, else clamped.
inline float fold(float x, bool wrap) { return wrap ? veko::wrapUnit(x) : veko::clamp01(x); }

// Projected-footprint filter of eye rays: the pixel's four corners are
// carried through the camera onto the hit triangle's plane and on to uv
// (through the connected uvCoord network when there is one); the image is
// then filtered anisotropically over the quadrilateral they span: bilinear
// samples along its longer axis, at the pyramid level of its shorter one.
// Returns false when the footprint cannot be built (degenerate projection,
// no triangle, no per-ray record).
bool footprintFilter(xrState *state, const FileParams *p, const void *image, float u0, float v0, bool wrapU,
                     bool wrapV, bool noMipmap, xrColor &out) {
    const veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (!rec || !state->cameraRecord || !state->texCoords) return false;
    xrVector *tp[3] = {}, *tt[3] = {};
    if (!xr_tri_vectors(state, 112, 0, &tp[0], &tp[1], &tp[2])) return false;
    if (!xr_tri_vectors(state, 116, 0, &tt[0], &tt[1], &tt[2])) return false;
    const xrVector A = *tp[0], e1 = veko::vsub(*tp[1], A), e2 = veko::vsub(*tp[2], A);
    const xrVector ta = *tt[0], te1 = veko::vsub(*tt[1], ta), te2 = veko::vsub(*tt[2], ta);
    const float d00 = veko::dot(e1, e1), d01 = veko::dot(e1, e2), d11 = veko::dot(e2, e2);
    const float den = d00 * d11 - d01 * d01;
    if (!(std::fabs(den) >= 0.00001f * d00 * d11) || den == 0.0f) return false;

    xrVector P, N;
    xr_point_to_camera(state, &P, &state->hitPoint);
    xr_vector_to_camera(state, &N, &state->geometricNormal);
    N = veko::normalize(N);
    const bool ortho = state->cameraRecord->isOrthographic != 0;
    const float offs[4][2] = {{-0.5f, -0.5f}, {0.5f, -0.5f}, {0.5f, 0.5f}, {-0.5f, 0.5f}};
    xrVector corner[4], cornerUV[4];
    for (int i = 0; i < 4; ++i) {
        const xrVector c = veko::vadd(rec->viewCorner, xrVector{(state->samplePosX + offs[i][0]) * rec->pixelStep.x,
                                                                (state->samplePosY + offs[i][1]) * rec->pixelStep.y, 0.0f});
        const xrVector origin = ortho ? c : xrVector{0.0f, 0.0f, 0.0f};
        const xrVector dir = veko::normalize(ortho ? xrVector{0.0f, 0.0f, -1.0f} : c);
        const float denom = veko::dot(N, dir);
        if (!(std::fabs(denom) >= 0.00001f)) return false;
        const xrVector hitCam = veko::vadd(origin, veko::vscale(dir, veko::dot(N, veko::vsub(P, origin)) / denom));
        xr_point_from_camera(state, &corner[i], &hitCam);
        // Barycentric coordinates in the triangle's plane (extrapolated
        // beyond its edges), then the texture coordinate there.
        const xrVector d = veko::vsub(corner[i], A);
        const float d20 = veko::dot(d, e1), d21 = veko::dot(d, e2);
        const float b1 = (d11 * d20 - d01 * d21) / den, b2 = (d00 * d21 - d01 * d20) / den;
        cornerUV[i] = veko::vadd(ta, veko::vadd(veko::vscale(te1, b1), veko::vscale(te2, b2)));
    }
    if (isConnected(state, &p->tex.uvCoord)) {
        const xrVector savedP = state->hitPoint, savedT = state->texCoords[0];
        for (int i = 0; i < 4; ++i) {
            state->hitPoint = corner[i];
            state->texCoords[0] = cornerUV[i];
            xr_flush_cache(state);
            cornerUV[i] = eval(state, &p->tex.uvCoord);
        }
        state->hitPoint = savedP;
        state->texCoords[0] = savedT;
        xr_flush_cache(state);
    }
    for (const xrVector &c : cornerUV)
        if (!std::isfinite(c.x) || !std::isfinite(c.y)) return false;

    // Footprint axes in uv, and their lengths in texels of level 0.
    const Level l0 = levelOf(image, 0);
    if (l0.w <= 0 || l0.h <= 0) return false;
    const xrVector ax = veko::vscale(veko::vadd(veko::vsub(cornerUV[1], cornerUV[0]), veko::vsub(cornerUV[2], cornerUV[3])), 0.5f);
    const xrVector ay = veko::vscale(veko::vadd(veko::vsub(cornerUV[3], cornerUV[0]), veko::vsub(cornerUV[2], cornerUV[1])), 0.5f);
    const float lx = std::hypot(ax.x * float(l0.w), ax.y * float(l0.h));
    const float ly = std::hypot(ay.x * float(l0.w), ay.y * float(l0.h));
    const xrVector major = lx >= ly ? ax : ay;
    const float lmaj = std::max(lx, ly);
    float lmin = std::min(lx, ly);
    constexpr int kMaxSamples = 16;
    lmin = std::max({lmin, lmaj / float(kMaxSamples), 1e-6f});
    const int n = std::clamp(int(std::ceil(lmaj / lmin - 1e-3f)), 1, kMaxSamples);

    const int count = noMipmap ? 1 : std::max(levelCount(image), 1);
    float lod = std::log2(lmin);
    lod = std::clamp(lod, 0.0f, float(count - 1));
    const int L0 = std::min(int(lod), count - 1);
    const int L1 = std::min(L0 + 1, count - 1);
    const float t = L1 == L0 ? 0.0f : lod - float(L0);
    const Level fine = levelOf(image, L0), coarse = levelOf(image, L1);

    xrColor sum{0.0f, 0.0f, 0.0f, 0.0f};
    for (int i = 0; i < n; ++i) {
        const float k = (float(i) + 0.5f) / float(n) - 0.5f;
        const float su = fold(u0 + major.x * k, wrapU), sv = fold(v0 + major.y * k, wrapV);
        xrColor c = bilinear(fine, su, sv, wrapU, wrapV);
        if (t > 0.0f) c = veko::lerp(c, bilinear(coarse, su, sv, wrapU, wrapV), t);
        veko::addTo(sum, c);
    }
    out = veko::scale(sum, 1.0f / float(n));
    return true;
}

// The host's elliptical filter over the footprint of a filter radius (in
// pixels, control 70) around the hit. False when the host cannot project or
// filter; the caller then uses the mip-mapped filter.
bool ellipticalFilter(xrState *state, const FileParams *p, xrTag image, float u, float v, xrColor &out) {
    xrVector pts[3], coords[3];
    if (!xr_texture_filter_project(pts, coords, state, eval(state, &p->ellipticalRadius), 0)) return false;
    xrVector uvs[3];
    if (isConnected(state, &p->tex.uvCoord) && state->texCoords) {
        const xrVector savedP = state->hitPoint, savedT = state->texCoords[0];
        for (int i = 0; i < 3; ++i) {
            state->hitPoint = pts[i];
            state->texCoords[0] = coords[i];
            xr_flush_cache(state);
            uvs[i] = eval(state, &p->tex.uvCoord);
        }
        state->hitPoint = savedP;
        state->texCoords[0] = savedT;
        xr_flush_cache(state);
    } else {
        for (int i = 0; i < 3; ++i) uvs[i] = coords[i];
    }
    for (xrVector &t : uvs) {
        t.x = veko::wrapUnit(t.x);
        t.y = veko::wrapUnit(t.y);
    }
    xrTextureFilter f{};
    if (!xr_texture_filter_transform(f.transform, uvs)) return false;
    f.maxAnisotropy = eval(state, &p->ellipticalMaxAnisotropy);
    f.width = eval(state, &p->ellipticalWidth);
    f.blur = eval(state, &p->ellipticalBlur);
    f.bias = eval(state, &p->ellipticalBias);
    const xrVector uv{u, v, 0.0f};
    return xr_lookup_filter_color_texture(&out, state, image, &f, &uv) != 0;
}

bool pointSampleRay(int kind) {
    return (kind >= 8 && kind <= 15) || kind == 18 || kind == 19 || kind == 23 || kind == 24 || kind == 27;
}

// Eye rays whose footprint on the surface is known to the camera.
bool footprintApplies(xrState *state) {
    const veko::BaseStateRecord *rec = veko::stateRecord(state);
    if (rec && (rec->flags & (veko::kFlagBump2d | veko::kFlagEnvironmentEval))) return false;
    if (state->reflectDepth + state->refractDepth != 0) return false;
    const xrOptions *o = state->optionsRecord;
    const bool blurOff = !o || o->motionBlurOn == 0 || !(o->shutterClose > 0.0f);
    const xrVector &mv = state->motionVector;
    if (!blurOff && !(mv.x == 0.0f && mv.y == 0.0f && mv.z == 0.0f)) return false;
    if (state->rayKind == 66 || state->rayKind == 16) return false;
    return state->modeFlag != 0 && state->hitRef != nullptr;
}

// Colour of the image at (u, v) by the chosen filter.
xrColor lookup(xrState *state, const FileParams *p, xrTag tag, const void *image, float u, float v, float uRaw,
               float vRaw) {
    const int width = xr_img_get_width(image), height = xr_img_get_height(image);
    const int type = eval(state, &p->filterType);
    int32_t reduced = 0;
    if (type == 0 || (xr_query(142, state, 0, &reduced) && reduced) || pointSampleRay(state->rayKind)) {
        // u or v of exactly 1 lands on the last texel, not beyond it.
        const int x = std::clamp(int(float(width) * u), 0, std::max(width - 1, 0));
        const int y = std::clamp(int(float(height) * v), 0, std::max(height - 1, 0));
        return texel(image, x, y);
    }
    float fu, fv;
    veko::textureFilterSize(state, &p->tex.uvFilterSize, fu, fv);
    const float filter = eval(state, &p->tex.filter);
    const float offset = eval(state, &p->tex.filterOffset);
    float w = filter > 0.0f ? filter * std::sqrt(std::fabs(fu * fv)) + offset : offset;
    w = 2.0f * std::fabs(w);
    const bool wrapU = eval(state, &p->wrapU) != 0, wrapV = eval(state, &p->wrapV) != 0;
    const bool noMipmap = eval(state, &p->noMipmap) != 0;
    xrColor c;
    if (type == 1) {
        if (eval(state, &p->useEllipticalFilter) && ellipticalFilter(state, p, tag, u, v, c)) return c;
    } else if (footprintApplies(state) && footprintFilter(state, p, image, uRaw, vRaw, wrapU, wrapV, noMipmap, c)) {
        return c;
    }
    return mipmapFilter(image, u, v, w, wrapU, wrapV, noMipmap);
}

void emptyResult(FileResult *res) {
    res->outColor = {0.0f, 0.0f, 0.0f, 1.0f};
    res->outAlpha = 1.0f;
    res->outSize[0] = res->outSize[1] = 0.0f;
    res->outFileHasAlpha = 0;
    for (float &t : res->outTransparency) t = 0.0f;
}

}  // namespace

VEKO_EXPORT xrBoolean veko_file(void *result, xrState *state, void *params) {
    auto *p = static_cast<FileParams *>(params);
    auto *res = static_cast<FileResult *>(result);

    float u, v;
    veko::textureInputUV(state, &p->tex.uvCoord, u, v);
    const xrTag tag = eval(state, &p->fileTextureName);
    const void *image = nullptr;
    if (tag) {
        xrInteger type = 0;
        image = xr_db_access_type(&type, tag);
        if (image && type != xrDB_IMAGE) {
            xr_db_unpin(tag);
            image = nullptr;
        }
    }
    if (!image) {
        emptyResult(res);
        return 1;
    }
    const int width = xr_img_get_width(image), height = xr_img_get_height(image);
    const xrBoolean hasAlpha = eval(state, &p->fileHasAlpha);
    res->outFileHasAlpha = hasAlpha;
    if (isConnected(state, &p->word29)) (void)eval(state, &p->word29);

    float alpha;
    if (veko::isOutsideUV(u, v)) {
        veko::textureDefaultOutput(state, &p->tex.out.defaultColor, reinterpret_cast<veko::TextureResult *>(res));
        alpha = res->outAlpha;
    } else {
        const float uw = veko::wrapUnit(u), vw = veko::wrapUnit(v);
        xrColor c = lookup(state, p, tag, image, uw, vw, u, v);
        const float lum = veko::luminance(c);
        const bool alphaIsLum = eval(state, &p->tex.out.alphaIsLuminance) != 0;
        if (eval(state, &p->opaqueWithoutAlpha))
            c.a = alphaIsLum ? lum : (hasAlpha ? c.a : 1.0f);
        else
            c.a = (alphaIsLum || !hasAlpha) ? lum : c.a;
        veko::textureOutput(state, p->tex.out, c, reinterpret_cast<veko::TextureResult *>(res), veko::AlphaSource::Fixed);
        alpha = res->outAlpha;
    }

    res->outSize[0] = float(width);
    res->outSize[1] = float(height);
    if (alpha >= 1.0f) {
        for (float &t : res->outTransparency) t = 0.0f;
    } else if (alpha <= 0.0f) {
        for (float &t : res->outTransparency) t = 1.0f;
    } else {
        for (int k = 0; k < 3; ++k) res->outTransparency[k] = 1.0f - alpha;
    }

    const int normalMode = eval(state, &p->normalMode);
    if (normalMode == 1) {
        const xrColor &c = res->outColor;
        res->outNormal = {2.0f * c.r - 1.0f, 2.0f * c.g - 1.0f, 2.0f * c.b - 1.0f};
    } else {
        res->outNormal = {0.0f, 0.0f, 0.0f};
        if (normalMode == 0) {
            xr_db_unpin(tag);
            return 1;
        }
    }
    xrVector &n = res->outNormal;
    switch (eval(state, &p->normalSpace)) {
        case kNormalCamera: xr_vector_from_camera(state, &n, &n); break;
        case kNormalObject: xr_vector_from_object(state, &n, &n); break;
        case kNormalTangent: {
            xrVector tu, tv;
            veko::tangentBasis(state, tu, tv, veko::kTangentsInternal, 0);
            tu = veko::normalize(tu);
            tv = veko::normalize(tv);
            const xrVector &sn = state->shadingNormal;
            // Columns: u tangent, v tangent, shading normal.
            const float m[16] = {tu.x, tv.x, sn.x, 0.0f, tu.y, tv.y, sn.y, 0.0f,
                                 tu.z, tv.z, sn.z, 0.0f, 0.0f, 0.0f, 0.0f, 1.0f};
            xr_vector_transform_T(&n, &n, m);
            break;
        }
        default: break;
    }
    n = veko::normalize(n);
    xr_db_unpin(tag);
    return 1;
}
