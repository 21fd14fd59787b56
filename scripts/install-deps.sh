#!/usr/bin/env bash
# Installs the Debian 12 packages KivoCam needs to build, test and run, when any is missing.
set -euo pipefail
packages=(
  build-essential cmake pkg-config git clang-format
  qtbase5-dev libqt5opengl5-dev
  libavcodec-dev libavformat-dev libavutil-dev libswresample-dev libswscale-dev
  libx264-dev ffmpeg
  libyuv-dev libjsoncpp-dev librtaudio-dev
  libgtest-dev libgmock-dev googletest
  xvfb xauth pulseaudio pulseaudio-utils
  fonts-wqy-microhei librsvg2-bin qrencode iproute2 util-linux procps
  clang libclang-rt-14-dev
  lintian desktop-file-utils appstream man-db dpkg-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
