// Volume samples: the record every volume shader returns and the stack of
// timed events that veko_volumesampler sorts and integrates along a ray
// segment. Fog shaders, fluid shaders and particle shaders push onto the
// stack they are handed; the sampler owns the integration.
#pragma once

#include <cstdint>

#include "vekobase.h"

namespace veko {

// What a volume shader returns (16 floats). A shadow ray fills only
// outTransparency.
struct VolumeSampleResult {
    xrColor outColor;         // words 0-3
    xrColor outGlowColor;     // words 4-7
    xrColor outMatteOpacity;  // words 8-11; r == kMatteUnset: no matte set
    xrColor outTransparency;  // words 12-15
};
static_assert(sizeof(VolumeSampleResult) == 64);

constexpr float kMatteUnset = -1000000.0f;

// Event kinds on the stack.
enum : int32_t {
    kVolSegmentStart = 0,
    kVolSegmentEnd = 1,
    kVolWeightedStart = 2,  // density-weighted segment: outTransparency holds the extinction
    kVolWeightedEnd = 3,
    kVolPoint = 4,  // a surface-like sample at one distance
};

// One event (88 bytes, from a per-thread block pool of that size).
struct VolumeSampleNode {
    VolumeSampleNode *next;     // bytes 0-7: the node below
    float distance;             // 8: along the ray segment
    float length;               // 12: of the segment the event opens or closes
    float density;              // 16: weight, kinds 2 and 3
    int32_t kind;               // 20
    VolumeSampleResult sample;  // 24-87
};
static_assert(sizeof(VolumeSampleNode) == 88);

struct VolumeSampleStack {
    VolumeSampleNode *head;  // top of the stack
    int32_t count;
    int32_t pad;
    xrBlockPool pool;  // blocks of sizeof(VolumeSampleNode)
};
static_assert(sizeof(VolumeSampleStack) == 24);

// How the sampler calls a volume shader: the outer call passes it to the
// inner call as the shader argument.
struct VolumeCallMode {
    int32_t mode;     // 0 march; 1 or 2 direct call
    int32_t samples;  // march steps
    int32_t jitter;   // nonzero: jittered steps
};
static_assert(sizeof(VolumeCallMode) == 12);

// Pushes an event on top of the stack; false when the pool gives no block.
inline bool pushVolumeNode(VolumeSampleStack &stack, int32_t kind, float distance, float length,
                           const VolumeSampleResult &sample, float density = 0.0f) {
    auto *node = static_cast<VolumeSampleNode *>(xr_mem_blkfallocate(stack.pool));
    if (!node) return false;
    node->next = stack.head;
    node->distance = distance;
    node->length = length;
    node->density = density;
    node->kind = kind;
    node->sample = sample;
    stack.head = node;
    ++stack.count;
    return true;
}

// Pops the top event into `out` and returns its block to the pool; false
// when the stack is empty.
inline bool popVolumeNode(VolumeSampleStack &stack, VolumeSampleNode &out) {
    VolumeSampleNode *node = stack.head;
    if (!node) return false;
    out = *node;
    stack.head = node->next;
    --stack.count;
    xr_mem_blkfrelease(stack.pool, node);
    return true;
}

// Integration of the popped events (src/volumeintegrate.cpp). The arrays
// are reordered and their samples overwritten with working values.
struct VolumeIntegral {
    xrColor S;  // colour
    xrColor G;  // glow
    xrColor M;  // matte opacity; r == kMatteUnset when a sample left it unset
    xrColor T;  // transmittance
};
// Ascending by distance; equal distances keep the array's order.
VEKO_HIDDEN void sortVolumeEvents(VolumeSampleNode *nodes, int count);
// Transmittance of a shadow ray through the events.
VEKO_HIDDEN xrColor volumeShadowTransmittance(VolumeSampleNode *nodes, int count);
// Colour, glow, matte opacity and transmittance of the events, front to
// back; stops once the transmittance is below 0.0001 in r, g and b.
VEKO_HIDDEN VolumeIntegral integrateVolumeEvents(VolumeSampleNode *nodes, int count);

// The gate the fog shaders share: false when a ray of the chain that
// spawned this one (a state that has a spawning state itself) is a
// reflection ray (rayKind 2) and `allow2` is clear, or a refraction ray
// (rayKind 3) and `allow3` is clear.
inline bool volumeRayAllowed(const xrState *state, bool allow2, bool allow3) {
    for (const xrState *s = state; s && s->spawningState; s = s->spawningState) {
        if (s->rayKind == 2 && !allow2) return false;
        if (s->rayKind == 3 && !allow3) return false;
    }
    return true;
}

}  // namespace veko
