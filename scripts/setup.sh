#!/usr/bin/env bash
# Installs every Debian package the project needs. Safe to run again: packages
# already present are left alone. Needs root (or sudo) on Debian 12.
set -euo pipefail

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config git clang-format clang libclang-rt-14-dev
  libusb-1.0-0-dev libevdi0-dev libhwy-dev libturbojpeg0-dev libjpeg62-turbo-dev libjpeg-turbo-progs libpng-dev
  umockdev libumockdev-dev
  libgtest-dev libgmock-dev googletest libbenchmark-dev
  xvfb xauth x11-xserver-utils libx11-dev libxext-dev
  dpkg-dev file systemd groff-base man-db python3
  debhelper lintian devscripts udev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "setup: all ${#PACKAGES[@]} packages already installed"
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
