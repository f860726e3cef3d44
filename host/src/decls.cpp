// Node declarations: reads the library's declaration file and lays out the
// parameter and result blocks of every declared node.
#include <fstream>

#include "vekohost/host.h"

namespace vh {

const char *typeName(Type t) {
    switch (t) {
        case Type::Boolean: return "boolean";
        case Type::Integer: return "integer";
        case Type::Scalar: return "scalar";
        case Type::Tag: return "tag";
        case Type::Shader: return "shader";
        case Type::Color: return "color";
        case Type::Vector: return "vector";
        case Type::Matrix: return "matrix";
        case Type::Struct: return "struct";
    }
    return "?";
}

int typeWords(Type t) {
    switch (t) {
        case Type::Color: return 4;
        case Type::Vector: return 3;
        case Type::Matrix: return 16;
        case Type::Struct: return 0;
        default: return 1;
    }
}

namespace {

Type parseType(const std::string &s, const std::string &where) {
    static const std::map<std::string, Type> types = {
        {"boolean", Type::Boolean}, {"integer", Type::Integer}, {"scalar", Type::Scalar},
        {"tag", Type::Tag},         {"shader", Type::Shader},   {"color", Type::Color},
        {"vector", Type::Vector},   {"matrix", Type::Matrix},   {"struct", Type::Struct}};
    auto it = types.find(s);
    if (it == types.end()) throw Error(where + ": unknown type \"" + s + "\"");
    return it->second;
}

// Lays out `fields` from word 0; returns the total size in words.
int layoutFields(std::vector<Field> &fields, const json &list, const std::string &where) {
    int word = 0;
    for (const auto &j : list) {
        Field f;
        if (!j.contains("name") || !j.contains("type"))
            throw Error(where + ": every field needs \"name\" and \"type\"");
        f.name = j.at("name").get<std::string>();
        std::string fw = where + " field " + f.name;
        f.type = parseType(j.at("type").get<std::string>(), fw);
        f.array = j.value("array", false);
        if (j.contains("default")) f.defaultValue = j.at("default");
        if (j.contains("max")) f.maxValue = j.at("max").get<double>();
        if (f.type == Type::Struct) {
            if (!j.contains("fields")) throw Error(fw + ": struct without \"fields\"");
            f.elementWords = layoutFields(f.fields, j.at("fields"), fw);
        } else {
            f.elementWords = typeWords(f.type);
        }
        if (j.contains("word")) {
            int w = j.at("word").get<int>();
            if (w < word) throw Error(fw + ": word " + std::to_string(w) + " overlaps the previous field");
            word = w;
        }
        f.offset = word * 4;
        word += f.words();
        fields.push_back(std::move(f));
    }
    return word;
}

}  // namespace

const Field *NodeDecl::param(const std::string &n) const {
    for (const auto &f : params)
        if (f.name == n) return &f;
    return nullptr;
}
const Field *NodeDecl::resultField(const std::string &n) const {
    for (const auto &f : result)
        if (f.name == n) return &f;
    return nullptr;
}

void Declarations::load(const std::string &path) {
    std::ifstream in(path);
    if (!in) throw Error(path + ": cannot open the node declarations");
    json doc;
    try {
        doc = json::parse(in);
    } catch (const json::parse_error &e) {
        throw Error(path + ": " + e.what());
    }
    if (!doc.contains("nodes") || !doc["nodes"].is_array()) throw Error(path + ": no \"nodes\" list");
    nodes_.clear();
    index_.clear();
    for (const auto &j : doc["nodes"]) {
        NodeDecl d;
        try {
            d.name = j.at("name").get<std::string>();
            d.version = j.at("version").get<int>();
            std::string where = path + ": node " + d.name;
            d.declared = j.contains("params") || j.contains("result");
            d.wantsStateArg = j.value("stateArg", false);
            if (j.contains("params")) d.paramBytes = 4 * layoutFields(d.params, j["params"], where);
            if (j.contains("result")) d.resultBytes = 4 * layoutFields(d.result, j["result"], where);
        } catch (const json::exception &e) {
            throw Error(path + ": " + e.what());
        }
        if (index_.count(d.name)) throw Error(path + ": node " + d.name + " declared twice");
        index_[d.name] = nodes_.size();
        nodes_.push_back(std::move(d));
    }
}

const NodeDecl *Declarations::find(const std::string &name) const {
    auto it = index_.find(name);
    return it == index_.end() ? nullptr : &nodes_[it->second];
}

}  // namespace vh
