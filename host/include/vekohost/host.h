// The reference host: loads a shader library with its node declarations,
// builds shader instances with their parameter, connection and result blocks,
// and serves the host operations (xr_*) the library calls.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "xr.h"

namespace vh {

using json = nlohmann::json;

// Any error in scene or network input: the text names the file and element.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---------------------------------------------------------------------------
// Node declarations.
enum class Type { Boolean, Integer, Scalar, Tag, Shader, Color, Vector, Matrix, Struct };
const char *typeName(Type t);
int typeWords(Type t);  // words of one value (Struct: 0; see Field::words)

struct Field {
    std::string name;
    Type type = Type::Scalar;
    bool array = false;
    std::vector<Field> fields;  // Struct members, in block order
    json defaultValue;          // null when not declared
    double maxValue = 0;        // largest sensible literal (declared "max"); 0: none
    int offset = 0;             // byte offset in the block
    int elementWords = 0;       // words of one element (the value for non-arrays)
    int words() const { return array ? 2 + elementWords : elementWords; }
};

struct NodeDecl {
    std::string name;
    int version = 0;
    bool declared = false;       // parameters and results are declared
    bool wantsStateArg = false;  // main takes a fourth argument (state shader)
    std::vector<Field> params;
    std::vector<Field> result;
    int paramBytes = 0;
    int resultBytes = 0;
    const Field *param(const std::string &name) const;
    const Field *resultField(const std::string &name) const;
};

class Declarations {
public:
    void load(const std::string &path);  // throws Error
    const NodeDecl *find(const std::string &name) const;
    const std::vector<NodeDecl> &nodes() const { return nodes_; }

private:
    std::vector<NodeDecl> nodes_;
    std::unordered_map<std::string, size_t> index_;
};

// ---------------------------------------------------------------------------
// The loaded shader library.
using ShaderMain = xrBoolean (*)(void *result, xrState *state, void *params, void *arg);
using ShaderInit = void (*)(xrState *state, void *params, xrBoolean *initRequest);
using ShaderExit = void (*)(xrState *state, void *params);
using ShaderVersion = int (*)(void);

struct ShaderFunctions {
    ShaderMain main = nullptr;
    ShaderInit init = nullptr;
    ShaderExit exit = nullptr;
    ShaderVersion version = nullptr;
};

class Library {
public:
    // Loads the library (dlopen, local), hands it the host module handle and
    // reads the declarations file beside it (<dir>/vekobase.nodes.json
    // unless given). Checks every declared version against _version.
    explicit Library(const std::string &path, const std::string &declPath = "");
    ~Library();
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    const Declarations &decls() const { return decls_; }
    // Functions of a node; throws Error when the node is not exported.
    const ShaderFunctions &functions(const std::string &node);
    void *handle() const { return handle_; }
    void *symbol(const std::string &name) const;
    // Default library path: VEKOBASE_LIBRARY, else the build's lib directory.
    static std::string defaultPath();

private:
    void *handle_ = nullptr;
    Declarations decls_;
    std::mutex mutex_;
    std::map<std::string, ShaderFunctions> fns_;
};

// ---------------------------------------------------------------------------
// Messages: every library message reaches the user; tests capture them.
enum class Severity { Fatal, Error, Warning, Info, Progress, Debug };
struct Message {
    Severity severity;
    std::string text;
};
void setVerbosity(int level);  // 0 errors, 1 +warnings, 2 +info/progress (default), 3 +debug
void captureMessages(bool on);  // keep a copy of every message
std::vector<Message> takeMessages();
void hostMessage(Severity s, const std::string &text);
// Called with every message after it is reported (tests: react to a
// shader's progress); an empty function removes the hook.
void setMessageHook(std::function<void(const Message &)> hook);

// Memory accounting of xr_mem_int_allocate: live blocks by source and line.
struct LeakReport {
    size_t blocks = 0;
    size_t bytes = 0;
    std::string text;
};
LeakReport liveAllocations();

// ---------------------------------------------------------------------------
// The database of tags.
class Database {
public:
    static Database &get() {
        Database *d = instance_.load(std::memory_order_acquire);
        return d ? *d : make();
    }
    // The database if it has been made, else null.
    static Database *existing() { return instance_.load(std::memory_order_acquire); }
    // Stores a copy of `bytes` under a new tag.
    xrTag create(int type, const void *bytes, size_t size);
    xrTag create(int type, size_t size);  // zero-filled
    void *data(xrTag tag);                // without pinning
    int type(xrTag tag) const;            // 0 when absent
    size_t size(xrTag tag) const;
    void remove(xrTag tag);
    void *access(xrTag tag, int *type);   // pins
    // Data and type (0 when absent) without pinning, for the render's hot
    // path: a pin is a write to the element shared by all threads.
    void *peek(xrTag tag, int *type) const {
        Element *e = find(tag);
        *type = e ? e->type : 0;
        return e ? e->storage.data() : nullptr;
    }
    void unpin(xrTag tag);
    int pins(xrTag tag) const;            // for tests: pin count
    int totalPins() const;

