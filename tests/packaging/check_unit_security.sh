#!/usr/bin/env bash
# Rates the service unit's sandbox with `systemd-analyze security --offline`
# and fails above the allowed exposure. Skips (77) where the tool, or its
# offline mode (systemd 252 and later), is missing.
#   check_unit_security.sh UNIT_FILE [MAX_EXPOSURE]
set -euo pipefail
unit=$1
max=${2:-3.0}
if ! command -v systemd-analyze >/dev/null; then
  printf 'systemd-analyze is not installed: the unit is not rated\n'
  exit 77
fi
T=$(mktemp -d "${TMPDIR:-/tmp}/nelt-unit.XXXXXX")
trap 'rm -rf -- "$T"' EXIT
cp -- "$unit" "$T/nelt.service"
if ! out=$(systemd-analyze security --offline=yes --no-pager "$T/nelt.service" 2>&1); then
  if grep -qi 'unrecognized option\|unknown option' <<<"$out"; then
    printf 'systemd-analyze has no offline mode: the unit is not rated\n'
    exit 77
  fi
  printf '%s\n' "$out"
  printf 'FAIL: systemd-analyze security could not rate the unit\n'
  exit 1
fi
level=$(sed -n 's/.*Overall exposure level for nelt.service: \([0-9.]*\).*/\1/p' <<<"$out")
if [ -z "$level" ]; then
  printf '%s\n' "$out"
  printf 'FAIL: no exposure level in the output\n'
  exit 1
fi
if ! awk -v l="$level" -v m="$max" 'BEGIN { exit !(l <= m) }'; then
  printf '%s\n' "$out" | grep -v '✓' || true
  printf 'FAIL: the unit rates %s, more than %s\n' "$level" "$max"
  exit 1
fi
printf 'ok: the unit rates %s (at most %s)\n' "$level" "$max"
