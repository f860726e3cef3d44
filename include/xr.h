// Host renderer interface: value types, the per-ray render state, the camera
// and options records, and the host operations (xr_*).
//
// The records are shared with the host, so their layout is a wire format:
// every field the library touches sits at a fixed byte offset (little-endian,
// 8-byte pointers), checked below with static_assert.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

typedef float xrScalar;
typedef int32_t xrInteger;
typedef uint32_t xrUinteger;
typedef int32_t xrBoolean;
typedef uint32_t xrTag;

struct xrColor {
    float r, g, b, a;
};
struct xrVector {
    float x, y, z;
};
typedef float xrMatrix[16];  // row-major

// Opaque lock and block-pool handles owned by the host.
typedef struct xrLockImpl *xrLock;
typedef struct xrBlockPoolImpl *xrBlockPool;

struct xrState;

// The host's record of the shader being called. Word 24 (byte 96) is the byte
// offset from the parameter block to its connection block (0: no connections).
struct xrShaderRecord {
    int32_t hostWords[24];
    int32_t connectionOffset;  // word 24
    int32_t pad0;
    void *hostData;  // host-owned: the instance this record belongs to
};
static_assert(offsetof(xrShaderRecord, connectionOffset) == 96);

struct xrCamera {
    int32_t isOrthographic;   // 0
    float focalLength;        // 4
    float apertureWidth;      // 8
    float pixelAspect;        // 12
    float nearClip;           // 16
    float farClip;            // 20
    int32_t imageWidth;       // 24
    int32_t imageHeight;      // 28
    int32_t windowXmin;       // 32: render window, inclusive pixel bounds
    int32_t windowYmin;       // 36   (raster y up)
    int32_t windowXmax;       // 40
    int32_t windowYmax;       // 44
    xrTag cameraVolumeShader; // 48
    xrTag cameraEnvShader;    // 52
    uint8_t pad56[12];        // 56
    float frameValue;         // 68
    uint8_t pad72[12];        // 72
    xrTag cameraDataTag;      // 84
    uint8_t pad88[40];        // 88: host use
};
static_assert(offsetof(xrCamera, focalLength) == 4);
static_assert(offsetof(xrCamera, apertureWidth) == 8);
static_assert(offsetof(xrCamera, pixelAspect) == 12);
static_assert(offsetof(xrCamera, nearClip) == 16);
static_assert(offsetof(xrCamera, farClip) == 20);
static_assert(offsetof(xrCamera, imageWidth) == 24);
static_assert(offsetof(xrCamera, imageHeight) == 28);
static_assert(offsetof(xrCamera, windowXmin) == 32);
static_assert(offsetof(xrCamera, windowYmax) == 44);
static_assert(offsetof(xrCamera, cameraVolumeShader) == 48);
static_assert(offsetof(xrCamera, cameraEnvShader) == 52);
static_assert(offsetof(xrCamera, frameValue) == 68);
static_assert(offsetof(xrCamera, cameraDataTag) == 84);

