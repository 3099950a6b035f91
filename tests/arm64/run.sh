#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The arm64 package on an emulated arm64 machine: Debian's arm64 kernel booted in
# qemu-system-aarch64 (the virt machine, TCG) with a gpio-sim chip cross-built from Debian's
# kernel sources, on an arm64 Debian root (debootstrap, run through qemu-user) in which the
# package is installed as an administrator installs it. The guest runs the GPIO cases of
# tests/kernel/guest.sh with the packaged program and reads the lines back from the kernel.
# Usage: tests/arm64/run.sh PACKAGE.deb. The kernel, the root and the module are kept in
# /var/cache/stepper-dial/arm64. Exit 0 pass, 1 fail, 77 skipped (one line why).
set -uo pipefail
deb=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)
cache=${STEPPER_ROOT_CACHE:-/var/cache/stepper-dial}/arm64
root=$cache/root
skip() {
  echo "arm64 kernel stage skipped: $*"
  exit 77
}
fail() {
  echo "arm64 kernel stage: $*"
  exit 1
}
[ "$(id -u)" = 0 ] || skip "debootstrap, chroot and the binfmt handler need root"
for tool in qemu-system-aarch64 debootstrap depmod cpio aarch64-linux-gnu-gcc; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
[ -e /proc/sys/fs/binfmt_misc/stepper-dial-aarch64 ] || [ -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ] ||
  skip "arm64 programs do not run here (no binfmt handler: tests/arm64/binfmt.sh on)"
# shellcheck source=tests/release/mirror.sh
. "$here/../release/mirror.sh"
mkdir -p "$cache"

# Debian's arm64 kernel, its headers, build scripts and sources as one version the archive
# holds (tests/kernel/kernelset.sh), with a static busybox, unpacked without being installed.
# shellcheck source=tests/kernel/kernelset.sh
. "$here/../kernel/kernelset.sh"
chosen=$(KernelVersionSet arm64) || { echo "$chosen"; exit 1; }
read -r version release <<<"$chosen"
echo "arm64 kernel stage: Debian's arm64 kernel $release at $version, with kbuild and sources of that version"
kernel=$cache/kernel-$version
FetchKernelSet arm64 "$version" "$release" "$kernel" busybox-static:arm64
source_tar=$(compgen -G "$kernel/usr/src/linux-source-*.tar.xz" | head -n1)
gpio_sim=$(STEPPER_LINUX_SOURCE=$source_tar "$here/../kernel/build-gpio-sim.sh" "$release" "$cache" \
  "$kernel/usr/src/linux-headers-$release" ARCH=arm64 CROSS_COMPILE=aarch64-linux-gnu- \
  2>"$cache/gpio-sim-build.log") || {
  tail -n 5 "$cache/gpio-sim-build.log"
  echo "gpio-sim does not build for $release"
  exit 1
}

# The arm64 root, made once with the package's dependencies; trusted only when finished and
# with nothing half-installed.
needs=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/|.*//; s/ //g' | grep . |
  grep -v -- '-abi$' | paste -sd, -)
if ! [ -f "$root/.stepper-dial-root" ] || [ "$(cat "$root/.stepper-dial-root")" != "$needs" ] ||
  [ -n "$(chroot "$root" dpkg --audit 2>&1)" ]; then
  rm -rf "$root" "$root.new"
  echo "arm64 kernel stage: making an arm64 root (once; kept in $cache)"
  timeout 1800 debootstrap --arch=arm64 --variant=minbase --include="kmod,iproute2,$needs" \
    bookworm "$root.new" "$(HostMirror)" >"$cache/debootstrap.log" 2>&1 ||
    skip "debootstrap could not make an arm64 root: $(tail -n1 "$cache/debootstrap.log")"
  echo "$needs" >"$root.new/.stepper-dial-root"
  mv "$root.new" "$root"
fi
# The package as an administrator installs it, and the kernel's modules for the guest.
cp "$deb" "$root/tmp/stepper-dial.deb"
chroot "$root" dpkg -i /tmp/stepper-dial.deb >"$cache/install.log" 2>&1 ||
  { cat "$cache/install.log"; echo "arm64 kernel stage: the package does not install"; exit 1; }
rm -rf "$root/lib/modules" && mkdir -p "$root/lib/modules" "$root/opt/stepper-test"
cp -a "$kernel/lib/modules/$release" "$root/lib/modules/"
cp "$here/../kernel/guest.sh" "$gpio_sim" "$root/opt/stepper-test/"

# A busybox initramfs that switches into the root and runs the GPIO cases there.
{
  echo 'for d in tmp run; do mount -t tmpfs -o mode=1777 tmpfs /newroot/$d; done'
  echo 'for d in dev proc sys; do mount --move /$d /newroot/$d; done'
  printf 'exec switch_root /newroot /bin/bash /opt/stepper-test/guest.sh /usr/bin/stepper-dial %q %q %s\n' \
    "/opt/stepper-test/$(basename "$gpio_sim")" "$release" "gpio-move gpio-busy gpio-missing"
} | "$here/../kernel/initramfs.sh" "$kernel/bin/busybox" "$kernel" "$release" rw "$cache/initrd.gz" ||
  { echo "arm64 kernel stage: no initramfs"; exit 1; }

log=$cache/console.log
echo "== booting $release (arm64) under tcg"
start=$(date +%s)
timeout 900 qemu-system-aarch64 -machine virt -cpu cortex-a57 -m 1024 -smp 2 -nodefaults \
  -display none -no-reboot -serial stdio \
  -kernel "$kernel/boot/vmlinuz-$release" -initrd "$cache/initrd.gz" \
  -append "console=ttyAMA0 quiet panic=-1 rdinit=/init" \
  -virtfs local,path="$root",mount_tag=hostroot,security_model=none,multidevs=remap \
  </dev/null 2>&1 | tr -d '\r' | tee "$log" | grep --line-buffered -E '^(CASE|KERNEL-STAGE)'
status=${PIPESTATUS[0]}
echo "== arm64 kernel stage: $(($(date +%s) - start)) s in all (console: $log)"
if ! grep -q '^KERNEL-STAGE booted' "$log"; then
  tail -n 20 "$log"
  echo "the arm64 guest did not start (qemu status $status)"
  exit 1
fi
grep -q '^KERNEL-STAGE done' "$log" || { echo "the arm64 guest did not finish (qemu status $status)"; exit 1; }
if grep -q '^CASE .* FAIL' "$log"; then exit 1; fi
exit 0
