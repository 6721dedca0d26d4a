#!/usr/bin/env bash
# Makes the Debian package from this build tree, checks it with lintian, installs it, starts the
# installed program as an ordinary user with no display and checks that it listens on its ports,
# then removes the package again. Needs root; exits 77 (skipped) when it cannot run here.
# Usage: package_test.sh <build dir> <version> <sanitized: ON/OFF>
set -uo pipefail

build="$1"
version="$2"
sanitized="$3"
program=/usr/libexec/quorell/quorell

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }

[ "$sanitized" = OFF ] || skip "packages are made from a build without sanitizers"
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
for tool in cpack dpkg dpkg-deb dpkg-query lintian setpriv ss getcap file; do
  command -v "$tool" >/dev/null || skip "$tool is not installed (scripts/setup installs it)"
done
installed() { dpkg-query -W -f='${Status}' quorell 2>/dev/null | grep -qv "not-installed"; }
installed && skip "a quorell package is already installed here; not replacing it"

tmp="$(mktemp -d)"
we_installed=0
pid=""
cleanup() {
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then kill -KILL "$pid"; fi
  if [ "$we_installed" = 1 ]; then dpkg --purge quorell >/dev/null 2>&1 || true; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# ---- the package itself ---------------------------------------------------------------------
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$tmp/out" >"$tmp/cpack.log" 2>&1 ||
  { cat "$tmp/cpack.log"; fail "cpack did not make the package"; }
deb="$(ls "$tmp"/out/quorell_*.deb)"
[ -f "$deb" ] || fail "no quorell_*.deb in $tmp/out"
echo "package: $(basename "$deb")"
dpkg-deb -f "$deb" Version Installed-Size Depends

[ "$(dpkg-deb -f "$deb" Version)" = "$version-1" ] || fail "package version is not $version-1"
depends="$(dpkg-deb -f "$deb" Depends)"
for need in libqt6widgets6 libqt6multimedia6 gstreamer1.0-plugins-good qt6-qpa-plugins \
            fonts-wqy-microhei qt6-translations-l10n libcap2-bin libpulse0 libssl3 libsqlite3-0 \
            gstreamer1.0-plugins-base gstreamer1.0-plugins-bad gstreamer1.0-nice libgstreamer1.0-0; do
  grep -Eq "(^|, )$need( |,|$)" <<<"$depends" || fail "Depends lacks $need"
done
# Every GStreamer element a call builds (media/) comes from a package the Depends names: GStreamer
# finds elements by name at run time, so no library dependency brings them.
if command -v gst-inspect-1.0 >/dev/null; then
  for element in webrtcbin nicesrc nicesink dtlssrtpenc dtlssrtpdec rtpbin webrtcdsp \
                 webrtcechoprobe opusenc opusdec rtpopuspay rtpopusdepay vp8enc vp8dec rtpvp8pay \
                 rtpvp8depay pulsesrc pulsesink v4l2src appsrc appsink videoconvert videoscale \
                 videorate audioconvert audioresample volume capsfilter queue; do
    file="$(gst-inspect-1.0 "$element" 2>/dev/null | sed -n 's/^ *Filename *//p' | head -n 1)"
    [ -n "$file" ] || fail "GStreamer has no element $element here"
    file="$(readlink -f "$file")"  # /lib is /usr/lib, which is where dpkg knows the files
    owner="$(dpkg -S "$file" 2>/dev/null | head -n 1 | cut -d: -f1)"
    [ -n "$owner" ] || fail "no Debian package holds $file ($element)"
    grep -Eq "(^|, )$owner( |,|$)" <<<"$depends" || fail "Depends lacks $owner, which holds $element"
  done
fi

# lintian: no errors (warnings are printed for the record).
lintian --fail-on error "$deb" >"$tmp/lintian.log" 2>&1
lintian_status=$?
grep -v "running with root privileges" "$tmp/lintian.log"
[ "$lintian_status" -eq 0 ] || fail "lintian reports errors"
! grep -q "^E:" "$tmp/lintian.log" || fail "lintian reports errors"

dpkg-deb -x "$deb" "$tmp/root"
metainfo=("$tmp"/root/usr/share/metainfo/*.metainfo.xml)
if command -v appstreamcli >/dev/null; then
  appstreamcli validate --no-net "${metainfo[0]}" || fail "the AppStream metainfo is not valid"
fi
id="$(basename "${metainfo[0]}" .metainfo.xml)"
desktop="$tmp/root/usr/share/applications/$id.desktop"
[ -f "$desktop" ] || fail "no desktop entry named after the metainfo id $id"
# The desktop ties the window to its entry, and so to its icon, by the window's class.
grep -qx "StartupWMClass=quorell" "$desktop" || fail "the desktop entry names no window class"
icon="$(sed -n 's/^Icon=//p' "$desktop")"
icons="$tmp/root/usr/share/icons/hicolor"
[ -s "$icons/scalable/apps/$icon.svg" ] || fail "no scalable $icon icon"
for size in 16 22 24 32 48 64 128 256; do
  png="$icons/${size}x$size/apps/$icon.png"
  file "$png" | grep -q "PNG image data, $size x $size" || fail "no $size px $icon icon"
done

# The postinst says plainly when it cannot grant the capability, and the install goes on.
dpkg-deb -e "$deb" "$tmp/control"
mkdir "$tmp/stub"
printf '#!/bin/sh\necho "Operation not supported" >&2\nexit 1\n' >"$tmp/stub/setcap"
chmod +x "$tmp/stub/setcap"
for case in "$tmp/stub:/usr/bin:/bin|could not grant.*Operation not supported" \
            "/usr/bin:/bin|setcap (package libcap2-bin) was not found"; do
  said="$(PATH="${case%%|*}" sh "$tmp/control/postinst" configure 2>&1)" ||
    fail "the postinst failed without setcap's help"
  grep -q "${case#*|}" <<<"$said" || fail "the postinst did not say why: $said"
  grep -q "setcap cap_net_bind_service=+ep $program" <<<"$said" ||
    fail "the postinst did not say what to run: $said"
done

# ---- installed, and run as nobody -------------------------------------------------------------
we_installed=1
if ! dpkg -i "$deb" >"$tmp/dpkg.log" 2>&1; then
  cat "$tmp/dpkg.log"
  grep -qi "lock" "$tmp/dpkg.log" && skip "dpkg is busy with another installation"
  fail "dpkg -i failed"
fi
cat "$tmp/dpkg.log"
if ! getcap "$program" | grep -q cap_net_bind_service; then
  grep -q "could not grant" "$tmp/dpkg.log" &&
    skip "this file system cannot hold file capabilities (the postinst said so)"
  fail "the postinst did not grant cap_net_bind_service and did not say so"
fi
resolved="$(readlink -f /usr/bin/quorell)"
[ "$resolved" = "$program" ] || fail "/usr/bin/quorell leads to '$resolved'"
[ -s "$(dirname "$resolved")/Sound.WAV" ] || fail "the ring sound is not beside the program"

home="$tmp/home"
mkdir "$home" && chown nobody:nogroup "$home" && chmod 700 "$home" && chmod 711 "$tmp"
# exec: started in the background, the program keeps the pid that $! names. Buses that are not
# there keep it from announcing itself through the machine's Avahi daemon.
as_nobody() {
  exec setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i HOME="$home" XDG_RUNTIME_DIR="$home" PATH=/usr/bin:/bin \
    DBUS_SYSTEM_BUS_ADDRESS="unix:path=$home/no-system-bus" \
    DBUS_SESSION_BUS_ADDRESS="unix:path=$home/no-session-bus" "$@"
}
got="$(as_nobody quorell --version)" || fail "quorell --version failed"
[ "$got" = "Quorell $version" ] || fail "quorell --version said '$got'"

busy() { [ -n "$(ss -Hltn 'sport = :1001')$(ss -Hltn 'sport = :9002')$(ss -Hlun 'sport = :8090')" ]; }
for _ in $(seq 60); do busy || break; sleep 0.5; done
busy && skip "another program holds port 1001, 9002 or 8090"

as_nobody QT_QPA_PLATFORM=offscreen quorell >"$tmp/run.log" 2>&1 &
pid=$!
listening() {
  ss -Hltnp 'sport = :1001' | grep -q "pid=$pid," &&
    ss -Hltnp 'sport = :9002' | grep -q "pid=$pid," &&
    ss -Hlunp 'sport = :8090' | grep -q "pid=$pid,"
}
for _ in $(seq 100); do
  listening && break
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
if ! listening; then
  cat "$tmp/run.log"
  fail "the installed program, run as nobody, is not listening on 1001, 9002 and 8090"
fi
[ "$(ps -o user= -p "$pid")" = nobody ] || fail "the program is not running as nobody"
echo "listening as nobody on TCP 1001 and 9002 and UDP 8090"
kill -TERM "$pid"
for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$pid" 2>/dev/null && fail "the program did not end on SIGTERM"
wait "$pid"
pid=""

# ---- and gone again -------------------------------------------------------------------------
dpkg --purge quorell >/dev/null || fail "dpkg --purge failed"
we_installed=0
installed && fail "the package is still installed"
[ ! -e "$program" ] && [ ! -e /usr/bin/quorell ] || fail "files of the package remain"
echo "installed, ran and removed"
