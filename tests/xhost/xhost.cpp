// xhost: a small standalone host for checking the built library on each
// platform (Linux natively, Windows under Wine) without the reference
// renderer. It exports the host operations the checked nodes need from its
// own executable, loads the library, hands it this module's handle, runs a
// table of node calls on parameter blocks it lays out itself, and writes the
// results to a text file. Given an expected file, it compares: lines marked
// '=' must match exactly (bit-identical floats), lines marked '~' within
// 1e-6 (relative above 1), for results that pass through the maths
// library's transcendental functions.
//
//   xhost LIBRARY ALT_MODULE OUTPUT [EXPECTED]
//
// ALT_MODULE is a second module exporting only xr_warning, used to check
// that a new module handle re-binds the host operations.
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "xr.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <io.h>
#include <windows.h>
#define XH_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#include <unistd.h>
#define XH_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {

// ---------------------------------------------------------------------------
// Platform: module loading, symbol lookup, the error code of a failed lookup
// and stderr redirection.
void *openModule(const char *path) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(LoadLibraryA(path));
#else
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
}

void *moduleSymbol(void *module, const char *name) {
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(module), name));
#else
    return dlsym(module, name);
#endif
}

void *selfHandle() {
#if defined(_WIN32)
    return reinterpret_cast<void *>(GetModuleHandleA(nullptr));
#else
    return dlopen(nullptr, RTLD_NOW);
#endif
}

// The code the library reports for a symbol the module does not export.
int missingSymbolError() {
#if defined(_WIN32)
    return ERROR_PROC_NOT_FOUND;
#else
    return ENOENT;
#endif
}

// Captures what is written to the process's stderr (fd 2) between start()
// and finish().
class StderrCapture {
public:
    explicit StderrCapture(std::string path) : path_(std::move(path)) {}
    void start() {
        fflush(stderr);
        saved_ = dup(2);
        FILE *f = fopen(path_.c_str(), "wb");
        dup2(fileno(f), 2);
        fclose(f);
    }
    std::string finish() {
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        std::ifstream in(path_, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::string text = ss.str();
        // Text-mode stderr on Windows writes CRLF line ends.
        std::string out;
        for (char c : text)
            if (c != '\r') out += c;
        return out;
    }

private:
    std::string path_;
    int saved_ = -1;
};

// ---------------------------------------------------------------------------
// Nodes: a shader with its parameter block (followed by its connection block
// of the same size) and its result record.
using ShaderFn = xrBoolean (*)(void *, xrState *, void *);
using StateShaderFn = xrBoolean (*)(void *, xrState *, void *, void *);  // veko_state
using InitFn = void (*)(xrState *, void *, xrBoolean *);
using ExitFn = void (*)(xrState *, void *);

struct Node;
struct Connection {
    Node *source;
    int resultWord;
};

struct Node {
    std::string shader;
    int words = 0;
    std::vector<int32_t> block;  // parameters, then connection words
    std::vector<float> result = std::vector<float>(64, 0.0f);
    std::vector<Connection> connections;
    xrShaderRecord record{};
    void *userPointer = nullptr;
    int kind = xrSHADER_CALL;
    void *fn = nullptr;
    InitFn init = nullptr;
    ExitFn exit = nullptr;

