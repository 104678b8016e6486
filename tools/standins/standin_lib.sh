# Shared by the platform stand-ins (snap, pkexec, systemctl, lsb_release).
# Sourced, never run: it is deliberately not executable, so it never shadows a
# real command on PATH.
#
# Every stand-in acts below NELT_ROOT only. An unset root, or one that resolves
# to "/", would make them act on the real system, so they refuse to run.

# standin_require_root NAME: sets NELT_ROOT_DIR to the resolved root or exits.
standin_require_root() {
  local tool="$1"
  if [ -z "${NELT_ROOT:-}" ]; then
    printf '%s (stand-in): NELT_ROOT is not set; refusing to act on the real system\n' "$tool" >&2
    exit 70
  fi
  if [ ! -d "$NELT_ROOT" ]; then
    printf '%s (stand-in): NELT_ROOT "%s" is not a folder\n' "$tool" "$NELT_ROOT" >&2
    exit 70
  fi
  NELT_ROOT_DIR="$(cd -- "$NELT_ROOT" && pwd -P)"
  if [ "$NELT_ROOT_DIR" = "/" ]; then
    printf '%s (stand-in): NELT_ROOT resolves to "/"; refusing to act on the real system\n' "$tool" >&2
    exit 70
  fi
}

# standin_log FILE ARGS...: appends the arguments as one line when FILE is set.
standin_log() {
  local file="$1"
  shift
  if [ -n "$file" ]; then
    printf '%s\n' "$*" >>"$file"
  fi
}
