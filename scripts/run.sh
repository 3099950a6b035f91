#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing, builds stepper-dial in Release and starts it, a line for each
# phase. Arguments are passed on (for example --simulate). STEPPER_BUILD names the build's
# folder (build).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${STEPPER_BUILD:-build}
scripts/setup-deps.sh
log=$(mktemp)
echo "stepper-dial: configuring the Release build in $build/" >&2
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >"$log" 2>&1 || { cat "$log" >&2; exit 1; }
echo "stepper-dial: building (a few minutes the first time)" >&2
# The build's progress on a terminal; elsewhere only its errors.
if [ -t 2 ]; then
  cmake --build "$build" -j"$(nproc)" --target stepper-dial >&2
else
  cmake --build "$build" -j"$(nproc)" --target stepper-dial >"$log" 2>&1 ||
    { cat "$log" >&2; exit 1; }
fi
rm -f "$log"
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "stepper-dial: no display (DISPLAY and WAYLAND_DISPLAY unset): starting on Qt's offscreen platform" >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec "$build/stepper-dial" "$@"
