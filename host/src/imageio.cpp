// Writing float images (PNG, OpenEXR, anything OpenImageIO knows) by file
// extension. PNG output is clamped and converted to 8 bits with the sRGB
// curve left to the caller (values are written as given).
#include <OpenImageIO/imageio.h>

#include "vekohost/imageio.h"

namespace vh {

void writeImage(const std::string &path, int width, int height, int channels, const float *pixels,
                const std::vector<std::string> &channelNames) {
    auto out = OIIO::ImageOutput::create(path);
    if (!out) throw Error(path + ": cannot write this image format: " + OIIO::geterror());
    bool isFloatFormat = path.size() > 4 && (path.substr(path.size() - 4) == ".exr" || path.substr(path.size() - 4) == ".hdr");
    OIIO::ImageSpec spec(width, height, channels, isFloatFormat ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT8);
    if (!channelNames.empty()) spec.channelnames = channelNames;
    if (channels == 4) spec.alpha_channel = 3;
    // Pixels are straight (not premultiplied) colour and alpha: keep the
    // colour of transparent pixels instead of dividing it by alpha.
    spec.attribute("oiio:UnassociatedAlpha", 1);
    if (!out->open(path, spec)) throw Error(path + ": " + out->geterror());
    if (!out->write_image(OIIO::TypeDesc::FLOAT, pixels)) throw Error(path + ": " + out->geterror());
    out->close();
}

std::vector<float> readImage(const std::string &path, int &width, int &height, int &channels) {
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

}  // namespace vh
