#!/usr/bin/env bash
# Builds and runs every test: natively, then cross-built for Windows under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh all

echo "== formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== native"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "== the live view in headless Chromium"
scripts/browser-test.sh

echo "== windows (Wine)"
cmake --preset windows >/dev/null
cmake --build --preset windows
# A fresh Wine prefix for every run; its first start takes a few seconds.
WINEPREFIX="$(mktemp -d /tmp/corvane-wine.XXXXXX)"
export WINEPREFIX WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
wineboot -i >/dev/null 2>&1 || true
# Every process of the prefix's making ended before a test starts: a test that
# meets the prefix half made can end silently.
wineserver -w
ctest --preset windows

echo "== module binaries"
scripts/check-binaries.sh

echo "== pictures: the same frames give the same bytes natively and under Wine"
pictures="$(mktemp -d)"
build/native/bin/picture_files "$pictures/native" >/dev/null
wine build/windows/bin/picture_files.exe "$(winepath -w "$pictures/windows" 2>/dev/null)" >/dev/null
diff -r "$pictures/native" "$pictures/windows"
echo "$(ls "$pictures/native" | wc -l) files, byte for byte the same"
rm -rf "$pictures"

echo "== packages, unpacked into empty folders"
scripts/check-packages.sh native
scripts/check-packages.sh windows

echo "== Windows symbols: a PDB for every binary, startCapture resolved through it"
scripts/check-symbols.sh

echo "== benchmark smoke run (no timing is judged)"
build/native/bin/corvane-bench --seconds 0.2 --json >build/native/bench.json
grep -q '"allocations"' build/native/bench.json && echo "corvane-bench printed its JSON"

echo "== soak, one minute (every frame accounted for, nothing leaked, nothing hung)"
build/native/bin/corvane-bench soak --minutes 1
