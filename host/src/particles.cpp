// Particle blocks from the scene file's "particles" entries.
#include "particles.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "render_internal.h"
#include "vdb_module.h"
#include "vekohost/host.h"

namespace vh {

namespace {

constexpr uint32_t kVekoMagic = 0x56656B6Fu;

uint32_t bitsOf(float f) {
    uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}

// A list of `n` entries of `width` finite numbers (a wider entry allowed up
// to `maxWidth`, its extra numbers in `extra`).
std::vector<std::vector<float>> rows(const nlohmann::json &j, const char *key, size_t width, size_t maxWidth,
                                     size_t n, const std::string &where) {
    std::vector<std::vector<float>> out;
    auto it = j.find(key);
    if (it == j.end()) return out;
    const std::string what = where + ": \"" + key + "\"";
    if (!it->is_array()) throw Error(what + " must be a list");
    if (n && it->size() != n) throw Error(what + " must have one entry per point (" + std::to_string(n) + ")");
    for (size_t i = 0; i < it->size(); ++i) {
        const nlohmann::json &row = (*it)[i];
        if (!row.is_array() || row.size() < width || row.size() > maxWidth)
            throw Error(what + "[" + std::to_string(i) + "] must be a list of " + std::to_string(width) +
                        (maxWidth > width ? " or " + std::to_string(maxWidth) : std::string()) + " numbers");
        std::vector<float> r;
        for (auto &x : row) {
            if (!x.is_number() || !std::isfinite(x.get<double>()) || std::fabs(x.get<double>()) > 1e30)
                throw Error(what + "[" + std::to_string(i) + "] must hold finite numbers");
            r.push_back(x.get<float>());
        }
        out.push_back(std::move(r));
    }
    return out;
}

// The attributes a particle file may map, their default attribute names
// (null: read only when named) and component counts (0: 1 or 3).
struct FileField {
    const char *key;
    const char *defaultName;
    int components;
};
constexpr FileField kFileFields[] = {
    {"radius", "pscale", 1},     {"velocity", "v", 3},     {"color", "Cd", 3}, {"opacity", "opacity", 0},
    {"incandescence", "incandescence", 0}, {"valueA", "age", 1}, {"valueB", "lifespan", 1},
};

struct OpenFile {
    const VhVdbApi &api;
    void *file;
    ~OpenFile() {
        if (file) api.close(file);
    }
};

const char *typeWanted(int components) {
    return components == 1 ? "scalars (float or double)"
           : components == 3 ? "vectors (vec3s or vec3d)"
                             : "scalars or vectors (float, double, vec3s or vec3d)";
}

ParticleSystem readParticleFile(const nlohmann::json &j, const std::string &baseDir, const std::string &where) {
    auto fail = [&](const std::string &msg) { throw Error(where + ": " + msg); };
    for (const char *k : {"points", "velocities", "colors", "opacities", "incandescence", "values"})
        if (j.contains(k)) fail(std::string("\"") + k + "\" is for inline points; a \"file\" brings its own");
    if (!j["file"].is_string() || j["file"].get<std::string>().empty()) fail("\"file\" must name a .vdb file");
    std::filesystem::path path = j["file"].get<std::string>();
    if (path.is_relative()) path = std::filesystem::path(baseDir) / path;
    const std::string file = path.string();
    std::string in = "particle file \"" + file + "\"";
    if (!std::filesystem::is_regular_file(path)) fail(in + " does not exist");

    std::string gridName;
    if (j.contains("grid")) {
        if (!j["grid"].is_string() || j["grid"].get<std::string>().empty()) fail("\"grid\" must name a point grid");
        gridName = j["grid"].get<std::string>();
    }
    float radius = 0, velocityScale = 1;
    auto number = [&](const char *key, float &out) {
        if (!j.contains(key)) return false;
        const auto &v = j[key];
        if (!v.is_number() || !std::isfinite(v.get<double>()) || v.get<double>() <= 0 || v.get<double>() > 1e30)
            fail(std::string("\"") + key + "\" must be a positive number");
        out = v.get<float>();
        return true;
    };
    const bool haveRadius = number("radius", radius);
    number("velocityScale", velocityScale);
    const nlohmann::json attrs = j.value("attributes", nlohmann::json::object());
    if (!attrs.is_object()) fail("\"attributes\" must be an object");
    for (auto it = attrs.begin(); it != attrs.end(); ++it) {
        bool known = false;
        for (const FileField &f : kFileFields) known = known || it.key() == f.key;
        if (!known) fail("\"attributes\": unknown key \"" + it.key() + "\"");
        if (!it->is_null() && (!it->is_string() || it->get<std::string>().empty()))
            fail("\"attributes\": \"" + it.key() + "\" must name an attribute or be null");
    }

    const VhVdbApi &api = vdbModule();
    if (api.version < 2) fail(in + ": the volume-file module reads no point grids");
    char err[512] = {0};
    OpenFile f{api, api.open(file.c_str(), err, sizeof err)};
    if (!f.file) fail(in + ": cannot read it: " + err);
    VhVdbPointInfo info{};
    const int rc = api.pointInfo(f.file, gridName.c_str(), &info, err, sizeof err);
    if (rc == kVhVdbNoGrid && gridName.empty()) fail(in + " holds no point grid");
    if (rc != kVhVdbOk) fail(in + ": " + err);
    in += ", grid \"" + std::string(info.grid) + "\"";
    if (info.count <= 0) fail(in + " holds no points");
    if (info.count > (1 << 24)) fail(in + " holds more than 16777216 points");
    const size_t n = size_t(info.count);

    // One column: `components` floats per point, every value finite.
    auto column = [&](const std::string &attr, int components, const char *what) {
        std::vector<float> v(n * size_t(components));
        if (api.readPoints(f.file, info.grid, attr.c_str(), components, v.data(), err, sizeof err) != kVhVdbOk)
            fail(in + ", attribute \"" + attr + "\" (" + what + "): " + err);
        for (size_t i = 0; i < v.size(); ++i)
            if (!std::isfinite(v[i]) || std::fabs(v[i]) > 1e30f)
                fail(in + ", attribute \"" + attr + "\" (" + what + "): point " + std::to_string(i / size_t(components)) +
                     " is not finite");
        return v;
    };
    auto toVectors = [&](const std::vector<float> &v, int components, float scale) {
        std::vector<xrVector> out(n);
        for (size_t i = 0; i < n; ++i)
            out[i] = components == 3 ? xrVector{v[3 * i] * scale, v[3 * i + 1] * scale, v[3 * i + 2] * scale}
                                     : xrVector{v[i] * scale, v[i] * scale, v[i] * scale};
        return out;
    };

    const std::vector<float> p = column("P", 3, "positions");
    std::vector<xrVector> centres = toVectors(p, 3, 1.0f), velocities, colors, opacities, incandescence;
    std::vector<float> radii, valueA, valueB;
    for (const FileField &field : kFileFields) {
        std::string attr = field.defaultName;
        bool named = false;
        if (attrs.contains(field.key)) {
            if (attrs[field.key].is_null()) continue;
            attr = attrs[field.key].get<std::string>();
            named = true;
        }
        VhVdbPointAttribute a{};
        const int arc = api.pointAttribute(f.file, info.grid, attr.c_str(), &a, err, sizeof err);
        if (arc == kVhVdbNoAttribute) {
            if (named) fail(in + " has no attribute \"" + attr + "\" (" + field.key + ")");
            continue;
        }
        if (arc != kVhVdbOk) fail(in + ", attribute \"" + attr + "\": " + err);
        if (a.components == 0 || (field.components && a.components != field.components))
            fail(in + ", attribute \"" + attr + "\" (" + field.key + ") holds " + a.type + " values, not " +
                 typeWanted(field.components));
        const std::vector<float> v = column(attr, a.components, field.key);
        const std::string key = field.key;
        if (key == "radius") {
            for (size_t i = 0; i < n; ++i)
                if (v[i] < 0) fail(in + ", attribute \"" + attr + "\" (radius): point " + std::to_string(i) + " is negative");
            radii = v;
        } else if (key == "velocity") velocities = toVectors(v, 3, velocityScale);
        else if (key == "color") colors = toVectors(v, 3, 1.0f);
        else if (key == "opacity") opacities = toVectors(v, a.components, 1.0f);
        else if (key == "incandescence") incandescence = toVectors(v, a.components, 1.0f);
        else if (key == "valueA") valueA = v;
        else valueB = v;
    }
    if (radii.empty()) {
        if (!haveRadius) fail(in + " has no radius attribute; give \"radius\"");
        radii.assign(n, radius);
    }
    return makeParticleBlock(centres, radii, velocities, {}, colors, opacities, incandescence, valueA, valueB);
}

}  // namespace

ParticleSystem makeParticleBlock(const std::vector<xrVector> &centres, const std::vector<float> &radii,
                                 const std::vector<xrVector> &velocities, const std::vector<float> &radiusVelocities,
                                 const std::vector<xrVector> &colors, const std::vector<xrVector> &opacities,
                                 const std::vector<xrVector> &incandescence, const std::vector<float> &valueA,
                                 const std::vector<float> &valueB) {
    ParticleSystem ps;
    ps.count = centres.size();
    std::vector<uint32_t> &w = ps.words;
    w.assign(64, 0);
    w[0] = kVekoMagic;
    w[kParticleCount] = uint32_t(ps.count);
    auto scalars = [&](int pair, const std::vector<float> &v) {
        if (v.empty()) return;
        w[pair] = uint32_t(w.size());
        w[pair + 1] = 1;
        for (float f : v) w.push_back(bitsOf(f));
    };
    auto vectors = [&](int pair, const std::vector<xrVector> &v) {
        if (v.empty()) return;
        w[pair] = uint32_t(w.size());
        w[pair + 1] = 3;
        for (const xrVector &x : v) w.insert(w.end(), {bitsOf(x.x), bitsOf(x.y), bitsOf(x.z)});
    };
    scalars(kParticleRadius, radii);
    vectors(kParticleCentre, centres);
    scalars(kParticleValueA, valueA);
    scalars(kParticleValueB, valueB);
    vectors(kParticleColor, colors);
    vectors(kParticleOpacity, opacities);
    vectors(kParticleIncandescence, incandescence);
    if (!velocities.empty() || !radiusVelocities.empty()) {
        // Byte 5 (in word 1): the block carries motion.
        reinterpret_cast<uint8_t *>(w.data())[5] = 1;
        scalars(kParticleRadiusVel, radiusVelocities);
        vectors(kParticleCentreVel, velocities);
    }
    xrVector lo = {FLT_MAX, FLT_MAX, FLT_MAX}, hi = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    float rmax = 0;
    for (size_t i = 0; i < centres.size(); ++i) {
        const xrVector &c = centres[i];
        lo = {std::fmin(lo.x, c.x), std::fmin(lo.y, c.y), std::fmin(lo.z, c.z)};
        hi = {std::fmax(hi.x, c.x), std::fmax(hi.y, c.y), std::fmax(hi.z, c.z)};
        rmax = std::fmax(rmax, radii[i]);
    }
    if (!centres.empty()) {
        ps.lo = {lo.x - rmax, lo.y - rmax, lo.z - rmax};
        ps.hi = {hi.x + rmax, hi.y + rmax, hi.z + rmax};
    }
    return ps;
}

namespace {

xrVector rowPoint(const float *m, const xrVector &p) {
    return {p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12], p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
            p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}
xrVector rowVector(const float *m, const xrVector &v) {
    return {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
}

}  // namespace

void placeParticles(ParticleSystem &ps, const float toWorld[16], const float motion[16], float shutterOpen,
                    float shutterClose) {
    static const float kIdentity[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    const bool moving = std::memcmp(motion, kIdentity, sizeof kIdentity) != 0;
    std::vector<uint32_t> &w = ps.words;
    auto at = [&](int pair, size_t i) -> float * {
        if (!w[size_t(pair)]) return nullptr;
        return reinterpret_cast<float *>(&w[w[size_t(pair)] + w[size_t(pair) + 1] * i]);
    };
    xrVector lo = {FLT_MAX, FLT_MAX, FLT_MAX}, hi = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    for (size_t i = 0; i < ps.count; ++i) {
        float *c = at(kParticleCentre, i), *v = at(kParticleCentreVel, i);
        const float *rv = at(kParticleRadiusVel, i);
        const xrVector p = {c[0], c[1], c[2]};
        const xrVector moved = rowPoint(motion, p);
        const xrVector vel = {(v ? v[0] : 0.0f) + moved.x - p.x, (v ? v[1] : 0.0f) + moved.y - p.y,
                              (v ? v[2] : 0.0f) + moved.z - p.z};
        const float r0 = *at(kParticleRadius, i);
        for (float t : {0.0f, shutterOpen, shutterClose}) {
            const float r = std::fmax(r0, r0 + t * (rv ? *rv : 0.0f));
            const xrVector q = {p.x + t * vel.x, p.y + t * vel.y, p.z + t * vel.z};
            lo = {std::fmin(lo.x, q.x - r), std::fmin(lo.y, q.y - r), std::fmin(lo.z, q.z - r)};
            hi = {std::fmax(hi.x, q.x + r), std::fmax(hi.y, q.y + r), std::fmax(hi.z, q.z + r)};
        }
        const xrVector pw = rowPoint(toWorld, p);
        c[0] = pw.x, c[1] = pw.y, c[2] = pw.z;
        if (v) {
            const xrVector vw = rowVector(toWorld, {v[0], v[1], v[2]});
            v[0] = vw.x, v[1] = vw.y, v[2] = vw.z;
        }
    }
    if (ps.count) {
        ps.lo = lo;
        ps.hi = hi;
    }
    if (moving) reinterpret_cast<uint8_t *>(w.data())[5] = 1;
}

const ObjectInst *particleObjectOf(const Scene &scene, Instance &inst) {
    if (!inst.decl) return nullptr;
    for (const Field &f : inst.decl->params) {
        if (f.type != Type::Tag || f.array) continue;
        xrTag tag;
        std::memcpy(&tag, inst.params() + f.offset, sizeof tag);
        if (!tag) continue;
        for (const auto &o : scene.objects)
            if (o->particleData == tag) return o.get();
    }
    return nullptr;
}

ParticleSystem parseParticles(const nlohmann::json &j, const std::string &baseDir, const std::string &where) {
    if (!j.is_object()) throw Error(where + ": must be an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        static const char *keys[] = {"points",        "velocities", "colors", "opacities", "incandescence",
                                     "values",        "file",       "grid",   "radius",    "velocityScale",
                                     "attributes"};
        bool known = false;
        for (const char *k : keys) known = known || it.key() == k;
        if (!known) throw Error(where + ": unknown key \"" + it.key() + "\"");
    }
    if (j.contains("file")) return readParticleFile(j, baseDir, where);
    for (const char *k : {"grid", "radius", "velocityScale", "attributes"})
        if (j.contains(k)) throw Error(where + ": \"" + k + "\" needs a \"file\"");
    if (!j.contains("points")) throw Error(where + ": needs \"points\"");
    const auto points = rows(j, "points", 4, 4, 0, where);
    const size_t n = points.size();
    if (n == 0) throw Error(where + ": \"points\" must not be empty");
    if (n > (1u << 24)) throw Error(where + ": more than 16777216 points");
    std::vector<xrVector> centres, vel, col, opa, inc;
    std::vector<float> radii, rvel, a, b;
    for (auto &p : points) {
        if (p[3] <= 0) throw Error(where + ": \"points\": radii must be positive");
        centres.push_back({p[0], p[1], p[2]});
        radii.push_back(p[3]);
    }
    for (auto &v : rows(j, "velocities", 3, 4, n, where)) {
        vel.push_back({v[0], v[1], v[2]});
        rvel.push_back(v.size() > 3 ? v[3] : 0.0f);
    }
    for (auto &v : rows(j, "colors", 3, 3, n, where)) col.push_back({v[0], v[1], v[2]});
    for (auto &v : rows(j, "opacities", 3, 3, n, where)) opa.push_back({v[0], v[1], v[2]});
    for (auto &v : rows(j, "incandescence", 3, 3, n, where)) inc.push_back({v[0], v[1], v[2]});
    for (auto &v : rows(j, "values", 2, 2, n, where)) {
        a.push_back(v[0]);
        b.push_back(v[1]);
    }
    return makeParticleBlock(centres, radii, vel, rvel, col, opa, inc, a, b);
}

}  // namespace vh