    // Pin counts are kept per thread: every shade of an object pins the same
    // few elements, and one shared count per element would bounce its cache
    // line between the render threads on every access.
    struct PinTable;

private:
    struct Element {
        int type = 0;
        std::vector<uint64_t> storage;  // 8-byte aligned
        size_t size = 0;
        std::atomic<int> pins{0};  // pins of threads that have ended
    };
    static std::atomic<Database *> instance_;
    static Database &make();
    // The calling thread's table, made on its first pin.
    PinTable &makePins();
    [[gnu::noinline]] void *accessSlow(xrTag tag, int *type);
    [[gnu::noinline]] void unpinSlow(xrTag tag, std::atomic<int> *n);
    int pinsLocked(xrTag tag, const Element *e) const;
    [[gnu::noinline, gnu::cold]] void unpinOther(xrTag tag, Element *e, PinTable &mine, std::atomic<int> *n);
    friend struct PinTable;
    // Tags are handed out in sequence, so elements live in a two-level table
    // indexed by tag: lookups (access, unpin, queries: the render's hot path)
    // take no lock and share no written cache line but the element's pin
    // count. Creation and removal serialise on `writeMutex_`; an element is
    // published with a release store and read with an acquire load.
    static constexpr uint32_t kChunkBits = 12;
    static constexpr uint32_t kChunkSize = 1u << kChunkBits;
    static constexpr uint32_t kChunks = 1u << 14;  // 67 M tags
    using Chunk = std::array<std::atomic<Element *>, kChunkSize>;
    // Inline: shaders called by tag and instance queries look up on every sample.
    Element *find(xrTag tag) const {
        const uint32_t chunk = tag >> kChunkBits;
        if (tag == 0 || chunk >= kChunks) return nullptr;
        const Chunk *c = chunks_[chunk].load(std::memory_order_acquire);
        return c ? (*c)[tag & (kChunkSize - 1)].load(std::memory_order_acquire) : nullptr;
    }
    std::mutex writeMutex_;
    std::unique_ptr<std::atomic<Chunk *>[]> chunks_{new std::atomic<Chunk *>[kChunks]()};
    xrTag next_ = 1;
    mutable std::mutex pinMutex_;        // guards pinTables_ and their growth
    std::vector<PinTable *> pinTables_;  // one per thread that has pinned
};

// Object instance records in the database (type xrDB_INSTANCE): the host
// keeps the transform at byte 16 (row-major, object to world), its inverse at
// byte 80, the object-space motion at byte 144 (xrInstanceRecord), the
// user-data tag at word 52 (byte 208), the object at word 53.
struct InstanceRecord {
    int32_t words[4];
    float toWorld[16];    // byte 16
    float fromWorld[16];  // byte 80
    float motion[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};  // byte 144: standing still
    xrTag dataTag;        // byte 208: word 52
    xrTag objectTag;      // byte 212
    xrTag parent;         // byte 216: instance this one derives from (query 8)
    xrTag label;          // byte 220: object label (query 101)
    xrTag material;       // byte 224
    uint32_t pad2[4];
    uint32_t inherited;   // byte 244: word 61, passed on to the instances a geometry shader makes
    uint32_t pad3[2];
};
static_assert(offsetof(InstanceRecord, toWorld) == 16);
static_assert(offsetof(InstanceRecord, motion) == offsetof(xrInstanceRecord, motion));
static_assert(offsetof(InstanceRecord, inherited) == 244);
static_assert(sizeof(InstanceRecord) == 256);
static_assert(offsetof(InstanceRecord, dataTag) == 208);

// Light profile elements: (angle from the light's -z axis in degrees,
// intensity) pairs, ascending in angle (xr_lightprofile_sample).
constexpr int kDbLightProfile = 41;
xrTag createLightProfile(const std::vector<std::pair<float, float>> &table);

// A user-data element (type xrDB_USERDATA): word 1 the next tag, word 2 the
// byte size of the label and data, word 6 the label, data from word 7 (at
// least 32 words, zero-padded).
xrTag createUserData(uint32_t label, const std::vector<uint32_t> &payload, xrTag next = 0);

// ---------------------------------------------------------------------------
// Shader instances and networks.
class Network;

struct Instance;

// A connected parameter (or array element, or struct member of an element).
struct Connection {
    std::string param;      // parameter name
    int element = -1;       // array element, -1 for a plain parameter
    int memberOffset = 0;   // byte offset inside the element / parameter
    Instance *source = nullptr;
    int fieldOffset = 0;    // byte offset of the field in the source's result
    int paramOffset = 0;    // byte offset in the block (kept up to date by layout)
};

struct Instance {
    std::string name;
    const NodeDecl *decl = nullptr;
    ShaderFunctions fns;
    xrTag tag = 0;                // database tag of the shader (connection word)
    int id = 0;                   // dense index for per-thread result caches
    int kind = 0;                 // answer of query 140 while it runs
    std::vector<uint64_t> block;  // parameter block, array extras, connection block
    int paramBytes = 0;           // parameter block incl. array extras
    std::map<std::string, int> arraySizes;
    std::map<std::string, int> arrayExtra;  // byte offset of each array's elements
    xrShaderRecord record{};
    void *userPointer = nullptr;  // query 51
    xrLock lock = nullptr;        // query 52: made on first use, deleted with the instance
    // Per-thread data of the instance (queries 124, 126, 127): every pointer
    // a thread has stored, null-terminated, guarded by the mutex.
    std::mutex threadDataMutex;
    std::vector<void *> threadData{nullptr};
    std::vector<Connection> connections;
    // Per parameter word, the connection feeding it flattened for
    // xr_phen_eval: everything the evaluation needs is one load away from
    // the parameter's offset (no walk through the connection and its source).
    static constexpr uint32_t kMinResultWords = 16;
    struct ConnectionSlot {
        Instance *source = nullptr;
        int32_t index = -1;       // into connections; -1: literal
        int32_t sourceId = 0;     // the source's Instance::id (result cache slot)
        int32_t fieldOffset = 0;  // byte offset of the field in the source's result
        uint32_t resultWords = 0; // 8-byte words of the source's result buffer
    };
    std::vector<ConnectionSlot> connectionAtWord;
    const ConnectionSlot *connectionSlot(int paramOffset) const {
        // The word is checked against the table before any address is
        // formed (the table is empty, its data null, until a connection).
        const size_t w = size_t(paramOffset) / 4;
        if (paramOffset < 0 || w >= connectionAtWord.size()) return nullptr;
        const ConnectionSlot *s = &connectionAtWord[w];
        return s->index >= 0 ? s : nullptr;
    }
    int connectionAt(int paramOffset) const {
        const ConnectionSlot *s = connectionSlot(paramOffset);
        return s ? s->index : -1;
    }
    void indexConnection(int paramOffset, int index) {
        size_t w = size_t(paramOffset) / 4;
        if (connectionAtWord.size() <= w) connectionAtWord.resize(w + 1);
        const Connection &c = connections[size_t(index)];
        // At least kMinResultWords words: room for a shader that writes
        // past a small declared result, and most results are zeroed inline.
        const uint32_t words = std::max(uint32_t(c.source->decl->resultBytes + 7) / 8, kMinResultWords);
        connectionAtWord[w] = {c.source, index, c.source->id, c.fieldOffset, words};
        syncRecord();
    }
    // Words 2-3 of the record hold the parameter block's address, 4-5 the
    // connection table's and 6 its length (kept current by syncRecord
    // whenever either moves), so that xr_phen_eval goes from the running
    // shader's record straight to a parameter's slot.
    void syncRecord() {
        const char *base = params();
        const ConnectionSlot *table = connectionAtWord.data();
        std::memcpy(&record.hostWords[2], &base, sizeof base);
        std::memcpy(&record.hostWords[4], &table, sizeof table);
        record.hostWords[6] = int32_t(connectionAtWord.size());
    }
    // The slot of the connection feeding `param` of the shader whose record
    // is `rec`; null when it has none (or `rec` is no instance's record:
    // its words are 0).
    static const ConnectionSlot *slotFromRecord(const xrShaderRecord &rec, const void *param) {
        uintptr_t base;
        const ConnectionSlot *table;
        std::memcpy(&base, &rec.hostWords[2], sizeof base);
        std::memcpy(&table, &rec.hostWords[4], sizeof table);
        // The word is checked against the table before any address is
        // formed; a parameter below the block wraps to a huge word.
        const uintptr_t w = (uintptr_t(param) - base) / 4;
        if (w >= uint32_t(rec.hostWords[6])) return nullptr;
        const ConnectionSlot *s = table + w;
        return s->index >= 0 ? s : nullptr;
    }
    Network *network = nullptr;
    bool initialized = false;
    Instance() = default;
    Instance(const Instance &) = delete;
    Instance &operator=(const Instance &) = delete;
    ~Instance() { xr_delete_lock(&lock); }

