#!/usr/bin/env bash
# The daemon's main job on emulated hardware: builds the release preset and runs
# the real torvel-displayd under torvel-sim with two emulated USB display
# devices (one of them the rotating model, turned left once during the run) on
# the animated desktop scene, then shows where the pictures are and how each
# device fared. Usage: scripts/demo.sh [OUT_DIR]   (default: out/demo)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=${1:-$root/out/demo}
seconds=${DEMO_SECONDS:-15}

bash scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release --target torvel-displayd torvel-sim

mkdir -p "$out"
script="$out/events.txt"
# Device 1 is the rotating model: turn it left (orientation 1) once the daemon
# has named its X outputs (about 8 s after start).
printf '10 rotate 1 1\n' > "$script"

bin=$root/build/release
echo "=== running torvel-displayd under torvel-sim for ${seconds} s"
"$bin/testbed/sim/torvel-sim" --device 0 --device rotating --mode 1920x1080 --content scene \
  --script "$script" --seconds "$seconds" --out "$out" -- "$bin/application/daemon/torvel-displayd"

echo
echo "=== pictures in $out"
ls "$out"/screen-*.png "$out"/device-*.png
echo "daemon output: $out/daemon.log; full report: $out/report.json"
echo
python3 - "$out/report.json" <<'PY'
import json, sys
r = json.load(open(sys.argv[1]))
secs = max(float(r.get("seconds", 1)), 1e-9)
print(f"daemon exit status: {r['exit_status']}")
print(f"{'device':<8}{'product':<9}{'frames':>8}{'MB/s':>8}{'blocks/frame':>14}{'PSNR dB':>9}  xrandr")
for d in r["devices"]:
    frames = d["frames"]
    per = d["blocks"] / frames if frames else 0.0
    mbps = d["bytes"] / secs / 1e6
    cmds = "; ".join(d.get("xrandr", [])) or "-"
    print(f"{d['index']:<8}{d['product_id']:<9}{frames:>8}{mbps:>8.2f}{per:>14.1f}{d['psnr']:>9.1f}  {cmds}")
PY
