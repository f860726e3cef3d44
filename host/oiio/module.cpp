// libvekohost_oiio.so: the general image library behind a small C table
// (see host/src/oiio_module.h). Nothing here calls back into the host.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <OpenImageIO/imageio.h>
#include <OpenImageIO/texture.h>

#include "../src/oiio_module.h"

namespace {

void setError(char *err, size_t size, const std::string &text) {
    if (err && size) std::snprintf(err, size, "%s", text.c_str());
}

int readImage(const char *path, int *width, int *height, int *channels, int *alphaChannel, float **pixels,
              char *err, size_t errSize) {
    try {
        OIIO::ImageSpec config;
        config.attribute("oiio:UnassociatedAlpha", 1);
        auto in = OIIO::ImageInput::open(path, &config);
        if (!in) {
            setError(err, errSize, OIIO::geterror());
            return 0;
        }
        const OIIO::ImageSpec &spec = in->spec();
        if (spec.width <= 0 || spec.height <= 0 || spec.nchannels <= 0 ||
            double(spec.width) * spec.height * spec.nchannels > 4.0e9) {
            setError(err, errSize, "unsupported image size");
            return 0;
        }
        const size_t n = size_t(spec.width) * size_t(spec.height) * size_t(spec.nchannels);
        float *px = new float[n];
        if (!in->read_image(0, 0, 0, spec.nchannels, OIIO::TypeDesc::FLOAT, px)) {
            setError(err, errSize, in->geterror());
            delete[] px;
            return 0;
        }
        in->close();
        *width = spec.width;
        *height = spec.height;
        *channels = spec.nchannels;
        *alphaChannel = spec.alpha_channel;
        *pixels = px;
        return 1;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return 0;
    }
}

void freePixels(float *pixels) { delete[] pixels; }

int writeImage(const char *path, int width, int height, int channels, const float *pixels, const char *const *names,
               char *err, size_t errSize) {
    try {
        auto out = OIIO::ImageOutput::create(path);
        if (!out) {
            setError(err, errSize, "cannot write this image format: " + OIIO::geterror());
            return 0;
        }
        const std::string p(path);
        const bool isHdr = p.size() > 4 && p.substr(p.size() - 4) == ".hdr";
        OIIO::ImageSpec spec(width, height, channels, isHdr ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT8);
        if (names)
            for (int c = 0; c < channels; ++c) spec.channelnames[size_t(c)] = names[c];
        if (channels == 4) spec.alpha_channel = 3;
        spec.attribute("oiio:UnassociatedAlpha", 1);
        if (!out->open(path, spec) || !out->write_image(OIIO::TypeDesc::FLOAT, pixels)) {
            setError(err, errSize, out->geterror());
            return 0;
        }
        out->close();
        return 1;
    } catch (const std::exception &e) {
        setError(err, errSize, e.what());
        return 0;
    }
}

// The shared texture system: unassociated alpha kept as stored, pyramids
// built on demand for files without them.
OIIO::TextureSystem *textureSystem() {
    static OIIO::TextureSystem *ts = [] {
        OIIO::TextureSystem *t = OIIO::TextureSystem::create(true);
        t->attribute("automip", 1);
        t->attribute("unassociatedalpha", 1);
        t->attribute("max_memory_MB", 512.0f);
        return t;
    }();
    return ts;
}

void *textureHandle(const char *path) { return textureSystem()->get_texture_handle(OIIO::ustring(path)); }

int texture(void *handle, const VhOiioTextureOptions *o, float s, float t, float dsdx, float dtdx, float dsdy,
            float dtdy, int nc, float *result) {
    OIIO::TextureSystem *ts = textureSystem();
    OIIO::TextureOpt opt;
    opt.swrap = opt.twrap = OIIO::TextureOpt::WrapPeriodic;
    opt.anisotropic = o->anisotropy;
    opt.swidth = opt.twidth = o->width;
    opt.sblur = opt.tblur = o->blur;
    opt.fill = 1.0f;
    const bool ok = ts->texture(static_cast<OIIO::TextureSystem::TextureHandle *>(handle), ts->get_perthread_info(),
                                opt, s, t, dsdx, dtdx, dsdy, dtdy, nc, result);
    if (!ok) (void)ts->geterror();
    return ok ? 1 : 0;
}

void invalidate(const char *path) { textureSystem()->invalidate(OIIO::ustring(path)); }

const VhOiioApi kApi = {kVhOiioApiVersion, readImage, freePixels, writeImage, textureHandle, texture, invalidate};

}  // namespace

// Images are read and written whole, one call at a time per file, from the
// host's own threads: the library's worker pool would only add idle threads
// that outlive every use (and are still running when the process exits).
extern "C" __attribute__((visibility("default"))) const VhOiioApi *vekohost_oiio_api() {
    static const bool configured = [] {
        OIIO::attribute("threads", 1);
        OIIO::attribute("exr_threads", -1);
        return true;
    }();
    (void)configured;
    return &kApi;
}
