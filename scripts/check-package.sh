#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Checks the Debian package the build made: one .deb, the files it must hold, its control
# fields and maintainer scripts, lintian, the validators of each file, the service's
# hardening, and that the packaged binary runs, is hardened and tells systemd it is ready.
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

for file in usr/bin/stepper-dial usr/lib/stepper-dial/stepper-dial-window.so \
  usr/share/applications/$id.desktop \
  usr/share/icons/hicolor/scalable/apps/$id.svg usr/share/metainfo/$id.metainfo.xml \
  usr/share/man/man1/stepper-dial.1.gz lib/systemd/system/stepper-dial.service \
  lib/sysusers.d/stepper-dial.conf lib/udev/rules.d/60-stepper-dial-gpio.rules \
  lib/modules-load.d/stepper-dial.conf \
  etc/default/stepper-dial usr/share/doc/stepper-dial/copyright \
  usr/share/doc/stepper-dial/changelog.gz; do
  # /lib is /usr/lib on a merged-/usr system; the package holds it under usr/.
  [ -e "$root/$file" ] || [ -e "$root/usr/$file" ] || fail "missing /$file"
done

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Section)" = electronics ] || fail "Section is $(field Section)"
[ "$(field Version)" = "$(sed -n 's/^project(stepper-dial VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)" ] ||
  fail "Version $(field Version) is not the project's"
# shlibdeps names the packages of this release's own libraries (Debian 13's 64-bit-time ones,
# such as libqt6core6t64, among them).
needed=(culmus libc6)
for soname in $(objdump -p "$root/usr/bin/stepper-dial" |
  awk '$1 == "NEEDED" && $2 ~ /^lib(Qt6Core|Qt6Network|gpiod|mosquitto|systemd)/ { print $2 }'); do
  needed+=("$(dpkg -S "*/$soname" | cut -d: -f1 | head -n1)")
done
for dep in "${needed[@]}"; do
  field Depends | tr -d ' ' | tr ',|' '\n\n' | sed 's/(.*//' | grep -qx "$dep" ||
    fail "Depends lacks $dep: $(field Depends)"
done
echo "package check: Depends has this release's ${needed[*]}"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
control=$(mktemp -d)
dpkg-deb -e "$deb" "$control"
for script in postinst prerm postrm; do
  [ -x "$control/$script" ] || fail "no $script"
  sh -n "$control/$script" || fail "$script does not parse"
done
grep -q 'try-restart' "$control/postinst" || fail "postinst does not restart on upgrade"
grep -q 'deb-systemd-helper purge' "$control/postrm" || fail "postrm leaves the enable links"
rm -rf "$control"

# Debian's own verdict: no error and no warning, even pedantic ones.
lintian_out=$(lintian --pedantic --info "$deb" 2>&1 | grep -v '^running with root privileges' || true)
if echo "$lintian_out" | grep -qE '^(E|W): '; then
  echo "$lintian_out" >&2
  fail "lintian"
fi
echo "$lintian_out" | grep -E '^(I|P): ' || true

grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/' \
  "$root/usr/share/doc/stepper-dial/copyright" || fail "copyright is not machine-readable"
zcat "$root/usr/share/doc/stepper-dial/changelog.gz" | sed -n 1p |
  grep -q "^stepper-dial ($(field Version))" || fail "changelog does not start at this version"
grep -q '<project_license>MIT</project_license>' "$root/usr/share/metainfo/$id.metainfo.xml" ||
  fail "metainfo names no licence"
grep -q '^StartupWMClass=stepper-dial$' "$root/usr/share/applications/$id.desktop" ||
  fail "desktop entry has no StartupWMClass"

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
for setting in Type=notify WatchdogSec= 'RestartPreventExitStatus=2 3 4' \
  'ExecStart=/usr/bin/stepper-dial --headless' RuntimeDirectoryMode=0700 \
  'After=network.target systemd-modules-load.service' \
  DevicePolicy=closed; do
  grep -q "^$setting" "$unit" || fail "the unit lacks $setting"
