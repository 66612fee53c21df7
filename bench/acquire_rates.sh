#!/usr/bin/env bash
# corvane-host acquire at a full S800 camera's rate: for each save format and
# colour coding, frames written per second against the camera's rate, and how
# many were skipped. Run on an idle machine; nothing here is judged.
#   bench/acquire_rates.sh [TOOL] [FRAMES]
set -euo pipefail
tool="${1:-build/native/bin/corvane-host}"
frames="${2:-300}"
run=("$tool")
[[ "$tool" == *.exe ]] && run=(wine "$tool")
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
# One S800 camera, Format 7 at 1280x960 in 8192-byte packets: 53.6 frames a
# second at 8 bits a sample, 26.7 at 16.
printf '%s' '{"adapters": [{"cameras": [{"id": 1, "model": "S800", "speed": 3, "filterPattern": 1,
  "format7": [{"mode": 0, "maxWidth": 1280, "maxHeight": 960, "widthUnit": 8, "heightUnit": 2,
  "codings": [0, 9, 5, 10], "packetSize": 8192}]}]}]}' >"$work/s800.json"
bus="$work/s800.json"
[[ "$tool" == *.exe ]] && bus="$(winepath -w "$bus" 2>/dev/null)"
printf '%-6s %-7s %12s %14s %12s %9s\n' save coding "nominal fps" "delivered fps" "written fps" skipped
for save in png tiff raw; do
  for coding in Mono8 Raw8 Mono16 Raw16; do
    out="$work/out"
    rm -rf "$out"
    dir="$out"
    [[ "$tool" == *.exe ]] && dir="$(winepath -w "$out" 2>/dev/null)"
    "${run[@]}" --bus "$bus" acquire 1 "VARIABLE_0 (1280X960) $coding" --frames "$frames" --save "$save" \
      --out "$dir" >/dev/null 2>&1 || { echo "$save $coding: the run failed"; continue; }
    # writingFps: files finished a second, first completion to last.
    /usr/bin/python3 - "$out/acquisition.json" "$save" "$coding" <<'PY'
import json, sys
run = json.load(open(sys.argv[1]))
print(f'{sys.argv[2]:<6} {sys.argv[3]:<7} {run["nominalFps"]:12.2f} {run["deliveredFps"]:14.2f} '
      f'{run["writingFps"]:12.2f} {run["skipped"]:9d}')
PY
  done
done
