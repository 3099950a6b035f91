#!/usr/bin/env bash
# Installs the Debian packages stepper-dial needs to build, test and look right.
# As root it installs what is missing; otherwise it prints the exact command and stops.
set -euo pipefail

packages=(build-essential cmake qt6-base-dev libgl-dev libgtest-dev googletest
  libbenchmark-dev culmus fontconfig xvfb xauth)
if [ "${WITH_FUZZ:-0}" = 1 ]; then
  packages+=(clang libclang-rt-14-dev)
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
  echo "  sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi
echo "stepper-dial: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
