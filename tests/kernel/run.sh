#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Boots Debian's own kernel in QEMU with an emulated parallel port at 0x378 and a gpio-sim
# chip, on this machine's root shared read-only over virtio-9p, and runs guest.sh there
# against the freshly built program. Usage: run.sh PROGRAM CACHE_DIR; STEPPER_KERNEL_CASES
# names the guest's cases to run (all by default).
# Exit 0 when every case passed, 1 when one failed, 77 (skipped) when no VM can start here.
set -euo pipefail
program=$(realpath "$1")
cache=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
skip() {
  echo "stepper-dial kernel stage skipped: $*"
  exit 77
}

qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 not installed (Debian package qemu-system-x86)"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && file -L "$busybox" | grep -q 'statically linked' ||
  skip "no static busybox (Debian package busybox-static)"
# The newest installed Debian kernel whose headers are here too.
release=""
for image in $(ls -v /boot/vmlinuz-* 2>/dev/null | tac); do
  candidate=${image#/boot/vmlinuz-}
  if [ -d "/lib/modules/$candidate/build" ]; then
    release=$candidate
    break
  fi
done
[ -n "$release" ] || skip "no /boot/vmlinuz-* with matching headers (linux-image-amd64, linux-headers-amd64)"
[ -r "/boot/vmlinuz-$release" ] || skip "/boot/vmlinuz-$release is not readable"
mkdir -p "$cache"
# gpio-sim from the sources of the kernel's own version: the security archive often has a
# newer linux-source than image for days after a kernel update.
version=$(dpkg-query -W -f='${Version}' "linux-image-$release" 2>/dev/null || true)
upstream=${version%%-*}
source_tar=/usr/src/linux-source-${upstream%.*}.tar.xz
if [ -n "$version" ] &&
  [ "$(dpkg-query -W -f='${Version}' "linux-source-${upstream%.*}" 2>/dev/null)" != "$version" ]; then
  source_tar=$cache/source-$version/usr/src/linux-source-${upstream%.*}.tar.xz
  if [ ! -f "$source_tar" ]; then
    mkdir -p "$cache/source-$version"
    (cd "$cache/source-$version" && apt-get download -q "linux-source-${upstream%.*}=$version" \
      >download.log 2>&1 && dpkg-deb -x linux-source-*.deb . && rm linux-source-*.deb) || true
  fi
  # Offline (a network namespace of its own), the installed sources still make the proof.
  if [ ! -f "$source_tar" ]; then
    source_tar=/usr/src/linux-source-${upstream%.*}.tar.xz
    echo "gpio-sim for $version from the installed $(dpkg-query -W -f='${Version}' "linux-source-${upstream%.*}" 2>/dev/null) sources: those of the kernel's version cannot be downloaded here"
  fi
fi
gpio_sim=$(STEPPER_LINUX_SOURCE=$source_tar "$here/build-gpio-sim.sh" "$release" "$cache" \
  2>"$cache/gpio-sim-build.log") || {
  tail -n 5 "$cache/gpio-sim-build.log"
  echo "gpio-sim does not build for $release"
  exit 1
}

# A busybox initramfs that switches into this machine's root, shared read-only.
{
  # A fresh /tmp and /run; what this run needs from the host's /tmp is bound back in.
  echo 'mkdir -p /hosttmp && mount --bind /newroot/tmp /hosttmp'
  echo 'for d in tmp run; do mount -t tmpfs -o mode=1777 tmpfs /newroot/$d; done'
  for keep in "$(cd "$here/../.." && pwd)" "$(dirname "$program")" "$cache"; do
    case $keep in
    /tmp/*) printf 'mkdir -p %q && mount --bind %q %q\n' "/newroot$keep" "/hosttmp${keep#/tmp}" \
      "/newroot$keep" ;;
    esac
  done
  echo 'for d in dev proc sys; do mount --move /$d /newroot/$d; done'
  printf 'exec switch_root /newroot /bin/bash %q %q %q %q' "$here/guest.sh" "$program" \
    "$gpio_sim" "$release"
  # shellcheck disable=SC2086
  [ -z "${STEPPER_KERNEL_CASES:-}" ] || printf ' %q' $STEPPER_KERNEL_CASES
  echo
} | "$here/initramfs.sh" "$busybox" / "$release" ro "$cache/initrd.gz"

accel=tcg
# A nested /dev/kvm may not run a stock kernel: KVM only when asked for.
[ "${STEPPER_KERNEL_KVM:-0}" = 1 ] && accel=kvm
log="$cache/console.log"
echo "== booting $release under $accel"
start=$(date +%s)
set +e
timeout 900 "$qemu" -machine pc,accel="$accel" -cpu max -m 1024 -smp 2 -nodefaults \
  -display none -no-reboot -serial stdio \
  -kernel "/boot/vmlinuz-$release" -initrd "$cache/initrd.gz" \
  -append "console=ttyS0 quiet panic=-1 rdinit=/init" \
  -chardev null,id=lpt -device isa-parallel,chardev=lpt,iobase=0x378,irq=7 \
  -virtfs local,path=/,mount_tag=hostroot,security_model=none,readonly=on,multidevs=remap \
  </dev/null 2>&1 | tr -d '\r' | tee "$log" | grep --line-buffered -E '^(CASE|KERNEL-STAGE)'
status=${PIPESTATUS[0]}
set -e
echo "== kernel stage: $(($(date +%s) - start)) s in all (console: $log)"
# A kernel that came up but could not run the guest is a failure here, not a missing VM.
if grep -qE 'Kernel panic|^KERNEL-STAGE no root' "$log" && ! grep -q '^KERNEL-STAGE booted' "$log"; then
  echo "the guest did not start: $(grep -m1 -E 'Kernel panic|No such file|KERNEL-STAGE no root' "$log")"
  exit 1
fi
if ! grep -q '^KERNEL-STAGE booted' "$log"; then
  [ "$status" = 124 ] && echo "the VM did not boot within the time limit"
  skip "the VM did not start (qemu status $status; see $log)"
fi
grep -q '^KERNEL-STAGE done' "$log" || { echo "the guest did not finish (qemu status $status)"; exit 1; }
grep -q '^CASE ' "$log" || { echo "the guest ran no case"; exit 1; }
if grep -q '^CASE .* FAIL' "$log"; then exit 1; fi
exit 0
