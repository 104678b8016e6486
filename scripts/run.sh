#!/usr/bin/env bash
# Runs the whole store on this machine against the project's sample store:
# builds what is needed, starts the local store server with the sample
# catalog and its packages, KavixService under a private NELT_ROOT with the
# platform stand-ins (snap, pkexec, systemctl) first on PATH, and the store
# window NeltStore.
#
# With a display ($DISPLAY) the window opens there. Without one (a server,
# CI), or with --tour, the window runs on a private Xvfb display and is driven
# through a short tour (home, a section, an application, sign-in, install,
# the installed page, settings); a screenshot of each step lands in a folder
# whose path is printed.
#
#   scripts/run.sh [--tour] [--duration SECONDS] [--shots DIR] [--build DIR] [--no-build]
#                  [--screen WIDTHxHEIGHT]
#
# --duration: stop that many seconds after the window is up (after the tour
# under Xvfb); 0 stops right after the tour. Otherwise it runs until Ctrl-C
# (or, with a display, until the window is closed). Everything started here
# is stopped and the private root is removed (set NELT_KEEP_ROOT=1 to keep it).
# --screen: size of the private Xvfb screen (default 1000x800, the window's
# own size; 1366x768 or 1280x720 try a laptop screen).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
export JOBS="${JOBS:-$(nproc)}"

BUILD="$ROOT/build"
DO_BUILD=1
TOUR=0
DURATION=""
SHOTS=""
SCREEN="${NELT_XVFB_SCREEN:-1000x800}"
while [ "$#" -gt 0 ]; do
  case "$1" in
    --tour) TOUR=1; shift ;;
    --no-build) DO_BUILD=0; shift ;;
    --build) BUILD="$(realpath -m -- "$2")"; shift 2 ;;
    --duration) DURATION="$2"; shift 2 ;;
    --shots) SHOTS="$(realpath -m -- "$2")"; shift 2 ;;
    --screen) SCREEN="$2"; shift 2 ;;
    *) echo "usage: scripts/run.sh [--tour] [--duration SECONDS] [--shots DIR] [--build DIR] [--no-build] [--screen WxH]" >&2; exit 2 ;;
  esac
done
if [ -n "$DURATION" ] && ! [[ "$DURATION" =~ ^[0-9]+$ ]]; then
  echo "run.sh: --duration takes a number of seconds" >&2
  exit 2
fi
if ! [[ "$SCREEN" =~ ^[0-9]{3,5}x[0-9]{3,5}$ ]]; then
  echo "run.sh: --screen takes WIDTHxHEIGHT, for example 1366x768" >&2
  exit 2
fi
if [ -z "${DISPLAY:-}" ]; then TOUR=1; fi

bash scripts/setup.sh
if [ "$DO_BUILD" = 1 ]; then bash scripts/build.sh "$BUILD" >/dev/null; fi
BIN="$BUILD/bin"

export NELT_ROOT="${NELT_ROOT:-$(mktemp -d /tmp/nelt-root-XXXXXX)}"
export PATH="$ROOT/tools/standins:$BIN:$PATH"
export NELT_BIN_DIR="$BIN"
mkdir -p "$NELT_ROOT/etc/nelt" "$NELT_ROOT/usr/bin/nelt/data" "$NELT_ROOT/snap" "$NELT_ROOT/var/snap"

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  if [ "${NELT_KEEP_ROOT:-0}" != 1 ]; then rm -rf "$NELT_ROOT"; fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The local store server with the sample catalog.
PORT_FILE="$NELT_ROOT/store-server.port"
"$BIN/nelt-store-server" --catalog "$ROOT/catalog/sample" --packages "$BUILD/sample-packages" \
  --port "${NELT_STORE_PORT:-0}" --port-file "$PORT_FILE" >"$NELT_ROOT/store-server.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$PORT_FILE" ] && break; sleep 0.1; done
STORE_PORT="$(cat "$PORT_FILE")"
STORE_URL="http://127.0.0.1:$STORE_PORT"
export NELT_IP_LOOKUP_URL="$STORE_URL/ip"

cat >"$NELT_ROOT/etc/nelt/nelt_store.conf" <<CONF
{
  "host": "$STORE_URL",
  "local_port": ${NELT_SERVICE_PORT:-8666},
  "local_port_a": [8667, 8668, 8669, 0],
  "kavix_path": "$NELT_ROOT/usr/bin/nelt/",
  "data_kavix_path": "$NELT_ROOT/usr/bin/nelt/data",
  "ip_lookup_url": "$STORE_URL/ip"
}
CONF

"$BIN/KavixService" >"$NELT_ROOT/service.log" 2>&1 &
pids+=($!)
PORT_CONF="$NELT_ROOT/usr/bin/nelt/.port.conf"
for _ in $(seq 100); do [ -s "$PORT_CONF" ] && break; sleep 0.1; done

cat <<MSG
The store is running against the sample store.
  store server : $STORE_URL            (log: $NELT_ROOT/store-server.log)
  KavixService : $(cat "$PORT_CONF" 2>/dev/null) on 127.0.0.1   (log: $NELT_ROOT/service.log)
  NELT_ROOT    : $NELT_ROOT
Sample account: demo / demo123. In another terminal:
  export NELT_ROOT=$NELT_ROOT NELT_IP_LOOKUP_URL=$STORE_URL/ip PATH=$ROOT/tools/standins:$BIN:\$PATH
  nelt search ghi; nelt login demo; nelt install hello-nelt; nelt launch hello-nelt
Press Ctrl-C to stop.
MSG
if [ "$TOUR" = 0 ]; then
  # The window on this display; closing it (or Ctrl-C) ends the run.
  if [ -n "$DURATION" ]; then
    timeout --signal=TERM "$DURATION" "$BIN/NeltStore" || true
  else
    "$BIN/NeltStore" || true
  fi
  exit 0
fi

# No display: a private X server, and the window driven through the tour.
command -v Xvfb >/dev/null || { echo "run.sh: Xvfb is missing (apt-get install xvfb)" >&2; exit 1; }
DISPLAY_FILE="$NELT_ROOT/xvfb.display"
Xvfb -displayfd 3 -screen 0 "${SCREEN}x24" -nolisten tcp 3>"$DISPLAY_FILE" >"$NELT_ROOT/xvfb.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do [ -s "$DISPLAY_FILE" ] && break; sleep 0.1; done
[ -s "$DISPLAY_FILE" ] || { echo "run.sh: Xvfb did not start (log: $NELT_ROOT/xvfb.log)" >&2; exit 1; }
export DISPLAY=":$(tr -d '[:space:]' <"$DISPLAY_FILE")"
SHOTS="${SHOTS:-$(mktemp -d /tmp/neltstore-shots-XXXXXX)}"
echo "Xvfb display $DISPLAY; the window tours the store, screenshots in $SHOTS"
tour_args=(--shots "$SHOTS")
if [ -n "$DURATION" ]; then tour_args+=(--duration "$DURATION"); fi
status=0
"$BIN/nelt-store-tour" "${tour_args[@]}" || status=$?
echo "Screenshots: $SHOTS"
exit "$status"
