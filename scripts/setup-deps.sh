#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages stepper-dial needs to build, test, package and look right, by
# the names of the release it runs on (Debian 12 or 13, from /etc/os-release). As root it
# installs what is missing, saying what it does; otherwise it prints the exact command and stops.
set -euo pipefail

# shellcheck disable=SC1091
release=$(. /etc/os-release && echo "${VERSION_ID:-}")
case $release in
12) kernel_source=linux-source-6.1 clang_runtime=libclang-rt-14-dev unit_files=(systemd udev) ;;
13) kernel_source=linux-source-6.12 clang_runtime=libclang-rt-19-dev unit_files=(systemd-dev) ;;
*)
  echo "stepper-dial: Debian 12 or 13 expected, /etc/os-release says VERSION_ID=${release:-none};" \
    "install the packages scripts/setup-deps.sh names by hand" >&2
  exit 1
  ;;
esac

# Building, where the package's units and udev rules go (pkg-config's systemd.pc and udev.pc;
# the build falls back on the release's folders without them), the package target (file and
# dpkg-dev for CPack), and what the program draws with.
packages=(build-essential cmake pkg-config qt6-base-dev qt6-httpserver-dev qt6-websockets-dev
  libgl-dev libgpiod-dev libsystemd-dev "${unit_files[@]}" libmosquitto-dev libqt6svg6 culmus fontconfig
  xvfb xauth file dpkg-dev)
if [ "${WITH_TEST_TOOLS:-0}" = 1 ]; then
  # A compiler cache for the suite's many builds, fuzzing, network namespaces for the link-failure tests, strace (crashes injected into the
  # position file's writes), a browser for the web page, an MQTT broker and its clients
  # (with openssl for the TLS case), Prometheus and promtool for the metrics, the package
  # checks, and the
  # kernel stage: Debian's kernel with its headers and sources (gpio-sim is built from them)
  # booted in QEMU from a busybox initramfs; and a Debian root (debootstrap) in which the
  # package's service boots under systemd, or in which another release runs the suite.
  packages+=(ccache clang "$clang_runtime" iproute2 desktop-file-utils appstream lintian systemd
    python3 dbus-daemon strace chromium mosquitto mosquitto-clients openssl prometheus
    qemu-system-x86 linux-image-amd64 linux-headers-amd64 "$kernel_source" busybox-static cpio
    kmod debootstrap e2fsprogs util-linux)
fi
if [ "${STEPPER_CROSS:-}" = arm64 ]; then
  # The cross-build: the compilers, and the target's own -dev packages beside this machine's.
  packages+=(crossbuild-essential-arm64)
  for p in qt6-base-dev qt6-httpserver-dev qt6-websockets-dev libgl-dev libgpiod-dev libsystemd-dev \
    libmosquitto-dev; do
    packages+=("$p:arm64")
  done
  # Its tests: an emulated arm64 machine (qemu-user itself comes from Debian 13, see
  # tests/arm64/binfmt.sh).
  [ "${WITH_TEST_TOOLS:-0}" = 1 ] && packages+=(qemu-system-arm curl xz-utils)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "stepper-dial: missing Debian packages; run this, then try again:" >&2
  add=""
  if [ "${STEPPER_CROSS:-}" = arm64 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
    add="sudo dpkg --add-architecture arm64 && "
  fi
  echo "  ${add}sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "stepper-dial: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
if [ "${STEPPER_CROSS:-}" = arm64 ] && ! dpkg --print-foreign-architectures | grep -qx arm64; then
  dpkg --add-architecture arm64
fi
apt-get update -qq
# apt's own lines only on a terminal; its errors always.
if [ -t 2 ]; then
  apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
else
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
