#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian package: this machine's in build/ (STEPPER_BUILD), or with `arm64` one
# cross-built through Debian multiarch (the :arm64 -dev packages, Qt's host tools from this
# machine) in build-arm64/. Sets up what it needs first. The last line of output is the
# package's path. Usage: scripts/package.sh [arm64]
set -euo pipefail
cd "$(dirname "$0")/.."
case ${1:-} in
"")
  build=${STEPPER_BUILD:-build}
  scripts/setup-deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  ;;
arm64)
  build=build-arm64
  STEPPER_CROSS=arm64 scripts/setup-deps.sh
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake >/dev/null
  # dpkg-shlibdeps looks the libraries up among the target's.
  export DEB_HOST_ARCH=arm64
  ;;
*)
  echo "usage: scripts/package.sh [arm64]" >&2
  exit 2
  ;;
esac
cmake --build "$build" -j"$(nproc)" >&2
rm -f "$build"/stepper-dial_*.deb
cmake --build "$build" --target package >&2
ls "$build"/stepper-dial_*.deb
