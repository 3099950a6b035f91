#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing, builds stepper-dial in Release and starts it. Arguments are
# passed on (for example --simulate).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j"$(nproc)" --target stepper-dial >/dev/null
if [ -z "${DISPLAY:-}${WAYLAND_DISPLAY:-}${QT_QPA_PLATFORM:-}" ]; then
  echo "stepper-dial: no display (DISPLAY and WAYLAND_DISPLAY unset): starting on Qt's offscreen platform" >&2
  export QT_QPA_PLATFORM=offscreen
fi
exec build/stepper-dial "$@"
