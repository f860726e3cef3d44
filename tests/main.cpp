// The suites' entry point: runs the tests, then, in sanitizer builds, the
// leak check while every thread is still idle. Libraries that the image
// module pulls in stop their worker threads during exit, and the leak check
// that would otherwise run at exit can race with those threads.
#include <gtest/gtest.h>

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

int main(int argc, char **argv) {
    testing::InitGoogleTest(&argc, argv);
    const int rc = RUN_ALL_TESTS();
#ifdef VEKO_LEAK_CHECK
    __lsan_do_leak_check();  // reports and exits non-zero on a leak; later checks are no-ops
#endif
    return rc;
}
