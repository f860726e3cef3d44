// "Veko" user-data blocks as the library reads them: the input's words go
// into the object, camera and options data of a tiny scene whose state
// shader, surface and texture read them; the scene is rendered.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vf::userdata(vf::library(), data, size);
    return 0;
}
