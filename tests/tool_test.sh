#!/usr/bin/env bash
# corvane-host as a user meets it: good runs print what they should; every bad
# argument, bus file or camera that cannot start ends in a one-line error and
# exit status 2, and leaves no folder behind; pictures keep their data's depth;
# an interrupted acquisition keeps what it took. Natively, or under Wine with the .exe.
set -uo pipefail
tool="$1"
source "$(dirname "${BASH_SOURCE[0]}")/tool_lib.sh"

expect_error() {  # expect_error "what stderr says" args...
  local says="$1"; shift
  local out err status
  out=$("${run[@]}" "$@" 2>"$work/err")
  status=$?
  err=$(tr -d '\r' <"$work/err")
  if [[ $status -ne 2 || $(grep -c . "$work/err") -ne 1 || "$err" != *"$says"* || -n "$out" ]]; then
    fail "corvane-host $* -> status $status, stderr: $err, stdout: ${out:0:80}"
  else
    pass=$((pass + 1))
  fi
}

expect_ok() {  # expect_ok "what stdout says" args...
  local says="$1"; shift
  local out
  if ! out=$("${run[@]}" "$@" 2>"$work/err" | tr -d '\r') || [[ "$out" != *"$says"* ]]; then
    fail "corvane-host $* -> $(cat "$work/err") ${out:0:200}"
  else
    pass=$((pass + 1))
  fi
}

# A bus file of one camera; MODE is its one Format 7 mode's JSON.
bus_with() {  # bus_with FILE CAMERA_JSON
  printf '{"adapters": [{"cameras": [%s]}]}' "$2" >"$work/$1"
}
f7() { printf '{"id": 7, "model": "F7", "format7": [%s]}' "$1"; }
printf '{"adapters": [{"cameras": [{"id": 1, "speed": 9}]}]}' >"$work/bad-value.json"
printf '{"adapters": [' >"$work/bad-syntax.json"
bus_with solo.json '{"id": 5, "model": "Solo", "fixed": [{"format": 0, "mode": 5, "rates": [4]}]}'
bus_with twins.json '{"id": 5, "model": "Twin", "fixed": [{"format": 0, "mode": 5, "rates": [4]}]},
  {"id": 6, "model": "Twin", "fixed": [{"format": 0, "mode": 5, "rates": [4]}]}'
printf '{"adapters": [{"otherTraffic": 4000, "cameras": [{"id": 9, "model": "Busy", "format7": [{"mode": 0, "maxWidth": 640, "maxHeight": 480, "widthUnit": 8, "heightUnit": 2, "codings": [0], "packetSize": 4096}]}]}]}' \
  >"$work/busy.json"
bus_with blank.json '{"id": 8, "model": "Blank", "quirks": {"nullImages": true}, "fixed": [{"format": 0, "mode": 5, "rates": [4]}]}'
bus_with packet0.json "$(f7 '{"mode": 0, "codings": [0], "packetSize": 0}')"
bus_with unit0.json "$(f7 '{"mode": 0, "widthUnit": 0, "codings": [0]}')"
bus_with unit7.json "$(f7 '{"mode": 0, "maxWidth": 640, "widthUnit": 7, "codings": [0]}')"
bus_with coding11.json "$(f7 '{"mode": 0, "codings": [0, 11]}')"
bus_with norates.json '{"id": 7, "fixed": [{"format": 0, "mode": 5, "rates": []}]}'
bus_with above.json '{"id": 7, "fixed": [{"format": 0, "mode": 5, "rates": [4]}], "features": [{"name": "Gain", "min": 0, "max": 100, "value": 101}]}'
bus_with slow.json '{"id": 7, "speed": 0, "fixed": [{"format": 0, "mode": 5, "rates": [5]}]}'
printf '%.0s[' $(seq 1 100) >"$work/deep.json"
head -c 52428800 /dev/zero | tr '\0' '[' >"$work/huge.json"

expect_ok '"name": "Corvane MV-640M 100201"' list --json
expect_ok 'Hardware triggers:' info 2
expect_ok '"configuration": "Mode_0"' info 2 --json
expect_ok 'takes regions within 1280x960 whose offsets step by 8 across' info 2
expect_ok 'Gain_Value' info 1 --set Gain_Value=300 --set Gain_Mode=Manual
# Absolute values in IIDC's units, as the camera gives them (a float's 0.01, not 0.0099999998).
expect_ok 'value 0.01 s' info 1
expect_ok 'Corvane Solo 0' --bus "$(native_path "$work/solo.json")" list
expect_ok '"frames": 3' acquire 3 "VARIABLE_0 (640X480) RGB8" --frames 3 --roi 8,2,320,240 --out "$(native_path "$work/ok")" --json
[[ -s "$work/ok/frame_0003.png" && -s "$work/ok/contact_sheet.png" ]] && pass=$((pass + 1)) ||
  fail "no third picture or no contact sheet"
