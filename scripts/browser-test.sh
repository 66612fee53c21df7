#!/usr/bin/env bash
# The live view in a real browser: headless Chromium, driven through its
# WebDriver, opens the page of `corvane-host view`, waits for live pictures,
# moves the Brightness control as a user would (a key press on the slider), and
# two screenshots show the picture brighter than before, by their pixels. The
# view admits one viewer: a second tab says so where its picture would be, and
# shows the picture once the first tab is closed.
#   browser-test.sh [SCREENSHOT.png]   keeps the last screenshot there
set -euo pipefail
cd "$(dirname "$0")/.."
keep="${1:-}"
bin=build/native/bin
work="$(mktemp -d)"
view_pid="" driver_pid="" session="" driver=""
cleanup() {
  [[ -n "$session" ]] && curl -s -X DELETE "$driver/session/$session" >/dev/null || true
  [[ -n "$driver_pid" ]] && kill "$driver_pid" 2>/dev/null || true
  [[ -n "$view_pid" ]] && kill -9 "$view_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "browser test: $*"; exit 1; }

"$bin/corvane-host" view 2 "VARIABLE_1 (640X480) Raw8" --max-viewers 1 >"$work/view.out" 2>"$work/view.err" &
view_pid=$!
for _ in $(seq 1 300); do grep -q 'live at' "$work/view.out" && break; sleep 0.1; done
page=$(grep -o 'http://127.0.0.1:[0-9]*/' "$work/view.out") || fail "the view printed no address"

# WebDriver on a free port of its own choosing is not offered: try a few.
for _ in 1 2 3 4 5; do
  port=$((20000 + RANDOM % 20000))
  chromedriver --port="$port" >"$work/driver.log" 2>&1 &
  driver_pid=$!
  driver="http://127.0.0.1:$port"
  for _ in $(seq 1 100); do
    curl -s "$driver/status" | jq -e '.value.ready' >/dev/null 2>&1 && break 2
    kill -0 "$driver_pid" 2>/dev/null || break
    sleep 0.1
  done
  kill "$driver_pid" 2>/dev/null || true
  driver_pid=""
done
[[ -n "$driver_pid" ]] || fail "chromedriver did not start"

# Calls into the WebDriver session: wd METHOD PATH [JSON].
wd() {
  curl -s -X "$1" -H 'Content-Type: application/json' ${3:+-d "$3"} "$driver/session/$session$2"
}
script() {  # the value of a script run in the page
  wd POST /execute/sync "$(jq -cn --arg s "$1" '{script: $s, args: []}')" | jq -r '.value'
}
wait_for() {  # wait_for "what" SCRIPT: until the script answers true, at most 30 s
  for _ in $(seq 1 300); do
    [[ "$(script "$2")" == "true" ]] && return 0
    sleep 0.1
  done
  fail "waited in vain for $1"
}

capabilities=$(jq -cn --arg dir "$work/profile" '{capabilities: {alwaysMatch: {
  browserName: "chrome",
  "goog:chromeOptions": {binary: "/usr/bin/chromium", args: ["--headless=new", "--no-sandbox",
    "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
    "--disable-component-update", "--disable-sync", "--window-size=1280,860",
    ("--user-data-dir=" + $dir)]}}}}')
session=$(curl -s -X POST -H 'Content-Type: application/json' -d "$capabilities" "$driver/session" |
  jq -r '.value.sessionId')
[[ -n "$session" && "$session" != null ]] || fail "no browser session: $(tail -5 "$work/driver.log")"
wd POST /url "$(jq -cn --arg u "$page" '{url: $u}')" >/dev/null

slider='input[type=range][data-property="Brightness_Value"]'
wait_for "live pictures" "return document.getElementById('live').naturalWidth > 0 &&
  Number(document.getElementById('delivered').textContent) >= 5 &&
  document.querySelector('$slider') !== null"

# The region the picture takes on the screen.
image=$(wd POST /element '{"using":"css selector","value":"#live"}' | jq -r '.value[]')
read -r x y w h < <(wd GET "/element/$image/rect" |
  jq -r '.value | "\(.x | floor + 4) \(.y | floor + 4) \(.width | floor - 8) \(.height | floor - 8)"')
shot() { wd GET /screenshot | jq -r '.value' | base64 -d >"$1"; }
shot "$work/before.png"
before=$("$bin/picture_stats" "$work/before.png" "$x" "$y" "$w" "$h")

# Brightness to its top with the End key, as a user moves a slider from the keyboard.
element=$(wd POST /element "$(jq -cn --arg c "$slider" '{using: "css selector", value: $c}')" |
  jq -r '.value[]')
wd POST "/element/$element/value" '{"text":"\ue010"}' >/dev/null
wait_for "the value read back" "return document.querySelector('tr[data-property=\"Brightness_Value\"] .note').textContent === 'read back: 255'"
# The screen shows the change once pictures taken after it arrive: look again
# until it does, or for 30 s.
for _ in $(seq 1 60); do
  shot "$work/after.png"
  after=$("$bin/picture_stats" "$work/after.png" "$x" "$y" "$w" "$h")
  awk -v a="$before" -v b="$after" 'BEGIN { exit !(b > a + 10) }' && break
  sleep 0.5
done
awk -v a="$before" -v b="$after" 'BEGIN { exit !(b > a + 10) }' ||
  fail "the picture is not brighter: mean level $before before, $after after"
[[ -n "$keep" ]] && cp "$work/after.png" "$keep"

# A second tab finds the one place taken, and gets it when the first tab closes.
first=$(wd GET /window | jq -r '.value')
second=$(wd POST /window/new '{"type":"tab"}' | jq -r '.value.handle')
wd POST /window "$(jq -cn --arg h "$second" '{handle: $h}')" >/dev/null
wd POST /url "$(jq -cn --arg u "$page" '{url: $u}')" >/dev/null
wait_for "the refusal where the picture would be" "const r = document.getElementById('refused');
  return !r.hidden && r.textContent.startsWith('This view serves one viewer at once')"
wd POST /window "$(jq -cn --arg h "$first" '{handle: $h}')" >/dev/null
wd DELETE /window >/dev/null
wd POST /window "$(jq -cn --arg h "$second" '{handle: $h}')" >/dev/null
wait_for "the picture in the second tab" "return document.getElementById('refused').hidden &&
  document.getElementById('live').naturalWidth > 0"

wd DELETE "" >/dev/null
session=""
kill -INT "$view_pid"
wait "$view_pid" || fail "the view ended with an error: $(cat "$work/view.err")"
view_pid=""
grep -q 'left nothing behind' "$work/view.out" || fail "the view left something behind"
echo "browser test: the picture's mean level went from $before to $after with the Brightness slider;"
echo "  a second tab was refused while the first watched, and watched once it closed"
