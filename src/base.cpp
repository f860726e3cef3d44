// Library-wide pieces: the version functions of every exported shader and the
// version shader.
#include "vekobase.h"

#define VEKO_NODE(name, version) VEKO_VERSION(name, version)
#include "versions.def"
#undef VEKO_NODE

// Result of vekobase_version: the library's major and minor version.
VEKO_EXPORT xrBoolean vekobase_version(void *result, xrState *, void *) {
    int32_t *out = static_cast<int32_t *>(result);
    out[0] = 9;
    out[1] = 5;
    return 1;
}
