// Draws the project's texture images (scenes/textures/): a brick wall whose
// luminance doubles as its height, for the showcase's image-textured and
// bump-mapped object.
//
//   veko_maketextures <output directory>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <vekohost/imageio.h>

namespace {

uint32_t hash(uint32_t a) {
    a ^= a >> 16;
    a *= 0x7feb352dU;
    a ^= a >> 15;
    a *= 0x846ca68bU;
    a ^= a >> 16;
    return a;
}
float rnd(int x, int y, int seed) {
    return float(hash(uint32_t(x) * 73856093U ^ uint32_t(y) * 19349663U ^ uint32_t(seed) * 83492791U) & 0xffffff) /
           float(0xffffff);
}
float smooth(float t) { return t * t * (3 - 2 * t); }

// Value noise, periodic over `period` cells.
float noise(float x, float y, int period, int seed) {
    const int x0 = int(std::floor(x)), y0 = int(std::floor(y));
    const float fx = smooth(x - float(x0)), fy = smooth(y - float(y0));
    auto at = [&](int i, int j) { return rnd(((i % period) + period) % period, ((j % period) + period) % period, seed); };
    const float a = at(x0, y0) + (at(x0 + 1, y0) - at(x0, y0)) * fx;
    const float b = at(x0, y0 + 1) + (at(x0 + 1, y0 + 1) - at(x0, y0 + 1)) * fx;
    return a + (b - a) * fy;
}

// 4 bricks across and 8 rows, every other row shifted by half a brick; the
// pattern repeats seamlessly.
void bricks(const std::string &path, int size) {
    const int across = 4, rows = 8;
    const float mortar = 0.06f;  // in units of a brick's height
    std::vector<float> px(size_t(size) * size_t(size) * 3);
    for (int py = 0; py < size; ++py)
        for (int pxl = 0; pxl < size; ++pxl) {
            const float u = (float(pxl) + 0.5f) / float(size), v = (float(py) + 0.5f) / float(size);
            const float ry = v * rows;
            const int row = int(ry);
            const float rx = u * across + ((row & 1) ? 0.5f : 0.0f);
            const int col = int(std::floor(rx)) % across;
            // Distance to the nearest joint in brick-height units.
            const float fy = ry - float(row), fx = (rx - std::floor(rx)) * (float(rows) / float(across));
            const float w = float(rows) / float(across);
            const float d = std::min({fy, 1.0f - fy, fx, w - fx});
            const float bevel = std::clamp((d - mortar) / 0.08f, 0.0f, 1.0f);
            const float grain = noise(u * 64, v * 64, 64, 3) * 0.6f + noise(u * 16, v * 16, 16, 4) * 0.4f;
            const float tone = 0.75f + 0.5f * rnd(col, row, 1);
            float r, g, b;
            if (d < mortar) {
                const float m = 0.55f + 0.15f * grain;
                r = m, g = m * 0.97f, b = m * 0.9f;
            } else {
                const float shade = (0.55f + 0.45f * smooth(bevel)) * (0.8f + 0.35f * grain);
                r = 0.62f * tone * shade;
                g = 0.26f * tone * shade * (0.9f + 0.2f * rnd(col, row, 2));
                b = 0.17f * tone * shade;
            }
            float *o = &px[(size_t(size - 1 - py) * size_t(size) + size_t(pxl)) * 3];
            o[0] = std::clamp(r, 0.0f, 1.0f);
            o[1] = std::clamp(g, 0.0f, 1.0f);
            o[2] = std::clamp(b, 0.0f, 1.0f);
        }
    vh::writeImage(path, size, size, 3, px.data());
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        bricks(dir + "/bricks.png", 256);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    return 0;
}
