// Loading the shader library: dlopen, hand it the host module, read its node
// declarations and check every declared version against _version.
#include <dlfcn.h>

#include <cstdlib>
#include <filesystem>

#include "vekohost/host.h"

namespace vh {

std::string Library::defaultPath() {
    if (const char *p = std::getenv("VEKOBASE_LIBRARY")) return p;
#ifdef VEKOBASE_DEFAULT_PATH
    if (std::filesystem::exists(VEKOBASE_DEFAULT_PATH)) return VEKOBASE_DEFAULT_PATH;
#endif
    // Beside the host library / program.
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&Library::defaultPath), &info) && info.dli_fname) {
        auto dir = std::filesystem::path(info.dli_fname).parent_path();
        for (auto p : {dir / "libvekobase.so", dir / ".." / "lib" / "libvekobase.so"})
            if (std::filesystem::exists(p)) return p.string();
    }
    return "libvekobase.so";
}

Library::Library(const std::string &path, const std::string &declPath) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) throw Error(std::string("cannot load shader library: ") + dlerror());
    auto setHandle = reinterpret_cast<void (*)(void *)>(dlsym(handle_, "xrSetModuleHandle"));
    if (!setHandle) {
        dlclose(handle_);
        throw Error(path + ": not a shader library (no xrSetModuleHandle)");
    }
    // The host module: the global scope of the process, where this host
    // library's xr_* operations are exported.
    setHandle(dlopen(nullptr, RTLD_NOW));

    std::string decl = declPath;
    if (decl.empty()) decl = (std::filesystem::path(path).parent_path() / "vekobase.nodes.json").string();
    decls_.load(decl);
    for (const auto &d : decls_.nodes()) {
        auto v = reinterpret_cast<ShaderVersion>(dlsym(handle_, (d.name + "_version").c_str()));
        if (!v) throw Error(decl + ": node " + d.name + " is declared but " + path + " exports no " + d.name + "_version");
        int got = v();
        if (got != d.version)
            throw Error(decl + ": node " + d.name + " is declared with version " + std::to_string(d.version) +
                        " but the library reports version " + std::to_string(got));
    }
}

Library::~Library() {
    if (handle_) dlclose(handle_);
}

void *Library::symbol(const std::string &name) const { return dlsym(handle_, name.c_str()); }

const ShaderFunctions &Library::functions(const std::string &node) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = fns_.find(node);
    if (it != fns_.end()) return it->second;
    ShaderFunctions f;
    f.main = reinterpret_cast<ShaderMain>(symbol(node));
    if (!f.main) throw Error("shader library exports no shader \"" + node + "\"");
    f.init = reinterpret_cast<ShaderInit>(symbol(node + "_init"));
    f.exit = reinterpret_cast<ShaderExit>(symbol(node + "_exit"));
    f.version = reinterpret_cast<ShaderVersion>(symbol(node + "_version"));
    return fns_[node] = f;
}

}  // namespace vh
