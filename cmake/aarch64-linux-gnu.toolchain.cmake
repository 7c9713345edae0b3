# Cross-building for aarch64 Linux with Debian's cross compilers (g++-aarch64-linux-gnu,
# gcc-aarch64-linux-gnu, gfortran-aarch64-linux-gnu). Target libraries come from Debian's
# multiarch packages (dpkg --add-architecture arm64; libgtest-dev:arm64 libgmp-dev:arm64),
# installed under /usr/lib/aarch64-linux-gnu, which these compilers search by themselves.
# The programs run under qemu-aarch64 (Debian's qemu-user) with the target's loader and C
# library from /usr/aarch64-linux-gnu.
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
  set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64 -L /usr/aarch64-linux-gnu)
endif()
