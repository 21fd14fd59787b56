#!/usr/bin/env bash
# Builds KivoCam and writes the Debian package kivocam_<version>_<arch>.deb into BUILD_DIR.
#
#   scripts/package.sh [BUILD_DIR]              (default build/)
#   scripts/package.sh --no-build BUILD_DIR     package what is built there (the test suite does)
#
# The package is put together from `cmake --install` of the build into a staged tree, plus the
# desktop files in packaging/; its dependencies are computed from the binaries by dpkg-shlibdeps.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"
build_it=1
if [ "${1:-}" = --no-build ]; then build_it=""; shift; fi
build="${1:-${KIVOCAM_BUILD_DIR:-build}}"

if [ -n "$build_it" ]; then
  scripts/install-deps.sh
  KIVOCAM_BUILD_DIR="$build" scripts/build.sh
fi
build="$(cd "$build" && pwd)"

version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")"
arch="$(dpkg --print-architecture)"
id=com.kivocam.KivoCam

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# dpkg-shlibdeps takes libraries found below debian/<package> as the package's own.
stage="$work/debian/kivocam"
DESTDIR="$stage" cmake --install "$build" --prefix /usr --strip >/dev/null
mapfile -t elves < <(find "$stage" -type f \( -perm -u+x -o -name '*.so*' \) -exec sh -c \
  'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
# The compiler's version stamps are of no use in an installed program.
for elf in "${elves[@]}"; do objcopy --remove-section=.comment --remove-section=.note "$elf"; done

share="$stage/usr/share"
install -Dm644 packaging/kivocam.desktop "$share/applications/$id.desktop"
sed "s/@VERSION@/$version/" packaging/kivocam.metainfo.xml >"$work/metainfo.xml"
install -Dm644 "$work/metainfo.xml" "$share/metainfo/$id.metainfo.xml"
logo=ui/resources/image/svg/logo_kivocam.svg
install -Dm644 "$logo" "$share/icons/hicolor/scalable/apps/$id.svg"
for size in 16 24 32 48 64 128 256; do
  dir="$share/icons/hicolor/${size}x${size}/apps"
  mkdir -p "$dir"
  rsvg-convert -w "$size" -h "$size" "$logo" -o "$dir/$id.png"
done
for page in packaging/man/*.1; do
  install -Dm644 "$page" "$share/man/man1/$(basename "$page")"
  gzip -9n "$share/man/man1/$(basename "$page")"
done
install -Dm644 packaging/kivocam.service "$stage/usr/lib/systemd/user/kivocam.service"
install -Dm644 packaging/modules-load.conf "$stage/usr/lib/modules-load.d/kivocam.conf"
install -Dm644 packaging/modprobe.conf "$stage/lib/modprobe.d/kivocam.conf"
doc="$share/doc/kivocam"
install -Dm644 packaging/copyright "$doc/copyright"
sed "s/@VERSION@/$version/" packaging/changelog | gzip -9n >"$work/changelog.gz"
install -Dm644 "$work/changelog.gz" "$doc/changelog.gz"

# Control fields.
mkdir -p "$work/debian" "$stage/DEBIAN"
printf 'Source: kivocam\n\nPackage: kivocam\nArchitecture: any\n' >"$work/debian/control"
(cd "$work" && dpkg-shlibdeps -Tdebian/substvars -ldebian/kivocam/usr/lib/kivocam "${elves[@]#"$work"/}" 2>&1 |
  grep -v 'binaries to analyze should already be installed' >&2 || true)
depends="$(sed -n 's/^shlibs:Depends=//p' "$work/debian/substvars")"
[ -n "$depends" ] || { echo "package: dpkg-shlibdeps found no dependencies" >&2; exit 1; }
size="$(du -sk --exclude=DEBIAN "$stage" | cut -f1)"
sed -e "s/@VERSION@/$version/" -e "s/@ARCH@/$arch/" -e "s/@DEPENDS@/$depends/" \
  -e "s/@SIZE@/$size/" packaging/control >"$stage/DEBIAN/control"
install -m755 packaging/postinst "$stage/DEBIAN/postinst"
(cd "$stage" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | LC_ALL=C sort -z |
  xargs -0 md5sum >DEBIAN/md5sums)
chmod 644 "$stage/DEBIAN/md5sums"

deb="$build/kivocam_${version}_${arch}.deb"
dpkg-deb --root-owner-group -Zxz --build "$stage" "$deb" >/dev/null
echo "$deb"
