// Particle systems: the prebuilt record that the particle render shaders
// make at instance _init from the exporter's particle block (one primitive
// per particle, with its motion, and a binary hierarchy of bounding spheres),
// and the ray walk that lists the particles a ray meets as timed events.
#pragma once

#include <cstdint>

#include "vekobase.h"

namespace veko {

// Particle kinds (fixed per shader).
enum : int32_t {
    kParticleCloud = 1,
    kParticleTube = 2,
    kParticleBlobby = 3,
};

// Sphere primitive (kinds 1 and 3).
struct SpherePrim {
    xrVector centre;
    float radius;
};
static_assert(sizeof(SpherePrim) == 16);

// Tapered tube primitive (kind 2). At walk time `axis` is a unit vector and
// `spare` the tube's length; in the record `axis` is end - start.
struct TubePrim {
    xrVector start;  // floats 0-2
    xrVector axis;   // 3-5
    xrVector end;    // 6-8
    float spare;     // 9
    float r0, r1;    // 10, 11: start and end radius
};
static_assert(sizeof(TubePrim) == 48);

// Hierarchy node: a bounding sphere and two links. A leaf holds its particle
// index in both links; an inner node its two children.
struct SphereNode {
    xrVector centre;  // words 0-2
    float radius;     // 3
    uint64_t link[2]; // 4-7
    bool leaf() const { return link[0] == link[1]; }
};
static_assert(sizeof(SphereNode) == 32);

// The prebuilt record of one shader instance (its user pointer).
struct ParticleRecord {
    SphereNode *root;       // bytes 0-7: null when the block holds no particle
    void *primitives;       // 8: SpherePrim or TubePrim per particle
    int32_t hasMotion;      // 16
    int32_t kind;           // 20: particle kind of the build
    void *motion;           // 24: per-particle velocities (same element type), with hasMotion
    xrVector boundsMin;     // 32
    xrVector boundsMax;     // 44
    xrBlockPool nodePool;   // 56: 32-byte hierarchy nodes
    void *emission;         // 64: emission buffer of the cloud and tube shaders
    int32_t emissionState;  // 72: -1 until an emission is built
    int32_t count;          // 76: particles
};
static_assert(sizeof(ParticleRecord) == 80);

// One event of the ray walk (88 bytes, from a block pool of that size).
enum : int32_t {
    kEventEntry = 2,    // sphere entry, at t - w
    kEventExit = 3,     // sphere exit, at t + w
    kEventClosest = 4,  // closest approach, at t
};
struct ParticleEvent {
    int32_t kind;         // 0
    int32_t particle;     // 4: particle index
    float squared;        // 8: r^2 (entry, exit) or q^2 (closest approach)
    xrVector offset;      // 12: (o + t d - c) / r, closest approach
    float distance;       // 24: along the ray
    float prim[12];       // 28: the primitive at the ray's time (SpherePrim or TubePrim)
    int32_t pad;          // 76
    ParticleEvent *next;  // 80
    const SpherePrim &sphere() const { return *reinterpret_cast<const SpherePrim *>(prim); }
};
static_assert(sizeof(ParticleEvent) == 88);

struct EventList {
    ParticleEvent *head = nullptr;
    int count = 0;
    xrBlockPool pool = nullptr;  // blocks of sizeof(ParticleEvent)
    bool overflow = false;       // the pool gave no block: some events are missing
};

// Word positions in the particle block (counted from the magic). An array is
// a pair (first word, stride in words).
enum : int {
    kBlockMotionByte = 5,   // byte: 1 when the block carries motion arrays
    kBlockCount = 4,
    kBlockRadius = 5,       // 1 float, kinds 1 and 3
    kBlockCentre = 7,       // 3 floats
    kBlockTubeR0 = 9,
    kBlockTubeStart = 11,
    kBlockTubeR1 = 13,
    kBlockTubeEnd = 15,
    kBlockAttr1 = 17,       // 1 float (blobby attribute blend)
    kBlockAttr2 = 19,       // 1 float
    kBlockAttr3 = 21,       // 3 floats
    kBlockAttr4 = 23,       // 3 floats, blended as one minus the value
    kBlockAttr5 = 25,       // 3 floats
    kBlockRadiusVel = 37,
    kBlockCentreVel = 39,
    kBlockTubeR0Vel = 41,
    kBlockTubeStartVel = 43,
    kBlockTubeR1Vel = 45,
    kBlockTubeEndVel = 47,
    kBlockAttrVel1 = 49,    // velocities of the five attribute arrays: 49 .. 58
};

// A particle block found through its data tag: the words from the magic on
// and their number. Pinned until release().
struct ParticleBlock {
    const uint32_t *words = nullptr;
    int32_t size = 0;  // words
    xrTag tag = 0;
    // Element i of the array at word `pair` with `n` components, or null
    // when the array is absent (first word 0) or runs past the block.
    const float *element(int pair, int i, int n) const;
    bool arrayFits(int pair, int count, int n) const;
    void release();
};

// Finds the particle block of `dataTag` in native order, converting a
// byte-swapped block in place once (under the library lock). False when it
// is missing or unreadable.
VEKO_HIDDEN bool openParticleBlock(xrState *state, xrTag dataTag, ParticleBlock *out);

// Builds the record for `kind` from the block (null with a warning naming
// `shader` when the data is unusable). Release with freeParticleRecord.
VEKO_HIDDEN ParticleRecord *buildParticleRecord(xrState *state, const ParticleBlock &block, int kind,
                                                const char *shader);
VEKO_HIDDEN void freeParticleRecord(ParticleRecord *rec);

// Shared _init / _exit of the particle render shaders: the record goes to the
// instance's user pointer (query 51). `dataTag` is the evaluated data-tag
// parameter.
VEKO_HIDDEN void particleInstanceInit(xrState *state, xrTag dataTag, int kind, const char *shader);
VEKO_HIDDEN void particleInstanceExit(xrState *state);
// The running instance's record, or null.
VEKO_HIDDEN ParticleRecord *particleInstanceRecord(xrState *state);

// Appends to `list` the events of every particle the state's ray meets
// before its hitDistance.
VEKO_HIDDEN void walkParticles(xrState *state, const ParticleRecord &rec, EventList &list);
// Returns every event to the list's pool.
VEKO_HIDDEN void releaseEvents(EventList &list);

// The leaf sphere of particle `i` at time t (primitive moved by t times its
// velocities; t = 0 without motion).
VEKO_HIDDEN SphereNode leafSphere(const ParticleRecord &rec, int i, float t);

}  // namespace veko
