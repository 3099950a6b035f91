#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing, builds everything and runs the whole suite through ctest, stage by
# stage: a bounded libFuzzer run of the reader and the receive path, the tests under
# AddressSanitizer and UndefinedBehaviorSanitizer, under ThreadSanitizer, the tests on the
# Release build (with the kernel stage: the program against the real drivers in a VM), the
# README's first command on a fresh minimal root of this machine's release, the Debian
# package's checks, its service booting under a real systemd, the Release build, its tests and its
# package on another Debian release in a root of its own, and last the arm64 package
# cross-built, its tests run under qemu-user and its program on an emulated arm64 machine.
# It ends with every stage, test and case that was skipped and why; a kernel stage skipped
# as root on a machine that reaches the archive fails it, since a version could have been had.
# Usage: scripts/test.sh [STAGE...] (fuzz asan tsan release newcomer package boot other arm64,
# the default). STEPPER_BUILD names the Release build's folder (build); STEPPER_OTHER_RELEASE
# the other release (trixie on Debian 12, none on 13, where the stages above already run on it).
set -euo pipefail
cd "$(dirname "$0")/.."
WITH_TEST_TOOLS=1 scripts/setup-deps.sh
jobs=$(nproc)
build=${STEPPER_BUILD:-build}
# Every build goes through ccache, so a second run compiles only what changed (a clean clone
# in another folder included).
export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$PWD \
  CCACHE_NOHASHDIR=1
# shellcheck disable=SC1091
host_release=$(. /etc/os-release && echo "$VERSION_CODENAME")
other=${STEPPER_OTHER_RELEASE-$(if [ "$host_release" = bookworm ]; then echo trixie; fi)}

skips=$(mktemp)
trap 'rm -f "$skips" "$roots_log"' EXIT
# Skipped BY: records the skips that BY printed (read from standard input), one line each:
# ours say "... skipped: why", Qt Test's "SKIP   : case() why".
skipped() { grep -h -E 'skipped: |skipped$|^SKIP +:' | sed "s/^/$1: /" | sort -u >>"$skips" || true; }
# Guarded BY COMMAND...: runs a stage's script; its status 77 is a skip, recorded.
guarded() {
  local by=$1 out status=0
  shift
  out=$(mktemp)
  "$@" 2>&1 | tee "$out" || status=${PIPESTATUS[0]}
  [ "$status" = 77 ] && skipped "$by" <"$out"
  rm -f "$out"
  [ "$status" = 0 ] || [ "$status" = 77 ]
}
# What a ctest run in DIR skipped.
ctest_skips() {
  if [ -f "$1/Testing/Temporary/LastTest.log" ]; then skipped "$2" <"$1/Testing/Temporary/LastTest.log"; fi
}

stage() { # NAME TITLE: starts a stage, saying how long the one before took
  local now
  now=$(date +%s)
  [ -n "${stage_name:-}" ] && echo "== $stage_name: $((now - stage_start)) s"
  stage_name=$1 stage_start=$now
  [ -n "$2" ] && echo "== $2"
  return 0
}

# The roots of the newcomer and the other release are made (once, mostly waiting on the
# mirror) while the first stages compile; a stage that needs one waits for it here.
roots_log=$(mktemp)
roots() {
  tests/release/newcomer.sh --root-only "$host_release"
  [ -z "$other" ] || tests/release/run.sh "$other" "build-$other" --root-only
}
wait_roots() {
  [ -n "${roots_pid:-}" ] || return 0
  wait "$roots_pid" || true
  roots_pid=""
  cat "$roots_log"
}

newcomer() {
  stage newcomer "The README's first command on a fresh minimal $host_release root"
  wait_roots
  guarded newcomer tests/release/newcomer.sh "$host_release"
}

fuzz() {
  if ! command -v clang++ >/dev/null; then
    echo "== Fuzzing skipped: clang++ not found"
    echo "fuzz: clang++ not found" >>"$skips"
    return
  fi
  stage fuzz "Fuzzing (${FUZZ_SECONDS:-30} s a target)"
  cmake -S . -B build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DSTEPPER_FUZZ=ON \
    -DSTEPPER_FUZZ_SECONDS="${FUZZ_SECONDS:-30}" >/dev/null
  cmake --build build-fuzz -j"$jobs"
  ctest --test-dir build-fuzz -L fuzz -j"$jobs" --output-on-failure
  grep -h -E '^Done [0-9]+ runs' build-fuzz/Testing/Temporary/LastTest.log || true
}

asan() {
  stage asan "Tests under AddressSanitizer and UndefinedBehaviorSanitizer"
  cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTEPPER_SANITIZE=ON >/dev/null
  cmake --build build-asan -j"$jobs"
  ctest --test-dir build-asan --output-on-failure -LE kernel
  ctest_skips build-asan asan
}

