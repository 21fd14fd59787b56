#!/usr/bin/env bash
# Prepares what the camera's virtual-machine test boots, once, under CACHE (a folder in the build
# tree): Debian's own kernel (unpacked from its package, never installed), the v4l2loopback module
# built against it, and a small initramfs that mounts the host's root read-only and runs the test.
#
#   tests/vm/setup.sh CACHE        prints the kernel version on its last line
#
# The kernel package comes from apt's archive folder (scripts/install-deps.sh puts it there), from
# $KIVOCAM_VM_KERNEL_DEB, or, when the machine may download, from apt-get download.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
cache="$1"
mkdir -p "$cache"
cache="$(cd "$cache" && pwd)"

fail() {
  echo "vm setup: $*" >&2
  exit 2
}

headers="$(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V | tail -n 1 || true)"
[ -n "$headers" ] || fail "no kernel headers in /usr/src (Debian package linux-headers-amd64)"
kver="${headers#/usr/src/linux-headers-}"
loopsrc="$(ls -d /usr/src/v4l2loopback-* 2>/dev/null | sort -V | tail -n 1 || true)"
[ -n "$loopsrc" ] || fail "no v4l2loopback sources in /usr/src (Debian package v4l2loopback-dkms)"
for tool in qemu-system-x86_64 dpkg-deb make; do
  command -v "$tool" >/dev/null || fail "$tool is missing (run scripts/install-deps.sh)"
done
# The guest has no libraries of its own until the host's root is mounted.
[ -x /bin/busybox ] && /bin/busybox --list | grep -x cpio >/dev/null &&
  ! LC_ALL=C ldd /bin/busybox >/dev/null 2>&1 ||
  fail "a static busybox with cpio is missing (Debian package busybox-static)"

# 1. The kernel and its modules, unpacked.
root="$cache/kernel-$kver"
if [ ! -f "$root/.done" ]; then
  deb="${KIVOCAM_VM_KERNEL_DEB:-}"
  if [ -z "$deb" ]; then
    deb="$(ls /var/cache/apt/archives/linux-image-"$kver"_*.deb 2>/dev/null | tail -n 1 || true)"
  fi
  if [ -z "$deb" ]; then
    mkdir -p "$cache/deb"
    (cd "$cache/deb" && apt-get download "linux-image-$kver" >/dev/null 2>&1) || true
    deb="$(ls "$cache"/deb/linux-image-"$kver"_*.deb 2>/dev/null | tail -n 1 || true)"
  fi
  [ -n "$deb" ] && [ -f "$deb" ] ||
    fail "the package linux-image-$kver is not in /var/cache/apt/archives and cannot be downloaded here (run scripts/install-deps.sh)"
  rm -rf "$root"
  dpkg-deb -x "$deb" "$root"
  [ -f "$root/boot/vmlinuz-$kver" ] || fail "$deb holds no /boot/vmlinuz-$kver"
  touch "$root/.done"
fi

# 2. The loopback module, built against the headers of that kernel.
mod="$cache/v4l2loopback-$kver"
if [ ! -f "$mod/v4l2loopback.ko" ]; then
  rm -rf "$mod"
  cp -r "$loopsrc" "$mod"
  make -s -C "$headers" M="$mod" modules >"$mod/build.log" 2>&1 ||
    { tail -n 20 "$mod/build.log" >&2; fail "building v4l2loopback failed"; }
fi

# 3. The initramfs: busybox, the modules in load order, and our init.
initrd="$cache/initrd-$kver.cpio.gz"
if [ ! -f "$initrd" ] || [ "$here/init.sh" -nt "$initrd" ]; then
  tree="$cache/initrd-tree"
  rm -rf "$tree"
  mkdir -p "$tree"/{bin,dev,proc,sys,host,lib/modules}
  cp /bin/busybox "$tree/bin/busybox"
  cp "$here/init.sh" "$tree/init"
  chmod 755 "$tree/init"
  moddir="$root/lib/modules/$kver/kernel"
  order=()
  for m in virtio_ring virtio virtio_pci_modern_dev virtio_pci_legacy_dev virtio_pci netfs \
    fscache 9pnet 9pnet_virtio 9p mc videodev; do
    f="$(find "$moddir" -name "$m.ko" | head -n 1)"
    [ -n "$f" ] || fail "module $m is not in $moddir"
    cp "$f" "$tree/lib/modules/"
    order+=("$m.ko")
  done
  cp "$mod/v4l2loopback.ko" "$tree/lib/modules/"
  printf '%s\n' "${order[@]}" >"$tree/lib/modules/order"
  (cd "$tree" && find . | /bin/busybox cpio -o -H newc 2>/dev/null | gzip -1 >"$initrd.tmp")
  mv "$initrd.tmp" "$initrd"
fi
echo "$kver"
