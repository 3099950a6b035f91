#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the Debian package the build made: one .deb, the files it must hold, its control
# fields, the validators of each file, and that the packaged binary runs.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
id=io.github.stepperdial.StepperDial
fail() { echo "package check: $*" >&2; exit 1; }

debs=("$build"/stepper-dial_*_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "expected one stepper-dial_*.deb in $build"
deb=${debs[0]}
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root"

for file in usr/bin/stepper-dial usr/share/applications/$id.desktop \
  usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/metainfo/$id.metainfo.xml \
  usr/share/man/man1/stepper-dial.1.gz lib/systemd/system/stepper-dial.service \
  lib/sysusers.d/stepper-dial.conf etc/default/stepper-dial; do
  # /lib is /usr/lib on a merged-/usr system; the package holds it under usr/.
  [ -e "$root/$file" ] || [ -e "$root/usr/$file" ] || fail "missing /$file"
done

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Section)" = electronics ] || fail "Section is $(field Section)"
[ "$(field Version)" = "$(sed -n 's/^project(stepper-dial VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
  fail "Version $(field Version) is not the project's"
for dep in culmus libqt6widgets6 libqt6network6 libc6; do
  field Depends | grep -q "$dep" || fail "Depends lacks $dep: $(field Depends)"
done
[ -n "$(field Maintainer)" ] || fail "no Maintainer"

desktop-file-validate "$root/usr/share/applications/$id.desktop"
appstreamcli validate --no-net --pedantic "$root/usr/share/metainfo/$id.metainfo.xml"
gzip -t "$root/usr/share/man/man1/stepper-dial.1.gz"
zcat "$root/usr/share/man/man1/stepper-dial.1.gz" | grep -q '^\.SH EXIT STATUS' || fail "man page"
unit=$(find "$root" -name stepper-dial.service)
if command -v systemd-analyze >/dev/null; then
  # The unit names /usr/bin/stepper-dial; verify it against the unpacked package.
  sed "s|/usr/bin/stepper-dial|$root/usr/bin/stepper-dial|" "$unit" > "$root/stepper-dial.service"
  out=$(systemd-analyze verify --man=no "$root/stepper-dial.service" 2>&1) && [ -z "$out" ] ||
    { echo "$out" >&2; fail "systemd-analyze verify"; }
fi
version=$("$root/usr/bin/stepper-dial" --version)
[ "$version" = "stepper-dial $(field Version)" ] || fail "packaged binary says '$version'"
echo "package check: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -c "$deb" | grep -vc '/$') files) is sound"
