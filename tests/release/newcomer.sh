#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's first command on a fresh minimal machine of CODENAME (this machine's release by
# default), as a newcomer types it: a root made by `debootstrap --variant=minbase` and kept
# untouched in /var/cache/stepper-dial/CODENAME-newcomer, seen through an overlay that is
# thrown away after each run, with the checkout's files copied in. Only the packages it
# downloads and the compiler's cache (ccache, the one package added to the root) are kept,
# so a second run fetches and compiles nothing again yet installs everything anew: on this
# machine's own release they are this machine's apt cache and ccache, which the suite's builds
# fill (the same compiler and flags, so the newcomer's build finds what they compiled).
# Usage: tests/release/newcomer.sh [--root-only] [CODENAME] (--root-only: make the root, no
# more). Exit 0 pass, 1 fail, 77 skipped (one line why).
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
root_only=0
[ "${1:-}" = --root-only ] && root_only=1 && shift
host=$(. /etc/os-release && echo "$VERSION_CODENAME")
codename=${1:-$host}
cache=${STEPPER_ROOT_CACHE:-/var/cache/stepper-dial}/$codename-newcomer
skip() { echo "$codename newcomer stage skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "debootstrap and the overlay need root"
for tool in debootstrap unshare pivot_root chroot git; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
# shellcheck source=tests/release/root.sh
. "$repo/tests/release/root.sh"
MakeRoot "$cache/root" "$codename" ccache
[ "$root_only" = 1 ] && exit 0
archives=$cache/archives compiled=$cache/ccache
if [ "$codename" = "$host" ]; then
  archives=/var/cache/apt/archives
  compiled=$(ccache -k cache_dir 2>/dev/null || echo "$compiled")
fi
scratch=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
FirstCommand "$codename newcomer" build "$cache/root" "$repo" --fresh "$scratch" "$archives" "$compiled"
