#!/usr/bin/env bash
# Builds the installable packages of the sample catalog:
#
#   tools/make_sample_packages.sh OUT_DIR
#
# Every folder catalog/sample/snaps/SLUG/VERSION/ holds a snap source tree
# (meta/snap.yaml, bin/...) and the application's kavix.json. Each tree is
# made into a squashfs snap and packed with kavix-pack, protected with the
# slug's key from catalog/sample/keys.json, as OUT_DIR/SLUG/VERSION.kavix.
#
# kavix-pack is $KAVIX_PACK, else $NELT_BIN_DIR/kavix-pack, else the one on PATH.
# NELT_SAMPLE_SNAPS and NELT_SAMPLE_KEYS replace the source folder and keys file.
set -euo pipefail

ROOT="$(cd -- "$(dirname -- "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "$#" -ne 1 ]; then
  printf 'Usage: %s OUT_DIR\n' "$0" >&2
  exit 2
fi
OUT="$1"
SNAPS="${NELT_SAMPLE_SNAPS:-$ROOT/catalog/sample/snaps}"
KEYS="${NELT_SAMPLE_KEYS:-$ROOT/catalog/sample/keys.json}"

PACK="${KAVIX_PACK:-}"
if [ -z "$PACK" ] && [ -n "${NELT_BIN_DIR:-}" ] && [ -x "$NELT_BIN_DIR/kavix-pack" ]; then
  PACK="$NELT_BIN_DIR/kavix-pack"
fi
if [ -z "$PACK" ]; then
  PACK="$(command -v kavix-pack)" || { echo "make_sample_packages: kavix-pack not found" >&2; exit 1; }
fi
command -v mksquashfs >/dev/null || { echo "make_sample_packages: mksquashfs not found (squashfs-tools)" >&2; exit 1; }
[ -f "$KEYS" ] || { echo "make_sample_packages: no keys file $KEYS" >&2; exit 1; }

# Same sources, same snap images: mksquashfs takes its time stamps from
# SOURCE_DATE_EPOCH, and the files are root-owned.
export SOURCE_DATE_EPOCH="${SOURCE_DATE_EPOCH:-1704067200}"

WORK="$(mktemp -d "${TMPDIR:-/tmp}/nelt-sample-packages.XXXXXX")"
trap 'rm -rf -- "$WORK"' EXIT

# The top-level "name:" of a snap.yaml.
snap_yaml_name() {
  local line
  while IFS= read -r line || [ -n "$line" ]; do
    if [[ "$line" =~ ^name:[[:space:]]*[\"\']?([a-z0-9-]+)[\"\']?[[:space:]]*$ ]]; then
      printf '%s' "${BASH_REMATCH[1]}"
      return 0
    fi
  done <"$1"
  return 1
}

built=()
for dir in "$SNAPS"/*/*/; do
  dir="${dir%/}"
  version="${dir##*/}"
  slug="${dir%/*}"
  slug="${slug##*/}"
  [ -f "$dir/meta/snap.yaml" ] && [ -f "$dir/kavix.json" ] || continue
  # Both end up in file names and in the info document: keep them plain.
  if ! [[ "$slug" =~ ^[A-Za-z0-9_-][A-Za-z0-9._-]*$ && "$version" =~ ^[A-Za-z0-9][A-Za-z0-9.+~-]*$ ]]; then
    printf 'make_sample_packages: skipping %s (unusual slug or version)\n' "$dir" >&2
    continue
  fi
  name="$(snap_yaml_name "$dir/meta/snap.yaml")" || {
    printf 'make_sample_packages: %s/meta/snap.yaml has no usable name\n' "$dir" >&2
    exit 1
  }
  snap_file="${name}_${version}_all.snap"
  mksquashfs "$dir" "$WORK/$snap_file" -noappend -all-root -no-xattrs -comp xz -quiet -no-progress \
    -e kavix.json >/dev/null
  mkdir -p -- "$OUT/$slug"
  "$PACK" --snap "$WORK/$snap_file" --kavix-json "$dir/kavix.json" --slug "$slug" \
    --info "{\"name\":\"$name\",\"snap\":\"$snap_file\"}" \
    --password-from-keys "$KEYS" -o "$OUT/$slug/$version.kavix"
  built+=("$OUT/$slug/$version.kavix")
done

# Packages whose sources are gone do not linger in the store.
for old in "$OUT"/*/*.kavix; do
  [ -e "$old" ] || continue
  keep=0
  for b in "${built[@]}"; do
    if [ "$b" = "$old" ]; then keep=1; fi
  done
  if [ "$keep" = 0 ]; then rm -f -- "$old"; fi
done
