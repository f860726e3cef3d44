// The suites' entry point: runs the tests, then, in sanitizer builds, the
// leak check. A suite that loaded the general image module (the suites that
// read TIFF, HDR and the like in-process) ends without it: a library that
// module pulls in runs worker threads of its own, and the leak checker's
// thread-stopping tracer has crashed on them (a fault of the checker, seen
// at random). AddressSanitizer still checks those suites' memory accesses;
// every other suite gets the full leak check.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#define VEKO_LEAK_CHECK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VEKO_LEAK_CHECK 1
#endif
#endif
#ifdef VEKO_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

#ifdef VEKO_LEAK_CHECK
namespace {

bool imageModuleLoaded() {
    std::ifstream maps("/proc/self/maps");
    std::stringstream s;
    s << maps.rdbuf();
    return s.str().find("libvekohost_oiio.so") != std::string::npos;
}

}  // namespace
#endif

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
#ifdef VEKO_LEAK_CHECK
    if (imageModuleLoaded()) {
        std::fprintf(stderr, "leak check skipped: the image module's libraries run threads the checker cannot stop\n");
        std::fflush(nullptr);
        _exit(rc);
    }
    __lsan_do_leak_check();  // reports and exits non-zero on a leak; later checks are no-ops
#endif
    return rc;
}