# A line for every frame written, in frame order (two writers finish out of order).
[[ $(grep -c '"gap":null' "$work/ok/frames.jsonl") -eq 1 && $(grep -o '"file":"[^"]*"' "$work/ok/frames.jsonl" | sort -c && grep -c '"file"' "$work/ok/frames.jsonl") -eq 3 ]] &&
  pass=$((pass + 1)) || fail "no line for every frame, in order"
py=/usr/bin/python3  # Debian's, with tifffile
# tifffile warns through logging: here a warning fails the check.
tiff_strict='import logging
class Strict(logging.Handler):
    def emit(self, record): raise SystemExit("tifffile: " + record.getMessage())
logging.getLogger("tifffile").addHandler(Strict())'
# Every frame the camera sent from the first written to the last is written,
# skipped or lost: the lines' counts add up to the module's numbers and the totals.
bus_with s800.json '{"id": 4, "model": "S800", "speed": 3, "filterPattern": 1, "format7": [{"mode": 0, "maxWidth": 1280, "maxHeight": 960, "widthUnit": 8, "heightUnit": 2, "codings": [0, 9, 10], "packetSize": 8192}]}'
for save in png tiff ome-tiff; do
  "${run[@]}" --bus "$(native_path "$work/s800.json")" acquire 1 "VARIABLE_0 (1280X960) Raw8" --frames 60 --save $save \
    --out "$(native_path "$work/all-$save")" >/dev/null 2>&1
  check "every frame written or skipped ($save)" "$py" -c '
import json, sys
lines = [json.loads(l) for l in open(sys.argv[1] + "/frames.jsonl")]
run = json.load(open(sys.argv[1] + "/acquisition.json"))
assert len(lines) == run["frames"] == 60 and run["state"] == "done" and run["lostEstimated"] is False
assert sum(l["skippedBefore"] for l in lines) == run["skipped"] == lines[-1]["number"] - lines[0]["number"] + 1 - 60
assert sum(l["lostBefore"] for l in lines) == run["lost"] and run["cameraFrames"] == 60 + run["skipped"] + run["lost"]
assert abs(run["nominalFps"] - 8000 / 150) < 1e-9 and run["deliveredFps"] > 0 and run["writingFps"] > 0' "$work/all-$save"
done
# The stacks, read by an independent reader as time series: a page a frame, the
# mosaic as the sensor gave it, the frame interval; OME with a DeltaT a plane.
check "TIFF stacks as time series" "$py" -c "$tiff_strict"'
import json, sys, tifffile
times = [json.loads(l)["time"] for l in open(sys.argv[1] + "/frames.jsonl").read().splitlines()]
with tifffile.TiffFile(sys.argv[1] + "/frames.tif") as t:
    assert t.is_imagej and t.series[0].axes == "TYX" and t.series[0].shape == (60, 960, 1280) and t.pages[0].dtype == "uint8"
    ij = t.imagej_metadata
    assert ij["frames"] == 60 and abs(ij["finterval"] - 150 / 8000) < 1e-9 and ij["bayer"] == "RGGB"
    assert "time" in json.loads(t.pages[59].description)
    # As ImageJ reads a stack: images= pages, one after the other from the first page'"'"'s data.
    raw, at, size = open(sys.argv[1] + "/frames.tif", "rb").read(), t.pages[0].dataoffsets[0], 960 * 1280
    assert all(raw[at + i * size:at + (i + 1) * size] == t.pages[i].asarray().tobytes() for i in range(ij["images"]))
times = [json.loads(l)["time"] for l in open(sys.argv[2] + "/frames.jsonl").read().splitlines()]
with tifffile.TiffFile(sys.argv[2] + "/frames.ome.tif") as t:
    assert t.is_ome and t.series[0].axes == "TYX" and t.series[0].shape == (60, 960, 1280)
    import xml.etree.ElementTree as ET
    planes = ET.fromstring(t.ome_metadata).findall(".//{*}Plane")
    assert len(planes) == 60 and all(abs(float(p.get("DeltaT")) - (x - times[0])) < 1e-6 for p, x in zip(planes, times))
    # AcquisitionDate is the first frame'"'"'s UTC; page 1 keeps its own number and layout.
    run, ome = json.load(open(sys.argv[2] + "/acquisition.json")), ET.fromstring(t.ome_metadata)
    assert ome.find(".//{*}AcquisitionDate").text == run["firstFrameUtc"] and abs(float(ome.find(".//{*}Pixels").get("TimeIncrement")) - 150 / 8000) < 1e-9
    assert json.loads(ome.find(".//{*}Description").text)["bayer"] == "RGGB"' \
  "$work/all-tiff" "$work/all-ome-tiff"
# Stacks ImageJ would misread are plain stacks, read whole by tifffile, and say why:
# more pages than directories reserved before the data, 16-bit RGB, BigTIFF.
CORVANE_STACK_SLOTS=5 "${run[@]}" acquire 1 "640X480 Mono8 30 FPS" --frames 12 --save tiff \
  --out "$(native_path "$work/past")" >"$work/past.out" 2>&1
