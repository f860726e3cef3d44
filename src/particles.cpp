// Particle data: finding and byte-order conversion of the exporter's particle
// block, the prebuilt record (primitives, motion, sphere hierarchy built by
// nearest-neighbour pairing over a spatial grid) and the ray walk.
//
// Host queries used here:
//   51   address of the running instance's user pointer (the record)
#include "particles.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

namespace veko {

namespace {

constexpr float kTiny = 0.00001f;

// Word 2 of a user-data element holds the byte size of its data from the
// label word on; the label is element word 6.
constexpr int kSizeWordBeforeLabel = 4;

uint32_t swapWord(uint32_t v) {
    return (v >> 24) | ((v >> 8) & 0xff00u) | ((v << 8) & 0xff0000u) | (v << 24);
}

int32_t blockWords(const uint32_t *label) {
    const uint32_t bytes = label[-kSizeWordBeforeLabel];
    return bytes / 4 > 0x7fffffffu ? 0 : int32_t(bytes / 4);
}

}  // namespace

// ---------------------------------------------------------------------------
// The block.

bool ParticleBlock::arrayFits(int pair, int count, int n) const {
    const int64_t first = int32_t(words[pair]), stride = int32_t(words[pair + 1]);
    if (first <= 0 || count <= 0) return false;
    const int64_t lastStart = first + stride * int64_t(count - 1);
    return stride >= 0 && lastStart + n <= size;
}

const float *ParticleBlock::element(int pair, int i, int n) const {
    const int64_t first = int32_t(words[pair]), stride = int32_t(words[pair + 1]);
    const int64_t at = first + stride * int64_t(i);
    if (first <= 0 || at <= 0 || at + n > size) return nullptr;
    return reinterpret_cast<const float *>(words + at);
}

void ParticleBlock::release() {
    if (tag) xr_db_unpin(tag);
    tag = 0;
    words = nullptr;
}

bool openParticleBlock(xrState *state, xrTag dataTag, ParticleBlock *out) {
    *out = ParticleBlock{};
    if (!dataTag) return false;
    xrTag found = 0;
    xrBoolean swapped = 0;
    uint32_t *label = findUserData(kVekoMagic, xrDB_USERDATA, dataTag, &found, &swapped);
    if (!label) return false;
    if (swapped) {
        // Written on a machine of the other byte order: convert the element in
        // place once, under the library lock (instances may share the block).
        xr_db_unpin(found);
        if (state->libraryLock) xr_lock(state->libraryLock);
        label = findUserData(kVekoMagic, xrDB_USERDATA, dataTag, &found, &swapped);
        if (label && swapped) {
            const int32_t n = blockWords(label);
            if (n < 2) {
                xr_db_unpin(found);
                label = nullptr;
            } else {
                label[0] = kVekoMagic;
                for (int32_t i = 2; i < n; ++i) label[i] = swapWord(label[i]);
                xr_info("data_swap(): Particle data has been swapped.");
            }
        }
        if (state->libraryLock) xr_unlock(state->libraryLock);
        if (!label) return false;
    }
    out->words = label;
    out->size = blockWords(label);
    out->tag = found;
    if (out->size <= kBlockCount) {
        out->release();
        return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Spheres.

namespace {

// Smallest sphere enclosing (c1, r1) and (c2, r2) at distance d. On equal
// radii with one inside the other, `keepFirst` picks (c1, r1).
void mergeSpheres(const xrVector &c1, float r1, const xrVector &c2, float r2, float d, bool keepFirst,
                  xrVector *c, float *r) {
    if (std::fmax(r1, r2) >= std::fmin(r1, r2) + d) {
        const bool first = r1 > r2 || (r1 == r2 && keepFirst);
        *c = first ? c1 : c2;
        *r = first ? r1 : r2;
        return;
    }
    const float k = (r1 - r2) / d;
    *r = (r1 + d + r2) * 0.5f;
    *c = vadd(vscale(c1, (1.0f + k) * 0.5f), vscale(c2, (1.0f - k) * 0.5f));
}

SphereNode sphereAt(const ParticleRecord &rec, int i, float t) {
    SphereNode n{};
    n.link[0] = n.link[1] = uint64_t(i);
    if (rec.kind != kParticleTube) {
        SpherePrim p = static_cast<const SpherePrim *>(rec.primitives)[i];
        if (rec.hasMotion && t != 0.0f) {
            const SpherePrim &v = static_cast<const SpherePrim *>(rec.motion)[i];
            p.centre = vadd(p.centre, vscale(v.centre, t));
            p.radius += t * v.radius;
        }
        n.centre = p.centre;
        n.radius = p.radius;
        return n;
    }
    const TubePrim &p = static_cast<const TubePrim *>(rec.primitives)[i];
    TubePrim v{};
    if (rec.hasMotion) v = static_cast<const TubePrim *>(rec.motion)[i];
    xrVector a = vadd(p.axis, vscale(v.axis, t));
    float h = length(a) * 0.5f;
    if (h < kTiny) {
        h = kTiny;
        a = {kTiny, 0.0f, 0.0f};
    }
    const float r0 = p.r0 + t * v.r0, r1 = p.r1 + t * v.r1;
    n.radius = (r0 > kTiny || r1 > kTiny) ? h + std::fmax(r0, r1) : h;
    n.centre = vadd(vadd(p.start, vscale(a, 0.5f)), vscale(v.start, t));
    return n;
}

}  // namespace

SphereNode leafSphere(const ParticleRecord &rec, int i, float t) { return sphereAt(rec, i, t); }

// ---------------------------------------------------------------------------
// The spatial grid of the build.

namespace {

struct GridEntry {
    xrVector p;
    int32_t spare;
    int64_t id;
    GridEntry *next;
};
static_assert(sizeof(GridEntry) == 32);

struct Grid {
    xrVector origin{}, extent{};
    int32_t nx = 0, ny = 0, nz = 0;
    float cell = 0;
    GridEntry **heads = nullptr;
    xrBlockPool pool = nullptr;

    // Cell counts for cell size `c` (grown until the count fits `limit`).
    void size(float c, int64_t limit) {
        c = std::fmax(kTiny, c);
        for (;;) {
            const int64_t x = int64_t(extent.x / c) + 1, y = int64_t(extent.y / c) + 1, z = int64_t(extent.z / c) + 1;
            if (x > 0 && y > 0 && z > 0 && limit / x / y / z > 0) {
                nx = int32_t(x), ny = int32_t(y), nz = int32_t(z);
                cell = c;
                return;
            }
            c *= 1.1111112f;
        }
    }
    bool make(const xrVector &lo, const xrVector &hi, float c, int64_t limit) {
        origin = vsub(lo, {kTiny, kTiny, kTiny});
        extent = vsub(vadd(hi, {kTiny, kTiny, kTiny}), origin);
        size(c, limit);
        heads = static_cast<GridEntry **>(
            xr_mem_int_allocate(__FILE__, __LINE__, size_t(nx) * size_t(ny) * size_t(nz) * sizeof(GridEntry *)));
        pool = xr_mem_int_blkcreate(sizeof(GridEntry));
        return heads && pool;
    }
    void destroy() {
        if (heads) xr_mem_int_release(__FILE__, __LINE__, heads);
        if (pool) xr_mem_blkdelete(pool);
        heads = nullptr;
        pool = nullptr;
    }
    int axisCell(float v, float o, int n) const {
        int k = int((v - o) / cell);
        return k < 0 ? 0 : (k >= n ? n - 1 : k);
    }
    void cellOf(const xrVector &p, int *ix, int *iy, int *iz) const {
        *ix = axisCell(p.x, origin.x, nx);
        *iy = axisCell(p.y, origin.y, ny);
        *iz = axisCell(p.z, origin.z, nz);
    }
    GridEntry *&head(int ix, int iy, int iz) { return heads[(int64_t(iz) * ny + iy) * nx + ix]; }
    bool insert(const xrVector &p, int64_t id) {
        auto *e = static_cast<GridEntry *>(xr_mem_blkfallocate(pool));
        if (!e) return false;
        int ix, iy, iz;
        cellOf(p, &ix, &iy, &iz);
        e->p = p;
        e->spare = 0;
        e->id = id;
        GridEntry *&h = head(ix, iy, iz);
        e->next = h;
        h = e;
        return true;
    }
    void remove(const xrVector &p, int64_t id) {
        int ix, iy, iz;
        cellOf(p, &ix, &iy, &iz);
        for (GridEntry **link = &head(ix, iy, iz); *link; link = &(*link)->next)
            if ((*link)->id == id) {
                GridEntry *e = *link;
                *link = e->next;
                xr_mem_blkfrelease(pool, e);
                return;
            }
    }
    // Nearest entry to `p` in the 27 cells round it, other than `exclude`.
    const GridEntry *nearest(const xrVector &p, int64_t exclude, float *dist) {
        int cx, cy, cz;
        cellOf(p, &cx, &cy, &cz);
        const GridEntry *best = nullptr;
        float bestSq = 0.0f;
        for (int x = cx - 1; x <= cx + 1; ++x) {
            if (x < 0 || x >= nx) continue;
            for (int y = cy - 1; y <= cy + 1; ++y) {
                if (y < 0 || y >= ny) continue;
                for (int z = cz - 1; z <= cz + 1; ++z) {
                    if (z < 0 || z >= nz) continue;
                    for (const GridEntry *e = head(x, y, z); e; e = e->next) {
                        if (e->id == exclude) continue;
                        const xrVector d = vsub(e->p, p);
                        const float sq = dot(d, d);
                        if (!best || sq < bestSq) {
                            best = e;
                            bestSq = sq;
                        }
                    }
                }
            }
        }
        if (best) *dist = std::sqrt(bestSq);
        return best;
    }
};

// The merge rule encloses a node's two child spheres, which enclose theirs:
// up the hierarchy the spheres grow several times wider than the particles
// beneath them, and a ray enters many nodes it then leaves empty-handed. A
// sphere round the centre of the box of a node's leaf spheres, reaching the
// farthest of them, bounds the same particles; each inner node takes it
// when it is the smaller one (a hair wider, so that rounding never lets it
// cut into a leaf). The pairing and the particles a ray meets stay the same.
struct Tightener {
    SphereNode **leaves;  // in walk order: a subtree's leaves are consecutive
    int count = 0;

    // The box of the node's leaf spheres (lo, hi).
    void run(SphereNode *node, xrVector *lo, xrVector *hi) {
        if (node->leaf()) {
            leaves[count++] = node;
            const float r = node->radius;
            *lo = vsub(node->centre, {r, r, r});
            *hi = vadd(node->centre, {r, r, r});
            return;
        }
        const int first = count;
        xrVector lo1, hi1;
        run(reinterpret_cast<SphereNode *>(node->link[0]), lo, hi);
        run(reinterpret_cast<SphereNode *>(node->link[1]), &lo1, &hi1);
        *lo = {std::fmin(lo->x, lo1.x), std::fmin(lo->y, lo1.y), std::fmin(lo->z, lo1.z)};
        *hi = {std::fmax(hi->x, hi1.x), std::fmax(hi->y, hi1.y), std::fmax(hi->z, hi1.z)};
        const xrVector c = vscale(vadd(*lo, *hi), 0.5f);
        float reach = 0.0f;
        for (int k = first; k < count; ++k)
            reach = std::fmax(reach, length(vsub(leaves[k]->centre, c)) + leaves[k]->radius);
        reach *= 1.00001f;
        if (reach < node->radius) {
            node->centre = c;
            node->radius = reach;
        }
    }
};

// Moves the `count` nodes of the hierarchy so that they lie in walk order
// (depth first, the first child right after its parent) in the pool blocks
// they already occupy, taken in address order. The pool hands out blocks
// from chunks in sequence, so a walk then runs mostly forward through
// memory instead of jumping between leaves made in particle order and
// parents made pass by pass. False when the scratch memory is missing (the
// hierarchy is left as it was).
bool layOutInWalkOrder(SphereNode *&root, int count) {
    const size_t bytes = size_t(count) * (2 * sizeof(SphereNode *) + sizeof(SphereNode) + sizeof(int32_t));
    auto *scratch = static_cast<char *>(xr_mem_int_allocate(__FILE__, __LINE__, bytes));
    if (!scratch) return false;
    auto **order = reinterpret_cast<SphereNode **>(scratch);
    auto **pending = order + count;  // nodes still to visit, last first
    auto *copy = reinterpret_cast<SphereNode *>(pending + count);
    auto *parentOf = reinterpret_cast<int32_t *>(copy + count);  // pending entry's parent index * 2 + link
    int k = 0, top = 0;
    pending[top] = root;
    parentOf[top++] = -1;
    while (top > 0 && k < count) {
        SphereNode *n = pending[--top];
        const int32_t from = parentOf[top];
        order[k] = n;
        copy[k] = *n;
        if (from >= 0) copy[from / 2].link[from % 2] = uint64_t(k);
        if (!n->leaf()) {
            pending[top] = reinterpret_cast<SphereNode *>(n->link[1]);
            parentOf[top++] = k * 2 + 1;
            pending[top] = reinterpret_cast<SphereNode *>(n->link[0]);
            parentOf[top++] = k * 2;
        }
        ++k;
    }
    std::sort(order, order + k);
    for (int i = 0; i < k; ++i) {
        SphereNode node = copy[i];
        if (!node.leaf()) {  // links are node indices here; a leaf keeps its particle
            node.link[0] = reinterpret_cast<uint64_t>(order[node.link[0]]);
            node.link[1] = reinterpret_cast<uint64_t>(order[node.link[1]]);
        }
        *order[i] = node;
    }
    root = order[0];
    xr_mem_int_release(__FILE__, __LINE__, scratch);
    return true;
}

// Pairs the leaves into one hierarchy; false when memory runs out.
bool buildHierarchy(ParticleRecord &rec, SphereNode **slots, int n, float firstCell) {
    Grid grid;
    bool ok = grid.make(rec.boundsMin, rec.boundsMax, firstCell, 400000);
    const size_t cells = size_t(grid.nx) * size_t(grid.ny) * size_t(grid.nz);
    int live = n;
    while (ok && live > 1) {
        for (int i = 0; i < n && ok; ++i)
            if (slots[i]) ok = grid.insert(slots[i]->centre, i);
        for (int i = 0; i < n && ok && live > 1; ++i) {
            SphereNode *a = slots[i];
            if (!a) continue;
            float d = 0.0f;
            const GridEntry *e = grid.nearest(a->centre, i, &d);
            grid.remove(a->centre, i);
            if (!e) continue;
            const int j = int(e->id);
            SphereNode *b = slots[j];
            grid.remove(b->centre, j);
            auto *parent = static_cast<SphereNode *>(xr_mem_blkfallocate(rec.nodePool));
            if (!parent) {
                ok = false;
                break;
            }
            mergeSpheres(a->centre, a->radius, b->centre, b->radius, d, false, &parent->centre, &parent->radius);
            parent->link[0] = reinterpret_cast<uint64_t>(a);
            parent->link[1] = reinterpret_cast<uint64_t>(b);
            slots[i] = parent;
            slots[j] = nullptr;
            --live;
        }
        // Nodes left unpaired are out of the grid too: empty it, coarsen.
        std::memset(grid.heads, 0, cells * sizeof(GridEntry *));
        grid.size(grid.cell * 2.0f, int64_t(cells));
    }
    grid.destroy();
    if (ok)
        for (int i = 0; i < n; ++i)
            if (slots[i]) rec.root = slots[i];
    if (ok) {
        // The slots are spent: they hold the leaves while the spheres tighten.
        Tightener t{slots};
        xrVector lo, hi;
        t.run(rec.root, &lo, &hi);
        layOutInWalkOrder(rec.root, 2 * n - 1);
    }
    return ok;
}

}  // namespace

// ---------------------------------------------------------------------------
// The record.

namespace {

// p * m for a row-major matrix and row vectors (translation in 12..14).
xrVector transformRow(const float *m, const xrVector &p) {
    return {p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12], p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13],
            p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14]};
}

// a * b, row-major.
void multiply(const float *a, const float *b, float *out) {
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) {
            float sum = 0.0f;
            for (int k = 0; k < 4; ++k) sum += a[i * 4 + k] * b[k * 4 + j];
            out[i * 4 + j] = sum;
        }
}

