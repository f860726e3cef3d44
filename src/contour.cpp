// Toon outlines on the host's contour facility: the store function records
// each eye sample, the contrast function decides where neighbouring samples
// are separated by a contour, the contour shader colours the contour's end
// points, and the output shader draws the host's contour lines into the
// colour image with an anti-aliasing filter.
#include <algorithm>
#include <cmath>
#include <vector>

#include "vekobase.h"

namespace {

constexpr int kQueryUserData = 154;
constexpr int kQueryHostId = 159;
constexpr int kQueryObjectLabel = 101;
constexpr int kColorImage = 0;

struct ContourInfo {
    float color[3];            // 0-2
    float matteLuminance;      // 3
    int32_t hostId;            // 4
    int32_t userId;            // 5
    xrTag instanceTag;         // 6
    int32_t stateWord140;      // 7
    xrTag objectLabel;         // 8
    float distance;            // 9
    xrVector point;            // 10-12
    xrVector normal;           // 13-15
    xrVector geometricNormal;  // 16-18
    int32_t flipped;           // 19
    xrVector uv;               // 20-22
};
static_assert(sizeof(ContourInfo) == 92);

struct ContrastParams {
    xrBoolean contourBackground;       // 0
    xrColor colorThreshold;            // 1-4
    xrBoolean compareHostId;           // 5
    xrBoolean compareUserId;           // 6
    xrBoolean compareInstance;         // 7
    xrBoolean compareStateWord;        // 8
    xrBoolean compareLabel;            // 9
    xrScalar distanceThreshold;        // 10
    xrScalar depthThreshold;           // 11
    xrScalar normalAngle;              // 12
    xrBoolean compareGeometricNormal;  // 13
    xrBoolean compareFlipped;          // 14
    xrScalar uvGrid[2];                // 15-16
};
static_assert(sizeof(ContrastParams) == 17 * 4);

struct ContourParams {
    xrColor contourColor;        // 0-3
    xrScalar contourAlpha;       // 4
    xrScalar contourWidth;       // 5
    xrBoolean widthIsRelative;   // 6
};
static_assert(sizeof(ContourParams) == 7 * 4);

struct OutputParams {
    xrInteger oversample;      // 0
    xrInteger filterType;      // 1
    xrScalar filterWidth;      // 2
    xrBoolean clearBackground; // 3
    xrColor backgroundColor;   // 4-7
};
static_assert(sizeof(OutputParams) == 8 * 4);

// The host's contour end point.
struct ContourEndpoint {
    float x, y, z;  // raster x, y; camera-space z
    xrColor color;
    float width;
};
static_assert(sizeof(ContourEndpoint) == 32);

// One line copied into a screen bin.
struct ContourSegment {
    float p1[3], p2[3];
    xrColor c1, c2;
    float w1, w2;
    ContourSegment *next;
};
static_assert(sizeof(ContourSegment) == 72);

// ---------------------------------------------------------------------------
// Store.
int32_t userIdOf(xrState *state) {
    // The instance's user-data chain: exactly one "Veko" block of type 1
    // (its first data word) gives its second data word.
    xrTag tag = 0;
    if (!xr_query(kQueryUserData, state, 0, &tag)) return -1;
    int found = 0;
    int32_t id = -1;
    for (int guard = 0; tag && guard < 1024; ++guard) {
        xrInteger type = 0;
        const auto *w = static_cast<const uint32_t *>(xr_db_access_type(&type, tag));
        if (!w) break;
        const xrTag next = type == xrDB_USERDATA ? w[1] : 0;
        if (type == xrDB_USERDATA && w[6] == veko::kVekoMagic && w[7] == 1) {
            ++found;
            id = int32_t(w[8]);
        }
        xr_db_unpin(tag);
        tag = next;
    }
    return found == 1 ? id : -1;
}

// ---------------------------------------------------------------------------
// Contrast steps.
bool differs(const xrVector &a, const xrVector &b, float cosLimit) { return veko::dot(a, b) < cosLimit; }

bool contrast(const ContourInfo *a, const ContourInfo *b, xrState *state, const ContrastParams *p) {
    const bool oneSided = !a || !b;
    if (oneSided && veko::eval(state, &p->contourBackground)) return true;
    const struct {
        const xrBoolean *flag;
        int32_t ContourInfo::*field;
    } ids[] = {{&p->compareHostId, &ContourInfo::hostId},
               {&p->compareUserId, &ContourInfo::userId},
               {&p->compareInstance, nullptr},
               {&p->compareStateWord, &ContourInfo::stateWord140}};
    for (const auto &id : ids) {
        if (!veko::eval(state, id.flag)) continue;
        if (oneSided) return true;
        if (id.field ? a->*id.field != b->*id.field : a->instanceTag != b->instanceTag) return true;
    }
    if (veko::eval(state, &p->compareLabel)) {
        if (oneSided || a->objectLabel != b->objectLabel) return true;
    } else if (oneSided) {
        return false;
    }
    const xrColor t = veko::eval(state, &p->colorThreshold);
    if (t.r > 0 || t.g > 0 || t.b > 0 || t.a > 0) {
        if (std::fabs(a->color[0] - b->color[0]) > t.r || std::fabs(a->color[1] - b->color[1]) > t.g ||
            std::fabs(a->color[2] - b->color[2]) > t.b || std::fabs(a->matteLuminance - b->matteLuminance) > t.a)
            return true;
    }
    const float distance = veko::eval(state, &p->distanceThreshold);
    if (distance > 0 && std::fabs(a->distance - b->distance) > distance) return true;
    const float depth = veko::eval(state, &p->depthThreshold);
    if (depth > 0) {
        xrVector ca, cb;
        xr_point_to_camera(state, &ca, &a->point);
        xr_point_to_camera(state, &cb, &b->point);
        if (std::fabs(ca.z - cb.z) > depth) return true;
    }
    const float angle = veko::eval(state, &p->normalAngle);
    if (angle > 0 && differs(a->normal, b->normal, std::cos(angle / 180.0f * 3.1415927f))) return true;
    if (veko::eval(state, &p->compareGeometricNormal) &&
        std::fabs(veko::dot(a->geometricNormal, b->geometricNormal)) < 0.9999995f)
        return true;
    if (veko::eval(state, &p->compareFlipped) && a->flipped != b->flipped) return true;
    const float cu = veko::eval(state, &p->uvGrid[0]), cv = veko::eval(state, &p->uvGrid[1]);
    return int(cu * a->uv.x) != int(cu * b->uv.x) || int(cv * a->uv.y) != int(cv * b->uv.y);
}

// ---------------------------------------------------------------------------
// Output: filters, bins and rasterisation.
float filterWeight(int type, float dx, float dy, float w) {
    const float lim = w - 0.00001f;
    const bool inside = std::fabs(dx) < lim && std::fabs(dy) < lim;
    switch (type) {
        case 1: return inside ? 1.0f - std::max(std::fabs(dx), std::fabs(dy)) / w : 0.0f;
        case 2: return inside ? std::exp(-3.0f * (dx * dx + dy * dy) / (w * w)) : 0.0f;
        default: return inside ? 1.0f : 0.0f;
    }
}

// n x n weights, normalised to sum 1.
std::vector<float> filterTable(int type, int o, float w, int &n) {
    n = (o % 2) ? 2 * int(std::floor(o * w / 2)) + 1 : 2 * int(std::floor((o * w + 1) / 2));
    n = std::max(n, 1);
    std::vector<float> t(size_t(n) * size_t(n));
    double sum = 0;
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j) {
            const float v = filterWeight(type, (j + 0.5f) / o - w / 2, (i + 0.5f) / o - w / 2, w);
            t[size_t(i) * size_t(n) + size_t(j)] = v;
            sum += v;
        }
    if (sum > 0)
        for (float &v : t) v = float(v / sum);
    return t;
}