    void set(int w, float v) { std::memcpy(&block[w], &v, 4); }
    void seti(int w, int32_t v) { block[w] = v; }
    void setv(int w, float x, float y, float z) { set(w, x), set(w + 1, y), set(w + 2, z); }
    void setc(int w, float r, float g, float b, float a) { setv(w, r, g, b), set(w + 3, a); }
    void connect(int w, Node *source, int resultWord) {
        connections.push_back({source, resultWord});
        block[words + w] = static_cast<int32_t>(connections.size());
    }
    void *params() { return block.data(); }
};

void *g_library = nullptr;

Node makeNode(const char *shader, int words) {
    Node n;
    n.shader = shader;
    n.words = words;
    n.block.assign(2 * static_cast<size_t>(words), 0);
    n.record.connectionOffset = words * 4;
    n.fn = moduleSymbol(g_library, shader);
    n.init = reinterpret_cast<InitFn>(moduleSymbol(g_library, (std::string(shader) + "_init").c_str()));
    n.exit = reinterpret_cast<ExitFn>(moduleSymbol(g_library, (std::string(shader) + "_exit").c_str()));
    if (!n.fn) {
        fprintf(stdout, "xhost: %s not exported by the library\n", shader);
        std::exit(1);
    }
    return n;
}

// Runs a shader with its own record in place; the caller's record is
// restored afterwards.
xrBoolean callNode(Node &n, xrState *state, void *result, void *arg = nullptr) {
    if (n.record.hostData != &n) n.record.hostData = &n;  // set once: threads only read it
    xrShaderRecord *saved = state->shaderRecord;
    state->shaderRecord = &n.record;
    // The state shader takes a fourth argument (its opcode record).
    const xrBoolean ok = arg ? reinterpret_cast<StateShaderFn>(n.fn)(result, state, n.params(), arg)
                             : reinterpret_cast<ShaderFn>(n.fn)(result, state, n.params());
    state->shaderRecord = saved;
    return ok;
}

void initNode(Node &n, xrState *state) {
    if (!n.init) return;
    n.record.hostData = &n;
    xrShaderRecord *saved = state->shaderRecord;
    state->shaderRecord = &n.record;
    xrBoolean again = 0;
    n.init(state, nullptr, &again);
    if (again) n.init(state, n.params(), nullptr);
    state->shaderRecord = saved;
}

void exitNode(Node &n, xrState *state) {
    if (!n.exit) return;
    n.record.hostData = &n;
    xrShaderRecord *saved = state->shaderRecord;
    state->shaderRecord = &n.record;
    n.exit(state, n.params());
    n.exit(state, nullptr);
    state->shaderRecord = saved;
}

Node *currentNode(xrState *state) {
    return state && state->shaderRecord ? static_cast<Node *>(state->shaderRecord->hostData) : nullptr;
}

// ---------------------------------------------------------------------------
// Host data: messages, per-ray shader state, the one light of the scene.
struct Message {
    std::string severity, text;
};
std::vector<Message> g_messages;
std::mutex g_messageLock;

void addMessage(const char *severity, const char *fmt, va_list ap) {
    char buf[2048];
    vsnprintf(buf, sizeof buf, fmt, ap);
    std::lock_guard<std::mutex> lock(g_messageLock);
    g_messages.push_back({severity, buf});
}

// Shader state lives with the primary ray: child states share it.
std::map<const xrState *, std::map<std::string, std::vector<char>>> g_shaderState;
const xrState *rootState(const xrState *s) {
    while (s->spawningState) s = s->spawningState;
    return s;
}

struct Light {
    Node *node = nullptr;
    xrTag tag = 0;
    xrVector position{};
};
Light g_light;
xrTag g_lightList[1];

struct Pool {
    size_t size;
    std::set<void *> blocks;
};

// Row-vector convention: p' = p * M, translation in m[12..14].
void transformPoint(xrVector *out, const xrVector *in, const float *m) {
    const xrVector p = *in;
    float x = p.x * m[0] + p.y * m[4] + p.z * m[8] + m[12];
    float y = p.x * m[1] + p.y * m[5] + p.z * m[9] + m[13];
    float z = p.x * m[2] + p.y * m[6] + p.z * m[10] + m[14];
    const float w = p.x * m[3] + p.y * m[7] + p.z * m[11] + m[15];
    if (w != 0.0f && w != 1.0f) x /= w, y /= w, z /= w;
    *out = {x, y, z};
}

}  // namespace

// ---------------------------------------------------------------------------
// Host operations exported from this executable. xr_lightprofile_sample is
// deliberately absent: the binding check asks the library for it.
XH_EXPORT void xr_warning(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    addMessage("warning", fmt, ap);
    va_end(ap);
}
XH_EXPORT void xr_info(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    addMessage("info", fmt, ap);
    va_end(ap);
}
XH_EXPORT void xr_error(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    addMessage("error", fmt, ap);
    va_end(ap);
}

XH_EXPORT xrBoolean xr_query(xrInteger code, xrState *state, xrTag, void *result) {
    Node *n = currentNode(state);
    switch (code) {
    case 51:  // address of the current instance's user pointer
        if (!n) return 0;
        *static_cast<void ***>(result) = &n->userPointer;
        return 1;
    case 140:  // kind of the shader being called
        if (!n) return 0;
        *static_cast<xrInteger *>(result) = n->kind;
        return 1;
    default:  // nothing else is known about this scene
        return 0;
    }
}

XH_EXPORT void *xr_phen_eval(xrState *state, void *param) {
    Node *n = currentNode(state);
    if (!n) return param;
    const ptrdiff_t word = (static_cast<char *>(param) - static_cast<char *>(n->params())) / 4;
    if (word < 0 || word >= n->words || n->block[n->words + word] == 0) return param;
    Connection &c = n->connections[n->block[n->words + word] - 1];
    callNode(*c.source, state, c.source->result.data());
    return &c.source->result[c.resultWord];
}

XH_EXPORT void *xr_shaderstate_get(xrState *state, const char *key, xrInteger *size) {
    auto &items = g_shaderState[rootState(state)];
    auto it = items.find(key);
    if (it == items.end()) return nullptr;
    if (size) *size = static_cast<xrInteger>(it->second.size());
    return it->second.data();
}