struct xrOptions {
    int32_t traceEnabled;        // 0
    int32_t modeCode;            // 4
    int32_t motionBlurOn;        // 8
    uint8_t pad12[8];            // 12
    int32_t maxReflectionDepth;  // 20
    int32_t maxRefractionDepth;  // 24
    int32_t maxTraceDepth;       // 28
    uint8_t pad32[48];           // 32
    int32_t photonVolumeWord1;   // 80
    int32_t photonVolumeWord2;   // 84
    uint8_t pad88[32];           // 88
    float shutterClose;          // 120
    uint8_t pad124[20];          // 124
    float shutterOpen;           // 144
    uint8_t pad148[204];         // 148
    uint8_t shadowMapsOn;        // 352
    uint8_t pad353[2];           // 353
    uint8_t shadowModeChar;      // 355
    uint8_t pad356[190];         // 356
    uint8_t autoVolume;          // 546
    uint8_t pad547[17];          // 547
    xrTag optionsDataTag;        // 564
    uint8_t pad568[96];          // 568
    int32_t finalGatherOn;       // 664
    int32_t finalGatherRays;     // 668
    uint8_t finalGatherMore[56]; // 672: further final-gather settings
};
static_assert(offsetof(xrOptions, modeCode) == 4);
static_assert(offsetof(xrOptions, motionBlurOn) == 8);
static_assert(offsetof(xrOptions, maxReflectionDepth) == 20);
static_assert(offsetof(xrOptions, maxRefractionDepth) == 24);
static_assert(offsetof(xrOptions, maxTraceDepth) == 28);
static_assert(offsetof(xrOptions, photonVolumeWord1) == 80);
static_assert(offsetof(xrOptions, photonVolumeWord2) == 84);
static_assert(offsetof(xrOptions, shutterClose) == 120);
static_assert(offsetof(xrOptions, shutterOpen) == 144);
static_assert(offsetof(xrOptions, shadowMapsOn) == 352);
static_assert(offsetof(xrOptions, shadowModeChar) == 355);
static_assert(offsetof(xrOptions, autoVolume) == 546);
static_assert(offsetof(xrOptions, optionsDataTag) == 564);
static_assert(offsetof(xrOptions, finalGatherOn) == 664);
static_assert(offsetof(xrOptions, finalGatherRays) == 668);

// Ray kinds the library tells apart.
enum {
    xrRAY_EYE = 0,
    xrRAY_SHADOW = 5,
};

struct xrState {
    int32_t hostWord0;             // 0
    xrTag cameraInstanceTag;       // 4
    xrCamera *cameraRecord;        // 8
    xrOptions *optionsRecord;      // 16
    xrLock libraryLock;            // 24
    uint8_t pad32[16];             // 32
    float samplePosX;              // 48
    float samplePosY;              // 52
    xrState *spawningState;        // 56
    int32_t rayKind;               // 64
    uint8_t pad68;                 // 68
    uint8_t modeFlag;              // 69
    uint8_t normalFlipped;         // 70
    uint8_t pad71;                 // 71
    uint8_t pad72[16];             // 72
    int32_t reflectDepth;          // 88
    int32_t refractDepth;          // 92
    xrVector rayOrigin;            // 96
    xrVector rayDirection;         // 108
    double hitDistance;            // 120
    float sampleTime;              // 128
    float currentIor;              // 132
    float currentIorIn;            // 136: host use (ior of the medium being left)
    int32_t stateWord140;          // 140
    uint8_t pad144[4];             // 144
    xrTag environmentShader;       // 148
    xrTag volumeShader;            // 152: host use
    xrTag objectLabel;             // 156
    xrTag instanceTag;             // 160
    xrTag lightInstanceTag;        // 164
    void *hitRef;                  // 168
    uint8_t pad176[4];             // 176
    float baryWeights[3];          // 180
    uint8_t pad192[4];             // 192
    xrVector hitPoint;             // 196
    xrVector shadingNormal;        // 208
    xrVector geometricNormal;      // 220
    float cosView;                 // 232
    uint8_t pad236[12];            // 236
    xrVector *texCoords;           // 248
    xrVector *derivU;              // 256
    xrVector *derivV;              // 264
    xrVector motionVector;         // 272
    uint8_t pad284[4];             // 284
    void *hairData;                // 288
    uint8_t pad296[16];            // 296
    xrShaderRecord *shaderRecord;  // 312
    xrState *childState;           // 320
    uint16_t threadIndex;          // 328
    uint16_t lightSampleIndex;     // 330
    uint8_t pad332[4];             // 332
    void *hostContext;             // 336: host use (per-ray host data)
};
static_assert(offsetof(xrState, cameraInstanceTag) == 4);
static_assert(offsetof(xrState, cameraRecord) == 8);
static_assert(offsetof(xrState, optionsRecord) == 16);
static_assert(offsetof(xrState, libraryLock) == 24);
static_assert(offsetof(xrState, samplePosX) == 48);
static_assert(offsetof(xrState, samplePosY) == 52);
static_assert(offsetof(xrState, spawningState) == 56);
static_assert(offsetof(xrState, rayKind) == 64);
static_assert(offsetof(xrState, modeFlag) == 69);
static_assert(offsetof(xrState, normalFlipped) == 70);
static_assert(offsetof(xrState, reflectDepth) == 88);
static_assert(offsetof(xrState, refractDepth) == 92);
static_assert(offsetof(xrState, rayOrigin) == 96);
static_assert(offsetof(xrState, rayDirection) == 108);
static_assert(offsetof(xrState, hitDistance) == 120);
static_assert(offsetof(xrState, sampleTime) == 128);
static_assert(offsetof(xrState, currentIor) == 132);
static_assert(offsetof(xrState, stateWord140) == 140);
static_assert(offsetof(xrState, environmentShader) == 148);
static_assert(offsetof(xrState, objectLabel) == 156);
static_assert(offsetof(xrState, instanceTag) == 160);
static_assert(offsetof(xrState, lightInstanceTag) == 164);
static_assert(offsetof(xrState, hitRef) == 168);
static_assert(offsetof(xrState, baryWeights) == 180);
static_assert(offsetof(xrState, hitPoint) == 196);
static_assert(offsetof(xrState, shadingNormal) == 208);
static_assert(offsetof(xrState, geometricNormal) == 220);
static_assert(offsetof(xrState, cosView) == 232);
static_assert(offsetof(xrState, texCoords) == 248);
static_assert(offsetof(xrState, derivU) == 256);
static_assert(offsetof(xrState, derivV) == 264);
static_assert(offsetof(xrState, motionVector) == 272);
static_assert(offsetof(xrState, hairData) == 288);
static_assert(offsetof(xrState, shaderRecord) == 312);
static_assert(offsetof(xrState, childState) == 320);
static_assert(offsetof(xrState, threadIndex) == 328);
static_assert(offsetof(xrState, lightSampleIndex) == 330);

