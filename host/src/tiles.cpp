// Frames in parts: tile regions, reading parts back with their data window,
// and assembling them.
#include "vekohost/tiles.h"

#include <algorithm>
#include <cstring>

namespace vh {

RenderOptions::Region tileRegion(int index, int count, int width, int height) {
    if (count < 1 || index < 0 || index >= count)
        throw Error("tile " + std::to_string(index) + "/" + std::to_string(count) +
                    ": the index must be 0 to count - 1 and the count at least 1");
    if (count > height)
        throw Error("tile " + std::to_string(index) + "/" + std::to_string(count) + ": more tiles than the " +
                    std::to_string(height) + " rows of the frame");
    RenderOptions::Region r;
    r.x0 = 0;
    r.x1 = width;
    r.y0 = int(int64_t(index) * height / count);
    r.y1 = int(int64_t(index + 1) * height / count);
    return r;
}

FrameImage cropFrame(const FrameImage &whole, const RenderOptions::Region &region) {
    FrameImage out;
    out.width = region.x1 - region.x0;
    out.height = region.y1 - region.y0;
    out.originX = whole.originX + region.x0;
    out.originY = whole.originY + region.y0;
    out.fullWidth = whole.fullWidth > 0 ? whole.fullWidth : whole.width;
    out.fullHeight = whole.fullHeight > 0 ? whole.fullHeight : whole.height;
    // Rows of `channels` values per pixel from `src` (whole) into `dst`.
    auto rows = [&](const auto &src, auto &dst, size_t channels) {
        if (src.empty()) return;
        dst.resize(size_t(out.width) * size_t(out.height) * channels);
        for (int y = 0; y < out.height; ++y) {
            const size_t from = (size_t(region.y0 + y) * size_t(whole.width) + size_t(region.x0)) * channels;
            std::copy_n(src.begin() + ptrdiff_t(from), size_t(out.width) * channels,
                        dst.begin() + ptrdiff_t(size_t(y) * size_t(out.width) * channels));
        }
    };
    rows(whole.rgba, out.rgba, 4);
    rows(whole.depth, out.depth, 1);
    rows(whole.label, out.label, 1);
    rows(whole.coverage, out.coverage, 1);
    for (size_t k = 0; k < whole.fb.size(); ++k) rows(whole.fb[k], out.fb[k], 4);
    return out;
}

void parseTile(const std::string &text, int &index, int &count) {
    const size_t slash = text.find('/');
    auto number = [&](const std::string &s) {
        if (s.empty() || s.size() > 9 || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
            throw Error("--tile " + text + ": expected i/n, e.g. 0/4");
        return std::stoi(s);
    };
    if (slash == std::string::npos) throw Error("--tile " + text + ": expected i/n, e.g. 0/4");
    index = number(text.substr(0, slash));
    count = number(text.substr(slash + 1));
}

FrameImage readFrame(const std::string &path) { return readImage(path); }

FrameImage mergeFrames(const std::vector<FrameImage> &parts, const std::vector<std::string> &names) {
    if (parts.empty()) throw Error("merge: no parts given");
    auto nameOf = [&](size_t i) { return i < names.size() ? names[i] : "part " + std::to_string(i); };
    FrameImage out;
    out.width = out.fullWidth = parts[0].fullWidth > 0 ? parts[0].fullWidth : parts[0].width;
    out.height = out.fullHeight = parts[0].fullHeight > 0 ? parts[0].fullHeight : parts[0].height;
    const size_t W = size_t(out.width), H = size_t(out.height), n = W * H;
    out.rgba.assign(n * 4, 0.0f);
    out.depth.assign(n, 0.0f);
    out.label.assign(n, 0);
    std::vector<uint8_t> covered(n, 0);
    // A frame buffer that some part lacks was not written there: zeros, as
    // in a whole render.
    static const float kZero[4] = {0, 0, 0, 0};
    for (const FrameImage &part : parts)
        for (size_t k = 0; k < 8; ++k)
            if (!part.fb[k].empty() && out.fb[k].empty()) out.fb[k].assign(n * 4, 0.0f);
    for (size_t p = 0; p < parts.size(); ++p) {
        const FrameImage &part = parts[p];
        const int fw = part.fullWidth > 0 ? part.fullWidth : part.width;
        const int fh = part.fullHeight > 0 ? part.fullHeight : part.height;
        if (size_t(fw) != W || size_t(fh) != H)
            throw Error(nameOf(p) + ": belongs to a " + std::to_string(fw) + "x" + std::to_string(fh) + " frame, not " +
                        std::to_string(W) + "x" + std::to_string(H));
        if (part.originX < 0 || part.originY < 0 || size_t(part.originX + part.width) > W ||
            size_t(part.originY + part.height) > H)
            throw Error(nameOf(p) + ": lies outside its frame");
        for (int y = 0; y < part.height; ++y)
            for (int x = 0; x < part.width; ++x) {
                const size_t src = size_t(y) * size_t(part.width) + size_t(x);
                const size_t dst = size_t(part.originY + y) * W + size_t(part.originX + x);
                bool same = true;
                auto put = [&](float *d, const float *s, int count) {
                    if (covered[dst]) same = same && std::memcmp(d, s, sizeof(float) * size_t(count)) == 0;
                    std::memcpy(d, s, sizeof(float) * size_t(count));
                };
                put(&out.rgba[dst * 4], &part.rgba[src * 4], 4);
                put(&out.depth[dst], &part.depth[src], 1);
                if (covered[dst]) same = same && out.label[dst] == part.label[src];
                out.label[dst] = part.label[src];
                for (size_t k = 0; k < 8; ++k)
                    if (!out.fb[k].empty()) put(&out.fb[k][dst * 4], part.fb[k].empty() ? kZero : &part.fb[k][src * 4], 4);
                if (!same)
                    throw Error(nameOf(p) + ": pixel (" + std::to_string(part.originX + x) + ", " +
                                std::to_string(part.originY + y) + ") differs from an earlier part covering it");
                covered[dst] = 1;
            }
    }
    const size_t missing = size_t(std::count(covered.begin(), covered.end(), 0));
    if (missing) {
        const size_t first = size_t(std::find(covered.begin(), covered.end(), 0) - covered.begin());
        throw Error("merge: " + std::to_string(missing) + " pixels are in no part, the first at (" +
                    std::to_string(first % W) + ", " + std::to_string(first / W) + ")");
    }
    return out;
}

int mergeImages(const std::vector<std::string> &parts, const std::string &output) {
    try {
        std::vector<FrameImage> images;
        for (const auto &p : parts) images.push_back(readFrame(p));
        writeImage(mergeFrames(images, parts), output);
        hostMessage(Severity::Info, "wrote " + output);
        return 0;
    } catch (const std::exception &e) {
        hostMessage(Severity::Error, e.what());
        return 1;
    }
}

}  // namespace vh
