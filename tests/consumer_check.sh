#!/bin/sh
# Installs the built library into a scratch prefix and builds a consumer against it.
set -eu
build=$1
src=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cmake --install "$build" --prefix "$tmp/prefix" > /dev/null
cmake -S "$src/tests/consumer" -B "$tmp/build" -DCMAKE_PREFIX_PATH="$tmp/prefix" > /dev/null
cmake --build "$tmp/build" > /dev/null
LD_LIBRARY_PATH="$(dirname "$(find "$tmp/prefix" -name 'libsela.so.*' | head -n 1)")" "$tmp/build/consumer"
echo "consumer built and ran against the installed package"
