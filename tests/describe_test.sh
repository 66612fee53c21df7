#!/usr/bin/env bash
# corvane-host over a camera bus library in the maker's shape (the virtual bus
# built with the Cv functions alone): what needs the virtual bus says so in one
# line; a broken CORVANE_BUS file gives its reason and no cameras; and describe
# makes of every camera a twin that the module cannot tell from the original,
# for the default bus, the sample bus and a bus of every kind of camera.
set -uo pipefail
tool="$1"  # bin/cv-only/corvane-host, or corvane-host.exe to run under Wine
source_dir="$2"
source "$(dirname "${BASH_SOURCE[0]}")/tool_lib.sh"

# One line on standard error, a status that is not 0, nothing on standard output.
expect_refusal() {  # expect_refusal "what stderr says" args...
  local says="$1"; shift
  local out status
  out=$("${run[@]}" "$@" 2>"$work/err" | tr -d '\r')
  status=$?
  local err; err=$(tr -d '\r' <"$work/err")
  if [[ $status -eq 0 || $(grep -c . "$work/err") -ne 1 || "$err" != *"$says"* || -n "$out" ]]; then
    fail "corvane-host $* -> status $status, stderr: $err"
  else
    pass=$((pass + 1))
  fi
}

# The same module's view of the original bus and of its twin.
round_trip() {  # round_trip NAME [BUS_FILE]
  local name="$1" bus="${2:-}"
  local original=() twin=(env "CORVANE_BUS=$(native_path "$work/$name.twin.json")")
  [[ -n "$bus" ]] && original=(env "CORVANE_BUS=$(native_path "$bus")")
  if ! "${original[@]}" "${run[@]}" describe --out "$(native_path "$work/$name.twin.json")" \
      2>"$work/err"; then
    fail "describe of $name: $(cat "$work/err")"
    return
  fi
  "${original[@]}" "${run[@]}" list --json | tr -d '\r' >"$work/$name.list"
  "${twin[@]}" "${run[@]}" list --json | tr -d '\r' >"$work/$name.twin.list"
  if ! cmp -s "$work/$name.list" "$work/$name.twin.list"; then
    fail "$name: the twin's devices and formats differ"
    diff "$work/$name.list" "$work/$name.twin.list" | head -5
    return
  fi
  local devices; devices=$(grep -c '"formats"' "$work/$name.list")
  [[ $devices -gt 0 ]] || { fail "$name: no devices"; return; }
  for ((d = 1; d <= devices; d++)); do
    "${original[@]}" "${run[@]}" info "$d" --json | tr -d '\r' >"$work/$name.$d"
    "${twin[@]}" "${run[@]}" info "$d" --json | tr -d '\r' >"$work/$name.twin.$d"
    if ! cmp -s "$work/$name.$d" "$work/$name.twin.$d" || [[ ! -s "$work/$name.$d" ]]; then
      fail "$name: device $d of the twin differs"
      diff "$work/$name.$d" "$work/$name.twin.$d" | head -5
      return
    fi
  done
  pass=$((pass + 1))
  echo "$name: $devices devices, their twins alike"
}

expect_refusal 'bus needs the virtual camera bus' bus
expect_refusal '--bus needs the virtual camera bus' --bus "$(native_path "$source_dir/packaging/sample-bus.json")" list
expect_refusal '--pulse-rate needs the virtual camera bus' acquire 2 --trigger Mode_0/Source_0 --pulse-rate 5 --out "$(native_path "$work/p")"
printf '{"adapters": [{"cameras": [{"id": 1, "speed": 9}]}]}' >"$work/broken.json"
CORVANE_BUS="$(native_path "$work/broken.json")" "${run[@]}" list >"$work/out" 2>"$work/err"
status=$?
if [[ $status -eq 0 || -s "$work/out" ]] ||
   ! grep -q 'broken.json: adapters\[0\].cameras\[0\].speed: 9 is above 5 (no cameras)' "$work/err"; then
  fail "a broken CORVANE_BUS file -> status $status: $(cat "$work/err")"
else
  pass=$((pass + 1))
fi

# A bus file named virtual-bus.json beside the library is the bus, unless CORVANE_BUS names another.
mkdir "$work/beside"
cp "$(dirname "$tool")"/* "$work/beside/"
cp "$source_dir/tests/buses/every-kind.json" "$work/beside/virtual-bus.json"
beside=("${run[@]}")
beside[${#beside[@]}-1]="$work/beside/$(basename "$tool")"
if "${beside[@]}" list 2>"$work/err" | grep -q 'Corvane Every-Feature 7' &&
   CORVANE_BUS="$(native_path "$source_dir/packaging/sample-bus.json")" "${beside[@]}" list |
     grep -q 'Corvane CX-1280B 200102'; then
  pass=$((pass + 1))
else
  fail "virtual-bus.json beside the library: $(cat "$work/err")"
fi

# acquire and view over it, through the module.
if "${run[@]}" acquire 2 "VARIABLE_0 (1280X960) Raw8" --frames 2 --out "$(native_path "$work/pictures")" \
    >/dev/null 2>"$work/err" && [[ -s "$work/pictures/frame_0002.png" ]]; then
  pass=$((pass + 1))
else
  fail "acquire: $(cat "$work/err")"
fi
"${run[@]}" view 1 >"$work/view" 2>"$work/err" &
pid=$!
address=$(viewer_address "$work/view")
picture=""
for _ in $(seq 1 100); do  # the first picture comes with the first frame
  picture=$(curl -s --max-time 10 "$address/frame.jpg" | head -c 3 | od -An -tx1 | tr -d ' ')
  [[ "$picture" == ffd8ff ]] && break
  sleep 0.1
done
kill -INT "$pid"
wait "$pid"
pid=""
if [[ "$picture" == ffd8ff ]] && tr -d '\r' <"$work/view" | grep -q 'closed; the module left nothing behind'; then
  pass=$((pass + 1))
else
  fail "view: picture '$picture', $(cat "$work/view" "$work/err")"
fi

round_trip default
round_trip sample "$source_dir/packaging/sample-bus.json"
round_trip every-kind "$source_dir/tests/buses/every-kind.json"
finish
