#!/usr/bin/env bash
# Renders scenes/geometry.json (a box, a cone and a sphere from the geometry
# shaders on a ground displaced by a noise texture) into docs/geometry.png.
#
#   tools/geometry_scene.sh [output.png]
#
# BUILD_DIR selects the build to use (default: build, configured as Release
# when it does not exist yet).
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-docs/geometry.png}
build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target vekohost_cli vekobase >/dev/null
mkdir -p "$(dirname "$out")"
"$build/bin/vekohost" render scenes/geometry.json -o "$out" -q