bus_with rgb16.json "$(f7 '{"mode": 0, "maxWidth": 64, "maxHeight": 48, "widthUnit": 8, "heightUnit": 2, "codings": [6], "packetSize": 1024}')"
"${run[@]}" --bus "$(native_path "$work/rgb16.json")" acquire 1 --frames 4 --save tiff --out "$(native_path "$work/rgb16")" >"$work/rgb16.out" 2>&1
# 15,000 pages of 640x480 at 8 bits may pass 4 GB; 13,000 may not.
for frames in 15000 13000; do
  "${run[@]}" acquire 1 "640X480 Mono8 30 FPS" --frames $frames --save tiff --out "$(native_path "$work/big$frames")" >"$work/big$frames.out" 2>&1 &
  pid=$!
  for _ in $(seq 1 300); do [[ $(wc -l <"$work/big$frames/frames.jsonl" 2>/dev/null) -ge 3 ]] && break; sleep 0.1; done
  kill -INT $pid; wait $pid; pid=""
done
check "13,000 8-bit pages of 640x480: classic TIFF, ImageJ's" "$py" -c "$tiff_strict"'
import sys, tifffile
with tifffile.TiffFile(sys.argv[1]) as t:
    assert t.is_imagej and not t.is_bigtiff' "$work/big13000/frames.tif"
check "plain stacks where ImageJ would misread" "$py" -c "$tiff_strict"'
import json, sys, tifffile
for folder, pages, why in zip(sys.argv[1::2], (12, 4, None), sys.argv[2::2]):
    lines = open(folder + "/frames.jsonl").read().splitlines()
    with tifffile.TiffFile(folder + "/frames.tif") as t:
        assert not t.is_imagej and len(t.pages) == len(lines) == (pages or len(lines)) and t.is_bigtiff == (pages is None)
        assert [json.loads(p.description)["number"] for p in t.pages] == [json.loads(l)["number"] for l in lines]
    said = json.load(open(folder + "/acquisition.json"))["stack"]
    assert said.startswith("a plain TIFF stack") and why in said and why in open(folder + ".out").read(), said' \
  "$work/past" "directories precede" "$work/rgb16" "16-bit RGB" "$work/big15000" "BigTIFF"
# OME-XML longer than the space kept for it goes at the stack's end.
CORVANE_STACK_SLOTS=1 "${run[@]}" acquire 2 "VARIABLE_0 (1280X960) Mono8" --roi 0,0,64,64 --frames 100 \
  --save ome-tiff --out "$(native_path "$work/appended")" >/dev/null 2>&1
check "OME-XML appended" "$py" -c "$tiff_strict"'
import os, sys, tifffile, xml.etree.ElementTree as ET
with tifffile.TiffFile(sys.argv[1]) as t:
    assert len(ET.fromstring(t.ome_metadata).findall(".//{*}Plane")) == len(t.pages) == 100
    assert t.pages[0].tags["ImageDescription"].valueoffset >= os.path.getsize(sys.argv[1]) - len(t.ome_metadata) - 2' \
  "$work/appended/frames.ome.tif"
# A region of the virtual camera at 8,000 fps: each file's first bytes carry the
# camera's sequence number; written + skipped + lost is its span, lost exact.
"${run[@]}" acquire 2 "VARIABLE_0 (1280X960) Raw8" --roi 8,2,64,64 --frames 3000 --save raw --buffer 1 \
  --out "$(native_path "$work/fast")" >/dev/null 2>&1
check "every camera frame accounted for at 8,000 fps" "$py" -c '
import json, os, struct, sys
d = sys.argv[1]
lines = [json.loads(l) for l in open(d + "/frames.jsonl")]
run = json.load(open(d + "/acquisition.json"))
seqs = [struct.unpack("<I", open(os.path.join(d, l["file"]), "rb").read(4))[0] for l in lines]
assert run["lostEstimated"] is False and run["region"] == {"offsetX": 8, "offsetY": 2, "width": 64, "height": 64}
assert run["frames"] + run["skipped"] + run["lost"] == seqs[-1] - seqs[0] + 1, run
assert all(b - a - 1 == l["skippedBefore"] + l["lostBefore"] for a, b, l in zip(seqs, seqs[1:], lines[1:]))' "$work/fast"

