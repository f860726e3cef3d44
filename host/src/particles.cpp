// Particle blocks from the scene file's "particles" entries.
#include "particles.h"

#include <cfloat>
#include <cmath>
#include <cstring>

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

ParticleSystem parseParticles(const nlohmann::json &j, const std::string &where) {
    if (!j.is_object()) throw Error(where + ": must be an object");
    for (auto it = j.begin(); it != j.end(); ++it) {
        static const char *keys[] = {"points", "velocities", "colors", "opacities", "incandescence", "values", "file"};
        bool known = false;
        for (const char *k : keys) known = known || it.key() == k;
        if (!known) throw Error(where + ": unknown key \"" + it.key() + "\"");
    }
    if (j.contains("file")) throw Error(where + ": particle files need the OpenVDB module, which this host lacks");
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
