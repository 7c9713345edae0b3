#!/bin/sh
# The benchmarks' family switch (bench/family_switch.cpp) must store into every dispatch
# slot of the library: a slot it misses keeps the processor's widest copy, and the figures
# of "the AVX2 family" would silently mix families. Compares the slots defined in src/
# with those the switch stores.
set -eu
src=$1
switch=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
grep -rhoE 'constinit KernelSlot<[^{]*> *[A-Za-z_][A-Za-z0-9_]*' "$src" | sed -E 's/.*[> ]([A-Za-z_][A-Za-z0-9_]*)$/\1/' \
  | sort -u > "$tmp/defined"
grep -oE '^  storeFamily\(sela::[A-Za-z_][A-Za-z0-9_]*' "$switch" | sed 's/.*:://' | sort -u > "$tmp/stored"
if [ ! -s "$tmp/defined" ]; then
  echo "no dispatch slots found under $src"
  exit 1
fi
if ! cmp -s "$tmp/defined" "$tmp/stored"; then
  echo "dispatch slots differ from those the family switch stores (< defined only, > stored only):"
  diff "$tmp/defined" "$tmp/stored" || true
  exit 1
fi
echo "the family switch stores all $(wc -l < "$tmp/defined") dispatch slots"
