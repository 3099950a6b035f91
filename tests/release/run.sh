#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The suite on another Debian release, from this machine: a root of that release made by
# debootstrap from this machine's own mirror and kept in /var/cache/stepper-dial/CODENAME, this
# checkout bound in at /src, and inside it the setup by that release's package names, the
# Release build, every ctest case (the kernel stage on that release's own kernel included) and
# the package's checks, in BUILD-DIR of the checkout.
# Usage: tests/release/run.sh CODENAME BUILD-DIR [COMMAND...] (COMMAND instead of the suite).
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
# shellcheck source=tests/release/mirror.sh
. "$repo/tests/release/mirror.sh"

# A root is trusted only once it was finished (the stamp is written last) and dpkg finds
# nothing half-installed in it; anything else is made again from nothing.
trusted() {
  [ -f "$root/.stepper-dial-root" ] && [ -x "$root/usr/bin/apt-get" ] &&
    [ -z "$(chroot "$root" dpkg --audit 2>&1)" ]
}
if ! trusted; then
  [ -e "$root" ] && echo "$codename stage: the cached root in $root is unfinished or damaged: made again"
  rm -rf "$root" "$root.new"
  mkdir -p "$cache"
  mirror=$(HostMirror) security=$(HostMirror -security)
  echo "$codename stage: making a $codename root from $mirror (once; kept in $cache)"
  timeout 900 debootstrap --variant=minbase "$codename" "$root.new" "$mirror" \
    >"$cache/debootstrap.log" 2>&1 ||
    skip "debootstrap could not make a $codename root from $mirror: $(tail -n1 "$cache/debootstrap.log")"
  {
    echo "deb $mirror $codename main"
    echo "deb $mirror $codename-updates main"
    [ -n "$security" ] && echo "deb $security $codename-security main"
  } >"$root.new/etc/apt/sources.list"
  touch "$root.new/.stepper-dial-root"
  mv "$root.new" "$root"
fi
cp /etc/resolv.conf /etc/hosts "$root/etc/"

# One command in the root, in mount and process namespaces of its own so nothing it mounts
# or starts outlives it: fresh /proc, /sys, /tmp and /run, this machine's /dev, and the
# checkout at /src. The root is entered by pivot_root, not chroot: the kernel refuses a user
# namespace (unshare -rn, as the link tests make) to a chrooted process. With --offline, a
# network namespace too, with only its loopback: the tests there meet no port of this machine.
inside() {
  local net=()
  [ "$1" = --offline ] && net=(--net) && shift
  unshare --mount --propagation private --pid --fork --kill-child "${net[@]}" -- /bin/bash -c '
    set -e
    root=$1 repo=$2
    shift 2
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mkdir -p "$root/src" "$root/.host"
    mount --bind "$repo" "$root/src"
    cd "$root"
    pivot_root . .host
    cd /
    umount -l /.host
    ip link set lo up 2>/dev/null || true
    exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      CI="${CI:-}" /bin/bash -c "cd /src && $*"' \
    stage "$root" "$repo" "$@"
}

if [ $# -gt 0 ]; then
  inside "WITH_TEST_TOOLS=1 scripts/setup-deps.sh" && inside "$*"
  exit $?
fi
# The README's first command as a newcomer on this release types it: it sets up what it
# needs, builds and listens; "90" then turns the motor 12 steps (13 port writes with the 0 at
# start, the last pattern 3). Its setup fetches from the mirror: a failure there is a
# missing mirror, not a failed test.
first=$(inside 'STEPPER_BUILD='"$build"' scripts/run.sh --simulate >/tmp/trace 2>/tmp/run.log &
  for _ in $(seq 900); do
    { exec 3<>/dev/tcp/127.0.0.1/3000; } 2>/dev/null && break
    kill -0 $! 2>/dev/null || break
    sleep 1
  done
  printf 90 >&3 && sleep 2
  kill $! 2>/dev/null; wait
  grep -c "^port 0x378 <- [0-9]* at" /tmp/trace; tail -n1 /tmp/trace | cut -d" " -f4
  grep -iE "cannot|error|unable" /tmp/run.log | head -n3' 2>&1 | paste -sd' ')
case $first in
"13 3") echo "$codename stage: scripts/run.sh --simulate built, listened, and 90 gave 12 steps" ;;
*Unable\ to\ locate* | *Could\ not\ resolve* | *Failed\ to\ fetch*)
  skip "the setup inside the $codename root could not fetch: $first" ;;
*) echo "$codename stage: scripts/run.sh --simulate, then 90: '$first' (13 writes ending in 3 expected)"; exit 1 ;;
esac
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
