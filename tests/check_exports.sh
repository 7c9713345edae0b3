#!/bin/sh
# Compares the shared object's exported function symbols with the header's declarations:
# a hidden symbol leaking out, or a declared function missing, fails.
set -eu
lib=$1
header=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
nm -D --defined-only "$lib" | awk '$2 == "T" || $2 == "W" || $2 == "D" || $2 == "B" || $2 == "R" || $2 == "i" {print $3}' \
  | sort -u > "$tmp/exported"
grep -E '^SELA_API' "$header" | sed -E 's/.*[ *]([A-Za-z_][A-Za-z0-9_]*)\(.*/\1/' | sort -u > "$tmp/declared"
if ! cmp -s "$tmp/exported" "$tmp/declared"; then
  echo "exported symbols differ from the header (< exported only, > declared only):"
  diff "$tmp/exported" "$tmp/declared" || true
  exit 1
fi
echo "$(wc -l < "$tmp/declared") exported symbols match the header"
