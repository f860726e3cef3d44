# Shared steps of the contact-sheet scripts (sourced, from the source tree's
# root): building the host, the label font, labelled tiles and the mosaic.

# Builds the host and the library in $BUILD_DIR (default: build, configured
# as Release when it does not exist yet); sets `build` and `host`.
sheet_build() {
  build=${BUILD_DIR:-build}
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  fi
  cmake --build "$build" -j2 --target vekohost_cli vekobase >/dev/null
  host="$build/bin/vekohost"
}

# Font file for labels, or nothing (oiiotool's own font is used then).
sheet_font() {
  if command -v fc-match >/dev/null; then
    fc-match -f '%{file}' 'DejaVu Sans Condensed' 2>/dev/null || true
  fi
}

# Text options for oiiotool --text at (x, y) in white at `size` points.
sheet_text_opts() {  # x y size
  local opts="x=$1:y=$2:size=$3:color=1,1,1" font
  font=$(sheet_font)
  [ -n "$font" ] && opts="$opts:font=$font"
  printf '%s' "$opts"
}

# Crops image IN to W x H with a label strip of `label_height` (default 18)
# below it, writes TEXT into the strip and saves the tile to OUT. CHANNELS
# selects what is shown (RGB, or R=Y,G=Y,B=Y for a grey image).
sheet_tile() {  # in channels w h text out
  local lh=${label_height:-18}
  oiiotool "$1" --ch "$2" --crop "${3}x$(($4 + lh))+0+0" --fullpixels \
    --text:"$(sheet_text_opts 3 $(($4 + lh - 5)) 11)" "$5" -o "$6"
}

# Lays the tiles out COLUMNS to a row, 4 pixels apart, into OUT.
sheet_mosaic() {  # columns out tile...
  local columns=$1 out=$2
  shift 2
  local rows=$((($# + columns - 1) / columns))
  mkdir -p "$(dirname "$out")"
  oiiotool "$@" --mosaic:pad=4 "${columns}x${rows}" -o "$out"
}
