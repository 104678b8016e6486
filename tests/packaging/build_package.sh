#!/usr/bin/env bash
# Builds the .deb of this build tree with cpack into OUT/neltstore.deb and
# checks it with lintian: every error and every warning fails, except what
# the package's own lintian overrides accept (each one explained there and
# in the README).
#   build_package.sh BUILD_DIR OUT_DIR
set -euo pipefail
. "$(dirname "$0")/package_lib.sh"
BUILD=$1
OUT=$2

command -v cpack >/dev/null || skip "cpack is not installed"
command -v dpkg-deb >/dev/null || skip "dpkg-deb is not installed"
rm -rf "$OUT"
mkdir -p "$OUT"

# The staging tree and the package stay inside OUT; the install runs with
# DESTDIR, so nothing reaches this machine's /usr or /etc.
if ! cpack --config "$BUILD/CPackConfig.cmake" -G DEB -B "$OUT/cpack" >"$OUT/cpack.log" 2>&1; then
  cat "$OUT/cpack.log"
  fail "cpack could not build the package"
fi
debs=("$OUT"/cpack/*.deb)
[ "${#debs[@]}" = 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single .deb: ${debs[*]}"
mv "${debs[0]}" "$OUT/neltstore.deb"
rm -rf "$OUT/cpack/_CPack_Packages"
printf 'ok: built %s\n' "$(dpkg-deb -f "$OUT/neltstore.deb" Package Version Architecture | tr '\n' ' ')"

if ! command -v lintian >/dev/null; then
  printf 'lintian is not installed: the package is not linted\n'
  exit 0
fi
# Info tags are shown but never fail the build.
set +e
lintian --fail-on error,warning --display-info "$OUT/neltstore.deb" >"$OUT/lintian.log" 2>&1
status=$?
set -e
cat "$OUT/lintian.log"
[ "$status" = 0 ] || fail "lintian reports errors or warnings (see above)"
printf 'ok: lintian has no errors or warnings\n'
