// The sparse-volume file library's part of the host, in its own shared
// object (libvekohost_vdb.so) opened on first use: reading and writing
// volume grids (.vdb files). That library starts worker threads when it is
// loaded and pulls in many others, so nothing else in the host links it.
//
// The table is versioned: new operations are appended at its end and raise
// kVhVdbApiVersion; the loader accepts a module whose version is at least
// the one it was built against.
#pragma once

#include <cstddef>

extern "C" {

// A dense block of voxels in a grid's index space: voxel (i, j, k) of the
// block is index (origin + (i, j, k)), whose centre lies in world space at
// translation + index * voxelSize (axis-aligned grids only).
struct VhVdbDense {
    const char *name;      // grid name
    int components;        // 1 (float grid) or 3 (vector grid)
    int origin[3];         // index of voxel (0, 0, 0)
    int res[3];            // voxels per axis
    double voxelSize[3];
    double translation[3];
    float *values;         // res[0] * res[1] * res[2] * components, x fastest, components innermost
    float background;      // value of inactive voxels (written grids: voxels equal to it stay inactive)
};

// What a file says about one grid.
struct VhVdbGridInfo {
    int components;       // 1 scalar, 3 vector, 0 any other value type
    char type[32];        // the file's value type name ("float", "vec3s", ...)
    double worldMin[3];   // world-space box of the active voxels' extent
    double worldMax[3];   // (empty grid: min > max)
    double voxelSize[3];
    int axisAligned;      // 0: rotated or non-linear transform (not readable here)
};

// Error codes of the operations.
enum {
    kVhVdbOk = 0,
    kVhVdbNoFile = 1,      // cannot open or read the file
    kVhVdbNoGrid = 2,      // no grid of that name
    kVhVdbBadType = 3,     // the grid's value type or transform does not fit
    kVhVdbFailed = 4,      // anything else (message in err)
    kVhVdbNoAttribute = 5, // the point grid has no attribute of that name
};

// A point grid (particles) as a file holds it.
struct VhVdbPointInfo {
    char grid[128];   // the grid's name
    long long count;  // points in it
};

// One attribute of a point grid.
struct VhVdbPointAttribute {
    char type[32];   // the file's value type name ("float", "vec3s", ...)
    int components;  // 1 (float, double), 3 (vec3s, vec3d), 0 any other type
};

// One column of points to write: components (1 or 3) floats per point.
// 1 becomes a float attribute, 3 a vec3s attribute. A column named "P"
// replaces the stored in-voxel position offsets (voxel units), which only
// serves to make damaged files for tests.
struct VhVdbPointColumn {
    const char *name;
    int components;
    const float *values;
};

struct VhVdbApi {
    int version;  // kVhVdbApiVersion
    // Opens a file for reading (null on failure, message in err).
    void *(*open)(const char *path, char *err, size_t errSize);
    void (*close)(void *file);
    // Describes grid `name` of an open file.
    int (*info)(void *file, const char *name, VhVdbGridInfo *out, char *err, size_t errSize);
    // Samples grid `name` (trilinear in world space) at the centres of a
    // regular lattice: cell (i, j, k) centred at min + (i + 0.5, j + 0.5,
    // k + 0.5) * cell; components values per cell into out (x fastest,
    // components innermost; res product * components floats).
    int (*sample)(void *file, const char *name, const double min[3], const double cell[3], const int res[3],
                  int components, float *out, char *err, size_t errSize);
    // Writes the grids to a new file (replacing it).
    int (*write)(const char *path, const VhVdbDense *grids, int count, char *err, size_t errSize);

    // Version 2: point grids.
    // Describes point grid `grid` of an open file, or its first point grid
    // when `grid` is null or empty (kVhVdbNoGrid when there is none;
    // kVhVdbBadType when the named grid holds no points).
    int (*pointInfo)(void *file, const char *grid, VhVdbPointInfo *out, char *err, size_t errSize);
    // Describes attribute `attribute` of point grid `grid` (kVhVdbNoAttribute
    // when missing).
    int (*pointAttribute)(void *file, const char *grid, const char *attribute, VhVdbPointAttribute *out, char *err,
                          size_t errSize);
    // Reads attribute `attribute` of every point (count * components floats,
    // in the grid's point order, the same for every attribute); "P" gives
    // the world-space positions. kVhVdbBadType when the attribute's value
    // type does not have `components` components.
    int (*readPoints)(void *file, const char *grid, const char *attribute, int components, float *out, char *err,
                      size_t errSize);
    // Writes one point grid named `grid` with `count` world-space positions
    // and the given attribute columns to a new file (replacing it).
    int (*writePoints)(const char *path, const char *grid, double voxelSize, long long count, const float *positions,
                       const VhVdbPointColumn *columns, int columnCount, char *err, size_t errSize);
};

constexpr int kVhVdbApiVersion = 2;

// Exported by the module.
const VhVdbApi *vekohost_vdb_api();
}

namespace vh {
// The module's operations, loaded on the first call (thread-safe). Throws
// vh::Error naming the module and the reason when it cannot be loaded.
const VhVdbApi &vdbModule();
}  // namespace vh
