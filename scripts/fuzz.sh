#!/usr/bin/env bash
# Short runs of every fuzz target from its checked-in seed corpus (which stays as
# it is: new inputs go to a scratch folder). Prints executions and corpus size.
#   scripts/fuzz.sh [SECONDS_PER_TARGET]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-10}"
for target in fuzz_discovery fuzz_attributes fuzz_listeners fuzz_bus_json fuzz_cli_values; do
  scratch="$(mktemp -d)"
  log="$scratch/log"
  if ! build/fuzz/bin/$target -max_total_time="$seconds" -print_final_stats=1 -rss_limit_mb=2048 -artifact_prefix="$scratch/" \
      "$scratch" "fuzz/corpus/$target" >"$log" 2>&1; then
    tail -40 "$log"
    ls "$scratch"/crash-* "$scratch"/leak-* 2>/dev/null || true
    echo "$target: FAILED"
    exit 1
  fi
  runs=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  units=$(grep -E '^#[0-9]+.*(DONE|pulse)' "$log" | tail -1 | grep -o 'corp: [0-9]*' | awk '{print $2}')
  echo "$target: ${runs:-?} executions, corpus ${units:-?} inputs, no crash, no leak"
  rm -rf "$scratch"
done
