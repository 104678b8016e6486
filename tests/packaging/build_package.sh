#!/usr/bin/env bash
# Builds the .deb packages of this build tree with cpack into
# OUT/neltstore-service.deb and OUT/neltstore.deb and checks them with lintian: every error and every warning fails, except what
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
# Two packages from one build: neltstore-service (service, helper, command
# line) and neltstore (the window), each kept as OUT/PACKAGE.deb.
debs=("$OUT"/cpack/*.deb)
[ "${#debs[@]}" = 2 ] || fail "cpack made ${#debs[@]} packages, not two: ${debs[*]}"
for deb in "${debs[@]}"; do
  name=$(dpkg-deb -f "$deb" Package)
  case "$name" in
    neltstore | neltstore-service) mv "$deb" "$OUT/$name.deb" ;;
    *) fail "cpack made an unexpected package $name" ;;
  esac
  printf 'ok: built %s\n' "$(dpkg-deb -f "$OUT/$name.deb" Package Version Architecture | tr '\n' ' ')"
done
rm -rf "$OUT/cpack/_CPack_Packages"

if ! command -v lintian >/dev/null; then
  printf 'lintian is not installed: the packages are not linted\n'
  exit 0
fi
# Info tags are shown but never fail the build.
set +e
lintian --fail-on error,warning --display-info "$OUT/neltstore-service.deb" "$OUT/neltstore.deb" \
  >"$OUT/lintian.log" 2>&1
status=$?
set -e
cat "$OUT/lintian.log"
[ "$status" = 0 ] || fail "lintian reports errors or warnings (see above)"
printf 'ok: lintian has no errors or warnings\n'
