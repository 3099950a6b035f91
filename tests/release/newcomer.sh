#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The README's first command on a fresh minimal machine of CODENAME (this machine's release by
# default), as a newcomer types it: a root made by `debootstrap --variant=minbase` and kept
# untouched in /var/cache/stepper-dial/CODENAME-newcomer, seen through an overlay that is
# thrown away after each run, with the checkout's files copied in. Only the packages it
# downloads and the compiler's cache (ccache, the one package added to the root) are kept,
# so a second run fetches and compiles nothing again yet installs everything anew.
# Usage: tests/release/newcomer.sh [CODENAME]. Exit 0 pass, 1 fail, 77 skipped (one line why).
set -uo pipefail
repo=$(cd "$(dirname "$0")/../.." && pwd)
codename=${1:-$(. /etc/os-release && echo "$VERSION_CODENAME")}
cache=${STEPPER_ROOT_CACHE:-/var/cache/stepper-dial}/$codename-newcomer
skip() { echo "$codename newcomer stage skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "debootstrap and the overlay need root"
for tool in debootstrap unshare pivot_root chroot git; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
# shellcheck source=tests/release/root.sh
. "$repo/tests/release/root.sh"
MakeRoot "$cache/root" "$codename" ccache
scratch=$(mktemp -d "$cache/run.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
FirstCommand "$codename newcomer" build "$cache/root" "$repo" --fresh "$scratch"
