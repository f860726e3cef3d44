// Writes the project's particle splash as a .vdb point file (scenes/drops.vdb):
//   veko_makedrops out.vdb [count]
// A heap of drops lying on the ground (y = 0) round the origin, and a crown
// of smaller drops thrown up and outwards from its rim. Point grid "drops"
// with the attributes "pscale" (radius), "v" (velocity, units per shutter
// interval), "Cd" (colour: deep blue in the heap, paler towards the crown's
// tips), "age" and "lifespan" (seconds).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "../host/src/vdb_module.h"
#include "vekohost/host.h"

namespace {

// A small deterministic generator, so the file is the same on every run.
struct Random {
    uint64_t s = 0x9E3779B97F4A7C15ull;
    float next() {  // [0, 1)
        s = s * 6364136223846793005ull + 1442695040888963407ull;
        return float(s >> 40) / float(1u << 24);
    }
    float range(float lo, float hi) { return lo + (hi - lo) * next(); }
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s out.vdb [count]\n", argv[0]);
        return 2;
    }
    const int n = argc == 3 ? std::atoi(argv[2]) : 360;
    if (n < 10 || n > 100000) {
        std::fprintf(stderr, "%s: count must be 10 to 100000\n", argv[0]);
        return 2;
    }
    Random rnd;
    std::vector<float> p, pscale, v, cd, age, lifespan;
    const float pi = 3.14159265f;
    const int heap = n * 2 / 3;
    for (int i = 0; i < n; ++i) {
        float x, y, z, r, vx, vy, vz, pale;
        if (i < heap) {
            // Heap: denser and higher in the middle, flattened on the ground.
            const float a = rnd.range(0, 2 * pi), d = 0.85f * std::sqrt(rnd.next());
            r = rnd.range(0.11f, 0.17f);
            x = d * std::cos(a);
            z = d * std::sin(a) * 0.8f;
            y = r * 0.6f + (0.85f - d) * rnd.range(0.1f, 0.45f);
            vx = x * 0.05f, vy = -0.02f, vz = z * 0.05f;
            pale = 0.1f * rnd.next();
        } else {
            // Crown: thrown out of the rim, rising and spreading, smaller
            // towards the tips.
            const float a = rnd.range(0, 2 * pi), h = rnd.next();
            const float rim = 0.8f + 0.35f * h;
            r = 0.09f - 0.05f * h;
            x = rim * std::cos(a);
            z = rim * std::sin(a) * 0.8f;
            y = 0.15f + 0.9f * h * (1.0f - 0.35f * h);
            vx = std::cos(a) * 0.2f, vy = 0.25f * (1.0f - h), vz = std::sin(a) * 0.16f;
            pale = 0.25f + 0.6f * h;
        }
        p.insert(p.end(), {x, y, z});
        pscale.push_back(r);
        v.insert(v.end(), {vx, vy, vz});
        cd.insert(cd.end(), {0.05f + 0.75f * pale, 0.3f + 0.6f * pale, 0.8f + 0.2f * pale});
        age.push_back(rnd.range(0.0f, 1.0f));
        lifespan.push_back(2.0f);
    }
    const VhVdbPointColumn columns[] = {{"pscale", 1, pscale.data()}, {"v", 3, v.data()}, {"Cd", 3, cd.data()},
                                        {"age", 1, age.data()},       {"lifespan", 1, lifespan.data()}};
    char err[512] = {0};
    try {
        const VhVdbApi &api = vh::vdbModule();
        if (api.writePoints(argv[1], "drops", 0.1, n, p.data(), columns, 5, err, sizeof err) != kVhVdbOk) {
            std::fprintf(stderr, "%s: %s\n", argv[1], err);
            return 1;
        }
    } catch (const vh::Error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
