#!/usr/bin/env bash
# The Windows symbols: every binary of the build names its PDB in its debug
# directory (the CodeView record, PDB name without a folder), the PDB beside it
# has the same signature and age and holds function names, no DWARF is left in
# a binary, and an address inside the adaptor's startCapture, taken from the
# linker's map, resolves through the PDB alone to that function, its file and
# a line within it. Checked in the build tree and in the two packages unpacked
# into one folder; then the check must fail with the module's PDB removed, and
# with another binary's PDB in its place. Run after check-packages.sh windows.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/windows
version=$(sed -n 's/^project(CorvaneImaq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
name="CorvaneImaq-$version-windows-x64"

# The signature and age a binary's CodeView record names, and its PDB's name.
codeview() {
  llvm-readobj --coff-debug-directory "$1" | awk '
    /PDBGUID:/ {gsub(/.*\(|\).*/, ""); guid = tolower($0)}
    /PDBAge:/ {age = $2} /PDBFileName:/ {file = $2}
    END {if (guid != "") print guid, age, file}'
}
# The same of a PDB, its GUID written back as the bytes the record holds.
pdb_signature() {
  llvm-pdbutil dump -summary "$1" | awk '
    /GUID:/ {gsub(/[{}-]/, "", $2); g = tolower($2)
             # the first three fields are little-endian in the record
             printf "%s %s %s %s %s %s %s %s", substr(g,7,2), substr(g,5,2), substr(g,3,2), substr(g,1,2), substr(g,11,2), substr(g,9,2), substr(g,15,2), substr(g,13,2)
             for (i = 17; i <= 31; i += 2) printf " %s", substr(g,i,2)}
    /^ *Age:/ {age = $2} END {print "", age}'
}

# check_binary FILE: its record names the PDB beside it, with that PDB's
# signature; the PDB holds function names; no DWARF is left in the file.
check_binary() {
  local binary=$1 pdb=${1%.*}.pdb record
  record=$(codeview "$binary")
  if [[ -z $record ]]; then echo "$binary: no CodeView record"; return 1; fi
  if [[ ${record##* } != "$(basename "$pdb")" ]]; then
    echo "$binary: its record names '${record##* }', not $(basename "$pdb")"; return 1
  fi
  if [[ ! -f $pdb ]]; then echo "$binary: no $(basename "$pdb") beside it"; return 1; fi
  if [[ "$(pdb_signature "$pdb")" != "${record% *}" ]]; then
    echo "$binary: $(basename "$pdb") is not its PDB (record ${record% *}, PDB $(pdb_signature "$pdb"))"
    return 1
  fi
  if ! llvm-pdbutil dump -summary "$pdb" | grep -q "Has Publics: true"; then
    echo "$binary: $(basename "$pdb") holds no function names"; return 1
  fi
  if llvm-objdump -h "$binary" | grep -q '\.debug_'; then echo "$binary: DWARF left in it"; return 1; fi
}

# check_folder DIR: DIR holds module/ and demo/ as the packages lay them out.
check_folder() {
  local dir=$1 ok=0 binary
  for binary in module/CorvaneImaq.dll demo/BL1394.dll demo/blShared.dll demo/imaqmex.mexw64 \
                demo/corvane-host.exe; do
    check_binary "$dir/$binary" || ok=1
  done
  # startCapture: its address from the linker's map, resolved through the PDB.
  local rva base address frames lines first last line
  rva=$(awk '$NF == "CorvaneAdaptor::startCapture()" {print $1; exit}' $build/CorvaneImaq.map)
  base=$(llvm-readobj --file-headers "$dir/module/CorvaneImaq.dll" | awk '/ImageBase:/ {print $2}')
  address=$(printf '0x%x' $((base + 0x$rva + 16)))
  frames=$(llvm-symbolizer --obj="$dir/module/CorvaneImaq.dll" "$address")
  read -r first last < <(awk '/^bool CorvaneAdaptor::startCapture\(\)/ {s = NR}
                              s && /^}/ {print s, NR; exit}' src/adaptor/capture.cpp)
  # The physical function is the last frame: inlined calls come before it.
  lines=$(grep -v '^$' <<<"$frames" | tail -2)
  line=$(sed -n '2s/.*capture\.cpp:\([0-9]*\):.*/\1/p' <<<"$lines")
  if [[ $(head -1 <<<"$lines") != "CorvaneAdaptor::startCapture()" ||
        $(tail -1 <<<"$lines") != *src/adaptor/capture.cpp:* || -z $line ||
        $line -lt $first || $line -gt $last ]]; then
    echo "module: $address (startCapture + 16) resolves to: $(xargs <<<"$frames")"
    echo "  instead of CorvaneAdaptor::startCapture() in src/adaptor/capture.cpp:$first-$last"
    ok=1
  else
    echo "  $address in $dir/module/CorvaneImaq.dll: $(head -1 <<<"$lines") at capture.cpp:$line"
  fi
  return $ok
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/tree/module" "$work/tree/demo"
cp $build/bin/CorvaneImaq.{dll,pdb} "$work/tree/module/"
cp $build/bin/{BL1394.dll,BL1394.pdb,blShared.dll,blShared.pdb,imaqmex.mexw64,imaqmex.pdb} \
   $build/bin/corvane-host.{exe,pdb} "$work/tree/demo/"
echo "the build tree:"
for binary in $build/bin/*.exe $build/bin/*.dll $build/bin/*.mexw64; do check_binary "$binary"; done
check_folder "$work/tree"

echo "the packages, unpacked into one folder:"
(cd "$work" && cmake -E tar xf "$OLDPWD/$build/packages/$name.zip" &&
   cmake -E tar xf "$OLDPWD/$build/packages/$name-symbols.zip")
check_folder "$work/$name"

# The check must see a lost or a foreign PDB.
rm "$work/tree/module/CorvaneImaq.pdb"
if check_folder "$work/tree" >/dev/null 2>&1; then echo "a missing PDB went unnoticed"; exit 1; fi
cp "$work/tree/demo/BL1394.pdb" "$work/tree/module/CorvaneImaq.pdb"
if check_folder "$work/tree" >/dev/null 2>&1; then echo "a foreign PDB went unnoticed"; exit 1; fi
echo "symbols: every binary has its PDB; a missing or foreign PDB is noticed"
