#!/usr/bin/env bash
# Bakes the ball of scenes/bake.json (lit only by the sky image) into
# scenes/textures/ball_lightmap.exr, then renders scenes/bake_view.json
# (left: the ball lit directly; right: the same ball unlit, showing the
# baked map as a file texture) to docs/bake.png, and renders the ball's map
# through the light-map lens shader (scenes/bake_lens.json) to
# docs/bake_lens.png.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target vekohost_cli vekobase
./build/bin/vekohost bake scenes/bake.json --object ball --post post --size 256 --threads 2 \
    -o scenes/textures/ball_lightmap.exr
./build/bin/vekohost render scenes/bake_view.json -o docs/bake.png "$@"
./build/bin/vekohost render scenes/bake_lens.json -o docs/bake_lens.png
