#!/usr/bin/env bash
# Installs the Debian 12 packages KivoCam needs to build, test and run, when any is missing.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git clang-format
  qtbase5-dev libqt5opengl5-dev qttools5-dev qttools5-dev-tools
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libx264-dev ffmpeg
  libyuv-dev libjsoncpp-dev librtaudio-dev
  libgtest-dev libgmock-dev googletest
  xvfb xauth pulseaudio pulseaudio-utils
  libpipewire-0.3-dev libspa-0.2-dev pipewire wireplumber pipewire-pulse dbus
  gstreamer1.0-pipewire gstreamer1.0-tools
  fonts-wqy-microhei librsvg2-bin qrencode iproute2 util-linux procps
  clang libclang-rt-14-dev
  qemu-system-x86 busybox-static v4l-utils linux-headers-amd64 v4l2loopback-dkms
  lintian desktop-file-utils appstream man-db dpkg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# The camera's virtual-machine test boots the kernel those headers belong to. Its package is only
# fetched into apt's archive folder, never installed (installing rebuilds the initramfs for
# minutes); the test unpacks it, and runs without a network.
headers="$(ls -d /usr/src/linux-headers-*-amd64 2>/dev/null | sort -V | tail -n 1 || true)"
if [ -n "$headers" ]; then
  kver="${headers#/usr/src/linux-headers-}"
  archives=/var/cache/apt/archives
  if ! ls "$archives/linux-image-${kver}_"*.deb >/dev/null 2>&1; then
    echo "Fetching linux-image-$kver for the camera's virtual-machine test"
    # As root apt warns that its download user cannot write there; the download still works.
    (cd "$archives" && $SUDO apt-get download -qq "linux-image-$kver" 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  fi
fi
