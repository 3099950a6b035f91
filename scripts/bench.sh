#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Sets up what is missing (the test tools: Xvfb, mosquitto), builds the program and the
# benchmark's helpers in Release, and runs bench/run_bench.py with the arguments given (for
# example --ramp-only, or --json build/bench-results.json). STEPPER_BUILD names the build's
# folder (build). Port 3000 must be free while it runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${STEPPER_BUILD:-build}
WITH_TEST_TOOLS=1 scripts/setup-deps.sh
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)" --target stepper-dial bare-timerfd web-pages ramp-plan
exec python3 bench/run_bench.py --build "$build" "$@"