// The motion of the state's instance over one unit of shutter time in
// internal space: T = fromWorld * motion * toWorld (row vectors: back into
// the object, moved there, out again). False when the instance stands still
// or has no record.
bool objectMotion(xrState *state, float T[16]) {
    if (!state->instanceTag) return false;
    xrInteger type = 0;
    const auto *inst = static_cast<const xrInstanceRecord *>(xr_db_access_type(&type, state->instanceTag));
    if (!inst) return false;
    bool moves = false;
    if (type == xrDB_INSTANCE) {
        float identity[16];
        xr_matrix_ident(identity);
        moves = std::memcmp(inst->motion, identity, sizeof identity) != 0;
        if (moves) {
            float m[16];
            multiply(inst->fromWorld, inst->motion, m);
            multiply(m, inst->toWorld, T);
        }
    }
    xr_db_unpin(state->instanceTag);
    return moves;
}

}  // namespace

void freeParticleRecord(ParticleRecord *rec) {
    if (!rec) return;
    if (rec->emission) xr_mem_int_release(__FILE__, __LINE__, rec->emission);
    if (rec->nodePool) xr_mem_blkdelete(rec->nodePool);
    if (rec->primitives) xr_mem_int_release(__FILE__, __LINE__, rec->primitives);
    if (rec->motion) xr_mem_int_release(__FILE__, __LINE__, rec->motion);
    xr_mem_int_release(__FILE__, __LINE__, rec);
}

