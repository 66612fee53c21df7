#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already there.
#   install-deps.sh native    what the Linux build and its tests need
#   install-deps.sh all       also the Windows cross-build and Wine
#   install-deps.sh analysis  clang, clang-tidy and libFuzzer for the deeper checks
set -euo pipefail
want=(cmake g++ make pkg-config libgtest-dev googletest libbenchmark-dev nlohmann-json3-dev
      libstb-dev libcli11-dev clang-format)
case "${1:-native}" in
  all) want+=(g++-mingw-w64-x86-64-posix wine64 wine) ;;
  analysis) want+=(clang clang-tidy libclang-rt-14-dev) ;;
esac
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
