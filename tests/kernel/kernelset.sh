# SPDX-License-Identifier: MIT
# One version of Debian's kernel packages that the archive really holds as a set: the image,
# its headers, the build scripts (kbuild, for this machine) and the sources gpio-sim is built
# from. The security archive often carries a newer kbuild or source than image for days after
# a kernel update; pairing the installed kbuild with whatever image is listed then finds
# nothing. Sourced by the kernel stages; each caller defines skip() and fail() (which, inside
# KernelVersionSet's $(...), print the line and end only the subshell).

# KernelUpstream VERSION: 6.1 for 6.1.176-1, 6.12 for 6.12.57-1.
KernelUpstream() {
  local upstream=${1%%-*}
  echo "${upstream%.*}"
}

# KernelVersionSet ARCH: prints "VERSION RELEASE" for the newest linux-image-ARCH whose exact
# version the lists also hold for linux-kbuild-X.Y; STEPPER_KERNEL_VERSION asks for one
# version, which must then have both. Fails with one line naming both versions otherwise.
KernelVersionSet() {
  local arch=$1 version kbuilds release
  local images
  images=$(apt-cache madison "linux-image-$arch:$arch" 2>/dev/null | awk -F'|' '{gsub(/ /, "", $2); print $2}')
  [ -n "$images" ] || fail "no linux-image-$arch:$arch in the apt lists (dpkg --add-architecture $arch, apt-get update)"
  for version in ${STEPPER_KERNEL_VERSION:-$images}; do
    kbuilds=$(apt-cache madison "linux-kbuild-$(KernelUpstream "$version")" 2>/dev/null |
      awk -F'|' '{gsub(/ /, "", $2); print $2}' | paste -sd' ')
    if [[ " $kbuilds " == *" $version "* ]]; then
      release=$(apt-cache show "linux-image-$arch:$arch=$version" 2>/dev/null |
        sed -n 's/^Depends: linux-image-\([^ ]*\) .*/\1/p' | head -n1)
      [ -n "$release" ] && echo "$version $release" && return 0
    fi
    [ -n "${STEPPER_KERNEL_VERSION:-}" ] &&
      fail "linux-image-$arch $version has no linux-kbuild-$(KernelUpstream "$version") of its version (the lists hold kbuild ${kbuilds:-none}, images $(echo "$images" | paste -sd' ')): choose a version both have"
  done
  fail "no linux-image-$arch version ($(echo "$images" | paste -sd' ')) has a linux-kbuild of the same version in the apt lists"
}

# FetchKernelSet ARCH VERSION RELEASE DIR [PACKAGE...]: downloads the set (and any further
# packages, such as busybox-static:ARCH) and unpacks it into DIR, installing nothing on this
# machine; the headers are pointed at their shared half and build scripts inside DIR. Kept
# once done.
FetchKernelSet() {
  local arch=$1 version=$2 release=$3 dir=$4 upstream abi
  shift 4
  upstream=$(KernelUpstream "$version") abi=${release%-"$arch"}
  [ -f "$dir/.unpacked" ] && return 0
  rm -rf "$dir" && mkdir -p "$dir/debs"
  (cd "$dir/debs" && apt-get download -q "linux-image-$release:$arch=$version" \
    "linux-headers-$release:$arch=$version" "linux-headers-$abi-common=$version" \
    "linux-kbuild-$upstream=$version" "linux-source-$upstream=$version" "$@" \
    >"$dir/download.log" 2>&1) ||
    skip "the $arch kernel packages $version cannot be downloaded: $(grep -m1 -E '^(E|W):' "$dir/download.log")"
  for package in "$dir"/debs/*.deb; do dpkg-deb -x "$package" "$dir"; done
  sed -i "s|/usr/src/|$dir/usr/src/|" "$dir/usr/src/linux-headers-$release/Makefile"
  depmod -b "$dir" "$release"
  rm -rf "$dir/debs"
  touch "$dir/.unpacked"
}