    char *params() { return reinterpret_cast<char *>(block.data()); }
    // Address of a parameter: "name", "name[3]" or "name[3].member".
    void *paramAddress(const std::string &path);
    // Sets a literal value (JSON number, list or object) on a parameter path.
    // A list on an array parameter sets its element count.
    void setLiteral(const std::string &path, const json &value);
    // Sets the element count of an array parameter (keeps existing values).
    void resizeArray(const std::string &param, int count);
};

class Network {
public:
    explicit Network(Library &lib);
    ~Network();  // calls exit functions
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    // {"nodes": [{"name": "n", "type": "veko_blend", "params": {...}}, ...]}
    // Literal values, "other.field" connections, arrays of either, structs
    // as objects. `where` names the input in errors.
    void load(const json &doc, const std::string &where = "network");
    Instance &add(const std::string &name, const std::string &type);
    // Connects `target.param` (array element "param[2]" or member
    // "param[2].value") to `source` or `source.field`.
    void connect(Instance &target, const std::string &param, const std::string &source);
    Instance *find(const std::string &name);
    Instance *findByTag(xrTag tag);
    const std::vector<std::unique_ptr<Instance>> &instances() const { return instances_; }
    // Names resolvable as tag literals (e.g. object instances for switches).
    void defineTag(const std::string &name, xrTag tag) { tagNames_[name] = tag; }
    // Tag of a defined name or of a node of this network; 0 when unknown.
    xrTag tagOf(const std::string &name) const;