struct Window {
    int x0, y0, x1, y1;  // inclusive
};

struct Subsample {
    float r, g, b, a, depth;  // depth 0: empty
};

// Draws one segment into the bin's subsamples (origin: the bin's corner
// minus the margin, in pixels; `side` subsamples a side).
void drawSegment(const ContourSegment &s, std::vector<Subsample> &sub, int side, int o, float ox, float oy) {
    const float dx = s.p2[0] - s.p1[0], dy = s.p2[1] - s.p1[1];
    const float L2 = dx * dx + dy * dy;
    if (!(L2 > 0)) return;  // zero length
    const float wmax = std::max(s.w1, s.w2);
    // Only subsamples within the segment's box can be covered.
    const float bx0 = std::min(s.p1[0], s.p2[0]) - wmax, bx1 = std::max(s.p1[0], s.p2[0]) + wmax;
    const float by0 = std::min(s.p1[1], s.p2[1]) - wmax, by1 = std::max(s.p1[1], s.p2[1]) + wmax;
    const int sx0 = std::max(0, int(std::floor((bx0 - ox) * o - 0.5f))), sx1 = std::min(side - 1, int(std::ceil((bx1 - ox) * o)));
    const int sy0 = std::max(0, int(std::floor((by0 - oy) * o - 0.5f))), sy1 = std::min(side - 1, int(std::ceil((by1 - oy) * o)));
    for (int sy = sy0; sy <= sy1; ++sy)
        for (int sx = sx0; sx <= sx1; ++sx) {
            const float qx = (sx + 0.5f) / o + ox, qy = (sy + 0.5f) / o + oy;
            const float rx = qx - s.p1[0], ry = qy - s.p1[1];
            float t = (rx * dx + ry * dy) / L2;
            bool covered;
            if (t < 0) {
                covered = std::hypot(rx, ry) <= s.w1;
                t = 0;
            } else if (t > 1) {
                covered = std::hypot(qx - s.p2[0], qy - s.p2[1]) <= s.w2;
                t = 1;
            } else {
                const float cross = std::fabs(rx * dy - ry * dx) / std::sqrt(L2);
                covered = cross <= s.w1 + (s.w2 - s.w1) * t;
            }
            if (!covered) continue;
            const float depth = -(s.p1[2] + t * (s.p2[2] - s.p1[2]));
            Subsample &q = sub[size_t(sy) * size_t(side) + size_t(sx)];
            if (depth > q.depth) {
                q.r = s.c1.r + t * (s.c2.r - s.c1.r);
                q.g = s.c1.g + t * (s.c2.g - s.c1.g);
                q.b = s.c1.b + t * (s.c2.b - s.c1.b);
                q.a = s.c1.a + t * (s.c2.a - s.c1.a);
                q.depth = depth;
            }
        }
}

