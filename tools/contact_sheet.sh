#!/usr/bin/env bash
# Renders every 2D texture of the library with a few parameter settings each,
# then the layered texture's blend modes and the remap nodes (the swatch
# networks in scenes/swatches/, node "tex"), and assembles them into one
# labelled sheet, docs/contact_sheet.png: five swatches a row.
#
#   tools/contact_sheet.sh [output.png]
#
# BUILD_DIR selects the build to use (default: build, configured as Release
# when it does not exist yet). Needs jq and oiiotool.
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/sheet_common.sh

out=${1:-docs/contact_sheet.png}
size=128
label_height=18
columns=5

sheet_build

# texture | label | result field ("" = outColor) | parameters per node
variants=$(cat <<'EOF'
checker|checker|| {}
checker|contrast 0.4|| {"tex": {"contrast": 0.4}}
checker|colours|| {"tex": {"color1": [0.9, 0.75, 0.2, 1], "color2": [0.15, 0.25, 0.6, 1]}}
checker|rotateUV 0.5|| {"place": {"rotateUV": 0.5}}
checker|filter 0.05|| {"tex": {"filterOffset": 0.05}}
grid|grid|| {}
grid|uWidth 0.3|| {"tex": {"uWidth": 0.3}}
grid|colours|| {"tex": {"lineColor": [0.9, 0.8, 0.3, 1], "fillerColor": [0.2, 0.1, 0.3, 1]}}
grid|contrast 0.5|| {"tex": {"contrast": 0.5}}
grid|filter 0.05|| {"tex": {"filterOffset": 0.05}}
bulge|bulge|| {}
bulge|widths 0.4|| {"tex": {"uWidth": 0.4, "vWidth": 0.4}}
bulge|widths 0.02, 0.3|| {"tex": {"uWidth": 0.02, "vWidth": 0.3}}
bulge|invert|| {"tex": {"invert": true}}
bulge|rotateFrame 0.8|| {"place": {"rotateFrame": 0.8}}
cloth|cloth|| {}
cloth|waves 0.2|| {"tex": {"uWave": 0.2, "vWave": 0.2}}
cloth|randomness 0.5|| {"tex": {"randomness": 0.5, "widthSpread": 0.5}}
cloth|widths 0.4|| {"tex": {"uWidth": 0.4, "vWidth": 0.4}}
cloth|brightSpread 0.6|| {"tex": {"brightSpread": 0.6}}
stencil|stencil|| {}
stencil|mask 0.5|| {"tex": {"mask": 0.5}}
stencil|edgeBlend 0.3|| {"tex": {"edgeBlend": 0.3}}
stencil|key red|| {"tex": {"keyMasking": true, "colorKey": [0.9, 0.2, 0.1, 1], "hueRange": 0.2}}
stencil|positive key|| {"tex": {"keyMasking": true, "positiveKey": true, "colorKey": [0.9, 0.2, 0.1, 1], "hueRange": 0.2}}
ramp|v ramp|| {}
ramp|u, wave, noise|| {"tex": {"rampType": 1, "uWave": 0.1, "noise": 0.2}}
ramp|circular, smooth|| {"tex": {"rampType": 4, "interpolation": 4}}
ramp|radial|| {"tex": {"rampType": 3}}
ramp|box, steps|| {"tex": {"rampType": 5, "interpolation": 0}}
fractal|fractal|| {}
fractal|ratio 0.9|| {"tex": {"ratio": 0.9}}
fractal|inflection|| {"tex": {"inflection": true}}
fractal|bias 0.6|| {"tex": {"bias": 0.6}}
fractal|levelMax 2|| {"tex": {"levelMax": 2}}
mountain|mountain|| {}
mountain|slope 3|| {"tex": {"slopeFactor": 3}}
mountain|slope 0.5|| {"tex": {"slopeFactor": 0.5}}
mountain|height (alpha)|outAlpha| {}
mountain|height, rough 0.7|outAlpha| {"tex": {"snowRoughness": 0.7, "rockRoughness": 0.7}}
noise|billow|| {}
noise|classic|| {"tex": {"noiseType": 0}}
noise|wave|| {"tex": {"noiseType": 2}}
noise|wispy|| {"tex": {"noiseType": 3, "time": 0.5}}
noise|bubble, implode|| {"tex": {"falloff": 3, "density": 0.6, "implode": 0.5}}
ocean|height|| {}
ocean|foam|| {"tex": {"displayMode": 1}}
ocean|preview|| {"tex": {"displayMode": 2}}
ocean|wind (1, 1), t 3|| {"tex": {"displayMode": 2, "windU": 1, "windV": 1, "time": 3}}
ocean|peak 1, turb 1|| {"tex": {"displayMode": 2, "wavePeaking": [{"position": 0, "floatValue": 1, "interp": 1}], "waveTurbulence": [{"position": 0, "floatValue": 1, "interp": 1}]}}
water|water|| {}
water|waves only|| {"tex": {"numberOfDrops": 0}}
water|ripples only|| {"tex": {"numberOfWaves": 0}}
water|12 drops, t 0.6|| {"tex": {"numberOfWaves": 0, "numberOfDrops": 12, "rippleTime": 0.6}}
water|wind, smooth 0|| {"tex": {"windU": 1, "windV": 1, "smoothness": 0, "numberOfDrops": 0}}
layered|0 none|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 0, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|1 over|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 1, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|2 in|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 2, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|3 out|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 3, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|4 add|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 4, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|5 subtract|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 5, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|6 multiply|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 6, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|7 difference|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 7, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|8 lighten|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 8, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|9 darken|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 9, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|10 saturate|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 10, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|11 desaturate|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 11, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|12 illuminate|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 12, "isVisible": true}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|top hidden|| {"tex": {"inputs": [{"color": "top.outColor", "alpha": 0.6, "blendMode": 1, "isVisible": false}, {"color": "base.outColor", "alpha": 1, "blendMode": 0}]}}
layered|luminance alpha|outAlpha| {"tex": {"alphaIsLuminance": true}}
remapvalue|terrain|| {}
remapvalue|steps|| {"tex": {"colorRamp": [{"position": 0.0, "value": [0.05, 0.1, 0.4, 1], "interpolation": 0}, {"position": 0.4, "value": [0.2, 0.6, 0.9, 1], "interpolation": 0}, {"position": 0.6, "value": [0.9, 0.9, 0.8, 1], "interpolation": 0}]}}
remapvalue|spline value|outValue| {"tex": {"valueRamp": [{"position": 0, "value": 0, "interpolation": 3}, {"position": 0.5, "value": 1, "interpolation": 3}, {"position": 1, "value": 0, "interpolation": 3}]}}
remapcolor|r/g/b ramps|| {}
remaphsv|hue + 1/3 turn|| {}
EOF
)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tiles=()
i=0
while IFS='|' read -r texture label field params; do
  [ -z "$texture" ] && continue
  net="scenes/swatches/$texture.json"
  jq --argjson patch "$params" '.nodes |= map(.params += ($patch[.name] // {}))' "$net" >"$tmp/net_$i.json"
  swatch="$tmp/swatch_$i.png"
  "$host" -v 1 shade "$tmp/net_$i.json" --node tex ${field:+--field "$field"} -o "$swatch" --size $size 2>"$tmp/log" \
    || { cat "$tmp/log" >&2; echo "failed: $texture: $label" >&2; exit 1; }
  tile="$tmp/tile_$i.png"
  channels=RGB
  [ -n "$field" ] && channels="R=Y,G=Y,B=Y"  # scalar fields are grey images
  sheet_tile "$swatch" "$channels" "$size" "$size" "$texture: $label" "$tile"
  tiles+=("$tile")
  i=$((i + 1))
done <<<"$variants"

sheet_mosaic "$columns" "$out" "${tiles[@]}"
echo "wrote $out (${#tiles[@]} swatches)"
