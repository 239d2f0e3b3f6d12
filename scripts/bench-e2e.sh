#!/usr/bin/env bash
# The daemon measured end to end: builds the release preset and runs the real
# torvel-displayd under torvel-sim on workloads of desktop use at 60 Hz, for
# one and four emulated devices, with the USB link unlimited and at 40 MB/s.
# Each run is measured twice: as built, and as the baseline with every block
# scanned and the cursor drawn by EVDI (TORVEL_FULL_SCAN=1). One line a run:
#   workload=NAME devices=N link=RATE fps=F cpu_pct_per_device=C
#   latency_p50_ms=L50 latency_p99_ms=L99 baseline_cpu_pct_per_device=B
# fps: frames delivered per second per device; cpu: the daemon's own CPU time
# in percent of one core per device (the harness's work in the daemon's
# process, its control socket's thread, left out); latency: from the
# harness's paint to the device's decode of it (-1 where nothing is painted,
# as for the mouse).
#
# Usage: scripts/bench-e2e.sh [OUT_DIR]   (default: out/bench-e2e)
# Environment: BENCH_WORKLOADS (default "still typing mouse scroll video
# fullscreen"), BENCH_DEVICES ("1 4"), BENCH_LINKS ("unlimited 40"),
# BENCH_SECONDS (measured seconds a run, default 8), BENCH_NO_BUILD=1 to use
# the build as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/out/bench-e2e}
workloads=${BENCH_WORKLOADS:-still typing mouse scroll video fullscreen}
device_counts=${BENCH_DEVICES:-1 4}
links=${BENCH_LINKS:-unlimited 40}
seconds=${BENCH_SECONDS:-8}

if [ "${BENCH_NO_BUILD:-0}" != 1 ]; then
  bash scripts/setup.sh >/dev/null
  cmake --preset release >/dev/null
  cmake --build --preset release --target torvel-displayd torvel-sim >/dev/null
fi
bin=$root/build/release
mkdir -p "$out"

# One run: prints "fps=F cpu_pct_per_device=C latency_p50_ms=L50 latency_p99_ms=L99
# bytes_per_frame=B usbfs_emulation_pct_per_device=U usbfs_ioctls_per_frame=I".
run() {
  local workload=$1 devices=$2 link=$3 baseline=$4 dir=$5
  local args=() i content=$1
  [ "$workload" = fullscreen ] && content=motion
  for ((i = 0; i < devices; i++)); do args+=(--device 0); done
  [ "$link" != unlimited ] && args+=(--link-mbps "$link")
  mkdir -p "$dir"
  TORVEL_FULL_SCAN=$baseline "$bin/testbed/sim/torvel-sim" "${args[@]}" --mode 1920x1080 \
    --content "$content" --paint-hz 60 --measure "$seconds" --decode tag --out "$dir" \
    -- "$bin/application/daemon/torvel-displayd" >"$dir/sim.log" 2>&1 || true
  local line
  line=$(grep -m1 '^measured: ' "$dir/sim.log" | sed 's/^measured: //') || true
  if [ -z "$line" ]; then
    echo "bench-e2e: no measurement from $dir (see $dir/sim.log)" >&2
    line="fps=-1 cpu_pct_per_device=-1 latency_p50_ms=-1 latency_p99_ms=-1 bytes_per_frame=0"
    line+=" usbfs_emulation_pct_per_device=-1 usbfs_ioctls_per_frame=-1"
  fi
  echo "$line"
}

field() { sed -n "s/.*\b$1=\([^ ]*\).*/\1/p" <<<"$2"; }

# Beside the lines, $out/details.txt: the bytes a frame took and, for a
# limited link, the frames a second it allows for them (40 MB/s = 4e7 B/s);
# the baseline's frames a second (a CPU figure covers the frames delivered);
# of the CPU figures (as built and baseline), the part the emulated usbfs's
# ioctls took in the daemon's threads (umockdev's socket round trips, where a
# real machine makes one system call), and the usbfs ioctls a frame.
: >"$out/details.txt"
for w in $workloads; do
  for n in $device_counts; do
    for link in $links; do
      name=$w-$n-$link
      now=$(run "$w" "$n" "$link" 0 "$out/$name")
      base=$(run "$w" "$n" "$link" 1 "$out/$name-baseline")
      echo "workload=$w devices=$n link=$link ${now% bytes_per_frame=*}" \
        "baseline_cpu_pct_per_device=$(field cpu_pct_per_device "$base")"
      bpf=$(field bytes_per_frame "$now")
      allows=-
      if [ "$link" != unlimited ] && [ "${bpf:-0}" != 0 ]; then
        allows=$(awk -v l="$link" -v b="$bpf" 'BEGIN { printf "%.1f", l * 1e6 / b }')
      fi
      echo "workload=$w devices=$n link=$link bytes_per_frame=$bpf link_allows_fps=$allows" \
        "baseline_fps=$(field fps "$base")" \
        "usbfs_emulation_pct_per_device=$(field usbfs_emulation_pct_per_device "$now")" \
        "baseline_usbfs_emulation_pct_per_device=$(field usbfs_emulation_pct_per_device "$base")" \
        "usbfs_ioctls_per_frame=$(field usbfs_ioctls_per_frame "$now")" >>"$out/details.txt"
    done
  done
done
