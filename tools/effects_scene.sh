#!/usr/bin/env bash
# Builds vekobase and the reference host, then renders the output-effects
# scene (depth of field, an image plane behind the scene, a glowing lamp with
# a halo) to docs/effects.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target vekohost_cli vekobase
./build/bin/vekohost render scenes/effects.json -o docs/effects.png "$@"