    // Checks for cycles, calls _init (shader level once per node type, then
    // per instance when requested). Throws Error with node names.
    void init(xrState *state);
    void exit(xrState *state);
    // Called before each instance's _init (and _exit) with the state it
    // gets, e.g. to give a light's shader the light's transforms.
    std::function<void(Instance &, xrState *)> prepareInstance;

    Library &library() { return lib_; }

private:
    void layout(Instance &inst);
    Library &lib_;
    std::vector<std::unique_ptr<Instance>> instances_;
    std::map<std::string, xrTag> tagNames_;
    std::map<std::string, bool> shaderInitDone_;
    bool initDone_ = false;
};

// ---------------------------------------------------------------------------
// Per-ray host data hung on xrState::hostContext, and per-thread data.
struct ThreadContext;

// Shader-state items (xr_shaderstate_get/set) of one record. Removing an
// item keeps its storage for reuse, so records cycle without allocation.
struct ShaderStateItem {
    std::string key;
    std::vector<uint64_t> data;
    int size = 0;
    bool present = false;
};

struct RayContext {
    ThreadContext *thread = nullptr;
    uint64_t sampleId = 0;  // result cache key together with the state pointer
    // The ray whose shader-state items this ray uses; null: its own. Rays
    // traced from a state share their parent's record.
    RayContext *recordOwner = nullptr;
    std::vector<ShaderStateItem> items;
    // Space transforms of this ray (row-major, applied to row vectors as
    // p' = p * M with translation in elements 12..14); null means identity.
    // Internal space is world space.
    const float *objectToWorld = nullptr, *worldToObject = nullptr;
    const float *cameraToWorld = nullptr, *worldToCamera = nullptr;
    const float *lightToWorld = nullptr, *worldToLight = nullptr;
    void *userA = nullptr;  // renderer use
    void *userB = nullptr;
    RayContext *owner() { return recordOwner ? recordOwner->owner() : this; }
};

// Per-thread host data: result buffers of connected shaders, sample counter.
ThreadContext *createThreadContext(uint16_t threadIndex);
void destroyThreadContext(ThreadContext *t);
// Gives the state a fresh cache key: results cached for an earlier sample of
// this state are not reused. Call once per new ray state / sample.
void newSample(xrState *state);

// The shader instance behind a shader tag (connection words, xr_call_shader_x).
Instance *instanceOfTag(xrTag tag);

// Calls a shader instance: sets shaderRecord to the instance's record for
// the call and restores it afterwards.
xrBoolean callShader(Instance &inst, xrState *state, void *result, void *arg = nullptr);

// Drops cached connected results for this state (xr_flush_cache).
void flushCache(xrState *state);

// A standalone state for evaluating networks outside a render (tests, the
// shade command): zeroed xrState with camera and options records, a ray
// context and a thread context.
class StandaloneState {
public:
    StandaloneState();
    ~StandaloneState();
    xrState *state() { return &state_; }
    xrCamera camera{};
    xrOptions options{};
    RayContext ray;
    // Sets a surface sample on the z = 0 plane at (u, v), facing the viewer.
    void setSurfaceSample(float u, float v);
    void nextSample();  // invalidates cached results

private:
    xrState state_{};
    ThreadContext *thread_;
    xrVector uv_[4]{}, du_[4]{}, dv_[4]{};
};

}  // namespace vh