XH_EXPORT xrBoolean xr_shaderstate_set(xrState *state, const char *key, const void *data, xrInteger size,
                                       xrInteger) {
    auto &items = g_shaderState[rootState(state)];
    if (!data) {
        items.erase(key);
        return 1;
    }
    auto &v = items[key];
    v.assign(static_cast<const char *>(data), static_cast<const char *>(data) + size);
    return 1;
}

XH_EXPORT void *xr_mem_int_allocate(const char *, xrInteger, size_t size) { return calloc(1, size ? size : 1); }
XH_EXPORT void *xr_mem_int_reallocate(const char *, xrInteger, void *mem, size_t size) {
    return realloc(mem, size);
}
XH_EXPORT void xr_mem_int_release(const char *, xrInteger, void *mem) { free(mem); }

XH_EXPORT xrBlockPool xr_mem_int_blkcreate(xrInteger size) {
    return reinterpret_cast<xrBlockPool>(new Pool{static_cast<size_t>(size), {}});
}
XH_EXPORT void *xr_mem_blkfallocate(xrBlockPool pool) {
    auto *p = reinterpret_cast<Pool *>(pool);
    void *b = calloc(1, p->size);
    p->blocks.insert(b);
    return b;
}
XH_EXPORT void xr_mem_blkfrelease(xrBlockPool pool, void *block) {
    reinterpret_cast<Pool *>(pool)->blocks.erase(block);
    free(block);
}
XH_EXPORT void xr_mem_blkdelete(xrBlockPool pool) {
    auto *p = reinterpret_cast<Pool *>(pool);
    for (void *b : p->blocks) free(b);
    delete p;
}

XH_EXPORT void xr_init_lock(xrLock *lock) { *lock = reinterpret_cast<xrLock>(new std::mutex); }
XH_EXPORT void xr_delete_lock(xrLock *lock) {
    delete reinterpret_cast<std::mutex *>(*lock);
    *lock = nullptr;
}
XH_EXPORT void xr_lock(xrLock lock) { reinterpret_cast<std::mutex *>(lock)->lock(); }
XH_EXPORT void xr_unlock(xrLock lock) { reinterpret_cast<std::mutex *>(lock)->unlock(); }

XH_EXPORT void xr_point_transform(xrVector *out, const xrVector *in, const float *m) { transformPoint(out, in, m); }
XH_EXPORT void xr_vector_transform(xrVector *out, const xrVector *in, const float *m) {
    const xrVector v = *in;
    *out = {v.x * m[0] + v.y * m[4] + v.z * m[8], v.x * m[1] + v.y * m[5] + v.z * m[9],
            v.x * m[2] + v.y * m[6] + v.z * m[10]};
}

// Gauss-Jordan elimination with partial pivoting in double precision.
XH_EXPORT xrBoolean xr_matrix_invert(float *out, const float *in) {
    double a[4][8];
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 8; ++c) a[r][c] = c < 4 ? in[4 * r + c] : (c - 4 == r ? 1.0 : 0.0);
    for (int c = 0; c < 4; ++c) {
        int pivot = c;
        for (int r = c + 1; r < 4; ++r)
            if (std::fabs(a[r][c]) > std::fabs(a[pivot][c])) pivot = r;
        if (std::fabs(a[pivot][c]) < 1e-12) return 0;
        for (int k = 0; k < 8; ++k) std::swap(a[pivot][k], a[c][k]);
        const double d = a[c][c];
        for (int k = 0; k < 8; ++k) a[c][k] /= d;
        for (int r = 0; r < 4; ++r) {
            if (r == c) continue;
            const double f = a[r][c];
            for (int k = 0; k < 8; ++k) a[r][k] -= f * a[c][k];
        }
    }
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) out[4 * r + c] = static_cast<float>(a[r][c + 4]);
    return 1;
}

// Object, world and camera spaces coincide in this host; the light space is
// the world translated to the light's position.
#define XH_IDENTITY(name) \
    XH_EXPORT void name(xrState *, xrVector *out, const xrVector *in) { *out = *in; }
XH_IDENTITY(xr_point_to_world)
XH_IDENTITY(xr_point_from_world)
XH_IDENTITY(xr_point_to_object)
XH_IDENTITY(xr_point_from_object)
XH_IDENTITY(xr_point_to_camera)
XH_IDENTITY(xr_point_from_camera)
XH_IDENTITY(xr_vector_to_world)
XH_IDENTITY(xr_vector_from_world)
XH_IDENTITY(xr_vector_to_camera)
XH_IDENTITY(xr_vector_to_light)
XH_IDENTITY(xr_vector_from_light)
#undef XH_IDENTITY
XH_EXPORT void xr_point_to_light(xrState *, xrVector *out, const xrVector *in) {
    *out = {in->x - g_light.position.x, in->y - g_light.position.y, in->z - g_light.position.z};
}
XH_EXPORT void xr_point_from_light(xrState *, xrVector *out, const xrVector *in) {
    *out = {in->x + g_light.position.x, in->y + g_light.position.y, in->z + g_light.position.z};
}

