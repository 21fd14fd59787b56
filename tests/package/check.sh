#!/usr/bin/env bash
# Checks a built kivocam .deb: its files and control fields, lintian, the desktop entry and the
# AppStream data, and that the programs run from the installed layout (unpacked into a temporary
# root) and find their libraries, the driver tool and the camera component there.
#
#   tests/package/check.sh PACKAGE.deb
set -euo pipefail
deb="$(realpath "$1")"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

id=com.kivocam.KivoCam
dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|' >"$work/files"
for f in /usr/bin/kivocam /usr/bin/kivocam-vcam /usr/bin/kivocam-phonesim \
  /usr/lib/kivocam/libavrecmux.so.1 /usr/lib/kivocam/libkivobridge.so.1 \
  /usr/lib/kivocam/Drivers/x64/devcon /usr/lib/kivocam/Drivers/x64/KivoVirtualAudioDevice.inf \
  /usr/lib/kivocam/kivocam-vmic \
  "/usr/share/applications/$id.desktop" "/usr/share/metainfo/$id.metainfo.xml" \
  "/usr/share/icons/hicolor/scalable/apps/$id.svg" "/usr/share/icons/hicolor/48x48/apps/$id.png" \
  "/usr/share/icons/hicolor/256x256/apps/$id.png" \
  /usr/share/man/man1/kivocam.1.gz /usr/share/man/man1/kivocam-vcam.1.gz \
  /usr/share/man/man1/kivocam-phonesim.1.gz /usr/lib/systemd/user/kivocam.service \
  /usr/lib/modules-load.d/kivocam.conf /lib/modprobe.d/kivocam.conf \
  /usr/share/doc/kivocam/copyright /usr/share/doc/kivocam/changelog.gz; do
  grep -qxF "$f" "$work/files" || fail "the package lacks $f"
done
# Nothing of the build tree's tests, benchmarks or headers.
if grep -E '/include/|_test$|/bench_|gallery|\.a$' "$work/files"; then
  fail "the package holds build-only files (above)"
fi
pass "file list ($(grep -vc '/$' "$work/files") entries)"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kivocam ] || fail "Package: $(field Package)"
depends="$(field Depends)"
for lib in libqt5widgets5 libavcodec59 libc6 librtaudio6; do
  [[ "$depends" == *"$lib"* ]] || fail "Depends lacks $lib: $depends"
done
[[ "$depends" != *v4l2loopback* && "$depends" != *pulseaudio* ]] ||
  fail "the camera module and the sound server must be recommended, not required: $depends"
recommends="$(field Recommends)"
[[ "$recommends" == *v4l2loopback-dkms* && "$recommends" == *"pulseaudio-utils | pipewire-pulse"* ]] ||
  fail "Recommends: $recommends"
pass "control fields (Depends: $depends)"

if lintian -I --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian" 2>&1; then
  pass "lintian: $(grep -c '^E:' "$work/lintian" || true) errors, $(grep -c '^W:' "$work/lintian" || true) warnings"
else
  fail "lintian"
fi
# Binaries built and stripped as Debian's own: hardened, no compiler stamps.
! grep -E 'hardening-no-|binary-has-unneeded-section' "$work/lintian" || fail "hardening"
cat "$work/lintian"

root="$work/root"
dpkg-deb -x "$deb" "$root"
desktop-file-validate "$root/usr/share/applications/$id.desktop" && pass "desktop entry" ||
  fail "desktop-file-validate"
appstreamcli validate --no-net "$root/usr/share/metainfo/$id.metainfo.xml" >"$work/as" 2>&1 &&
  pass "AppStream data" || { cat "$work/as"; fail "appstreamcli validate"; }
for page in kivocam kivocam-vcam kivocam-phonesim; do
  man -l "$root/usr/share/man/man1/$page.1.gz" >/dev/null 2>"$work/man" && [ ! -s "$work/man" ] ||
    { cat "$work/man"; fail "manual page $page"; }
done

# The installed programs, with a private home and runtime folder.
export HOME="$work/home" XDG_RUNTIME_DIR="$work/run" XDG_CONFIG_HOME="$work/home/.config"
export XDG_STATE_HOME="$work/home/.state" KIVOCAM_ADAPTERS="" QT_QPA_PLATFORM=offscreen
mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
version="$(field Version)"
out="$(timeout 20 "$root/usr/bin/kivocam" --version 2>&1)" && [[ "$out" == *"$version"* ]] &&
  pass "kivocam --version: $out" || fail "kivocam --version: $out"
timeout 20 "$root/usr/bin/kivocam-vcam" --help >/dev/null && pass "kivocam-vcam runs" || fail "kivocam-vcam --help"
timeout 20 "$root/usr/bin/kivocam-phonesim" --help >/dev/null && pass "kivocam-phonesim runs" ||
  fail "kivocam-phonesim --help"
# The driver tool: the program names the one under lib/kivocam and runs it.
timeout 20 "$root/usr/bin/kivocam" --uninstall >"$work/uninstall" 2>&1 || true
if grep -qF "\"$root/usr/lib/kivocam/Drivers/x64/devcon\" remove" "$work/uninstall" &&
  ! grep -q "could not be started" "$work/uninstall"; then
  pass "kivocam finds its driver tool"
else
  cat "$work/uninstall"
  fail "kivocam did not run the installed driver tool"
fi
# The camera component: the program starts the kivocam-vcam beside it, which says what it feeds
# (or that it has no device to feed) in its log or on the program's standard error.
vcamlog="$XDG_STATE_HOME/KivoCam/kivocam-vcam.log"
started() { grep -qs "kivocam-vcam" "$work/headless" || [ -s "$vcamlog" ]; }
"$root/usr/bin/kivocam" --headless >"$work/headless" 2>&1 &
pid=$!
for _ in $(seq 200); do
  started && break
  sleep 0.1
done
kill -TERM "$pid" 2>/dev/null || true
wait "$pid" || true
if started; then
  pass "kivocam starts its camera component"
else
  cat "$work/headless"
  fail "kivocam did not start the installed camera component"
fi
"$root/usr/bin/kivocam-vcam" --unregister >/dev/null 2>&1 || true

echo "$failures failed"
[ "$failures" = 0 ]
