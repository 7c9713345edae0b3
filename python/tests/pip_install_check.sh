#!/bin/sh
# pip install --no-build-isolation of a copy of the source tree into a fresh venv of the
# given interpreter (with its system packages, where Debian's setuptools and wheel are),
# offline: the package imports from the venv with its private libsela found through the
# extension's RUNPATH, pip show reports the header's version, and pip uninstall removes
# every file it installed. Then cmake --install with the venv's interpreter and the venv
# as prefix: the package lands where that interpreter searches, beside the library.
set -eu
source_dir=$1
python=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if ! "$python" -c "import venv, ensurepip, setuptools, wheel" 2> /dev/null; then
  echo "skipped: $python lacks venv, ensurepip, setuptools or wheel (Debian: python3-venv python3-setuptools python3-wheel)"
  exit 77
fi
mkdir "$tmp/src"
(cd "$source_dir" && tar cf - --exclude=./build --exclude=./.git --exclude='*.egg-info' .) | (cd "$tmp/src" && tar xf -)
"$python" -m venv --system-site-packages "$tmp/venv"
pip="$tmp/venv/bin/pip"
"$pip" install --no-build-isolation --no-index --no-deps "$tmp/src" > "$tmp/pip.log" 2>&1 || { cat "$tmp/pip.log"; exit 1; }

want=$(sed -n 's/^#define SELA_VERSION_\(MAJOR\|MINOR\|PATCH\) *\([0-9]*\)$/\2/p' "$source_dir/include/sela.h" | paste -sd.)
"$pip" show sela | grep -qx "Version: $want" || { echo "pip show sela does not report $want"; "$pip" show sela; exit 1; }
site=$("$tmp/venv/bin/python" -c "import sysconfig; print(sysconfig.get_path('platlib'))")
readelf -d "$site"/sela/_sela*.so | grep -q 'RUNPATH.*\[\$ORIGIN\]' || { echo "the extension's RUNPATH is not \$ORIGIN"; exit 1; }
test -f "$site/sela/libsela.so.${want%%.*}" || { echo "no private libsela in $site/sela"; exit 1; }
cd "$tmp"
env -u LD_LIBRARY_PATH -u PYTHONPATH "$tmp/venv/bin/python" -c '
import sys, sela
assert sela.__file__.startswith(sys.argv[1]), sela.__file__
assert sela.__version__ == sys.argv[2], sela.__version__
maps = open("/proc/self/maps").read()
assert sys.argv[1] + "/sela/libsela.so" in maps, "libsela was not loaded from the package"
assert sela.fsum([1e100, 1.0, -1e100]) == 1.0 and sela.mean([1e308] * 3) == 1e308
print("pip-installed package", sela.__version__, "imports from", sela.__file__)
' "$site" "$want"

"$pip" uninstall -y sela > /dev/null
left=$(find "$site" -iname '*sela*' | head -5)
if [ -n "$left" ]; then
  echo "pip uninstall left: $left"
  exit 1
fi
echo "pip uninstall removed every file"

cmake -S "$tmp/src" -B "$tmp/cmake" -DCMAKE_BUILD_TYPE=Release -DPython3_EXECUTABLE="$tmp/venv/bin/python" \
  -DCMAKE_INSTALL_PREFIX="$tmp/venv" -DSELA_BUILD_TESTS=OFF -DSELA_BUILD_BENCHMARKS=OFF -DSELA_BUILD_TOOLS=OFF \
  > "$tmp/cmake.log" 2>&1 || { cat "$tmp/cmake.log"; exit 1; }
cmake --build "$tmp/cmake" --target sela_python -j2 > "$tmp/build.log" 2>&1 || { cat "$tmp/build.log"; exit 1; }
cmake --install "$tmp/cmake" --component runtime > /dev/null
cmake --install "$tmp/cmake" --component python > /dev/null
env -u LD_LIBRARY_PATH -u PYTHONPATH "$tmp/venv/bin/python" -c '
import sys, sela
assert sela.__file__.startswith(sys.argv[1]), sela.__file__
libs = [l.split()[-1] for l in open("/proc/self/maps") if "libsela.so" in l]
assert libs and all(l.startswith(sys.argv[2] + "/lib") for l in libs), libs
assert sela.sum([1e308, 1e308, -1e308]) == 1e308
print("cmake --install put the package where", sys.executable, "finds it:", sela.__file__)
' "$site" "$tmp/venv"
