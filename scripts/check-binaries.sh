#!/usr/bin/env bash
# The module exports exactly its five entry points, unmangled; the Windows DLL
# imports only from the camera libraries, the host kit and Windows system DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."
want="createInstance getAvailHW getDeviceAttributes initializeAdaptor uninitializeAdaptor"
status=0
if [[ -f build/native/bin/CorvaneImaq.so ]]; then
  got=$(nm -D --defined-only build/native/bin/CorvaneImaq.so | awk '$2 ~ /^[TW]$/ {print $3}' | sort | xargs)
  [[ "$got" == "$want" ]] || { echo "CorvaneImaq.so exports: $got"; status=1; }
fi
if [[ -f build/windows/bin/CorvaneImaq.dll ]]; then
  dump=$(x86_64-w64-mingw32-objdump -p build/windows/bin/CorvaneImaq.dll)
  got=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | awk '/^[[:space:]]*\[ *[0-9]+\]/ {print $NF}' | sort | xargs)
  [[ "$got" == "$want" ]] || { echo "CorvaneImaq.dll exports: $got"; status=1; }
  while read -r dll; do
    case "${dll,,}" in
      bl1394.dll|blshared.dll|imaqmex.mexw64|kernel32.dll|user32.dll|msvcrt.dll|api-ms-win-*) ;;
      *) echo "CorvaneImaq.dll imports from $dll"; status=1 ;;
    esac
  done < <(awk '/DLL Name:/ {print $3}' <<<"$dump")
fi
[[ $status == 0 ]] && echo "module exports and imports: as they should be"
exit $status
