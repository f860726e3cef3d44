// Fluid blocks from .vdb files through the volume-file module.
#include "fluid_import.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "vdb_module.h"

namespace vh {

namespace {

constexpr uint32_t kFluidMagic = 0x56656B6Fu;
constexpr int kHeaderWords = 40;

uint32_t bits(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// One field of the block: the grid names it reads and where its words go.
struct FieldSpec {
    const char *key;          // scene key
    const char *defaultName;  // grid read when the key is absent (if the file has it)
    int components;
    int scaleWord, methodWord, gridWord;  // gridWord: first of `components` grid offsets
};

const FieldSpec kFields[] = {
    {"density", "density", 1, 6, 7, 8},
    {"temperature", "temperature", 1, 25, 26, 27},
    {"fuel", "fuel", 1, 31, 32, 33},
    {"pressure", "pressure", 1, 37, 38, 39},
    {"velocity", "vel", 3, 9, 12, 13},
    {"color", "Cd", 3, 17, 21, 22},
};

struct OpenFile {
    const VhVdbApi &api;
    void *file;
    ~OpenFile() {
        if (file) api.close(file);
    }
};

}  // namespace

std::vector<uint32_t> loadFluidBlock(const json &spec, const std::string &baseDir, const std::string &where) {
    auto fail = [&](const std::string &msg) -> void { throw Error(where + ": " + msg); };
    if (!spec.is_object()) fail("must be an object");
    static const char *keys[] = {"file", "density", "temperature", "fuel", "pressure", "velocity", "color",
                                 "maxResolution", "boundary"};
    for (auto it = spec.begin(); it != spec.end(); ++it)
        if (std::find_if(std::begin(keys), std::end(keys), [&](const char *k) { return it.key() == k; }) ==
            std::end(keys))
            fail("unknown key \"" + it.key() + "\"");
    if (!spec.contains("file") || !spec["file"].is_string() || spec["file"].get<std::string>().empty())
        fail("\"file\" must name a .vdb file");
    std::filesystem::path path = spec["file"].get<std::string>();
    if (path.is_relative()) path = std::filesystem::path(baseDir) / path;
    const std::string file = path.string();
    const std::string inFile = "fluid file \"" + file + "\"";
    if (!std::filesystem::is_regular_file(path)) fail(inFile + " does not exist");

    int maxRes = 128;
    if (spec.contains("maxResolution")) {
        if (!spec["maxResolution"].is_number_integer()) fail("\"maxResolution\" must be an integer");
        maxRes = spec["maxResolution"].get<int>();
        if (maxRes < 1 || maxRes > 1024) fail("\"maxResolution\" must be 1 to 1024");
    }
    int mode = 0;
    if (spec.contains("boundary")) {
        const std::string b = spec["boundary"].is_string() ? spec["boundary"].get<std::string>() : "";
        if (b == "wrap") mode = 4;
        else if (b != "clamp") fail("\"boundary\" must be \"clamp\" or \"wrap\"");
    }

    const VhVdbApi &api = vdbModule();
    char err[512] = {0};
    OpenFile f{api, api.open(file.c_str(), err, sizeof err)};
    if (!f.file) fail(inFile + ": cannot read it: " + err);

    // The grids to read: named ones must exist, defaults only when present.
    struct Chosen {
        const FieldSpec *field;
        std::string grid;
        VhVdbGridInfo info;
    };
    std::vector<Chosen> chosen;
    for (const FieldSpec &fs : kFields) {
        std::string name = fs.defaultName;
        bool named = false;
        if (spec.contains(fs.key)) {
            const json &v = spec[fs.key];
            if (v.is_null()) continue;  // not read
            if (!v.is_string() || v.get<std::string>().empty()) fail(std::string("\"") + fs.key + "\" must name a grid");
            name = v.get<std::string>();
            named = true;
        }
        Chosen c{&fs, name, {}};
        const int rc = api.info(f.file, name.c_str(), &c.info, err, sizeof err);
        if (rc == kVhVdbNoGrid) {
            if (named || fs.scaleWord == 6) fail(inFile + " has no grid named \"" + name + "\" (" + fs.key + ")");
            continue;
        }
        if (rc != kVhVdbOk) fail(inFile + ", grid \"" + name + "\": " + err);
        if (c.info.components != fs.components)
            fail(inFile + ", grid \"" + name + "\" (" + fs.key + ") holds " + c.info.type + " values, not " +
                 (fs.components == 1 ? "scalars (float or double)" : "vectors (vec3s or vec3d)"));
        if (!c.info.axisAligned) fail(inFile + ", grid \"" + name + "\": only axis-aligned grids can be read");
        chosen.push_back(c);
    }

    // The container: every active box together, the finest voxel size,
    // at most maxRes cells along its longest axis.
    double lo[3], hi[3], cell[3];
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::numeric_limits<double>::max();
        hi[a] = -lo[a];
        cell[a] = lo[a];
    }
    for (const Chosen &c : chosen)
        for (int a = 0; a < 3; ++a) {
            cell[a] = std::min(cell[a], c.info.voxelSize[a]);
            if (c.info.worldMin[a] <= c.info.worldMax[a]) {
                lo[a] = std::min(lo[a], c.info.worldMin[a]);
                hi[a] = std::max(hi[a], c.info.worldMax[a]);
            }
        }
    if (!(lo[0] < hi[0] && lo[1] < hi[1] && lo[2] < hi[2])) fail(inFile + ": the grids have no active voxels");
    int res[3];
    double longest = 0;
    for (int a = 0; a < 3; ++a) longest = std::max(longest, (hi[a] - lo[a]) / cell[a]);
    const double grow = longest > maxRes ? longest / maxRes : 1.0;
    for (int a = 0; a < 3; ++a) {
        cell[a] *= grow;
        res[a] = std::max(1, int(std::ceil((hi[a] - lo[a]) / cell[a] - 1e-6)));
        // Centred on the active box, whole cells.
        const double mid = 0.5 * (lo[a] + hi[a]);
        lo[a] = mid - 0.5 * res[a] * cell[a];
    }
    const size_t cells = size_t(res[0]) * size_t(res[1]) * size_t(res[2]);
    size_t grids = 0;
    for (const Chosen &c : chosen) grids += size_t(c.field->components);
    if (cells * grids > (size_t(1) << 28))
        fail(inFile + ": " + std::to_string(cells) + " cells per grid is too large; lower \"maxResolution\"");

