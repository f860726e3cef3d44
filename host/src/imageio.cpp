// Float images by file extension: PNG (8-bit, values as given) and
// OpenEXR (half float) directly; other formats (TIFF, HDR, JPEG, ...)
// through the image module, loaded on first use.
#include "vekohost/imageio.h"

#include "oiio_module.h"
#include "vekohost/imagefile.h"

namespace vh {

namespace {

void writeOther(const std::string &path, int width, int height, int channels, const float *pixels,
                const std::vector<std::string> &channelNames) {
    std::vector<const char *> names;
    for (const std::string &n : channelNames) names.push_back(n.c_str());
    char err[512] = "";
    if (!oiioModule().write(path.c_str(), width, height, channels, pixels,
                            int(names.size()) == channels ? names.data() : nullptr, err, sizeof err))
        throw Error(path + ": " + err);
}

std::vector<float> readOther(const std::string &path, int &width, int &height, int &channels) {
    const VhOiioApi &api = oiioModule();
    float *px = nullptr;
    int alpha = -1;
    char err[512] = "";
    if (!api.read(path.c_str(), &width, &height, &channels, &alpha, &px, err, sizeof err))
        throw Error(path + ": cannot read image: " + err);
    std::vector<float> out(px, px + size_t(width) * size_t(height) * size_t(channels));
    api.freePixels(px);
    return out;
}

}  // namespace

void writeImage(const std::string &path, int width, int height, int channels, const float *pixels,
                const std::vector<std::string> &channelNames) {
    if (channels < 1) throw Error(path + ": no channels to write");
    if (!isPngPath(path) && !isExrPath(path)) return writeOther(path, width, height, channels, pixels, channelNames);
    ImageFile f;
    f.width = width;
    f.height = height;
    static const char *kDefault[4][4] = {{"Y"}, {"Y", "A"}, {"R", "G", "B"}, {"R", "G", "B", "A"}};
    for (int c = 0; c < channels; ++c)
        f.channels.push_back(size_t(c) < channelNames.size() ? channelNames[size_t(c)]
                             : channels <= 4                 ? std::string(kDefault[channels - 1][c])
                                                             : "channel" + std::to_string(c));
    f.pixels.assign(pixels, pixels + size_t(width) * height * size_t(channels));
    writeImageFile(path, f, true);
}

std::vector<float> readImage(const std::string &path, int &width, int &height, int &channels) {
    if (!isPngPath(path) && !isExrPath(path)) return readOther(path, width, height, channels);
    ImageFile f = readImageFile(path);
    width = f.width;
    height = f.height;
    channels = int(f.channels.size());
    return std::move(f.pixels);
}

}  // namespace vh
