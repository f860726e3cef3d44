#!/usr/bin/env bash
# Renders the animated example scene (scenes/animated.json) as a frame
# sequence and assembles every fourth frame into one labelled strip,
# docs/animation_strip.png. The frames themselves are left in a temporary
# directory (printed at the end).
#
#   tools/animation_strip.sh [output.png]
#
# BUILD_DIR selects the build to use (default: build, configured as Release
# when it does not exist yet). Needs oiiotool.
set -euo pipefail
cd "$(dirname "$0")/.."

out=${1:-docs/animation_strip.png}
build=${BUILD_DIR:-build}
frames_dir=$(mktemp -d "${TMPDIR:-/tmp}/vekoanim.XXXXXX")

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build" -j2 --target vekohost_cli vekobase >/dev/null
host="$build/bin/vekohost"

# The whole sequence, one file per frame: animated.0001.png ... animated.0024.png.
"$host" render scenes/animated.json -o "$frames_dir/animated.####.png" --frames 1-24 --quiet

font=""
if command -v fc-match >/dev/null; then
  font=$(fc-match -f '%{file}' 'DejaVu Sans Condensed' 2>/dev/null || true)
fi

# Each picked frame over a sky colour (the scene has no environment), with
# its frame number.
tiles=()
for f in 1 5 9 13 17 21; do
  n=$(printf '%04d' "$f")
  tile="$frames_dir/tile.$n.png"
  text_opts="x=6:y=18:size=14:color=1,1,1"
  [ -n "$font" ] && text_opts="$text_opts:font=$font"
  oiiotool "$frames_dir/animated.$n.png" --pattern constant:color=0.55,0.68,0.85,1 320x200 4 --over \
    --text:"$text_opts" "frame $f" --ch R,G,B -o "$tile"
  tiles+=("$tile")
done
mkdir -p "$(dirname "$out")"
oiiotool "${tiles[@]}" --mosaic:pad=2 3x2 -o "$out"
echo "wrote $out (frames in $frames_dir)"
