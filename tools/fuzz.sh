#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz/, replays the kept regression
# inputs, then fuzzes each target for a bounded time.
#   tools/fuzz.sh            every target, FUZZ_SECONDS (default 60) each
#   tools/fuzz.sh scene obj  only these targets
# Seeds: fuzz/corpus/<target>/, scenes/ and src/decl/ (read only); the
# growing corpus lives in
# build-fuzz/corpus/<target>/. A crashing input is written to
# build-fuzz/findings/<target>/ and the script fails: fix the fault, then
# keep the input in fuzz/regressions/<target>/ (replayed here and by
# tests/test_fuzz_regressions.cpp).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
seconds=${FUZZ_SECONDS:-60}
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
  echo "== $t: fuzzing ${seconds}s"
  if ! "$bin" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=3072 -max_len=8192 \
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
