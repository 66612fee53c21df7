#!/usr/bin/env bash
# The module's binary contract: it exports exactly its five entry points,
# unmangled; it imports from the host kit exactly the eight kit functions,
# under the names the platform's C++ ABI gives the kit header's declarations;
# from the camera bus libraries only Cv functions and the bandwidth helper; the
# Windows DLL imports from nothing else but Windows system DLLs. Every Windows
# binary carries version information.
set -euo pipefail
cd "$(dirname "$0")/.."
want="createInstance getAvailHW getDeviceAttributes initializeAdaptor uninitializeAdaptor"
# The kit functions' symbol names, derived from the kit header's declarations
# by the platform's own C++ ABI: g++ for Linux; clang in Microsoft's mode for
# Windows, over mingw-w64's C++ headers (asking needs no Microsoft runtime).
kit_symbols() {
  local object cxx=/usr/lib/gcc/x86_64-w64-mingw32/12-posix/include/c++
  object=$(mktemp --suffix=.o)
  case $1 in
    linux) g++ -std=c++20 -c -Isrc/platform scripts/kit-names.cpp -o "$object" ;;
    windows) clang++ --target=x86_64-pc-windows-msvc -std=gnu++20 -Werror -c -nostdinc++ \
               -isystem $cxx -isystem $cxx/x86_64-w64-mingw32 -isystem /usr/share/mingw-w64/include \
               -Isrc/platform scripts/kit-names.cpp -o "$object" ;;
  esac
  llvm-nm --undefined-only "$object" | awk '{print $2}' | sed 's/^__imp_//' |
    grep -v -x -E '_fltused|__gxx_personality_v0' | sort | xargs
  rm -f "$object"
}
status=0
fail() { echo "$1"; status=1; }
# kit_imports FILE "NAMES IT IMPORTS FROM THE KIT" PLATFORM
kit_imports() {
  local want_kit
  want_kit=$(kit_symbols "$3")
  [[ "$2" == "$want_kit" ]] && return
  fail "$1 imports from the kit names its header's declarations do not give:
  imported, not declared: $(comm -23 <(xargs -n1 <<<"$2") <(xargs -n1 <<<"$want_kit") | xargs)
  declared, not imported: $(comm -13 <(xargs -n1 <<<"$2") <(xargs -n1 <<<"$want_kit") | xargs)"
}

so=build/native/bin/CorvaneImaq.so
if [[ -f $so ]]; then
  got=$(nm -D --defined-only "$so" | awk '$2 ~ /^[TW]$/ {print $3}' | sort | xargs)
  [[ "$got" == "$want" ]] || fail "CorvaneImaq.so exports: $got"
  kit=$(nm -D --defined-only build/native/bin/imaqmex.so | awk '{print $3}' | sort)
  undefined=$(nm -D --undefined-only "$so" | awk '{print $2}' | sort)
  got=$(comm -12 <(echo "$kit") <(echo "$undefined") | xargs)
  kit_imports "CorvaneImaq.so" "$got" linux
  # Everything else it needs is the bus libraries' or the C and C++ runtimes'.
  other=$(comm -23 <(echo "$undefined") <(echo "$kit") | grep -v -E '^(Cv[A-Za-z]+|blCalcIsoBandwidthPercentage|.*@.*|_ITM_.*|__gmon_start__)$' | xargs || true)
  [[ -z "$other" ]] || fail "CorvaneImaq.so needs unexpected symbols: $other"
fi

