#!/usr/bin/env bash
# Randomized soak of the real torvel-displayd under torvel-sim: for each seed,
# torvel-soak plans a run (devices, identities, identity file, modes, plug,
# unplug and arrival, DPMS, turns and mirroring, pixel formats, panning, the
# cursor, outputs off and on, a slow display server, USB and EVDI faults, then a
# quiet still tail), torvel-sim runs it and torvel-soak judges the outcome
# against the daemon's rules. A failing seed prints its script and the
# torvel-sim command that replays it; its output stays in OUT/SEED.
#
# Usage: scripts/soak.sh [--seeds A-B] [--preset P] [--out DIR] [--jobs N] [--no-build]
#   defaults: seeds 1-20, preset release, out build/<preset>/soak, one job.
#   With --jobs N, N seeds run at once, each stream on cards of its own.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seeds=1-20
preset=release
out=
build=1
jobs=1
while [ $# -gt 0 ]; do
  case "$1" in
    --seeds) seeds=$2; shift 2 ;;
    --preset) preset=$2; shift 2 ;;
    --out) out=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --no-build) build=0; shift ;;
    -h|--help) sed -n '2,13p' "$0"; exit 0 ;;
    *) echo "soak.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
first=${seeds%-*}
last=${seeds#*-}
case "$first$last" in *[!0-9]*|'') echo "soak.sh: --seeds A-B with numbers" >&2; exit 2 ;; esac
case "$jobs" in ''|*[!0-9]*|0) echo "soak.sh: --jobs N with N at least 1" >&2; exit 2 ;; esac
bin=$root/build/$preset
out=${out:-$bin/soak}

if [ "$build" = 1 ]; then
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" --target torvel-displayd torvel-sim torvel-soak torvel-evdi-emu
fi
# Two test runs with the same card numbers see each other's display server.
# Stream j runs on the 16 cards below base - 16 j.
export TORVEL_EVDI_CARD_BASE=${TORVEL_EVDI_CARD_BASE:-40}
if [ $((TORVEL_EVDI_CARD_BASE - 16 * (jobs - 1))) -lt 0 ]; then
  echo "soak.sh: $jobs jobs need TORVEL_EVDI_CARD_BASE of at least $((16 * (jobs - 1)))" >&2
  exit 2
fi
# A sanitizer report ends the daemon with a status the judge sees.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:exitcode=66}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:exitcode=66:suppressions=$root/tests/unit/usb_scrn_tsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:exitcode=66:print_stacktrace=1}

soak=$bin/testbed/sim/torvel-soak
sim=$bin/testbed/sim/torvel-sim
daemon=$bin/application/daemon/torvel-displayd
mkdir -p "$out"

# Runs one seed and prints its verdict; a failure also prints its script and
# the command that replays it, and leaves its output in OUT/SEED.
run_seed() {
  local seed=$1 dir=$out/$1 secs=0 status=0 i
  rm -rf "$dir"
  mkdir -p "$dir"
  mapfile -t options < <("$soak" plan "$seed" "$dir")
  for ((i = 0; i < ${#options[@]}; i++)); do
    [ "${options[$i]}" = --seconds ] && secs=${options[$((i + 1))]%.*}
  done
  timeout $((secs + 60)) "$sim" "${options[@]}" -- "$daemon" >"$dir/sim.log" 2>&1 || status=$?
  if [ "$status" = 0 ] && "$soak" judge "$seed" "$dir" >"$dir/verdict.txt"; then
    echo "seed $seed: clean, $(cat "$dir/verdict.txt")"
    rm -rf "$dir"
    return 0
  fi
  [ "$status" = 0 ] || echo "torvel-sim ended with status $status" >>"$dir/verdict.txt"
  echo "seed $seed: FAILED"
  sed 's/^/  /' "$dir/verdict.txt"
  echo "  script ($dir/script.txt):"
  sed 's/^/    /' "$dir/script.txt"
  printf '  replay: TORVEL_EVDI_CARD_BASE=%s %q' "$TORVEL_EVDI_CARD_BASE" "$sim"
  printf ' %q' "${options[@]}"
  printf ' -- %q\n' "$daemon"
  return 1
}

# Stream j takes seeds first + j, first + j + jobs, ...
run_stream() {
  local seed
  export TORVEL_EVDI_CARD_BASE=$((TORVEL_EVDI_CARD_BASE - 16 * $1))
  for ((seed = first + $1; seed <= last; seed += jobs)); do run_seed "$seed" || true; done
}

rm -f "$out"/stream-*.log
if [ "$jobs" = 1 ]; then
  run_stream 0 | tee "$out/stream-0.log"
else
  pids=()
  for ((j = 0; j < jobs; j++)); do
    run_stream "$j" >"$out/stream-$j.log" 2>&1 &
    pids+=($!)
  done
  wait "${pids[@]}" || true
  for ((j = 0; j < jobs; j++)); do cat "$out/stream-$j.log"; done
fi
passed=$(cat "$out"/stream-*.log | grep -c '^seed [0-9]*: clean' || true)
mapfile -t failed < <(cat "$out"/stream-*.log | sed -n 's/^seed \([0-9]*\): FAILED$/\1/p' | sort -n)
rm -f "$out"/stream-*.log
echo "soak ($preset): ${passed} clean, ${#failed[@]} failed${failed:+ (seeds ${failed[*]})}"
[ ${#failed[@]} -eq 0 ]