XH_EXPORT void xr_instance_lightlist(xrInteger *count, xrTag **lights, xrState *) {
    *count = g_light.node ? 1 : 0;
    g_lightList[0] = g_light.tag;
    *lights = g_lightList;
}

// One sample of a point light: the light shader runs on a child state that
// holds the light position, the direction towards the point and its
// distance; a light behind the surface gives nothing.
XH_EXPORT xrBoolean xr_sample_light(xrColor *color, xrVector *direction, float *cosine, xrState *state, xrTag light,
                                    xrInteger *samples) {
    if (!g_light.node || light != g_light.tag) return 0;
    xrInteger local = 0;
    xrInteger &taken = samples ? *samples : local;
    if (taken >= 1) return 0;
    ++taken;
    const xrVector p = state->hitPoint, o = g_light.position;
    xrVector d{p.x - o.x, p.y - o.y, p.z - o.z};
    const double dist = std::sqrt(double(d.x) * d.x + double(d.y) * d.y + double(d.z) * d.z);
    d = {float(d.x / dist), float(d.y / dist), float(d.z / dist)};
    const xrVector n = state->shadingNormal;
    const float cs = -(d.x * n.x + d.y * n.y + d.z * n.z);
    if (!(cs > 0.0f)) return 0;
    xrState child = *state;
    child.spawningState = state;
    child.rayKind = 4;
    child.rayOrigin = o;
    child.rayDirection = d;
    child.hitDistance = dist;
    child.cosView = cs;
    child.lightInstanceTag = light;
    child.childState = nullptr;
    xrColor c{0, 0, 0, 0};
    if (!callNode(*g_light.node, &child, &c)) return 0;
    *color = c;
    if (direction) *direction = {-child.rayDirection.x, -child.rayDirection.y, -child.rayDirection.z};
    if (cosine) *cosine = child.cosView;
    return 1;
}

// The scene has no database elements (no user data) and no irradiance
// cache.
XH_EXPORT void *xr_db_access(xrTag) { return nullptr; }
XH_EXPORT void *xr_db_access_type(xrInteger *, xrTag) { return nullptr; }
XH_EXPORT void xr_db_unpin(xrTag) {}
XH_EXPORT xrBoolean xr_compute_avg_radiance(xrColor *, xrState *, xrInteger, void *) { return 0; }

// Nothing in this scene casts shadows: the filter passes unchanged.
XH_EXPORT xrBoolean xr_trace_shadow(xrColor *, xrState *) { return 1; }

namespace {

// ---------------------------------------------------------------------------
// Output.
std::vector<std::string> g_lines;

std::string num(float v) {
    if (std::isnan(v)) return "nan";  // the sign of a NaN is not portable text
    char b[32];
    snprintf(b, sizeof b, "%.9g", double(v));
    return b;
}

// exact: '=' (bit-identical on every platform) or '~' (within tolerance).
void emit(const std::string &label, bool exact, const float *v, int count, xrBoolean ok) {
    std::string line = label + (exact ? " = " : " ~ ") + "ret " + std::to_string(ok);
    for (int i = 0; i < count; ++i) line += " " + num(v[i]);
    g_lines.push_back(line);
}

void emitMessages() {
    for (const Message &m : g_messages) g_lines.push_back("  " + m.severity + ": " + m.text);
    g_messages.clear();
}

void check(const std::string &name, bool ok, const std::string &detail = "") {
    g_lines.push_back("check " + name + (ok ? " ok" : " FAILED: " + detail));
}

// ---------------------------------------------------------------------------
// The scene: one state for the current sample, camera and options records.
struct Scene {
    xrCamera camera{};
    xrOptions options{};
    xrVector texCoords[2]{};
    xrState state{};
    Node stateShader = makeNode("veko_state", 4);
    xrLock lock = nullptr;

    Scene() {
        camera.focalLength = 35.0f;
        camera.apertureWidth = 36.0f;
        camera.pixelAspect = 1.0f;
        camera.nearClip = 0.1f;
        camera.farClip = 1000.0f;
        camera.imageWidth = 320;
        camera.imageHeight = 240;
        stateShader.kind = xrSHADER_STATE;
        xr_init_lock(&lock);
        reset();
    }
    ~Scene() { xr_delete_lock(&lock); }

    void reset() {
        state = xrState{};
        state.cameraRecord = &camera;
        state.optionsRecord = &options;
        state.libraryLock = lock;
        state.cameraInstanceTag = 2;
    }

