#!/usr/bin/env bash
# Installs the Debian packages the build needs (Debian 12). Skips apt when
# everything is already there.
set -euo pipefail
pkgs=(build-essential cmake pkg-config git
      nlohmann-json3-dev libcli11-dev libopenimageio-dev openimageio-tools libopenexr-dev libpng-dev
      libembree-dev libtinyobjloader-dev libgtest-dev libgmock-dev
      libbenchmark-dev libnoise-dev jq fonts-dejavu-core libopenvdb-dev libboost-dev
      clang-14 libclang-rt-14-dev)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The Windows cross build and its check under Wine (tools/build_windows.sh,
# the windows_dll test): the posix-threads MinGW-w64 compiler and 64-bit Wine,
# without recommended extras.
winpkgs=(g++-mingw-w64-x86-64-posix wine64)
missing=()
for p in "${winpkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
