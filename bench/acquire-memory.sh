#!/usr/bin/env bash
# The most resident memory corvane-host acquire holds for 2,000 and for 200,000
# frames of a small Format 7 camera (64x64 Mono8, one packet a frame: 8,000
# frames a second), for each save format: it stays flat however long the run.
#   bench/acquire-memory.sh [BUILD_DIR]
set -euo pipefail
build="${1:-build/native}"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
printf '%s' '{"adapters": [{"cameras": [{"id": 1, "model": "Tiny", "speed": 3, "format7": [{"mode": 0,
  "maxWidth": 64, "maxHeight": 64, "widthUnit": 8, "heightUnit": 2, "codings": [0], "packetSize": 4096}]}]}]}' \
  >"$work/tiny.json"
peak() {  # peak FRAMES SAVE: the highest VmHWM seen, in KiB
  "$build/bin/corvane-host" --bus "$work/tiny.json" acquire 1 --frames "$1" --save "$2" \
    --out "$work/$1-$2" >/dev/null &
  local pid=$! high=0 now
  while kill -0 "$pid" 2>/dev/null; do
    now=$(awk '/VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || echo 0)
    ((now > high)) && high=$now
    sleep 0.05
  done
  wait "$pid"
  rm -rf "${work:?}/$1-$2"
  echo "$high"
}
for save in raw png tiff; do
  small=$(peak 2000 "$save")
  large=$(peak 200000 "$save")
  printf '%-4s: 2,000 frames %d KiB, 200,000 frames %d KiB at most resident\n' "$save" "$small" "$large"
done
