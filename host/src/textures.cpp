// Texture images: files read into database elements of type xrDB_IMAGE with
// a pyramid of reduced levels (xr_img_*), and the elliptical filter served by
// the image module's texture system over the same file
// (xr_lookup_filter_color_texture). PNG and OpenEXR are read directly; other
// formats and the elliptical filter load the image module on first use.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>

#include "oiio_module.h"
#include "render_internal.h"
#include "vekohost/imagefile.h"
#include "vekohost/textures.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

constexpr int32_t kImageMagic = 0x56484D47;  // marks the host's level records

// What the library receives for an image element and each of its levels.
// Word 1 is the level count; the rest is the host's.
struct LevelRecord {
    int32_t magic;               // word 0
    int32_t levelCount;          // word 1
    int32_t width, height;       // words 2, 3
    const float *pixels;         // RGBA in tiles (texelAddress)
    const LevelRecord *levels;   // every level, level 0 first
    const void *owner;           // the TextureImage
    int32_t tilesAcross;         // tiles per row of tiles
    int32_t pad;
};

// Texels are stored in 4 x 4 tiles of 256 bytes (one 64-byte cache line per
// tile row), tiles row by row: the four texels of a bilinear lookup share a
// tile or a neighbouring one far more often than in plain rows, which keeps
// random lookups from missing the cache twice per sample.
constexpr int kTile = 4;
inline size_t texelAddress(int x, int y, int tilesAcross) {
    return ((size_t(y / kTile) * size_t(tilesAcross) + size_t(x / kTile)) * (kTile * kTile) +
            size_t(y % kTile) * kTile + size_t(x % kTile)) * 4;
}

struct Level {
    int w = 0, h = 0;
    std::vector<float> px;  // RGBA
};

// One axis of an area-weighted reduction from n to m samples: the source
// samples that overlap each target sample, with their overlap as weight.
struct Tap {
    int src;
    float w;
};
std::vector<std::vector<Tap>> reductionTaps(int n, int m) {
    std::vector<std::vector<Tap>> taps(static_cast<size_t>(m));
    const double scale = double(n) / m;
    for (int i = 0; i < m; ++i) {
        const double a = i * scale, b = (i + 1) * scale;
        for (int s = int(a); s < n && s < b; ++s) {
            const double lo = std::max(a, double(s)), hi = std::min(b, double(s + 1));
            if (hi > lo) taps[size_t(i)].push_back({s, float((hi - lo) / scale)});
        }
    }
    return taps;
}

Level reduce(const Level &src) {
    Level dst;
    dst.w = std::max(src.w / 2, 1);
    dst.h = std::max(src.h / 2, 1);
    const auto tx = reductionTaps(src.w, dst.w), ty = reductionTaps(src.h, dst.h);
    std::vector<float> rows(size_t(dst.w) * size_t(src.h) * 4, 0.0f);
    for (int y = 0; y < src.h; ++y)
        for (int x = 0; x < dst.w; ++x) {
            float *d = &rows[(size_t(y) * dst.w + size_t(x)) * 4];
            for (const Tap &t : tx[size_t(x)]) {
                const float *s = &src.px[(size_t(y) * src.w + size_t(t.src)) * 4];
                for (int c = 0; c < 4; ++c) d[c] += t.w * s[c];
            }
        }
    dst.px.assign(size_t(dst.w) * size_t(dst.h) * 4, 0.0f);
    for (int y = 0; y < dst.h; ++y)
        for (const Tap &t : ty[size_t(y)])
            for (int x = 0; x < dst.w; ++x) {
                float *d = &dst.px[(size_t(y) * dst.w + size_t(x)) * 4];
                const float *s = &rows[(size_t(t.src) * dst.w + size_t(x)) * 4];
                for (int c = 0; c < 4; ++c) d[c] += t.w * s[c];
            }
    return dst;
}

class Image final : public TextureImage {
public:
    Image(std::string path, const std::vector<Level> &levels, int channels)
        : path_(std::move(path)), width_(levels[0].w), height_(levels[0].h), channels_(channels) {
        // Every level in tiles, in one block aligned to 128 bytes.
        std::vector<size_t> start;
        size_t total = 0;
        for (const Level &l : levels) {
            start.push_back(total);
            total += size_t((l.w + kTile - 1) / kTile) * size_t((l.h + kTile - 1) / kTile) * kTile * kTile * 4;
        }
        storage_.assign(total + 32, 0.0f);
        float *base = storage_.data();
        base += (128 - reinterpret_cast<uintptr_t>(base) % 128) % 128 / sizeof(float);
        records_.resize(levels.size());
        for (size_t i = 0; i < levels.size(); ++i) {
            const Level &l = levels[i];
            const int across = (l.w + kTile - 1) / kTile;
            float *px = base + start[i];
            for (int y = 0; y < l.h; ++y)
                for (int x = 0; x < l.w; ++x)
                    std::memcpy(px + texelAddress(x, y, across), &l.px[(size_t(y) * size_t(l.w) + size_t(x)) * 4],
                                4 * sizeof(float));
            records_[i] = {kImageMagic, int32_t(levels.size()), l.w, l.h, px, records_.data(), this, across, 0};
        }
        tag_ = Database::get().create(xrDB_IMAGE, &records_[0], sizeof(LevelRecord));
    }
    ~Image() override {
        Database::get().remove(tag_);
        // The file may change before it is opened again.
        if (handle_) oiioModule().invalidate(path_.c_str());
    }
    xrTag tag() const override { return tag_; }
    const std::string &path() const override { return path_; }
    int width() const override { return width_; }
    int height() const override { return height_; }
    int levels() const override { return int(records_.size()); }
    int channels() const override { return channels_; }

