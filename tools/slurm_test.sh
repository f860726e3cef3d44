#!/usr/bin/env bash
# Runs tools/slurm_render.sh against a single-node Slurm started here on
# localhost (munged, slurmctld and slurmd with a private configuration in a
# temporary directory, stopped again at the end): the showcase in 3 tiles as
# a job array plus the dependent merge job, compared with a whole render.
# Exits 77 (skipped) when Slurm or munge is not installed.
#   tools/slurm_test.sh BUILD_DIR
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$here/build}")
for p in munged slurmctld slurmd sbatch squeue; do
  command -v "$p" >/dev/null || PATH=$PATH:/usr/sbin
  command -v "$p" >/dev/null || { echo "slurm_test: $p not installed: skipped"; exit 77; }
done
[ -r /etc/munge/munge.key ] || { echo "slurm_test: no /etc/munge/munge.key: skipped"; exit 77; }
[ "$(id -u)" -eq 0 ] || { echo "slurm_test: needs root to run slurmd: skipped"; exit 77; }

d=$(mktemp -d /tmp/vekoslurm.XXXXXX)
chmod 755 "$d"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$d"
}
trap cleanup EXIT
mkdir -p "$d/state" "$d/spool" "$d/out"
install -m 0400 /etc/munge/munge.key "$d/munge.key"
host=$(hostname -s)
port=$((20000 + RANDOM % 20000))
cat >"$d/slurm.conf" <<CONF
ClusterName=vekotest
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=$port
SlurmdPort=$((port + 1))
AuthType=auth/munge
AuthInfo=socket=$d/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$d/state
SlurmdSpoolDir=$d/spool
SlurmctldPidFile=$d/slurmctld.pid
SlurmdPidFile=$d/slurmd.pid
SlurmctldLogFile=$d/slurmctld.log
SlurmdLogFile=$d/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
MpiDefault=none
ReturnToService=2
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=10 State=UP
CONF
export SLURM_CONF=$d/slurm.conf
munged -F --force --socket="$d/munge.socket" --key-file="$d/munge.key" --pid-file="$d/munged.pid" \
  --log-file="$d/munged.log" --seed-file="$d/munged.seed" >"$d/munged.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do [ -S "$d/munge.socket" ] && break; sleep 0.2; done
slurmctld -D -i >"$d/slurmctld.out" 2>&1 &
pids+=($!)
slurmd -D >"$d/slurmd.out" 2>&1 &
pids+=($!)
t0=$SECONDS
until sinfo -h -o %T 2>/dev/null | grep -qE "^idle"; do
  if [ $((SECONDS - t0)) -gt 60 ]; then
    echo "slurm_test: the node did not come up in 60 s"; tail -20 "$d"/*.log "$d"/*.out; exit 1
  fi
  sleep 1
done
echo "slurm_test: single-node Slurm up in $((SECONDS - t0)) s"

prog=$build/bin/vekohost
opts=(--width 64 --height 40 -s 2)
job=$(VEKOHOST=$prog THREADS=1 "$here/tools/slurm_render.sh" "$here/scenes/showcase.json" "$d/out/frame.exr" 3 -- "${opts[@]}")
echo "slurm_test: merge job $job"
t0=$SECONDS
while squeue -h -j "$job" 2>/dev/null | grep -q .; do
  [ $((SECONDS - t0)) -gt 300 ] && { echo "slurm_test: jobs did not finish in 300 s"; squeue; exit 1; }
  sleep 1
done
[ -f "$d/out/frame.exr" ] || { echo "slurm_test: no merged frame"; cat "$d"/out/slurm-*.out; exit 1; }
"$prog" -v 1 render "$here/scenes/showcase.json" "${opts[@]}" -t 1 -q -o "$d/out/whole.exr"
# Merging the two full frames checks that they agree pixel for pixel.
"$prog" -v 1 merge "$d/out/whole.exr" "$d/out/frame.exr" -o "$d/out/check.exr"
echo "slurm_test: tiles rendered by Slurm equal the whole render"