ParticleRecord *buildParticleRecord(xrState *state, const ParticleBlock &block, int kind, const char *shader) {
    auto fail = [&](ParticleRecord *rec) -> ParticleRecord * {
        freeParticleRecord(rec);
        VEKO_WARN(shader, "Particle data access failed.");
        return nullptr;
    };
    auto *rec = static_cast<ParticleRecord *>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(ParticleRecord)));
    if (!rec) return fail(nullptr);
    std::memset(rec, 0, sizeof *rec);
    rec->kind = kind;
    rec->emissionState = -1;
    const int32_t n = int32_t(block.words[kBlockCount]);
    if (n <= 0) return rec;

    const xrOptions *opt = state->optionsRecord;
    const bool tube = kind == kParticleTube;
    const bool motion = reinterpret_cast<const uint8_t *>(block.words)[kBlockMotionByte] == 1 && opt &&
                        opt->motionBlurOn != 0 && opt->shutterClose > 0.0f;

    // Every array the build reads must lie inside the block.
    static const int kSphereArrays[][2] = {{kBlockRadius, 1}, {kBlockCentre, 3}};
    static const int kTubeArrays[][2] = {{kBlockTubeR0, 1}, {kBlockTubeStart, 3}, {kBlockTubeR1, 1}, {kBlockTubeEnd, 3}};
    const int(*arrays)[2] = tube ? kTubeArrays : kSphereArrays;
    for (int k = 0; k < (tube ? 4 : 2); ++k)
        if (!block.arrayFits(arrays[k][0], n, arrays[k][1])) return fail(rec);

    // Radii scale with the object's transformation.
    xrVector unit = {1.0f, 0.0f, 0.0f}, scaled;
    xr_vector_from_object(state, &scaled, &unit);
    float s = length(scaled);
    if (std::fabs(s) < kTiny) s = std::copysign(kTiny, s);

    const size_t elem = tube ? sizeof(TubePrim) : sizeof(SpherePrim);
    rec->count = n;
    rec->primitives = xr_mem_int_allocate(__FILE__, __LINE__, elem * size_t(n));
    if (motion) rec->motion = xr_mem_int_allocate(__FILE__, __LINE__, elem * size_t(n));
    rec->hasMotion = motion ? 1 : 0;
    rec->nodePool = xr_mem_int_blkcreate(sizeof(SphereNode));
    if (!rec->primitives || (motion && !rec->motion) || !rec->nodePool) return fail(rec);

    // The object's own motion: each position gains (T - I) position on its
    // velocity.
    float T[16];
    const bool objectMoves = motion && objectMotion(state, T);
    auto gain = [&](xrVector &velocity, const xrVector &p) {
        if (!objectMoves) return;
        velocity = vadd(velocity, vsub(transformRow(T, p), p));
    };

    auto vec = [&](int pair, int i) -> xrVector {
        const float *f = block.element(pair, i, 3);
        return f ? xrVector{f[0], f[1], f[2]} : xrVector{0, 0, 0};
    };
    auto scalar = [&](int pair, int i) -> float {
        const float *f = block.element(pair, i, 1);
        return f ? f[0] : 0.0f;
    };
    for (int i = 0; i < n; ++i) {
        if (!tube) {
            SpherePrim &p = static_cast<SpherePrim *>(rec->primitives)[i];
            p.centre = vec(kBlockCentre, i);
            p.radius = std::fmax(scalar(kBlockRadius, i) * s, kTiny);
            if (motion) {
                SpherePrim &v = static_cast<SpherePrim *>(rec->motion)[i];
                v.centre = vec(kBlockCentreVel, i);
                gain(v.centre, p.centre);
                v.radius = scalar(kBlockRadiusVel, i) * s;
            }
        } else {
            TubePrim &p = static_cast<TubePrim *>(rec->primitives)[i];
            p.start = vec(kBlockTubeStart, i);
            p.end = vec(kBlockTubeEnd, i);
            p.axis = vsub(p.end, p.start);
            p.spare = 0.0f;
            p.r0 = scalar(kBlockTubeR0, i) * s;
            p.r1 = scalar(kBlockTubeR1, i) * s;
            if (p.r0 < kTiny && p.r1 < kTiny) p.r0 = p.r1 = kTiny;
            if (motion) {
                TubePrim &v = static_cast<TubePrim *>(rec->motion)[i];
                v.start = vec(kBlockTubeStartVel, i);
                v.end = vec(kBlockTubeEndVel, i);
                gain(v.start, p.start);
                gain(v.end, p.end);
                v.axis = vsub(v.end, v.start);
                v.spare = 0.0f;
                v.r0 = scalar(kBlockTubeR0Vel, i) * s;
                v.r1 = scalar(kBlockTubeR1Vel, i) * s;
            }
        }
    }

    // Leaves: the sphere at t = 0, or the one enclosing shutter open and close.
    auto *slots = static_cast<SphereNode **>(xr_mem_int_allocate(__FILE__, __LINE__, sizeof(SphereNode *) * size_t(n)));
    if (!slots) return fail(rec);
    xrVector lo = {FLT_MAX, FLT_MAX, FLT_MAX}, hi = {-FLT_MAX, -FLT_MAX, -FLT_MAX};
    float maxRadius = 0.0f;
    double radiusSum = 0.0;
    for (int i = 0; i < n; ++i) {
        auto *leaf = static_cast<SphereNode *>(xr_mem_blkfallocate(rec->nodePool));
        if (!leaf) {
            xr_mem_int_release(__FILE__, __LINE__, slots);
            return fail(rec);
        }
        if (motion) {
            const SphereNode a = sphereAt(*rec, i, opt->shutterOpen), b = sphereAt(*rec, i, opt->shutterClose);
            *leaf = a;
            mergeSpheres(a.centre, a.radius, b.centre, b.radius, length(vsub(a.centre, b.centre)), true, &leaf->centre,
                         &leaf->radius);
        } else {
            *leaf = sphereAt(*rec, i, 0.0f);
        }
        leaf->link[0] = leaf->link[1] = uint64_t(i);
        slots[i] = leaf;
        lo = {std::fmin(lo.x, leaf->centre.x), std::fmin(lo.y, leaf->centre.y), std::fmin(lo.z, leaf->centre.z)};
        hi = {std::fmax(hi.x, leaf->centre.x), std::fmax(hi.y, leaf->centre.y), std::fmax(hi.z, leaf->centre.z)};
        maxRadius = std::fmax(maxRadius, leaf->radius);
        radiusSum += leaf->radius;
    }
    rec->boundsMin = vsub(lo, {maxRadius, maxRadius, maxRadius});
    rec->boundsMax = vadd(hi, {maxRadius, maxRadius, maxRadius});
    const float firstCell = std::fmax(float(radiusSum / n), 0.001f);

    bool ok = true;
    if (n == 1)
        rec->root = slots[0];
    else
        ok = buildHierarchy(*rec, slots, n, firstCell);
    xr_mem_int_release(__FILE__, __LINE__, slots);
    return ok ? rec : fail(rec);
}

