#!/usr/bin/env bash
# Renders the classic test picture (scene.json) with vekohost and the same
# picture (scene.pov) with POV-Ray, side by side, and prints wall time, CPU
# time and peak memory of each whole process with the ratios.
#   bench/classic/compare.sh [BUILD_DIR] [RUNS]
# Each figure is the median of RUNS runs (default 5), alternating the two
# programs, 2 threads each; 1 and 16 samples per pixel. Images are left in
# /tmp/classic_*.png to look at.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../build}
runs=${2:-5}
command -v povray >/dev/null || apt-get install -y povray >/dev/null
veko=$build/bin/vekohost
export VEKOBASE_LIBRARY=$build/lib/libvekobase.so
median() { sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
measure() {  # label, command...: prints "wall cpu rss_mb" medians
  local label=$1; shift
  local walls=() cpus=() rss=()
  for ((i = 0; i < runs; ++i)); do
    /usr/bin/time -o /tmp/classic_time -f "%e %U %S %M" "$@" >/dev/null 2>&1
    read -r w u s m </tmp/classic_time
    walls+=("$w"); cpus+=("$(echo "$u + $s" | bc -l)"); rss+=("$(echo "$m / 1024" | bc -l)")
  done
  printf '%s %s %s\n' "$(printf '%s\n' "${walls[@]}" | median)" "$(printf '%s\n' "${cpus[@]}" | median)" \
    "$(printf '%s\n' "${rss[@]}" | median)"
}
for spp in 1 16; do
  if [ "$spp" = 1 ]; then aa=(); else aa=(+A0.0 +AM1 +R4); fi
  ours=$(measure vekohost "$veko" render "$here/scene.json" -t 2 -s "$spp" -q -o "/tmp/classic_veko_$spp.png")
  pov=$(measure povray povray "+I$here/scene.pov" "+O/tmp/classic_pov_$spp.png" +W640 +H480 +WT2 -D -GA "${aa[@]}")
  read -r ow oc om <<<"$ours"
  read -r pw pc pm <<<"$pov"
  printf '%2d spp  vekohost: %6.2f s wall %6.2f s CPU %5.0f MB   POV-Ray: %6.2f s wall %6.2f s CPU %5.0f MB   ratio: wall %.2f CPU %.2f memory %.2f\n' \
    "$spp" "$ow" "$oc" "$om" "$pw" "$pc" "$pm" "$(echo "$ow / $pw" | bc -l)" "$(echo "$oc / $pc" | bc -l)" "$(echo "$om / $pm" | bc -l)"
done
