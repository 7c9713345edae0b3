#!/bin/sh
# The README's two-line Fortran build against the installed files: the development
# component puts sela.f90 beside sela.h, the user's compiler builds it with no flags, and
# a program using the module links with -lsela and runs.
# Usage: fortran_consumer_check.sh BUILD_DIR FORTRAN_COMPILER INCLUDEDIR LIBDIR
set -eu
build=$1
fc=$2
includedir=$3
libdir=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --component development --prefix "$tmp/prefix" > /dev/null
[ -f "$tmp/prefix/$includedir/sela.f90" ] || { echo "the development component lacks $includedir/sela.f90"; exit 1; }
cmake --install "$build" --component runtime --prefix "$tmp/prefix" > /dev/null
cat > "$tmp/prog.f90" <<'PROGRAM'
program prog
  use sela
  implicit none
  double precision :: x(4) = [1d0, 1d100, 1d0, -1d100]
  if (sela_sum(x) /= 2d0 .or. sela_sum(x(1:4:2)) /= 2d0) error stop 'exact sums'
  print '(a, a)', 'sela ', sela_version_text()
end program prog
PROGRAM
cd "$tmp"
"$fc" -c "$tmp/prefix/$includedir/sela.f90"
"$fc" prog.f90 sela.o -L"$tmp/prefix/$libdir" -lsela -o prog
LD_LIBRARY_PATH="$tmp/prefix/$libdir" ./prog
echo "the installed Fortran module built with two commands and ran"
