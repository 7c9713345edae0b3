#!/bin/sh
# Builds a consumer that takes sela in through FetchContent (static by default there, with
# no examples), runs it built and installed, and checks that the archive's internal
# symbols stay hidden.
set -eu
src=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
env -u CI cmake -S "$src/tests/subproject_consumer" -B "$tmp/build" -DSELA_SOURCE_DIR="$src" \
  -DCMAKE_BUILD_TYPE=Release > "$tmp/configure.log" 2>&1 || { cat "$tmp/configure.log"; exit 1; }
cmake --build "$tmp/build" -j 2 > "$tmp/build.log" 2>&1 || { tail -50 "$tmp/build.log"; exit 1; }
archive=$(find "$tmp/build" -name libsela.a)
[ -n "$archive" ] || { echo "no libsela.a built"; exit 1; }
if find "$tmp/build" -name 'libsela.so*' | grep -q .; then echo "a shared libsela was built too"; exit 1; fi
"$tmp/build/consumer"
if ldd "$tmp/build/consumer" | grep -q libsela; then echo "consumer needs a shared libsela"; exit 1; fi
# The consumer's install holds its program, which runs from there; sela adds nothing.
cmake --install "$tmp/build" --prefix "$tmp/prefix" > "$tmp/install.log" 2>&1 || { cat "$tmp/install.log"; exit 1; }
env -u LD_LIBRARY_PATH "$tmp/prefix/bin/consumer"
if find "$tmp/prefix" -name '*sela*' | grep -q .; then echo "the consumer's install holds sela files:"; find "$tmp/prefix" -name '*sela*'; exit 1; fi
"$src/tests/check_exports.sh" "$tmp/build/libsela_whole.so" "$src/include/sela.h"
echo "static sela through FetchContent: consumer ran, $(basename "$archive") keeps its internals hidden"
