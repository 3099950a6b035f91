# SPDX-License-Identifier: MIT
# Debian roots for the stages that need a release of their own, sourced by run.sh and
# newcomer.sh: MakeRoot makes one once, Inside runs a command in one, FirstCommand types the
# README's first command there as a newcomer would. Each caller defines skip().
# shellcheck source=tests/release/mirror.sh
. "$(dirname "${BASH_SOURCE[0]}")/mirror.sh"

# MakeRoot ROOT CODENAME [PACKAGE,...]: a minimal root of CODENAME from this machine's mirror,
# with its apt sources and those packages. A root is trusted only once it was finished (the stamp is written last) and dpkg
# finds nothing half-installed in it; anything else is made again from nothing.
MakeRoot() {
  local root=$1 codename=$2 include=${3:+--include=$3} mirror security
  if [ -f "$root/.stepper-dial-root" ] && [ -x "$root/usr/bin/apt-get" ] &&
    [ -z "$(chroot "$root" dpkg --audit 2>&1)" ]; then
    cp /etc/resolv.conf /etc/hosts "$root/etc/"
    return 0
  fi
  [ -e "$root" ] && echo "$codename stage: the cached root in $root is unfinished or damaged: made again"
  rm -rf "$root" "$root.new"
  mkdir -p "$(dirname "$root")"
  mirror=$(HostMirror) security=$(HostMirror -security)
  echo "$codename stage: making a minimal $codename root from $mirror (once; kept in $(dirname "$root"))"
  timeout 900 debootstrap --variant=minbase $include "$codename" "$root.new" "$mirror" \
    >"$root.log" 2>&1 ||
    skip "debootstrap could not make a $codename root from $mirror: $(tail -n1 "$root.log")"
  {
    echo "deb $mirror $codename main"
    echo "deb $mirror $codename-updates main"
    [ -n "$security" ] && echo "deb $security $codename-security main"
  } >"$root.new/etc/apt/sources.list"
  touch "$root.new/.stepper-dial-root"
  mv "$root.new" "$root"
  cp /etc/resolv.conf /etc/hosts "$root/etc/"
}

# Inside ROOT SOURCE [--offline] [--fresh SCRATCH ARCHIVES CCACHE] COMMAND: one command in the
# root, in mount
# and process namespaces of its own so nothing it mounts or starts outlives it: fresh /proc,
# /sys, /tmp and /run, this machine's /dev, and the checkout SOURCE at /src. The root is
# entered by pivot_root, not chroot: the kernel refuses a user namespace (unshare -rn, as the
# link tests make) to a chrooted process. With --offline, a network namespace too, with only
# its loopback: the tests there meet no port of this machine. With --fresh, the root is left
# as it is: the command sees it through an overlay whose changes go to SCRATCH, SOURCE is a
# copy of the checkout's files, as a clone has them, and apt's package cache and ccache's are
# the folders ARCHIVES and CCACHE, kept.
Inside() {
  local root=$1 source=$2 net=() scratch="" archives="" ccache=""
  shift 2
  [ "$1" = --offline ] && net=(--net) && shift
  [ "$1" = --fresh ] && scratch=$2 archives=$3 ccache=$4 && shift 4
  unshare --mount --propagation private --pid --fork --kill-child "${net[@]}" -- /bin/bash -c '
    set -e
    root=$1 source=$2 scratch=$3 archives=$4 ccache=$5
    shift 5
    if [ -n "$scratch" ]; then
      mkdir -p "$scratch/upper" "$scratch/work" "$scratch/merged"
      mount -t overlay overlay \
        -o "lowerdir=$root,upperdir=$scratch/upper,workdir=$scratch/work" "$scratch/merged"
      root=$scratch/merged
      mkdir -p "$root/src"
      git -C "$source" ls-files -z | tar -C "$source" --null -T - -cf - | tar -C "$root/src" -xf -
      # What a newcomer downloads once and compiles once, kept outside the root.
      mkdir -p "$archives/partial" "$ccache" "$root/var/cache/apt/archives" "$root/var/cache/ccache"
      mount --bind "$archives" "$root/var/cache/apt/archives"
      mount --bind "$ccache" "$root/var/cache/ccache"
    else
      mount --bind "$root" "$root"
      mkdir -p "$root/src"
      mount --bind "$source" "$root/src"
    fi
    mount -t proc proc "$root/proc"
    mount -t sysfs sysfs "$root/sys"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs -o mode=1777 tmpfs "$root/tmp"
    mount -t tmpfs -o mode=0755 tmpfs "$root/run"
    mkdir -p "$root/.host"
    cd "$root"
    pivot_root . .host
    cd /
    umount -l /.host
    ip link set lo up 2>/dev/null || true
    exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
      CI="${CI:-}" ${scratch:+CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_DIR=/var/cache/ccache \
      CCACHE_BASEDIR=/src CCACHE_NOHASHDIR=1} \
      /bin/bash -c "cd /src && {
$*
}"' \
    stage "$root" "$source" "$scratch" "$archives" "$ccache" "$@"
}

# FirstCommand CODENAME BUILD INSIDE-ARGUMENT...: the README's first command as a newcomer types
# it: `scripts/run.sh --simulate` sets up what it needs, builds and listens; "90" then turns the
# motor 12 steps, and SIGTERM ends it with status 0 after a last write of 0. Its setup fetches
# from the mirror: a failure there is a missing mirror (skip), not a failed test.
FirstCommand() {
  local codename=$1 build=$2 said
  shift 2
  said=$(Inside "$@" 'STEPPER_BUILD='"$build"' scripts/run.sh --simulate >/tmp/trace 2>/tmp/run.log &
    pid=$!
    for _ in $(seq 1200); do
      { exec 3<>/dev/tcp/127.0.0.1/3000; } 2>/dev/null && break
      kill -0 $pid 2>/dev/null || break
      sleep 0.5
    done
    writes() { grep -c "^port 0x378 <- [0-9]* at" /tmp/trace; }
    # The start-up write first: on a loaded machine the trace writer (idle priority) may
    # not have put it in the file yet, and it must not count as a step.
    for _ in $(seq 120); do [ "$(writes)" -ge 1 ] && break; sleep 0.5; done
    before=$(writes)
    printf 90 >&3
    for _ in $(seq 120); do [ "$(writes)" -ge $((before + 12)) ] && break; sleep 0.5; done
    sleep 0.5
    steps=$(($(writes) - before))
    kill -TERM $pid 2>/dev/null; wait $pid; status=$?
    echo "steps $steps status $status last $(tail -n1 /tmp/trace | cut -d" " -f4)"
    grep -iE "cannot|error|unable|failed|E: " /tmp/run.log | head -n3' 2>&1 | paste -sd' ')
  case $said in
  "steps 12 status 0 last 0")
    echo "$codename stage: scripts/run.sh --simulate set up, built and listened; 90 gave 12 steps, SIGTERM status 0 after a write of 0" ;;
  *Unable\ to\ locate* | *Could\ not\ resolve* | *Failed\ to\ fetch* | *Temporary\ failure*)
    skip "the setup inside the $codename root could not fetch: $said" ;;
  *)
    echo "$codename stage: scripts/run.sh --simulate, then 90 and SIGTERM: '$said' ('steps 12 status 0 last 0' expected)"
    return 1 ;;
  esac
}
