#!/usr/bin/env bash
# corvane-host view through a plain HTTP client: the page, the stream, the
# properties read and written through the module while the camera streams,
# what it refuses, clients that go away, several viewers, a crowd of viewers
# past the bound, and an end by signal that leaves nothing behind.
set -uo pipefail
tool="$1"  # corvane-host, or corvane-host.exe to run under Wine
source "$(dirname "${BASH_SOURCE[0]}")/tool_lib.sh"

bound=8  # the default
"${run[@]}" view 1 "640X480 Mono8 30 FPS" >"$work/out" 2>"$work/err" &
pid=$!
base=$(viewer_address "$work/out")
port=${base##*:}
[[ -n "$base" ]] || { echo "FAIL: no address printed"; cat "$work/out" "$work/err"; exit 1; }

get() { curl -s --max-time 10 "$@"; }
# Waits at most $2 seconds for process $1 to end: its status, or 124 once it had to be killed.
ends_within() {
  for _ in $(seq 1 $(($2 * 10))); do
    kill -0 "$1" 2>/dev/null || { wait "$1" 2>/dev/null; return; }
    sleep 0.1
  done
  # Where it stood, so that a hang seen once in CI can be read afterwards.
  if [[ "$tool" != *.exe ]] && command -v gdb >/dev/null; then
    gdb -p "$1" -batch -ex 'thread apply all bt 15' 2>/dev/null | grep -E '^(Thread|#)' | head -120
  fi
  kill -KILL "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  return 124
}
check_status() {  # check_status what status expected
  [[ "$2" == "$3" ]] && pass=$((pass + 1)) || fail "$1: status $2, not $3"
}
status() { curl -s -o /dev/null --max-time 10 -w '%{http_code}' "$@"; }
# A number from the compact JSON of /api/state.
state() { get "$base/api/state" | sed -n "s/.*\"$1\":\([0-9.e+-]*\).*/\1/p"; }
# JPEG pictures in a multipart stream.
pictures() { LC_ALL=C grep -c $'^Content-Type: image/jpeg\r$' "$1" 2>/dev/null || echo 0; }
# Waits until at least n more frames were delivered than now.
wait_frames() {
  local target=$(($(state delivered) + $1))
  for _ in $(seq 1 200); do
    (($(state delivered) >= target)) && return 0
    sleep 0.05
  done
  return 1
}

check "the page" grep -q '<title>corvane-host view</title>' <(get "$base/")
# A port another view holds is refused, with the system's reason.
"${run[@]}" view 1 --port "$port" >/dev/null 2>"$work/taken"
check "a port in use is refused with its reason" grep -q "cannot listen on 127.0.0.1:$port: Address already in use" "$work/taken"
# A camera that cannot start says why, in one line, and the view goes on.
printf '{"adapters": [{"otherTraffic": 4000, "cameras": [{"id": 9, "model": "Busy", "format7": [{"mode": 0, "maxWidth": 640, "maxHeight": 480, "widthUnit": 8, "heightUnit": 2, "codings": [0], "packetSize": 4096}]}]}]}' \
  >"$work/busy.json"
busy_path="$work/busy.json"
[[ "$tool" == *.exe ]] && busy_path=$(winepath -w "$busy_path" 2>/dev/null)
"${run[@]}" --bus "$busy_path" view 1 >"$work/busy.out" 2>"$work/busy.err" &
busy=$!
for _ in $(seq 1 300); do
  grep -q 'did not start' "$work/busy.err" 2>/dev/null && break
  sleep 0.1
done
kill -INT "$busy" 2>/dev/null
ends_within "$busy" 30
check_status "a view whose camera did not start ends at Ctrl+C" $? 0
check "a camera that cannot start says why" grep -q 'view: the camera did not start: Not enough isochronous bandwidth (its 4096-byte packets take 83% of a bus cycle at S400' "$work/busy.err"
# A Ctrl+C as the view comes up, before its server may be listening: an end in order.
# A file of its own each time: the last one's address, read before the shell
# truncates it, would send the signal while the view still ignores it, as a
# background job of a script starts.
for i in 1 2 3; do
  "${run[@]}" view 1 >"$work/early$i.out" 2>"$work/early$i.err" &
  early=$!
  viewer_address "$work/early$i.out" >/dev/null
  kill -INT "$early" 2>/dev/null
  ends_within "$early" 30
  check_status "a Ctrl+C as the view comes up ($i)" $? 0
  check "leaves nothing behind ($i)" grep -q 'closed; the module left nothing behind' "$work/early$i.out"
done
check "frames arrive" wait_frames 5
get --max-time 2 "$base/stream" -o "$work/stream" -D "$work/headers"
check "the stream is multipart JPEG" grep -qi 'content-type: multipart/x-mixed-replace' "$work/headers"
check "the stream carries pictures" test "$(pictures "$work/stream")" -ge 3
check "one picture" test "$(get "$base/frame.jpg" | head -c 3 | od -An -tx1 | tr -d ' ')" = "ffd8ff"

# Properties as the module reads them, and a change while the camera streams.
props=$(get "$base/api/properties")
# Spelled as info --json spells them.
check "properties listed" grep -q '"max":255,"min":0,"name":"Brightness_Value","readOnly":"never","type":"integer","value":128' <<<"$props"
check "enumerations listed" grep -q '"name":"Gain_Mode","readOnly":"never","type":"enumeration","value":"Manual","values":\["Manual","Auto"\]' <<<"$props"
check "as info --json spells them" grep -q '"max": 255,' <("${run[@]}" info 1 --json)
wait_frames 3
before=$(state meanLevel)
answer=$(get -X POST -H 'Content-Type: application/json' -d '{"value":"255"}' "$base/api/properties/Brightness_Value")
check "a change is read back through the module" test "$answer" = '{"ok":true,"value":255}'
check "and read again" grep -q '"value":255' <(get "$base/api/properties/Brightness_Value")
# The newest picture shows the change once the camera sent a frame after it.
brighter() {
  for _ in $(seq 1 200); do
    after=$(state meanLevel)
    awk -v a="$before" -v b="$after" 'BEGIN { exit !(b > a + 10) }' && return 0
    sleep 0.05
  done
  return 1
}
check "the pictures grow brighter" brighter
echo "mean level $before before, $after after"

check "a value the host refuses" grep -q 'takes an integer from 0 to 255' \
  <(get -X POST -d '{"value":"999"}' "$base/api/properties/Brightness_Value")
check "refused with 400" test "$(status -X POST -d '{"value":"999"}' "$base/api/properties/Brightness_Value")" = 400
check "an unknown property" test "$(status -X POST -d '{"value":"1"}' "$base/api/properties/Nothing")" = 404

# What it refuses: foreign Host or Origin, paths of its own only.
check "a foreign Host" test "$(status -H 'Host: camera.example' "$base/")" = 403
check "a foreign Host, with the right port" test "$(status -H "Host: camera.example:$port" "$base/api/state")" = 403
check "a foreign Origin" test "$(status -H 'Origin: http://camera.example' -X POST -d '{"value":"1"}' \
  "$base/api/properties/Brightness_Value")" = 403
check "a foreign Origin changed nothing" grep -q '"value":255' <(get "$base/api/properties/Brightness_Value")
check "its own Origin" test "$(status -H "Origin: http://127.0.0.1:$port" "$base/api/state")" = 200
check "no other file" test "$(status "$base/../../etc/passwd")" = 404
check "no other path" test "$(status "$base/index.html")" = 404

# Viewers watching now, as the view counts them.
watching() { get "$base/api/viewers" | sed -n 's/.*"viewers":\([0-9]*\).*/\1/p'; }
wait_watching() {
  for _ in $(seq 1 200); do
    [[ "$(watching)" == "$1" ]] && return 0
    sleep 0.05
  done
  return 1
}

# Clients that go away mid-stream cost nothing; several viewers each get the stream.
for _ in 1 2 3 4 5; do get --max-time 0.3 "$base/stream" >/dev/null; done
check "viewers that left free their places" wait_watching 0
viewers=()
for i in 1 2 3; do
  get --max-time 2 "$base/stream" -o "$work/viewer$i" &
  viewers+=($!)
done
wait "${viewers[@]}"
for i in 1 2 3; do check "viewer $i" test "$(pictures "$work/viewer$i")" -ge 3; done
check "frames still arrive" wait_frames 3

# Three times as many viewers as the view admits, at once: the page, the state
# and the controls answer all the while (a time-out only so that a hang fails),
# the viewers past the bound are refused at once, with a reason.
crowd=()
for i in $(seq 1 $((3 * bound))); do
  curl -s --max-time 10 -D "$work/crowd$i.head" -o "$work/crowd$i" "$base/stream" &
  crowd+=($!)
done
check "the bound is reached" wait_watching $bound
check "the page answers the crowd" test "$(status --max-time 5 "$base/")" = 200
check "the state answers the crowd" test "$(status --max-time 5 "$base/api/state")" = 200
check "a property changes in the crowd" test "$(get --max-time 5 -X POST \
  -d '{"value":128}' "$base/api/properties/Brightness_Value")" = '{"ok":true,"value":128}'
wait "${crowd[@]}"
accepted=$(grep -l '^HTTP/1.1 200' "$work"/crowd*.head | wc -l)
refused=$(grep -l '^HTTP/1.1 503' "$work"/crowd*.head | wc -l)
check "$bound of the crowd watched ($accepted)" test "$accepted" = $bound
check "the others were refused ($refused)" test "$refused" = $((2 * bound))
refusal=$(grep -l '^HTTP/1.1 503' "$work"/crowd*.head | head -1)
check "a refusal says why" grep -q "^refused: $bound viewers watch already" "${refusal%.head}"
for i in $(seq 1 $((3 * bound))); do
  if grep -q '^HTTP/1.1 200' "$work/crowd$i.head"; then
    check "crowd viewer $i got pictures" test "$(pictures "$work/crowd$i")" -ge 3
  fi
done

# A place that comes free is taken at once.
check "the crowd left" wait_watching 0
full=()
for i in $(seq 1 $bound); do
  curl -s --max-time 60 "$base/stream" -o /dev/null &
  full+=($!)
done
check "the view is full" wait_watching $bound
check "one more is refused" test "$(status --max-time 5 "$base/stream")" = 503
kill "${full[0]}"
taken() {
  for _ in $(seq 1 100); do
    [[ "$(status --max-time 1 "$base/stream")" == 200 ]] && return 0
    sleep 0.05
  done
  return 1
}
check "a new viewer takes the free place" taken
kill "${full[@]}" 2>/dev/null
wait "${full[@]}" 2>/dev/null

# The trigger list and a switch back to immediate capture.
check "triggers listed" grep -q '"current":"immediate"' <(get "$base/api/triggers")
check "an unknown trigger" test "$(status -X POST -d '{"trigger":"Mode_0/Source_0"}' "$base/api/trigger")" = 400
check "capture goes on after a refused trigger" wait_frames 3

# An end by signal: stopped, closed, released, nothing left.
kill -INT "$pid"
ends_within "$pid" 60
code=$?
pid=""
check "ends with status 0" test "$code" = 0
check "leaves nothing behind" grep -q 'closed; the module left nothing behind' "$work/out"
# (Under Wine the lines end in CR LF.)
stopped=$(tr -d '\r' <"$work/out" | grep '^stopped: ')
counted=$(sed -n 's/^stopped: \([0-9]*\) frames counted, \([0-9]*\) delivered$/\1/p' <<<"$stopped")
delivered=$(sed -n 's/^stopped: \([0-9]*\) frames counted, \([0-9]*\) delivered$/\2/p' <<<"$stopped")
check "every frame counted was delivered ($counted, $delivered)" test -n "$counted" -a "$counted" = "$delivered"
check "no error" test ! -s "$work/err"
finish
