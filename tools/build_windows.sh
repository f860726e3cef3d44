#!/usr/bin/env bash
# Cross-builds vekobase for 64-bit Windows with MinGW-w64 (cmake/mingw-w64.cmake):
#   build-win/lib/vekobase.dll         the library (no MinGW runtime DLL needed)
#   build-win/lib/vekobase.dll.a       its import library
#   build-win/lib/vekobase.nodes.json  the node declarations
#   build-win/tests/xhost/xhost.exe    the standalone check host (see tools/check_windows.sh)
#   tools/build_windows.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
dir=${1:-build-win}
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release "${launcher[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
