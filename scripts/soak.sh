#!/usr/bin/env bash
# Randomized soak of the real torvel-displayd under torvel-sim: for each seed,
# torvel-soak plans a run (devices, identities, identity file, modes, plug,
# unplug and arrival, DPMS, turns and mirroring, pixel formats, panning, the
# cursor, outputs off and on, a slow display server, USB and EVDI faults, then a
# quiet still tail), torvel-sim runs it and torvel-soak judges the outcome
# against the daemon's rules. A failing seed prints its script and the
# torvel-sim command that replays it; its output stays in OUT/SEED.
#
# Usage: scripts/soak.sh [--seeds A-B] [--preset P] [--out DIR] [--no-build]
#   defaults: seeds 1-20, preset release, out build/<preset>/soak
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seeds=1-20
preset=release
out=
build=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,11p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
first=${seeds%-*}
last=${seeds#*-}
case "$first$last" in *[!0-9]*|'') echo "soak.sh: --seeds A-B with numbers" >&2; exit 2 ;; esac
bin=$root/build/$preset
out=${out:-$bin/soak}

if [ "$build" = 1 ]; then
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target torvel-displayd torvel-sim torvel-soak torvel-evdi-emu
fi
# Two test runs with the same card numbers see each other's display server.
export TORVEL_EVDI_CARD_BASE=${TORVEL_EVDI_CARD_BASE:-40}
# A sanitizer report ends the daemon with a status the judge sees.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:exitcode=66}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66:suppressions=$root/tests/unit/usb_scrn_tsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:exitcode=66:print_stacktrace=1}

soak=$bin/testbed/sim/torvel-soak
sim=$bin/testbed/sim/torvel-sim
daemon=$bin/application/daemon/torvel-displayd
mkdir -p "$out"
passed=0
failed=()
for ((seed = first; seed <= last; seed++)); do
  dir=$out/$seed
  rm -rf "$dir"
  mkdir -p "$dir"
  mapfile -t options < <("$soak" plan "$seed" "$dir")
  secs=0
  for ((i = 0; i < ${#options[@]}; i++)); do
    [ "${options[$i]}" = --seconds ] && secs=${options[$((i + 1))]%.*}
  done
  status=0
  timeout $((secs + 60)) "$sim" "${options[@]}" -- "$daemon" >"$dir/sim.log" 2>&1 || status=$?
  if [ "$status" = 0 ] && "$soak" judge "$seed" "$dir" >"$dir/verdict.txt"; then
    passed=$((passed + 1))
    echo "seed $seed: clean, $(cat "$dir/verdict.txt")"
    rm -rf "$dir"
    continue
  fi
  [ "$status" = 0 ] || echo "torvel-sim ended with status $status" >>"$dir/verdict.txt"
  failed+=("$seed")
  echo "seed $seed: FAILED"
  sed 's/^/  /' "$dir/verdict.txt"
  echo "  script ($dir/script.txt):"
  sed 's/^/    /' "$dir/script.txt"
  printf '  replay: TORVEL_EVDI_CARD_BASE=%s %q' "$TORVEL_EVDI_CARD_BASE" "$sim"
  printf ' %q' "${options[@]}"
  printf ' -- %q\n' "$daemon"
done
echo "soak ($preset): ${passed} clean, ${#failed[@]} failed${failed:+ (seeds ${failed[*]})}"
[ ${#failed[@]} -eq 0 ]
