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
  start=$SECONDS
  if [ -n "${CTEST_ARGS:-}" ]; then
    # shellcheck disable=SC2086
    ctest --preset "$preset" ${CTEST_ARGS}
  else
    # The unit and emulation tests two at a time (those sharing the
    # emulated cards still one after another), then the daemon end to end
    # alone: its tests measure what a device receives in a given time.
    ctest --preset "$preset" -L 'unit|testbed' -j2
    ctest --preset "$preset" -L e2e
  fi
  echo "=== $preset: tests took $((SECONDS - start)) s"
done
