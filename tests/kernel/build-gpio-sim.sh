#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds gpio-sim for a Debian kernel that ships without it, out of tree from linux-source
# against the matching headers, and keeps it in CACHE_DIR so a checkout builds it once.
# The kernel does not export irq_to_desc to modules, so the copy of irq_sim.c linked in
# calls generic_handle_irq instead. Prints the module's path.
# Usage: build-gpio-sim.sh RELEASE CACHE [HEADERS [MAKE-ARGUMENT...]]: another kernel's headers
# and, for another architecture, ARCH= and CROSS_COMPILE= for make. STEPPER_LINUX_SOURCE names
# the sources' tarball (the one in /usr/src by default).
set -euo pipefail
release=$1 cache=$2
headers=${3:-/lib/modules/$release/build}
shift $(($# < 3 ? $# : 3))
module="$cache/gpio-sim-$release.ko"
if [ -f "$module" ]; then
  echo "$module"
  exit 0
fi
source_tar=${STEPPER_LINUX_SOURCE:-$(compgen -G "/usr/src/linux-source-*.tar.xz" | head -n1 || true)}
[ -d "$headers" ] || { echo "no headers for $release ($headers)" >&2; exit 1; }
[ -n "$source_tar" ] || { echo "no /usr/src/linux-source-*.tar.xz" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
top=$(basename "$source_tar" .tar.xz)
tar -xJf "$source_tar" -C "$work" "$top/drivers/gpio/gpio-sim.c" "$top/drivers/gpio/gpiolib.h" \
  "$top/kernel/irq/irq_sim.c"
src="$work/module"
mkdir -p "$src"
cp "$work/$top/drivers/gpio/gpio-sim.c" "$src/gpio-sim-main.c"
cp "$work/$top/drivers/gpio/gpiolib.h" "$work/$top/kernel/irq/irq_sim.c" "$src/"
sed -i 's/handle_simple_irq(irq_to_desc(irqnum));/generic_handle_irq(irqnum);/' "$src/irq_sim.c"
printf 'obj-m := gpio-sim.o\ngpio-sim-y := gpio-sim-main.o irq_sim.o\n' >"$src/Kbuild"
make -s -C "$headers" M="$src" "$@" modules >&2
mkdir -p "$cache"
cp "$src/gpio-sim.ko" "$module"
echo "$module"
