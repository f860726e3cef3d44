// OBJ meshes: a scene with one OBJ object, loaded and rendered.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vf::obj(vf::library(), data, size);
    return 0;
}
