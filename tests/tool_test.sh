#!/usr/bin/env bash
# corvane-host as a user meets it: good runs print what they should; every bad
# argument ends in a one-line error and exit status 2, and leaves no picture behind.
set -uo pipefail
tool="$1"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
failures=0
pass=0

expect_error() {  # expect_error "what stderr says" args...
  local says="$1"; shift
  local out err status
  out=$("$tool" "$@" 2>"$work/err")
  status=$?
  err=$(cat "$work/err")
  if [[ $status -ne 2 || $(wc -l <"$work/err") -ne 1 || "$err" != *"$says"* || -n "$out" ]]; then
    echo "FAIL: corvane-host $* -> status $status, stderr: $err, stdout: ${out:0:80}"
    failures=$((failures + 1))
  else
    pass=$((pass + 1))
  fi
}

expect_ok() {  # expect_ok "what stdout says" args...
  local says="$1"; shift
  local out
  if ! out=$("$tool" "$@" 2>"$work/err") || [[ "$out" != *"$says"* ]]; then
    echo "FAIL: corvane-host $* -> $(cat "$work/err") ${out:0:200}"
    failures=$((failures + 1))
  else
    pass=$((pass + 1))
  fi
}

printf '{"adapters": [{"cameras": [{"id": 1, "speed": 9}]}]}' >"$work/bad-value.json"
printf '{"adapters": [' >"$work/bad-syntax.json"
printf '{"adapters": [{"cameras": [{"id": 5, "model": "Solo", "fixed": [{"format": 0, "mode": 5, "rates": [4]}]}]}]}' \
  >"$work/solo.json"

expect_ok '"name": "Corvane MV-640M 100201"' list --json
expect_ok 'Hardware triggers:' info 2
expect_ok '"configuration": "Mode_0"' info 2 --json
expect_ok 'Gain_Value' info 1 --set Gain_Value=300 --set Gain_Mode=Manual
expect_ok 'Corvane Solo 0' --bus "$work/solo.json" list
expect_ok '"frames": 3' acquire 3 "VARIABLE_0 (640X480) RGB8" --frames 3 --roi 8,2,320,240 --out "$work/ok" --json
[[ -s "$work/ok/frame_0003.png" || -s "$work/ok/frame_0003.ppm" ]] && pass=$((pass + 1)) ||
  { echo "FAIL: no third picture"; failures=$((failures + 1)); }

expect_error 'adapters[0].cameras[0].speed: 9 is above 5' --bus "$work/bad-value.json" list
expect_error 'bad-syntax.json' --bus "$work/bad-syntax.json" list
expect_error 'cannot be read' --bus "$work/missing.json" list
expect_error 'cannot load module' --module "$work/nothing.so" list
expect_error "no device '9'" info 9
expect_error "no device 'Nobody'" acquire Nobody --out "$work/a"
expect_error "has no format 'VGA'" acquire 1 VGA --out "$work/b"
expect_error "no property 'Gian_Value'" info 1 --set Gian_Value=1
expect_error 'takes an integer from 0 to 680' info 1 --set Gain_Value=681
expect_error 'takes one of Manual, Auto' info 1 --set Gain_Mode=Sometimes
expect_error '--set takes NAME=VALUE' info 1 --set Gain_Value
expect_error 'Unsupported ROI values.' acquire 3 "VARIABLE_0 (640X480) RGB8" --roi 4,4,320,240 --out "$work/c"
expect_error 'does not lie within' acquire 1 --roi 600,0,100,100 --out "$work/d"
expect_error '--roi takes X,Y,W,H' acquire 1 --roi 1,2,3 --out "$work/e"
expect_error 'has no hardware trigger Mode_3/Source_0' acquire 2 --trigger Mode_3/Source_0 --out "$work/f"
expect_error 'has no hardware trigger' acquire 1 --trigger Mode_0/Source_0 --out "$work/g"
expect_error '--frames takes a count' acquire 1 --frames 0 --out "$work/h"
expect_error '--pulse-rate takes a rate' acquire 2 --pulse-rate -3 --out "$work/i"
expect_error "cannot write to folder" acquire 1 --out /proc/corvane
expect_error '--max-viewers takes a count from 1 to 256' view 1 --max-viewers 0
expect_error "unknown command 'lst'" lst
expect_error "unknown option '--bogus'" --bogus list
for dir in a b c d e f g h i; do
  if compgen -G "$work/$dir/frame_*" >/dev/null; then
    echo "FAIL: pictures left in $dir"
    failures=$((failures + 1))
  fi
done
echo "$pass passed, $failures failed"
[[ $failures -eq 0 ]]
