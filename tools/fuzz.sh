#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, replays the kept regression
# inputs, then fuzzes each target for a bounded time.
#   tools/fuzz.sh            every target, a fixed number of runs each
#                            (about a minute; FUZZ_SCALE=2 doubles them)
#   tools/fuzz.sh scene obj  only these targets
# Runs start from the seeds with a fixed random seed, so a run is repeatable
# (FUZZ_SEED changes it); FUZZ_SECONDS (default 120) caps each target.
# Seeds: fuzz/corpus/<target>/, scenes/ and src/decl/ (read only); the
# corpus grown in a run lives in
# build-fuzz/corpus/<target>/. A crashing input is written to
# build-fuzz/findings/<target>/ and the script fails: fix the fault, then
# keep the input in fuzz/regressions/<target>/ (replayed here and by
# tests/test_fuzz_regressions.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
seconds=${FUZZ_SECONDS:-120}
scale=${FUZZ_SCALE:-1}
seed=${FUZZ_SEED:-1}
# Executions per target: about a minute each on a 2-core machine.
declare -A runs=([scene]=40000 [network]=200000 [decls]=20000 [obj]=10000 [userdata]=3000)
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(scene network decls obj userdata)
export CC=clang-14 CXX=clang++-14
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEKO_FUZZ=ON -DVEKO_SANITIZE=ON -DVEKO_TESTS=OFF \
  ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} >/dev/null
cmake --build build-fuzz -j"$(nproc)" --target vekobase $(printf 'fuzz_%s ' "${targets[@]}")
export VEKOBASE_LIBRARY=$PWD/build-fuzz/lib/libvekobase.so
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=0
for t in "${targets[@]}"; do
  bin=build-fuzz/bin/fuzz_$t
  corpus=build-fuzz/corpus/$t
  findings=build-fuzz/findings/$t
  rm -rf "$corpus"
  mkdir -p "$corpus" "$findings"
  if compgen -G "fuzz/regressions/$t/*" >/dev/null; then
    echo "== $t: replaying fuzz/regressions/$t"
    "$bin" fuzz/regressions/$t/* >"$findings/replay.log" 2>&1 || { cat "$findings/replay.log"; failed=1; continue; }
  fi
  seeds=()
  [ -d "fuzz/corpus/$t" ] && seeds=("fuzz/corpus/$t")
  case $t in
    scene) seeds+=(scenes) ;;
    decls) seeds+=(src/decl) ;;
  esac
  n=$(( ${runs[$t]:-10000} * scale ))
  echo "== $t: fuzzing $n runs (at most ${seconds}s)"
  if ! "$bin" "$corpus" "${seeds[@]}" -seed="$seed" -runs="$n" -max_total_time="$seconds" -timeout=20 \
      -rss_limit_mb=3072 -max_len=8192 \
      -artifact_prefix="$findings/" -print_final_stats=1 >"$findings/fuzz.log" 2>&1; then
    tail -60 "$findings/fuzz.log"
    echo "== $t: FINDING (input in $findings/)"
    failed=1
  else
    grep -E "^stat::number_of_executed_units|^stat::new_units_added" "$findings/fuzz.log" | sed "s/^/   $t /"
  fi
done
if [ $failed -ne 0 ]; then
  echo "fuzz: findings above"
  exit 1
fi
echo "fuzz: no findings in ${targets[*]}"
