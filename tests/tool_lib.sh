# Shared by the corvane-host scripts, sourced with the tool's path in $tool:
# how to run it (natively, or under Wine for an .exe), a scratch folder that
# goes at exit with any tool left running in $pid, and the pass and fail counts.
run=("$tool")
native_path() { printf '%s' "$1"; }
if [[ "$tool" == *.exe ]]; then
  run=(wine "$tool")
  # Wine's Z: drive is the Unix root. Worked out here, not by winepath: that
  # is a Windows program too, and one more start in a prefix under load is
  # one more chance of "Application could not be started" as a path.
  native_path() {
    local p="$1"
    [[ "$p" == /* ]] || p="$PWD/$p"
    p="Z:${p//\//\\}"
    printf '%s' "$p"
  }
fi
work="$(mktemp -d)"
pid=""
cleanup() {
  [[ -n "$pid" ]] && kill -9 "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
failures=0
pass=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() {  # check "what" command...
  local what="$1"; shift
  if "$@"; then pass=$((pass + 1)); else fail "$what"; fi
}
# The address a viewer prints on the file its standard output goes to, once it is up.
viewer_address() {  # viewer_address file
  for _ in $(seq 1 300); do
    grep -q 'live at http://127.0.0.1:' "$1" 2>/dev/null && break
    sleep 0.1
  done
  grep -o 'http://127.0.0.1:[0-9]*' "$1"
}
finish() {
  echo "$pass passed, $failures failed"
  [[ $failures -eq 0 ]]
}
