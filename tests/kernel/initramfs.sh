#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes a busybox initramfs whose /init loads 9p over virtio (with the modules of RELEASE found
# under MODULE-BASE), mounts the guest's root from the 9p tag "hostroot" with MOUNT-OPTIONS on
# /newroot, and then runs the rest of /init, read from standard input.
# Usage: initramfs.sh BUSYBOX MODULE-BASE RELEASE MOUNT-OPTIONS OUTPUT.gz
set -euo pipefail
busybox=$1 base=$2 release=$3 options=$4 output=$5
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkdir -p "$dir"/{bin,modules,proc,sys,dev,newroot}
cp "$busybox" "$dir/bin/busybox"
for name in virtio_pci 9p 9pnet_virtio; do
  modprobe -d "$base" --show-depends -S "$release" "$name" | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' >"$dir/order"
while read -r path; do cp "$path" "$dir/modules/"; done <"$dir/order"
{
  echo '#!/bin/busybox sh'
  echo '/bin/busybox --install -s /bin'
  echo 'mount -t proc proc /proc; mount -t sysfs sys /sys; mount -t devtmpfs dev /dev'
  while read -r path; do echo "insmod /modules/$(basename "$path")"; done <"$dir/order"
  echo "mount -t 9p -o trans=virtio,version=9p2000.L,msize=524288,$options hostroot /newroot ||"
  echo '  { echo "KERNEL-STAGE no root over 9p"; poweroff -f; }'
  cat
} >"$dir/init"
rm "$dir/order"
chmod +x "$dir/init"
(cd "$dir" && find bin modules proc sys dev newroot init | cpio -o -H newc --quiet) | gzip -1 >"$output"
