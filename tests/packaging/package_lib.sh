# Helpers shared by the package tests (sourced).

fail() {
  printf 'FAIL: %s\n' "$*" >&2
  exit 1
}

# Exit status 77 tells ctest the test was skipped.
skip() {
  printf 'SKIP: %s\n' "$*"
  exit 77
}

check() {
  local what=$1
  shift
  if "$@"; then printf 'ok: %s\n' "$what"; else fail "$what"; fi
}

# A .deb that package_build left in OUT: package_deb OUT [PACKAGE], by
# default the service's (neltstore-service); the window's is "neltstore".
package_deb() {
  local deb=$1/${2:-neltstore-service}.deb
  [ -f "$deb" ] || fail "no package $deb: package_build did not run or failed"
  printf '%s' "$deb"
}

# A free TCP port on 127.0.0.1.
free_port() {
  python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}

# Waits up to 10 s for a non-empty file.
wait_for_file() {
  local i
  for i in $(seq 100); do
    [ -s "$1" ] && return 0
    sleep 0.1
  done
  return 1
}

# Waits up to 30 s for a line of FILE matching the extended regular expression.
wait_for_line() {
  local i
  for i in $(seq 300); do
    grep -Eq -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