struct Raster {
    int o, m, side, n;
    float w;
    std::vector<float> table;
    std::vector<Subsample> sub;
    std::vector<xrColor> acc;  // 64 x 64
};

// Filters the bin's subsamples into its pixels and writes them.
void resolveBin(Raster &r, void *image, const Window &win, int bx, int by) {
    const int o = r.o, m = r.m, n = r.n;
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            xrColor sum{0, 0, 0, 0};
            const int lx = int(std::ceil((x + m - (r.w - 1) / 2) * o - 0.5f));
            const int ly = int(std::ceil((y + m - (r.w - 1) / 2) * o - 0.5f));
            const int hx = int(std::floor((x + m + (r.w + 1) / 2) * o - 0.5f));
            const int hy = int(std::floor((y + m + (r.w + 1) / 2) * o - 0.5f));
            for (int sy = std::max(ly, 0); sy <= hy && sy < r.side; ++sy) {
                const int i = sy - ly;
                if (i >= n) break;
                for (int sx = std::max(lx, 0); sx <= hx && sx < r.side; ++sx) {
                    const int j = sx - lx;
                    if (j >= n) break;
                    const Subsample &q = r.sub[size_t(sy) * size_t(r.side) + size_t(sx)];
                    if (q.depth == 0) continue;
                    const float wa = r.table[size_t(i) * size_t(n) + size_t(j)] * q.a;
                    sum.r += wa * q.r;
                    sum.g += wa * q.g;
                    sum.b += wa * q.b;
                    sum.a += wa;
                }
            }
            r.acc[size_t(y) * 64 + size_t(x)] = sum;
        }
    for (int y = 0; y < 64; ++y)
        for (int x = 0; x < 64; ++x) {
            const int px = win.x0 + bx * 64 + x, py = win.y0 + by * 64 + y;
            if (px > win.x1 || py > win.y1) continue;
            xrColor c = r.acc[size_t(y) * 64 + size_t(x)];
            if (!(c.a > 0)) continue;
            if (c.a < 1) {
                xrColor under;
                xr_img_get_color(image, &under, px, py);
                c.r += under.r * (1 - c.a);
                c.g += under.g * (1 - c.a);
                c.b += under.b * (1 - c.a);
                c.a = 1 - (1 - under.a) * (1 - c.a);
            }
            xr_img_put_color(image, &c, px, py);
        }
}

}  // namespace

