#!/bin/sh
# Builds sela as a static library only, installs it, and links a C program to it the two
# ways a C project would: find_package from a project that enables only C (so the C
# compiler links), and the flags of plain `pkg-config --libs` (no --static). Neither may
# need a C++ linker or flags of its own.
set -eu
src=$1
cc=${2:-cc}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
run() {  # run <log> <command>...: quiet unless it fails
  log=$1; shift
  "$@" > "$tmp/$log" 2>&1 || { tail -40 "$tmp/$log"; echo "failed: $*"; exit 1; }
}
run configure.log env -u CI cmake -S "$src" -B "$tmp/sela" -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DSELA_BUILD_TESTS=OFF -DSELA_BUILD_BENCHMARKS=OFF -DSELA_BUILD_TOOLS=OFF -DSELA_BUILD_PYTHON=OFF \
  -DSELA_BUILD_EXAMPLES=OFF
run build.log cmake --build "$tmp/sela" -j 2
run install.log cmake --install "$tmp/sela" --prefix "$tmp/prefix"
if find "$tmp/prefix" -name 'libsela.so*' | grep -q .; then echo "a shared libsela was installed"; exit 1; fi
run consumer.log cmake -S "$src/tests/consumer" -B "$tmp/consumer" -DCMAKE_PREFIX_PATH="$tmp/prefix"
run consumer-build.log cmake --build "$tmp/consumer"
"$tmp/consumer/consumer"
PKG_CONFIG_PATH=$(dirname "$(find "$tmp/prefix" -name sela.pc)")
export PKG_CONFIG_PATH
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
echo "pkg-config --libs sela: $(pkg-config --libs sela)"
# shellcheck disable=SC2046
"$cc" -std=c11 -o "$tmp/pc_consumer" "$src/tests/consumer/main.c" $(pkg-config --cflags sela) $(pkg-config --libs sela)
"$tmp/pc_consumer"
echo "static-only install: C programs linked through find_package and plain pkg-config --libs ran"
