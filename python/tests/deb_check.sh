#!/bin/sh
# Makes the runtime and python3-sela Debian packages, checks what python3-sela holds and
# depends on, unpacks both into a scratch root and imports the package from there with
# Debian's interpreter: the extension must find the unpacked library by its RUNPATH.
set -eu
build=$1
python=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out" -D "CPACK_COMPONENTS_ALL=runtime;python_deb" \
  > "$tmp/cpack.log" 2>&1 || { cat "$tmp/cpack.log"; exit 1; }
deb=$(ls "$tmp"/out/python3-sela_*.deb)
dpkg-deb -f "$deb" Package Version Depends Section
dpkg-deb -c "$deb" | awk '{ print $6 }' | tee "$tmp/list"
status=0
for want in '^\./usr/lib/python3/dist-packages/sela/__init__\.py$' \
            '^\./usr/lib/python3/dist-packages/sela/_sela\.cpython-[^/]*\.so$' \
            '^\./usr/lib/python3/dist-packages/sela/_sela\.pyi$' \
            '^\./usr/lib/python3/dist-packages/sela/py\.typed$'; do
  grep -Eq -- "$want" "$tmp/list" || { echo "python3-sela lacks $want"; status=1; }
done
if grep -Eq 'libsela\.so|/include/' "$tmp/list"; then echo "python3-sela must not hold the library or headers"; status=1; fi
dpkg-deb -f "$deb" Depends | grep -q 'libsela1 (= ' || { echo "python3-sela does not depend on the runtime"; status=1; }
dpkg-deb -f "$deb" Depends | grep -q 'python3 (>= ' || { echo "python3-sela does not depend on python3"; status=1; }
for d in "$tmp"/out/*.deb; do dpkg-deb -x "$d" "$tmp/root"; done
cd "$tmp"
env -u LD_LIBRARY_PATH PYTHONPATH="$tmp/root/usr/lib/python3/dist-packages" "$python" -c '
import sys, sela
root = sys.argv[1]
assert sela.__file__.startswith(root), sela.__file__
maps = open("/proc/self/maps").read()
assert root + "/usr/lib" in maps and "libsela.so" in maps, "libsela was not loaded from the unpacked package"
assert sela.sum([1e308, 1e308, -1e308]) == 1e308
print("python3-sela imports from", sela.__file__)
' "$tmp/root" || status=1
exit "$status"
