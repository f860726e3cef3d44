// Exported helpers for other shader libraries: access to the per-ray record
// by item code, the texture-coordinate check and the connection test.
#include <cstdarg>

#include "vekobase.h"

namespace {

using veko::BaseStateRecord;

constexpr int kParticleBlock = offsetof(BaseStateRecord, particleBlock);

// Byte offset in the record of each item code (index = code); -1 for code 3,
// which always hands out null.
constexpr int kItemOffset[33] = {
    0,                                            // 0: end of list
    0,                                            // 1: the record
    offsetof(BaseStateRecord, userWord1),         // 2
    -1,                                           // 3: always null
    offsetof(BaseStateRecord, filterEnabled),     // 4
    offsetof(BaseStateRecord, baseFilterSize),    // 5
    offsetof(BaseStateRecord, keepCache),         // 6
    offsetof(BaseStateRecord, filterSize),        // 7
    offsetof(BaseStateRecord, lightAmbient),      // 8
    offsetof(BaseStateRecord, lightDiffuse),      // 9
    offsetof(BaseStateRecord, lightSpecular),     // 10
    offsetof(BaseStateRecord, lightShadowWeight), // 11
    offsetof(BaseStateRecord, lightUnshadowed),   // 12
    offsetof(BaseStateRecord, backSide),          // 13
    kParticleBlock + 4 * 0,                       // 14
    kParticleBlock + 4 * 1,                       // 15
    kParticleBlock + 4 * 2,                       // 16
    kParticleBlock + 4 * 3,                       // 17
    kParticleBlock + 4 * 4,                       // 18
    kParticleBlock + 4 * 8,                       // 19
    kParticleBlock + 4 * 12,                      // 20
    4 * 52,                                       // 21
    4 * 56,                                       // 22
    4 * 59,                                       // 23
    offsetof(BaseStateRecord, refractionsOn),     // 24
    offsetof(BaseStateRecord, fbColor),           // 25
    offsetof(BaseStateRecord, matteColor),        // 26
    offsetof(BaseStateRecord, auxColor),          // 27
    offsetof(BaseStateRecord, footprintU),        // 28
    offsetof(BaseStateRecord, footprintV),        // 29
    offsetof(BaseStateRecord, refractionCap),     // 30
    offsetof(BaseStateRecord, reflectionCap),     // 31
    offsetof(BaseStateRecord, inLightLoop),       // 32
};

}  // namespace

// vekobase_stateitem_get(state, code, &ptr, code, &ptr, ..., 0): stores the
// address of each named field of the ray's record. Returns 0 when the ray has
// no record or at the first unknown code (pairs before it are served), 1 at
// the terminating 0.
VEKO_EXPORT xrBoolean vekobase_stateitem_get(xrState *state, ...) {
    veko::BaseStateRecord *record = veko::stateRecord(state);
    if (!record) return 0;
    // The caller may read any field through the addresses, now or later in
    // this call.
    veko::touchFootprint(state, record);
    char *rec = reinterpret_cast<char *>(record);
    va_list ap;
    va_start(ap, state);
    xrBoolean ok = 1;
    for (;;) {
        const int code = va_arg(ap, int);
        if (code == 0) break;
        if (code < 1 || code > 32) {
            ok = 0;
            break;
        }
        void **address = va_arg(ap, void **);
        const int offset = kItemOffset[code];
        if (address) *address = offset < 0 ? nullptr : rec + offset;
    }
    va_end(ap);
    return ok;
}

// Tells whether texture coordinates are usable: in 2D, unless both are at
// the "absent" mark (-1e7 or below); in 3D with unitCube 0, only when all
// three lie inside the open cube (-1, 1).
VEKO_EXPORT xrBoolean vekobase_texcoords_check(const xrVector *coords, xrInteger dimension,
                                               xrBoolean unitCube) {
    if (dimension == 2) return coords->x > -1e7f || coords->y > -1e7f;
    if (dimension == 3 && unitCube == 0) {
        auto inside = [](float c) { return c > -1.0f && c < 1.0f; };
        return inside(coords->x) && inside(coords->y) && inside(coords->z);
    }
    return 1;
}

// 1 when the parameter at `param` of the running shader is fed by a shader.
VEKO_EXPORT xrBoolean vekobase_parm_connection(xrState *state, const void *param) {
    return veko::isConnected(state, param) ? 1 : 0;
}
