// Opens libvekohost_vdb.so from the directory of the host library itself.
#include "vdb_module.h"

#include <dlfcn.h>

#include <filesystem>
#include <mutex>
#include <string>

#include "vekohost/host.h"

namespace vh {

namespace {

std::string moduleDirectory() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void *>(&vdbModule), &info) && info.dli_fname)
        return std::filesystem::path(info.dli_fname).parent_path().string();
    return ".";
}

}  // namespace

const VhVdbApi &vdbModule() {
    static const VhVdbApi *api = nullptr;
    static std::string failure;
    static std::once_flag once;
    std::call_once(once, [] {
        const std::string path = (std::filesystem::path(moduleDirectory()) / "libvekohost_vdb.so").string();
        void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            const char *why = dlerror();
            failure = path + ": cannot load the volume-file module: " + (why ? why : "unknown error");
            return;
        }
        auto get = reinterpret_cast<const VhVdbApi *(*)()>(dlsym(handle, "vekohost_vdb_api"));
        const VhVdbApi *a = get ? get() : nullptr;
        if (!a || a->version < kVhVdbApiVersion) {
            failure = path + ": not a volume-file module of this version";
            return;
        }
        api = a;  // kept loaded for the life of the process
    });
    if (!api) throw Error(failure);
    return *api;
}

}  // namespace vh
