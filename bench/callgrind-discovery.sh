#!/usr/bin/env bash
# Instructions per camera of getAvailHW for 8 and for 248 cameras (280 formats
# each), counted by callgrind: flat means discovery is linear in cameras.
#   bench/callgrind-discovery.sh [BUILD_DIR]
set -euo pipefail
build="${1:-build/native}"
out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
for n in 8 248; do
  valgrind --tool=callgrind --callgrind-out-file="$out/cg$n" --toggle-collect=getAvailHW \
    "$build/bin/corvane-bench" "discover=$n" --json >/dev/null 2>"$out/log$n"
  # Whole, then searched: grep stopping early would fail the pipe.
  callgrind_annotate "$out/cg$n" >"$out/annotate$n" 2>/dev/null
  total=$(grep -m1 "PROGRAM TOTALS" "$out/annotate$n" | awk '{gsub(",", "", $1); print $1}')
  echo "$n cameras: $((total / n)) instructions per camera"
done
