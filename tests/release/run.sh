#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite on another Debian release, from this machine: a root of that release made by
# debootstrap from this machine's own mirror and kept in /var/cache/stepper-dial/CODENAME, this
# checkout bound in at /src, and inside it the setup by that release's package names, the
# Release build, every ctest case (the kernel stage on that release's own kernel included) and
# the package's checks, in BUILD-DIR of the checkout.
# Usage: tests/release/run.sh CODENAME BUILD-DIR [COMMAND...] (COMMAND instead of the suite;
# --root-only to make the root and no more).
# Exit 0 pass, 1 fail, 77 skipped (one line why: not root, no debootstrap, no mirror).
set -uo pipefail
codename=$1 build=$2
shift 2
repo=$(cd "$(dirname "$0")/../.." && pwd)
cache=${STEPPER_ROOT_CACHE:-/var/cache/stepper-dial}/$codename
root=$cache/root
skip() { echo "$codename stage skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "debootstrap and chroot need root"
for tool in debootstrap unshare pivot_root chroot; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
# shellcheck source=tests/release/root.sh
. "$repo/tests/release/root.sh"
MakeRoot "$root" "$codename"
[ "${1:-}" = --root-only ] && exit 0
inside() { Inside "$root" "$repo" "$@"; }

if [ $# -gt 0 ]; then
  inside "WITH_TEST_TOOLS=1 scripts/setup-deps.sh" && inside "$*"
  exit $?
fi
# The README's first command, the first thing done in a new root.
FirstCommand "$codename" "$build" "$root" "$repo" || exit 1
# The rest of the test tools.
setup=$(inside "WITH_TEST_TOOLS=1 scripts/setup-deps.sh" 2>&1) ||
  skip "the setup inside the $codename root failed: $(echo "$setup" | tail -n1)"
[ -n "$setup" ] && echo "$setup"
echo "$codename stage: $(inside '. /etc/os-release && echo "$PRETTY_NAME"; qmake6 -query QT_VERSION 2>/dev/null | sed "s/^/Qt /"')" | paste -sd' '
console=$repo/$build/kernel/console.log
rm -f "$console"
inside --offline "STEPPER_BUILD=$build scripts/test.sh release package" || exit 1
# Its kernel stage must have run, not skipped, with the GPIO cases through this release's own
# libgpiod (1.x is libgpiod.so.2, 2.x libgpiod.so.3).
gpiod=$(inside 'pkg-config --modversion libgpiod')
want=libgpiod.so.$((${gpiod%%.*} + 1))
grep -h "^CASE gpio-move ok through $want" "$console" 2>/dev/null ||
  { echo "$codename stage: the kernel stage did not move GPIO lines through $want (libgpiod $gpiod)"; exit 1; }