    std::vector<uint32_t> w(kHeaderWords, 0);
    w[0] = kFluidMagic;
    w[1] = 0xFFFFFFFFu;  // kind word: byte-order neutral, not a texture-space index
    for (int k = 17; k <= 20; ++k) w[size_t(k)] = bits(1.0f);  // colour constant: the grids as they are
    auto gridRecord = [&](const float *values, int stride) {
        const int at = int(w.size());
        for (int a = 0; a < 3; ++a) w.push_back(bits(float(lo[a] + 0.5 * res[a] * cell[a])));
        for (int a = 0; a < 3; ++a) w.push_back(uint32_t(res[a]));
        for (int a = 0; a < 3; ++a) w.push_back(bits(float(res[a] * cell[a])));
        for (int a = 0; a < 3; ++a) w.push_back(bits(float(cell[a])));
        for (int a = 0; a < 3; ++a) w.push_back(uint32_t(mode));
        if (values)
            for (size_t n = 0; n < cells; ++n) w.push_back(bits(values[n * size_t(stride)]));
        return at;
    };
    std::vector<float> buf;
    for (const Chosen &c : chosen) {
        const FieldSpec &fs = *c.field;
        buf.assign(cells * size_t(fs.components), 0.0f);
        if (api.sample(f.file, c.grid.c_str(), lo, cell, res, fs.components, buf.data(), err, sizeof err) != kVhVdbOk)
            fail(inFile + ", grid \"" + c.grid + "\": " + err);
        for (int comp = 0; comp < fs.components; ++comp) w[size_t(fs.gridWord + comp)] = uint32_t(gridRecord(buf.data() + comp, fs.components));
        w[size_t(fs.methodWord)] = 8;
        if (fs.components == 1) w[size_t(fs.scaleWord)] = bits(1.0f);
        if (fs.key == std::string("velocity"))
            for (int a = 0; a < 3; ++a) w[size_t(fs.scaleWord + a)] = bits(1.0f);
    }
    w[5] = w[8];  // the density grid is the base grid
    return std::vector<uint32_t>(w.begin() + 1, w.end());
}

}  // namespace vh
