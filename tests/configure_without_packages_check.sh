#!/bin/sh
# Configures sela as a new user's machine would see it, without GoogleTest, GMP and Google
# Benchmark: outside CI the tests and benchmarks are skipped with a message; with CI=true
# the same configure fails.
set -eu
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
hide="-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_GMP=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"
# shellcheck disable=SC2086
if ! env -u CI cmake -S "$src" -B "$tmp/user" $hide > "$tmp/user.log" 2>&1; then
  cat "$tmp/user.log"; echo "configure without test packages failed outside CI"; exit 1
fi
grep -q "the tests skipped: GTest, GMP not found" "$tmp/user.log" || { cat "$tmp/user.log"; echo "no message for the skipped tests"; exit 1; }
grep -q "the benchmarks skipped: benchmark not found" "$tmp/user.log" || { cat "$tmp/user.log"; echo "no message for the skipped benchmarks"; exit 1; }
# shellcheck disable=SC2086
if env CI=true cmake -S "$src" -B "$tmp/ci" $hide > "$tmp/ci.log" 2>&1; then
  cat "$tmp/ci.log"; echo "configure without test packages passed with CI=true"; exit 1
fi
grep -q "so this is an error" "$tmp/ci.log" || { cat "$tmp/ci.log"; echo "CI configure failed for another reason"; exit 1; }
echo "missing test packages: skipped with a message outside CI, a configure error in CI"
