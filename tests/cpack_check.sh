#!/bin/sh
# Makes the Debian packages and the archives from the build tree and lists their contents:
# the runtime package holds the shared object with its SONAME link and the license; the
# development package the header, the unversioned link, the CMake package and sela.pc;
# the tools package the command-line tool. Libraries go to the multiarch directory on
# Debian; each archive unpacks into one top-level directory.
set -eu
build=$1
libdir=$2  # CMAKE_INSTALL_LIBDIR of the build
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
if command -v dpkg-architecture > /dev/null && [ -f /etc/debian_version ]; then
  multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
  [ "$libdir" = "lib/$multiarch" ] || { echo "libraries go to $libdir, not Debian's lib/$multiarch"; status=1; }
fi
lib=$(printf '%s' "$libdir" | sed 's/[.]/\\./g')
runtime_has="$lib/libsela\\.so\\.[0-9]+\\.[0-9]+\\.[0-9]+\$ $lib/libsela\\.so\\.[0-9]+ -> libsela\\.so\\.[0-9]+\\.[0-9]+\\.[0-9]+\$ share/doc/sela/LICENSE\$"
dev_has="include/sela\\.h\$ $lib/libsela\\.so -> libsela\\.so\\.[0-9]+\$ $lib/cmake/sela/selaConfig\\.cmake\$ $lib/cmake/sela/selaConfigVersion\\.cmake\$ $lib/pkgconfig/sela\\.pc\$"
tools_has='bin/sela$'
for deb in "$tmp"/out/*.deb; do
  echo "== $(basename "$deb")"
  dpkg-deb -f "$deb" Package Version Depends Section
  dpkg-deb -c "$deb" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | tee "$deb.list"
done
for tgz in "$tmp"/out/*.tar.gz; do
  echo "== $(basename "$tgz")"
  tar tvzf "$tgz" | awk '{ $1 = $2 = $3 = $4 = $5 = ""; sub(/^ +/, ""); print }' | tee "$tgz.list"
  # One top-level directory, named after the package, holds everything.
  top=$(tar tzf "$tgz" | sed 's|/.*||' | sort -u)
  case "$top" in
    sela-*-Linux) ;;
    *) echo "$(basename "$tgz") does not unpack into one sela-VERSION-Linux directory: $top"; status=1 ;;
  esac
done
rt_deb=$(ls "$tmp"/out/libsela1_*.deb)
dev_deb=$(ls "$tmp"/out/libsela-dev_*.deb)
tools_deb=$(ls "$tmp"/out/sela-tools_*.deb)
rt_tgz=$(ls "$tmp"/out/*-runtime.tar.gz)
dev_tgz=$(ls "$tmp"/out/*-development.tar.gz)
tools_tgz=$(ls "$tmp"/out/*-tools.tar.gz)
set -f
# shellcheck disable=SC2086
{
  expect "$rt_deb.list" "runtime .deb" $runtime_has
  refuse "$rt_deb.list" "runtime .deb" 'sela\.h$' 'libsela\.so ->' 'bin/sela$' '^\./sela-'
  expect "$dev_deb.list" "development .deb" $dev_has
  refuse "$dev_deb.list" "development .deb" 'libsela\.so\.[0-9]+\.[0-9]+\.[0-9]+$' 'bin/sela$'
  expect "$tools_deb.list" "tools .deb" $tools_has
  refuse "$tools_deb.list" "tools .deb" 'libsela\.so' 'sela\.h$'
  expect "$rt_tgz.list" "runtime archive" $runtime_has
  refuse "$rt_tgz.list" "runtime archive" 'bin/sela$'
  expect "$dev_tgz.list" "development archive" $dev_has
  expect "$tools_tgz.list" "tools archive" $tools_has
}
set +f
dpkg-deb -f "$dev_deb" Depends | grep -q 'libsela1 (= ' || { echo "development .deb does not depend on the runtime"; status=1; }
dpkg-deb -f "$tools_deb" Depends | grep -q 'libsela1 (= ' || { echo "tools .deb does not depend on the runtime"; status=1; }
[ "$status" -eq 0 ] && echo "runtime, development and tools packages hold what they should"
exit "$status"