# Pictures at the data's depth: PNG's IHDR holds bit depth (byte 24) and colour type (byte 25).
ihdr() { od -An -tu1 -j24 -N2 "$1" | xargs; }
depth_is() {  # depth_is "DEPTH TYPE" FORMAT_ARGS...
  local want="$1" dir="$work/depth$pass"; shift
  "${run[@]}" acquire "$@" --frames 1 --out "$(native_path "$dir")" >/dev/null 2>&1
  if [[ "$(ihdr "$dir/frame_0001.png" 2>/dev/null)" == "$want" ]]; then pass=$((pass + 1)); else
    fail "$* gives a PNG of depth and type '$(ihdr "$dir/frame_0001.png" 2>/dev/null)', not '$want'"; fi
}
depth_is "8 0" 1 "640X480 Mono8 15 FPS"
depth_is "16 0" 1 "640X480 Mono16 7.5 FPS"
depth_is "16 2" 2 "VARIABLE_0 (1280X960) Raw16"
depth_is "8 2" 3 "VARIABLE_0 (640X480) YUV422"
# The camera's bytes, and what they are.
"${run[@]}" acquire 2 "VARIABLE_1 (640X480) Raw8" --frames 2 --save raw --out "$(native_path "$work/raw")" >/dev/null 2>&1
[[ $(wc -c <"$work/raw/frame_0002.raw") -eq 307200 ]] && grep -q '"bayer": "RGGB"' "$work/raw/raw.json" &&
  pass=$((pass + 1)) || fail "--save raw"

# Ctrl-C: the camera stops, what was taken is written, and the tool says how many.
# Names padded to the largest number the run can reach, so that they sort.
"${run[@]}" acquire 1 "640X480 Mono8 30 FPS" --frames 10000 --out "$(native_path "$work/long")" >"$work/long.out" 2>&1 &
long=$!
for _ in $(seq 1 300); do
  [[ -f "$work/long/frame_00005.png" ]] && break
  sleep 0.1
done
# While it runs, the folder is its own.
expect_error "is in use by another acquisition" acquire 1 --frames 1 --overwrite --out "$(native_path "$work/long")"
kill -INT "$long"
wait "$long"
status=$?
taken=$(tr -d '\r' <"$work/long.out" | sed -n 's/^interrupted: \([0-9]*\) of 10000 frames written$/\1/p')
if [[ $status -eq 1 && -n "$taken" && -s "$work/long/contact_sheet.png" && ! -e "$work/long/.corvane-acquire.lock" &&
      $(grep -c '"file"' "$work/long/frames.jsonl") -eq $taken && -s "$work/long/frame_$(printf %05d "$taken").png" ]]; then
  pass=$((pass + 1))
else
  fail "interrupted acquisition: status $status, $(cat "$work/long.out")"
fi
# Killed outright: every complete frame file on disk has its line.
every_file_has_its_line() {  # every_file_has_its_line DIR
  local f
  for f in "$1"/frame_*.png "$1"/frame_*.raw; do
    [[ -f "$f" ]] || continue
    grep -q "\"file\":\"$(basename "$f")\"" "$1/frames.jsonl" || return 1
  done
}
"${run[@]}" acquire 1 "640X480 Mono8 30 FPS" --frames 10000 --out "$(native_path "$work/killed")" >/dev/null 2>&1 &
pid=$!
for _ in $(seq 1 300); do
  [[ -f "$work/killed/frame_00008.png" ]] && break
  sleep 0.1
done
kill -9 "$pid" 2>/dev/null
wait "$pid" 2>/dev/null
pid=""
check "a line for every frame file after kill -9" every_file_has_its_line "$work/killed"
check "the run's description before its first frame" grep -q '"state": "running"' "$work/killed/acquisition.json"
# The system's lock is the run's: one left by a killed run, or a lock file
# naming a live process that holds no lock, is no obstacle.
expect_ok '1 frames written' acquire 1 --frames 1 --overwrite --out "$(native_path "$work/killed")"
echo "process $$" >"$work/killed/.corvane-acquire.lock"
expect_ok '1 frames written' acquire 1 --frames 1 --overwrite --out "$(native_path "$work/killed")"

# Two runs into one folder never both run: run A (2 frames, into a folder not
# there yet) is held at each of its steps while run B (3 frames, --overwrite)
# tries; before A holds the lock B wins and A then finds B's files, after it A
# wins. Either way the folder holds one whole run, and no lock file.
one_whole_run() {  # one_whole_run DIR FRAMES
  "$py" -c '
import json, os, sys
d, n = sys.argv[1], int(sys.argv[2])
run = json.load(open(d + "/acquisition.json"))
files = [json.loads(l)["file"] for l in open(d + "/frames.jsonl")]
assert run["state"] == "done" and run["frames"] == n == len(files), run
assert sorted(f for f in os.listdir(d) if f.startswith("frame_")) == files, os.listdir(d)' "$1" "$2"
}
for step in made opened locked cleared started final; do
  dir="$work/race-$step"
  CORVANE_HOLD="$step:$(native_path "$work/go-$step")" "${run[@]}" acquire 1 --frames 2 \
    --out "$(native_path "$dir")" >/dev/null 2>"$work/a.err" &
  pid=$!
  for _ in $(seq 1 600); do [[ -e "$work/go-$step.reached" ]] && break; sleep 0.05; done
  [[ $step == final ]] && check "the lock outlives the final record" grep -q '"state": "done"' "$dir/acquisition.json"
  "${run[@]}" acquire 1 --frames 3 --overwrite --out "$(native_path "$dir")" >/dev/null 2>"$work/b.err"
  b=$?
  touch "$work/go-$step"
  wait "$pid"
  a=$?
  pid=""
  if [[ $step == made || $step == opened ]]; then want="2 0 3" says="holds files already" err=a; else
    want="0 2 2" says=".corvane-acquire.lock' is held by" err=b; fi
  if [[ -e "$work/go-$step.reached" && "$a $b" == "${want% *}" && "$(tr -d '\r' <"$work/$err.err")" == *"$says"* ]] &&
      one_whole_run "$dir" "${want##* }" && [[ ! -e "$dir/.corvane-acquire.lock" ]]; then
    pass=$((pass + 1))
  else
    fail "A held at $step: A $a, B $b; $(cat "$work/a.err" "$work/b.err")"
  fi