dll=build/windows/bin/CorvaneImaq.dll
if [[ -f $dll ]]; then
  dump=$(x86_64-w64-mingw32-objdump -p "$dll")
  got=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' | sort | xargs)
  [[ "$got" == "$want" ]] || fail "CorvaneImaq.dll exports: $got"
  # The names imported from one DLL: the lines of its block in the import table.
  imports() {
    awk -v dll="$1" 'tolower($0) ~ "dll name: " dll "$" {on=1; next}
                     on && /^$/ {on=0} on && $1 ~ /^[0-9a-f]+$/ {print $3}' <<<"$dump" | sort | xargs
  }
  got=$(imports imaqmex.mexw64)
  kit_imports "CorvaneImaq.dll" "$got" windows
  got=$(imports bl1394.dll | xargs -n1 | grep -v -E '^Cv[A-Za-z]+$' | xargs || true)
  [[ -z "$got" ]] || fail "CorvaneImaq.dll imports from BL1394.dll: $got"
  got=$(imports blshared.dll)
  [[ "$got" == "blCalcIsoBandwidthPercentage" ]] || fail "CorvaneImaq.dll imports from blShared.dll: $got"
  while read -r name; do
    case "${name,,}" in
      bl1394.dll|blshared.dll|imaqmex.mexw64|kernel32.dll|user32.dll|msvcrt.dll|api-ms-win-*) ;;
      *) fail "CorvaneImaq.dll imports from $name" ;;
    esac
  done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
fi

# corvane-host runs beside the camera maker's library: it takes nothing from the
# bus library but the Cv functions (the virtual bus's own it finds at run time),
# and the bus library in the maker's shape exports nothing else.
host_exe=build/windows/bin/corvane-host.exe
if [[ -f $host_exe ]]; then
  dump=$(x86_64-w64-mingw32-objdump -p "$host_exe")
  got=$(imports bl1394.dll | xargs -n1 | grep -v -E '^Cv[A-Za-z]+$' | xargs || true)
  [[ -z "$got" ]] || fail "corvane-host.exe imports from BL1394.dll: $got"
  got=$(x86_64-w64-mingw32-objdump -p build/windows/bin/cv-only/BL1394.dll |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' |
        grep -v -E '^Cv[A-Za-z]+$' | xargs || true)
  [[ -z "$got" ]] || fail "the Cv-only BL1394.dll exports: $got"
fi
host_elf=build/native/bin/corvane-host
if [[ -f $host_elf ]]; then
  bus=$(nm -D --defined-only build/native/bin/BL1394.so | awk '{print $3}' | sort)
  got=$(comm -12 <(echo "$bus") <(nm -D --undefined-only "$host_elf" | awk '{print $2}' | sort) |
        grep -v -E '^Cv[A-Za-z]+$' | xargs || true)
  [[ -z "$got" ]] || fail "corvane-host takes from BL1394.so: $got"
  got=$(nm -D --defined-only build/native/bin/cv-only/BL1394.so | awk '{print $3}' |
        grep -v -E '^Cv[A-Za-z]+$' | xargs || true)
  [[ -z "$got" ]] || fail "the Cv-only BL1394.so exports: $got"
fi

# Every Windows binary carries version information from the build files' one
# version number; the module's says 1.0.0, as its getVersion does.
version=$(sed -n 's/^project(CorvaneImaq VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[[ "$version" == "1.0.0" ]] || fail "the build files say version '$version'; the module answers 1.0.0"
for file in CorvaneImaq.dll BL1394.dll blShared.dll imaqmex.mexw64 corvane-host.exe; do
  path=build/windows/bin/$file
  [[ -f $path ]] || continue
  rc=$(x86_64-w64-mingw32-windres -i "$path" -O rc 2>/dev/null || true)
  value() { sed -n "s/^ *VALUE \"$1\", \"\(.*\)\"$/\1/p" <<<"$rc"; }
  [[ $(value FileVersion) == "$version" && $(value ProductVersion) == "$version" ]] ||
    fail "$file: version resource says '$(value FileVersion)'/'$(value ProductVersion)', not $version"
  grep -q "FILEVERSION ${version//./, }, 0" <<<"$rc" || fail "$file: FILEVERSION is not $version"
  [[ $(value ProductName) == "CorvaneImaq" ]] || fail "$file: product name '$(value ProductName)'"
  [[ -n $(value FileDescription) ]] || fail "$file: no description"
  [[ $(value OriginalFilename) == "$file" ]] || fail "$file: original file name '$(value OriginalFilename)'"
done
[[ $status == 0 ]] && echo "module exports and imports, version resources: as they should be"
exit $status
