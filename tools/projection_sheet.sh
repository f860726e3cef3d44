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
. tools/sheet_common.sh

out=${1:-docs/projections.png}
sheet_build

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$host" render scenes/projections.json -o "$tmp/render.png" -q

args=("$tmp/render.png" --ch R,G,B)
i=0
for name in "1 planar" "2 spherical" "3 cylindrical" "4 ball" "5 cubic" "6 triplanar" "7 concentric" "8 perspective"; do
  x=$(((i % 4) * 160 + 6))
  y=$(((i / 4) * 170 + 16))
  args+=(--text:"$(sheet_text_opts $x $y 13)" "$name")
  i=$((i + 1))
done
mkdir -p "$(dirname "$out")"
oiiotool "${args[@]}" -o "$out"
echo "wrote $out"