done
# Started together: one runs, the other is refused.
"${run[@]}" acquire 1 --frames 2 --overwrite --out "$(native_path "$work/together")" >/dev/null 2>&1 &
pid=$!
"${run[@]}" acquire 1 --frames 2 --overwrite --out "$(native_path "$work/together")" >/dev/null 2>&1
b=$?
wait "$pid"
a=$?
pid=""
[[ "$a$b" == 02 || "$a$b" == 20 ]] && one_whole_run "$work/together" 2 && pass=$((pass + 1)) ||
  fail "two runs started together: $a $b"

expect_error 'adapters[0].cameras[0].speed: 9 is above 5' --bus "$(native_path "$work/bad-value.json")" list
expect_error 'bad-syntax.json' --bus "$(native_path "$work/bad-syntax.json")" list
expect_error 'cannot be read' --bus "$(native_path "$work/missing.json")" list
expect_error 'format7[0].packetSize: 0 must be a whole number of quadlets' --bus "$(native_path "$work/packet0.json")" list
expect_error 'format7[0].widthUnit: 0 must divide maxWidth 640' --bus "$(native_path "$work/unit0.json")" list
expect_error 'format7[0].widthUnit: 7 must divide maxWidth 640' --bus "$(native_path "$work/unit7.json")" list
expect_error 'format7[0].codings: 11 is no colour coding' --bus "$(native_path "$work/coding11.json")" list
expect_error 'fixed[0].rates: a mode needs at least one frame rate' --bus "$(native_path "$work/norates.json")" list
expect_error 'features[0].value: 101 lies outside 0 to 100' --bus "$(native_path "$work/above.json")" list
expect_error '640x480 Mono8 at rate 5 (60 fps) needs 2304-byte packets; S100 carries 1024 at most' --bus "$(native_path "$work/slow.json")" list
expect_error 'nested deeper than 12 levels' --bus "$(native_path "$work/deep.json")" list
expect_error 'bytes; a description has at most' --bus "$(native_path "$work/huge.json")" list
expect_error 'cannot load module' --module "$(native_path "$work/nothing.so")" list
expect_error "no device '9' (devices are 1 to 3)" info 9
expect_error "no device '99999999999999999999'" info 99999999999999999999
expect_error "no device '4294967297'" info 4294967297
expect_error "has no format '4294967297' (formats are 1 to 12)" acquire 1 4294967297 --out "$(native_path "$work/w")"
expect_error "device 'Corvane Twin 0' is ambiguous: devices 1, 2 have that name" --bus "$(native_path "$work/twins.json")" info "Corvane Twin 0"
expect_error "the camera did not start: Not enough isochronous bandwidth (its 4096-byte packets take 83% of a bus cycle at S400, more than its bus has left)" \
  --bus "$(native_path "$work/busy.json")" acquire 1 --out "$(native_path "$work/busy")"
expect_error "no frame came within 5 s" --bus "$(native_path "$work/blank.json")" acquire 1 --out "$(native_path "$work/blank")"
expect_error "no device 'Nobody'" acquire Nobody --out "$(native_path "$work/a")"
expect_error "has no format 'VGA'" acquire 1 VGA --out "$(native_path "$work/b")"
expect_error "no property 'Gian_Value'" info 1 --set Gian_Value=1
expect_error 'takes an integer from 0 to 680' info 1 --set Gain_Value=681
expect_error 'takes one of Manual, Auto' info 1 --set Gain_Mode=Sometimes
expect_error '--set takes NAME=VALUE' info 1 --set Gain_Value
expect_error 'Unsupported ROI values. Format 7 mode 0 takes regions within 640x480 whose offsets step by 8 across and 2 down, and whose sizes step by 8 and 2.' \
  acquire 3 "VARIABLE_0 (640X480) RGB8" --roi 4,4,320,240 --out "$(native_path "$work/c")"
