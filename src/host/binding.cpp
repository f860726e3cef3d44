// Lazily bound host forwarders. Every host operation the library calls has a
// forwarder of the same name here; on first use it looks the real function up
// by name in the host module handed over with xrSetModuleHandle and caches the
// address in a lock-free table. The forwarders are hidden so that, inside the
// library, calls resolve to them while dlsym on the host module finds the
// host's own functions.
//
// Platform specifics (the symbol lookup and its error code, and the Windows
// module entry) are confined to this file.
#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "vekobase.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <errno.h>
#endif

namespace {

std::atomic<void *> g_moduleHandle{nullptr};

enum BindIndex {
#define XR_FN(ret, name, params, args) IDX_##name,
#define XR_VFN(name, params, args) IDX_##name,
#include "xr_functions.def"
#undef XR_FN
#undef XR_VFN
    IDX_xr_fatal,
    IDX_xr_error,
    IDX_xr_warning,
    IDX_xr_info,
    IDX_xr_progress,
    IDX_xr_debug,
    IDX_xr_nfatal,
    IDX_xr_nerror,
    IDX_xr_nwarning,
    IDX_COUNT
};

std::atomic<void *> g_table[IDX_COUNT];

// Looks `name` up in the host module; on failure *error receives the
// platform's error code.
void *lookupSymbol(void *handle, const char *name, int *error) {
#if defined(_WIN32)
    // A null handle is looked up as well: GetProcAddress then searches the
    // process's executable, never this library (its forwarders are not
    // exported), so it cannot bind a forwarder to itself.
    SetLastError(0);
    void *p = reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(handle), name));
    *error = p ? 0 : static_cast<int>(GetLastError());
    return p;
#else
    // dlsym(NULL) would search the global scope; without a host module the
    // lookup fails. dlsym has no numeric error code; report errno-style
    // ENOENT for a missing symbol so the line keeps its shape.
    if (!handle) {
        *error = ENOENT;
        return nullptr;
    }
    dlerror();
    void *p = dlsym(handle, name);
    *error = p ? 0 : ENOENT;
    return p;
#endif
}

// Returns the bound address of host function `name`, binding it if needed.
// A failed lookup leaves the entry empty so the next call tries again.
void *bind(int index, const char *name) {
    void *fn = g_table[index].load(std::memory_order_acquire);
    if (fn) return fn;
    void *handle = g_moduleHandle.load(std::memory_order_acquire);
    if (!handle) fprintf(stderr, "DYNLOAD: dl_handle null\n");
    int error = 0;
    fn = lookupSymbol(handle, name, &error);
    if (!fn) {
        fprintf(stderr, "dlsym failed on \"%s\" (handle: %08x error: %d)\n", name,
                static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle) & 0xffffffffu), error);
        return nullptr;
    }
    g_table[index].store(fn, std::memory_order_release);
    return fn;
}

}  // namespace

extern "C" {

#if defined(_WIN32)
// Module entry: thread attach and detach notices are turned off; all set-up
// happens in xrSetModuleHandle and the shaders' _init calls.
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    return TRUE;
}
#endif

VEKO_EXPORT void xrSetModuleHandle(void *handle) {
    g_moduleHandle.store(handle, std::memory_order_release);
    for (auto &e : g_table) e.store(nullptr, std::memory_order_release);
}

// Forwarders. A failed binding returns a zero result (false, null, 0).
// Once bound, a forwarder is a load, a test and a jump to the host: the
// binding itself lives in a separate cold function per operation, so the
// frequent path saves no registers.
#define XR_FN(ret, name, params, args)                                  \
    __attribute__((noinline, cold)) static ret name##_bound params {    \
        using R = ret;                                                  \
        using Fn = R(*) params;                                         \
        auto fn = reinterpret_cast<Fn>(bind(IDX_##name, #name));        \
        if (!fn) return R{};                                            \
        return fn args;                                                 \
    }                                                                   \
    VEKO_HIDDEN ret name params {                                       \
        using Fn = ret(*) params;                                       \
        auto fn = reinterpret_cast<Fn>(                                 \
            g_table[IDX_##name].load(std::memory_order_acquire));       \
        if (__builtin_expect(fn != nullptr, 1)) return fn args;         \
        return name##_bound args;                                       \
    }
#define XR_VFN(name, params, args)                                      \
    __attribute__((noinline, cold)) static void name##_bound params {   \
        using Fn = void(*) params;                                      \
        auto fn = reinterpret_cast<Fn>(bind(IDX_##name, #name));        \
        if (fn) fn args;                                                \
    }                                                                   \
    VEKO_HIDDEN void name params {                                      \
        using Fn = void(*) params;                                      \
        auto fn = reinterpret_cast<Fn>(                                 \
            g_table[IDX_##name].load(std::memory_order_acquire));       \
        if (__builtin_expect(fn != nullptr, 1)) return fn args;         \
        name##_bound args;                                              \
    }
#include "xr_functions.def"
#undef XR_FN
#undef XR_VFN

// Message forwarders: the text is formatted here into a 1024-byte buffer and
// the host receives only the finished text, passed as an argument to "%s" so
// that a '%' inside it is never read as a format again.
#define XR_MSG(name)                                                    \
    VEKO_HIDDEN void name(const char *fmt, ...) {                       \
        char buf[1024];                                                 \
        va_list ap;                                                     \
        va_start(ap, fmt);                                              \
        vsnprintf(buf, sizeof buf, fmt, ap);                            \
        va_end(ap);                                                     \
        using Fn = void (*)(const char *, ...);                         \
        auto fn = reinterpret_cast<Fn>(bind(IDX_##name, #name));        \
        if (fn) fn("%s", buf);                                          \
    }
#define XR_NMSG(name)                                                   \
    VEKO_HIDDEN void name(int32_t number, const char *fmt, ...) {       \
        char buf[1024];                                                 \
        va_list ap;                                                     \
        va_start(ap, fmt);                                              \
        vsnprintf(buf, sizeof buf, fmt, ap);                            \
        va_end(ap);                                                     \
        using Fn = void (*)(int32_t, const char *, ...);                \
        auto fn = reinterpret_cast<Fn>(bind(IDX_##name, #name));        \
        if (fn) fn(number, "%s", buf);                                  \
    }
XR_MSG(xr_fatal)
XR_MSG(xr_error)
XR_MSG(xr_warning)
XR_MSG(xr_info)
XR_MSG(xr_progress)
XR_MSG(xr_debug)
XR_NMSG(xr_nfatal)
XR_NMSG(xr_nerror)
XR_NMSG(xr_nwarning)

VEKO_HIDDEN void xr_vdebug(const char *fmt, va_list ap) {
    char buf[1024];
    vsnprintf(buf, sizeof buf, fmt, ap);
    using Fn = void (*)(const char *, ...);
    // The finished text goes to the host's xr_debug: a va_list cannot be
    // handed across as "%s" arguments.
    auto fn = reinterpret_cast<Fn>(bind(IDX_xr_debug, "xr_debug"));
    if (fn) fn("%s", buf);
}

}  // extern "C"
