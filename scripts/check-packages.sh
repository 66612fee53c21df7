#!/usr/bin/env bash
# The packages as a user gets them: each holds exactly the module part and the
# demonstration kit, and, unpacked into an empty folder, runs from there alone:
# its README's commands run as pasted; corvane-host lists the cameras and acquires
# pictures (the Windows zip under Wine).
#   check-packages.sh native|windows
set -euo pipefail
cd "$(dirname "$0")/.."
which="$1"
case "$which" in
  native) exe=""; run=(); so=so; kit=imaqmex.so; system=linux-x86_64; ext=tar.gz ;;
  windows) exe=.exe; run=(wine); so=dll; kit=imaqmex.mexw64; system=windows-x64; ext=zip ;;
  *) echo "check-packages.sh native|windows"; exit 2 ;;
esac
cpack --preset "$which" >/dev/null
name="CorvaneImaq-$(sed -n 's/^project(CorvaneImaq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)-$system"
package="$PWD/build/$which/packages/$name.$ext"

# Exactly these files: no test program, import library or build debris.
want="$name/README.txt
$name/demo/BL1394.$so
$name/demo/blShared.$so
$name/demo/corvane-host$exe
$name/demo/$kit
$name/demo/sample-bus.json
$name/module/CorvaneImaq.$so
$name/module/MODULE.txt
$name/module/host-integration.md"
got=$(cmake -E tar tf "$package" | grep -v '/$' | sort)
if [[ "$got" != "$(sort <<<"$want")" ]]; then
  echo "$name.$ext holds:"; echo "$got"; echo "instead of:"; echo "$want"
  exit 1
fi

folder="$(mktemp -d)"
trap 'rm -rf "$folder"' EXIT
(cd "$folder" && cmake -E tar xf "$package")
# The README's commands, as pasted from the unpacked folder.
commands="$(sed -n 's/^  \$ //p' "$folder/$name/README.txt")"
[[ $(grep -c . <<<"$commands") -ge 4 ]] || { echo "$name: README.txt shows no commands"; exit 1; }
(cd "$folder/$name" && bash -euo pipefail -c "$commands" >/dev/null) ||
  { echo "$name: README.txt's commands failed:"; echo "$commands"; exit 1; }
cd "$folder/$name/demo"
"${run[@]}" ./corvane-host$exe list >list.txt
grep -q "Device 3: Corvane CY-422DP 100203" list.txt
"${run[@]}" ./corvane-host$exe --bus sample-bus.json list | grep -q "Corvane CX-1280B 200102"
CORVANE_BUS=sample-bus.json "${run[@]}" ./corvane-host$exe list | grep -q "Corvane CX-1280B 200102"
grep -q "CORVANE_BUS" ../README.txt
# What MODULE.txt says the module needs is what the loader says it needs.
if [[ $which == native ]]; then
  for needed in $(readelf -d ../module/CorvaneImaq.so | sed -n 's/.*(NEEDED).*\[\(lib[a-z_+]*\.so\.[0-9]*\)\]/\1/p'); do
    grep -q "$needed" ../module/MODULE.txt || { echo "MODULE.txt does not name $needed"; exit 1; }
  done
fi
"${run[@]}" ./corvane-host$exe acquire 2 "VARIABLE_0 (1280X960) Raw8" --frames 3 --out pictures >/dev/null
for f in frame_0001 frame_0002 frame_0003 contact_sheet; do
  head -c 8 "pictures/$f.png" | od -An -tx1 | grep -q "89 50 4e 47 0d 0a 1a 0a" || {
    echo "$name: pictures/$f.png is no PNG file"; exit 1; }
done
echo "$name.$ext: the module and the demonstration kit, running from an empty folder"
