#!/usr/bin/env bash
# Renders every solid (3D) texture of the library on a sphere with the
# reference renderer (vekohost render), a few parameter settings each, and
# assembles the frames into one labelled sheet, docs/solid_sheet.png: one row
# per texture.
#
#   tools/solid_sheet.sh [output.png]
#
# The sphere (radius 1) sits in the texture's unit cube (identity placement)
# and is lit by a key and a fill light; the texture drives the colour of a
# lambert material. BUILD_DIR selects the build to use (default: build,
# configured as Release when it does not exist yet). Needs jq and oiiotool.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/sheet_common.sh

out=${1:-docs/solid_sheet.png}
size=128
label_height=18
columns=4

sheet_build

# The scene around texture node "tex"; its type and parameters are filled in
# per variant.
scene=$(cat <<EOF
{"nodes": [
  {"name": "st", "type": "veko_state"},
  {"name": "tex", "type": "", "params": {}},
  {"name": "surf", "type": "veko_lambert", "params": {"color": "tex.outColor", "diffuse": 0.9}},
  {"name": "sg", "type": "veko_shadingengine", "params": {"surfaceShader": "surf"}},
  {"name": "keyLight", "type": "veko_directionallight", "params": {"intensity": 1.0, "useRayTraceShadows": 0}},
  {"name": "fillLight", "type": "veko_ambientlight", "params": {"intensity": 0.3, "ambientShade": 0.5}}],
 "camera": {"type": "perspective", "resolution": [$size, $size], "focalLength": 50, "aperture": 36,
            "samples": 4, "filter": {"type": "gaussian", "width": 2},
            "transform": {"lookAt": {"eye": [0, 0.9, 3.6], "target": [0, 0, 0], "up": [0, 1, 0]}}},
 "options": {"trace": true},
 "state": "st",
 "objects": [{"name": "ball", "mesh": {"type": "sphere", "radius": 1, "segments": 64, "rings": 32},
              "material": "sg"}],
 "lights": [{"name": "key", "shader": "keyLight", "transform": {"lookAt": {"eye": [-3, 4, 5], "target": [0, 0, 0]}}},
            {"name": "fill", "shader": "fillLight", "transform": {"translate": [0, 5, 0]}}]}
EOF
)

# texture | label | parameters of node "tex"
variants=$(cat <<'EOF'
brownian|brownian| {}
brownian|lacunarity 2, 8 oct.| {"lacunarity": 2, "octaves": 8}
brownian|increment 0.2| {"increment": 0.2, "octaves": 6}
brownian|weight3d (4, 0.5, 4)| {"weight3d": [4, 0.5, 4]}
cloud|cloud| {}
cloud|contrast 1, ripples 3| {"contrast": 1, "ripples": [3, 3, 3]}
cloud|colours, amplitude 2| {"color1": [0.1, 0.2, 0.6, 1], "color2": [1, 1, 1, 1], "amplitude": 2}
cloud|darkenByAlpha| {"darkenByAlpha": true}
crater|crater| {}
crater|frequency 6| {"frequency": 6}
crater|balance 2, shaker 3| {"balance": 2, "shaker": 3}
crater|melt 0.1| {"melt": 0.1}
granite|granite| {}
granite|no creases| {"creases": false}
granite|cellSize 0.4, mix 0.8| {"cellSize": 0.4, "mixRatio": 0.8}
granite|threshold 0.9| {"threshold": 0.9, "cellSize": 0.3}
leather|leather| {}
leather|cellSize 0.2| {"cellSize": 0.2}
leather|threshold 0.5| {"threshold": 0.5}
leather|no creases| {"creases": false}
marble|marble| {}
marble|vein width 0.3| {"veinWidth": 0.3}
marble|amplitude 0| {"amplitude": 0}
marble|ripples 4, depth 3| {"ripples": [4, 4, 4], "depthMax": 3}
rock|rock| {}
rock|grainSize 0.05| {"grainSize": 0.05}
rock|diffusion 0.5| {"grainSize": 0.05, "diffusion": 0.5}
rock|mixRatio 0.3| {"grainSize": 0.05, "mixRatio": 0.3}
snow|snow| {}
snow|threshold 0| {"threshold": 0}
snow|thickness 0.5| {"thickness": 0.5, "threshold": 0.2}
snow|depthDecay 1| {"depthDecay": 1, "threshold": 0}
solidfractal|solid fractal| {}
solidfractal|ripples 3| {"ripples": [3, 3, 3]}
solidfractal|inflection, threshold 0.6| {"inflection": true, "ripples": [2, 2, 2], "threshold": 0.6}
solidfractal|bias 0.6, ratio 0.9| {"bias": 0.6, "ratio": 0.9}
stucco|stucco| {}
stucco|shaker 60| {"shaker": 60}
stucco|shaker 5| {"shaker": 5}
stucco|colours| {"color1": [0.95, 0.85, 0.6, 1], "color2": [0.5, 0.3, 0.2, 1]}
volumenoise|billow| {}
volumenoise|classic| {"noiseType": 0}
volumenoise|wave| {"noiseType": 2}
volumenoise|wispy| {"noiseType": 3, "time": 0.5}
wood|wood| {}
wood|layerSize 0.1| {"layerSize": 0.1}
wood|randomness 1, age 40| {"randomness": 1, "age": 40, "layerSize": 0.025}
wood|no grain, amp. 0.3| {"grainContrast": 0, "amplitudeX": 0.3, "amplitudeY": 0.3}
woodgrain|woodgrain| {}
woodgrain|rings 20| {"rings": 20}
woodgrain|grain 0.7| {"grainAmount": 0.7}
woodgrain|distortion 2| {"distortion": 2}
EOF
)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tiles=()
i=0
while IFS='|' read -r texture label params; do
  [ -z "$texture" ] && continue
  jq --arg type "veko_$texture" --argjson p "$params" \
    '.nodes |= map(if .name == "tex" then .type = $type | .params = $p else . end)' \
    <<<"$scene" >"$tmp/scene_$i.json"
  frame="$tmp/frame_$i.png"
  "$host" -v 1 render "$tmp/scene_$i.json" -o "$frame" --threads 2 -q 2>"$tmp/log" >/dev/null \
    || { cat "$tmp/log" >&2; echo "failed: $texture: $label" >&2; exit 1; }
  tile="$tmp/tile_$i.png"
  sheet_tile "$frame" "R,G,B" "$size" "$size" "$texture: $label" "$tile"
  tiles+=("$tile")
  i=$((i + 1))
done <<<"$variants"

sheet_mosaic "$columns" "$out" "${tiles[@]}"
echo "wrote $out (${#tiles[@]} renders)"
