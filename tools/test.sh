#!/usr/bin/env bash
# Builds vekobase and the reference host and runs the test suite.
#   tools/test.sh              Release build in build/
#   tools/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer in build-asan/
#   tools/test.sh --tsan       ThreadSanitizer in build-tsan/, the multithreaded render suites
#                              and the shared point-cloud, volume, final-gather and bake suites
#                              (suppressions: tools/tsan.supp)
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
dir=build
args=(-DCMAKE_BUILD_TYPE=Release)
if [ "${1:-}" = "--sanitize" ]; then
  dir=build-asan
  args=(-DCMAKE_BUILD_TYPE=Debug -DVEKO_SANITIZE=ON)
  export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
  export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
fi
ctest_args=()
targets=()
if [ "${1:-}" = "--tsan" ]; then
  dir=build-tsan
  args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEKO_TSAN=ON)
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$PWD/tools/tsan.supp"
  suites=(test_render test_robust test_tiles test_scatter test_volume test_gather test_bake test_state)
  targets=(--target vekobase vekohost vekohost_cli "${suites[@]}")
  ctest_args=(-R "^($(IFS='|'; echo "${suites[*]}"))\$")
fi
cmake -S . -B "$dir" "${args[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)" "${targets[@]}"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" "${ctest_args[@]}"
