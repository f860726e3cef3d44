// Triangles of a mesh laid out in a raster by their texture coordinates, in
// a grid of square cells, for finding the triangle under a raster position:
// shared by the light-map baker and the light-map lens shader.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace veko {

struct GridTriangle {
    int32_t vertex[3];
    int32_t primitive;
    float x[3], y[3];  // corners in pixels
    float area2;       // twice the signed pixel area
};

class TriangleGrid {
public:
    TriangleGrid(std::vector<GridTriangle> &&tris, int width, int height, float cell)
        : tris_(std::move(tris)), cell_(cell) {
        nx_ = std::max(1, int(std::ceil(float(width) / cell)));
        ny_ = std::max(1, int(std::ceil(float(height) / cell)));
        cells_.resize(size_t(nx_) * size_t(ny_));
        for (size_t t = 0; t < tris_.size(); ++t) {
            const GridTriangle &g = tris_[t];
            const float x0 = std::min({g.x[0], g.x[1], g.x[2]}), x1 = std::max({g.x[0], g.x[1], g.x[2]});
            const float y0 = std::min({g.y[0], g.y[1], g.y[2]}), y1 = std::max({g.y[0], g.y[1], g.y[2]});
            const int cx0 = clampX(int(std::floor(x0 / cell))), cx1 = clampX(int(std::floor(x1 / cell)));
            const int cy0 = clampY(int(std::floor(y0 / cell))), cy1 = clampY(int(std::floor(y1 / cell)));
            if (x1 < 0 || y1 < 0 || x0 > float(width) || y0 > float(height)) continue;
            for (int cy = cy0; cy <= cy1; ++cy)
                for (int cx = cx0; cx <= cx1; ++cx) cells_[size_t(cy) * nx_ + cx].push_back(int32_t(t));
        }
    }
    // The triangle under pixel position (x, y) with its barycentric weights.
    const GridTriangle *locate(float x, float y, float bary[3]) const {
        const int cx = int(std::floor(x / cell_)), cy = int(std::floor(y / cell_));
        if (cx < 0 || cy < 0 || cx >= nx_ || cy >= ny_) return nullptr;
        for (int32_t t : cells_[size_t(cy) * nx_ + cx]) {
            const GridTriangle &g = tris_[size_t(t)];
            if (g.area2 == 0.0f) continue;
            const float w0 = ((g.x[1] - x) * (g.y[2] - y) - (g.x[2] - x) * (g.y[1] - y)) / g.area2;
            const float w1 = ((g.x[2] - x) * (g.y[0] - y) - (g.x[0] - x) * (g.y[2] - y)) / g.area2;
            const float w2 = 1.0f - w0 - w1;
            constexpr float e = -1e-6f;
            if (w0 >= e && w1 >= e && w2 >= e) {
                bary[0] = w0;
                bary[1] = w1;
                bary[2] = w2;
                return &g;
            }
        }
        return nullptr;
    }

    const std::vector<GridTriangle> &triangles() const { return tris_; }
    // Bytes held by the grid.
    size_t bytes() const {
        size_t n = tris_.capacity() * sizeof(GridTriangle) + cells_.capacity() * sizeof(cells_[0]);
        for (const auto &c : cells_) n += c.capacity() * sizeof(int32_t);
        return n;
    }

private:
    int clampX(int v) const { return std::clamp(v, 0, nx_ - 1); }
    int clampY(int v) const { return std::clamp(v, 0, ny_ - 1); }
    std::vector<GridTriangle> tris_;
    std::vector<std::vector<int32_t>> cells_;
    float cell_;
    int nx_ = 1, ny_ = 1;
};