expect_error 'does not lie within' acquire 1 --roi 600,0,100,100 --out "$(native_path "$work/d")"
expect_error '--roi takes X,Y,W,H' acquire 1 --roi 1,2,3 --out "$(native_path "$work/e")"
expect_error 'has no hardware trigger Mode_3/Source_0' acquire 2 --trigger Mode_3/Source_0 --out "$(native_path "$work/f")"
expect_error 'has no hardware trigger' acquire 1 --trigger Mode_0/Source_0 --out "$(native_path "$work/g")"
expect_error '--frames takes a count' acquire 1 --frames 0 --out "$(native_path "$work/h")"
expect_error '--pulse-rate takes a rate' acquire 2 --pulse-rate -3 --out "$(native_path "$work/i")"
expect_error '--save takes png, tiff, ome-tiff or raw' acquire 1 --save bmp --out "$(native_path "$work/j")"
expect_error "not 'ometiff'; did you mean 'ome-tiff'?" acquire 1 --save ometiff --out "$(native_path "$work/j")"
expect_error '--roi is given more than once' acquire 1 --roi 0,0,8,8 --roi 0,0,16,16 --out "$(native_path "$work/j")"
expect_error '--frames takes a count in digits (1000, not 1e3' acquire 1 --frames 1e3 --out "$(native_path "$work/j")"
expect_error '--frames takes at most 999999999 frames' acquire 1 --frames 1000000000 --out "$(native_path "$work/j")"
expect_error 'region 0,0,0,0 is empty: its width and height are 1 or more' acquire 1 --roi 0,0,0,0 --out "$(native_path "$work/j")"
expect_error "image. Format 7 mode 0 takes regions" acquire 3 "VARIABLE_0 (640X480) RGB8" --roi 600,0,100,100 --out "$(native_path "$work/j")"
expect_error "is a folder; --out takes a file" describe --out "$(native_path "$work")"
printf '{"adapters": [{"cameras": [{"id": 1, "id": 2}]}]}' >"$work/twice.json"
expect_error 'the key "id" appears twice in one object' --bus "$(native_path "$work/twice.json")" list
# A broken bus file named at load: the bus command too ends in one line and status 2.
CORVANE_BUS="$(native_path "$work/bad-syntax.json")" expect_error 'bad-syntax.json: parse error' bus
# A vendor name the module cuts inside a character: JSON that parses all the same.
bus_with cut.json "{\"id\": 5, \"vendor\": \"$(printf 'é%.0s' $(seq 1 40))\", \"model\": \"M\", \"fixed\": [{\"format\": 0, \"mode\": 5, \"rates\": [4]}]}"
check "a name cut inside a character" "$py" -c 'import json, sys; json.loads(sys.stdin.read())' \
  < <("${run[@]}" --bus "$(native_path "$work/cut.json")" list --json 2>/dev/null)
expect_ok 'colour filter RGGB (pattern 1)' bus
expect_ok 'other traffic takes 4000 of' --bus "$(native_path "$work/busy.json")" bus
"${run[@]}" acquire 3 "VARIABLE_0 (640X480) YUV422" --frames 1 --save raw --out "$(native_path "$work/yuv")" >/dev/null 2>&1
check "raw.json names YUV's order" grep -q '"order": "U Y V Y"' "$work/yuv/raw.json"
expect_error "holds files already; give --overwrite" acquire 1 --frames 1 --out "$(native_path "$work/ok")"
# --overwrite destroys nothing until the new run has its first frame.
expect_error "no device '9'" acquire 9 --overwrite --out "$(native_path "$work/ok")"
expect_error "has no format 'VGA'" acquire 1 VGA --overwrite --out "$(native_path "$work/ok")"
check "--overwrite kept the earlier run after a refusal" test -s "$work/ok/frame_0003.png"
# --overwrite removes what the earlier run recorded, not what merely looks like it.
touch "$work/ok/frame_dark_reference.tif" "$work/ok/frame_0009.png" && mkdir -p "$work/ok/frame_notes"
expect_ok '"frames": 1' acquire 1 --frames 1 --overwrite --out "$(native_path "$work/ok")" --json
[[ ! -e "$work/ok/frame_0002.png" && -e "$work/ok/frame_dark_reference.tif" && -e "$work/ok/frame_0009.png" &&
   -d "$work/ok/frame_notes" ]] && pass=$((pass + 1)) ||
  fail "--overwrite: $(ls "$work/ok")"
