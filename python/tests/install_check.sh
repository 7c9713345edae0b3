#!/bin/sh
# Installs the build into a scratch prefix and imports the installed package from there:
# the extension must find the installed library through its relative RUNPATH alone.
set -eu
build=$1
python=$2
package_dir=$3
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" > /dev/null
cd "$tmp"
env -u LD_LIBRARY_PATH PYTHONPATH="$tmp/prefix/$package_dir" "$python" -c '
import sys, sela
assert sela.__file__.startswith(sys.argv[1]), sela.__file__
assert sela.fsum([1e100, 1.0, -1e100]) == 1.0
print("installed package imports from", sela.__file__)
' "$tmp/prefix"
