#!/usr/bin/env bash
# The deeper checks: every test under AddressSanitizer+UndefinedBehaviorSanitizer
# and under ThreadSanitizer, clang-tidy over the module, short fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh analysis

echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

echo "== ThreadSanitizer"
cmake --preset tsan >/dev/null
cmake --build --preset tsan
ctest --preset tsan

echo "== clang-tidy over the module"
cmake --preset native >/dev/null
git ls-files 'src/*.cpp' | grep -v -E 'winthread_win32|dll_main' |
  xargs -P2 -n1 clang-tidy --quiet -p build/native
echo "clang-tidy: clean"

echo "== fuzzing, 10 seconds a target"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers
scripts/fuzz.sh 10
