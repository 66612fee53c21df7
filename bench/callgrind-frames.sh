#!/usr/bin/env bash
# Instructions per frame of the module's acquisition loop, counted by callgrind:
# a figure that repeats on a noisy machine. Counts only inside the acquisition
# thread routine; prints the total per frame and the part that is the module's
# own (without the bus library's frame wait and the host's image copy).
#   bench/callgrind-frames.sh [BUILD_DIR] [FRAMES]
set -euo pipefail
build="${1:-build/native}"
frames="${2:-2000}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" --toggle-collect='AcquisitionThread*' \
  "$build/bin/corvane-bench" "loop=$frames" --json >"$out/run.json" 2>"$out/valgrind.log"
counted=$(grep -o '"frames": *[0-9]*' "$out/run.json" | grep -o '[0-9]*$')
annotate=$(callgrind_annotate --inclusive=yes "$out/cg.out" 2>/dev/null)
cost() {  # inclusive instructions of the first function matching $1
  grep -m1 -E "$1" <<<"$annotate" | awk '{gsub(",", "", $1); print $1}'
}
total=$(grep -m1 "PROGRAM TOTALS" <<<"$annotate" | awk '{gsub(",", "", $1); print $1}')
wait=$(cost 'CvGetNextCompleteFrame')
copy=$(cost 'host::FrameBuffer::setImage')
echo "frames: $counted"
echo "instructions per frame, acquisition thread in all: $((total / counted))"
echo "  of which the bus library's frame wait: $((${wait:-0} / counted))"
echo "  of which the host's image copy (setImage): $((${copy:-0} / counted))"
echo "  the module's own and the rest of the host: $(((total - ${wait:-0} - ${copy:-0}) / counted))"
