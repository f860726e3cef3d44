// Shader glow: an output shader that reads the glow colours the surface
// shaders left in a frame buffer, gathers them on a coarse grid, drops dim
// cells, convolves the grid with a procedural glow kernel and a wider halo
// kernel, and adds both back into the colour image. Values are 0-255 units.
#include <algorithm>
#include <cmath>

#include "vekobase.h"

namespace {

struct GlowParams {
    xrInteger glowType;           // 0
    xrInteger haloType;           // 1
    xrScalar glowIntensity;       // 2
    xrColor glowColor;            // 3-6
    xrScalar glowSpread;          // 7
    xrScalar glowEccentricity;    // 8
    xrScalar glowRadialNoise;     // 9
    xrScalar glowStarLevel;       // 10
    xrScalar glowOpacity;         // 11
    xrScalar glowRingIntensity;   // 12
    xrScalar glowRingFrequency;   // 13
    xrInteger glowFilterWidth;    // 14: not used (the width is computed)
    xrScalar haloIntensity;       // 15
    xrColor haloColor;            // 16-19
    xrScalar haloSpread;          // 20
    xrScalar haloEccentricity;    // 21
    xrScalar haloRadialNoise;     // 22
    xrScalar haloStarLevel;       // 23
    xrScalar haloOpacity;         // 24
    xrScalar haloRingIntensity;   // 25
    xrScalar haloRingFrequency;   // 26
    xrInteger haloFilterWidth;    // 27: not used
    xrScalar quality;             // 28
    xrScalar threshold;           // 29
    xrScalar radialFrequency;     // 30
    xrScalar starPoints;          // 31
    xrScalar rotation;            // 32
    xrBoolean autoExposure;       // 33
    xrInteger frameBufferIndex;   // 34
};
static_assert(sizeof(GlowParams) == 35 * 4);

// Output image numbers of the host.
constexpr int kColorImage = 0;
constexpr int kFrameBufferImage0 = 11;

struct Cell {
    float r, g, b, w;  // w: kernel weight (grids leave it unused)
};

struct GlowFilter {
    int type = 0;
    float intensity = 0, spread = 0, eccentricity = 0, radialNoise = 0, starLevel = 0, opacity = 0;
    float ringIntensity = 0, ringFrequency = 0;
    float color[4] = {0, 0, 0, 1};  // r, g, b times 255, alpha 1
    float scale = 1;                // grid cells per pixel
    int width = 1;                  // kernel width in cells, odd
    Cell *grid = nullptr;           // gridWidth * gridHeight + 1 cells
    int gridWidth = 0, gridHeight = 0;
    Cell *kernel = nullptr;         // width * width cells
    float normalizer = 0;

