#!/usr/bin/env bash
# Cross-builds the block encoder and the colour conversion for AArch64 (the
# field's processor) and runs their unit tests under qemu-user, so the NEON
# code is checked against the same expectations as the x86 code.
# Installs its own packages (idempotent; needs root or sudo on Debian 12).
# Usage: scripts/cross-aarch64.sh [BUILD_DIR]   (default: build/aarch64)
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR=${1:-build/aarch64}
HOST_PACKAGES=(g++-aarch64-linux-gnu qemu-user-static cmake ninja-build pkg-config)
ARM64_PACKAGES=(libhwy-dev:arm64 libgtest-dev:arm64)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

missing=()
for p in "${HOST_PACKAGES[@]}" "${ARM64_PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx arm64; then
    $SUDO dpkg --add-architecture arm64
  fi
  echo "cross-aarch64: installing ${missing[*]}"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

echo "=== aarch64: configure ($BUILD_DIR)"
cmake -S . -B "$BUILD_DIR" -G Ninja --toolchain cmake/aarch64-linux-gnu.cmake \
  -DCMAKE_BUILD_TYPE=Release -DTORVEL_ENCODER_ONLY=ON -DTORVEL_BUILD_BENCH=OFF >/dev/null
echo "=== aarch64: build"
cmake --build "$BUILD_DIR"
echo "=== aarch64: test (qemu-user)"
ctest --test-dir "$BUILD_DIR" --output-on-failure --no-tests=error
