#!/usr/bin/env bash
# Renders the environment shaders through a wide camera (about 127 degrees
# across) with a small mirror ball in front of it, and assembles one
# labelled sheet, docs/environment_sheet.png: the sky at several sun
# heights in the first row, the five environment types in the second.
#
#   tools/environment_sheet.sh [output.png]
#
# BUILD_DIR selects the build to use (default: build, configured as Release
# when it does not exist yet). Needs jq and oiiotool.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/sheet_common.sh

out=${1:-docs/environment_sheet.png}
width=256
height=160
label_height=18
columns=5

sheet_build

# The scene around every panel: the state shader, a mirror ball below the
# view's centre, and a wide camera looking along -z, slightly up.
base=$(cat <<EOF
{"nodes": [
   {"name": "state", "type": "veko_state"},
   {"name": "mirror", "type": "veko_phong",
    "params": {"color": [0, 0, 0, 1], "diffuse": 0, "specularColor": [1, 1, 1, 1], "reflectivity": 1}},
   {"name": "mirrorSG", "type": "veko_shadingengine", "params": {"surfaceShader": "mirror"}}],
 "camera": {"type": "perspective", "resolution": [$width, $height], "focalLength": 9, "aperture": 36,
            "transform": {"lookAt": {"eye": [0, 1, 0], "target": [0, 1.4, -5], "up": [0, 1, 0]}},
            "samples": 4, "environment": "env", "alpha": false},
 "options": {"trace": true, "reflectionDepth": 2, "traceDepth": 4},
 "state": "state",
 "objects": [{"name": "ball", "mesh": {"type": "sphere", "radius": 0.35, "segments": 48, "rings": 24},
              "transform": {"translate": [0, 0.75, -1.6]}, "material": "mirrorSG"}]}
EOF
)

# Sun at elevation e (radians), a little to the right of the view.
sky() {
  echo "[{\"name\": \"env\", \"type\": \"veko_envsky\", \"params\": {\"sunElevation\": $1, \"sunAzimuth\": 0.35 $2}}]"
}
clouds='[{"name": "cloudNoise", "type": "veko_fractal", "params": {"amplitude": 0.7, "ratio": 0.6}},
         {"name": "env", "type": "veko_envsky",
          "params": {"sunElevation": 0.3, "sunAzimuth": 0.35, "hasClouds": 1, "cloudTexture": "cloudNoise.outAlpha",
                     "cloudDensity": 1.6, "cloudThreshold": 0.1, "cloudPower": 2,
                     "hasFloor": 1, "floorColor": [0.25, 0.27, 0.2, 1], "floorAltitude": 0}}]'
ball='[{"name": "ballPlace", "type": "veko_place2dtex", "params": {"repeatUV": [6, 6, 0]}},
       {"name": "ballImage", "type": "veko_checker",
        "params": {"uvCoord": "ballPlace.outUV", "uvFilterSize": "ballPlace.outUvFilterSize",
                   "color1": [0.95, 0.7, 0.25, 1], "color2": [0.15, 0.25, 0.55, 1]}},
       {"name": "env", "type": "veko_envball", "params": {"image": "ballImage.outColor", "azimuthAngle": 3.1416}}]'
chrome='[{"name": "env", "type": "veko_envchrome", "params": {}}]'
cube='[{"name": "facePlace", "type": "veko_place2dtex", "params": {"repeatUV": [4, 4, 0]}}'
faces=(imageNegX:0.8,0.25,0.2 imagePosX:0.9,0.6,0.2 imagePosY:0.35,0.55,0.95 imageNegY:0.3,0.3,0.3
       imagePosZ:0.3,0.75,0.35 imageNegZ:0.75,0.35,0.8)
cube_params=""
for f in "${faces[@]}"; do
  name=${f%%:*}
  rgb=${f#*:}
  cube="$cube, {\"name\": \"$name\", \"type\": \"veko_grid\",
    \"params\": {\"uvCoord\": \"facePlace.outUV\", \"uvFilterSize\": \"facePlace.outUvFilterSize\",
                \"fillerColor\": [$rgb, 1], \"lineColor\": [1, 1, 1, 1], \"uWidth\": 0.08, \"vWidth\": 0.08}}"
  cube_params="$cube_params, \"$name\": \"$name.outColor\""
done
cube="$cube, {\"name\": \"env\", \"type\": \"veko_envcube\", \"params\": {\"infiniteSize\": 1 $cube_params}}]"
sphere='[{"name": "latLong", "type": "veko_place2dtex", "params": {"repeatUV": [12, 6, 0]}},
         {"name": "latLongRamp", "type": "veko_ramp",
          "params": {"colorEntryList": [{"position": 0.3, "color": [0.35, 0.2, 0.1, 1]},
                                        {"position": 0.5, "color": [0.9, 0.6, 0.3, 1]},
                                        {"position": 0.7, "color": [0.2, 0.4, 0.85, 1]}]}},
         {"name": "latLongGrid", "type": "veko_grid",
          "params": {"uvCoord": "latLong.outUV", "uvFilterSize": "latLong.outUvFilterSize",
                     "fillerColor": "latLongRamp.outColor", "lineColor": [0.05, 0.05, 0.05, 1],
                     "uWidth": 0.06, "vWidth": 0.06}},
         {"name": "env", "type": "veko_envsphere", "params": {"image": "latLongGrid.outColor"}}]'
color='[{"name": "env", "type": "veko_envcolor", "params": {"color": [0.35, 0.5, 0.7, 1]}}]'

panels=(
  "sky: sun at 60 deg|$(sky 1.05 '')"
  "sky: sun at 25 deg|$(sky 0.44 '')"
  "sky: sun at 8 deg|$(sky 0.14 '')"
  "sky: sun at 2 deg|$(sky 0.035 '')"
  "sky: clouds and ground|$clouds"
  "envball: checker, turned|$ball"
  "envchrome|$chrome"
  "envcube: six grids|$cube"
  "envsphere: lat-long grid|$sphere"
  "envcolor|$color"
)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tiles=()
i=0
for panel in "${panels[@]}"; do
  label=${panel%%|*}
  nodes=${panel#*|}
  jq --argjson extra "$nodes" '.nodes += $extra' <<<"$base" >"$tmp/scene_$i.json"
  "$host" -v 1 render "$tmp/scene_$i.json" -o "$tmp/panel_$i.png" 2>"$tmp/log" \
    || { cat "$tmp/log" >&2; echo "failed: $label" >&2; exit 1; }
  tile="$tmp/tile_$i.png"
  sheet_tile "$tmp/panel_$i.png" "R,G,B" "$width" "$height" "$label" "$tile"
  tiles+=("$tile")
  i=$((i + 1))
done

sheet_mosaic "$columns" "$out" "${tiles[@]}"
echo "wrote $out (${#tiles[@]} panels)"
