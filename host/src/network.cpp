// Shader instances and networks: parameter blocks laid out from the node
// declarations (arrays in the host array form, a mirrored connection block
// behind them), literal values and connections from JSON, cycle checks, and
// the _init/_exit protocol.
#include <cmath>
#include <cstring>
#include <limits>
#include <functional>
#include <set>

#include "vekohost/host.h"

namespace vh {

// Database type of shader instance elements; their data is the Instance*.
constexpr int kDbShader = 30;

namespace {

std::atomic<int> g_nextInstanceId{0};

struct ParsedPath {
    std::string param;
    int element = -1;
    std::string member;
};

ParsedPath parsePath(const std::string &path) {
    ParsedPath p;
    size_t i = path.find_first_of("[.");
    p.param = path.substr(0, i);
    if (i == std::string::npos) return p;
    if (path[i] == '[') {
        size_t j = path.find(']', i);
        if (j == std::string::npos) throw Error("bad parameter path \"" + path + "\"");
        p.element = std::stoi(path.substr(i + 1, j - i - 1));
        i = j + 1;
    }
    if (i < path.size()) {
        if (path[i] != '.') throw Error("bad parameter path \"" + path + "\"");
        p.member = path.substr(i + 1);
    }
    return p;
}

const Field *member(const Field &f, const std::string &name) {
    for (const auto &m : f.fields)
        if (m.name == name) return &m;
    return nullptr;
}

// Writes a JSON literal of type `f` (one element) at `dst`.
void writeValue(const Field &f, char *dst, const json &v, const std::string &where,
                const std::function<xrTag(const std::string &)> &tagOf) {
    auto num = [&](const json &x) -> double {
        if (x.is_number()) return x.get<double>();
        if (x.is_boolean()) return x.get<bool>() ? 1 : 0;
        throw Error(where + ": expected a number for " + typeName(f.type) + " parameter " + f.name);
    };
    auto flt = [&](const json &x) -> float {
        double d = num(x);
        if (!(std::fabs(d) <= double(std::numeric_limits<float>::max())))
            throw Error(where + ": " + std::to_string(d) + " is out of range for " + typeName(f.type) + " parameter " + f.name);
        return float(d);
    };
    auto floats = [&](int n, float fill) {
        if (!v.is_array()) {
            if (v.is_number() && f.type != Type::Matrix) {  // a scalar fills every component
                float x = flt(v);
                for (int k = 0; k < n; ++k) std::memcpy(dst + 4 * k, &x, 4);
                if (f.type == Type::Color && fill >= 0) std::memcpy(dst + 12, &fill, 4);
                return;
            }
            throw Error(where + ": expected a list of " + std::to_string(n) + " numbers for " + f.name);
        }
        if (int(v.size()) > n || (int(v.size()) < n && !(f.type == Type::Color && v.size() == 3)))
            throw Error(where + ": expected " + std::to_string(n) + " numbers for " + f.name + ", got " + std::to_string(v.size()));
        for (int k = 0; k < n; ++k) {
            float x = k < int(v.size()) ? flt(v[k]) : fill;
            std::memcpy(dst + 4 * k, &x, 4);
        }
    };
    switch (f.type) {
        case Type::Scalar: {
            float x = flt(v);
            std::memcpy(dst, &x, 4);
            break;
        }
        case Type::Integer:
        case Type::Boolean: {
            double d = num(v);
            if (!(d >= -2147483648.0 && d <= 2147483647.0))
                throw Error(where + ": " + std::to_string(d) + " is out of range for integer parameter " + f.name);
            int32_t x = int32_t(d);
            if (f.maxValue > 0 && x > f.maxValue) {
                // Sample and ray counts: a typo like 4000000 would render for hours.
                const int32_t cap = int32_t(f.maxValue);
                hostMessage(Severity::Warning, where + ": " + f.name + " = " + std::to_string(x) +
                                                   " is more than " + std::to_string(cap) + "; using " +
                                                   std::to_string(cap));
                x = cap;
            }
            std::memcpy(dst, &x, 4);
            break;
        }
        case Type::Tag:
        case Type::Shader: {
            double d = v.is_string() ? 0 : num(v);
            if (!(d >= 0 && d <= 4294967295.0)) throw Error(where + ": " + std::to_string(d) + " is not a valid tag for " + f.name);
            uint32_t t = v.is_string() ? tagOf(v.get<std::string>()) : uint32_t(d);
            std::memcpy(dst, &t, 4);
            break;
        }
        case Type::Color: floats(4, 1.0f); break;
        case Type::Vector: floats(3, 0); break;
        case Type::Matrix: floats(16, 0); break;
        case Type::Struct: {
            if (!v.is_object()) throw Error(where + ": expected an object for struct parameter " + f.name);
            for (auto it = v.begin(); it != v.end(); ++it) {
                const Field *m = member(f, it.key());
                if (!m) throw Error(where + ": " + f.name + " has no member \"" + it.key() + "\"");
                writeValue(*m, dst + m->offset, it.value(), where, tagOf);
            }
            break;
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------
void *Instance::paramAddress(const std::string &path) {
    ParsedPath p = parsePath(path);
    const Field *f = decl->param(p.param);
    if (!f) throw Error("node " + name + " (" + decl->name + ") has no parameter \"" + p.param + "\"");
    char *base = params() + f->offset;
    if (f->array) {
        int n = arraySizes.count(p.param) ? arraySizes[p.param] : 0;
        if (p.element < 0) return base;
        if (p.element >= n)
            throw Error("node " + name + ": element " + std::to_string(p.element) + " of " + p.param + " is beyond its " + std::to_string(n) + " elements");
        base = params() + arrayExtra[p.param] + p.element * f->elementWords * 4;
    } else if (p.element >= 0) {
        throw Error("node " + name + ": parameter " + p.param + " is not an array");
    }
    if (!p.member.empty()) {
        const Field *m = member(*f, p.member);
        if (!m) throw Error("node " + name + ": " + p.param + " has no member \"" + p.member + "\"");
        base += m->offset;
    }
    return base;
}

void Instance::resizeArray(const std::string &param, int count) {
    const Field *f = decl->param(param);
    if (!f || !f->array) throw Error("node " + name + ": \"" + param + "\" is not an array parameter");
    if (count < 0) count = 0;
    // Old geometry, to carry values over.
    std::vector<uint64_t> old = block;
    int oldParamBytes = paramBytes;
    int oldConnOff = record.connectionOffset;
    auto oldExtra = arrayExtra;
    auto oldSizes = arraySizes;
    arraySizes[param] = count;

    // New layout: declared block, then each array's elements, aligned so the
    // distance from the storage slot is a whole number of elements.
    int bytes = decl->paramBytes;
    std::map<std::string, int> extra;
    for (const auto &p : decl->params) {
        if (!p.array) continue;
        int n = arraySizes.count(p.name) ? arraySizes[p.name] : 0;
        int elemBytes = p.elementWords * 4;
        int storage = p.offset + 8;
        if (n <= 1) {
            extra[p.name] = storage;
            continue;
        }
        int start = (bytes - storage + elemBytes - 1) / elemBytes;
        extra[p.name] = storage + start * elemBytes;
        bytes = extra[p.name] + n * elemBytes;
    }
    int connOff = (bytes + 7) & ~7;
    std::vector<uint64_t> nb(size_t(2 * connOff) / 8 + 1, 0);
    char *np = reinterpret_cast<char *>(nb.data());
    char *op = reinterpret_cast<char *>(old.data());
    std::memcpy(np, op, decl->paramBytes);
    if (oldConnOff) std::memcpy(np + connOff, op + oldConnOff, decl->paramBytes);
    for (const auto &p : decl->params) {
        if (!p.array) continue;
        int n = arraySizes.count(p.name) ? arraySizes[p.name] : 0;
        int on = oldSizes.count(p.name) ? oldSizes[p.name] : 0;
        int elemBytes = p.elementWords * 4;
        int storage = p.offset + 8;
        int keep = std::min(n, on) * elemBytes;
        if (keep && oldExtra.count(p.name)) {
            std::memcpy(np + extra[p.name], op + oldExtra[p.name], keep);
            if (oldConnOff) std::memcpy(np + connOff + extra[p.name], op + oldConnOff + oldExtra[p.name], keep);
        }
        int32_t start = (extra[p.name] - storage) / elemBytes, cnt = n;
        std::memcpy(np + p.offset, &start, 4);
        std::memcpy(np + p.offset + 4, &cnt, 4);
        // Fresh elements get the declared default.
        for (int k = on; k < n; ++k) {
            char *e = np + extra[p.name] + k * elemBytes;
            std::memset(e, 0, elemBytes);
            if (!p.defaultValue.is_null()) {
                Field one = p;
                one.array = false;
                writeValue(one, e, p.defaultValue, "declaration of " + decl->name, [](const std::string &) { return 0u; });
            }
        }
    }
    (void)oldParamBytes;
    block.swap(nb);
    paramBytes = bytes;
    record.connectionOffset = connOff;
    arrayExtra = extra;
    // Connections of dropped elements go; the rest move with their elements.
    std::vector<Connection> kept;
    for (auto &c : connections)
        if (!(c.param == param && c.element >= count)) kept.push_back(c);
    connections.swap(kept);
    connectionAtWord.assign(size_t(paramBytes) / 4, ConnectionSlot{});
    for (size_t i = 0; i < connections.size(); ++i) {
        auto &c = connections[i];
        const Field *pf = decl->param(c.param);
        int base = c.element >= 0 ? arrayExtra[c.param] + c.element * pf->elementWords * 4 : pf->offset;
        c.paramOffset = base + c.memberOffset;
        indexConnection(c.paramOffset, int(i));
    }
    syncRecord();
}

void Instance::setLiteral(const std::string &path, const json &value) {
    ParsedPath p = parsePath(path);
    const Field *f = decl->param(p.param);
    if (!f) throw Error("node " + name + " (" + decl->name + ") has no parameter \"" + p.param + "\"");
    auto tagOf = [this](const std::string &s) -> xrTag {
        xrTag t = network ? network->tagOf(s) : 0;
        if (!t) throw Error("node " + name + ": unknown tag name \"" + s + "\"");
        return t;
    };
    std::string where = "node " + name;
    if (f->array && p.element < 0 && p.member.empty()) {
        if (!value.is_array()) throw Error(where + ": array parameter " + p.param + " needs a list");
        resizeArray(p.param, int(value.size()));
        Field one = *f;
        one.array = false;
        for (size_t k = 0; k < value.size(); ++k)
            writeValue(one, static_cast<char *>(paramAddress(p.param + "[" + std::to_string(k) + "]")), value[k], where, tagOf);
        return;
    }
    const Field *target = f;
    Field one;
    if (f->array) {
        one = *f;
        one.array = false;
        target = &one;
    }
    if (!p.member.empty()) target = member(*target, p.member);
    if (!target) throw Error(where + ": no member \"" + p.member + "\" in " + p.param);
    writeValue(*target, static_cast<char *>(paramAddress(path)), value, where, tagOf);
}

// ---------------------------------------------------------------------------
Network::Network(Library &lib) : lib_(lib) {}

Network::~Network() {
    if (initDone_) {
        try {
            StandaloneState s;
            exit(s.state());
        } catch (...) {
        }
    }
    for (auto &i : instances_) Database::get().remove(i->tag);
}

xrTag Network::tagOf(const std::string &name) const {
    auto it = tagNames_.find(name);
    if (it != tagNames_.end()) return it->second;
    for (auto &i : instances_)
        if (i->name == name) return i->tag;
    return 0;
}

Instance &Network::add(const std::string &name, const std::string &type) {
    if (find(name)) throw Error("node \"" + name + "\" defined twice");
    const NodeDecl *d = lib_.decls().find(type);
    if (!d) throw Error("node \"" + name + "\": unknown node type \"" + type + "\"");
    if (!d->declared) throw Error("node \"" + name + "\": node type " + type + " is not built in this library version (no parameters declared)");
    auto inst = std::make_unique<Instance>();
    inst->name = name;
    inst->decl = d;
    inst->fns = lib_.functions(type);
    inst->network = this;
    inst->id = g_nextInstanceId++;
    inst->kind = d->wantsStateArg ? xrSHADER_STATE : xrSHADER_CALL;
    Instance *raw = inst.get();
    inst->tag = Database::get().create(kDbShader, &raw, sizeof raw);
    inst->record.hostData = raw;
    inst->record.hostWords[0] = inst->kind;
    inst->block.assign(size_t(d->paramBytes) / 8 + 2, 0);
    inst->paramBytes = d->paramBytes;
    // Defaults, then the mirrored connection block.
    for (const auto &p : d->params)
        if (!p.array && !p.defaultValue.is_null())
            writeValue(p, inst->params() + p.offset, p.defaultValue, "declaration of " + type,
                       [](const std::string &) { return 0u; });
    for (const auto &p : d->params)
        if (p.array) {
            inst->resizeArray(p.name, 0);
            break;
        }
    if (inst->record.connectionOffset == 0) {
        int connOff = (d->paramBytes + 7) & ~7;
        inst->block.resize(size_t(2 * connOff) / 8 + 1, 0);
        inst->record.connectionOffset = connOff ? connOff : 8;
        if (!connOff) inst->block.resize(3, 0);
    }
    inst->syncRecord();
    instances_.push_back(std::move(inst));
    return *raw;
}

Instance *Network::find(const std::string &name) {
    for (auto &i : instances_)
        if (i->name == name) return i.get();
    return nullptr;
}

Instance *Network::findByTag(xrTag tag) {
    for (auto &i : instances_)
        if (i->tag == tag) return i.get();
    return nullptr;
}

Instance *instanceOfTag(xrTag tag) {
    // Unpinned: shader elements live as long as their network, and this runs
    // for every shader called by tag while rendering.
    int type = 0;
    const void *p = Database::get().peek(tag, &type);
    if (!p || type != kDbShader) return nullptr;
    Instance *inst = nullptr;
    std::memcpy(&inst, p, sizeof inst);
    return inst;
}

void Network::connect(Instance &target, const std::string &path, const std::string &sourceSpec) {
    std::string where = "node " + target.name;
    ParsedPath p = parsePath(path);
    const Field *f = target.decl->param(p.param);
    if (!f) throw Error(where + " (" + target.decl->name + ") has no parameter \"" + p.param + "\"");
    const Field *tf = f;
    Field one;
    if (f->array) {
        if (p.element < 0) throw Error(where + ": connect array " + p.param + " element by element");
        one = *f;
        one.array = false;
        tf = &one;
    }
    int memberOffset = 0;
    if (!p.member.empty()) {
        const Field *m = member(*tf, p.member);
        if (!m) throw Error(where + ": " + p.param + " has no member \"" + p.member + "\"");
        memberOffset = m->offset;
        tf = m;
    }
    // Source: "node", "node.field" or "node.field.c" (one component).
    size_t dot = sourceSpec.find('.');
    std::string srcName = sourceSpec.substr(0, dot);
    Instance *src = find(srcName);
    if (!src) throw Error(where + ": parameter " + path + " is connected to unknown node \"" + srcName + "\"");
    int fieldOffset = 0;
    Type srcType;
    std::string fieldName;
    if (dot == std::string::npos) {
        if (src->decl->result.empty()) throw Error(where + ": node " + srcName + " has no result to connect");
        srcType = src->decl->result[0].type;
        fieldName = src->decl->result[0].name;
        if (tf->type == Type::Shader) srcType = Type::Shader;
    } else {
        std::string rest = sourceSpec.substr(dot + 1);
        size_t dot2 = rest.find('.');
        fieldName = rest.substr(0, dot2);
        const Field *rf = src->decl->resultField(fieldName);
        if (!rf) throw Error(where + ": node " + srcName + " (" + src->decl->name + ") has no result field \"" + fieldName + "\"");
        fieldOffset = rf->offset;
        srcType = rf->type;
        if (dot2 != std::string::npos) {
            std::string comp = rest.substr(dot2 + 1);
            static const std::string comps = "rgbaxyz";
            size_t ci = comps.find(comp);
            if (comp.size() != 1 || ci == std::string::npos || (rf->type != Type::Color && rf->type != Type::Vector))
                throw Error(where + ": cannot take component \"" + comp + "\" of " + srcName + "." + fieldName);
            fieldOffset += int(ci < 4 ? ci : ci - 4) * 4;
            srcType = Type::Scalar;
        }
    }
    auto compatible = [](Type a, Type b) {
        if (a == b) return true;
        auto intLike = [](Type t) { return t == Type::Integer || t == Type::Boolean; };
        return intLike(a) && intLike(b);
    };
    if (tf->type != Type::Shader && !compatible(tf->type, srcType))
        throw Error(where + ": cannot connect " + typeName(tf->type) + " parameter " + path + " to " + typeName(srcType) +
                    " result " + srcName + "." + fieldName);
    if (src == &target) throw Error(where + ": parameter " + path + " is connected to its own node");

    Connection c;
    c.param = p.param;
    c.element = p.element;
    c.memberOffset = memberOffset;
    c.source = src;
    c.fieldOffset = fieldOffset;
    char *addr = static_cast<char *>(target.paramAddress(path));
    c.paramOffset = int(addr - target.params());
    // The connection word holds the source shader's tag.
    std::memcpy(addr + target.record.connectionOffset, &src->tag, 4);
    if (tf->type == Type::Shader) std::memcpy(addr, &src->tag, 4);
    int existing = target.connectionAt(c.paramOffset);
    if (existing >= 0) {
        target.connections[size_t(existing)] = c;
    } else {
        existing = int(target.connections.size());
        target.connections.push_back(c);
    }
    target.indexConnection(c.paramOffset, existing);
}

void Network::load(const json &doc, const std::string &where) {
    if (!doc.is_object() || !doc.contains("nodes") || !doc["nodes"].is_array())
        throw Error(where + ": expected an object with a \"nodes\" list");
    // Pass 1: create every node so connections may point forward.
    std::vector<std::pair<Instance *, const json *>> todo;
    for (const auto &n : doc["nodes"]) {
        if (!n.is_object() || !n.contains("name") || !n.contains("type") || !n["name"].is_string() || !n["type"].is_string())
            throw Error(where + ": every node needs a \"name\" and a \"type\"");
        std::string name = n["name"].get<std::string>();
        try {
            Instance &inst = add(name, n["type"].get<std::string>());
            todo.push_back({&inst, n.contains("params") ? &n["params"] : nullptr});
        } catch (const Error &e) {
            throw Error(where + ": " + e.what());
        }
    }
    // Pass 2: literals and connections. A string is a connection, except on
    // tag parameters where it names a tag.
    for (auto [inst, params] : todo) {
        if (!params) continue;
        if (!params->is_object()) throw Error(where + ": node " + inst->name + ": \"params\" must be an object");
        try {
            for (auto it = params->begin(); it != params->end(); ++it) {
                const std::string &pname = it.key();
                const json &v = it.value();
                const Field *f = inst->decl->param(parsePath(pname).param);
                if (!f) throw Error("node " + inst->name + " (" + inst->decl->name + ") has no parameter \"" + pname + "\"");
                auto isConn = [&](const json &x, const Field &fl) {
                    return x.is_string() && fl.type != Type::Tag;
                };
                if (f->array && v.is_array()) {
                    inst->resizeArray(pname, int(v.size()));
                    for (size_t k = 0; k < v.size(); ++k) {
                        std::string ep = pname + "[" + std::to_string(k) + "]";
                        if (isConn(v[k], *f)) {
                            connect(*inst, ep, v[k].get<std::string>());
                        } else if (v[k].is_object() && f->type == Type::Struct) {
                            for (auto m = v[k].begin(); m != v[k].end(); ++m) {
                                const Field *mf = member(*f, m.key());
                                if (!mf) throw Error("node " + inst->name + ": " + pname + " has no member \"" + m.key() + "\"");
                                if (isConn(m.value(), *mf)) connect(*inst, ep + "." + m.key(), m.value().get<std::string>());
                                else inst->setLiteral(ep + "." + m.key(), m.value());
                            }
                        } else {
                            inst->setLiteral(ep, v[k]);
                        }
                    }
                } else if (isConn(v, *f)) {
                    connect(*inst, pname, v.get<std::string>());
                } else {
                    inst->setLiteral(pname, v);
                }
            }
        } catch (const Error &e) {
            throw Error(where + ": " + e.what());
        } catch (const json::exception &e) {
            throw Error(where + ": node " + inst->name + ": " + e.what());
        }
    }
}

void Network::init(xrState *state) {
    // Cycle check over the connection graph.
    std::map<Instance *, int> mark;  // 1 visiting, 2 done
    std::function<void(Instance *, std::vector<std::string> &)> visit = [&](Instance *i, std::vector<std::string> &path) {
        if (mark[i] == 2) return;
        path.push_back(i->name);
        if (mark[i] == 1) {
            std::string cyc;
            for (auto &s : path) cyc += (cyc.empty() ? "" : " -> ") + s;
            throw Error("connection cycle: " + cyc);
        }
        mark[i] = 1;
        for (auto &c : i->connections) visit(c.source, path);
        mark[i] = 2;
        path.pop_back();
    };
    for (auto &i : instances_) {
        std::vector<std::string> path;
        visit(i.get(), path);
    }
    // Shader level once per node type, then each instance if requested.
    xrShaderRecord *saved = state->shaderRecord;
    for (auto &i : instances_) {
        const std::string &type = i->decl->name;
        if (!shaderInitDone_.count(type)) {
            xrBoolean req = 0;
            if (i->fns.init) {
                xrShaderRecord rec{};
                rec.hostWords[0] = i->kind;
                state->shaderRecord = &rec;
                i->fns.init(state, nullptr, &req);
                state->shaderRecord = saved;
            }
            shaderInitDone_[type] = req != 0;
        }
    }
    for (auto &i : instances_) {
        if (shaderInitDone_[i->decl->name] && !i->initialized) {
            xrBoolean req = 0;
            state->shaderRecord = &i->record;
            if (prepareInstance) prepareInstance(*i, state);
            i->fns.init(state, i->params(), &req);
            state->shaderRecord = saved;
        }
        i->initialized = true;
    }
    initDone_ = true;
}

void Network::exit(xrState *state) {
    if (!initDone_) return;
    xrShaderRecord *saved = state->shaderRecord;
    for (auto it = instances_.rbegin(); it != instances_.rend(); ++it) {
        Instance &i = **it;
        if (i.initialized && shaderInitDone_[i.decl->name] && i.fns.exit) {
            state->shaderRecord = &i.record;
            if (prepareInstance) prepareInstance(i, state);
            i.fns.exit(state, i.params());
        }
        {
            std::lock_guard<std::mutex> lock(i.threadDataMutex);
            i.threadData.assign(1, nullptr);
        }
        i.initialized = false;
    }
    for (auto &[type, req] : shaderInitDone_) {
        (void)req;
        Instance *any = nullptr;
        for (auto &i : instances_)
            if (i->decl->name == type) any = i.get();
        if (any && any->fns.exit) {
            xrShaderRecord rec{};
            rec.hostWords[0] = any->kind;
            state->shaderRecord = &rec;
            any->fns.exit(state, nullptr);
        }
    }
    state->shaderRecord = saved;
    shaderInitDone_.clear();
    initDone_ = false;
}

}  // namespace vh
