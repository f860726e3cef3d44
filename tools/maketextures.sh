#!/usr/bin/env bash
# Builds the texture tool and redraws the scenes' texture images into
# scenes/textures/.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target veko_maketextures
mkdir -p scenes/textures
./build/bin/veko_maketextures scenes/textures
