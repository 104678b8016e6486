#!/usr/bin/env bash
# Builds the Debian package: scripts/package.sh [BUILD_DIR]
# Configures BUILD_DIR (default ./build-package) for the /usr prefix without
# the tests, builds it, runs cpack and prints the path of the .deb, found in
# BUILD_DIR/packages/.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DIR="$(realpath -m "${1:-$ROOT/build-package}")"
export JOBS="${JOBS:-$(nproc)}"

bash "$ROOT/scripts/setup.sh"
# The compiler and linker hardening of a Debian build (fortified functions,
# stack protector, read-only relocations bound at start), taken by CMake at
# the first configuration of the tree.
export DEB_BUILD_MAINT_OPTIONS="hardening=+all"
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" bash "$ROOT/scripts/build.sh" "$DIR" \
  -DCMAKE_INSTALL_PREFIX=/usr -DNELT_BUILD_TESTS=OFF -DNELT_SANITIZE=OFF
(cd "$DIR" && cpack -G DEB >"$DIR/cpack.log" 2>&1) || { cat "$DIR/cpack.log"; exit 1; }
ls -1 "$DIR"/packages/*.deb