    // A new eye ray (record created and filled from the template) hitting
    // the plane z = 0 at (x, y) from above, uv = (u, v).
    void eyeHit(float x, float y, float u, float v) {
        reset();
        state.rayKind = xrRAY_EYE;
        int32_t op[2] = {0, 0};
        callNode(stateShader, &state, nullptr, op);
        op[0] = 2;
        xrColor c{};
        callNode(stateShader, &state, &c, op);
        state.instanceTag = 100;
        state.rayOrigin = {x, y, 5.0f};
        state.rayDirection = {0.0f, 0.0f, -1.0f};
        state.hitDistance = 5.0;
        state.hitPoint = {x, y, 0.0f};
        state.shadingNormal = {0.0f, 0.0f, 1.0f};
        state.geometricNormal = {0.0f, 0.0f, 1.0f};
        state.cosView = 1.0f;
        texCoords[0] = {u, v, 0.0f};
        state.texCoords = texCoords;
    }
    void endRay() {
        int32_t op[2] = {1, 0};
        callNode(stateShader, &state, nullptr, op);
        g_shaderState.erase(&state);
    }
    const int32_t *record() {
        return static_cast<const int32_t *>(xr_shaderstate_get(&state, "vekobase", nullptr));
    }
};

// ---------------------------------------------------------------------------
// The node table.
void runNodes(Scene &sc) {
    xrState *st = &sc.state;
    float out[64];

    // State shader: banner and template at init, the record of a new eye ray.
    initNode(sc.stateShader, st);
    emitMessages();
    sc.eyeHit(0.0f, 0.0f, 0.5f, 0.5f);
    {
        const int32_t *rec = sc.record();
        float f[17];
        std::memcpy(f, rec, sizeof f);
        const float ints[4] = {float(rec[0]), float(rec[1]), float(rec[2]), float(rec[4])};
        emit("state.record.modes", true, ints, 4, rec != nullptr);
        emit("state.record.filter", true, &f[3], 1, 1);
        // Filter size and pixel grid come from atan and the camera inverse.
        emit("state.record.pixelgrid", false, &f[10], 7, 1);
        float w[4];
        std::memcpy(w, rec + 88, sizeof w);
        emit("state.record.rayweight", true, w, 4, 1);
        float fp[3];
        std::memcpy(fp, rec + 75, sizeof fp);
        emit("state.record.footprint", true, fp, 3, 1);
    }
    sc.endRay();

    // Arithmetic: multiply, divide, power (the maths library's pow).
    {
        Node n = makeNode("veko_multdiv", 7);
        n.setv(1, 1.5f, 2.0f, 0.1f);
        n.setv(4, 3.0f, 0.5f, 7.0f);
        const struct {
            int op;
            bool exact;
        } rows[] = {{1, true}, {2, true}, {3, false}};
        for (auto r : rows) {
            n.seti(0, r.op);
            std::memset(out, 0, sizeof out);
            emit("multdiv.op" + std::to_string(r.op), r.exact, out, 3, callNode(n, st, out));
        }
        n.seti(0, 7);
        emit("multdiv.invalid", true, out, 0, callNode(n, st, out));
        emitMessages();
    }
    {
        Node n = makeNode("veko_clamp", 12);
        n.setc(0, -0.5f, 0.25f, 2.0f, 0.75f);
        n.setc(4, 0.0f, 0.0f, 0.0f, 0.8f);
        n.setc(8, 1.0f, 1.0f, 1.0f, 0.5f);  // alpha: min above max passes unchanged
        emit("clamp", true, out, 4, callNode(n, st, out));
    }
    {
        Node n = makeNode("veko_condition", 11);
        n.set(1, 2.0f);
        n.set(2, 1.0f);
        n.setc(3, 1.0f, 0.0f, 0.0f, 1.0f);
        n.setc(7, 0.0f, 0.0f, 1.0f, 1.0f);
        for (int op : {0, 2, 5}) {
            n.seti(0, op);
            emit("condition.op" + std::to_string(op), true, out, 4, callNode(n, st, out));
        }
    }

    // Switches: the instance's own value (scan) and a twelve-entry quad
    // switch that builds its sorted table at init.
    sc.eyeHit(0.0f, 0.0f, 0.5f, 0.5f);
    {
        Node n = makeNode("veko_singleswitch", 1 + 2 + 2 * 2);
        n.set(0, -1.0f);
        n.seti(1, 0);
        n.seti(2, 2);
        n.seti(3, 99), n.set(4, 0.25f);
        n.seti(5, 100), n.set(6, 0.75f);
        initNode(n, st);
        emit("singleswitch.hit", true, out, 1, callNode(n, st, out));
        st->instanceTag = 7;
        emit("singleswitch.default", true, out, 1, callNode(n, st, out));
        st->instanceTag = 100;
        exitNode(n, st);
    }
    {
        const int entries = 12;
        Node n = makeNode("veko_quadswitch", 4 + 2 + 5 * entries);
        n.setc(0, 0.1f, 0.2f, 0.3f, 0.4f);
        n.seti(4, 0);
        n.seti(5, entries);
        for (int k = 0; k < entries; ++k) {
            const int w = 6 + 5 * k;
            n.seti(w, 200 - 10 * k);  // tags in falling order: the table sorts them
            n.setc(w + 1, float(k), 0.5f * k, 1.0f, 1.0f);
        }
        initNode(n, st);
        for (xrTag tag : {190u, 90u, 5u}) {
            st->instanceTag = tag;
            emit("quadswitch.tag" + std::to_string(tag), true, out, 4, callNode(n, st, out));
        }
        st->instanceTag = 100;
        exitNode(n, st);
        check("quadswitch.table-released", n.userPointer == nullptr);
    }

    // 2D placement, and the checker and noise textures fed by it.
    Node place = makeNode("veko_place2dtex", 28);
    place.setv(6, 1.0f, 1.0f, 0.0f);
    place.seti(16, 1), place.seti(17, 1);
    place.setv(18, 2.0f, 3.0f, 0.0f);
    place.setv(21, 0.25f, 0.0f, 0.0f);
    {
        const float uvs[][2] = {{0.3f, 0.7f}, {0.9f, 0.1f}};
        for (auto &uv : uvs) {
            sc.eyeHit(0.0f, 0.0f, uv[0], uv[1]);
            emit("place2dtex.uv " + num(uv[0]) + "," + num(uv[1]), true, out, 6, callNode(place, st, out));
        }
        place.set(24, 0.5f);  // rotateUV: sin and cos
        sc.eyeHit(0.0f, 0.0f, 0.3f, 0.7f);
        emit("place2dtex.rotated", false, out, 6, callNode(place, st, out));
        place.set(24, 0.0f);
    }
    {
        Node n = makeNode("veko_checker", 33);
        n.set(0, 1.0f);
        n.setc(1, 1.0f, 0.9f, 0.8f, 1.0f);
        n.setc(5, 0.1f, 0.2f, 0.3f, 1.0f);
        n.connect(9, &place, 0);   // uvCoord <- outUV
        n.connect(12, &place, 3);  // uvFilterSize <- outUvFilterSize
        n.set(15, 1.0f);                      // filter
        n.setc(19, 1.0f, 1.0f, 1.0f, 1.0f);   // colorGain
        n.set(27, 1.0f);                      // alphaGain
        n.setc(29, 0.5f, 0.5f, 0.5f, 1.0f);   // defaultColor
        const float uvs[][2] = {{0.1f, 0.1f}, {0.3f, 0.1f}, {0.1f, 0.25f}, {0.3f, 0.25f}, {0.62f, 0.5f}};
        for (auto &uv : uvs) {
            sc.eyeHit(0.0f, 0.0f, uv[0], uv[1]);
            emit("checker.uv " + num(uv[0]) + "," + num(uv[1]), true, out, 5, callNode(n, st, out));
        }
    }
    {
        Node n = makeNode("veko_noise", 43);
        n.set(0, 1.0f);
        n.set(1, 0.707f);
        n.seti(3, 3);
        n.set(4, 8.0f);
        n.set(5, 2.0f);
        n.set(9, 1.0f);
        n.set(10, 0.1f);
        n.set(12, 1.0f);
        n.seti(13, 2);
        n.seti(14, 5);
        n.set(16, 0.5f), n.set(17, 0.5f);
        n.connect(19, &place, 0);
        n.connect(22, &place, 3);
        n.set(25, 1.0f);                      // filter
        n.setc(29, 1.0f, 1.0f, 1.0f, 1.0f);   // colorGain
        n.set(37, 1.0f);                      // alphaGain
        n.setc(39, 0.5f, 0.5f, 0.5f, 1.0f);   // defaultColor
        const float uvs[][2] = {{0.1f, 0.2f}, {0.45f, 0.8f}};
        for (int type : {0, 1, 3}) {  // perlin, billow, spacetime
            n.seti(8, type);
            for (auto &uv : uvs) {
                sc.eyeHit(0.0f, 0.0f, uv[0], uv[1]);
                emit("noise.type" + std::to_string(type) + ".uv " + num(uv[0]) + "," + num(uv[1]), false, out, 5,
                     callNode(n, st, out));
            }
        }
        emitMessages();
    }

    // Lambert under a point light at (1, 2, 3) over the point (0, 0, 0)
    // with normal +z: colour * diffuse * light * cos, cos = 3 / sqrt(14).
    {
        Node light = makeNode("veko_pointlight", 21);
        light.seti(3, 1), light.seti(4, 1);
        light.setc(5, 1.0f, 0.9f, 0.8f, 1.0f);
        light.set(9, 2.0f);
        light.setc(11, 0.0f, 0.0f, 0.0f, 1.0f);
        light.seti(15, 1), light.seti(16, 1);
        light.set(17, 1.0f), light.set(19, 1.0f);
        g_light = {&light, 500, {1.0f, 2.0f, 3.0f}};

        Node n = makeNode("veko_lambert", 56);
        n.seti(0, 6);
        n.set(1, 1.0f);
        n.set(3, 0.8f);
        n.setc(4, 0.5f, 0.4f, 0.3f, 1.0f);
        n.seti(34, 2);
        n.set(35, 1.0f);
        n.setc(40, 1.0f, 1.0f, 1.0f, 1.0f);
        n.seti(45, 1), n.seti(46, 1);
        n.seti(54, 2);
        initNode(n, st);
        sc.eyeHit(0.0f, 0.0f, 0.5f, 0.5f);
        std::memset(out, 0, sizeof out);
        emit("lambert.pointlight", true, out, 16, callNode(n, st, out));
        sc.eyeHit(0.0f, 0.0f, 0.5f, 0.5f);
        st->shadingNormal = st->geometricNormal = {0.0f, 0.0f, -1.0f};  // light behind
        std::memset(out, 0, sizeof out);
        emit("lambert.lightbehind", true, out, 16, callNode(n, st, out));
        sc.eyeHit(0.0f, 0.0f, 0.5f, 0.5f);
        xr_shaderstate_set(st, "vekobase", nullptr, 0, 2);  // no per-ray record
        emit("lambert.norecord", true, out, 0, callNode(n, st, out));
        emitMessages();
        exitNode(n, st);
        g_light = Light{};
    }
    sc.endRay();
}

// ---------------------------------------------------------------------------
// Binding checks: a host operation this executable does not export, a second
// module handle, and no handle at all.
void runBinding(Scene &sc, const char *altPath, const std::string &errPath) {
    xrState *st = &sc.state;
    auto setHandle = reinterpret_cast<void (*)(void *)>(moduleSymbol(g_library, "xrSetModuleHandle"));
    void *self = selfHandle();
    StderrCapture capture(errPath);
    float out[64];
    char expect[256];

    // A light with a profile asks for xr_lightprofile_sample, which is not
    // exported here: every call reports it and the light gives no intensity.
    {
        Node light = makeNode("veko_pointlight", 21);
        light.setc(5, 1.0f, 1.0f, 1.0f, 1.0f);
        light.set(9, 1.0f);
        light.seti(20, 9);  // lightProfile
        sc.eyeHit(0.0f, 0.0f, 0.5f, 0.5f);
        capture.start();
        const xrBoolean ok1 = callNode(light, st, out);
        const xrBoolean ok2 = callNode(light, st, out);
        const std::string err = capture.finish();
        snprintf(expect, sizeof expect, "dlsym failed on \"xr_lightprofile_sample\" (handle: %08x error: %d)\n",
                 unsigned(reinterpret_cast<uintptr_t>(self) & 0xffffffffu), missingSymbolError());
        check("binding.missing-operation", err == std::string(expect) + expect && ok1 && ok2 && out[0] == 0.0f,
              "stderr \"" + err + "\"");
        sc.endRay();
    }

    // A second module: the next warning goes to its xr_warning; handing this
    // executable back binds ours again.
    Node cond = makeNode("veko_condition", 11);
    cond.seti(0, 9);  // invalid operation: the node warns
    const char *warning = "veko_condition(): Invalid operation.";
    {
        void *alt = openModule(altPath);
        auto altLast = alt ? reinterpret_cast<const char *(*)()>(moduleSymbol(alt, "xhost_alt_last")) : nullptr;
        if (!altLast) {
            check("binding.second-module", false, std::string("cannot load ") + altPath);
        } else {
            g_messages.clear();
            capture.start();
            setHandle(alt);
            callNode(cond, st, out);
            std::string err = capture.finish();
            const bool toAlt = std::string(altLast()) == warning && g_messages.empty() && err.empty();
            check("binding.second-module", toAlt, "alt \"" + std::string(altLast()) + "\" stderr \"" + err + "\"");
            capture.start();
            setHandle(self);
            callNode(cond, st, out);
            err = capture.finish();
            const bool back = g_messages.size() == 1 && g_messages[0].text == warning && err.empty();
            check("binding.handle-back", back, "stderr \"" + err + "\"");
            g_messages.clear();
        }
    }

    // Threads: after a new handle every thread binds xr_warning on its own
    // first call, several at once; every warning arrives and nothing fails.
    {
        g_messages.clear();
        capture.start();
        setHandle(self);
        const int threads = 4, calls = 50;
        std::vector<std::thread> pool;
        for (int t = 0; t < threads; ++t)
            pool.emplace_back([&] {
                xrState ts = *st;
                float o[8];
                for (int i = 0; i < calls; ++i) callNode(cond, &ts, o);
            });
        for (auto &t : pool) t.join();
        const std::string err = capture.finish();
        check("binding.threads", g_messages.size() == size_t(threads * calls) && err.empty(),
              std::to_string(g_messages.size()) + " warnings, stderr \"" + err + "\"");
        g_messages.clear();
    }

    // No handle: reported, then looked up with the null handle. On Windows
    // that searches the executable (which exports the operation); on Linux
    // the lookup fails.
    {
        g_messages.clear();
        capture.start();
        setHandle(nullptr);
        callNode(cond, st, out);
        const std::string err = capture.finish();
#if defined(_WIN32)
        const bool ok = err == "DYNLOAD: dl_handle null\n" && g_messages.size() == 1;
#else
        snprintf(expect, sizeof expect, "DYNLOAD: dl_handle null\ndlsym failed on \"xr_warning\" (handle: %08x error: %d)\n",
                 0u, ENOENT);
        const bool ok = err == expect && g_messages.empty();
#endif
        check("binding.null-handle", ok, "stderr \"" + err + "\"");
        setHandle(self);
        g_messages.clear();
    }
}

// ---------------------------------------------------------------------------
// Comparison with the expected file.
std::vector<std::string> split(const std::string &s) {
    std::vector<std::string> t;
    std::istringstream in(s);
    for (std::string w; in >> w;) t.push_back(w);
    return t;
}

bool sameLine(const std::string &got, const std::string &want) {
    if (got == want) return true;
    const auto g = split(got), w = split(want);
    if (g.size() != w.size() || w.size() < 2) return false;
    // Labels may contain spaces; the marker is the first '=' or '~' token.
    size_t marker = 0;
    while (marker < w.size() && w[marker] != "~" && w[marker] != "=") ++marker;
    if (marker == w.size() || w[marker] != "~") return false;
    for (size_t i = 0; i < w.size(); ++i) {
        if (i <= marker + 2) {  // label, marker, "ret", return value
            if (g[i] != w[i]) return false;
            continue;
        }
        char *e1 = nullptr, *e2 = nullptr;
        const double a = std::strtod(g[i].c_str(), &e1), b = std::strtod(w[i].c_str(), &e2);
        if (*e1 || *e2) return false;
        if (std::isnan(a) || std::isnan(b)) {
            if (std::isnan(a) != std::isnan(b)) return false;
            continue;
        }
        if (!(std::fabs(a - b) <= 1e-6 * std::max(1.0, std::fabs(b)))) return false;
    }
    return true;
}

int compare(const std::string &expectedPath) {
    std::ifstream in(expectedPath);
    if (!in) {
        printf("xhost: cannot read %s\n", expectedPath.c_str());
        return 1;
    }
    std::vector<std::string> want;
    for (std::string l; std::getline(in, l);) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        want.push_back(l);
    }
    int bad = 0, exact = 0, close = 0;
    const size_t n = std::max(want.size(), g_lines.size());
    for (size_t i = 0; i < n; ++i) {
        const std::string g = i < g_lines.size() ? g_lines[i] : "<missing>";
        const std::string w = i < want.size() ? want[i] : "<missing>";
        if (g == w) {
            ++exact;
        } else if (sameLine(g, w)) {
            ++close;
        } else {
            ++bad;
            printf("line %zu differs:\n  got:      %s\n  expected: %s\n", i + 1, g.c_str(), w.c_str());
        }
    }
    printf("xhost: %d lines identical, %d within tolerance, %d differ\n", exact, close, bad);
    return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 4) {
        printf("usage: xhost LIBRARY ALT_MODULE OUTPUT [EXPECTED]\n");
        return 2;
    }
    g_library = openModule(argv[1]);
    if (!g_library) {
        printf("xhost: cannot load %s\n", argv[1]);
        return 1;
    }
    auto setHandle = reinterpret_cast<void (*)(void *)>(moduleSymbol(g_library, "xrSetModuleHandle"));
    if (!setHandle) {
        printf("xhost: xrSetModuleHandle not exported\n");
        return 1;
    }
    setHandle(selfHandle());

    const std::string output = argv[3];
    {
        Scene scene;
        // The node table must bind every operation it uses: nothing on stderr.
        StderrCapture capture(output + ".stderr");
        capture.start();
        runNodes(scene);
        const std::string err = capture.finish();
        check("nodes.stderr-empty", err.empty(), "\"" + err + "\"");
        runBinding(scene, argv[2], output + ".stderr");
        exitNode(scene.stateShader, &scene.state);
        check("state.template-released", scene.stateShader.userPointer == nullptr);
    }
    std::remove((output + ".stderr").c_str());

    FILE *f = fopen(output.c_str(), "w");
    if (!f) {
        printf("xhost: cannot write %s\n", output.c_str());
        return 1;
    }
    for (const std::string &l : g_lines) fprintf(f, "%s\n", l.c_str());
    fclose(f);
    printf("xhost: %zu lines written to %s\n", g_lines.size(), output.c_str());
    return argc > 4 ? compare(argv[4]) : 0;
}