done
if command -v systemd-analyze >/dev/null; then
  exposure=$(systemd-analyze security --offline=yes "$root/stepper-dial.service" 2>/dev/null |
    sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
  # 1.8 before the MQTT bridge: it needs no more than the network the unit already allows.
  awk "BEGIN { exit !(\"$exposure\" != \"\" && $exposure <= 1.8) }" ||
    fail "the unit's exposure is ${exposure:-unknown}, above 1.8"
  # The stepping thread's real-time and locked memory must survive the system-call filter.
  allowed=$(sed -n 's/^SystemCallFilter=\([^~].*\)/\1/p' "$unit")
  denied=$(sed -n 's/^SystemCallFilter=~//p' "$unit")
  for call in sched_setscheduler mlockall; do
    echo " $allowed " | grep -q " $call " || fail "SystemCallFilter does not allow $call"
    # shellcheck disable=SC2086
    if [ -n "$denied" ] && systemd-analyze syscall-filter $denied | grep -qx " *$call"; then
      fail "SystemCallFilter=~$denied takes $call away"
    fi
  done
fi

# Debian's hardening on the binary: full RELRO, PIE, stack protector, fortified calls.
binary="$root/usr/bin/stepper-dial"
elf=$(readelf -d -lW -h --dyn-syms "$binary")
grep -q 'BIND_NOW' <<<"$elf" || fail "binary not linked -z now"
grep -q 'GNU_RELRO' <<<"$elf" || fail "binary without RELRO"
grep -q 'Type: *DYN' <<<"$elf" || fail "binary is not PIE"
grep -q '__stack_chk_fail' <<<"$elf" || fail "no stack protector"
grep -q '__[a-z]*_chk@' <<<"$elf" || fail "no fortified calls"

# READY=1 (and the status) reaches the notify socket once port 3000 listens.
python3 - "$binary" <<'PY' || fail "no READY=1, or a headless run mapped a GUI library"
import os, socket, subprocess, sys, tempfile
path = os.path.join(tempfile.mkdtemp(), "notify")
sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sock.bind(path)
sock.settimeout(20)
env = dict(os.environ, NOTIFY_SOCKET=path)
# As the unit starts it: headless, so no GUI library may be mapped.
program = subprocess.Popen([sys.argv[1], "--headless", "--simulate", "--listen", "127.0.0.1"],
                           env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
try:
    message = sock.recv(4096).decode()
    with open(f"/proc/{program.pid}/maps") as maps:
        gui = sorted({line.split()[-1] for line in maps
                      if any(lib in line for lib in ("libQt6Gui", "libQt6Widgets", "libxcb",
                                                     "libfontconfig", "stepper-dial-window"))})
finally:
    program.terminate()
    program.wait()
print("package check: notify socket got " + message.replace("\n", " | "))
if gui:
    print("package check: a headless run mapped " + ", ".join(gui))
sys.exit(0 if message.startswith("READY=1\nSTATUS=driving simulated port") and not gui else 1)
PY

# The shipped defaults name an output: without it the service fails once, saying which file
# to edit, instead of simulating.
if ! grep -qs '^888' /proc/sys/dev/parport/parport*/base-addr; then
  # shellcheck disable=SC1091
  opts=$(. "$root/etc/default/stepper-dial" && echo "$STEPPER_DIAL_OPTS")
  set +e
  # shellcheck disable=SC2086
  out=$(STEPPER_DIAL_SETTINGS=/etc/default/stepper-dial "$binary" --headless $opts 2>&1 >/dev/null)
  status=$?
  set -e
  [ "$status" = 3 ] && [ "$(echo "$out" | wc -l)" = 1 ] &&
    echo "$out" | grep -q 'edit STEPPER_DIAL_OPTS in /etc/default/stepper-dial' ||
    fail "defaults without their output: status $status, '$out'"
fi

version=$("$root/usr/bin/stepper-dial" --version)
[ "$version" = "stepper-dial $(field Version)" ] || fail "packaged binary says '$version'"
echo "package check: $(basename "$deb") ($(du -k "$deb" | cut -f1) KiB, $(dpkg-deb -c "$deb" | grep -vc '/$') files) is sound"
