#!/usr/bin/env bash
# Installs the Debian packages Loopsmith builds and tests with. Quick when
# everything is already there: apt runs only for what is missing.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libbenchmark-dev
  libgif-dev libimagequant-dev
  clang libclang-rt-14-dev
  nlohmann-json3-dev libpng-dev zlib1g-dev
  libjpeg62-turbo-dev libopenjp2-7-dev libtiff-dev libraw-dev libdcmtk-dev
  libswscale-dev libavutil-dev libavformat-dev libavcodec-dev ffmpeg
  python3-pil
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
fi
