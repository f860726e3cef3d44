// A second host module for xhost's binding check: it exports only
// xr_warning and keeps the last text it was given.
#include <cstdarg>
#include <cstdio>

#if defined(_WIN32)
#define XH_EXPORT extern "C" __declspec(dllexport)
#else
#define XH_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace {
char g_last[1024];
}

XH_EXPORT void xr_warning(const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(g_last, sizeof g_last, fmt, ap);
    va_end(ap);
}

XH_EXPORT const char *xhost_alt_last() { return g_last; }
