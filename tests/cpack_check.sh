#!/bin/sh
# Makes the Debian packages and the archives from the build tree and lists their contents:
# the runtime package holds the shared object with its SONAME link and the license; the
# development package the header, the unversioned link, the CMake package and sela.pc.
set -eu
build=$1
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -G "DEB;TGZ" -B "$tmp/out" > "$tmp/cpack.log" 2>&1 \
  || { cat "$tmp/cpack.log"; exit 1; }
status=0
expect() {  # expect <listing> <what> <pattern>...
  listing=$1; what=$2; shift 2
  for pattern in "$@"; do
    grep -Eq -- "$pattern" "$listing" || { echo "$what lacks $pattern"; status=1; }
  done
}
refuse() {
  listing=$1; what=$2; shift 2
  for pattern in "$@"; do
    if grep -Eq -- "$pattern" "$listing"; then echo "$what must not hold $pattern"; status=1; fi
  done
}
runtime_has='lib/libsela\.so\.[0-9]+\.[0-9]+\.[0-9]+$ lib/libsela\.so\.[0-9]+ -> libsela\.so\.[0-9]+\.[0-9]+\.[0-9]+$ share/doc/sela/LICENSE$'
dev_has='include/sela\.h$ lib/libsela\.so -> libsela\.so\.[0-9]+$ lib/cmake/sela/selaConfig\.cmake$ lib/cmake/sela/selaConfigVersion\.cmake$ lib/pkgconfig/sela\.pc$'
for deb in "$tmp"/out/*.deb; do
  echo "== $(basename "$deb")"
  dpkg-deb -f "$deb" Package Version Depends Section
  dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | tee "$deb.list"
done
for tgz in "$tmp"/out/*.tar.gz; do
  echo "== $(basename "$tgz")"
  tar tvzf "$tgz" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | tee "$tgz.list"
done
rt_deb=$(ls "$tmp"/out/libsela1_*.deb)
dev_deb=$(ls "$tmp"/out/libsela-dev_*.deb)
rt_tgz=$(ls "$tmp"/out/*-runtime.tar.gz)
dev_tgz=$(ls "$tmp"/out/*-development.tar.gz)
set -f
# shellcheck disable=SC2086
{
  expect "$rt_deb.list" "runtime .deb" $runtime_has
  refuse "$rt_deb.list" "runtime .deb" 'sela\.h$' 'libsela\.so ->'
  expect "$dev_deb.list" "development .deb" $dev_has
  refuse "$dev_deb.list" "development .deb" 'libsela\.so\.[0-9]+\.[0-9]+\.[0-9]+$'
  expect "$rt_tgz.list" "runtime archive" $runtime_has
  expect "$dev_tgz.list" "development archive" $dev_has
}
set +f
dpkg-deb -f "$dev_deb" Depends | grep -q 'libsela1 (= ' || { echo "development .deb does not depend on the runtime"; status=1; }
[ "$status" -eq 0 ] && echo "runtime and development packages hold what they should"
exit "$status"
