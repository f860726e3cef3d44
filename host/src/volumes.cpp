// Volumes along rays: the camera's atmosphere on every traced segment, the
// interiors of objects with a "volume" (tracked per ray with options
// autoVolume), volumes on segment shadows, and the operations that tell a
// volume shader which volumes enclose the segment (xr_volume_*).
#include <algorithm>
#include <limits>

#include "render_internal.h"

#define VH_EXPORT extern "C" __attribute__((visibility("default")))

namespace vh {

namespace {

Scene *sceneOf(const RayData &rd) { return rd.scene; }

}  // namespace

void crossVolume(VolumeList &list, const Scene &scene, const ObjectInst &o, bool frontFace) {
    if (!o.volume || !scene.options.autoVolume) return;
    if (frontFace) {
        if (list.count == VolumeList::kMax && !scene.volumeNestingWarned.exchange(true))
            hostMessage(Severity::Warning, scene.where + ": object \"" + o.name + "\": volumes nested deeper than " +
                                               std::to_string(VolumeList::kMax) +
                                               " are not tracked; this volume is left out where it is entered so deep");
        list.enter(o);
    }
    else
        list.leave(o);
}

VolumeList volumesLeaving(const RayData &parent, const xrState &pst, xrVector dir) {
    VolumeList list = parent.vol;
    const ObjectInst *o = parent.obj;
    // geometricNormal faces the ray that hit: a ray leaving against it
    // passes through the surface.
    if (o && o->volume && !o->hair && dot(dir, pst.geometricNormal) < 0)
        crossVolume(list, *sceneOf(parent), *o, pst.normalFlipped == 0);
    return list;
}

bool shadowVolumes(const Scene &scene) {
    const xrOptions &op = scene.options;
    return op.autoVolume && op.shadowModeChar == 's' && (scene.camera.cameraVolumeShader || scene.hasVolumes);
}

VolumeList volumesAtStart(const Scene &scene, VolumeList end, xrVector from, xrVector dir, float tfar) {
    if (!scene.hasVolumes || !scene.options.autoVolume) return end;
    constexpr int kMaxCrossings = 64;
    const ObjectInst *objs[kMaxCrossings];
    bool front[kMaxCrossings];
    int n = 0;
    float t0 = 0;
    while (n < kMaxCrossings) {
        RTCRayHit h;
        if (!intersect(scene, from, dir, t0, tfar, h)) break;
        const ObjectInst *o = scene.objects[h.hit.geomID].get();
        if (o->volume && !o->hair) {
            objs[n] = o;
            front[n] = dot(dir, o->Ng[h.hit.primID]) < 0;
            ++n;
        }
        t0 = h.ray.tfar + scene.eps;
    }
    for (int i = n - 1; i >= 0; --i) crossVolume(end, scene, *objs[i], !front[i]);
    return end;
}

VolumeList cameraVolumes(const Scene &scene) {
    VolumeList list;
    if (!scene.hasVolumes || !scene.options.autoVolume) return list;
    // Parity of the crossings of each volume's surface along one ray from
    // the camera: odd means inside. The outermost volume is the one left
    // last.
    const xrVector org = scene.camToWorld.point({0, 0, 0});
    const xrVector dir = normalize(xrVector{0.5773f, 0.5775f, 0.5771f});
    struct Crossing {
        const ObjectInst *o;
        int count;
        float last;
    };
    std::vector<Crossing> seen;
    float t0 = 0;
    for (int guard = 0; guard < 100000; ++guard) {
        RTCRayHit h;
        if (!intersect(scene, org, dir, t0, std::numeric_limits<float>::infinity(), h)) break;
        const ObjectInst *o = scene.objects[h.hit.geomID].get();
        if (o->volume) {
            auto it = std::find_if(seen.begin(), seen.end(), [&](const Crossing &c) { return c.o == o; });
            if (it == seen.end()) seen.push_back({o, 1, h.ray.tfar});
            else ++it->count, it->last = h.ray.tfar;
        }
        t0 = h.ray.tfar + scene.eps;
    }
    std::sort(seen.begin(), seen.end(), [](const Crossing &a, const Crossing &b) { return a.last > b.last; });
    for (const Crossing &c : seen)
        if (c.count % 2) list.enter(*c.o);
    return list;
}

void applyVolumes(RaySlot &slot, xrColor *color, xrVector start, xrVector end, bool endsAtHit) {
    RayData &rd = slot.rd;
    const Scene &scene = *sceneOf(rd);
    const VolumeList &list = rd.vol;
    xrTag shader = scene.camera.cameraVolumeShader;
    if (!shader && list.count > 0) shader = list.shaders[list.count - 1];
    if (!shader) return;
    Instance *inst = instanceOfTag(shader);
    if (!inst) return;
    xrState &st = slot.st;
    const xrState saved = st;
    st.rayOrigin = start;
    st.hitPoint = end;
    st.hitDistance = length(end - start);
    // The shader tells a segment that ends at a surface from one that
    // leaves the scene by hitRef.
    if (!endsAtHit) st.hitRef = nullptr;
    else if (!st.hitRef) st.hitRef = &rd;
    st.volumeShader = shader;
    rd.volSegment = &list;
    rd.inVolume = true;
    // A result buffer of the node's declared size: a volume node that is no
    // sampler writes a whole volume sample.
    callEnvironmentShader(*inst, &st, color);
    rd.inVolume = false;
    rd.volSegment = nullptr;
    st = saved;
}

void applyRayVolumes(RaySlot &slot, xrColor *color, bool endsAtHit) {
    applyVolumes(slot, color, slot.st.rayOrigin, endsAtHit ? slot.st.hitPoint : slot.st.rayOrigin, endsAtHit);
}

// Object space of a state on which a volume shader runs: the space of the
// instance in instanceTag (the volume's object, or the camera for its
// atmosphere). Null otherwise: the ray's own matrices apply.
const float *renderObjectMatrix(xrState *state, bool toWorld) {
    RayData *rd = rayDataOf(state);
    if (!rd || !rd->inVolume) return nullptr;
    const Scene &scene = *sceneOf(*rd);
    if (const ObjectInst *o = scene.objectOf(state->instanceTag)) return toWorld ? o->toWorld.m : o->fromWorld.m;
    if (state->instanceTag && state->instanceTag == scene.cameraTag)
        return toWorld ? scene.camToWorld.m : scene.worldToCam.m;
    return nullptr;
}

}  // namespace vh

using namespace vh;

VH_EXPORT xrInteger xr_volume_num_shaders(xrState *state) {
    RayData *rd = rayDataOf(state);
    return rd && rd->volSegment ? rd->volSegment->count : 0;
}

VH_EXPORT xrTag *xr_volume_tags(xrState *state) {
    RayData *rd = rayDataOf(state);
    if (!rd || !rd->volSegment || rd->volSegment->count == 0) return nullptr;
    return const_cast<xrTag *>(rd->volSegment->shaders);
}

VH_EXPORT xrTag *xr_volume_instances(xrState *state) {
    RayData *rd = rayDataOf(state);
    if (!rd || !rd->volSegment || rd->volSegment->count == 0) return nullptr;
    return const_cast<xrTag *>(rd->volSegment->instances);
}
