# Cross-building for aarch64 Linux with Debian's cross compilers (g++-aarch64-linux-gnu,
# gcc-aarch64-linux-gnu, gfortran-aarch64-linux-gnu). Target libraries come from Debian's
# multiarch packages (dpkg --add-architecture arm64; libgtest-dev:arm64 libgmp-dev:arm64
# libgfortran5:arm64), installed under /usr/lib/aarch64-linux-gnu, which these compilers
# search by themselves.
#
# The programs run under qemu-aarch64 (Debian's qemu-user) with the target's loader and
# libraries from those multiarch packages (/lib/ld-linux-aarch64.so.1, pulled in by them),
# not with -L /usr/aarch64-linux-gnu (QEMU_LD_PREFIX): with a prefix, Debian 12's
# qemu-aarch64 7.2 hangs in fork(), which the tests use.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_Fortran_COMPILER aarch64-linux-gnu-gfortran)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# Libraries and headers of the target only; programs (python3, mpiexec, ...) of the host.
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE BOTH)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

if(NOT DEFINED CMAKE_CROSSCOMPILING_EMULATOR)
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
endif()