// ---------------------------------------------------------------------------
// Instances.

namespace {

}  // namespace

void particleInstanceInit(xrState *state, xrTag dataTag, int kind, const char *shader) {
    void **slot = veko::instanceUserPointer(state);
    if (!slot) return;
    if (*slot) {  // initialised twice: keep one record
        freeParticleRecord(static_cast<ParticleRecord *>(*slot));
        *slot = nullptr;
    }
    ParticleBlock block;
    if (!openParticleBlock(state, dataTag, &block)) {
        VEKO_WARN(shader, "Particle data access failed.");
        return;
    }
    *slot = buildParticleRecord(state, block, kind, shader);
    block.release();
}

void particleInstanceExit(xrState *state) {
    void **slot = veko::instanceUserPointer(state);
    if (!slot || !*slot) return;
    freeParticleRecord(static_cast<ParticleRecord *>(*slot));
    *slot = nullptr;
}

ParticleRecord *particleInstanceRecord(xrState *state) {
    void **slot = veko::instanceUserPointer(state);
    return slot ? static_cast<ParticleRecord *>(*slot) : nullptr;
}

// ---------------------------------------------------------------------------
// The ray walk.

namespace {

struct RaySphere {
    float t, q2, w;
};

// Steps 1 and 2 of a node test: false when the ray misses the sphere, only
// grazes it, or meets it wholly behind the origin or beyond the limit.
bool meetSphere(const xrVector &o, const xrVector &d, double limit, const xrVector &c, float r, RaySphere *out) {
    const float t = dot(vsub(c, o), d);
    const xrVector off = vsub(vadd(o, vscale(d, t)), c);
    const float q2 = dot(off, off), r2 = r * r;
    if (r2 <= q2) return false;
    const float w = std::sqrt(r2 - q2);
    if (w <= kTiny || t + w <= kTiny || !(double(t - w) < limit)) return false;
    *out = {t, q2, w};
    return true;
}

struct Walk {
    const ParticleRecord &rec;
    xrVector o, d;
    double limit;
    float time;
    EventList &list;

