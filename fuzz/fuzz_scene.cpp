// Scene files: parse, load and render a few pixels.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vf::scene(vf::library(), data, size);
    return 0;
}
