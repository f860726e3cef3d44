// Hair strands: curves through control points, traced by Embree as flat
// Catmull-Rom ribbons that face each ray. A strand's parameter t runs from 0
// at the root to 1 at the tip; its width and colour go linearly from the
// root's to the tip's along t.
#pragma once

#include <cstdint>
#include <vector>

#include <embree3/rtcore.h>

#include "xr.h"

namespace vh {

struct Mesh;
struct Mat4;

struct HairStyle {
    float width = 0.01f;    // at the root
    float tipWidth = 0.01f;
    xrVector rootColor{1, 1, 1}, tipColor{1, 1, 1};
};

// Strands grown over a surface: `count` roots spread uniformly over its
// area, each strand leaving along the surface normal tilted at random by up
// to `randomness`, its length varied by +-randomness/2, and pulled towards
// `bend` (a vector in units of the strand's length) quadratically along t.
struct FurSettings {
    int count = 1000;
    float length = 0.1f;
    int segments = 4;
    float randomness = 0.1f;
    uint32_t seed = 1;
    xrVector bend{0, 0, 0};
};

struct HairGeom {
    // Control points x, y, z, radius (Embree's FLOAT4 layout). Each strand
    // has one phantom point before its root and one after its tip, mirrored
    // through the end points, so that the curve starts at the root and ends
    // at the tip.
    std::vector<float> points;
    std::vector<uint32_t> segFirst;   // per segment: index of its first control point
    std::vector<uint32_t> segStrand;  // per segment: its strand
    std::vector<uint32_t> segIndex;   // per segment: its number within the strand
    std::vector<uint32_t> strandSegs; // per strand: its number of segments
    HairStyle style;

    size_t strands() const { return strandSegs.size(); }
    size_t segments() const { return segFirst.size(); }
};

// Strands through the given control points (each at least two).
HairGeom hairFromStrands(const std::vector<std::vector<xrVector>> &strands, const HairStyle &style);

// Strands grown over a triangle mesh. Deterministic for a seed. The mesh
// must have area.
HairGeom growFur(const Mesh &surface, const FurSettings &fur, const HairStyle &style);

// Moves the strands by a transform; widths scale with its mean scale.
void transformHair(HairGeom &hair, const Mat4 &m);

// Bounds of the control points (phantoms excluded).
void hairBounds(const HairGeom &hair, xrVector &lo, xrVector &hi);

// A point of a segment at curve parameter u in [0, 1].
struct HairPoint {
    xrVector p;      // on the strand's centre line
    xrVector dPdt;   // derivative along the strand parameter t
    float radius;    // half the width
    float t;         // strand parameter, 0 root .. 1 tip
};
HairPoint hairPoint(const HairGeom &hair, uint32_t segment, float u);

// The Embree curve geometry of the strands (committed, not attached).
RTCGeometry hairGeometry(RTCDevice device, const HairGeom &hair);

}  // namespace vh
