#!/bin/sh
# Installs the built library into a scratch prefix (not the configured one) and builds a C
# program with nothing but the flags pkg-config gives, then runs it.
set -eu
build=$1
src=$2
cc=${3:-cc}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix="$tmp/elsewhere/prefix"
cmake --install "$build" --prefix "$prefix" > /dev/null
pcdir=$(dirname "$(find "$prefix" -name sela.pc)")
export PKG_CONFIG_PATH="$pcdir"
unset PKG_CONFIG_LIBDIR PKG_CONFIG_SYSROOT_DIR
flags=$(pkg-config --cflags --libs sela)
echo "pkg-config --cflags --libs sela: $flags"
# Every directory named by the flags exists and holds what it should.
for f in $flags; do
  case "$f" in
    -I*) test -f "${f#-I}/sela.h" || { echo "no sela.h in ${f#-I}"; exit 1; } ;;
    -L*) ls "${f#-L}"/libsela.* > /dev/null 2>&1 || { echo "no libsela in ${f#-L}"; exit 1; } ;;
  esac
done
[ "$(pkg-config --modversion sela)" = "$(grep -E '^#define SELA_VERSION_(MAJOR|MINOR|PATCH) ' "$src/include/sela.h" | awk '{print $3}' | paste -sd.)" ] \
  || { echo "pkg-config version differs from the header's"; exit 1; }
# shellcheck disable=SC2086
"$cc" -std=c11 -o "$tmp/consumer" "$src/tests/consumer/main.c" $(pkg-config --cflags sela) $(pkg-config --libs sela)
LD_LIBRARY_PATH="$(pkg-config --variable=libdir sela)" "$tmp/consumer"
echo "C program built with pkg-config flags only ran against the installed library"