mkdir -p "$work/mine" && echo mine >"$work/mine/frames.jsonl"
expect_error "frames.jsonl' is in the way and no earlier acquisition recorded it" acquire 1 --frames 1 --overwrite --out "$(native_path "$work/mine")"
check "a file in the way kept" grep -q mine "$work/mine/frames.jsonl"
# A name of the earlier run's that is now a folder: refused before anything of that run goes.
"${run[@]}" acquire 1 --frames 1 --save tiff --out "$(native_path "$work/then")" >/dev/null 2>&1
rm "$work/then/frames.tif" && mkdir "$work/then/frames.tif"
expect_error "frames.tif' is in the way and is not a file" acquire 1 --frames 1 --save tiff --overwrite --out "$(native_path "$work/then")"
check "the earlier run kept after that refusal" test -s "$work/then/acquisition.json" -a -s "$work/then/frames.jsonl"
# So is a file of yours with a frame's name the new run would write.
echo mine >"$work/then/frame_0005.png"
expect_error "frame_0005.png' is in the way and no earlier acquisition" acquire 1 --frames 6 --overwrite --out "$(native_path "$work/then")"
check "the earlier run kept after the frame's refusal" test -s "$work/then/frames.tif" -a -s "$work/then/frames.jsonl"
expect_error "no device '9'" acquire 9 --out "$(native_path "$work/pd/a/b")"
if [[ "$tool" != *.exe ]]; then
  expect_error "cannot make folder '/proc/corvane'" acquire 1 --out /proc/corvane
  # An earlier file that will not go: all of the earlier run stays.
  rm -rf "$work/then/frames.tif" "$work/then/frame_0005.png"
  "${run[@]}" acquire 1 --frames 3 --overwrite --out "$work/then" >/dev/null 2>&1
  if chattr +i "$work/then/frame_0002.png" 2>/dev/null; then
    expect_error "cannot remove the earlier acquisition's frame_0002.png" acquire 1 --frames 3 --overwrite --out "$work/then"
    chattr -i "$work/then/frame_0002.png"
    check "nothing of the earlier run removed" test "$(ls "$work/then" | tr '\n' ' ')" = "acquisition.json contact_sheet.png frame_0001.png frame_0002.png frame_0003.png frames.jsonl "
  fi
  # A full disk, where this machine lets a small one be mounted.
  mkdir -p "$work/small"
  if mount -t tmpfs -o size=300k tmpfs "$work/small" 2>/dev/null; then
    # Whichever writer meets the full disk first, the run stops there, keeps its
    # record and says how much; a stack holds exactly the pages its record lists.
    expect_error "frames kept, each with its line" acquire 2 "VARIABLE_0 (1280X960) Raw8" --frames 20 --out "$work/small/f"
    check "a line for every frame file on a full disk" every_file_has_its_line "$work/small/f"
    rm -rf "$work/small/f"
    expect_error ": No space left on device" acquire 2 "VARIABLE_0 (1280X960) Raw8" --roi 0,0,320,240 --frames 20 --save tiff --out "$work/small/t"
    check "a whole stack on a full disk" "$py" -c "$tiff_strict"'
import json, sys, tifffile
lines = open(sys.argv[1] + "/frames.jsonl").read().splitlines()
with tifffile.TiffFile(sys.argv[1] + "/frames.tif") as t:
    assert len(lines) >= 1 and len(t.pages) == len(lines) and t.pages[-1].asarray().shape == (240, 320)
    # Its description had space kept for it: a time series still.
    assert t.is_imagej and t.imagej_metadata["frames"] == len(lines)' "$work/small/t"
    rm -rf "$work/small/t"
    expect_error ": No space left on device" acquire 2 "VARIABLE_0 (1280X960) Raw8" --roi 0,0,320,240 --frames 20 --save ome-tiff --out "$work/small/o"
    check "an OME stack on a full disk keeps its planes" "$py" -c "$tiff_strict"'
import sys, tifffile, xml.etree.ElementTree as ET
lines = open(sys.argv[1] + "/frames.jsonl").read().splitlines()
with tifffile.TiffFile(sys.argv[1] + "/frames.ome.tif") as t:
    assert t.is_ome and len(ET.fromstring(t.ome_metadata).findall(".//{*}Plane")) == len(t.pages) == len(lines) >= 1' "$work/small/o"
    umount "$work/small"
  else
    echo "SKIPPED: the full-disk row (a tmpfs cannot be mounted here)"
  fi
  # The disk full at each write of a stack run in turn, the stack's and the
  # record's (strace fails each thread's Nth write to the file): the record's
  # lines are whole and the stack holds exactly the pages they list, described
  # or said not to be.
  if command -v strace >/dev/null; then
    # Each of the writer's writes: a page's data, directory and link, a line a frame.
    for file in frames.tif frames.jsonl; do
      for nth in $(seq 1 $([[ $file == frames.tif ]] && echo 12 || echo 4)); do
        out="$work/inject-$file-$nth"
        strace -f -qq -o /dev/null -P "$out/$file" -e trace=write -e inject=write:error=ENOSPC:when=$nth \
          "${run[@]}" acquire 2 "VARIABLE_0 (1280X960) Mono8" --roi 0,0,64,64 --frames 4 --save tiff \
          --out "$out" >/dev/null 2>"$out.err"
      done
    done
    check "a stack with the disk full at each write" "$py" -c "$tiff_strict"'
