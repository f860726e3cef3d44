// Messages from the library and the host: printed to standard error by
// severity and verbosity, optionally captured for tests.
#include <cstdarg>
#include <cstdio>

#include "vekohost/host.h"

namespace vh {
namespace {
std::mutex g_mutex;
int g_verbosity = 2;
bool g_capture = false;
std::vector<Message> g_captured;
std::function<void(const Message &)> g_hook;

const char *prefix(Severity s) {
    switch (s) {
        case Severity::Fatal: return "fatal: ";
        case Severity::Error: return "error: ";
        case Severity::Warning: return "warning: ";
        case Severity::Info: return "";
        case Severity::Progress: return "";
        case Severity::Debug: return "debug: ";
    }
    return "";
}
int level(Severity s) {
    switch (s) {
        case Severity::Fatal:
        case Severity::Error: return 0;
        case Severity::Warning: return 1;
        case Severity::Info:
        case Severity::Progress: return 2;
        case Severity::Debug: return 3;
    }
    return 3;
}
}  // namespace

void setVerbosity(int v) { g_verbosity = v; }

void captureMessages(bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_capture = on;
    g_captured.clear();
}

std::vector<Message> takeMessages() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Message> out;
    out.swap(g_captured);
    return out;
}

void setMessageHook(std::function<void(const Message &)> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_hook = std::move(hook);
}

void hostMessage(Severity s, const std::string &text) {
    std::function<void(const Message &)> hook;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_capture) g_captured.push_back({s, text});
        if (level(s) <= g_verbosity && !(g_capture && g_verbosity < 3))
            fprintf(stderr, "%s%s\n", prefix(s), text.c_str());
        hook = g_hook;
    }
    if (hook) hook({s, text});
}

}  // namespace vh

namespace {
std::string format(const char *fmt, va_list ap) {
    char buf[4096];
    vsnprintf(buf, sizeof buf, fmt, ap);
    return buf;
}
}  // namespace

#define VH_MESSAGE(name, sev)                              \
    extern "C" void name(const char *fmt, ...) {           \
        va_list ap;                                        \
        va_start(ap, fmt);                                 \
        vh::hostMessage(sev, format(fmt, ap));             \
        va_end(ap);                                        \
    }
#define VH_NMESSAGE(name, sev)                                               \
    extern "C" void name(int32_t number, const char *fmt, ...) {             \
        va_list ap;                                                          \
        va_start(ap, fmt);                                                   \
        vh::hostMessage(sev, std::to_string(number) + ": " + format(fmt, ap)); \
        va_end(ap);                                                          \
    }

VH_MESSAGE(xr_fatal, vh::Severity::Fatal)
VH_MESSAGE(xr_error, vh::Severity::Error)
VH_MESSAGE(xr_warning, vh::Severity::Warning)
VH_MESSAGE(xr_info, vh::Severity::Info)
VH_MESSAGE(xr_progress, vh::Severity::Progress)
VH_MESSAGE(xr_debug, vh::Severity::Debug)
VH_NMESSAGE(xr_nfatal, vh::Severity::Fatal)
VH_NMESSAGE(xr_nerror, vh::Severity::Error)
VH_NMESSAGE(xr_nwarning, vh::Severity::Warning)
