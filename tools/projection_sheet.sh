#!/usr/bin/env bash
# Renders the eight projection types of veko_projection (scenes/projections.json:
# one checker projected onto eight spheres) and labels each sphere with its
# type, giving docs/projections.png.
#
#   tools/projection_sheet.sh [output.png]
#
# BUILD_DIR selects the build to use (default: build, configured as Release
# when it does not exist yet). Needs oiiotool.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-docs/projections.png}
build=${BUILD_DIR:-build}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target vekohost_cli vekobase >/dev/null

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/bin/vekohost" render scenes/projections.json -o "$tmp/render.png" -q

font=""
if command -v fc-match >/dev/null; then
  font=$(fc-match -f '%{file}' 'DejaVu Sans Condensed' 2>/dev/null || true)
fi
args=("$tmp/render.png" --ch R,G,B)
i=0
for name in "1 planar" "2 spherical" "3 cylindrical" "4 ball" "5 cubic" "6 triplanar" "7 concentric" "8 perspective"; do
  x=$(((i % 4) * 160 + 6))
  y=$(((i / 4) * 170 + 16))
  opts="x=$x:y=$y:size=13:color=1,1,1"
  [ -n "$font" ] && opts="$opts:font=$font"
  args+=(--text:"$opts" "$name")
  i=$((i + 1))
done
mkdir -p "$(dirname "$out")"
oiiotool "${args[@]}" -o "$out"
echo "wrote $out"
