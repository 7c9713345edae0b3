#!/bin/sh
# Configures sela as a machine without a Fortran compiler would (FC names none): outside CI
# the Fortran tests are skipped with a message and reported as skipped; with CI=true the
# same configure fails.
set -eu
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
opts="-DSELA_BUILD_BENCHMARKS=OFF -DSELA_BUILD_PYTHON=OFF -DSELA_BUILD_TOOLS=OFF -DSELA_INSTALL=OFF"
# shellcheck disable=SC2086
if ! env -u CI FC=/nonexistent/f95 cmake -S "$src" -B "$tmp/user" $opts > "$tmp/user.log" 2>&1; then
  cat "$tmp/user.log"; echo "configure without Fortran failed outside CI"; exit 1
fi
grep -q "the Fortran tests skipped: no Fortran compiler found" "$tmp/user.log" \
  || { cat "$tmp/user.log"; echo "no message for the skipped Fortran tests"; exit 1; }
ctest --test-dir "$tmp/user" -N | grep -q ' fortran_module$' || { echo "no skipped fortran_module test listed"; exit 1; }
# shellcheck disable=SC2086
if env CI=true FC=/nonexistent/f95 cmake -S "$src" -B "$tmp/ci" $opts > "$tmp/ci.log" 2>&1; then
  cat "$tmp/ci.log"; echo "configure without Fortran passed with CI=true"; exit 1
fi
grep -q "the Fortran tests need a Fortran compiler" "$tmp/ci.log" \
  || { cat "$tmp/ci.log"; echo "CI configure failed for another reason"; exit 1; }
echo "no Fortran compiler: tests skipped with a message outside CI, a configure error in CI"
