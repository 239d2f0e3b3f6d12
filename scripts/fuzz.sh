#!/usr/bin/env bash
# Builds the fuzz targets of fuzz/ with clang's libFuzzer under
# AddressSanitizer and UndefinedBehaviorSanitizer (preset `fuzz`, in
# build/fuzz/) and runs each for a bounded time, starting from its seed
# corpus in fuzz/corpus/<target>/. The corpus in the tree is only read; new
# inputs collect in build/fuzz/corpus/<target>/. An input that fails is kept
# in build/fuzz/findings/<target>/ and the script fails: fix the fault, then
# add the input to fuzz/corpus/<target>/ (the suite replays it from there).
#
# Usage: scripts/fuzz.sh [--seconds N] [--merge] [TARGET...]
#   --seconds N  time per target (default 30)
#   --merge      afterwards, add to the tree's corpus the collected inputs
#                that reach code its seeds do not (libFuzzer -merge=1)
#   TARGET       identity_file, control_replies, ... (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_EACH=30
MERGE=0
TARGETS=()
while [ $# -gt 0 ]; do
  case "$1" in
    --seconds) SECONDS_EACH=$2; shift 2 ;;
    --merge) MERGE=1; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "fuzz: unknown option $1" >&2; exit 2 ;;
    *) TARGETS+=("$1"); shift ;;
  esac
done
if [ ${#TARGETS[@]} -eq 0 ]; then
  TARGETS=()
  for d in fuzz/corpus/*/; do TARGETS+=("$(basename "$d")"); done
fi

bash scripts/setup.sh >/dev/null
echo "=== fuzz: build (build/fuzz)"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz

# Input sizes beyond what any target reads are only slower.
max_len() {
  case "$1" in
    identity_file) echo 5000 ;;
    stream_decoder|stream_tool_input) echo 16384 ;;
    *) echo 4096 ;;
  esac
}

# Runs target $1 and leaves its summary in build/fuzz/$1.summary, and
# build/fuzz/$1.failed when it found something.
fuzz_one() {
  local t=$1
  local bin=build/fuzz/fuzz/fuzz_$t
  local work=build/fuzz/corpus/$t
  local findings=build/fuzz/findings/$t
  mkdir -p "$work" "$findings"
  rm -f "build/fuzz/$t.failed"
  # -close_fd_mask=1: the daemon's code prints its progress to standard
  # output, which only slows the fuzzer down.
  if ! "$bin" -max_total_time="$SECONDS_EACH" -max_len="$(max_len "$t")" -timeout=10 \
       -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
       -artifact_prefix="$findings/" "$work" "fuzz/corpus/$t" 2>"build/fuzz/$t.log"; then
    touch "build/fuzz/$t.failed"
    grep -E 'fuzz check failed|ERROR:|SUMMARY:|Test unit written' "build/fuzz/$t.log" \
      >"build/fuzz/$t.summary" || true
    return 0
  fi
  grep -E '^stat::number_of_executed_units|^Done' "build/fuzz/$t.log" >"build/fuzz/$t.summary" || true
  if [ "$MERGE" -eq 1 ]; then
    "$bin" -merge=1 -max_len="$(max_len "$t")" -close_fd_mask=1 "fuzz/corpus/$t" "$work" \
      2>>"build/fuzz/$t.log" || { echo "merge failed" >>"build/fuzz/$t.summary"; touch "build/fuzz/$t.failed"; }
  fi
}

for t in "${TARGETS[@]}"; do
  [ -x "build/fuzz/fuzz/fuzz_$t" ] || { echo "fuzz: no target $t" >&2; exit 2; }
done
# One target per core at a time: each fuzzer runs on one thread.
jobs_max=${FUZZ_JOBS:-$(nproc)}
for t in "${TARGETS[@]}"; do
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
  echo "=== fuzz: $t for ${SECONDS_EACH}s"
  fuzz_one "$t" &
done
wait
failed=()
for t in "${TARGETS[@]}"; do
  echo "--- fuzz: $t"
  cat "build/fuzz/$t.summary" 2>/dev/null || true
  if [ -e "build/fuzz/$t.failed" ]; then failed+=("$t"); fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz: FAILED: ${failed[*]} (inputs in build/fuzz/findings/, logs in build/fuzz/*.log)" >&2
  exit 1
fi
echo "fuzz: all ${#TARGETS[@]} targets ran ${SECONDS_EACH}s each without a finding"
