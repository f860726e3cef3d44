// Network files: load, then shade a small swatch of every node that the
// command line's shade subcommand could be asked for.
#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    vf::network(vf::library(), data, size);
    return 0;
}
