#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing, builds everything and runs the whole suite through ctest: a
# bounded libFuzzer run of the reader and the receive path, the tests under AddressSanitizer
# and UndefinedBehaviorSanitizer, under ThreadSanitizer, and last the tests on the Release
# build (with the kernel stage: the program against the real drivers in a VM) followed by
# the Debian package's checks and its service booting under a real systemd.
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_TEST_TOOLS=1 scripts/setup-deps.sh
jobs=$(nproc)

if command -v clang++ >/dev/null; then
  echo "== Fuzzing (${FUZZ_SECONDS:-60} s a target)"
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DSTEPPER_FUZZ=ON \
    -DSTEPPER_FUZZ_SECONDS="${FUZZ_SECONDS:-60}" >/dev/null
  cmake --build build-fuzz -j"$jobs"
  ctest --test-dir build-fuzz -L fuzz --output-on-failure
  grep -h -E '^Done [0-9]+ runs' build-fuzz/Testing/Temporary/LastTest.log || true
else
  echo "== Fuzzing skipped: clang++ not found"
fi

echo "== Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTEPPER_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$jobs"
ctest --test-dir build-asan --output-on-failure -LE kernel

echo "== Tests under ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTEPPER_TSAN=ON >/dev/null
cmake --build build-tsan -j"$jobs"
ctest --test-dir build-tsan --output-on-failure -LE kernel

echo "== Release build and tests"
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure

echo "== Debian package"
cmake --build build -j"$jobs" --target package >/dev/null
scripts/check-package.sh build

echo "== The package's service at boot (a Debian root with systemd, booted in QEMU)"
status=0
tests/boot/run.sh build/stepper-dial_*.deb build-boot || status=$?
[ "$status" = 0 ] || [ "$status" = 77 ]
