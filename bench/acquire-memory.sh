#!/usr/bin/env bash
# The most resident memory corvane-host acquire holds for 10 and for 1,000
# frames of 1280x960 (the Bayer camera's Raw8 mode, written as PNG at the data's
# depth, and as the camera's bytes): it stays flat however long the run.
#   bench/acquire-memory.sh [BUILD_DIR]
set -euo pipefail
build="${1:-build/native}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
peak() {  # peak FRAMES SAVE: the highest VmHWM seen, in KiB
  "$build/bin/corvane-host" acquire 2 "VARIABLE_0 (1280X960) Raw8" --frames "$1" --save "$2" \
    --out "$work/$1-$2" >/dev/null &
  local pid=$! high=0 now
  while kill -0 "$pid" 2>/dev/null; do
    now=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    ((now > high)) && high=$now
    sleep 0.05
  done
  wait "$pid"
  echo "$high"
}
for save in png raw; do
  small=$(peak 10 "$save")
  start=$(date +%s%N)
  large=$(peak 1000 "$save")
  tenths=$((($(date +%s%N) - start) / 100000000))
  printf '%s: 10 frames %d KiB, 1000 frames %d KiB at most resident (1000 in %d.%d s)\n' \
    "$save" "$small" "$large" $((tenths / 10)) $((tenths % 10))
done
