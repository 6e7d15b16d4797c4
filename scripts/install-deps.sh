#!/usr/bin/env bash
# Debian 12 packages the build, tests, benchmarks and demo need. Idempotent and
# non-interactive; run as root.
#   --windows  also what core.dll needs: the mingw-w64 cross toolchain, the
#              tools that build its dependencies from Debian sources
#              (scripts/build-windows-deps.sh), and Wine, Xvfb and PulseAudio
#              for its tests.
set -euo pipefail
packages=(
  build-essential cmake ninja-build pkg-config clang
  libavcodec-dev libavformat-dev libavutil-dev libswscale-dev libswresample-dev ffmpeg
  libsodium-dev libgtest-dev libgmock-dev libbenchmark-dev
  # The Linux backend: X11 through xcb, PulseAudio, VA-API.
  libxcb1-dev libxcb-composite0-dev libxcb-damage0-dev libxcb-shm0-dev libxcb-randr0-dev libxcb-render0-dev
  libxcb-xfixes0-dev libpulse-dev libva-dev
  # Its tests, demo and bench run their own X server and sound server.
  xvfb x11-utils xdotool pulseaudio pulseaudio-utils
  # Release archives: the .deb's dependencies come from dpkg-shlibdeps.
  dpkg-dev file
)
if [[ "${1:-}" == "--windows" ]]; then
  packages+=(
    g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools nasm autoconf automake libtool
    dpkg-dev xz-utils libffmpeg-nvenc-dev debian-archive-keyring
    wine wine64 xvfb pulseaudio pulseaudio-utils python3
  )
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
