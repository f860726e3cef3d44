// Evaluating a node network over a grid of surface samples (a swatch).
#include <fstream>

#include "vekohost/imageio.h"
#include "vekohost/shade.h"

namespace vh {

std::vector<float> shadeSwatch(Network &net, const std::string &node, const std::string &field, int width, int height,
                               int &channels) {
    Instance *inst = net.find(node);
    if (!inst) throw Error("no node \"" + node + "\" in the network");
    const Field *f = field.empty() ? (inst->decl->result.empty() ? nullptr : &inst->decl->result[0])
                                   : inst->decl->resultField(field);
    if (!f) throw Error("node " + node + " (" + inst->decl->name + ") has no result field \"" + field + "\"");
    channels = f->type == Type::Color ? 4 : f->type == Type::Vector ? 3 : 1;
    if (f->type == Type::Struct || f->type == Type::Matrix) throw Error("result field " + f->name + " is not an image value");
    StandaloneState st;
    net.init(st.state());
    std::vector<uint64_t> result(size_t(std::max(inst->decl->resultBytes, 256)) / 8 + 1);
    std::vector<float> px(size_t(width) * height * channels);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            float u = (x + 0.5f) / width, v = 1.0f - (y + 0.5f) / height;
            st.setSurfaceSample(u, v);
            std::fill(result.begin(), result.end(), 0);
            callShader(*inst, st.state(), result.data());
            const char *base = reinterpret_cast<const char *>(result.data()) + f->offset;
            float *dst = &px[(size_t(y) * width + x) * channels];
            if (f->type == Type::Integer || f->type == Type::Boolean) {
                int32_t i;
                std::memcpy(&i, base, 4);
                dst[0] = float(i);
            } else {
                std::memcpy(dst, base, size_t(channels) * 4);
            }
        }
    net.exit(st.state());
    return px;
}

json loadJsonFile(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw Error(path + ": cannot open");
    try {
        return json::parse(in);
    } catch (const json::parse_error &e) {
        throw Error(path + ": " + e.what());
    }
}

}  // namespace vh