// Database element type codes.
enum {
    xrDB_OBJECT = 7,
    xrDB_INSTANCE = 10,
    xrDB_IMAGE = 13,
    xrDB_USERDATA = 34,
};

// Settings of the host's elliptical texture filter
// (xr_lookup_filter_color_texture).
struct xrTextureFilter {
    xrInteger maxAnisotropy;  // longest footprint axis over the shortest (<= 0: 16)
    xrScalar width;           // footprint scale (<= 0: 1)
    xrScalar blur;            // extra width in uv
    xrScalar bias;            // footprint scaled by 2^bias
    xrScalar transform[4];    // footprint: du/dx, dv/dx, du/dy, dv/dy
};
static_assert(sizeof(xrTextureFilter) == 32);

// An object being defined (xr_api_object_begin ... xr_api_object_end): the
// host's object element. Bytes 16 to 23 are the host's ray-participation
// flags (the host sets its defaults when the definition begins); word 12 is
// the first user-data element of the object.
struct xrObjectRecord {
    int32_t hostWords[4];  // 0
    uint8_t flags[8];      // 16
    int32_t hostWords6[6]; // 24
    xrTag userData;        // 48: word 12
    int32_t hostWords13[51];
};
static_assert(offsetof(xrObjectRecord, flags) == 16);
static_assert(offsetof(xrObjectRecord, userData) == 48);
static_assert(sizeof(xrObjectRecord) == 256);

