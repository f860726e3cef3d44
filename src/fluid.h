// Fluid data: the "Veko" user-data block that carries a fluid simulation (a
// header and voxel grids), bringing it into native byte order, reading its
// grids (grid coordinates, linear and quadratic B-spline interpolation with
// clamped or wrapping boundaries) and the fields built from them.
//
// A block is validated once per lookup (parseFluidBlock): every grid record
// a field uses must lie inside the block with its values, so the samplers
// read without further checks. The samplers are pure functions of the
// parsed block and the point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vekobase.h"

namespace veko {

// Payload words (word 0 is the magic, counted from the label word).
enum FluidWord : int {
    kFluidKind = 1,            // byte-order neutral (not swapped); -1 in fluid blocks
    kFluid2d = 3,              // nonzero: one layer, z ignored
    kFluidDensityOffset = 4,   // nonzero: grid density carries +0.5
    kFluidBaseGrid = 5,        // word offset of the base grid record
    kFluidDensityScale = 6,
    kFluidDensityMethod = 7,
    kFluidDensityGrid = 8,
    kFluidVelocityScale = 9,   // 9-11
    kFluidVelocityMethod = 12,
    kFluidVelocityGrid = 13,   // 13-15: x, y, z component grids
    kFluidVelocityStaggered = 16,  // nonzero: components sit on the cell faces of their axis
    kFluidColorConstant = 17,  // 17-20
    kFluidColorMethod = 21,
    kFluidColorGrid = 22,      // 22-24: red, green, blue grids
    kFluidSecondScale = 25,    // second scalar field (temperature)
    kFluidSecondMethod = 26,
    kFluidSecondGrid = 27,
    kFluidThirdScale = 31,     // third scalar field (fuel)
    kFluidThirdMethod = 32,
    kFluidThirdGrid = 33,
    kFluidSignedScale = 37,    // signed scalar field (pressure), ramp input 8
    kFluidSignedMethod = 38,
    kFluidSignedGrid = 39,
    kFluidHeaderWords = 40,
};

// Field methods.
constexpr int kFluidConstant = 0;
constexpr int kFluidGrid = 8;
// Grid boundary mode that wraps (any other value clamps).
constexpr int kFluidWrap = 4;
// Words of a grid record before its values.
constexpr int kFluidGridHeader = 15;

struct FluidGrid {
    xrVector centre;
    int32_t res[3];
    xrVector size;
    xrVector cell;
    int32_t mode[3];
    const float *values;  // res[0] * res[1] * res[2], x fastest
};

struct FluidScalarField {
    float scale = 0.0f;
    int32_t method = kFluidConstant;
    FluidGrid grid{};
    bool hasGrid = false;
};

struct FluidVectorField {
    xrVector scale{0, 0, 0};
    int32_t method = kFluidConstant;
    FluidGrid grid[3]{};
    bool hasGrid = false;
    bool staggered = false;
};

struct FluidColorField {
    xrColor constant{0, 0, 0, 0};
    int32_t method = kFluidConstant;
    FluidGrid grid[3]{};
    bool hasGrid = false;
};

struct FluidBlock {
    bool is2d = false;
    bool densityOffset = false;
    FluidGrid base{};
    FluidScalarField density, second, third, signedField;
    FluidVectorField velocity;
    FluidColorField color;
};

// Grid records a block can name: base, four scalar fields, three velocity
// and three colour components.
constexpr int kFluidMaxGrids = 11;

// The parts of a block whose grid records are read: the base grid and each
// field (a bit each in FluidGridReads::parts).
enum FluidPart : int {
    kFluidPartBase = 0,
    kFluidPartDensity,
    kFluidPartSecond,
    kFluidPartThird,
    kFluidPartSigned,
    kFluidPartVelocity,
    kFluidPartColor,
};

// Word offsets of the grid records a parse read (those inside the block),
// each once, with the parts that read it.
struct FluidGridReads {
    int count;
    int32_t at[kFluidMaxGrids];
    uint32_t parts[kFluidMaxGrids];  // bit (1 << FluidPart) per reader
};

// Reads the block's header and grid records from `payload` (native order,
// `words` 32-bit words from the magic on). False when the base grid record
// is missing or damaged; a grid-method field whose grid is missing or
// damaged reads 0 (hasGrid false). `problem` (may be null) gets the first
// fault found, naming the word. `reads` (may be null) gets the grid records
// read: with the header words, everything the result depends on besides
// `payload` and `words`.
bool parseFluidBlock(const uint32_t *payload, size_t words, FluidBlock &block, std::string *problem,
                     FluidGridReads *reads = nullptr);

// A parsed block kept for reuse (per thread, or shared read-only once made:
// get() and check() update it, holds() and holdsPart() only read). It serves a
// block again only at the same address, with the same length and with
// every word the parse read unchanged (a copy is compared), so a block that
// was edited, or freed and replaced by another at the same address, is
// parsed afresh; the grid values are never copied, only pointed at.
//
// get() compares the header and the base grid record; the grid records of
// a field are compared by `check` when a sample first reads that field, so
// a call pays only for the fields it uses.
class FluidBlockCache {
public:
    // The parsed block of `payload` (pinned by the caller for as long as
    // the result is used); null when the block is unusable.
    const FluidBlock *get(const uint32_t *payload, size_t words);
    // Makes the parsed block current for `part` of the block last passed to
    // get() (parsing it afresh when a grid record of that part changed);
    // the block returned by get() is updated in place.
    void check(FluidPart part) {
        if (records_[part] && differs(records_[part])) parse(payload_, words_);
    }
    // Without parsing: whether the last parse is usable and current for
    // the block at `payload` of `words` words (what get() compares), and
    // whether it is current for `part` (what check() compares).
    bool holds(const uint32_t *payload, size_t words) const;
    bool holdsPart(FluidPart part) const { return !records_[part] || !differs(records_[part]); }
    const FluidBlock &parsed() const { return block_; }

private:
    // Whether a grid record of the set `records` (a bit per record)
    // differs from its copy.
    bool differs(uint32_t records) const;
    bool sameBlock(const uint32_t *payload, size_t words) const;
    void parse(const uint32_t *payload, size_t words);
    const uint32_t *payload_ = nullptr;
    size_t words_ = 0;
    bool ok_ = false;
    uint32_t header_[kFluidHeaderWords]{};
    FluidGridReads reads_{};
    uint32_t grids_[kFluidMaxGrids][kFluidGridHeader]{};
    // Per part, the records to compare for it: those it read, less those
    // the base grid read (compared by get()).
    uint32_t records_[kFluidPartColor + 1]{};
    FluidBlock block_{};
};

// Grid coordinate of a fluid-space point (cell centres at integers).
inline xrVector fluidGridCoord(const FluidGrid &g, const xrVector &p) {
    return {(p.x - g.centre.x + 0.5f * g.size.x) / g.cell.x - 0.5f,
            (p.y - g.centre.y + 0.5f * g.size.y) / g.cell.y - 0.5f,
            (p.z - g.centre.z + 0.5f * g.size.z) / g.cell.z - 0.5f};
}

// An index brought into [0, res): wrapped (mode 4) or clamped.
inline int32_t fluidIndex(int64_t i, int32_t res, int32_t mode) {
    if (i >= 0 && i < res) return int32_t(i);
    if (mode == kFluidWrap) {
        const int64_t m = i % res;
        return int32_t(m < 0 ? m + res : m);
    }
    return i < 0 ? 0 : res - 1;
}

inline float fluidValue(const FluidGrid &g, int32_t i, int32_t j, int32_t k) {
    return g.values[(size_t(k) * size_t(g.res[1]) + size_t(j)) * size_t(g.res[0]) + size_t(i)];
}

// Interpolation at a grid coordinate: trilinear (bilinear when is2d: layer
// 0), or the quadratic B-spline over the 3 x 3 (x 3) neighbours.
float fluidLinear(const FluidGrid &g, const xrVector &gc, bool is2d);
float fluidSmooth(const FluidGrid &g, const xrVector &gc, bool is2d);

// The gradient methods at a point q relative to the base grid's centre:
// 1, 2, 3 falling along x, y, z (0.5 - q/size), 4, 5, 6 rising (q/size +
// 0.5), 7 from the centre outwards (1 - sqrt2 |q/size|); 1 otherwise.
float fluidGradient(int32_t method, const xrVector &q, const xrVector &size);

// Ramp-input reshaping by a bias (raised to -0.99): x^e with
// e = (1 - b)/(1 + b); symmetric about 0.5 for signed inputs.
float fluidBias(float x, float bias, bool symmetric);

// The signed-value and speed mappings onto [0, 1].
inline float fluidSignedInput(float v) { return v > 0.0f ? 1.0f - 0.5f / (v + 1.0f) : 0.5f / (1.0f - v); }
inline float fluidSpeedInput(float s) { return 1.0f - 1.0f / (s + 1.0f); }

// Transparency of an opacity for the transparency component t:
// (1 - opacity)^((1 - t)/t), exponent 100000 for t below 0.00001.
float fluidTransparency(float opacity, float t);

// Brings the fluid block on `tag` (an object, instance or user-data element)
// into native byte order. 1: native already; 2: swapped now (under the
// host lock, after a second look); 0: no block.
int fluidNativeOrder(xrState *state, xrTag tag);

}  // namespace veko
