#!/usr/bin/env bash
# The extracted package works on its own: its KavixService serves the local
# store server's sample catalog, its nelt-cli searches, signs in, installs,
# lists, launches and removes an application, and its kavix-pack built the
# packages that the store serves. Only the extracted programs are on PATH
# (besides the platform stand-ins); every system path is below NELT_ROOT.
#   run_package.sh OUT_DIR BUILD_BIN_DIR
set -euo pipefail
. "$(dirname "$0")/package_lib.sh"
DEB=$(package_deb "$1")
BUILD_BIN=$2
SOURCE=${NELT_SOURCE_DIR:?}
STANDINS=${NELT_STANDINS_DIR:?}
command -v mksquashfs >/dev/null || skip "mksquashfs (squashfs-tools) is not installed"

T=$(mktemp -d "${TMPDIR:-/tmp}/nelt-runpkg.XXXXXX")
pids=()
cleanup() {
  local status=$? p
  if [ "$status" != 0 ] && [ "$status" != 77 ]; then dump_logs; fi
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf -- "$T"
}
dump_logs() {
  local f
  for f in "$T"/*.log; do
    [ -f "$f" ] || continue
    printf -- '--- %s\n' "$f"
    tail -n 40 "$f"
  done
}
trap cleanup EXIT

PKG=$T/pkg
dpkg-deb -x "$DEB" "$PKG"
dpkg-deb -x "$(package_deb "$1" neltstore)" "$PKG"
# The build's programs leave PATH: everything below runs from the package.
clean_path=$(tr ':' '\n' <<<"$PATH" | grep -vxF "$BUILD_BIN" | grep -vxF "$STANDINS" | paste -sd: -)
export PATH="$STANDINS:$PKG/usr/bin:$clean_path"
[ "$(command -v nelt-cli)" = "$PKG/usr/bin/nelt-cli" ] || fail "nelt-cli is not the extracted one"
[ "$(command -v kavix-pack)" = "$PKG/usr/bin/kavix-pack" ] || fail "kavix-pack is not the extracted one"

export NELT_ROOT=$T/root
mkdir -p "$NELT_ROOT/etc/nelt" "$NELT_ROOT/usr/bin/nelt" "$NELT_ROOT/snap" "$NELT_ROOT/var/snap"
# The package's link from the clients' port file to the service's, moved
# below NELT_ROOT like every other system path.
[ "$(readlink "$PKG/usr/bin/nelt/.port.conf")" = /run/nelt/.port.conf ] ||
  fail "the package's /usr/bin/nelt/.port.conf is no link to /run/nelt/.port.conf"
ln -s "$NELT_ROOT/run/nelt/.port.conf" "$NELT_ROOT/usr/bin/nelt/.port.conf"

# The sample store's packages, made by the extracted kavix-pack.
KAVIX_PACK="$PKG/usr/bin/kavix-pack" bash "$SOURCE/tools/make_sample_packages.sh" "$T/packages" >"$T/pack.log" 2>&1 ||
  fail "the extracted kavix-pack could not build the sample packages: $(cat "$T/pack.log")"
[ -f "$T/packages/hello-nelt/1.3.0.kavix" ] || fail "no hello-nelt 1.3.0 package"
printf 'ok: the extracted kavix-pack builds the sample packages\n'

"$BUILD_BIN/nelt-store-server" --catalog "$SOURCE/catalog/sample" --packages "$T/packages" \
  --port 0 --port-file "$T/store.port" >"$T/store-server.log" 2>&1 &
pids+=($!)
wait_for_file "$T/store.port" || fail "the store server did not start"
STORE="http://127.0.0.1:$(tr -d '\n' <"$T/store.port")"
export NELT_IP_LOOKUP_URL="$STORE/ip"

# The shipped configuration with the addresses of this test: the service's
# folders below NELT_ROOT, the store and the IP look-up on loopback.
python3 - "$PKG/etc/nelt/nelt_store.conf" "$NELT_ROOT/etc/nelt/nelt_store.conf" "$STORE" "$(free_port)" "$NELT_ROOT" <<'PY'
import json, sys
src, dst, store, port, root = sys.argv[1:]
conf = json.load(open(src))
conf.update({"host": store, "local_port": int(port), "local_port_a": [0],
             "kavix_path": root + conf["kavix_path"], "data_kavix_path": root + conf["data_kavix_path"],
             "port_file": root + conf["port_file"],
             "ip_lookup_url": store + "/ip"})
json.dump(conf, open(dst, "w"), indent=2)
PY

"$PKG/usr/bin/KavixService" >"$T/service.log" 2>&1 &
pids+=($!)
wait_for_file "$NELT_ROOT/usr/bin/nelt/.port.conf" || fail "the extracted KavixService wrote no port file"
[ -f "$NELT_ROOT/run/nelt/.port.conf" ] && [ ! -L "$NELT_ROOT/run/nelt/.port.conf" ] ||
  fail "the port file is not below /run/nelt"
printf 'ok: the extracted KavixService listens (%s)\n' "$(cat "$NELT_ROOT/usr/bin/nelt/.port.conf")"

out=$(nelt-cli search hello) || fail "nelt-cli search failed: $out"
grep -q '^hello-nelt ' <<<"$out" || fail "search does not find hello-nelt: $out"
out=$(nelt-cli --json search ghi) || fail "nelt-cli --json search failed"
grep -q '"slug":"ghi-chu"' <<<"$out" || fail "search does not find ghi-chu: $out"
printf 'ok: nelt-cli search finds the sample applications\n'

status=0
nelt-cli install hello-nelt >"$T/install-signed-out.log" 2>&1 || status=$?
[ "$status" = 3 ] || fail "install without an account ends with $status, not 3"
printf 'demo123\n' | nelt-cli login demo >/dev/null || fail "nelt-cli login demo failed"
nelt-cli install hello-nelt --version 1.2.0 >"$T/install.log" 2>&1 || fail "install failed: $(cat "$T/install.log")"
grep -q '"slug" *: *"hello-nelt"' "$NELT_ROOT/snap/hello-nelt/kavix.json" || fail "no kavix.json for hello-nelt"
out=$(nelt-cli list)
grep -Eq '^hello-nelt +1\.2\.0 +1\.3\.0' <<<"$out" || fail "the installed list does not show hello-nelt 1.2.0 with update 1.3.0: $out"
nelt-cli update hello-nelt >"$T/update.log" 2>&1 || fail "update failed: $(cat "$T/update.log")"
grep -Eq '^hello-nelt +1\.3\.0 ' <<<"$(nelt-cli list)" || fail "hello-nelt is not at 1.3.0 after the update"
nelt-cli launch hello-nelt >/dev/null || fail "launch failed"
printf 'ok: install, update and launch from the extracted tree\n'

# Completion asks the running service for slugs.
if [ -f /usr/share/bash-completion/bash_completion ]; then
  complete_words() {
    bash -c '
      . /usr/share/bash-completion/bash_completion
      . "$1"; shift
      COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
      _nelt_cli nelt-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
      echo "${COMPREPLY[*]}"' _ "$PKG/usr/share/bash-completion/completions/nelt-cli" "$@"
  }
  [ "$(complete_words nelt-cli remove '')" = hello-nelt ] || fail "remove completes to: $(complete_words nelt-cli remove '')"
  [ "$(complete_words nelt-cli install ma)" = may-tinh ] || fail "install ma completes to: $(complete_words nelt-cli install ma)"
  printf 'ok: completion offers installed and catalog slugs\n'
fi

# The window started from an unrelated folder finds its images in the
# installed data folder: the probe builds the real main window, renders it
# offscreen and looks for the logo. Placed in the extracted bin folder it
# looks up images exactly as the installed NeltStore does; placed in a bin
# folder without a data folder beside it, it must not find the logo.
if [ -x "$BUILD_BIN/nelt-window-logo-probe" ]; then
  mkdir -p "$T/elsewhere" "$T/bare/bin"
  cp "$BUILD_BIN/nelt-window-logo-probe" "$PKG/usr/bin/"
  cp "$BUILD_BIN/nelt-window-logo-probe" "$T/bare/bin/"
  logo=$SOURCE/store/icon/logo.png
  out=$(cd "$T/elsewhere" && env -u NELT_ICON_DIR QT_QPA_PLATFORM=offscreen \
    "$PKG/usr/bin/nelt-window-logo-probe" "$logo" "$T/window.png" 2>"$T/probe.log") ||
    fail "the window started from $T/elsewhere does not show the logo: $out"
  grep -qx "image folder: $PKG/usr/share/neltstore/icon" <<<"$out" || fail "the window took its images elsewhere: $out"
  status=0
  (cd "$T/elsewhere" && env -u NELT_ICON_DIR QT_QPA_PLATFORM=offscreen \
    "$T/bare/bin/nelt-window-logo-probe" "$logo" >/dev/null 2>&1) || status=$?
  [ "$status" = 1 ] || fail "the probe claims a logo without any image folder (status $status)"
  printf 'ok: the window started from an unrelated folder shows the installed logo\n'
  rm -f "$PKG/usr/bin/nelt-window-logo-probe"
fi

nelt-cli remove hello-nelt >/dev/null || fail "remove failed"
[ ! -e "$NELT_ROOT/snap/hello-nelt" ] || fail "hello-nelt is still in /snap after the removal"
grep -q 'No applications from the store are installed' <<<"$(nelt-cli list)" || fail "the list is not empty after the removal"
printf 'ok: remove\n'

# The packaged window, started from an unrelated folder, becomes the store
# window; a second start hands its application over and ends by itself, and
# the first one opens that application. (The window signs the store account
# out when it starts, so this comes last.)
if [ -x "$PKG/usr/bin/NeltStore" ]; then
  mkdir -p "$T/elsewhere"
  (cd "$T/elsewhere" && exec env QT_QPA_PLATFORM=offscreen NeltStore >"$T/window.log" 2>&1) &
  window=$!
  pids+=("$window")
  wait_for_line "$T/service.log" ' 19 @FIRST' || fail "the packaged window did not register with the service"
  (cd "$T/elsewhere" && QT_QPA_PLATFORM=offscreen timeout 30 NeltStore may-tinh >"$T/window-second.log" 2>&1) ||
    fail "the second window start did not hand over and end: $(cat "$T/window-second.log")"
  wait_for_line "$T/window.log" '^APPmay-tinh$' || fail "the store window did not open the application of the second start"
  kill -0 "$window" 2>/dev/null || fail "the store window ended"
  printf 'ok: the packaged window starts from an unrelated folder and takes over a second start\n'
fi
