#!/usr/bin/env bash
# Runs the package engine benchmark: builds what it needs in BUILD (default
# ./build) and prints the figures. Extra arguments go to nelt-bench
# (--size-mb N, --runs N, --dir FOLDER).
set -euo pipefail
here="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")" && pwd)"
build="${1:-$here/../build}"
shift || true
cmake --build "$build" --target nelt-bench nelt-store-server -j2 >/dev/null
exec "$build/bin/nelt-bench" --bin-dir "$build/bin" "$@"