VEKO_EXPORT xrBoolean veko_contourstore(void *info, xrInteger *size, xrState *state, const xrColor *color) {
    auto *out = static_cast<ContourInfo *>(info);
    *out = ContourInfo{};
    if (color) out->color[0] = color->r, out->color[1] = color->g, out->color[2] = color->b;
    const veko::BaseStateRecord *rec = veko::stateRecord(state);
    out->matteLuminance = rec ? veko::luminance(rec->matteColor) : 0.0f;
    int32_t hostId = 0;
    if (xr_query(kQueryHostId, state, 0, &hostId)) out->hostId = hostId;
    out->userId = userIdOf(state);
    out->instanceTag = state->instanceTag;
    out->stateWord140 = state->stateWord140;
    xrTag label = 0;
    if (state->instanceTag && xr_query(kQueryObjectLabel, nullptr, state->instanceTag, &label)) out->objectLabel = label;
    out->distance = float(state->hitDistance);
    out->point = state->hitPoint;
    out->normal = state->shadingNormal;
    out->geometricNormal = state->geometricNormal;
    out->flipped = state->normalFlipped;
    if (state->texCoords) out->uv = state->texCoords[0];
    if (size) *size = sizeof(ContourInfo);
    return 1;
}

VEKO_EXPORT xrBoolean veko_contourcontrast(const void *info1, const void *info2, xrInteger level, xrState *state,
                                           void *params) {
    if (level > 1) return 0;
    if (!info1 && !info2) return 0;
    return contrast(static_cast<const ContourInfo *>(info1), static_cast<const ContourInfo *>(info2), state,
                    static_cast<const ContrastParams *>(params))
               ? 1
               : 0;
}

VEKO_EXPORT xrBoolean veko_contour(void *endpoint, const void *, const void *, xrState *state, void *params) {
    auto *e = static_cast<ContourEndpoint *>(endpoint);
    const auto *p = static_cast<const ContourParams *>(params);
    const xrColor c = veko::eval(state, &p->contourColor);
    e->color = {c.r, c.g, c.b, veko::eval(state, &p->contourAlpha)};
    float width = veko::eval(state, &p->contourWidth);
    // A width in pixels becomes a percentage of the image width.
    if (!veko::eval(state, &p->widthIsRelative) && state->cameraRecord && state->cameraRecord->imageWidth > 0)
        width /= float(state->cameraRecord->imageWidth) * 0.01f;
    e->width = width;
    return 1;
}