    // The file in the module's texture system, looked up once.
    void *handle(const VhOiioApi &api) {
        std::call_once(handleOnce_, [&] { handle_ = api.textureHandle(path_.c_str()); });
        return handle_;
    }

private:
    std::string path_;
    int width_ = 0, height_ = 0;
    std::vector<float> storage_;
    std::vector<LevelRecord> records_;
    int channels_ = 0;
    xrTag tag_ = 0;
    std::once_flag handleOnce_;
    void *handle_ = nullptr;
};

std::mutex g_openMutex;
std::map<std::string, std::weak_ptr<Image>> g_open;

// The file's pixels, top row first, with its channel count and alpha
// channel (-1: none).
std::vector<float> readFile(const std::string &path, int &W, int &H, int &nc, int &alpha) {
    if (isPngPath(path) || isExrPath(path)) {
        if (!std::filesystem::exists(path)) throw Error(path + ": cannot read the image: no such file");
        ImageFile f = readImageFile(path);
        W = f.width;
        H = f.height;
        nc = int(f.channels.size());
        alpha = f.channelIndex("A");
        return std::move(f.pixels);
    }
    const VhOiioApi &api = oiioModule();
    float *px = nullptr;
    char err[512] = "";
    if (!api.read(path.c_str(), &W, &H, &nc, &alpha, &px, err, sizeof err)) {
        std::string why = err;
        if (!std::filesystem::exists(path)) why = "no such file";
        throw Error(path + ": cannot read the image: " + why);
    }
    std::vector<float> out(px, px + size_t(W) * size_t(H) * size_t(nc));
    api.freePixels(px);
    return out;
}

std::vector<Level> readLevels(const std::string &path, int &channels) {
    int W = 0, H = 0, nc = 0, fileAlpha = -1;
    const std::vector<float> file = readFile(path, W, H, nc, fileAlpha);
    if (W <= 0 || H <= 0 || nc <= 0) throw Error(path + ": the image is empty");
    channels = nc;
    // RGBA, bottom row first; grey fills r, g, b; no alpha means opaque.
    const int alpha = fileAlpha >= 0 ? fileAlpha : (nc == 2 ? 1 : (nc >= 4 ? 3 : -1));
    Level l0;
    l0.w = W;
    l0.h = H;
    l0.px.resize(size_t(W) * size_t(H) * 4);
    for (int y = 0; y < H; ++y)
        for (int x = 0; x < W; ++x) {
            const float *s = &file[(size_t(H - 1 - y) * W + size_t(x)) * size_t(nc)];
            float *d = &l0.px[(size_t(y) * W + size_t(x)) * 4];
            if (nc < 3) d[0] = d[1] = d[2] = s[0];
            else d[0] = s[0], d[1] = s[1], d[2] = s[2];
            d[3] = alpha >= 0 ? s[alpha] : 1.0f;
        }
    std::vector<Level> levels;
    levels.push_back(std::move(l0));
    while (levels.back().w > 1 || levels.back().h > 1) levels.push_back(reduce(levels.back()));
    return levels;
}

// A missing module is said once; lookups then fail (the caller falls back).
void reportModuleFailure(const std::string &why) {
    static std::once_flag once;
    std::call_once(once, [&] { hostMessage(Severity::Error, "elliptical texture filter unavailable: " + why); });
}

const LevelRecord *recordOf(const void *image) {
    auto *r = static_cast<const LevelRecord *>(image);
    return r && r->magic == kImageMagic ? r : nullptr;
}

}  // namespace

std::shared_ptr<TextureImage> openTextureImage(const std::string &path) {
    std::error_code ec;
    std::filesystem::path abs = std::filesystem::weakly_canonical(path, ec);
    const std::string key = ec ? path : abs.string();
    std::lock_guard<std::mutex> lock(g_openMutex);
    if (auto it = g_open.find(key); it != g_open.end())
        if (auto live = it->second.lock()) return live;
    int channels = 0;
    std::vector<Level> levels = readLevels(key, channels);
    auto img = std::make_shared<Image>(key, levels, channels);
    g_open[key] = img;
    return img;
}

}  // namespace vh

