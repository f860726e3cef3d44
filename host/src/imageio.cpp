// Float images by file extension: PNG (8-bit, values as given) and
// OpenEXR (half float) directly; other formats (TIFF, HDR, JPEG, ...)
// through OpenImageIO.
#include "vekohost/imageio.h"

#include <OpenImageIO/imageio.h>

#include "vekohost/imagefile.h"

namespace vh {

namespace {

void writeOther(const std::string &path, int width, int height, int channels, const float *pixels,
                const std::vector<std::string> &channelNames) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw Error(path + ": cannot write this image format: " + OIIO::geterror());
    const bool isHdr = path.size() > 4 && path.substr(path.size() - 4) == ".hdr";
    OIIO::ImageSpec spec(width, height, channels, isHdr ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT8);
    if (!channelNames.empty()) spec.channelnames = channelNames;
    if (channels == 4) spec.alpha_channel = 3;
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!out->open(path, spec)) throw Error(path + ": " + out->geterror());
    if (!out->write_image(OIIO::TypeDesc::FLOAT, pixels)) throw Error(path + ": " + out->geterror());
    out->close();
}

std::vector<float> readOther(const std::string &path, int &width, int &height, int &channels) {
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) throw Error(path + ": cannot read image: " + OIIO::geterror());
    const auto &spec = in->spec();
    width = spec.width;
    height = spec.height;
    channels = spec.nchannels;
    std::vector<float> px(size_t(width) * height * channels);
    if (!in->read_image(0, 0, 0, channels, OIIO::TypeDesc::FLOAT, px.data())) throw Error(path + ": " + in->geterror());
    in->close();
    return px;
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