    bool active() const { return type > 0; }
    bool shown() const { return type > 0 && intensity != 0.0f; }
};

// Settings shared by both kernels.
struct PatternSettings {
    float radialFrequency, starPoints, rotation;
};

Cell *allocCells(size_t n) {
    return static_cast<Cell *>(xr_mem_int_allocate(__FILE__, __LINE__, n * sizeof(Cell)));
}

void releaseFilter(GlowFilter &f) {
    if (f.grid) xr_mem_int_release(__FILE__, __LINE__, f.grid);
    if (f.kernel) xr_mem_int_release(__FILE__, __LINE__, f.kernel);
    f.grid = f.kernel = nullptr;
}

// ---------------------------------------------------------------------------
// Angular noise: a 32 x 32 periodic lattice of values in [-1, 1] from a
// 16-bit linear congruential generator, read through a quadratic B-spline.
const double *noiseLattice() {
    struct Table {
        double v[1024];
        Table() {
            uint32_t x = 2413;
            for (double &d : v) {
                x = (25173u * x + 13849u) & 0xFFFFu;
                d = double(x) / 65535.0 * 2.0 - 1.0;
            }
        }
    };
    static const Table table;
    return table.v;
}

inline double quadratic(double a, double b, double c, double t) {
    return ((a - 2 * b + c) * t - 2 * (a - b)) * t + a + b;
}

double latticeNoise(double u, double v) {
    const double *L = noiseLattice();
    u *= 32;
    v *= 32;
    const double fi = std::floor(u), fj = std::floor(v);
    const double fu = u - fi, fv = v - fj;
    const long i = long(fi), j = long(fj);
    auto at = [&](long row, long col) {
        const long r = ((row % 32) + 32) % 32, c = ((col % 32) + 32) % 32;
        return L[r * 32 + c];
    };
    double rows[3];
    for (int k = 0; k < 3; ++k) {
        const long row = j - 1 + k;
        rows[k] = quadratic(at(row, i - 1), at(row, i), at(row, i + 1), fu);
    }
    return quadratic(rows[0], rows[1], rows[2], fv) * 0.25;
}

// ---------------------------------------------------------------------------
// Filter set-up and kernel.
void setupFilter(GlowFilter &f, float constant, int imageWidth, int windowWidth, int windowHeight, float quality) {
    const float s = std::max(f.spread, 0.00001f);
    const float q = std::max(quality, 0.001f);
    f.scale = std::clamp(std::pow(s * s * q, 0.25f) * 0.1699f / s, 0.01f, 1.0f);
    f.gridWidth = int(float(windowWidth) * f.scale) + 1;
    f.gridHeight = int(float(windowHeight) * f.scale) + 1;
    // A kernel wider than twice the grid adds nothing the clipped kernel
    // does not, but its memory grows with the square of the spread: cap it.
    const double nominal = double(imageWidth) * s * f.scale;
    const double cap = 2.0 * std::max(f.gridWidth, f.gridHeight) + 1;
    int width = int(std::min(nominal, cap));
    if (width % 2 == 0) ++width;
    f.width = width;
    f.normalizer = float(width) * float(width) * constant;
}

// Weight of one kernel cell at (x, y) cells from the centre, h = width / 2.
struct KernelValue {
    float v, rho;
};

KernelValue kernelValue(const GlowFilter &f, const PatternSettings &ps, int x, int y, int h) {
    const float rho = std::min(std::sqrt(float(x * x + y * y)) / float(h + 1), 1.0f);
    float w = 1.0f;
    if (f.starLevel != 0.0f || f.radialNoise != 0.0f) {
        double a = (x == 0 && y == 0) ? 0.0 : std::atan2(double(y), double(x)) / (2 * M_PI) + 0.5;
        a += std::fmod(double(ps.rotation), 360.0) / 360.0;
        a -= std::floor(a);
        a = std::min(a, 0.999995);
        const float star =
            f.starLevel != 0.0f ? std::max(0.0f, 1.0f - float(std::fabs(std::sin(ps.starPoints * a * M_PI))) * f.starLevel)
                                : 1.0f;
        if (f.radialNoise != 0.0f) {
            auto noiseAt = [&](double t) {
                const double p = (t - std::floor(t)) * ps.radialFrequency;
                return latticeNoise(p, p) + 0.5;
            };
            double n = noiseAt(a);
            // Blend towards the value at 1 - a near a = 0 so the pattern
            // closes where the angle wraps.
            if (a < 0.1) n = noiseAt(1.0 - a) * (1.0 - 10.0 * a) + 10.0 * a * n;
            const float m = 1.0f - f.radialNoise * float(n);
            w = m * m;
        }
        w *= star;
    }
    const float ring = f.ringIntensity;
    if (ring != 0.0f) {
        const float g = (std::sin(rho * rho * veko::kPi * f.ringFrequency) * 0.5f + 1.0f) * ring;
        w *= ring <= 1.0f ? 1.0f - g : ring - g;
    }
    const float rim =
        f.type == 5 ? std::max(0.0f, 1.0f - std::fabs((0.9f - rho) / 0.1f)) * (((w - 1.0f) * 0.6f + 1.0f) * 0.1f) : 0.0f;
    const float p = 1.0f - std::pow(rho, f.eccentricity);
    return {((1.0f - p) * w + p) * p + rim, rho};
}

bool buildKernel(GlowFilter &f, const PatternSettings &ps) {
    const int n = f.width, h = n / 2;
    f.kernel = allocCells(size_t(n) * size_t(n));
    if (!f.kernel) return false;
    double sum = 0;
    for (int y = -h; y <= h; ++y)
        for (int x = -h; x <= h; ++x) {
            const KernelValue kv = kernelValue(f, ps, x, y, h);
            const float v = kv.v, rho = kv.rho;
            Cell &c = f.kernel[size_t(y + h) * size_t(n) + size_t(x + h)];
            if (f.type == 4) {  // tinted: red rim, green middle, blue core
                c.r = v * std::clamp(1.3f * rho, 0.5f, 1.0f);
                c.g = v * std::clamp(1.2f - 2.0f * std::fabs(0.3f - rho), 0.0f, 1.0f);
                c.b = v * std::clamp(3.0f * (1.0f - rho) - 1.0f, 0.0f, 1.0f);
            } else {
                c.r = c.g = c.b = v;
            }
            c.w = v;
            sum += v;
        }
    if (sum != 0.0) {
        const float k = float(f.normalizer / sum);
        for (size_t i = 0; i < size_t(n) * size_t(n); ++i) {
            Cell &c = f.kernel[i];
            c.r *= k, c.g *= k, c.b *= k, c.w *= k;
        }
    }
    return true;
}

// Convolves the filter's grid with its kernel and normalises the result
// into 0-255; returns the normalization value that is reported.
float convolve(GlowFilter &f, bool autoExposure) {
    const int gw = f.gridWidth, gh = f.gridHeight, n = f.width, h = n / 2;
    const size_t cells = size_t(gw) * size_t(gh) + 1;
    Cell *out = allocCells(cells);
    if (!out) return 0;
    float largestIn = 0;
    for (int cy = 0; cy < gh; ++cy)
        for (int cx = 0; cx < gw; ++cx) {
            const Cell &src = f.grid[size_t(cy) * size_t(gw) + size_t(cx)];
            const float r = src.r < 1 ? 0 : src.r, g = src.g < 1 ? 0 : src.g, b = src.b < 1 ? 0 : src.b;
            if (r == 0 && g == 0 && b == 0) continue;
            largestIn = std::max(largestIn, std::max(r, std::max(g, b)));
            const int y0 = std::max(-h, -cy), y1 = std::min(h, gh - 1 - cy);
            const int x0 = std::max(-h, -cx), x1 = std::min(h, gw - 1 - cx);
            for (int ky = y0; ky <= y1; ++ky) {
                const Cell *krow = f.kernel + size_t(ky + h) * size_t(n) + size_t(h);
                Cell *orow = out + size_t(cy + ky) * size_t(gw) + size_t(cx);
                for (int kx = x0; kx <= x1; ++kx) {
                    const Cell &k = krow[kx];
                    if (!(k.w > 0.00001f)) continue;
                    Cell &o = orow[kx];
                    if (f.type == 4) {
                        o.r += r * k.r, o.g += g * k.g, o.b += b * k.b;
                    } else {
                        o.r += r * k.w, o.g += g * k.w, o.b += b * k.w;
                    }
                }
            }
        }
    float largestOut = 0;
    for (size_t i = 0; i + 1 < cells; ++i)
        largestOut = std::max(largestOut, std::max(out[i].r, std::max(out[i].g, out[i].b)));
    const float area = float(n) * float(n);
    float q = autoExposure ? (largestOut + 0.001f) / (largestIn * f.intensity + 0.001f) : area / (f.intensity * 500.0f);
    q = std::max(q, 0.00001f);
    const float k = 2.0f / (q * 255.0f);
    for (size_t i = 0; i + 1 < cells; ++i) {
        Cell &o = out[i];
        o.r = std::clamp(o.r * k * f.color[0], 0.0f, 255.0f);
        o.g = std::clamp(o.g * k * f.color[1], 0.0f, 255.0f);
        o.b = std::clamp(o.b * k * f.color[2], 0.0f, 255.0f);
    }
    xr_mem_int_release(__FILE__, __LINE__, f.grid);
    f.grid = out;
    return area / (q * 500.0f);
}

// Area-averaging resample of `src` (sw x sh) into a new grid of dw x dh:
// a box filter over the size ratio along x, then along y; results rounded
// and clamped to 255.
Cell *resampleGrid(const Cell *src, int sw, int sh, int dw, int dh) {
    Cell *tmp = allocCells(size_t(dw) * size_t(sh));
    Cell *dst = allocCells(size_t(dw) * size_t(dh) + 1);
    if (!tmp || !dst) {
        if (tmp) xr_mem_int_release(__FILE__, __LINE__, tmp);
        if (dst) xr_mem_int_release(__FILE__, __LINE__, dst);
        return nullptr;
    }
    // One axis: target i covers source [i * ratio, (i + 1) * ratio).
    auto pass = [](const Cell *in, Cell *out, int n, int m, int lines, size_t inStride, size_t inStep,
                   size_t outStride, size_t outStep) {
        const double ratio = double(n) / double(m);
        for (int line = 0; line < lines; ++line)
            for (int i = 0; i < m; ++i) {
                const double a = i * ratio, b = (i + 1) * ratio;
                double r = 0, g = 0, bl = 0;
                for (int s = int(a); s < n && s < b; ++s) {
                    const double w = std::min(b, double(s + 1)) - std::max(a, double(s));
                    if (w <= 0) continue;
                    const Cell &c = in[size_t(line) * inStride + size_t(s) * inStep];
                    r += c.r * w, g += c.g * w, bl += c.b * w;
                }
                Cell &o = out[size_t(line) * outStride + size_t(i) * outStep];
                o.r = float(r / ratio), o.g = float(g / ratio), o.b = float(bl / ratio);
            }
    };
    pass(src, tmp, sw, dw, sh, size_t(sw), 1, size_t(dw), 1);
    pass(tmp, dst, sh, dh, dw, 1, size_t(dw), 1, size_t(dw));
    xr_mem_int_release(__FILE__, __LINE__, tmp);
    for (size_t i = 0; i < size_t(dw) * size_t(dh); ++i) {
        Cell &c = dst[i];
        c.r = std::min(std::floor(c.r + 0.5f), 255.0f);
        c.g = std::min(std::floor(c.g + 0.5f), 255.0f);
        c.b = std::min(std::floor(c.b + 0.5f), 255.0f);
    }
    return dst;
}

// ---------------------------------------------------------------------------
// Passes over the image window.
struct Window {
    int x0, y0, x1, y1;  // inclusive
    int width() const { return x1 - x0 + 1; }
    int height() const { return y1 - y0 + 1; }
};

// Splits the pixel's extent [i k, i k + k) over the grid cells of one axis.
inline int splitCells(int i, float k, int cells, float weights[2]) {
    const float a = float(i) * k;
    const int c = int(a);
    if (c >= cells - 1) {
        weights[0] = k;
        return 1;
    }
    const float boundary = float(c + 1);
    if (a + k <= boundary) {
        weights[0] = k;
        return 1;
    }
    weights[0] = boundary - a;
    weights[1] = a + k - boundary;
    return 2;
}

void accumulate(GlowFilter &f, const void *image, const Window &win) {
    const float k = f.scale;
    for (int y = win.y0; y <= win.y1; ++y) {
        const int j = y - win.y0;
        float wy[2];
        const int ny = splitCells(j, k, f.gridHeight, wy);
        const int cy = std::min(int(float(j) * k), f.gridHeight - 1);
        for (int x = win.x0; x <= win.x1; ++x) {
            xrColor c;
            xr_img_get_color(image, &c, x, y);
            if (c.r == 0 && c.g == 0 && c.b == 0) continue;
            const float r = std::clamp(c.r * 255.0f, 0.0f, 255.0f), g = std::clamp(c.g * 255.0f, 0.0f, 255.0f),
                        b = std::clamp(c.b * 255.0f, 0.0f, 255.0f);
            const int i = x - win.x0;
            float wx[2];
            const int nx = splitCells(i, k, f.gridWidth, wx);
            const int cx = std::min(int(float(i) * k), f.gridWidth - 1);
            for (int a = 0; a < ny; ++a)
                for (int bb = 0; bb < nx; ++bb) {
                    Cell &cell = f.grid[size_t(cy + a) * size_t(f.gridWidth) + size_t(cx + bb)];
                    const float w = wx[bb] * wy[a];
                    cell.r += r * w, cell.g += g * w, cell.b += b * w;
                }
        }
    }
}

void applyThreshold(GlowFilter &f, float threshold) {
    const float T = threshold * 255.0f;
    for (size_t i = 0; i < size_t(f.gridWidth) * size_t(f.gridHeight); ++i) {
        Cell &c = f.grid[i];
        const float a = (c.r + c.g + c.b) / 12.0f;
        if (T > 0.75f * c.r + a && T > 0.75f * c.g + a && T > 0.75f * c.b + a) c.r = c.g = c.b = 0;
    }
}

void composite(const GlowFilter &f, void *image, const Window &win) {
    const int gw = f.gridWidth, gh = f.gridHeight;
    for (int y = win.y0; y <= win.y1; ++y) {
        const float gy = float(y - win.y0) * f.scale;
        const int jy = int(gy);
        const float ty = gy - float(jy);
        const int y0 = std::min(jy, gh - 1), y1 = std::min(jy + 1, gh - 1);
        for (int x = win.x0; x <= win.x1; ++x) {
            const float gx = float(x - win.x0) * f.scale;
            const int ix = int(gx);
            const float tx = gx - float(ix);
            const int x0 = std::min(ix, gw - 1), x1 = std::min(ix + 1, gw - 1);
            const Cell &c00 = f.grid[size_t(y0) * size_t(gw) + size_t(x0)];
            const Cell &c10 = f.grid[size_t(y0) * size_t(gw) + size_t(x1)];
            const Cell &c01 = f.grid[size_t(y1) * size_t(gw) + size_t(x0)];
            const Cell &c11 = f.grid[size_t(y1) * size_t(gw) + size_t(x1)];
            auto bilerp = [&](float a, float b, float c, float d) {
                return (a * (1 - tx) + b * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty;
            };
            const float G[3] = {bilerp(c00.r, c10.r, c01.r, c11.r), bilerp(c00.g, c10.g, c01.g, c11.g),
                                bilerp(c00.b, c10.b, c01.b, c11.b)};
            if (G[0] == 0 && G[1] == 0 && G[2] == 0) continue;
            xrColor px;
            xr_img_get_color(image, &px, x, y);
            float p[4] = {px.r * 255.0f, px.g * 255.0f, px.b * 255.0f, px.a * 255.0f};
            const float sum = G[0] + G[1] + G[2], avg = sum / 3.0f;
            const float o = f.opacity * sum / 765.0f;
            if (o > 0.0f) {
                for (int ch = 0; ch < 3; ++ch) p[ch] = o >= 1.0f ? G[ch] : p[ch] * (1.0f - o) + G[ch];
                p[3] = o * avg + avg + p[3];
            } else {
                for (int ch = 0; ch < 3; ++ch) p[ch] += G[ch];
                p[3] = avg + p[3];
            }
            for (float &v : p)
                if (v > 0.5f) v += float(2.0 * xr_random() - 1.0);
            xrColor out = {p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, std::clamp(p[3] / 255.0f, 0.0f, 1.0f)};
            xr_img_put_color(image, &out, x, y);
        }
    }
}

void readFilter(xrState *state, GlowFilter &f, const xrInteger *type, const xrScalar *intensity, const xrColor *color,
                const xrScalar *spread) {
    f.type = std::clamp(veko::eval(state, type), 0, 5);
    f.intensity = veko::eval(state, intensity);
    const xrColor c = veko::eval(state, color);
    f.color[0] = c.r * 255.0f, f.color[1] = c.g * 255.0f, f.color[2] = c.b * 255.0f, f.color[3] = 1.0f;
    // spread .. ringFrequency follow each other in the block.
    float *fields[] = {&f.spread, &f.eccentricity, &f.radialNoise, &f.starLevel,
                       &f.opacity, &f.ringIntensity, &f.ringFrequency};
    for (int i = 0; i < 7; ++i) *fields[i] = veko::eval(state, spread + i);
}

void reportFilter(const char *label, const GlowFilter &f, float normalization) {
    xr_info("veko_shaderglow(): %s: Filter Width .... %u", label, unsigned(f.width));
    xr_info("veko_shaderglow():       Resolution ...... %f", double(f.scale));
    xr_info("veko_shaderglow():       Normalization ... %f", double(normalization));
}

}  // namespace

VEKO_EXPORT xrBoolean veko_shaderglow(void *, xrState *state, void *params) {
    if (xr_par_aborted()) return 1;
    const auto *p = static_cast<const GlowParams *>(params);
    xr_progress("veko_shaderglow(): Computing glow...");
    GlowFilter glow, halo;
    readFilter(state, glow, &p->glowType, &p->glowIntensity, &p->glowColor, &p->glowSpread);
    readFilter(state, halo, &p->haloType, &p->haloIntensity, &p->haloColor, &p->haloSpread);
    const float quality = veko::eval(state, &p->quality);
    const float threshold = veko::eval(state, &p->threshold);
    const PatternSettings ps{veko::eval(state, &p->radialFrequency), veko::eval(state, &p->starPoints),
                             veko::eval(state, &p->rotation)};
    const bool autoExposure = veko::eval(state, &p->autoExposure) != 0;
    const int frameBufferIndex = veko::eval(state, &p->frameBufferIndex);
    if (!glow.shown() && !halo.shown()) return 1;

    if (xr_par_aborted()) return 1;
    const xrCamera *cam = state->cameraRecord;
    if (!cam) return 1;
    const Window win{std::max(cam->windowXmin, 0), std::max(cam->windowYmin, 0),
                     std::min(cam->windowXmax, cam->imageWidth - 1), std::min(cam->windowYmax, cam->imageHeight - 1)};
    if (win.x1 < win.x0 || win.y1 < win.y0) return 1;

    if (xr_par_aborted()) return 1;
    if (glow.active()) setupFilter(glow, 0.05668934f, cam->imageWidth, win.width(), win.height(), quality);
    if (halo.active()) setupFilter(halo, 0.03844675f, cam->imageWidth, win.width(), win.height(), quality);

    if (xr_par_aborted()) return 1;
    GlowFilter &work = halo.active() && (!glow.active() || halo.gridWidth >= glow.gridWidth) ? halo : glow;
    GlowFilter &other = &work == &halo ? glow : halo;
    work.grid = allocCells(size_t(work.gridWidth) * size_t(work.gridHeight) + 1);
    void *colorImage = nullptr;
    auto finish = [&]() -> xrBoolean {
        releaseFilter(glow);
        releaseFilter(halo);
        if (colorImage) xr_output_image_close(state, kColorImage);
        return 1;
    };
    if (!work.grid) return finish();

    if (xr_par_aborted()) return finish();
    const int source = frameBufferIndex + kFrameBufferImage0;
    if (void *glowImage = xr_output_image_open(state, source)) {
        accumulate(work, glowImage, win);
        xr_output_image_close(state, source);
    }

    if (xr_par_aborted()) return finish();
    colorImage = xr_output_image_open(state, kColorImage);
    if (!colorImage) return finish();
    applyThreshold(work, threshold);

    if (xr_par_aborted()) return finish();
    if (other.shown()) {
        if (other.gridWidth == work.gridWidth && other.gridHeight == work.gridHeight) {
            const size_t cells = size_t(work.gridWidth) * size_t(work.gridHeight) + 1;
            other.grid = allocCells(cells);
            if (other.grid) std::memcpy(other.grid, work.grid, cells * sizeof(Cell));
        } else {
            other.grid = resampleGrid(work.grid, work.gridWidth, work.gridHeight, other.gridWidth, other.gridHeight);
        }
        if (!other.grid) return finish();
    }

    if (xr_par_aborted()) return finish();
    GlowFilter *order[2] = {&glow, &halo};
    const char *labels[2] = {"Glow", "Halo"};
    for (int i = 0; i < 2; ++i) {
        GlowFilter &f = *order[i];
        if (!f.shown()) continue;
        if (!buildKernel(f, ps)) return finish();
        reportFilter(labels[i], f, convolve(f, autoExposure));
    }

    if (xr_par_aborted()) return finish();
    for (GlowFilter *f : order)
        if (f->shown()) composite(*f, colorImage, win);
    xr_progress("veko_shaderglow(): Done!");
    return finish();
}