import glob, json, os, sys
import tifffile
for err in sorted(glob.glob(sys.argv[1] + "/inject-*.err")):
    folder = err[:-4]
    assert "No space left on device" in open(err).read(), err
    if not os.path.exists(folder + "/frames.jsonl"):
        continue  # refused before its first frame: nothing of it is left
    lines = [json.loads(l) for l in open(folder + "/frames.jsonl").read().splitlines()]
    said = "lacks its time-series description" in open(err).read()
    with tifffile.TiffFile(folder + "/frames.tif") as t:
        assert len(t.pages) == len(lines) and (not lines or t.is_imagej or said), (folder, len(t.pages), len(lines))' "$work"
  else
    echo "SKIPPED: the disk full at each write (no strace here)"
  fi
  # Text that is not UTF-8 (a folder's name) is written as valid JSON.
  expect_ok '"frames": 1' acquire 1 --frames 1 --out $'/tmp/lat\xe9n-'"$$" --json
  check "acquisition.json of a folder named in Latin-1" "$py" -c 'import json, sys; json.load(open(sys.argv[1]))' $'/tmp/lat\xe9n-'"$$/acquisition.json"
  rm -rf $'/tmp/lat\xe9n-'"$$"
else
  # Any name reaches the Windows tool whole: not only the ANSI code page's.
  expect_ok '1 frames written' acquire 1 --frames 1 --out "$(native_path "$work/Kameras Ü 日本")"
  check "a folder named outside the code page" test -s "$work/Kameras Ü 日本/frame_0001.png"
fi
# A failed write stops the run with the system's reason, and keeps what was written and its
# record: something takes a frame's name once the run has started (in the way before, it is refused).
CORVANE_HOLD="started:$(native_path "$work/go-blocked")" "${run[@]}" acquire 1 "640X480 Mono8 30 FPS" \
  --frames 20 --out "$(native_path "$work/blocked")" >/dev/null 2>"$work/blocked.err" &
pid=$!
for _ in $(seq 1 600); do [[ -e "$work/go-blocked.reached" ]] && break; sleep 0.05; done
mkdir -p "$work/blocked/frame_0004.png/x" && touch "$work/go-blocked"
wait "$pid"
status=$?
pid=""
[[ $status -eq 2 && "$(tr -d '\r' <"$work/blocked.err")" == *"frame_0004.png"* ]] && pass=$((pass + 1)) ||
  fail "a write that fails: status $status, $(cat "$work/blocked.err")"
check "a line for every frame file after a failed write" every_file_has_its_line "$work/blocked"
check "a file for every line after a failed write" "$py" -c '
import json, os, sys
run = json.load(open(sys.argv[1] + "/acquisition.json"))
files = [r["file"] for r in map(json.loads, open(sys.argv[1] + "/frames.jsonl"))]
assert run["state"] == "failed" and run["frames"] == len(files) and "frame_0004.png" not in files, run
assert all(os.path.isfile(os.path.join(sys.argv[1], f)) for f in files), run' "$work/blocked"
# Triggered frames respect the camera's packet time: 100 pulses a second, 1280x960 Mono8 in 4096-byte packets (26.7 at most).
# Counted over the run's whole time (time stamps of a slow host come in bursts).
"${run[@]}" acquire 2 "VARIABLE_0 (1280X960) Mono8" --trigger Mode_0/Source_0 --pulse-rate 100 --frames 20 \
  --out "$(native_path "$work/fast-trigger")" >/dev/null 2>&1
check "triggered frames no faster than the packets allow" "$py" -c '
import json, sys
run = json.load(open(sys.argv[1]))
assert run["frames"] == 20 and run["framesCounted"] / run["elapsed"] <= 27.5, run
assert run["trigger"] == {"configuration": "Mode_0/Source_0", "pulseRate": 100} and run["started"][19] == "." and len(run["started"]) == 27, run' "$work/fast-trigger/acquisition.json"
# A slow trigger: the tool says once that it waits, and no timeout is news.
"${run[@]}" acquire 2 --trigger Mode_0/Source_0 --pulse-rate 0.4 --frames 2 --out "$(native_path "$work/slow")" >"$work/slow.out" 2>"$work/slow.err"
[[ $(grep -c 'waiting for trigger pulses' "$work/slow.err") -eq 1 && $(grep -c 'Failed to receive' "$work/slow.out") -eq 0 ]] &&
  pass=$((pass + 1)) || fail "slow trigger: $(cat "$work/slow.err" "$work/slow.out")"
expect_error '--max-viewers takes a count from 1 to 256' view 1 --max-viewers 0
expect_error "unknown command 'lst'; did you mean 'list'?" lst
expect_error "unknown option '--bogus'" --bogus list
expect_error "unknown option '--frame'; did you mean '--frames'?" acquire 1 --frame 10 --out "$(native_path "$work/k")"
expect_error "--pulse-rate is the rate of hardware trigger pulses; it needs --trigger" acquire 2 --pulse-rate 5 --out "$(native_path "$work/k")"
expect_error "--buffer takes a size in MiB from 1 to 65536" acquire 1 --buffer 0 --out "$(native_path "$work/k")"
# A refused acquisition leaves no folder behind.
for dir in a b c d e f g h i j k w busy blank pd; do
  if [[ -e "$work/$dir" ]]; then
    fail "folder $dir left behind"
  fi
done
finish
