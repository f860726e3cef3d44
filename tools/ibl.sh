#!/usr/bin/env bash
# Renders the procedural sky into the environment image
# scenes/textures/sky_latlong.exr, then the scene lit only by that image
# (scenes/ibl.json) to docs/ibl.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target vekohost_cli vekobase veko_makesky
./build/bin/veko_makesky scenes/textures/sky_latlong.exr 256 128
./build/bin/vekohost render scenes/ibl.json -o docs/ibl.png "$@"