// An object instance's database element (type xrDB_INSTANCE) as far as
// shaders read it: its transforms, row-major (row vectors, translation in
// 12..14), and its motion over one unit of shutter time in its own space:
// a point p of the object at time 0 moves in a straight line to p * motion
// at time 1. `motion` is the identity for an instance that stands still.
struct xrInstanceRecord {
    int32_t hostWords[4];  // 0
    float toWorld[16];     // 16: object to internal space
    float fromWorld[16];   // 80
    float motion[16];      // 144
    int32_t hostWords52[12];  // 208
};
static_assert(offsetof(xrInstanceRecord, toWorld) == 16);
static_assert(offsetof(xrInstanceRecord, fromWorld) == 80);
static_assert(offsetof(xrInstanceRecord, motion) == 144);
static_assert(sizeof(xrInstanceRecord) == 256);

// Polygon kinds of xr_api_poly_begin_tag.
enum { xrPOLY_CONVEX = 1 };

// The mesh of a baking shader's mesh call (rayKind 22), passed as its result
// argument: the object's triangles (three vertex indices and the primitive
// each) and the records its vertex calls (rayKind 21) returned. A host that
// shares the bake among threads makes one mesh call per thread; each renders
// the 16 x 16 pixel tiles t with t % tileStep == tileFirst. Such a host
// makes the calls in phases, each on every thread and finished on all of
// them before the next: phase 1 the final-gather prebake (its tiles shared
// the same way; with final gathering on), so that every pixel sees every
// prebaked point whichever thread shades it; phase 2 the render; phase 3
// (one call) the post-filter, which reads pixels of every tile. Phase 0
// does all in one call; with tileStep > 1 it skips the filter, and pixels
// may then be shaded before other threads have stored their prebaked points.
struct xrBakeMesh {
    xrInteger triangleCount;     // 0
    xrInteger vertexCount;       // 4
    const xrInteger *triangles;  // 8: 4 per triangle
    const float *vertices;       // 16: vertexFloats per vertex
    xrInteger vertexFloats;      // 24
    xrInteger tileFirst;         // 28
    xrInteger tileStep;          // 32: <= 1 every tile
    xrInteger phase;             // 36: 0 all, 1 prebake, 2 render, 3 post-filter
};
static_assert(offsetof(xrBakeMesh, triangles) == 8);
static_assert(offsetof(xrBakeMesh, vertexFloats) == 24);
static_assert(sizeof(xrBakeMesh) == 40);

// The tessellated surface of an object instance in internal space, as query
// 116 gives it (tag: the instance, 0 for the one hit). The arrays stay valid
// while the scene renders.
struct xrSurfaceView {
    const xrVector *positions;  // 0: per vertex
    const xrVector *normals;    // 8: per vertex, unit
    const uint32_t *triangles;  // 16: three vertex indices per triangle
    xrInteger vertexCount;      // 24
    xrInteger triangleCount;    // 28
};
static_assert(offsetof(xrSurfaceView, triangles) == 16);
static_assert(sizeof(xrSurfaceView) == 32);

// The texture coordinates of that surface (query 117, tag as for 116): the
// caller sets `space`; the host gives one coordinate per vertex of the
// surface, valid as long as it. False when the surface has no such space.
struct xrSurfaceUv {
    xrInteger space;         // 0
    xrInteger count;         // 4
    const xrVector *coords;  // 8
};
static_assert(offsetof(xrSurfaceUv, coords) == 8);
static_assert(sizeof(xrSurfaceUv) == 16);

// Shader kind passed to xr_call_shader_x for a plain shader call.
enum { xrSHADER_CALL = 12, xrSHADER_STATE = 15 };

// Host operations. The host exports these by name; the library reaches them
// through lazily bound forwarders of the same names.
#define XR_HOST_FUNCTIONS_DECLARED 1
#define XR_FN(ret, name, params, args) ret name params;
#define XR_VFN(name, params, args) void name params;
#include "xr_functions.def"
#undef XR_FN
#undef XR_VFN

void xr_fatal(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void xr_error(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void xr_warning(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void xr_info(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void xr_progress(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void xr_debug(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void xr_nfatal(int32_t number, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void xr_nerror(int32_t number, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void xr_nwarning(int32_t number, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

}  // extern "C"