using namespace vh;

VH_EXPORT xrInteger xr_img_get_width(const void *image) {
    if (const LightmapImage *l = asLightmap(image)) return l->width;
    const LevelRecord *r = recordOf(image);
    int w = 0, h = 0;
    if (!r && outputImageExtent(image, &w, &h)) return w;
    return r ? r->width : 0;
}

VH_EXPORT xrInteger xr_img_get_height(const void *image) {
    if (const LightmapImage *l = asLightmap(image)) return l->height;
    const LevelRecord *r = recordOf(image);
    int w = 0, h = 0;
    if (!r && outputImageExtent(image, &w, &h)) return h;
    return r ? r->height : 0;
}

// Pixels outside the image read the nearest edge pixel.
VH_EXPORT void xr_img_get_color(const void *image, xrColor *color, xrInteger x, xrInteger y) {
    if (!color) return;
    if (const LightmapImage *l = asLightmap(image)) {
        if (l->width <= 0 || l->height <= 0) {
            *color = {0, 0, 0, 0};
            return;
        }
        x = std::clamp(x, 0, l->width - 1);
        y = std::clamp(y, 0, l->height - 1);
        std::memcpy(color, l->pixels + (size_t(y) * size_t(l->width) + size_t(x)) * 4, sizeof(xrColor));
        return;
    }
    const LevelRecord *r = recordOf(image);
    if (!r && outputImageColor(image, color, x, y)) return;
    if (!r || r->width <= 0 || r->height <= 0) {
        *color = {0, 0, 0, 0};
        return;
    }
    x = std::clamp(x, 0, r->width - 1);
    y = std::clamp(y, 0, r->height - 1);
    std::memcpy(color, r->pixels + texelAddress(x, y, r->tilesAcross), sizeof(xrColor));
}

VH_EXPORT void *xr_img_pyramid_get_level(const void *image, xrInteger level) {
    const LevelRecord *r = recordOf(image);
    if (!r || level < 0 || level >= r->levelCount) return nullptr;
    return const_cast<LevelRecord *>(&r->levels[level]);
}

// The image filtered over the footprint in filter->transform (one pixel's
// uv extent along x and y), with OpenImageIO's anisotropic lookup. The uv is
// the library's (v up); the file's rows run top down.
VH_EXPORT xrBoolean xr_lookup_filter_color_texture(xrColor *color, xrState *, xrTag image,
                                                   const xrTextureFilter *filter, const xrVector *uv) {
    if (!color || !filter || !uv) return 0;
    int type = 0;
    void *data = Database::get().access(image, &type);
    if (!data) return 0;
    const LevelRecord *r = type == xrDB_IMAGE ? recordOf(data) : nullptr;
    Image *img = r ? static_cast<Image *>(const_cast<void *>(r->owner)) : nullptr;
    bool ok = false;
    if (img) {
        try {
            const VhOiioApi &api = oiioModule();
            VhOiioTextureOptions opt;
            opt.anisotropy = filter->maxAnisotropy > 0 ? filter->maxAnisotropy : 16;
            opt.width = (filter->width > 0 ? filter->width : 1.0f) * std::exp2(filter->bias);
            opt.blur = std::max(filter->blur, 0.0f);
            const float *t = filter->transform;
            const int nc = std::min(img->channels(), 4);
            float res[4] = {0, 0, 0, 1};
            void *h = img->handle(api);
            ok = h && api.texture(h, &opt, uv->x, 1.0f - uv->y, 2 * t[0], -2 * t[1], 2 * t[2], -2 * t[3], nc, res);
            if (ok) {
                if (nc < 3) *color = {res[0], res[0], res[0], nc == 2 ? res[1] : 1.0f};
                else *color = {res[0], res[1], res[2], nc == 4 ? res[3] : 1.0f};
            }
        } catch (const Error &e) {
            reportModuleFailure(e.what());
        }
    }
    Database::get().unpin(image);
    return ok ? 1 : 0;
}

// Footprint from three uv points (centre, one radius along x, along y):
// the two differences, each taken across the nearest repeat so that points
// wrapped into [0, 1] on both sides of a seam stay close.
VH_EXPORT xrBoolean xr_texture_filter_transform(float *transform, const xrVector *uv) {
    if (!transform || !uv) return 0;
    auto near = [](float d) { return d - std::round(d); };
    transform[0] = near(uv[1].x - uv[0].x);
    transform[1] = near(uv[1].y - uv[0].y);
    transform[2] = near(uv[2].x - uv[0].x);
    transform[3] = near(uv[2].y - uv[0].y);
    for (int i = 0; i < 4; ++i)
        if (!std::isfinite(transform[i])) return 0;
    return 1;
}