    bool push(int32_t kind, int32_t particle, float squared, const xrVector &offset, float distance,
              const float *prim, size_t primBytes) {
        auto *e = static_cast<ParticleEvent *>(xr_mem_blkfallocate(list.pool));
        if (!e) {
            list.overflow = true;
            return false;
        }
        std::memset(e, 0, sizeof *e);
        e->kind = kind;
        e->particle = particle;
        e->squared = squared;
        e->offset = offset;
        e->distance = distance;
        std::memcpy(e->prim, prim, primBytes);
        e->next = list.head;
        list.head = e;
        ++list.count;
        return true;
    }

    void leaf(int i, RaySphere hit) {
        if (rec.hasMotion) {
            const SphereNode s = sphereAt(rec, i, time);
            if (!meetSphere(o, d, limit, s.centre, s.radius, &hit)) return;
        }
        if (rec.kind == kParticleTube) {
            TubePrim p = static_cast<const TubePrim *>(rec.primitives)[i];
            if (rec.hasMotion) {
                const TubePrim &v = static_cast<const TubePrim *>(rec.motion)[i];
                p.start = vadd(p.start, vscale(v.start, time));
                p.end = vadd(p.end, vscale(v.end, time));
                p.r0 += time * v.r0;
                p.r1 += time * v.r1;
            }
            p.axis = vsub(p.end, p.start);
            float len = length(p.axis);
            if (len < kTiny) {
                len = kTiny;
                p.axis = {1.0f, 0.0f, 0.0f};
            } else {
                p.axis = vscale(p.axis, 1.0f / len);
            }
            p.spare = len;
            push(kEventClosest, i, hit.q2, {0, 0, 0}, hit.t, &p.start.x, sizeof p);
            return;
        }
        SpherePrim p = static_cast<const SpherePrim *>(rec.primitives)[i];
        if (rec.hasMotion) {
            const SpherePrim &v = static_cast<const SpherePrim *>(rec.motion)[i];
            p.centre = vadd(p.centre, vscale(v.centre, time));
            p.radius += time * v.radius;
        }
        const float r2 = p.radius * p.radius;
        const xrVector offset = vscale(vsub(vadd(o, vscale(d, hit.t)), p.centre), 1.0f / p.radius);
        push(kEventExit, i, r2, {0, 0, 0}, hit.t + hit.w, &p.centre.x, sizeof p);
        push(kEventClosest, i, hit.q2, offset, hit.t, &p.centre.x, sizeof p);
        push(kEventEntry, i, r2, {0, 0, 0}, hit.t - hit.w, &p.centre.x, sizeof p);
    }