// Does the triangle touch the pixel square [x, x + 1] x [y, y + 1]? (The
// separating axes of two convex polygons in the plane: the square's two
// and the triangle's three edge normals.)
inline bool touchesPixel(const GridTriangle &g, int x, int y) {
    const float x0 = float(x), x1 = float(x + 1), y0 = float(y), y1 = float(y + 1);
    if (std::max({g.x[0], g.x[1], g.x[2]}) < x0 || std::min({g.x[0], g.x[1], g.x[2]}) > x1 ||
        std::max({g.y[0], g.y[1], g.y[2]}) < y0 || std::min({g.y[0], g.y[1], g.y[2]}) > y1)
        return false;
    const float sign = g.area2 >= 0.0f ? 1.0f : -1.0f;
    for (int k = 0; k < 3; ++k) {
        const int k1 = (k + 1) % 3;
        // Inward normal of edge k -> k1 (for either winding).
        const float nx = -(g.y[k1] - g.y[k]) * sign, ny = (g.x[k1] - g.x[k]) * sign;
        // The square's corner furthest along the normal.
        const float cx = nx >= 0.0f ? x1 : x0, cy = ny >= 0.0f ? y1 : y0;
        if (nx * (cx - g.x[k]) + ny * (cy - g.y[k]) < 0.0f) return false;
    }
    return true;
}

// Calls visit(x, y) for every pixel of a width x height image that the
// triangle touches; a triangle without area touches none.
template <class Visit>
void forTouchedPixels(const GridTriangle &g, int width, int height, Visit visit) {
    if (g.area2 == 0.0f) return;
    const int x0 = std::max(int(std::floor(std::min({g.x[0], g.x[1], g.x[2]}))), 0);
    const int x1 = std::min(int(std::floor(std::max({g.x[0], g.x[1], g.x[2]}))), width - 1);
    const int y0 = std::max(int(std::floor(std::min({g.y[0], g.y[1], g.y[2]}))), 0);
    const int y1 = std::min(int(std::floor(std::max({g.y[0], g.y[1], g.y[2]}))), height - 1);
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if (touchesPixel(g, x, y)) visit(x, y);
}

// The point of the triangle closest to (px, py), as barycentric weights.
inline void closestBary(const GridTriangle &g, float px, float py, float b[3]) {
    const double ax = g.x[0], ay = g.y[0], abx = g.x[1] - ax, aby = g.y[1] - ay, acx = g.x[2] - ax, acy = g.y[2] - ay;
    const double apx = px - ax, apy = py - ay;
    auto set = [&](double w0, double w1, double w2) {
        b[0] = float(w0);
        b[1] = float(w1);
        b[2] = float(w2);
    };
    const double d1 = abx * apx + aby * apy, d2 = acx * apx + acy * apy;
    if (d1 <= 0 && d2 <= 0) return set(1, 0, 0);
    const double bpx = px - g.x[1], bpy = py - g.y[1];
    const double d3 = abx * bpx + aby * bpy, d4 = acx * bpx + acy * bpy;
    if (d3 >= 0 && d4 <= d3) return set(0, 1, 0);
    const double vc = d1 * d4 - d3 * d2;
    if (vc <= 0 && d1 >= 0 && d3 <= 0) {
        const double v = d1 / (d1 - d3);
        return set(1 - v, v, 0);
    }
    const double cpx = px - g.x[2], cpy = py - g.y[2];
    const double d5 = abx * cpx + aby * cpy, d6 = acx * cpx + acy * cpy;
    if (d6 >= 0 && d5 <= d6) return set(0, 0, 1);
    const double vb = d5 * d2 - d1 * d6;
    if (vb <= 0 && d2 >= 0 && d6 <= 0) {
        const double w = d2 / (d2 - d6);
        return set(1 - w, 0, w);
    }
    const double va = d3 * d6 - d5 * d4;
    if (va <= 0 && (d4 - d3) >= 0 && (d5 - d6) >= 0) {
        const double w = (d4 - d3) / ((d4 - d3) + (d5 - d6));
        return set(0, 1 - w, w);
    }
    const double denom = va + vb + vc;
    if (denom == 0) return set(1, 0, 0);
    const double v = vb / denom, w = vc / denom;
    set(1 - v - w, v, w);
}

// Grid cell size in pixels from twice the mesh's uv area `sum` (in pixels).
inline float gridCellSize(double sum, int width, int height) {
    const float lo = float(std::max(width, height)) * 0.01f, hi = float(std::min(width, height)) * 0.15f;
    float c = float(std::sqrt(std::max(sum, 0.0)));
    c = std::min(std::max(c, lo), hi);
    return std::max(c, 8.0f);
}

}  // namespace veko