VEKO_EXPORT xrBoolean veko_contouroutput(void *, xrState *state, void *params) {
    const auto *p = static_cast<const OutputParams *>(params);
    const xrCamera *cam = state->cameraRecord;
    if (!cam) return 1;
    const Window win{std::max(cam->windowXmin, 0), std::max(cam->windowYmin, 0),
                     std::min(cam->windowXmax, cam->imageWidth - 1), std::min(cam->windowYmax, cam->imageHeight - 1)};
    if (win.x1 < win.x0 || win.y1 < win.y0) return 1;
    void *image = xr_output_image_open(state, kColorImage);
    if (!image) return 1;
    if (veko::eval(state, &p->clearBackground)) {
        const xrColor bg = veko::eval(state, &p->backgroundColor);
        for (int y = win.y0; y <= win.y1; ++y)
            for (int x = win.x0; x <= win.x1; ++x) xr_img_put_color(image, &bg, x, y);
    }
    if (xr_par_aborted()) {
        xr_output_image_close(state, kColorImage);
        return 1;
    }
    Raster r;
    r.o = std::max(veko::eval(state, &p->oversample), 1);
    const int type = veko::eval(state, &p->filterType);
    r.w = std::max(1.0f / float(r.o), veko::eval(state, &p->filterWidth));
    r.m = int(std::ceil(r.w));
    const int ww = win.x1 - win.x0 + 1, wh = win.y1 - win.y0 + 1;
    const int nx = ww / 64 + 1, ny = wh / 64 + 1;
    std::vector<ContourSegment *> bins(size_t(nx) * size_t(ny), nullptr);
    xrBlockPool pool = xr_mem_int_blkcreate(sizeof(ContourSegment));

    // Binning.
    ContourEndpoint e1, e2;
    while (pool && xr_get_contour_line(&e1, &e2)) {
        const float m = float(r.m);
        const float x0 = std::min(e1.x - e1.width, e2.x - e2.width) - m - float(win.x0);
        const float x1 = std::max(e1.x + e1.width, e2.x + e2.width) + m - float(win.x0);
        const float y0 = std::min(e1.y - e1.width, e2.y - e2.width) - m - float(win.y0);
        const float y1 = std::max(e1.y + e1.width, e2.y + e2.width) + m - float(win.y0);
        if (!(x1 >= 0 && y1 >= 0)) continue;  // also skips non-finite boxes
        const int bx0 = std::max(0, int(x0 / 64)), bx1 = std::min(nx - 1, int(std::min(x1 / 64, 1e6f)));
        const int by0 = std::max(0, int(y0 / 64)), by1 = std::min(ny - 1, int(std::min(y1 / 64, 1e6f)));
        for (int by = by0; by <= by1; ++by)
            for (int bx = bx0; bx <= bx1; ++bx) {
                auto *s = static_cast<ContourSegment *>(xr_mem_blkfallocate(pool));
                if (!s) continue;
                *s = {{e1.x, e1.y, e1.z}, {e2.x, e2.y, e2.z}, e1.color, e2.color, e1.width, e2.width,
                      bins[size_t(by) * size_t(nx) + size_t(bx)]};
                bins[size_t(by) * size_t(nx) + size_t(bx)] = s;
            }
    }

    if (pool && !xr_par_aborted()) {
        r.table = filterTable(type, r.o, r.w, r.n);
        r.side = (64 + 2 * r.m) * r.o;
        r.sub.resize(size_t(r.side) * size_t(r.side));
        r.acc.resize(64 * 64);
        xr_progress("veko_contouroutput(): Computing contours...");
        const int total = nx * ny;
        const int step = std::max(int(float(nx) * 0.04f * float(ny)), 1);
        bool aborted = false;
        for (int b = 0; b < total; ++b) {
            // The last bin prints no percentage; the closing line follows.
            if (b % step == 0 && b != total - 1)
                xr_progress("veko_contouroutput(): %5.1f percent rendered.", double(b) * 100.0 / double(total - 1));
            if (xr_par_aborted()) {
                xr_progress("veko_contouroutput(): User initiated abort.");
                aborted = true;
                break;
            }
            const ContourSegment *seg = bins[size_t(b)];
            if (!seg) continue;
            std::fill(r.sub.begin(), r.sub.end(), Subsample{0, 0, 0, 0, 0});
            const int bx = b % nx, by = b / nx;
            const float ox = float(win.x0 + bx * 64 - r.m), oy = float(win.y0 + by * 64 - r.m);
            for (; seg; seg = seg->next) drawSegment(*seg, r.sub, r.side, r.o, ox, oy);
            resolveBin(r, image, win, bx, by);
        }
        if (!aborted) xr_progress("veko_contouroutput(): 100.0 percent rendered.");
    }
    if (pool) xr_mem_blkdelete(pool);
    xr_output_image_close(state, kColorImage);
    return 1;
}
