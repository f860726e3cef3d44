#!/usr/bin/env bash
# Builds vekobase and the reference host, then renders the surface-model row
# (scenes/materials.json) to docs/materials.png.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target vekohost_cli vekobase
./build/bin/vekohost render scenes/materials.json -o docs/materials.png "$@"
