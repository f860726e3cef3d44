// PNG through libpng, OpenEXR through the OpenEXR library.
#include "vekohost/imagefile.h"

#include <png.h>

#include <OpenEXR/ImfChannelList.h>
#include <OpenEXR/ImfFrameBuffer.h>
#include <OpenEXR/ImfHeader.h>
#include <OpenEXR/ImfInputFile.h>
#include <OpenEXR/ImfOutputFile.h>
#include <Imath/half.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "vekohost/host.h"

namespace vh {

unsigned char linearByte(float v) {
    v = v > 0.0f ? (v < 1.0f ? v : 1.0f) : 0.0f;
    // x + 0.5 is exact in double for x in [0, 255], so truncating it rounds
    // half away from zero exactly as lround does, without the libm call.
    return static_cast<unsigned char>(static_cast<int>(static_cast<double>(v * 255.0f) + 0.5));
}

float srgbEncode(float v) {
    v = std::clamp(v, 0.0f, 1.0f);
    return v <= 0.0031308f ? 12.92f * v : 1.055f * std::pow(v, 1.0f / 2.4f) - 0.055f;
}

namespace {

long srgbByteDirect(float v) { return std::lround(srgbEncode(v) * 255.0f); }

// thresholds[k] (k = 1..255): the smallest float in [0, 1] whose sRGB byte
// is at least k, found by bisecting the bit patterns of the non-negative
// floats (ordered like their values) with the direct formula.
struct SrgbThresholds {
    float t[256];
    SrgbThresholds() {
        t[0] = 0.0f;
        uint32_t lo = 0;  // srgbByteDirect(bits lo) < k
        for (int k = 1; k < 256; ++k) {
            uint32_t hi = 0x3f800000u;  // 1.0f: byte 255 >= k
            while (hi - lo > 1) {
                const uint32_t mid = lo + (hi - lo) / 2;
                float m;
                std::memcpy(&m, &mid, sizeof m);
                (srgbByteDirect(m) >= k ? hi : lo) = mid;
            }
            std::memcpy(&t[k], &hi, sizeof hi);
        }
        // start[i]: the byte of the smallest float whose top bits are i;
        // within one bucket the byte rises by at most a step or two.
        int k = 0;
        for (uint32_t i = 0; i < kBuckets; ++i) {
            const uint32_t bits = i << kBucketShift;
            float v;
            std::memcpy(&v, &bits, sizeof v);
            while (k < 255 && v >= t[k + 1]) ++k;
            start[i] = static_cast<unsigned char>(k);
        }
    }
    static constexpr int kBucketShift = 15;
    static constexpr uint32_t kBuckets = (0x3f800000u >> kBucketShift) + 1;
    unsigned char start[kBuckets];
};

}  // namespace

unsigned char srgbByte(float v) {
    static const SrgbThresholds table;
    // NaN and negatives give 0, values from 1 up 255.
    if (!(v > 0.0f)) return 0;
    if (v >= 1.0f) return 255;
    uint32_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    int k = table.start[bits >> SrgbThresholds::kBucketShift];
    while (k < 255 && v >= table.t[k + 1]) ++k;
    return static_cast<unsigned char>(k);
}

int ImageFile::channelIndex(const std::string &name) const {
    for (size_t i = 0; i < channels.size(); ++i)
        if (channels[i] == name) return int(i);
    return -1;
}

namespace {

std::string lowerExtension(const std::string &path) {
    std::string e = std::filesystem::path(path).extension().string();
    std::transform(e.begin(), e.end(), e.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return e;
}

struct FileCloser {
    void operator()(FILE *f) const { if (f) std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// libpng reports errors by longjmp; the C++ objects written here live in the
// caller, so nothing with a destructor is skipped. The message lands in `err`.
void pngError(png_structp png, png_const_charp msg) {
    auto *err = static_cast<std::string *>(png_get_error_ptr(png));
    if (err) *err = msg;
    png_longjmp(png, 1);
}
void pngWarning(png_structp, png_const_charp) {}

bool readPngData(FILE *f, ImageFile *out, int *bitDepth, std::vector<uint8_t> *bytes, std::string *err) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, err, pngError, pngWarning);
    if (!png) { *err = "out of memory"; return false; }
    png_infop info = png_create_info_struct(png);
    if (!info) { png_destroy_read_struct(&png, nullptr, nullptr); *err = "out of memory"; return false; }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    png_init_io(png, f);
    png_read_info(png, info);
    png_set_expand(png);  // palette to RGB, transparency to alpha, low bit depths to 8
    if (png_get_bit_depth(png, info) == 16) png_set_swap(png);  // host (little-endian) order
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    const png_uint_32 w = png_get_image_width(png, info), h = png_get_image_height(png, info);
    const int nc = png_get_channels(png, info), depth = png_get_bit_depth(png, info);
    if (w == 0 || h == 0 || w > 65536 || h > 65536) {
        *err = "unsupported image size";
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    const size_t rowBytes = png_get_rowbytes(png, info);
    bytes->assign(rowBytes * h, 0);
    std::vector<png_bytep> rows(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = bytes->data() + rowBytes * y;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    out->width = int(w);
    out->height = int(h);
    out->channels.assign(size_t(nc), "");
    *bitDepth = depth;
    return true;
}

ImageFile readPng(const std::string &path) {
    FilePtr f(std::fopen(path.c_str(), "rb"));
    if (!f) throw Error(path + ": cannot open: " + std::strerror(errno));
    ImageFile img;
    std::vector<uint8_t> bytes;
    std::string err;
    int depth = 8;
    if (!readPngData(f.get(), &img, &depth, &bytes, &err)) throw Error(path + ": not a readable PNG file: " + err);
    const int nc = int(img.channels.size());
    static const char *kNames[4][4] = {{"Y"}, {"Y", "A"}, {"R", "G", "B"}, {"R", "G", "B", "A"}};
    for (int c = 0; c < nc; ++c) img.channels[size_t(c)] = kNames[nc - 1][c];
    const size_t n = size_t(img.width) * img.height * size_t(nc);
    img.pixels.resize(n);
    if (depth == 16) {
        for (size_t i = 0; i < n; ++i) {
            uint16_t v;
            std::memcpy(&v, &bytes[i * 2], 2);
            img.pixels[i] = float(v) / 65535.0f;
        }
    } else {
        for (size_t i = 0; i < n; ++i) img.pixels[i] = float(bytes[i]) / 255.0f;
    }
    img.fullWidth = img.width;
    img.fullHeight = img.height;
    return img;
}

bool writePngData(FILE *f, int w, int h, int nc, const std::vector<png_bytep> &rows, std::string *err) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, err, pngError, pngWarning);
    if (!png) { *err = "out of memory"; return false; }
    png_infop info = png_create_info_struct(png);
    if (!info) { png_destroy_write_struct(&png, nullptr); *err = "out of memory"; return false; }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    static const int kTypes[4] = {PNG_COLOR_TYPE_GRAY, PNG_COLOR_TYPE_GRAY_ALPHA, PNG_COLOR_TYPE_RGB,
                                  PNG_COLOR_TYPE_RGB_ALPHA};
    png_init_io(png, f);
    // A fast zlib level: rendered frames are written once per frame, and the
    // default level costs several times the time for a few percent of size.
    png_set_compression_level(png, 2);
    png_set_IHDR(png, info, png_uint_32(w), png_uint_32(h), 8, kTypes[nc - 1], PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, const_cast<png_bytepp>(rows.data()));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

void writePng(const std::string &path, const ImageFile &img) {
    const int nc = int(img.channels.size());
    if (nc < 1 || nc > 4) throw Error(path + ": PNG takes 1 to 4 channels, not " + std::to_string(nc));
    const size_t n = size_t(img.width) * img.height * size_t(nc);
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = linearByte(img.pixels[i]);
    std::vector<png_bytep> rows(size_t(img.height));
    for (int y = 0; y < img.height; ++y) rows[size_t(y)] = bytes.data() + size_t(y) * img.width * size_t(nc);
    FilePtr f(std::fopen(path.c_str(), "wb"));
    if (!f) throw Error(path + ": cannot write: " + std::strerror(errno));
    std::string err;
    if (!writePngData(f.get(), img.width, img.height, nc, rows, &err)) throw Error(path + ": cannot write PNG: " + err);
    if (std::fclose(f.release()) != 0) throw Error(path + ": cannot write: " + std::strerror(errno));
}

ImageFile readExr(const std::string &path) {
    try {
        Imf::InputFile file(path.c_str());
        const Imf::Header &hd = file.header();
        const Imath::Box2i dw = hd.dataWindow(), disp = hd.displayWindow();
        ImageFile img;
        img.width = dw.max.x - dw.min.x + 1;
        img.height = dw.max.y - dw.min.y + 1;
        img.originX = dw.min.x - disp.min.x;
        img.originY = dw.min.y - disp.min.y;
        img.fullWidth = disp.max.x - disp.min.x + 1;
        img.fullHeight = disp.max.y - disp.min.y + 1;
        if (img.width <= 0 || img.height <= 0 || double(img.width) * img.height > 1.0e9)
            throw Error(path + ": unsupported image size");
        // R, G, B, A first, then the other channels in file order.
        std::vector<std::string> names;
        for (const char *c : {"R", "G", "B", "A"})
            if (hd.channels().findChannel(c)) names.push_back(c);
        for (auto it = hd.channels().begin(); it != hd.channels().end(); ++it)
            if (std::find(names.begin(), names.end(), it.name()) == names.end()) names.push_back(it.name());
        const size_t nc = names.size();
        if (nc == 0) throw Error(path + ": no channels");
        img.channels = names;
        img.pixels.assign(size_t(img.width) * img.height * nc, 0.0f);
        Imf::FrameBuffer fb;
        const size_t xs = sizeof(float) * nc, ys = xs * size_t(img.width);
        for (size_t c = 0; c < nc; ++c) {
            char *base = reinterpret_cast<char *>(img.pixels.data() + c) - ptrdiff_t(dw.min.x) * ptrdiff_t(xs) -
                         ptrdiff_t(dw.min.y) * ptrdiff_t(ys);
            fb.insert(names[c], Imf::Slice(Imf::FLOAT, base, xs, ys));
        }
        file.setFrameBuffer(fb);
        file.readPixels(dw.min.y, dw.max.y);
        return img;
    } catch (const Error &) {
        throw;
    } catch (const std::exception &e) {
        throw Error(path + ": cannot read OpenEXR file: " + e.what());
    }
}

void writeExr(const std::string &path, const ImageFile &img, bool half) {
    const size_t nc = img.channels.size();
    if (nc == 0) throw Error(path + ": no channels to write");
    const int fw = img.fullWidth > 0 ? img.fullWidth : img.width;
    const int fh = img.fullHeight > 0 ? img.fullHeight : img.height;
    try {
        Imf::Header hd(Imath::Box2i({0, 0}, {fw - 1, fh - 1}),
                       Imath::Box2i({img.originX, img.originY},
                                    {img.originX + img.width - 1, img.originY + img.height - 1}));
        hd.compression() = Imf::ZIP_COMPRESSION;
        const Imf::PixelType type = half ? Imf::HALF : Imf::FLOAT;
        for (const auto &name : img.channels) hd.channels().insert(name, Imf::Channel(type));
        const size_t n = size_t(img.width) * img.height;
        std::vector<Imath::half> halves;
        if (half) {
            halves.resize(n * nc);
            for (size_t i = 0; i < n * nc; ++i) halves[i] = Imath::half(img.pixels[i]);
        }
        Imf::FrameBuffer fb;
        const size_t es = half ? sizeof(Imath::half) : sizeof(float);
        const size_t xs = es * nc, ys = xs * size_t(img.width);
        const char *data = half ? reinterpret_cast<const char *>(halves.data())
                                : reinterpret_cast<const char *>(img.pixels.data());
        for (size_t c = 0; c < nc; ++c) {
            char *base = const_cast<char *>(data) + c * es - ptrdiff_t(img.originX) * ptrdiff_t(xs) -
                         ptrdiff_t(img.originY) * ptrdiff_t(ys);
            fb.insert(img.channels[c], Imf::Slice(type, base, xs, ys));
        }
        Imf::OutputFile out(path.c_str(), hd);
        out.setFrameBuffer(fb);
        out.writePixels(img.height);
    } catch (const std::exception &e) {
        throw Error(path + ": cannot write OpenEXR file: " + e.what());
    }
}

}  // namespace

bool isPngPath(const std::string &path) { return lowerExtension(path) == ".png"; }
bool isExrPath(const std::string &path) { return lowerExtension(path) == ".exr"; }

ImageFile readImageFile(const std::string &path) {
    if (isPngPath(path)) return readPng(path);
    if (isExrPath(path)) return readExr(path);
    throw Error(path + ": unknown image type (the renderer reads and writes .png and .exr)");
}

void writeImageFile(const std::string &path, const ImageFile &img, bool half) {
    if (img.width <= 0 || img.height <= 0) throw Error(path + ": empty image");
    if (img.pixels.size() != size_t(img.width) * img.height * img.channels.size())
        throw Error(path + ": pixel data does not match the image size");
    if (isPngPath(path)) return writePng(path, img);
    if (isExrPath(path)) return writeExr(path, img, half);
    throw Error(path + ": cannot write images of this type (use .png or .exr)");
}

}  // namespace vh
