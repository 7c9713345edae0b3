# The vector kernels are the only code built for extensions beyond baseline x86-64; each
# translation unit gets its own target flags, and the dispatcher calls it only on a
# processor (and operating system) that supports them.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/simd_dispatch_avx2.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx;-mfma")
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/simd_dispatch_avx512.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx512f")
# The accumulator's exact products split with a fused multiply-add (called only where the
# AVX2 test, which includes FMA, passes).
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/algorithms/exactsum_fma.cpp
  PROPERTIES COMPILE_OPTIONS "-mfma")
# Dot2 with its independent work in vectors (called only where the same test passes).
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/src/algorithms/dotproduct_fma.cpp
  PROPERTIES COMPILE_OPTIONS "-mavx;-mfma")
