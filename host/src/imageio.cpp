// Float images by file extension: PNG (8-bit, values as given) and
// OpenEXR (half float).
#include "vekohost/imageio.h"

#include "vekohost/imagefile.h"

namespace vh {

void writeImage(const std::string &path, int width, int height, int channels, const float *pixels,
                const std::vector<std::string> &channelNames) {
    if (channels < 1) throw Error(path + ": no channels to write");
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
    ImageFile f = readImageFile(path);
    width = f.width;
    height = f.height;
    channels = int(f.channels.size());
    return std::move(f.pixels);
}

}  // namespace vh