tsan() {
  stage tsan "Tests under ThreadSanitizer"
  cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTEPPER_TSAN=ON >/dev/null
  cmake --build build-tsan -j"$jobs"
  # The soak's floods run under AddressSanitizer and on the Release build; its threads are the
  # same as the other tests'.
  ctest --test-dir build-tsan --output-on-failure -LE 'kernel|soak'
  ctest_skips build-tsan tsan
}

release() {
  stage release "Release build and tests ($(. /etc/os-release && echo "$PRETTY_NAME"))"
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j"$jobs"
  local status=0
  ctest --test-dir "$build" --output-on-failure || status=$?
  ctest_skips "$build" release
  return $status
}

package() {
  stage package "Debian package"
  [ -x "$build/stepper-dial" ] || cmake --build "$build" -j"$jobs"
  rm -f "$build"/stepper-dial_*.deb
  cmake --build "$build" -j"$jobs" --target package >/dev/null
  scripts/check-package.sh "$build"
}

boot() {
  stage boot "The package's service at boot (a Debian root with systemd, booted in QEMU)"
  guarded boot tests/boot/run.sh "$build"/stepper-dial_*.deb build-boot
}

other() {
  if [ -z "$other" ]; then
    echo "== No other Debian release (STEPPER_OTHER_RELEASE is empty)"
    return
  fi
  stage other "The Release build, its tests and its package on Debian $other"
  wait_roots
  guarded "$other" tests/release/run.sh "$other" "build-$other" || return 1
  ctest_skips "build-$other" "$other"
}

arm64() {
  stage arm64 "The arm64 package: cross-built, its tests under qemu-user, on an emulated arm64 machine"
  if [ "$(dpkg --print-architecture)" = arm64 ]; then
    echo "== arm64 stage skipped: this machine is arm64, and the stages above ran on it"
    return
  fi
  if ! STEPPER_CROSS=arm64 WITH_TEST_TOOLS=1 scripts/setup-deps.sh; then
    echo "== arm64 stage skipped: its cross-build packages cannot be installed here"
    echo "arm64: its cross-build packages cannot be installed here" >>"$skips"
    return
  fi
  local deb status=0
  deb=$(scripts/package.sh arm64 | tail -n1)
  # From here arm64 programs run as this machine's own, through qemu-user.
  tests/arm64/binfmt.sh on || status=$?
  if [ "$status" = 77 ]; then
    echo "== arm64 tests skipped: arm64 programs cannot run here"
    echo "arm64: arm64 programs cannot run here (no binfmt handler)" >>"$skips"
    return
  fi
  [ "$status" = 0 ] || return 1
  trap 'tests/arm64/binfmt.sh off; rm -f "$skips" "$roots_log"' EXIT
  scripts/check-package.sh build-arm64
  # Isolated from this machine's ports like the other release's. The soak is the native
  # stages' (the same code, many times slower under emulation).
  unshare --net -- sh -c 'ip link set lo up && exec ctest --test-dir build-arm64 \
    --output-on-failure -LE "kernel|soak"'
  ctest_skips build-arm64 arm64
  guarded arm64 tests/arm64/run.sh "$deb"
}

# Reaches the archive: a small package can be downloaded.
reaches_archive() {
  local dir status=0
  dir=$(mktemp -d)
  (cd "$dir" && timeout 120 apt-get download -qq hostname >/dev/null 2>&1) || status=$?
  rm -rf "$dir"
  return $status
}

started=$(date +%s)
stages=${*:-fuzz asan tsan release newcomer package boot other arm64}
case " $stages " in
*" newcomer "* | *" other "*) roots >"$roots_log" 2>&1 & roots_pid=$! ;;
esac
for name in $stages; do
  for one in $name; do
    case $one in
    newcomer | fuzz | asan | tsan | release | package | boot | other | arm64) "$one" ;;
    *) echo "scripts/test.sh: no stage '$one' (fuzz asan tsan release newcomer package boot other arm64)" >&2; exit 2 ;;
    esac
  done
done
stage "" ""
if [ -s "$skips" ]; then
  echo "== skipped:"
  sed 's/^/   /' "$skips"
fi
# A kernel stage skipped where it could have run is a proof lost, not a pass.
if grep -q 'kernel stage skipped' "$skips" && [ "$(id -u)" = 0 ] && reaches_archive; then
  echo "== a kernel stage was skipped on a machine that has root and reaches the archive: fail"
  exit 1
fi
echo "== all stages passed in $(($(date +%s) - started)) s"
