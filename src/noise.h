// Noise core: lattice value noise on fixed tables, gradient noise, the
// band-limited fractal sums and the sparse cell noise that the procedural
// textures, placement, fluid, particle and fur shaders share.
//
// Every lookup is a pure function of its arguments and the tables and takes
// no lock. The run-time tables (cell, gradient, fur) are built once by the
// shaders' _init under a lock and published through an atomic pointer/flag;
// lookups that need one of them before it is built return 0. The woodgrain
// tables are built the same way on their first lookup.
#pragma once

#include <array>
#include <cstdint>

#include "xr.h"

namespace veko {

// ---------------------------------------------------------------------------
// Constant tables (read-only library data).
constexpr int kNoiseTableSize = 65535;    // deliberately not 65536
constexpr int kFractalLatticeSize = 4096;  // 16 x 16 x 16 addresses
constexpr int kOctaveCount = 10;           // fractal sums stop here

// Lattice values uniform in (-1, 1), six decimal digits. Serves as a 1D
// lattice (first 33 entries), a 32x32 2D lattice (x + 32y), a 32x32x32 3D
// lattice (x + 32y + 1024z) and a table of random values (index mod 65535).
extern const std::array<float, kNoiseTableSize> noiseTable;
// Permutation of 0..255 (each value exactly once).
extern const std::array<uint8_t, 256> noisePermutation;
// Bell-shaped lattice values around 0 (sd about 0.34), clipped to [-1, 1].
extern const std::array<float, kFractalLatticeSize> fractalLattice;
// Per-octave coordinate offsets; octave k uses entries k, k+1, k+2.
extern const std::array<float, 12> octaveOffsets;

// ---------------------------------------------------------------------------
// Lattice value noise on noiseTable (quadratic B-spline, 32 cells per unit).
// Coordinates outside [-1e9, 1e9] (and NaN) are treated as 0.

// Range (-0.5, 0.5), up to (-2, 2) in the first 1/32 after each integer,
// where the first segment is extrapolated; period 1, jumps at integer x.
float noise1(double x);
// Range [-1, 1); period 1 in x and y.
float noise2(double x, double y);
// out = twice the derivatives of noise2 w.r.t. the lattice-unit parameters
// (d/dx of noise2 = out[0] * 16); period 1 in x and y.
void noise2Deriv(float out[2], double x, double y);
// Range [-1, 1); period 1 in x, y and z.
float noise3(double x, double y, double z);
// Animated noise3: range [-1, 1); period 1 in x, y, z and t. timeResolution
// keys per unit of t, at most 60000 (larger values act as 60000, values
// below 0 as 0: a single frozen key).
float noise4(double x, double y, double z, double t, int32_t timeResolution);
// noiseTable[|i| mod 65535]: range (-1, 1); period 65535 in i, even in i.
double randomValue(int32_t i);
// Three successive noiseTable entries starting at i mod 65535 (indices wrap
// at 65535; negative i is taken modulo 65535 into range): each in (-1, 1).
void randomVector(float out[3], int32_t i);

// ---------------------------------------------------------------------------
// Gradient noise on the run-time gradientTable (brownian).
// Range about [-1, 1] (0 at integer lattice points); period 256 in each
// coordinate. Returns 0 until initGradientTable has run.
float gradientNoise3(float x, float y, float z);
// Builds gradientTable (65535 unit vectors from the host generator seeded
// with xr_srandom(1)) under the host lock; later calls do nothing.
void initGradientTable(xrState *state);
// gradientTable (3 floats per vector) or nullptr when not built.
const float *gradientTable();

// ---------------------------------------------------------------------------
// Fractal sums on fractalLattice (crater, stucco). filterWidth selects the
// octave count (1 to 10) and fades the finest octave in.

// Range about amplitude * [-2, 2] (octave values in [-1, 1]); period 65536
// in each coordinate (16-bit lattice hash).
float fractalNoise(float filterWidth, float amplitude, const float point[3]);
// Gradient-like vector of the same octaves (per axis the corner differences
// times t (1 - t)): each component within amplitude * [-1, 1]; same period.
void fractalNoiseVector(float out[3], float filterWidth, float amplitude, const float point[3]);
// Octave count used by fractalNoise for a filter width: 1 to 10.
int fractalOctaves(float filterWidth);
// The 12-bit lattice hash of the fractal sums (index into fractalLattice).
int fractalHash(int32_t x, int32_t y, int32_t z);

// Sparse convolution of cone-shaped spots on a 20^3 periodic cell grid
// (granite, leather). Result >= 0 for mix in [0, 1] (sum of spot values);
// with creases nonzero a value >= 20 marks a crease. Period 4 * cellSize
// (20 cells) in each coordinate. channels (may be nullptr): in: thresholds T0, T1;
// out: the spot sums per channel. Returns 0 (channels 0) until
// initCellTable has run.
float cellNoise(float cellSize, float density, float mix, float randomness, float creaseWidth,
                int32_t creases, const float point[3], float channels[3]);
// Builds cellTable (falloff curve and 8100 random values) under the host
// lock; later calls do nothing.
void initCellTable(xrState *state);
// cellTable (256 falloff entries, then 8100 random values) or nullptr.
const float *cellTable();

// ---------------------------------------------------------------------------
// Classic gradient noise.

// (3 - 2t) t^2: 0 at 0, 1 at 1, zero slope at both ends.
inline float smoothStep(float t) { return (3.0f - 2.0f * t) * t * t; }

// Woodgrain noise on tables of its own (built on first use). Range about
// [-0.5, 0.5] for 1D, [-1, 1] for 3D; 0 at integers; period 256 (for
// coordinates above -256, where the shifted value stays positive).
float classicNoise1(float x);
float classicNoise3(float x, float y, float z);

// Fur noise: classic gradient noise times 1.5 on the fur tables; range about
// [-1.5, 1.5], 0 at integers, period 256 (above -10000). Returns 0 until
// initFurNoise has run.
float furNoise3(float x, float y, float z);
// Builds the fur tables from the host generator seeded with xr_srandom(1)
// under the host lock; later calls do nothing.
void initFurNoise(xrState *state);

// Table views for diagnostics and tests: permutation (514 entries) and
// gradients (514 x 3 floats), or nullptrs when not built.
struct GradientTables {
    const int32_t *permutation;
    const float *gradients;
};
GradientTables classicNoiseTables();  // builds them on first use
GradientTables furNoiseTables();

namespace detail {
// Fixed counter-based generator (splitmix64) used to generate the constant
// tables at compile time.
struct TableRandom {
    uint64_t state;
    constexpr explicit TableRandom(uint64_t seed) : state(seed) {}
    constexpr uint64_t next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1) with 53 bits.
    constexpr double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};
// Serialises construction of the run-time tables: the host lock carried in
// the render state (when given) and a library mutex, released in reverse.
class TableLock {
public:
    explicit TableLock(xrState *state);
    ~TableLock();
    TableLock(const TableLock &) = delete;
    TableLock &operator=(const TableLock &) = delete;

private:
    xrState *state_;
};
// The float nearest to k / 1e6.
constexpr float sixDigits(int64_t k) { return static_cast<float>(static_cast<double>(k) / 1e6); }
}  // namespace detail

}  // namespace veko
