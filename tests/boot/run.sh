#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The packaged service at boot under a real systemd: a root of this machine's Debian release
# (debootstrap, from this machine's own mirror) with the
# package installed and the service enabled as the README says, booted in QEMU (TCG) on this
# machine's Debian kernel with an ISA parallel port at 0x378. Once the machine is up, the
# service must be active and driving ppdev, with the shipped defaults, its position kept in its
# state directory.
# Usage: tests/boot/run.sh PACKAGE.deb [WORK-DIR]. Exit 0 pass, 1 fail, 77 skipped (one line
# why: not root, no QEMU, no Debian mirror).
set -uo pipefail
deb=$(realpath "$1")
work=$(realpath -m "${2:-build-boot}")
skip() { echo "boot stage skipped: $*"; exit 77; }
[ "$(id -u)" = 0 ] || skip "debootstrap and chroot need root"
for tool in debootstrap qemu-system-x86_64 mkfs.ext4 dpkg-deb; do
  command -v "$tool" >/dev/null || skip "$tool is missing"
done
kernel=$(ls /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n1)
release=${kernel#/boot/vmlinuz-}
[ -n "$kernel" ] && [ -r "/boot/initrd.img-$release" ] && [ -d "/lib/modules/$release" ] ||
  skip "no Debian kernel with its initrd and modules in /boot"
mkdir -p "$work"
root=$work/root
# shellcheck source=tests/release/mirror.sh
. "$(dirname "$0")/../release/mirror.sh"
codename=$(. /etc/os-release && echo "$VERSION_CODENAME")
started=$(date +%s)

# The package's run-time dependencies, from its own control file. debootstrap cannot resolve
# a virtual package (qt6-websockets-abi); the library that provides it is named beside it.
needs=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/|.*//; s/ //g' | grep . |
  grep -v -- '-abi$' | paste -sd, -)
if [ ! -x "$root/usr/bin/systemctl" ] || [ "$(cat "$work/needs" 2>/dev/null)" != "$needs" ]; then
  rm -rf "$root"
  timeout 900 debootstrap --variant=minbase --include="systemd,systemd-sysv,udev,kmod,$needs" \
    "$codename" "$root" "$(HostMirror)" >"$work/debootstrap.log" 2>&1 ||
    skip "debootstrap could not build a Debian root (no mirror?): $(tail -n1 "$work/debootstrap.log")"
  echo "$needs" >"$work/needs"
fi

# The package as an administrator installs it: installed, the service enabled, nothing else.
rm -rf "$root/lib/modules/$release"
mkdir -p "$root/lib/modules"
cp -a "/lib/modules/$release" "$root/lib/modules/"
cp "$deb" "$root/tmp/stepper-dial.deb"
chroot "$root" dpkg -i /tmp/stepper-dial.deb >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; echo "boot stage: the package does not install"; exit 1; }
chroot "$root" systemctl enable stepper-dial >>"$work/install.log" 2>&1
# Once the machine is up, the service's state goes to the console, then the machine stops.
cat >"$root/etc/systemd/system/bootcheck.service" <<'UNIT'
[Unit]
Description=Report the stepper-dial service once the machine is up
After=stepper-dial.service multi-user.target
[Service]
Type=oneshot
ExecStart=/bin/sh -c 'sleep 5; { echo BOOTCHECK-BEGIN; systemctl show -p ActiveState -p StatusText stepper-dial; journalctl -b --no-pager -u stepper-dial; echo BOOTCHECK-END; } >/dev/ttyS0 2>&1; systemctl poweroff'
[Install]
WantedBy=multi-user.target
UNIT
chroot "$root" systemctl enable bootcheck >>"$work/install.log" 2>&1
# No login prompt on the console: it would land in the middle of the report's lines.
chroot "$root" systemctl mask serial-getty@ttyS0.service >>"$work/install.log" 2>&1
echo "/dev/vda / ext4 rw 0 1" >"$root/etc/fstab"
rm -f "$work/disk.img"
truncate -s 3G "$work/disk.img"
mkfs.ext4 -q -F -d "$root" "$work/disk.img" || { echo "boot stage: mkfs.ext4 -d failed"; exit 1; }

timeout 600 qemu-system-x86_64 -machine pc -accel tcg -m 1536 -smp 2 -nographic -no-reboot \
  -kernel "$kernel" -initrd "/boot/initrd.img-$release" \
  -append "root=/dev/vda rw console=ttyS0 net.ifnames=0" \
  -drive "file=$work/disk.img,if=virtio,format=raw" \
  -chardev null,id=lpt -device isa-parallel,chardev=lpt,iobase=0x378,irq=7 -net none \
  </dev/null 2>&1 | tr -d '\r' >"$work/console.log"
report=$(sed -n '/BOOTCHECK-BEGIN/,/BOOTCHECK-END/p' "$work/console.log" | sed 's/.*BOOTCHECK-BEGIN//')
echo "== boot stage: $(($(date +%s) - started)) s in all (console: $work/console.log)"
echo "$report" | grep -v BOOTCHECK
if echo "$report" | grep -q 'ActiveState=active' &&
  echo "$report" | grep -q 'StatusText=driving ppdev /dev/parport0' &&
  echo "$report" | grep -q 'position kept in /var/lib/stepper-dial/position'; then
  echo "boot stage: the enabled service came up at boot, driving ppdev, keeping its position"
  exit 0
fi
[ -n "$report" ] || tail -n 30 "$work/console.log"
echo "boot stage: the enabled service is not active after boot"
exit 1
