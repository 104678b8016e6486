#!/usr/bin/env bash
# Runs the store on this machine against the project's sample store:
# builds what is needed, starts the local store server with the sample
# catalog and its packages, and KavixService under a private NELT_ROOT with
# the platform stand-ins (snap, pkexec, systemctl) first on PATH.
# Stop with Ctrl-C; everything started here is stopped and the private root
# is removed (set NELT_KEEP_ROOT=1 to keep it).
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
cd "$ROOT"
export JOBS="${JOBS:-$(nproc)}"

bash scripts/setup.sh
bash scripts/build.sh "$ROOT/build" >/dev/null
BIN="$ROOT/build/bin"

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
"$BIN/nelt-store-server" --catalog "$ROOT/catalog/sample" --packages "$ROOT/build/sample-packages" \
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
NeltStore is running against the sample store.
  store server : $STORE_URL            (log: $NELT_ROOT/store-server.log)
  KavixService : $(cat "$PORT_CONF" 2>/dev/null) on 127.0.0.1   (log: $NELT_ROOT/service.log)
  NELT_ROOT    : $NELT_ROOT
Sample account: demo / demo123. In another terminal:
  export NELT_ROOT=$NELT_ROOT NELT_IP_LOOKUP_URL=$STORE_URL/ip PATH=$ROOT/tools/standins:$BIN:\$PATH
  nelt search ghi; nelt login demo; nelt install hello-nelt; nelt launch hello-nelt
Press Ctrl-C to stop.
MSG
if [ -x "$BIN/NeltStore" ] && [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  (cd "$BIN" && ./NeltStore) || true
else
  wait "${pids[1]}"
fi
