#!/usr/bin/env bash
# Runs the package engine benchmark: builds what it needs in BUILD (default
# ./build) and prints the figures. Extra arguments go to nelt-bench
# (--size-mb N, --runs N, --dir FOLDER); then the store window benchmark.
set -euo pipefail
here="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
shift || true
cmake --build "$build" --target nelt-bench nelt-store-server KavixService nelt -j2 >/dev/null
"$build/bin/nelt-bench" --bin-dir "$build/bin" "$@"

# The service: start-up, installed lists and open-window checks under load.
if cmake --build "$build" --target nelt-service-bench -j2 >/dev/null 2>&1; then
  echo
  PATH="$here/../tools/standins:$build/bin:$PATH" NELT_SOURCE_DIR="$here/.." NELT_BIN_DIR="$build/bin" \
    "$build/bin/nelt-service-bench"
fi

# The caller look-up of the service and its clients.
if cmake --build "$build" --target nelt-peer-uid-bench -j2 >/dev/null 2>&1; then
  echo
  "$build/bin/nelt-peer-uid-bench"
fi

# The store window (needs the GUI build): cold start, memory, and processor
# time over NELT_BENCH_IDLE seconds idle (default 60).
if cmake --build "$build" --target nelt-window-bench -j2 >/dev/null 2>&1; then
  echo
  PATH="$here/../tools/standins:$PATH" NELT_IP_LOOKUP_URL="" \
    "$build/bin/nelt-window-bench" --bin-dir "$build/bin" --idle "${NELT_BENCH_IDLE:-60}"
fi

# The update notifier between checks (runs itself under dbus-run-session).
if cmake --build "$build" --target nelt-notify-bench -j2 >/dev/null 2>&1; then
  echo
  PATH="$here/../tools/standins:$build/bin:$PATH" NELT_SOURCE_DIR="$here/.." \
    "$build/bin/nelt-notify-bench" --bin-dir "$build/bin"
fi
