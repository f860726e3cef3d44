#!/usr/bin/env bash
# Builds vekobase and the reference host, then renders the showcase scene to
# showcase.png and showcase.exr in the current checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target vekohost_cli vekobase
./build/bin/vekohost render scenes/showcase.json -o showcase.png -o showcase.exr "$@"
