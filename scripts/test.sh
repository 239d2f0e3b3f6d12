#!/usr/bin/env bash
# The project's test command: installs what is needed, configures, builds and
# runs every test. Usage: scripts/test.sh [PRESET ...]   (default: release;
# presets: release debug asan tsan). Extra ctest arguments can be given in
# CTEST_ARGS, for example CTEST_ARGS="-L unit".
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release)
for preset in "${presets[@]}"; do
  echo "=== $preset: configure"
  cmake --preset "$preset" >/dev/null
  echo "=== $preset: build"
  cmake --build --preset "$preset"
  echo "=== $preset: test"
  # shellcheck disable=SC2086
  ctest --preset "$preset" ${CTEST_ARGS:-}
done
