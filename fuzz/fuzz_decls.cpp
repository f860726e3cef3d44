// Node declaration files: the parser and layout of parameter and result
// blocks.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vf::decls(vf::library(), data, size);
    return 0;
}
