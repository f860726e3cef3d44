// Writes the project's smoke puff as a .vdb file (scenes/smoke.vdb):
//   veko_makesmoke out.vdb [resolution]
// Density is a cluster of soft blobs whose surfaces are pushed in and out by
// a few octaves of value noise; temperature and fuel are hottest in the
// puff's lower core; the velocity rises through the middle and curls
// outwards at the top. Grids: "density", "temperature", "fuel" (floats),
// "vel" (vectors), voxel size 2.4 / resolution, centred above the origin.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../host/src/vdb_module.h"
#include "vekohost/host.h"

namespace {

float hash3(int x, int y, int z) {
    uint32_t h = uint32_t(x) * 0x8da6b343u ^ uint32_t(y) * 0xd8163841u ^ uint32_t(z) * 0xcb1ab31fu;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return float(h & 0xffffff) / float(0xffffff) * 2.0f - 1.0f;
}

float smooth(float t) { return t * t * (3.0f - 2.0f * t); }

// Trilinear value noise in [-1, 1].
float valueNoise(float x, float y, float z) {
    const int ix = int(std::floor(x)), iy = int(std::floor(y)), iz = int(std::floor(z));
    const float fx = smooth(x - ix), fy = smooth(y - iy), fz = smooth(z - iz);
    float c[2][2][2];
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) c[k][j][i] = hash3(ix + i, iy + j, iz + k);
    auto lerp = [](float a, float b, float t) { return a + (b - a) * t; };
    return lerp(lerp(lerp(c[0][0][0], c[0][0][1], fx), lerp(c[0][1][0], c[0][1][1], fx), fy),
                lerp(lerp(c[1][0][0], c[1][0][1], fx), lerp(c[1][1][0], c[1][1][1], fx), fy), fz);
}

float fbm(float x, float y, float z) {
    float sum = 0, amp = 0.5f, f = 1;
    for (int o = 0; o < 4; ++o, amp *= 0.5f, f *= 2.03f) sum += amp * valueNoise(x * f + 17.0f * o, y * f, z * f);
    return sum;
}

struct Blob {
    float x, y, z, r;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s out.vdb [resolution]\n", argv[0]);
        return 2;
    }
    const int n = argc == 3 ? std::atoi(argv[2]) : 48;
    if (n < 8 || n > 256) {
        std::fprintf(stderr, "%s: resolution must be 8 to 256\n", argv[0]);
        return 2;
    }
    // World box: x, z in [-1.2, 1.2], y in [0, 2.4].
    const double voxel = 2.4 / n;
    const Blob blobs[] = {{0.0f, 0.75f, 0.0f, 0.62f},  {0.35f, 1.15f, 0.15f, 0.45f}, {-0.4f, 1.05f, -0.1f, 0.48f},
                          {0.05f, 1.5f, -0.25f, 0.42f}, {-0.1f, 0.55f, 0.4f, 0.35f},  {0.3f, 0.5f, -0.35f, 0.33f}};
    const size_t cells = size_t(n) * n * n;
    std::vector<float> density(cells), temperature(cells), fuel(cells), vel(cells * 3);
    for (int k = 0; k < n; ++k)
        for (int j = 0; j < n; ++j)
            for (int i = 0; i < n; ++i) {
                const float x = float(-1.2 + (i + 0.5) * voxel), y = float((j + 0.5) * voxel),
                            z = float(-1.2 + (k + 0.5) * voxel);
                const size_t at = (size_t(k) * n + j) * n + i;
                // Blob field: the largest of the blobs' falloffs, surfaces
                // displaced by noise.
                const float d = 0.8f * fbm(x * 2.6f, y * 2.6f - 0.7f, z * 2.6f) + 0.25f * fbm(x * 7.0f, y * 7.0f, z * 7.0f);
                float field = 0;
                for (const Blob &b : blobs) {
                    const float r = std::sqrt((x - b.x) * (x - b.x) + (y - b.y) * (y - b.y) + (z - b.z) * (z - b.z));
                    field = std::fmax(field, 1.0f - r / b.r + d);
                }
                const float dens = field <= 0 ? 0.0f : smooth(std::fmin(field * 1.6f, 1.0f));
                density[at] = dens < 0.01f ? 0.0f : dens;
                // Heat: strongest in the lower core.
                const float core = std::sqrt(x * x + (y - 0.6f) * (y - 0.6f) * 1.6f + z * z);
                const float heat = std::fmax(0.0f, 1.0f - core / 0.75f + 0.3f * d);
                temperature[at] = density[at] > 0 ? heat * heat * 2.0f : 0.0f;
                fuel[at] = density[at] > 0 ? std::fmax(0.0f, heat - 0.35f) * 1.5f : 0.0f;
                // Rising through the middle, curling out near the top.
                const float rise = std::exp(-(x * x + z * z) * 3.0f);
                const float out = std::fmax(0.0f, y - 1.2f);
                vel[at * 3 + 0] = density[at] > 0 ? x * out * 1.5f - z * 0.3f : 0.0f;
                vel[at * 3 + 1] = density[at] > 0 ? 1.5f * rise : 0.0f;
                vel[at * 3 + 2] = density[at] > 0 ? z * out * 1.5f + x * 0.3f : 0.0f;
            }
    auto dense = [&](const char *name, int components, std::vector<float> &values) {
        VhVdbDense d{};
        d.name = name;
        d.components = components;
        const int lo[3] = {-n / 2, 0, -n / 2};
        for (int a = 0; a < 3; ++a) {
            d.origin[a] = lo[a];
            d.res[a] = n;
            d.voxelSize[a] = voxel;
            d.translation[a] = 0.5 * voxel;  // voxel centres at (index + 0.5) * voxel
        }
        d.values = values.data();
        return d;
    };
    const VhVdbDense grids[] = {dense("density", 1, density), dense("temperature", 1, temperature),
                                dense("fuel", 1, fuel), dense("vel", 3, vel)};
    char err[512] = {0};
    try {
        if (vh::vdbModule().write(argv[1], grids, 4, err, sizeof err) != kVhVdbOk) {
            std::fprintf(stderr, "%s: %s\n", argv[1], err);
            return 1;
        }
    } catch (const vh::Error &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
