// Particle systems of the scene file: an object's "particles" entry turned
// into the particle user-data block that the particle shaders read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "xr.h"

namespace vh {

struct ParticleSystem {
    std::vector<uint32_t> words;  // the block from the magic on
    xrVector lo{}, hi{};          // box round the particles (centres grown by the largest radius)
    size_t count = 0;
};

// Word positions of the block (counted from the magic); an array is a pair
// (first word, stride in words).
enum : int {
    kParticleCount = 4,
    kParticleRadius = 5,        // 1 float
    kParticleCentre = 7,        // 3 floats
    kParticleValueA = 17,       // 1 float
    kParticleValueB = 19,       // 1 float
    kParticleColor = 21,        // 3 floats
    kParticleOpacity = 23,      // 3 floats
    kParticleIncandescence = 25,// 3 floats
    kParticleRadiusVel = 37,    // 1 float
    kParticleCentreVel = 39,    // 3 floats
};

// Reads {"points": [[x, y, z, r], ...]} with optional per-particle lists
// "velocities" ([vx, vy, vz] or [vx, vy, vz, vr]), "colors", "opacities",
// "incandescence" ([r, g, b] each) and "values" ([a, b]); or {"file":
// "x.vdb", ...}, a point grid of a volume file (relative paths from
// `baseDir`; keys in render.h). Throws Error prefixed with `where`.
ParticleSystem parseParticles(const nlohmann::json &j, const std::string &baseDir, const std::string &where);

// Builds the block from particle columns (any column may be empty but the
// positions and radii; non-empty ones hold one entry per particle).
ParticleSystem makeParticleBlock(const std::vector<xrVector> &centres, const std::vector<float> &radii,
                                 const std::vector<xrVector> &velocities, const std::vector<float> &radiusVelocities,
                                 const std::vector<xrVector> &colors, const std::vector<xrVector> &opacities,
                                 const std::vector<xrVector> &incandescence, const std::vector<float> &valueA,
                                 const std::vector<float> &valueB);

// Places a particle system given in its object's space: grows the box (in
// object space) to hold every particle at shutter open and close, moved by
// its velocities and by `motion` (a point p moves to p + t (p motion - p)),
// then turns positions and velocities into world space with `toWorld`.
// Radii stay in object units (the particle shaders scale them). A `motion`
// other than the identity marks the block as carrying motion. Matrices are
// row-major, row vectors.
void placeParticles(ParticleSystem &ps, const float toWorld[16], const float motion[16], float shutterOpen,
                    float shutterClose);

class Scene;
struct ObjectInst;
struct Instance;
// The particle object whose block a tag parameter of `inst` names, or null.
// Particle shaders initialise in that object's space.
const ObjectInst *particleObjectOf(const Scene &scene, Instance &inst);

}  // namespace vh
