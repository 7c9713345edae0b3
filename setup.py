"""Builds the Python package with CMake; the metadata lives in pyproject.toml.

The extension sela._sela and the library it needs are built by the project's own CMake
rules (python/CMakeLists.txt) and installed, as the component "python", into the package
directory of the wheel: the library as libsela.so.<major>, which the extension finds
through its RUNPATH $ORIGIN. CMAKE_BUILD_PARALLEL_LEVEL sets the build's parallelism
(default 2)."""

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent


def version():
    """The one version there is: the SELA_VERSION_* macros of include/sela.h."""
    text = (ROOT / "include" / "sela.h").read_text()
    parts = []
    for part in ("MAJOR", "MINOR", "PATCH"):
        m = re.search(rf"^#define SELA_VERSION_{part} +(\d+)$", text, re.MULTILINE)
        if m is None:
            raise RuntimeError(f"include/sela.h does not define SELA_VERSION_{part}")
        parts.append(m.group(1))
    return ".".join(parts)


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        cmake = shutil.which("cmake")
        if cmake is None:
            raise RuntimeError("building sela needs cmake (Debian: apt-get install cmake g++)")
        build_dir = Path(self.build_temp).resolve() / "cmake"
        stage = Path(self.build_temp).resolve() / "stage"
        target_dir = Path(self.get_ext_fullpath(ext.name)).resolve().parent
        shutil.rmtree(stage, ignore_errors=True)
        configure = [
            cmake, "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            f"-DPython3_EXECUTABLE={sys.executable}",
            "-DSELA_BUILD_TESTS=OFF", "-DSELA_BUILD_BENCHMARKS=OFF", "-DSELA_BUILD_TOOLS=OFF",
            "-DSELA_WARNINGS_AS_ERRORS=OFF", "-DSELA_INSTALL=ON", "-DSELA_BUILD_PYTHON=ON",
            "-DSELA_PYTHON_BUNDLE_LIBRARY=ON", "-DSELA_PYTHON_INSTALL_DIR=.",
        ]
        env = dict(os.environ)
        env.setdefault("CMAKE_BUILD_PARALLEL_LEVEL", "2")
        subprocess.run(configure, check=True, env=env)
        subprocess.run([cmake, "--build", str(build_dir), "--target", "sela_python"], check=True, env=env)
        subprocess.run([cmake, "--install", str(build_dir), "--component", "python",
                        "--prefix", str(stage)], check=True, env=env)
        # The compiled files; the Python sources and stubs come through build_py.
        target_dir.mkdir(parents=True, exist_ok=True)
        built = [f for f in (stage / "sela").iterdir() if ".so" in f.name]
        if not any(f.name.startswith("_sela") for f in built):
            raise RuntimeError(f"the CMake build installed no extension into {stage / 'sela'}")
        for f in built:
            shutil.copy2(f, target_dir / f.name)


setup(
    version=version(),
    ext_modules=[Extension("sela._sela", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
)
