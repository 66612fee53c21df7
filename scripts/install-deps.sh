#!/usr/bin/env bash
# Installs the Debian packages the build needs, skipping those already there.
#   install-deps.sh native    what the Linux build and its tests need
#   install-deps.sh all       also the Windows cross-build, Wine, clang, lld and llvm
#                             (for what is built in Microsoft's C++ ABI), and Chromium
#                             with its WebDriver for the browser test
#   install-deps.sh analysis  clang, clang-tidy and libFuzzer for the deeper checks
# cpp-httplib and lodepng come as Debian ships their source (the binary packages
# are Linux libraries, no use to a cross-build); they are unpacked, with
# Debian's patches, into /usr/local/src/corvane/.
set -euo pipefail
want=(cmake g++ make pkg-config libgtest-dev googletest libbenchmark-dev nlohmann-json3-dev
      libstb-dev libcli11-dev python3-tifffile clang-format dpkg-dev curl ca-certificates strace)
case "${1:-native}" in
  all) want+=(g++-mingw-w64-x86-64-posix wine64 wine clang lld llvm chromium chromium-driver jq) ;;
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

# debian_source PACKAGE FOLDER FILE...: the files of a Debian source package,
# fetched with an apt state of its own (the system's package lists stay as they are).
debian_source() {
  local package="$1" folder="$2"; shift 2
  [[ -e $folder/$1 ]] && return
  echo "Fetching Debian's source of $package"
  local work
  work="$(mktemp -d)"
  mkdir -p "$work/lists/partial" "$work/archives/partial"
  printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    >"$work/debian.sources"
  local apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o Dir::Etc::SourceParts="$work"
             -o Dir::State::Lists="$work/lists" -o Dir::Cache::Archives="$work/archives"
             -o APT::Sandbox::User=root)
  "${apt[@]}" update
  (cd "$work" && "${apt[@]}" source "$package" >/dev/null)
  mkdir -p "$folder"
  local file
  for file in "$@"; do cp -r "$work"/"$package"-*/"$file" "$folder/"; done
  rm -rf "$work"
}
debian_source cpp-httplib /usr/local/src/corvane/cpp-httplib httplib.h LICENSE
debian_source lodepng /usr/local/src/corvane/lodepng lodepng.cpp lodepng.h LICENSE
# PNG's deflate at a low level, fast enough for a camera's full rate.
debian_source libdeflate /usr/local/src/corvane/libdeflate lib common_defs.h libdeflate.h COPYING
