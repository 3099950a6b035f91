#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Lets arm64 programs run on this machine as its own, through qemu-user, for the arm64 tests.
# Debian 12's qemu-user (7.2) never starts a child from Qt's QProcess (no clone reaches the
# host), so every test that starts the program would fail there; Debian 13's (10.0) runs it.
# That one is taken from this machine's mirror (the trixie suite's qemu-user package,
# unpacked, never installed), kept in /var/cache/stepper-dial/arm64, and registered as a
# binfmt handler of its own, which takes precedence over Debian's while it is registered.
# Usage: binfmt.sh on|off. Exit 0 done, 77 (one line why) where arm64 programs cannot run.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
cache=${STEPPER_ROOT_CACHE:-/var/cache/stepper-dial}/arm64
entry=/proc/sys/fs/binfmt_misc/stepper-dial-aarch64
skip() {
  echo "arm64 programs cannot run here: $*"
  exit 77
}
[ -e "$entry" ] && echo -1 >"$entry"
[ "${1:-}" = off ] && exit 0
[ "$(id -u)" = 0 ] || skip "registering a binfmt handler needs root"
mountpoint -q /proc/sys/fs/binfmt_misc ||
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc 2>/dev/null ||
  skip "binfmt_misc cannot be mounted"
qemu=$cache/qemu-aarch64
if ! [ -x "$qemu" ] || ! "$qemu" --version >/dev/null 2>&1; then
  # shellcheck source=tests/release/mirror.sh
  . "$here/../release/mirror.sh"
  mirror=$(HostMirror)
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  mkdir -p "$cache"
  file=$(curl -sf "$mirror/dists/trixie/main/binary-amd64/Packages.xz" | xz -dc |
    awk '/^Package: / { p = $2 } p == "qemu-user" && /^Filename: / { print $2; exit }')
  [ -n "$file" ] || skip "no qemu-user in the trixie suite of $mirror"
  curl -sf -o "$work/qemu-user.deb" "$mirror/$file" || skip "cannot fetch $mirror/$file"
  dpkg-deb -x "$work/qemu-user.deb" "$work/x" && cp "$work/x/usr/bin/qemu-aarch64" "$qemu" ||
    skip "$file holds no usr/bin/qemu-aarch64"
fi
# ELF, 64-bit, little-endian, machine 183 (AArch64); F: the handler is opened now, so it works
# in every mount namespace and root.
printf '%s' ":stepper-dial-aarch64:M::\x7fELF\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:$qemu:F" \
  >/proc/sys/fs/binfmt_misc/register || skip "the binfmt handler cannot be registered"
echo "arm64 programs run through $("$qemu" --version | head -n1)"