    // Depth first, the first child before the second. The second children
    // wait on a local stack; a hierarchy deeper than it continues by
    // recursion.
    void node(const SphereNode *n) {
        const xrVector org = o, dir = d;
        const double far = limit;
        constexpr int kStack = 64;
        const SphereNode *pending[kStack];
        int top = 0;
        for (;;) {
            RaySphere hit;
            if (meetSphere(org, dir, far, n->centre, n->radius, &hit)) {
                if (!n->leaf()) {
                    const auto *second = reinterpret_cast<const SphereNode *>(n->link[1]);
                    if (top < kStack)
                        pending[top++] = second;
                    else
                        node(second);
                    n = reinterpret_cast<const SphereNode *>(n->link[0]);
                    continue;
                }
                leaf(int(n->link[0]), hit);
            }
            if (top == 0) return;
            n = pending[--top];
        }
    }
};

}  // namespace

void walkParticles(xrState *state, const ParticleRecord &rec, EventList &list) {
    if (!rec.root || !list.pool) return;
    Walk w{rec, state->rayOrigin, state->rayDirection, state->hitDistance,
           rec.hasMotion ? state->sampleTime : 0.0f, list};
    w.node(rec.root);
}

void releaseEvents(EventList &list) {
    while (list.head) {
        ParticleEvent *next = list.head->next;
        xr_mem_blkfrelease(list.pool, list.head);
        list.head = next;
    }
    list.count = 0;
}

}  // namespace veko
