#!/usr/bin/env bash
# Renders a scene on a Slurm cluster: one array task per tile, then one
# dependent job that merges the tiles into the frame.
#
#   tools/slurm_render.sh SCENE OUTPUT.exr [TILES] [-- extra vekohost render options]
#
# Submits `sbatch --array=0-(TILES-1)` running
#   vekohost render SCENE --tile $SLURM_ARRAY_TASK_ID/TILES -o OUTPUT.tileN.exr
# and `sbatch --dependency=afterok:<array job>` running
#   vekohost merge OUTPUT.tile*.exr -o OUTPUT
# Prints the merge job's id. Each tile renders the same pixels a whole
# render would, so the merged frame is bit for bit the whole frame.
# Environment: VEKOHOST (the program, default: vekohost on PATH or the
# build's), SBATCH_OPTS (extra sbatch options, e.g. "--partition=render
# --cpus-per-task=8"), THREADS (render threads per tile, default: the
# task's cpus or all cores). Paths must be visible on every node.
set -euo pipefail
if [ $# -lt 2 ]; then
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
fi
scene=$(realpath "$1")
output=$(realpath -m "$2")
tiles=${3:-4}
shift $(( $# >= 3 ? 3 : 2 ))
[ "${1:-}" = "--" ] && shift
extra=("$@")
here=$(cd "$(dirname "$0")/.." && pwd)
prog=${VEKOHOST:-$(command -v vekohost || echo "$here/build/bin/vekohost")}
[ -x "$prog" ] || { echo "slurm_render.sh: no vekohost program at $prog (set VEKOHOST)" >&2; exit 1; }
case "$tiles" in ''|*[!0-9]*) echo "slurm_render.sh: TILES must be a number" >&2; exit 2 ;; esac
logdir=$(dirname "$output")
base="${output%.*}"
threads=${THREADS:-0}
printf -v extra_q '%q ' "${extra[@]+"${extra[@]}"}"

array=$(sbatch --parsable ${SBATCH_OPTS:-} --job-name=vekohost-tiles --array=0-$((tiles - 1)) \
  --output="$logdir/slurm-%A_%a.out" --wrap \
  "t=$threads; [ \"\$t\" = 0 ] && t=\${SLURM_CPUS_PER_TASK:-0};
   exec '$prog' render '$scene' --tile \$SLURM_ARRAY_TASK_ID/$tiles -t \$t -q $extra_q -o '$base.tile'\$SLURM_ARRAY_TASK_ID.exr")
array=${array%%;*}
parts=""
for ((i = 0; i < tiles; i++)); do parts+=" '$base.tile$i.exr'"; done
merge=$(sbatch --parsable ${SBATCH_OPTS:-} --job-name=vekohost-merge --dependency=afterok:"$array" \
  --output="$logdir/slurm-%j.out" --wrap "exec '$prog' merge $parts -o '$output'")
echo "${merge%%;*}"
