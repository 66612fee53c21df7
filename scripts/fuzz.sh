#!/usr/bin/env bash
# Short runs of every fuzz target from its checked-in seed corpus (which stays as
# it is: new inputs go to a scratch folder), two at a time. Prints executions and
# corpus size.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
targets=(fuzz_discovery fuzz_attributes fuzz_listeners fuzz_bus_json fuzz_cli_values)
scratch="$(mktemp -d)"  # kept when a target fails: its log and the input that failed it
run() {  # run TARGET: its status; its log and any crash input stay in its scratch folder
  mkdir -p "$scratch/$1/corpus"
  build/fuzz/bin/$1 -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 \
    -artifact_prefix="$scratch/$1/" "$scratch/$1/corpus" "fuzz/corpus/$1" >"$scratch/$1/log" 2>&1
}
report() {  # report TARGET STATUS
  local log="$scratch/$1/log"
  if [[ "$2" != 0 ]]; then
    tail -40 "$log"
    ls "$scratch/$1"/crash-* "$scratch/$1"/leak-* 2>/dev/null || true
    echo "$1: FAILED"
    return 1
  fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  units=$(grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -1 | grep -o 'corp: [0-9]*' | awk '{print $2}')
  echo "$1: ${runs:-?} executions, corpus ${units:-?} inputs, no crash, no leak"
}
failed=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pair=("${targets[@]:i:2}")
  pids=()
  for t in "${pair[@]}"; do
    run "$t" &
    pids+=($!)
  done
  for j in "${!pair[@]}"; do
    status=0
    wait "${pids[j]}" || status=$?
    report "${pair[j]}" "$status" || failed=1
  done
done
if [[ $failed == 0 ]]; then rm -rf "$scratch"; else echo "kept: $scratch"; fi
exit "$failed"
