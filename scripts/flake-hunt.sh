#!/usr/bin/env bash
# Hunts flaky tests: runs the native suite N times with -j2 while a CPU load of
# its own runs beside it (as on a busy CI machine), then the Windows suite N
# times, each in a fresh Wine prefix; prints how many runs passed, and keeps
# the output of every failed run.
#   scripts/flake-hunt.sh [N]     (default 5; builds first)
set -uo pipefail
cd "$(dirname "$0")/.."
n="${1:-5}"
cmake --preset native >/dev/null && cmake --build --preset native -j2 >/dev/null || exit 2
cmake --preset windows >/dev/null && cmake --build --preset windows -j2 >/dev/null || exit 2
logs="$(mktemp -d /tmp/flake-hunt.XXXXXX)"
load=""
stop_load() { [[ -n "$load" ]] && kill "$load" 2>/dev/null; load=""; }
trap 'stop_load' EXIT

# One core's worth of busy work, beside the two test jobs.
(while :; do :; done) &
load=$!
native=0
for i in $(seq 1 "$n"); do
  if ctest --preset native -j2 >"$logs/native-$i.log" 2>&1; then
    native=$((native + 1)); rm -f "$logs/native-$i.log"
  else
    echo "native run $i failed: $(grep -E '^\s+[0-9]+ - ' "$logs/native-$i.log" | xargs)"
  fi
done
stop_load

windows=0
for i in $(seq 1 "$n"); do
  WINEPREFIX="$(mktemp -d /tmp/flake-wine.XXXXXX)"
  export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  # The prefix made, and every process of its making ended, before a test starts.
  wineboot -i >/dev/null 2>&1
  wineserver -w
  if ctest --preset windows -j2 >"$logs/windows-$i.log" 2>&1; then
    windows=$((windows + 1)); rm -f "$logs/windows-$i.log"
  else
    echo "windows run $i failed: $(grep -E '^\s+[0-9]+ - ' "$logs/windows-$i.log" | xargs)"
  fi
  wineserver -k 2>/dev/null
  rm -rf "$WINEPREFIX"
done
echo "native: $native of $n runs passed; windows (a fresh Wine prefix each): $windows of $n passed"
echo "failed runs' output: $logs"
[[ $native -eq $n && $windows -eq $n ]]
