#!/usr/bin/env bash
# Configures and builds one build tree: scripts/build.sh DIR [cmake options...]
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DIR="$1"; shift
JOBS="${JOBS:-$(nproc)}"
cmake -S "$ROOT" -B "$DIR" -DCMAKE_BUILD_TYPE="${BUILD_TYPE:-RelWithDebInfo}" "$@" >"$DIR.configure.log" 2>&1 \
  || { cat "$DIR.configure.log"; exit 1; }
cmake --build "$DIR" -j "$JOBS"
